// Window handles and posted window messages, without any user-interface toolkit.
//
// A window handle is a 32-bit number naming one of the program's windows (0 names none).
// Handles are handed out by RegisterWindow and never reused while the process runs. A message
// posted to a handle is handed to that window's receiver; the receiver queues it for the
// window's own thread (the Qt binding in qt_window.h does this with a Qt event), so posting
// never runs window code on the poster's thread.
//
// What callers may rely on:
// - Every function is thread-safe and may be called from any thread, also from threads of
//   outside libraries.
// - PostWindowMessage returns true when the message was handed to a live window's receiver and
//   false when the handle is 0 or names a window that is gone; such a message is dropped.
// - After UnregisterWindow returns, the receiver is never called again for that handle (a post
//   in progress on another thread has finished), so the receiver may then be destroyed.
//
// This part lives in its own shared library so that the station and the device libraries it
// loads see one and the same table of windows.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

using WindowHandle = std::uint32_t;

// Receives the messages posted to one window. OnPost runs on the posting thread while the
// window table is locked: it must only queue the message (never block, never post or register).
// A finished picture for a window: 32 bits a pixel (0xffRRGGBB in native byte order, the layout
// of QImage::Format_RGB32), rows `stride` bytes apart.
struct WindowPicture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;
};

class MessageReceiver {
  public:
    virtual void OnPost(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
    // Same rules as OnPost. A receiver that shows no pictures ignores them.
    virtual void OnPicture(std::shared_ptr<const WindowPicture> picture) { (void)picture; }

  protected:
    ~MessageReceiver() = default;
};

// Gives the receiver a new handle (never 0). The receiver must outlive its registration.
WindowHandle RegisterWindow(MessageReceiver* receiver);

// Ends a registration; unknown handles and 0 are ignored.
void UnregisterWindow(WindowHandle window);

// True while the handle names a registered window.
bool IsWindow(WindowHandle window);

// Posts message (wparam, lparam) to the window; false, and nothing delivered, when it is gone.
bool PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wparam,
                       std::intptr_t lparam);

// Hands a finished picture to the window, which puts it on the screen on its own thread (the
// way a video library paints into a window). False, and the picture dropped, when the window is
// gone or the picture is null.
bool ShowWindowPicture(WindowHandle window, std::shared_ptr<const WindowPicture> picture);

// The size of a window's client area, for those who render pictures for it. A window that shows
// pictures reports its size whenever it changes (from any thread); a video library asks for it
// before it renders each picture. Reports for a handle that is gone are ignored.
void SetWindowClientSize(WindowHandle window, int width, int height);

// The size last reported for the window; false when the window is gone or has reported none.
bool GetWindowClientSize(WindowHandle window, int& width, int& height);

}  // namespace platform
