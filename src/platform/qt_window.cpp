#include "platform/qt_window.h"

#include <QCoreApplication>

namespace platform {

WindowMessageEvent::WindowMessageEvent(unsigned message, std::uintptr_t wparam,
                                       std::intptr_t lparam)
    : QEvent(Type()), message_(message), wparam_(wparam), lparam_(lparam) {}

QEvent::Type WindowMessageEvent::Type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QtWindowHandle::QtWindowHandle(QObject* window) : window_(window), handle_(RegisterWindow(this)) {}

QtWindowHandle::~QtWindowHandle() {
    UnregisterWindow(handle_);
}

void QtWindowHandle::OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    QCoreApplication::postEvent(window_, new WindowMessageEvent(message, wparam, lparam));
}

}  // namespace platform
