#include "ui/color_static.h"

#include <QApplication>
#include <QEvent>
#include <QPalette>

CColorStatic::CColorStatic(QWidget* parent)
    : QLabel(parent),
      bk_color_(QApplication::palette().color(QPalette::Button)),
      text_color_(QApplication::palette().color(QPalette::ButtonText)) {
    ApplyColors();
}

void CColorStatic::SetTextColor(const QColor& color) {
    text_color_ = color;
    ApplyColors();
}

void CColorStatic::SetBkColor(const QColor& color) {
    bk_color_ = color;
    ApplyColors();
}

void CColorStatic::SetTransparent(bool transparent) {
    transparent_ = transparent;
    ApplyColors();
}

void CColorStatic::SetText(const QString& text) {
    if (transparent_ && parentWidget() != nullptr) {
        parentWidget()->update(geometry());
    }
    setText(text);
}

void CColorStatic::ApplyColors() {
    QPalette p = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::WindowText, text_color_);
        p.setColor(group, QPalette::Window, bk_color_);
    }
    setPalette(p);
    setAutoFillBackground(!transparent_);
    setAttribute(Qt::WA_TranslucentBackground, false);
    update();
}

void CColorStatic::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange && transparent_ && parentWidget() != nullptr) {
        parentWidget()->update(geometry());
    }
    QLabel::changeEvent(event);
}
