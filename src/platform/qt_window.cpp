#include "platform/qt_window.h"

#include <QCoreApplication>
#include <QResizeEvent>
#include <QWidget>

namespace platform {

WindowMessageEvent::WindowMessageEvent(unsigned message, std::uintptr_t wparam,
                                       std::intptr_t lparam)
    : QEvent(Type()), message_(message), wparam_(wparam), lparam_(lparam) {}

QEvent::Type WindowMessageEvent::Type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

namespace {

// Reports a widget's size as its window's client size whenever it changes.
class SizeWatcher final : public QObject {
  public:
    SizeWatcher(QWidget* widget, WindowHandle handle) : handle_(handle) {
        SetWindowClientSize(handle_, widget->width(), widget->height());
        widget->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) {
            const QSize size = static_cast<QResizeEvent*>(event)->size();
            SetWindowClientSize(handle_, size.width(), size.height());
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    WindowHandle handle_;
};

}  // namespace

QtWindowHandle::QtWindowHandle(QObject* window) : window_(window), handle_(RegisterWindow(this)) {
    if (window_->isWidgetType())
        size_watcher_ = std::make_unique<SizeWatcher>(static_cast<QWidget*>(window_), handle_);
}

QtWindowHandle::~QtWindowHandle() {
    size_watcher_.reset();  // a destroyed filter removes itself from the widget
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
