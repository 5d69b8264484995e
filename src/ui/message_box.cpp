#include "ui/message_box.h"

#include <algorithm>

#include <QFontMetricsF>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPushButton>

#include "ui/controls.h"
#include "ui/shell.h"

CMyMessageBox::CMyMessageBox(int message_id, int kind, QWidget* parent)
    : QDialog(parent), message_id_(message_id), kind_(kind), text_color_(TextColorFor(kind)) {
    setObjectName(QStringLiteral("132"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setFixedSize(app::DialogX(240), app::DialogY(100));

    auto* ok = new QPushButton(this);
    app::PlaceControl(ok, kIdOk, 105, 77, 53, 16);
    ok->setDefault(true);
    auto* cancel = new QPushButton(this);
    app::PlaceControl(cancel, kIdCancel, 172, 77, 53, 16);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    text_ = new QLabel(this);
    app::PlaceControl(text_, kTextControlId, 76, 10, 155, 46);
    text_->setAlignment(Qt::AlignCenter);
    text_->setWordWrap(true);

    message_font_ = MessageFont(app::ShellFontFace());
    text_->setFont(message_font_);

    setWindowTitle(QStringLiteral("Prompt"));
    text_->setText(app::Text(message_id));

    QPalette p = text_->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::WindowText, text_color_);
    }
    text_->setPalette(p);

    const QString icon_file = IconFileFor(kind);
    if (!icon_file.isEmpty()) {
        icon_.load(QString::fromStdString(app::Settings().skin_folder) + icon_file);
        icon_width_ = icon_.width();
        icon_height_ = icon_.height();
    }

    ok->setText(app::Text(7));
    cancel->setText(app::Text(8));
}

int CMyMessageBox::DoModal() {
    return exec() == QDialog::Accepted ? kIdOk : kIdCancel;
}

QFont CMyMessageBox::MessageFont(const QString& face) {
    QFont font(face);
    font.setPixelSize(kFontHeight);
    font.setWeight(QFont::Normal);
    // A font's width is its average character width: the face is stretched or narrowed to it.
    const qreal natural = QFontMetricsF(font).averageCharWidth();
    if (natural > 0) {
        font.setStretch(std::clamp(qRound(100.0 * kFontWidth / natural), 1, 4000));
    }
    return font;
}

QString CMyMessageBox::IconFileFor(int kind) {
    switch (kind) {
        case 0:
            return QStringLiteral("Error.png");
        case 1:
            return QStringLiteral("Info.png");
        case 2:
            return QStringLiteral("Success.png");
        default:
            return {};
    }
}

QColor CMyMessageBox::TextColorFor(int kind) {
    return (kind == 0 || kind == 1) ? QColor(255, 0, 0) : QColor(0, 255, 0);
}

void CMyMessageBox::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (icon_.isNull()) {
        return;
    }
    // Qt paints into a back buffer, so drawing over the background does not flicker.
    QPainter painter(this);
    painter.drawImage(QRect(10, 20, icon_width_, icon_height_), icon_);
}
