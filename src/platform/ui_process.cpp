#include "platform/ui_process.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "platform/qt_window.h"

namespace platform {

namespace {

// Holds back, for the whole application, what would run program logic during the wait.
class HoldBack final : public QObject {
  public:
    struct Message {
        QPointer<QObject> window;
        unsigned message;
        std::uintptr_t wparam;
        std::intptr_t lparam;
    };
    std::vector<Message> held;
    std::vector<QPointer<QWidget>> closes;  // windows asked to close (the title bar's close box)

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == WindowMessageEvent::Type()) {
            auto* m = static_cast<WindowMessageEvent*>(event);
            held.push_back({watched, m->message(), m->wparam(), m->lparam()});
            return true;
        }
        if (event->type() == QEvent::Close && watched->isWidgetType()) {
            closes.emplace_back(static_cast<QWidget*>(watched));
            event->ignore();
            return true;
        }
        // A timer whose tick is swallowed stays due and ticks again at its next interval.
        return event->type() == QEvent::Timer;
    }
};

}  // namespace

ProcessExit RunProgramPainting(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& folder) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return RunProcess(program, arguments, folder, {});
    HoldBack hold;
    app->installEventFilter(&hold);
    const ProcessExit exit = RunProcess(program, arguments, folder, [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::ExcludeSocketNotifiers);
    });
    app->removeEventFilter(&hold);
    // A close asked for meanwhile is asked again, now that the program handles it.
    for (const QPointer<QWidget>& window : hold.closes) {
        if (window) {
            QPointer<QWidget> target = window;
            QMetaObject::invokeMethod(
                target, [target] { if (target) target->close(); }, Qt::QueuedConnection);
        }
    }
    // Ahead of anything posted since, in the order they came.
    for (const HoldBack::Message& m : hold.held) {
        if (m.window)
            QCoreApplication::postEvent(m.window,
                                        new WindowMessageEvent(m.message, m.wparam, m.lparam),
                                        Qt::HighEventPriority);
    }
    return exit;
}

}  // namespace platform
