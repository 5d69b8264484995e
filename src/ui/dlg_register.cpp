#include "ui/dlg_register.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/color_static.h"
#include "ui/controls.h"
#include "ui/shell.h"

CDlgRegister::CDlgRegister(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("143"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setFixedSize(app::DialogX(186), app::DialogY(104));

    auto* name_label = new QLabel(this);
    app::PlaceControl(name_label, 1026, 23, 18, 60, 8);
    auto* password_label = new QLabel(this);
    app::PlaceControl(password_label, 1029, 23, 35, 60, 8);
    auto* confirm_label = new QLabel(this);
    app::PlaceControl(confirm_label, 1140, 23, 52, 60, 8);

    auto* user = new QLineEdit(this);
    app::PlaceControl(user, 1137, 91, 17, 70, 14);
    user->setReadOnly(true);
    edit1_ = new QLineEdit(this);
    app::PlaceControl(edit1_, 1138, 91, 34, 70, 14);
    edit1_->setEchoMode(QLineEdit::Password);
    edit2_ = new QLineEdit(this);
    app::PlaceControl(edit2_, 1139, 91, 51, 70, 14);
    edit2_->setEchoMode(QLineEdit::Password);

    const QString limit = QStringLiteral("(%1)").arg(kMaxPasswordLength);
    for (int y : {35, 52}) {
        auto* hint = new QLabel(limit, this);
        app::PlaceControl(hint, -1, 165, y, 16, 8);
    }

    status_ = new CColorStatic(this);
    app::PlaceControl(status_, 1143, 23, 68, 137, 8);

    auto* confirm = new QPushButton(this);
    app::PlaceControl(confirm, 1141, 26, 81, 50, 14);
    auto* cancel = new QPushButton(this);
    app::PlaceControl(cancel, 1142, 105, 81, 50, 14);
    // Enter confirms only from the password fields, so no button is the dialog's default.
    for (QPushButton* b : {confirm, cancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    connect(confirm, &QPushButton::clicked, this, &CDlgRegister::OnConfirm);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(edit1_, &QLineEdit::returnPressed, this, &CDlgRegister::OnConfirm);
    connect(edit2_, &QLineEdit::returnPressed, this, &CDlgRegister::OnConfirm);
    connect(edit1_, &QLineEdit::textChanged, this, &CDlgRegister::OnPasswordEdited);
    connect(edit2_, &QLineEdit::textChanged, this, &CDlgRegister::OnPasswordEdited);

    // Initialisation.
    status_->SetTextColor(QColor(255, 0, 0));
    setWindowTitle(app::Text(176));
    name_label->setText(app::Text(25));
    password_label->setText(app::Text(177));
    confirm_label->setText(app::Text(178));
    confirm->setText(app::Text(7));
    cancel->setText(app::Text(8));
    user->setText(QStringLiteral("admin"));
    edit1_->setMaxLength(kMaxPasswordLength);
    edit2_->setMaxLength(kMaxPasswordLength);
}

void CDlgRegister::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();  // Enter outside the password fields does nothing
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDlgRegister::OnConfirm() {
    password1_ = edit1_->text();
    password2_ = edit2_->text();
    if (password1_.isEmpty() || password2_.isEmpty()) {
        SetStatus(app::Text(180));
        return;
    }
    auto& shell = app::Shell();
    if (password1_.toStdString() != shell.settings.user_password) {
        SetStatus(app::Text(42));
        return;
    }
    // The setting changes even when the file cannot be written (it then holds for this run
    // only), except when the file's encoding cannot hold the new password: a password that
    // would be lost at the next start is refused and the operator told.
    const std::string previous = shell.settings.user_password;
    shell.settings.user_password = password2_.toStdString();
    if (shell.save_user_password &&
        shell.save_user_password(shell.settings) == config::SaveResult::kEncoding) {
        shell.settings.user_password = previous;
        SetStatus(app::Text(kSaveFailedText));
        return;
    }
    accept();
}

void CDlgRegister::OnPasswordEdited() {
    if (!status_text_.isEmpty()) {
        SetStatus(QString());
    }
}

void CDlgRegister::SetStatus(const QString& text) {
    status_text_ = text;
    status_->SetText(text);
}
