// The preview pane with a real playback instance rendering into it, as the camera tabs run it:
// H.264 made by the ffmpeg program, fed as media frames, decoded and drawn on the library's
// thread, the overlay drawn by the pane, the finished picture painted by the pane.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "camera/dlg_preview.h"
#include "device/ZQPlay.h"
#include "platform/qt_window.h"
#include "zqplay/h264_clip.h"

namespace {

struct Clip {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<zqplay_clip::AccessUnit> units;
};

// Ten pictures of `source` (an ffmpeg lavfi source of width x height), a key frame every 5.
Clip MakeClip(const std::string& source, uint32_t width, uint32_t height) {
    Clip clip{width, height, {}};
    clip.units = zqplay_clip::SplitAccessUnits(zqplay_clip::EncodeStream(source, 10, 5));
    return clip;
}

// Red top left, lime top right, blue bottom left, white bottom right.
std::string Quadrants(int width, int height) {
    const std::string w = std::to_string(width / 2), h = std::to_string(height / 2);
    return "color=c=red:s=" + std::to_string(width) + "x" + std::to_string(height) +
           ":r=25,drawbox=x=" + w + ":y=0:w=" + w + ":h=" + h +
           ":color=lime:t=fill,drawbox=x=0:y=" + h + ":w=" + w + ":h=" + h +
           ":color=blue:t=fill,drawbox=x=" + w + ":y=" + h + ":w=" + w + ":h=" + h +
           ":color=white:t=fill";
}

// Close to a colour (the picture went through YUV 4:2:0 and back).
bool Like(QRgb pixel, QRgb colour) {
    return std::abs(qRed(pixel) - qRed(colour)) <= 48 &&
           std::abs(qGreen(pixel) - qGreen(colour)) <= 48 &&
           std::abs(qBlue(pixel) - qBlue(colour)) <= 48;
}

// An 800 x 600 pane with a playback instance rendering into it, the way the camera tabs start
// a preview: create, window, draw callback, proportion, start; then the pane's play handle, its
// active flag and its zoom.
class PanePlayback : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ZQPlayInitPlayLib(0, 1, 0); }
    static void TearDownTestSuite() { ZQPlayDeinitPlayLib(); }

    void Start(int mode, int keep_proportion) {
        pane_ = std::make_unique<CDlgPreview>(mode, parent_.handle(), &top_);
        top_.resize(800, 600);
        pane_->setGeometry(0, 0, 800, 600);
        top_.show();
        play_ = ZQPlayCreatePlayInstance(2);
        ASSERT_NE(play_, 0u);
        ZQPlaySetPlayWnd(play_, pane_->PlayWindow());
        ZQPlayRegisterDrawFun(play_, mode == CDlgPreview::kCircleMode ? &DrawCircle : &DrawZoom,
                              this);
        ZQPlayRenderActualProportion(play_, keep_proportion);
        ZQPlayStartPlay(play_);
        pane_->SetPlayHandle(play_);
        pane_->InvertActive();
        pane_->ClearZoom();
    }
    void TearDown() override {
        if (play_ != 0) {
            ZQPlayStopPlay(play_);
            ZQPlayDestroyPlayInstance(play_);
        }
        if (pane_) {
            pane_->Reset();
        }
    }

    static void DrawCircle(ZQPlaySurface* surface, int32_t w, int32_t h, void* user, int32_t x,
                           int32_t y) {
        auto* self = static_cast<PanePlayback*>(user);
        int32_t pw = 0, ph = 0;
        ZQPlayGetPlayPicSize(self->play_, &pw, &ph);
        self->pane_->DrawCircleMode(surface, w, h, x, y, pw, ph);
    }
    static void DrawZoom(ZQPlaySurface* surface, int32_t, int32_t, void* user, int32_t, int32_t) {
        auto* self = static_cast<PanePlayback*>(user);
        self->pane_->DrawZoomMode(surface);
        ++self->draws_;
    }

    // Feeds the clip, frame after frame, until what the pane shows passes `shown` (at most 400
    // frames).
    bool FeedUntil(const Clip& clip, const std::function<bool(const QImage&)>& shown) {
        if (clip.units.empty()) {
            return false;
        }
        for (int i = 0; i < 400; ++i) {
            const auto& unit = clip.units[static_cast<std::size_t>(i) % clip.units.size()];
            const auto block =
                zqplay_clip::Block(unit, clip.width, clip.height, static_cast<uint32_t>(next_++));
            ZQPlayInputNetFrame(play_, block.data(), static_cast<int32_t>(block.size()));
            if (QTest::qWaitFor([&] { return shown(pane_->grab().toImage()); }, 50)) {
                return true;
            }
        }
        return false;
    }

    // What the pane shows once pictures rendered after a change of the view area have arrived
    // (a picture drawn while the change was made may still show the old view: the third one
    // drawn after it was started after the change).
    QImage ShownAfterChange(const Clip& clip) {
        const int before = draws_.load();
        EXPECT_TRUE(FeedUntil(clip, [&](const QImage&) { return draws_.load() >= before + 3; }));
        QCoreApplication::sendPostedEvents();
        return pane_->grab().toImage();
    }

    void Press(Qt::MouseButton button, QPoint p) {
        QTest::mousePress(pane_.get(), button, Qt::NoModifier, p);
    }
    void MoveWithLeft(QPoint p) {
        QMouseEvent move(QEvent::MouseMove, QPointF(p), QPointF(pane_->mapToGlobal(p)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(pane_.get(), &move);
    }
    void Release(Qt::MouseButton button, QPoint p) {
        QTest::mouseRelease(pane_.get(), button, Qt::NoModifier, p);
    }

    struct Parent : QObject {
        platform::QtWindowHandle window{this};
        int circle_messages = 0;
        bool event(QEvent* e) override {
            if (e->type() == platform::WindowMessageEvent::Type()) {
                circle_messages +=
                    static_cast<platform::WindowMessageEvent*>(e)->message() == 1126u ? 1 : 0;
                return true;
            }
            return QObject::event(e);
        }
        platform::WindowHandle handle() const { return window.handle(); }
    } parent_;
    QWidget top_;
    std::unique_ptr<CDlgPreview> pane_;
    ZQPLAY_HANDLE play_ = 0;
    int next_ = 0;
    std::atomic<int> draws_{0};  // pictures drawn in zoom mode
};

TEST_F(PanePlayback, CircleModeDrawsTheOverlayOnTheLivePicture) {
    Start(CDlgPreview::kCircleMode, 1);
    // A grey 320 x 240 picture fills the 4:3 pane at scale 2.5: bounding square
    // (100, 0, 700, 600), circle (160, 120) radius 120, minimum 70 (175 window pixels).
    const Clip grey = MakeClip("color=c=gray:s=320x240:r=25", 320, 240);
    ASSERT_FALSE(grey.units.empty()) << "ffmpeg could not make the clip";
    const QRgb red = qRgb(255, 0, 0), green = qRgb(0, 255, 0), gray = qRgb(128, 128, 128);
    ASSERT_TRUE(FeedUntil(grey, [&](const QImage& img) {
        return Like(img.pixel(50, 300), gray) && img.pixel(100, 200) == green &&
               img.pixel(392, 300) == red;
    }));
    const QImage shown = pane_->grab().toImage();
    EXPECT_TRUE(Like(shown.pixel(400, 200), gray));
    EXPECT_EQ(shown.pixel(700, 400), green);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(parent_.circle_messages, 1);
    int x = 0, y = 0, r = 0;
    pane_->GetCircle(x, y, r);
    EXPECT_EQ(x, 160);
    EXPECT_EQ(y, 120);
    EXPECT_EQ(r, 120);

    // The operator drags the bottom handle 50 up: the circle shrinks by 10 picture pixels.
    Press(Qt::LeftButton, QPoint(400, 600 - 1));
    MoveWithLeft(QPoint(400, 550 - 1));
    Release(Qt::LeftButton, QPoint(400, 550 - 1));
    ASSERT_TRUE(FeedUntil(grey, [&](const QImage&) {
        QCoreApplication::sendPostedEvents();
        return parent_.circle_messages == 2;
    }));
    pane_->GetCircle(x, y, r);
    EXPECT_EQ(r, 110);
}

TEST_F(PanePlayback, ZoomSelectionShowsThePartDraggedAndRightClickTheWhole) {
    Start(CDlgPreview::kZoomMode, 0);
    const Clip quadrants = MakeClip(Quadrants(320, 240), 320, 240);
    ASSERT_FALSE(quadrants.units.empty()) << "ffmpeg could not make the clip";
    const QRgb red = qRgb(255, 0, 0), white = qRgb(255, 255, 255);

    // Before the picture size is known a selection changes nothing on the screen.
    Press(Qt::LeftButton, QPoint(420, 20));
    MoveWithLeft(QPoint(780, 280));
    Release(Qt::LeftButton, QPoint(780, 280));
    ASSERT_TRUE(FeedUntil(quadrants, [&](const QImage& img) {
        return Like(img.pixel(50, 50), red) && Like(img.pixel(750, 550), white);
    }));
    Release(Qt::RightButton, QPoint(10, 10));

    // The bottom right quarter of the pane: the white quadrant fills it.
    Press(Qt::LeftButton, QPoint(400, 300));
    MoveWithLeft(QPoint(900, 700));  // stops at the pane's edge
    Release(Qt::LeftButton, QPoint(799, 599));
    ASSERT_TRUE(FeedUntil(quadrants, [&](const QImage& img) {
        return Like(img.pixel(50, 50), white) && Like(img.pixel(750, 550), white);
    }));

    // A zoom inside that zoom refines what is shown: its top left quarter is still white (the
    // same selection taken on the whole picture would show red).
    Press(Qt::LeftButton, QPoint(1, 1));  // (0, 0) would be taken as "the centre" by QTest
    MoveWithLeft(QPoint(400, 300));
    Release(Qt::LeftButton, QPoint(400, 300));
    const QImage refined = ShownAfterChange(quadrants);
    EXPECT_TRUE(Like(refined.pixel(50, 50), white));
    EXPECT_TRUE(Like(refined.pixel(750, 550), white));

    // A right click shows the whole picture again.
    Release(Qt::RightButton, QPoint(10, 10));
    EXPECT_TRUE(FeedUntil(quadrants, [&](const QImage& img) {
        return Like(img.pixel(50, 50), red) && Like(img.pixel(750, 550), white);
    }));
}

}  // namespace
