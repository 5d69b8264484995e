#include "tabs/dlg_serial_num.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <cctype>

#include "records/record_store.h"
#include "tabs/mac_rules.h"
#include "tabs/result_list.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {
using SerialOp = tabs::CSerialOperation;
}

CDlgSerialNum::CDlgSerialNum() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1178, true}) {}

CDlgSerialNum::~CDlgSerialNum() = default;

void CDlgSerialNum::BuildControls() {
    operation_ = std::make_unique<SerialOp>(records::Store(), *this);
    order_ = AddOrderField(1177, kOrderId, 285, 24);
    serial_ = AddField(1066, 131, kSerialId, 8, 40, 150);

    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 58, 437, 30);
    auto* query = new QPushButton(app::Text(32), this);
    app::PlaceControl(query, kQueryId, 300, 68, 60, 14);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 375, 68, 60, 14);
    list_ = tabs::CreateResultList(this, kListId,
                                   {{app::Text(34), 50},
                                    {app::Text(35), 160},
                                    {QStringLiteral("IP"), 120},
                                    {app::Text(24), 80},
                                    {app::Text(131), 120},
                                    {app::Text(36), 120}});
    app::PlaceControl(list_, kListId, 8, 94, 437, 138);

    AddOperationButton(set_);
    connect(query, &QPushButton::clicked, this, [this] { Start(SerialOp::Mode::kQuery); });
    connect(set_, &QPushButton::clicked, this, [this] { Start(SerialOp::Mode::kWrite); });
}

SerialOp::Fields CDlgSerialNum::ReadFields() {
    return {order_->text().toStdString(), OrderShown(), serial_->text().toStdString(),
            AddressText(), Port()};
}

void CDlgSerialNum::Start(SerialOp::Mode mode) {
    SetOperationButtonsEnabled(false);
    mode_ = mode;
    fields_ = ReadFields();
    if (mode == SerialOp::Mode::kWrite) {
        const SerialOp::Check check = operation_->CheckBeforeWrite(fields_);
        if (check != SerialOp::Check::kGo) {
            if (check == SerialOp::Check::kStopEmpty) {
                serial_->clear();
            }
            mode_ = SerialOp::Mode::kNone;
            SetOperationButtonsEnabled(true);
            return;
        }
    }
    BeginOperation(0);
}

void CDlgSerialNum::OnEnterKey(QWidget* focus) {
    if (focus == serial_) {
        set_->click();  // does nothing while an operation holds the button disabled
    }
}

void CDlgSerialNum::OnOperation(int, int login_result) {
    const SerialOp::Mode mode = mode_;
    const SerialOp::Row row = operation_->OnLoginResult(mode, login_result, Connection(), fields_);
    mode_ = SerialOp::Mode::kNone;
    if (operation_->CheckPending()) {
        // What does the unit carry now? Asked in a session of its own, on the same unit.
        mode_ = SerialOp::Mode::kCheck;
        BeginOperationOn(0, fields_.ip, fields_.port);
    }
    if (row.kind == SerialOp::RowKind::kNone) {
        return;
    }
    const ZQNetMacRecord& record = operation_->Record();
    const QString serial =
        QString::fromStdString(tabs::FieldText(record.serial, sizeof record.serial));
    tabs::AddResultRow(
        list_, {QString::fromStdString(fields_.ip),
                QString::number(static_cast<unsigned>(fields_.port)), serial,
                app::Text(row.text_id)});
    if (row.kind != SerialOp::RowKind::kResult) {
        return;
    }
    if (mode == SerialOp::Mode::kQuery &&
        std::isprint(static_cast<unsigned char>(record.serial[0]))) {
        serial_->setText(serial);
    } else if (mode == SerialOp::Mode::kWrite && row.text_id == 48) {
        serial_->clear();
    }
}

void CDlgSerialNum::OnTimer(int id) {
    if (id == SerialOp::kClosingTimer) {
        StopTimer(id);
        CloseSuccessBox();
    }
}
