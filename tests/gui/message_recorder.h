// MessageRecorder: a stand-in main window for tab tests; records the window messages posted to
// its handle (message, wParam) in order. UI thread only.
#pragma once

#include <QObject>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/qt_window.h"

class MessageRecorder : public QObject {
  public:
    platform::QtWindowHandle handle{this};
    std::vector<std::pair<unsigned, std::uintptr_t>> messages;

    bool event(QEvent* e) override {
        if (e->type() == platform::WindowMessageEvent::Type()) {
            auto* m = static_cast<platform::WindowMessageEvent*>(e);
            messages.emplace_back(m->message(), m->wparam());
            return true;
        }
        return QObject::event(e);
    }
};
