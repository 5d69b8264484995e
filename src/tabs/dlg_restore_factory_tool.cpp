#include "tabs/dlg_restore_factory_tool.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTableWidget>

#include "tabs/reset_operation.h"
#include "ui/controls.h"
#include "ui/shell.h"

CDlgRestoreFactoryTool::CDlgRestoreFactoryTool()
    : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

void CDlgRestoreFactoryTool::BuildControls() {
    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 40, 437, 30);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 375, 50, 60, 14);
    list_ = CreateOutcomeList(kListId, false);
    app::PlaceControl(list_, kListId, 8, 76, 437, 150);
    AddOperationButton(set_);
    connect(set_, &QPushButton::clicked, this, [this] { BeginOperation(0); });
}

void CDlgRestoreFactoryTool::OnOperation(int, int login_result) {
    const int text = login_result == 40 ? tabs::WriteFactoryReset(Connection()) : login_result;
    AddOutcomeRow(list_, text);
}
