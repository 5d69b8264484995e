#include "platform/qt_window.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Received {
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    QThread* thread;
};

class Window : public QObject {
  public:
    platform::WindowHandle handle() const { return handle_.handle(); }
    std::vector<Received> received;

    std::vector<std::shared_ptr<const platform::WindowPicture>> pictures;
    int picture_events = 0;

  protected:
    void customEvent(QEvent* event) override {
        if (event->type() == platform::WindowPictureEvent::Type()) {
            ++picture_events;
            if (auto picture = handle_.TakePicture())
                pictures.push_back(std::move(picture));
            return;
        }
        if (event->type() != platform::WindowMessageEvent::Type())
            return;
        auto* m = static_cast<platform::WindowMessageEvent*>(event);
        received.push_back({m->message(), m->wparam(), m->lparam(), QThread::currentThread()});
    }

  private:
    platform::QtWindowHandle handle_{this};
};

int argc = 1;
char arg0[] = "qt_window_test";
char* argv[] = {arg0, nullptr};

class QtWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { app_ = new QCoreApplication(argc, argv); }
    static void TearDownTestSuite() { delete app_; }
    static QCoreApplication* app_;
};
QCoreApplication* QtWindowTest::app_ = nullptr;

TEST_F(QtWindowTest, PostFromAnyThreadArrivesInOrderOnTheWindowsThread) {
    Window window;
    ASSERT_NE(window.handle(), 0u);
    EXPECT_TRUE(platform::IsWindow(window.handle()));
    std::thread poster([&] {
        for (unsigned i = 0; i < 100; ++i)
            EXPECT_TRUE(platform::PostWindowMessage(window.handle(), 1125, i,
                                                    -static_cast<std::intptr_t>(i)));
    });
    poster.join();
    EXPECT_TRUE(window.received.empty()) << "delivery must wait for the window's event loop";
    QCoreApplication::processEvents();
    ASSERT_EQ(window.received.size(), 100u);
    for (unsigned i = 0; i < 100; ++i) {
        EXPECT_EQ(window.received[i].message, 1125u);
        EXPECT_EQ(window.received[i].wparam, i);
        EXPECT_EQ(window.received[i].lparam, -static_cast<std::intptr_t>(i));
        EXPECT_EQ(window.received[i].thread, QThread::currentThread());
    }
}

TEST_F(QtWindowTest, HandlesAreDistinctAndMessagesToGoneWindowsAreDropped) {
    auto first = std::make_unique<Window>();
    Window second;
    platform::WindowHandle gone = first->handle();
    EXPECT_NE(gone, second.handle());
    first.reset();
    EXPECT_FALSE(platform::IsWindow(gone));
    EXPECT_FALSE(platform::PostWindowMessage(gone, 1125, 40, 0));
    EXPECT_FALSE(platform::PostWindowMessage(0, 1125, 40, 0));
    EXPECT_FALSE(platform::IsWindow(0));
    Window third;
    EXPECT_NE(third.handle(), gone) << "a handle is never reused";
    QCoreApplication::processEvents();
    EXPECT_TRUE(second.received.empty());
    EXPECT_TRUE(third.received.empty());
}

TEST_F(QtWindowTest, AWindowPaintsOnlyTheNewestOfThePicturesShownSinceItLastPainted) {
    Window window;
    auto picture = [](int width) {
        auto p = std::make_shared<platform::WindowPicture>();
        p->width = width;
        return p;
    };
    std::thread video([&] {
        for (int width = 1; width <= 50; ++width)
            EXPECT_TRUE(platform::ShowWindowPicture(window.handle(), picture(width)));
    });
    video.join();
    EXPECT_FALSE(platform::ShowWindowPicture(window.handle(), nullptr));
    QCoreApplication::processEvents();
    EXPECT_EQ(window.picture_events, 1) << "pictures that wait share one event";
    ASSERT_EQ(window.pictures.size(), 1u);
    EXPECT_EQ(window.pictures[0]->width, 50);
    EXPECT_TRUE(platform::ShowWindowPicture(window.handle(), picture(51)));
    QCoreApplication::processEvents();
    ASSERT_EQ(window.pictures.size(), 2u);
    EXPECT_EQ(window.pictures[1]->width, 51);
    EXPECT_FALSE(platform::ShowWindowPicture(0, picture(1)));
}

TEST_F(QtWindowTest, AReportedClientSizeLastsAsLongAsTheWindow) {
    auto window = std::make_unique<Window>();
    const platform::WindowHandle handle = window->handle();
    int width = -1;
    int height = -1;
    EXPECT_FALSE(platform::GetWindowClientSize(handle, width, height)) << "none reported yet";
    platform::SetWindowClientSize(handle, 640, 480);
    platform::SetWindowClientSize(handle, 800, 600);
    ASSERT_TRUE(platform::GetWindowClientSize(handle, width, height));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 600);
    platform::SetWindowClientSize(handle, -5, 10);
    ASSERT_TRUE(platform::GetWindowClientSize(handle, width, height));
    EXPECT_EQ(width, 0) << "a negative size counts as empty";
    window.reset();
    EXPECT_FALSE(platform::GetWindowClientSize(handle, width, height));
    platform::SetWindowClientSize(handle, 10, 10);
    EXPECT_FALSE(platform::GetWindowClientSize(handle, width, height)) << "gone windows stay gone";
    EXPECT_FALSE(platform::GetWindowClientSize(0, width, height));
}

TEST_F(QtWindowTest, QueuedMessagesOfADestroyedWindowAreDiscarded) {
    auto window = std::make_unique<Window>();
    EXPECT_TRUE(platform::PostWindowMessage(window->handle(), 1127, 0, 0));
    window.reset();  // the queued event must not reach freed memory
    QCoreApplication::processEvents();
}

TEST_F(QtWindowTest, PostingWhileWindowsComeAndGoIsSafe) {
    std::atomic<platform::WindowHandle> target{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            while (!done)
                platform::PostWindowMessage(target.load(), 1125, 44, 0);
        });
    for (int i = 0; i < 300; ++i) {
        auto window = std::make_unique<Window>();
        target = window->handle();
        QCoreApplication::processEvents();
        window.reset();
        EXPECT_FALSE(platform::PostWindowMessage(target.load(), 1125, 44, 0));
    }
    done = true;
    for (auto& t : posters)
        t.join();
    QCoreApplication::processEvents();
}

}  // namespace
