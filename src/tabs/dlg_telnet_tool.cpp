#include "tabs/dlg_telnet_tool.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTableWidget>

#include "platform/ui_process.h"
#include "tabs/telnet_operation.h"
#include "ui/controls.h"
#include "ui/shell.h"

CDlgTelnetTool::CDlgTelnetTool() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

void CDlgTelnetTool::BuildControls() {
    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 40, 437, 48);
    struct Button {
        int id;
        int text_id;
        int operation;
    };
    static constexpr Button kButtons[] = {
        {kOpenTelnetId, 153, tabs::kOpenTelnet},   {kCloseTelnetId, 154, tabs::kCloseTelnet},
        {kOpenConsoleId, 156, tabs::kOpenConsole}, {kCloseConsoleId, 157, tabs::kCloseConsole},
        {kEraseId, 222, tabs::kEraseP2p},          {kTimeSyncId, 281, tabs::kTimeSync},
    };
    // The four telnet and console buttons in the first row, erase and time sync in the second.
    int index = 0;
    for (const Button& b : kButtons) {
        auto* button = new QPushButton(app::Text(b.text_id), this);
        app::PlaceControl(button, b.id, 16 + (index % 4) * 104, index < 4 ? 50 : 68, 100, 14);
        ++index;
        // Erase and time sync stay enabled while a login is pending.
        if (b.operation <= tabs::kCloseConsole)
            AddOperationButton(button);
        connect(button, &QPushButton::clicked, this, [this, op = b.operation] { Start(op); });
    }
    script_ = new QCheckBox(app::Text(159), this);
    app::PlaceControl(script_, kScriptId, 224, 70, 200, 12);
    list_ = CreateOutcomeList(kListId, true);
    app::PlaceControl(list_, kListId, 8, 94, 437, 140);
}

void CDlgTelnetTool::Start(int operation) {
    busy_ = true;
    BeginOperation(operation);
}

void CDlgTelnetTool::RunScript() {
    // The address as the field shows it now; a script that cannot start ends the wait at once.
    platform::RunProgramPainting(kInterpreter, {kScript, AddressText()},
                                 app::Settings().program_folder);
}

void CDlgTelnetTool::OnOperation(int operation, int login_result) {
    const int text = login_result == 40 ? tabs::PerformTelnetOperation(
                                              operation, ConnectionVariable(), script_->isChecked(),
                                              [this] { RunScript(); }, time_param_)
                                        : login_result;
    AddOutcomeRow(list_, text);
    busy_ = false;
}
