#include "tabs/dlg_talvane.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
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

using MacOp = tabs::CMacOperation;

constexpr int kNoOperation = 0;

QString FromField(const char* field, size_t size) {
    return QString::fromStdString(tabs::FieldText(field, size));
}

}  // namespace

CDlgTalvane::CDlgTalvane() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1015, true}) {}

CDlgTalvane::~CDlgTalvane() = default;

void CDlgTalvane::BuildControls() {
    operation_ = std::make_unique<MacOp>(records::Store(), *this);

    // The production order, only while the identity server is in use.
    order_ = AddOrderField(1041, kOrderId, 285, 24);
    mac_ = AddField(1026, 27, kMacId, 8, 40, 104);
    module_ = AddField(1027, 113, kModuleId, 175, 40, 90);
    sn_code_ = AddField(1028, 294, kSnCodeId, 285, 40, 85);
    sn_code_->hide();
    app::FindControl(this, 1028)->hide();
    // Kept from the template and never used by this tab.
    auto* mac2 = new QLineEdit(this);
    app::PlaceControl(mac2, kMac2Id, 60, 56, 110, 12);
    mac2->hide();
    auto* key_info = new QLineEdit(this);
    app::PlaceControl(key_info, kKeyInfoId, 175, 56, 90, 12);
    key_info->hide();
    auto* key_check = new QCheckBox(this);
    app::PlaceControl(key_check, kKeyCheckId, 285, 56, 60, 10);
    key_check->hide();

    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 58, 437, 30);
    auto_ = new QCheckBox(app::Text(295), this);
    app::PlaceControl(auto_, kAutoId, 16, 70, 80, 10);
    query_ = new QPushButton(app::Text(32), this);
    app::PlaceControl(query_, kQueryId, 300, 68, 60, 14);
    set_ = new QPushButton(app::Text(31), this);
    app::PlaceControl(set_, kSetId, 375, 68, 60, 14);

    list_ = tabs::CreateResultList(this, kListId,
                                   {{app::Text(34), 50},
                                    {app::Text(35), 160},
                                    {QStringLiteral("IP"), 120},
                                    {app::Text(24), 80},
                                    {QStringLiteral("MAC"), 160},
                                    {app::Text(36), 120}});
    app::PlaceControl(list_, kListId, 8, 94, 437, 124);
    status_ = new QLabel(this);
    app::PlaceControl(status_, kStatusId, 8, 222, 437, 10);

    AddOperationButton(query_);
    AddOperationButton(set_);
    AddOperationButton(BackButton());
    connect(query_, &QPushButton::clicked, this, &CDlgTalvane::OnQuery);
    connect(set_, &QPushButton::clicked, this, &CDlgTalvane::OnSet);
    connect(mac_, &QLineEdit::textChanged, this, &CDlgTalvane::OnMacChanged);
}

MacOp::Fields CDlgTalvane::ReadFields() {
    operation_->SetServer(Server());
    MacOp::Fields f;
    f.order = order_->text().toStdString();
    f.mac = mac_->text().toStdString();
    f.module = module_->text().toStdString();
    // The SN code as the unit gave it, byte for byte (a text field would change bytes that are
    // not UTF-8), while the field still shows what the Query read.
    f.sn_code = sn_code_->text() == sn_code_shown_ ? sn_code_read_ : sn_code_->text().toStdString();
    f.ip = AddressText();
    f.port = Port();
    return f;
}

void CDlgTalvane::OnQuery() {
    EndClearing();
    SetOperationButtonsEnabled(false);
    mode_ = MacOp::Mode::kQuery;
    fields_ = ReadFields();
    BeginOperation(kNoOperation);
}

void CDlgTalvane::OnSet() {
    EndClearing();
    SetOperationButtonsEnabled(false);
    mode_ = MacOp::Mode::kWrite;
    fields_ = ReadFields();
    const MacOp::Check check = operation_->CheckBeforeWrite(fields_);
    if (check != MacOp::Check::kGo) {
        mode_ = MacOp::Mode::kNone;
        SetOperationButtonsEnabled(true);
        if (check == MacOp::Check::kStopFocusMac) {
            mac_->setFocus();
        }
        return;
    }
    BeginOperation(kNoOperation);
}

void CDlgTalvane::OnMacChanged() {
    // 17 bytes, as the address parser counts them (a full-width separator is three).
    if (mode_ != MacOp::Mode::kQuery && auto_->isChecked() &&
        mac_->text().toStdString().size() == 17) {
        set_->click();  // does nothing while an operation holds the button disabled
    }
}

void CDlgTalvane::OnOperation(int, int login_result) {
    const MacOp::Row row = operation_->OnLoginResult(mode_, login_result, Connection(), fields_);
    AddRow(row, fields_);
    mode_ = MacOp::Mode::kNone;
    HandOverToClearing(operation_->Clearing());  // its ticks go on with it
}

void CDlgTalvane::EndClearing() {
    ReportUncleared(FinishClearing(operation_->Clearing(), MacOp::kClearingTimer));
}

void CDlgTalvane::ReportUncleared(const std::optional<tabs::UnitClearing::Unit>& unit) {
    if (unit) {
        AddUnclearedRow(list_, status_, QStringLiteral("MAC"), *unit);
    }
}

void CDlgTalvane::AddRow(const MacOp::Row& row, const MacOp::Fields& fields) {
    if (row.kind == MacOp::RowKind::kNone) {
        return;
    }
    const ZQNetMacRecord& record = operation_->Record();
    const QString mac = row.kind == MacOp::RowKind::kLoginFailure
                            ? QString()
                            : QString::fromStdString(tabs::MacDashText(record.mac));
    const QString ip = QString::fromStdString(fields.ip);
    const QString result = app::Text(row.text_id);
    const int number = tabs::AddResultRow(
        list_, {ip, QString::number(static_cast<unsigned>(fields.port)), mac, result});
    if (row.kind == MacOp::RowKind::kLoginFailure) {
        return;
    }
    if (row.kind == MacOp::RowKind::kQuery) {
        mac_->setText(mac);
        sn_code_read_ = tabs::FieldText(record.snCode, sizeof record.snCode);
        sn_code_shown_ = QString::fromStdString(sn_code_read_);
        sn_code_->setText(sn_code_shown_);
        if (std::isprint(static_cast<unsigned char>(record.module[0]))) {
            module_->setText(FromField(record.module, sizeof record.module));
        }
    }
    status_->setText(app::Text(38) + QString::number(number) + QStringLiteral("  IP: ") + ip +
                     QStringLiteral("  MAC: ") + mac + QStringLiteral("   ") + result);
    mac_->setFocus();
    if (row.kind == MacOp::RowKind::kWrite && row.text_id == 48) {
        mac_->clear();
        module_->clear();
        sn_code_->clear();
    }
}

void CDlgTalvane::OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t) {
    if (message == kClearMacMessage) {
        ReportUncleared(OnClearingMessage(operation_->Clearing(), wparam));
    }
}

void CDlgTalvane::OnTimer(int id) {
    if (id == MacOp::kClosingTimer) {
        StopTimer(id);
        CloseSuccessBox();
    } else if (id == MacOp::kClearingTimer) {
        OnClearingTick(operation_->Clearing(), id, kClearMacMessage);
    }
}
