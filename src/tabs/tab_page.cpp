#include "tabs/tab_page.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include "device/connect_device.h"
#include "platform/qt_window.h"
#include "records/activity_log.h"
#include "platform/top_level_window.h"
#include "tabs/ip_address_edit.h"
#include "tabs/result_list.h"
#include "ui/controls.h"
#include "ui/message_box.h"
#include "ui/shell.h"

CTabPage::CTabPage(PageInfo info) : info_(info) {}

CTabPage::~CTabPage() {
    StopConnection();
}

bool CTabPage::Create(int template_id, QWidget* parent) {
    if (created_) {
        return false;
    }
    info_.template_id = template_id;
    setParent(parent);
    setObjectName(QString::number(template_id));
    handle_ = std::make_unique<platform::QtWindowHandle>(this);
    timers_ = new platform::WindowTimers(this, [this](int id) {
        if (id != kLoginWaitTimer) {
            OnTimer(id);
        } else if (pending_operation_ >= 0) {
            // The library never reported this connection: give up on it.
            CancelLoginResult(login_token_);
            records::WriteLog("login result not received, ip:%s\n", AddressText().c_str());
            StopConnection();
            EndLogin(kLoginFailed);
        } else {
            StopTimer(id);
        }
    });
    BuildFrame();
    BuildControls();
    // A scanner ends its text with Enter: no button of a tab may take it as its default.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    // Enter is taken where it is pressed, before a control or the dialog acts on it.
    for (QWidget* control : findChildren<QWidget*>()) {
        control->installEventFilter(this);
    }
    created_ = true;
    return true;
}

platform::WindowHandle CTabPage::Handle() const {
    return handle_ ? handle_->handle() : 0;
}

void CTabPage::BuildFrame() {
    auto label = [this](int id, int text_id, int x, int y) {
        auto* l = new QLabel(app::Text(text_id), this);
        app::PlaceControl(l, id, x, y + 2, 50, 8);
    };
    // Two rows: the unit's address and port, then the login; Back on the right.
    label(1018, 23, 8, 8);
    address_ = new CIpAddressEdit(this);
    app::PlaceControl(address_, kAddressId, 60, 8, 75, 12);
    label(1020, 24, 145, 8);
    port_ = new QLineEdit(this);
    // Digits only, as typed (a number field).
    port_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));
    app::PlaceControl(port_, kPortId, 197, 8, 45, 12);
    label(1022, 25, 8, 24);
    user_ = new QLineEdit(this);
    app::PlaceControl(user_, info_.user_field_id, 60, 24, 75, 12);
    label(1024, 26, 145, 24);
    password_ = new QLineEdit(this);
    password_->setEchoMode(QLineEdit::Password);
    app::PlaceControl(password_, kPasswordId, 197, 24, 75, 12);

    back_ = new QPushButton(app::Text(33), this);
    app::PlaceControl(back_, kBackId, 395, 7, 50, 14);
    connect(back_, &QPushButton::clicked, this, &CTabPage::OnBack);
}

QLineEdit* CTabPage::AddField(int label_id, int text_id, int field_id, int x, int y, int width,
                              const QString& caption) {
    auto* label = new QLabel(text_id >= 0 ? app::Text(text_id) : caption, this);
    app::PlaceControl(label, label_id, x, y + 2, 56, 8);
    auto* edit = new QLineEdit(this);
    app::PlaceControl(edit, field_id, x + 58, y, width, 12);
    label->setBuddy(edit);
    return edit;
}

QLineEdit* CTabPage::AddOrderField(int label_id, int field_id, int x, int y) {
    order_ = AddField(label_id, -1, field_id, x, y, 85, QStringLiteral("订单号"));
    const bool shown = app::Settings().id_server_enabled;
    order_->setVisible(shown);
    app::FindControl(this, label_id)->setVisible(shown);
    return order_;
}

bool CTabPage::OrderShown() const {
    return order_ != nullptr && !order_->isHidden();
}

