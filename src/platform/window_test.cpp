#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/qt_window.h"
#include "platform/top_level_window.h"
#include "platform/window_timers.h"

namespace {

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Pred>
bool WaitFor(Pred done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
    return done();
}

TEST(WindowTimers, TicksCarryTheirOwnIds) {
    QObject owner;
    std::vector<int> ticks;
    platform::WindowTimers timers(&owner, [&](int id) { ticks.push_back(id); });
    ASSERT_TRUE(timers.Start(3, 20));
    ASSERT_TRUE(timers.Start(1129, 20));
    ASSERT_TRUE(WaitFor([&] { return ticks.size() >= 6; }, 3000));
    EXPECT_TRUE(timers.Stop(3));
    EXPECT_FALSE(timers.Stop(3));
    EXPECT_TRUE(timers.IsRunning(1129));
    EXPECT_NE(std::count(ticks.begin(), ticks.end(), 3), 0);
    EXPECT_NE(std::count(ticks.begin(), ticks.end(), 1129), 0);
    for (int id : ticks) {
        EXPECT_TRUE(id == 3 || id == 1129) << id;
    }
    ticks.clear();
    QTest::qWait(100);
    EXPECT_EQ(std::count(ticks.begin(), ticks.end(), 3), 0);
    EXPECT_FALSE(timers.Start(7, -1));
    EXPECT_FALSE(timers.IsRunning(7));
}

TEST(WindowTimers, StartingARunningTimerRestartsItsInterval) {
    QObject owner;
    QElapsedTimer clock;
    qint64 first_tick = -1;
    platform::WindowTimers timers(&owner, [&](int) {
        if (first_tick < 0) {
            first_tick = clock.elapsed();
        }
    });
    clock.start();
    timers.Start(4, 200);
    WaitFor([] { return false; }, 150);
    const qint64 restarted = clock.elapsed();
    timers.Start(4, 200);  // the tick due at 200 ms moves to 200 ms after this call
    ASSERT_TRUE(WaitFor([&] { return first_tick >= 0; }, 5000));
    EXPECT_GE(first_tick, restarted + 195);
}

// The tabs' clearing timers count their own ticks and stop on the seventh; restarting the
// timer from inside a tick must neither lose nor add ticks.
TEST(WindowTimers, HandlerCanRestartAndStopItsOwnTimer) {
    QObject owner;
    int count = 0;
    int delivered = 0;
    platform::WindowTimers* self = nullptr;
    platform::WindowTimers timers(&owner, [&](int id) {
        ++delivered;
        if (++count == 3) {
            self->Start(id, 15);
        }
        if (count == 7) {
            count = 0;
            self->Stop(id);
        }
    });
    self = &timers;
    timers.Start(2, 15);
    ASSERT_TRUE(WaitFor([&] { return !timers.IsRunning(2); }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(delivered, 7);
    EXPECT_EQ(count, 0);
}

TEST(WindowTimers, TicksArriveWhileAModalDialogRunsAndCanCloseIt) {
    QDialog box;
    box.setWindowTitle("Prompt");
    int ticks = 0;
    bool closed = false;
    platform::WindowTimers timers(&box, [&](int id) {
        if (++ticks == 2) {
            timers.Stop(id);
            closed = platform::CloseTopLevelWindow("Prompt");
        }
    });
    timers.Start(1, 30);
    EXPECT_EQ(box.exec(), QDialog::Rejected);  // the system close counts as Cancel
    EXPECT_TRUE(closed);
    EXPECT_EQ(ticks, 2);
}

// A pane that shows pictures: its handle reports its size to whoever renders for it.
class PictureWindow : public QWidget {
  public:
    using QWidget::QWidget;
    platform::WindowHandle handle() const { return handle_.handle(); }

  private:
    platform::QtWindowHandle handle_{this};
};

TEST(QtWindowHandle, AWidgetReportsItsSizeFromTheStartAndOnEveryResize) {
    QWidget parent;
    parent.resize(400, 300);
    auto pane = std::make_unique<PictureWindow>(&parent);
    pane->resize(320, 240);
    parent.show();
    ASSERT_TRUE(WaitFor([&] { return pane->isVisible(); }, 2000));
    int width = 0, height = 0;
    ASSERT_TRUE(platform::GetWindowClientSize(pane->handle(), width, height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    pane->setGeometry(20, 20, 211, 97);
    QApplication::processEvents();
    ASSERT_TRUE(platform::GetWindowClientSize(pane->handle(), width, height));
    EXPECT_EQ(width, 211);
    EXPECT_EQ(height, 97);
    const platform::WindowHandle gone = pane->handle();
    pane.reset();
    EXPECT_FALSE(platform::GetWindowClientSize(gone, width, height));

    QObject not_a_widget;
    platform::QtWindowHandle plain(&not_a_widget);
    EXPECT_FALSE(platform::GetWindowClientSize(plain.handle(), width, height));
}

class StubbornWindow : public QWidget {
  protected:
    void closeEvent(QCloseEvent* e) override { e->ignore(); }
};

TEST(TopLevelWindow, FindsVisibleWindowsByExactTitle) {
    QWidget hidden;
    hidden.setWindowTitle("Prompt");
    EXPECT_EQ(platform::FindTopLevelWindow("Prompt"), nullptr);
    EXPECT_FALSE(platform::CloseTopLevelWindow("Prompt"));

    QWidget shown;
    shown.setWindowTitle("Prompt");
    shown.show();
    QWidget other;
    other.setWindowTitle("prompt");
    other.show();
    EXPECT_EQ(platform::FindTopLevelWindow("Prompt"), &shown);
    EXPECT_EQ(platform::FindTopLevelWindow("Prompt "), nullptr);

    // A child widget with the title is not a top-level window.
    QWidget child(&other);
    child.setWindowTitle("Child");
    child.show();
    EXPECT_EQ(platform::FindTopLevelWindow("Child"), nullptr);

    EXPECT_TRUE(platform::CloseTopLevelWindow("Prompt"));
    EXPECT_FALSE(shown.isVisible());
    EXPECT_EQ(platform::FindTopLevelWindow("Prompt"), nullptr);
    EXPECT_TRUE(other.isVisible());
}

TEST(TopLevelWindow, AWindowMayRefuseTheSystemClose) {
    StubbornWindow w;
    w.setWindowTitle("Stubborn");
    w.show();
    EXPECT_FALSE(platform::SendSystemClose(&w));
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(platform::CloseTopLevelWindow("Stubborn"));  // found, though it stays open
    EXPECT_FALSE(platform::SendSystemClose(nullptr));
}

}  // namespace
