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

WindowPictureEvent::WindowPictureEvent() : QEvent(Type()) {}

QEvent::Type WindowPictureEvent::Type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void QtWindowHandle::OnPicture(std::shared_ptr<const WindowPicture> picture) {
    std::lock_guard lock(picture_mutex_);
    picture_ = std::move(picture);
    if (!picture_event_posted_) {
        picture_event_posted_ = true;
        QCoreApplication::postEvent(window_, new WindowPictureEvent);
    }
}

std::shared_ptr<const WindowPicture> QtWindowHandle::TakePicture() {
    std::lock_guard lock(picture_mutex_);
    picture_event_posted_ = false;
    return std::move(picture_);
}

}  // namespace platform
