// CDlgRestoreFactoryTool: the factory reset tab (template 135, caption text 22): one Set writes
// the reset record stamped with the local time (tabs/reset_operation.h); no question, no box, no
// record-store row, no log line, one result row per press.
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern,
// Enter swallowed) is CTabPage's; see tabs/tab_page.h. UI thread only.
#pragma once

#include "tabs/tab_page.h"

class QTableWidget;

class CDlgRestoreFactoryTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 135;
    static constexpr int kCaptionId = 22;

    static constexpr int kSetId = 1012;
    static constexpr int kListId = 1016;
    static constexpr int kGroupId = 1019;

    CDlgRestoreFactoryTool();

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;

  private:
    QPushButton* set_ = nullptr;
    QTableWidget* list_ = nullptr;
};
