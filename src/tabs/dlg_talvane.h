// CDlgTalvane: the MAC address tab: writes a unit's Ethernet MAC address and module name (template
// 131, caption text 18; its user-name field is 1015).
//
// The window holds the fields, the result list and the status line; what Query and Set do on a
// login result is tabs::CMacOperation's (tabs/mac_operation.h). The frame (connection fields,
// Back, password sharing, the connect-on-button pattern, Enter) is CTabPage's; see
// tabs/tab_page.h. Enter does nothing in this tab; a 17-character scan into MAC address 1 with
// the Auto option ticked presses Set. UI thread only.
#pragma once

#include <memory>

#include "tabs/mac_operation.h"
#include "tabs/tab_page.h"

class QCheckBox;
class QLabel;
class QTableWidget;

class CDlgTalvane : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 131;
    static constexpr int kCaptionId = 18;

    // Control ids.
    static constexpr int kMacId = 1003;   // MAC address 1
    static constexpr int kMac2Id = 1004;  // second MAC field (hidden)
    static constexpr int kModuleId = 1006;
    static constexpr int kSnCodeId = 1007;    // hidden
    static constexpr int kKeyInfoId = 1008;   // hidden
    static constexpr int kKeyCheckId = 1009;  // hidden
    static constexpr int kAutoId = 1010;
    static constexpr int kQueryId = 1011;
    static constexpr int kSetId = 1012;
    static constexpr int kOrderId = 1014;
    static constexpr int kListId = 1016;
    static constexpr int kStatusId = 1017;
    static constexpr int kGroupId = 1019;

    // Messages and operations.
    static constexpr unsigned kClearMacMessage = 1129;

    CDlgTalvane();
    ~CDlgTalvane() override;

    const tabs::CMacOperation& Operation() const { return *operation_; }
    // True from a press of Query or Set until its row is added (or its checks stopped it).
    bool Busy() const { return mode_ != tabs::CMacOperation::Mode::kNone; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;
    void OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
    void OnTimer(int id) override;

  private:
    void OnQuery();
    void OnSet();
    void OnMacChanged();
    tabs::CMacOperation::Fields ReadFields();
    void AddRow(const tabs::CMacOperation::Row& row, const tabs::CMacOperation::Fields& fields);
    // Ends the clearing of an earlier failure before anything else reaches a unit.
    void EndClearing();
    void ReportUncleared(const std::optional<tabs::UnitClearing::Unit>& unit);

    std::unique_ptr<tabs::CMacOperation> operation_;
    tabs::CMacOperation::Mode mode_ = tabs::CMacOperation::Mode::kNone;
    tabs::CMacOperation::Fields fields_;
    QLineEdit* order_ = nullptr;
    QLineEdit* mac_ = nullptr;
    QLineEdit* module_ = nullptr;
    QLineEdit* sn_code_ = nullptr;
    std::string sn_code_read_;  // the last Query's SN code, as its bytes
    QString sn_code_shown_;     // and as the field shows it
    QCheckBox* auto_ = nullptr;
    QPushButton* query_ = nullptr;
    QPushButton* set_ = nullptr;
    QTableWidget* list_ = nullptr;
    QLabel* status_ = nullptr;
};
