#include "tabs/dlg_restore_factory_tool.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTableWidget>

#include "app/controls.h"
#include "app/shell.h"
#include "tabs/reset_operation.h"
#include "tabs/result_list.h"

CDlgRestoreFactoryTool::CDlgRestoreFactoryTool()
    : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

void CDlgRestoreFactoryTool::BuildControls() {
    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 40, 437, 30);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 375, 50, 60, 14);
    list_ = tabs::CreateResultList(this, kListId,
                                   {{app::Text(34), 50},
                                    {app::Text(35), 160},
                                    {QStringLiteral("IP"), 120},
                                    {app::Text(24), 80},
                                    {app::Text(36), 120}});
    app::PlaceControl(list_, kListId, 8, 76, 437, 150);
    AddOperationButton(set_);
    connect(set_, &QPushButton::clicked, this, [this] { BeginOperation(0); });
}

void CDlgRestoreFactoryTool::OnOperation(int, int login_result) {
    const int text = login_result == 40 ? tabs::WriteFactoryReset(Connection()) : login_result;
    tabs::AddResultRow(list_, {QString::fromStdString(AddressText()),
                               QString::number(static_cast<unsigned>(Port())), app::Text(text)});
}
