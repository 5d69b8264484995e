// CDlgSerialNum: the serial number tab (template 137, caption text 259; its user-name field is
// 1178): writes the serial number into the unit's MAC parameter record. What Query and Set do is
// tabs::CSerialOperation's (tabs/serial_operation.h). Enter in the serial number field presses
// Set; Enter elsewhere is swallowed. Only Set is disabled while an operation waits for its login.
// The frame is CTabPage's (tabs/tab_page.h). UI thread only.
#pragma once

#include <memory>

#include "tabs/serial_operation.h"
#include "tabs/tab_page.h"

class QTableWidget;

class CDlgSerialNum : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 137;
    static constexpr int kCaptionId = 259;

    static constexpr int kSetId = 1003;
    static constexpr int kListId = 1004;
    static constexpr int kQueryId = 1007;
    static constexpr int kGroupId = 1023;
    static constexpr int kSerialId = 1065;
    static constexpr int kOrderId = 1145;

    CDlgSerialNum();
    ~CDlgSerialNum() override;

    // True from a press of Query or Set until its row is added (or its checks stopped it).
    bool Busy() const { return mode_ != tabs::CSerialOperation::Mode::kNone; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;
    void OnEnterKey(QWidget* focus) override;
    void OnTimer(int id) override;

  private:
    void Start(tabs::CSerialOperation::Mode mode);
    tabs::CSerialOperation::Fields ReadFields();

    std::unique_ptr<tabs::CSerialOperation> operation_;
    tabs::CSerialOperation::Mode mode_ = tabs::CSerialOperation::Mode::kNone;
    tabs::CSerialOperation::Fields fields_;
    QLineEdit* serial_ = nullptr;
    QLineEdit* order_ = nullptr;
    QPushButton* set_ = nullptr;
    QTableWidget* list_ = nullptr;
};