identity::ServerSettings CTabPage::Server() const {
    const CAppSettings& settings = app::Settings();
    return {settings.id_server_address, settings.id_server_port,
            settings.id_server_enabled && OrderShown(), settings.id_server_timeout_ms};
}

void CTabPage::SetDevice(const std::string& address, int port, const std::string& user) {
    if (!created_) {
        return;
    }
    address_->SetAddressText(address);
    port_->setText(QString::number(port));
    user_->setText(QString::fromStdString(user));
}

void CTabPage::SetPasswordText(const std::string& password) {
    if (created_) {
        password_->setText(QString::fromStdString(password));
    }
}

std::string CTabPage::AddressText() const {
    return created_ ? address_->AddressText() : "";
}

int CTabPage::Port() const {
    return created_ ? port_->text().trimmed().toInt() : 0;
}

std::string CTabPage::PortText() const {
    return created_ ? port_->text().toStdString() : "";
}

std::string CTabPage::UserName() const {
    return created_ ? user_->text().toStdString() : "";
}

std::string CTabPage::Password() const {
    return created_ ? password_->text().toStdString() : "";
}

void CTabPage::OnBack() {
    platform::PostWindowMessage(owner_, kSelectMessage, 5, 0);
}

bool CTabPage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            OnEnterKey(qobject_cast<QWidget*>(watched));
            return true;
        }
    }
    if (watched == password_ && info_.shares_password && event->type() == QEvent::FocusOut) {
        app::Settings().device_password = password_->text().toStdString();
        if (owner_ != 0) {
            platform::PostWindowMessage(owner_, kSharedPasswordMessage, 0, 0);
        }
    }
    return QWidget::eventFilter(watched, event);
}

QTableWidget* CTabPage::CreateOutcomeList(int list_id, bool hot_tracking) {
    return tabs::CreateResultList(this, list_id,
                                  {{app::Text(34), 50},
                                   {app::Text(35), 160},
                                   {QStringLiteral("IP"), 120},
                                   {app::Text(24), 80},
                                   {app::Text(36), 120}},
                                  hot_tracking);
}

void CTabPage::AddOutcomeRow(QTableWidget* list, int text_id) {
    tabs::AddResultRow(list, {QString::fromStdString(AddressText()),
                              QString::number(static_cast<unsigned>(Port())), app::Text(text_id)});
}

void CTabPage::AddOperationButton(QPushButton* button) {
    operation_buttons_.push_back(button);
}

void CTabPage::SetOperationButtonsEnabled(bool enabled) {
    for (QPushButton* b : operation_buttons_) {
        b->setEnabled(enabled);
    }
}

void CTabPage::BeginOperation(int operation) {
    BeginOperationOn(operation, AddressText(), Port());
}

void CTabPage::BeginOperationOn(int operation, const std::string& address, int port) {
    SetOperationButtonsEnabled(false);
    pending_operation_ = operation;
    const std::string user = UserName();
    const std::string password = Password();
    // The library reports every started connection, also one it could not start, so the
    // operation ends with message 1125; the login wait is for a library that does not.
    ConnectDevice(address.c_str(), &connection_, port, user.c_str(), password.c_str(), Handle(),
                  &login_token_);
    StartTimer(kLoginWaitTimer, app::Settings().login_wait_ms);
}

ZQNET_HANDLE CTabPage::ReleaseConnection() {
    const ZQNET_HANDLE connection = connection_;
    connection_ = 0;
    return connection;
}

void CTabPage::OnClearingTick(tabs::UnitClearing& clearing, int timer_id, unsigned message) {
    if (!clearing.Open()) {
        StopTimer(timer_id);  // cleared already
        return;
    }
    platform::PostWindowMessage(Handle(), message, clearing.Serial(), 0);
    if (clearing.Tick()) {
        StopTimer(timer_id);
    }
}

std::optional<tabs::UnitClearing::Unit> CTabPage::OnClearingMessage(tabs::UnitClearing& clearing,
                                                                    std::uintptr_t wparam) {
    if (!clearing.Open() || wparam != clearing.Serial()) {
        return std::nullopt;  // a tick of a clearing that has ended
    }
    if (clearing.Attempt() || !clearing.TicksDone()) {
        return std::nullopt;
    }
    return clearing.Close();
}

