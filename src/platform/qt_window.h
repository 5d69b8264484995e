// Qt binding of the window handles and posted messages of window_message.h.
//
// A window gets a handle by owning a QtWindowHandle (usually as a data member). A message
// posted to that handle, from any thread, arrives on the window's own thread as a
// WindowMessageEvent through QObject::event / customEvent, in posting order for one poster.
// Once the QtWindowHandle is destroyed, posts to its handle return false and are dropped;
// events already queued for a QObject that is destroyed are discarded by Qt.
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/window_message.h"

namespace platform {

class WindowMessageEvent final : public QEvent {
  public:
    WindowMessageEvent(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);

    // The event type of every posted window message (registered once with Qt).
    static QEvent::Type Type();

    unsigned message() const { return message_; }
    std::uintptr_t wparam() const { return wparam_; }
    std::intptr_t lparam() const { return lparam_; }

  private:
    unsigned message_;
    std::uintptr_t wparam_;
    std::intptr_t lparam_;
};

// Tells a window that a picture shown with ShowWindowPicture waits for it: the window takes the
// newest one with QtWindowHandle::TakePicture and paints it. One event stands for every picture
// that arrived before it was handled, so a window that paints slowly only skips pictures.
class WindowPictureEvent final : public QEvent {
  public:
    WindowPictureEvent();
    static QEvent::Type Type();
};

// Holds a window handle for a QObject. Create and destroy it on the object's thread; the object
// must outlive it (a data member of the window does this). When the object is a widget, its
// size is reported as the window's client size (SetWindowClientSize) from the start and on
// every resize, so a video library renders at the size it is shown at.
class QtWindowHandle final : private MessageReceiver {
  public:
    explicit QtWindowHandle(QObject* window);
    ~QtWindowHandle();
    QtWindowHandle(const QtWindowHandle&) = delete;
    QtWindowHandle& operator=(const QtWindowHandle&) = delete;

    WindowHandle handle() const { return handle_; }

    // The newest picture shown to this window since the last call (null when none), for the
    // window's thread on a WindowPictureEvent.
    std::shared_ptr<const WindowPicture> TakePicture();

  private:
    void OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
    void OnPicture(std::shared_ptr<const WindowPicture> picture) override;

    QObject* window_;
    WindowHandle handle_;
    std::unique_ptr<QObject> size_watcher_;  // widgets only
    std::mutex picture_mutex_;
    std::shared_ptr<const WindowPicture> picture_;  // newest picture not yet taken
    bool picture_event_posted_ = false;
};

}  // namespace platform
