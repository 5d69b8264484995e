// CDlgKeyTool: the key tab (template 133, caption text 19): writes, verifies and reports a unit's
// P2P key. The window holds the fields, the list and the status line; what Query and Set do is
// tabs::CKeyOperation's (tabs/key_operation.h). Enter in the key field presses Set; Enter
// elsewhere is swallowed. Query, Set and Back are disabled while an operation waits for its
// login. The frame is CTabPage's (tabs/tab_page.h). UI thread only.
#pragma once

#include <memory>

#include "tabs/key_operation.h"
#include "tabs/tab_page.h"

class QLabel;
class QTableWidget;

class CDlgKeyTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 133;
    static constexpr int kCaptionId = 19;

    static constexpr int kSetId = 1003;
    static constexpr int kListId = 1004;
    static constexpr int kQueryId = 1006;
    static constexpr int kStatusId = 1010;
    static constexpr int kGroupId = 1023;
    static constexpr int kKeyId = 1041;
    static constexpr int kOrderId = 1133;
    static constexpr unsigned kClearKeyMessage = 1128;

    CDlgKeyTool();
    ~CDlgKeyTool() override;

    // True from a press of Query or Set until its row is added (or its checks stopped it).
    bool Busy() const { return mode_ != tabs::CKeyOperation::Mode::kNone; }
    tabs::CKeyOperation& Operation() { return *operation_; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;
    void OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
    void OnEnterKey(QWidget* focus) override;
    void OnTimer(int id) override;

  private:
    void OnQuery();
    void OnSet();
    tabs::CKeyOperation::Fields ReadFields();
    void ReportUncleared(const std::optional<tabs::UnitClearing::Unit>& unit);

    std::unique_ptr<tabs::CKeyOperation> operation_;
    tabs::CKeyOperation::Mode mode_ = tabs::CKeyOperation::Mode::kNone;
    tabs::CKeyOperation::Fields fields_;
    QLineEdit* key_ = nullptr;
    QLineEdit* order_ = nullptr;
    QPushButton* query_ = nullptr;
    QPushButton* set_ = nullptr;
    QTableWidget* list_ = nullptr;
    QLabel* status_ = nullptr;
};
