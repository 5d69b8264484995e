#include "tabs/dlg_key_tool.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include "records/record_store.h"
#include "tabs/result_list.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {
using KeyOp = tabs::CKeyOperation;
}

CDlgKeyTool::CDlgKeyTool() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

CDlgKeyTool::~CDlgKeyTool() = default;

void CDlgKeyTool::BuildControls() {
    operation_ = std::make_unique<KeyOp>(records::Store(), *this);
    order_ = AddOrderField(1134, kOrderId, 285, 24);
    key_ = AddField(1040, -1, kKeyId, 8, 40, 150, QStringLiteral("Key ID"));

    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 58, 437, 30);
    query_ = new QPushButton(app::Text(32), this);
    app::PlaceControl(query_, kQueryId, 300, 68, 60, 14);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 375, 68, 60, 14);
    list_ = tabs::CreateResultList(this, kListId,
                                   {{app::Text(34), 50},
                                    {app::Text(35), 160},
                                    {QStringLiteral("IP"), 120},
                                    {app::Text(24), 80},
                                    {app::Text(57), 160},
                                    {app::Text(36), 120}});
    app::PlaceControl(list_, kListId, 8, 94, 437, 124);
    status_ = new QLabel(this);
    app::PlaceControl(status_, kStatusId, 8, 222, 437, 10);

    AddOperationButton(query_);
    AddOperationButton(set_);
    AddOperationButton(BackButton());
    connect(query_, &QPushButton::clicked, this, &CDlgKeyTool::OnQuery);
    connect(set_, &QPushButton::clicked, this, &CDlgKeyTool::OnSet);
}

KeyOp::Fields CDlgKeyTool::ReadFields() {
    operation_->SetServer(Server());
    return {order_->text().toStdString(), key_->text().toStdString(), AddressText(), Port()};
}

void CDlgKeyTool::OnQuery() {
    ReportUncleared(FinishClearing(operation_->Clearing(), KeyOp::kClearingTimer));
    SetOperationButtonsEnabled(false);
    mode_ = KeyOp::Mode::kQuery;
    fields_ = ReadFields();
    BeginOperation(0);
}

void CDlgKeyTool::OnSet() {
    ReportUncleared(FinishClearing(operation_->Clearing(), KeyOp::kClearingTimer));
    SetOperationButtonsEnabled(false);
    mode_ = KeyOp::Mode::kWrite;
    fields_ = ReadFields();
    const std::string typed = fields_.key;
    const KeyOp::Check check = operation_->CheckBeforeWrite(fields_);
    if (fields_.key != typed) {
        key_->setText(QString::fromStdString(fields_.key));  // the key as cut from the scan
    }
    if (check != KeyOp::Check::kGo) {
        mode_ = KeyOp::Mode::kNone;
        SetOperationButtonsEnabled(true);
        return;
    }
    BeginOperation(0);
}

void CDlgKeyTool::OnEnterKey(QWidget* focus) {
    if (focus == key_) {
        set_->click();  // does nothing while an operation holds the button disabled
    }
}

void CDlgKeyTool::OnOperation(int, int login_result) {
    const KeyOp::Mode mode = mode_;
    const KeyOp::Row row = operation_->OnLoginResult(mode, login_result, Connection(), fields_);
    mode_ = KeyOp::Mode::kNone;
    HandOverToClearing(operation_->Clearing());  // its ticks go on with it
    if (row.kind == KeyOp::RowKind::kNone) {
        return;
    }
    const bool failed_login = row.kind == KeyOp::RowKind::kLoginFailure;
    const QString key = failed_login ? QString() : QString::fromStdString(operation_->RecordKey());
    const QString ip = QString::fromStdString(fields_.ip);
    const QString result = app::Text(row.text_id);
    const int number = tabs::AddResultRow(
        list_, {ip, QString::number(static_cast<unsigned>(fields_.port)), key, result});
    if (failed_login) {
        return;
    }
    status_->setText(app::Text(38) + QString::number(number) + QStringLiteral("  IP: ") + ip +
                     QStringLiteral("  Key: ") + key + QStringLiteral("   ") + result);
    if (mode == KeyOp::Mode::kQuery) {
        key_->setText(key);
    }
    key_->setFocus();
    if (row.text_id == 48) {
        key_->clear();
    }
}

void CDlgKeyTool::ReportUncleared(const std::optional<tabs::UnitClearing::Unit>& unit) {
    if (unit) {
        AddUnclearedRow(list_, status_, QStringLiteral("Key"), *unit);
    }
}

void CDlgKeyTool::OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t) {
    if (message == kClearKeyMessage) {
        ReportUncleared(OnClearingMessage(operation_->Clearing(), wparam));
    }
}

void CDlgKeyTool::OnTimer(int id) {
    if (id == KeyOp::kClosingTimer) {
        StopTimer(id);
        CloseSuccessBox();
    } else if (id == KeyOp::kClearingTimer) {
        OnClearingTick(operation_->Clearing(), id, kClearKeyMessage);
    }
}