std::optional<tabs::UnitClearing::Unit> CTabPage::FinishClearing(tabs::UnitClearing& clearing,
                                                                 int timer_id) {
    if (!clearing.Open()) {
        return std::nullopt;
    }
    StopTimer(timer_id);
    if (clearing.Attempt()) {
        return std::nullopt;
    }
    return clearing.Close();
}

void CTabPage::HandOverToClearing(tabs::UnitClearing& clearing) {
    if (clearing.Open()) {
        clearing.Adopt(ReleaseConnection());
    }
}

void CTabPage::AddUnclearedRow(QTableWidget* list, QLabel* status, const QString& label,
                               const tabs::UnitClearing::Unit& unit) {
    records::WriteLog("Clear device failed, the unit may keep %s:%s, ip:%s\n",
                      label.toStdString().c_str(), unit.identity.c_str(), unit.ip.c_str());
    const QString ip = QString::fromStdString(unit.ip);
    const QString identity = QString::fromStdString(unit.identity);
    const QString result = app::Text(tabs::kUnclearedText);
    const int number = tabs::AddResultRow(
        list, {ip, QString::number(static_cast<unsigned>(unit.port)), identity, result});
    status->setText(app::Text(38) + QString::number(number) + QStringLiteral("  IP: ") + ip +
                    QStringLiteral("  ") + label + QStringLiteral(": ") + identity +
                    QStringLiteral("   ") + result);
}

void CTabPage::EndLogin(int login_result) {
    StopTimer(kLoginWaitTimer);
    const int operation = pending_operation_;
    pending_operation_ = -1;
    login_token_ = 0;
    const ZQNET_HANDLE connection = connection_;
    SetOperationButtonsEnabled(true);
    OnOperation(operation, login_result);
    // Unless the operation kept its connection or went on with a new one.
    if (connection_ == connection) {
        StopConnection();
    }
}

void CTabPage::StopConnection() {
    if (connection_ != 0) {
        StopDevice(&connection_);
    }
}

void CTabPage::OnOperation(int, int) {}

void CTabPage::OnWindowMessage(unsigned, std::uintptr_t, std::intptr_t) {}

void CTabPage::OnEnterKey(QWidget*) {}

void CTabPage::OnTimer(int) {}

void CTabPage::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        OnEnterKey(this);
        return;
    }
    QWidget::keyPressEvent(event);
}

bool CTabPage::Box(int message_id, int kind) {
    CMyMessageBox box(message_id, kind, this);
    return box.DoModal() == CMyMessageBox::kIdOk;
}

void CTabPage::SystemBox(int message_id) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("ZQTalvane"), app::Text(message_id),
                    QMessageBox::Ok, this);
    box.setProperty("zq_message_id", message_id);
    box.exec();
}

void CTabPage::StartTimer(int id, int interval_ms) {
    if (timers_ != nullptr) {
        timers_->Start(id, interval_ms);
    }
}

void CTabPage::StopTimer(int id) {
    if (timers_ != nullptr) {
        timers_->Stop(id);
    }
}

void CTabPage::CloseSuccessBox() {
    if (!tabs::SuccessFlag()) {
        return;
    }
    if (QWidget* box = platform::FindTopLevelWindow(QStringLiteral("Prompt"))) {
        platform::SendSystemClose(box);
    }
}

bool CTabPage::event(QEvent* event) {
    if (event->type() != platform::WindowMessageEvent::Type()) {
        return QWidget::event(event);
    }
    auto* message = static_cast<platform::WindowMessageEvent*>(event);
    if (message->message() == kLoginResultMessage) {
        if (pending_operation_ < 0 ||
            static_cast<std::uintptr_t>(message->lparam()) != login_token_) {
            return true;  // no operation waits for it: a connection left behind
        }
        EndLogin(static_cast<int>(message->wparam()));
        return true;
    }
    OnWindowMessage(message->message(), message->wparam(), message->lparam());
    return true;
}
