#include "platform/qt_window.h"

#include <QCoreApplication>
#include <QResizeEvent>
#include <QWidget>
#include <mutex>

// ThreadSanitizer builds (ZQ_SANITIZE=thread) tell the sanitizer about the hand-off of a posted
// event; see Posting() below.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZQ_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(ZQ_THREAD_SANITIZER)
#define ZQ_THREAD_SANITIZER 1
#endif
#ifdef ZQ_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

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

#ifdef ZQ_THREAD_SANITIZER
// Qt's event queue orders a post before the event's delivery, but ThreadSanitizer cannot see
// it: Qt is not instrumented and its QMutex waits on futexes. Without telling it, every read of
// an event made on another thread (its type, a message's wparam) is reported as a race with
// the poster's allocation. Posting() releases the event's address on the posting thread;
// Qt's event-notify hook, which runs before any event filter and the receiver, acquires it on
// the delivering thread.
bool AcquireDelivered(void** data) {
    __tsan_acquire(data[1]);  // { receiver, event, &result }
    return false;             // not handled here: Qt delivers it as usual
}

void HookDelivery() {
    static std::once_flag once;
    std::call_once(once, [] {
        QInternal::registerCallback(QInternal::EventNotifyCallback, &AcquireDelivered);
    });
}

QEvent* Posting(QEvent* event) {
    __tsan_release(event);
    return event;
}
#else
void HookDelivery() {}
QEvent* Posting(QEvent* event) {
    return event;
}
#endif

}  // namespace

QtWindowHandle::QtWindowHandle(QObject* window) : window_(window), handle_(RegisterWindow(this)) {
    HookDelivery();  // on the window's thread, before anything can post to it
    if (window_->isWidgetType())
        size_watcher_ = std::make_unique<SizeWatcher>(static_cast<QWidget*>(window_), handle_);
}

QtWindowHandle::~QtWindowHandle() {
    size_watcher_.reset();  // a destroyed filter removes itself from the widget
    UnregisterWindow(handle_);
}

void QtWindowHandle::OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    QCoreApplication::postEvent(window_,
                                Posting(new WindowMessageEvent(message, wparam, lparam)));
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
        QCoreApplication::postEvent(window_, Posting(new WindowPictureEvent));
    }
}

std::shared_ptr<const WindowPicture> QtWindowHandle::TakePicture() {
    std::lock_guard lock(picture_mutex_);
    picture_event_posted_ = false;
    return std::move(picture_);
}

}  // namespace platform
