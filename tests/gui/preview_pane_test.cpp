// The preview pane as a window: the overlay it draws into a picture's surface, the message 1126
// it posts to its parent, the mouse as an operator uses it, and the pictures it shows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <cstdint>
#include <thread>
#include <tuple>
#include <vector>

#include "camera/dlg_preview.h"
#include "platform/qt_window.h"

namespace {

// A stand-in tab window: records the messages posted to its handle.
class ParentWindow : public QObject {
  public:
    platform::QtWindowHandle handle{this};
    std::vector<std::tuple<unsigned, std::uintptr_t, std::intptr_t>> messages;

    bool event(QEvent* e) override {
        if (e->type() == platform::WindowMessageEvent::Type()) {
            auto* m = static_cast<platform::WindowMessageEvent*>(e);
            messages.emplace_back(m->message(), m->wparam(), m->lparam());
            return true;
        }
        return QObject::event(e);
    }
    // The messages that arrived since the last call.
    std::vector<std::tuple<unsigned, std::uintptr_t, std::intptr_t>> Take() {
        QCoreApplication::sendPostedEvents();
        return std::exchange(messages, {});
    }
};

using Message = std::tuple<unsigned, std::uintptr_t, std::intptr_t>;

// A window-sized picture surface backed by a QImage, as the playback library hands it over.
struct Surface {
    explicit Surface(int w, int h) : image(w, h, QImage::Format_RGB32) {
        image.fill(Qt::black);
        surface = ZQPlaySurface{image.bits(), w, h, static_cast<int32_t>(image.bytesPerLine())};
    }
    QImage image;
    ZQPlaySurface surface{};
};

bool IsRed(QRgb c) {
    return qRed(c) == 255 && qGreen(c) == 0 && qBlue(c) == 0;
}
bool IsGreen(QRgb c) {
    return qRed(c) == 0 && qGreen(c) == 255 && qBlue(c) == 0;
}
bool IsWhite(QRgb c) {
    return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 255;
}

// Whether a pixel within `reach` of (x, y) passes `test` (shapes land within a pixel of where
// the geometry puts them).
template <typename Test>
bool Near(const QImage& image, int x, int y, Test test, int reach = 1) {
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            if (image.valid(x + dx, y + dy) && test(image.pixel(x + dx, y + dy))) {
                return true;
            }
        }
    }
    return false;
}

void SendMove(QWidget* w, QPoint p, Qt::MouseButtons buttons) {
    QMouseEvent move(QEvent::MouseMove, QPointF(p), QPointF(w->mapToGlobal(p)), Qt::NoButton,
                     buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

// Mouse press, one move with the left button held, release.
void Drag(QWidget* w, QPoint from, QPoint to) {
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, from);
    SendMove(w, to, Qt::LeftButton);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, to);
}

// An 800 x 600 pane in circle mode showing a 1280 x 720 picture with its proportion: fitted
// into 800 x 450 at offset (0, 75), scale 0.625. Bounding square (175, 75, 625, 525); the first
// circle is (640, 360) radius 360; minimum radius 310 picture pixels, 193.75 window pixels.
class CirclePane : public ::testing::Test {
  protected:
    void SetUp() override {
        top_.resize(800, 600);
        pane_.setGeometry(0, 0, 800, 600);
        top_.show();
        pane_.SetPlayHandle(0);
        pane_.InvertActive();
    }
    void Draw() { pane_.DrawCircleMode(&surface_.surface, 800, 450, 0, 75, 1280, 720); }
    std::tuple<int, int, int> Circle() {
        int x = 0, y = 0, r = 0;
        pane_.GetCircle(x, y, r);
        return {x, y, r};
    }

    ParentWindow parent_;
    QWidget top_;
    CDlgPreview pane_{CDlgPreview::kCircleMode, parent_.handle.handle(), &top_};
    Surface surface_{800, 600};
};

TEST_F(CirclePane, DrawStepPaintsTheOverlayWhereTheGeometrySays) {
    Draw();
    const QImage& img = surface_.image;
    // Red: the circle (centre (400, 300), radius 225) at 45 degrees, the cross, a handle.
    EXPECT_TRUE(Near(img, 400 + 159, 300 - 159, IsRed));
    EXPECT_TRUE(Near(img, 392, 300, IsRed, 0));
    EXPECT_TRUE(Near(img, 400, 308, IsRed, 0));
    EXPECT_TRUE(Near(img, 620, 300, IsRed));  // right handle, inside the square
    // Green: the bounding square's four edges and the minimum circle (radius 193.75).
    EXPECT_TRUE(Near(img, 175, 120, IsGreen, 0));
    EXPECT_TRUE(Near(img, 625, 480, IsGreen, 0));
    EXPECT_TRUE(Near(img, 220, 75, IsGreen, 0));
    EXPECT_TRUE(Near(img, 580, 525, IsGreen, 0));
    EXPECT_TRUE(Near(img, 400, 106, IsGreen));
    // Nothing else: outside the bounding square and inside the circle stays as the picture was.
    EXPECT_EQ(img.pixel(100, 300), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(450, 350), qRgb(0, 0, 0));

    EXPECT_EQ(Circle(), std::make_tuple(640, 360, 360));
    EXPECT_EQ(parent_.Take(), (std::vector<Message>{{1126u, 0u, 75}}));
    // An unchanged circle tells the parent nothing.
    Draw();
    EXPECT_TRUE(parent_.Take().empty());
}

TEST_F(CirclePane, DrawStepRunsOnAnotherThread) {
    std::thread playback([this] { Draw(); });
    playback.join();
    EXPECT_EQ(parent_.Take(), (std::vector<Message>{{1126u, 0u, 75}}));
    EXPECT_TRUE(Near(surface_.image, 400 + 159, 300 - 159, IsRed));
}

TEST_F(CirclePane, PictureSizeUnknownDrawsNothingAndTellsNobody) {
    pane_.DrawCircleMode(&surface_.surface, 800, 450, 0, 75, 0, 0);
    EXPECT_TRUE(parent_.Take().empty());
    EXPECT_EQ(surface_.image.pixel(175, 120), qRgb(0, 0, 0));
    pane_.DrawCircleMode(nullptr, 800, 450, 0, 75, 1280, 720);  // no surface: no drawing
    EXPECT_EQ(parent_.Take(), (std::vector<Message>{{1126u, 0u, 75}}));
}

TEST_F(CirclePane, DraggingAHandleAndMovingReportTheNewCircle) {
    Draw();
    parent_.Take();
    // The right handle 25 pixels in: a square (175, 87.5, 600, 512.5).
    Drag(&pane_, QPoint(625, 300), QPoint(600, 300));
    Draw();
    EXPECT_EQ(parent_.Take(), (std::vector<Message>{{1126u, 0u, 75}}));
    EXPECT_EQ(Circle(), std::make_tuple(620, 360, 340));
    int x = 0, y = 0, half = 0;
    pane_.GetDisplayCircle(x, y, half);
    EXPECT_EQ(std::make_tuple(x, y, half), std::make_tuple(387, 224, 212));

    // Moved right by 10 from its centre (room 25 to the right).
    Drag(&pane_, QPoint(387, 300), QPoint(397, 300));
    Draw();
    EXPECT_EQ(parent_.Take().size(), 1u);
    EXPECT_EQ(Circle(), std::make_tuple(636, 360, 340));
}

TEST_F(CirclePane, ResizeBelowTheMinimumIsIgnored) {
    Draw();
    parent_.Take();
    // Twice the minimum radius is 387.5 window pixels; the square is 450 wide.
    Drag(&pane_, QPoint(175, 300), QPoint(245, 300));
    Draw();
    EXPECT_TRUE(parent_.Take().empty());
    EXPECT_EQ(Circle(), std::make_tuple(640, 360, 360));
    // Down to just above the minimum is taken.
    Drag(&pane_, QPoint(175, 300), QPoint(235, 300));
    Draw();
    EXPECT_EQ(parent_.Take().size(), 1u);
    EXPECT_EQ(std::get<2>(Circle()), 312);  // 195 window pixels
}

TEST_F(CirclePane, CursorsFollowHandlesAndTheActiveFlag) {
    Draw();
    SendMove(&pane_, QPoint(625, 300), Qt::NoButton);
    EXPECT_EQ(pane_.cursor().shape(), Qt::SizeHorCursor);
    SendMove(&pane_, QPoint(400, 75), Qt::NoButton);
    EXPECT_EQ(pane_.cursor().shape(), Qt::SizeVerCursor);
    QTest::mousePress(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(400, 300));
    EXPECT_EQ(pane_.cursor().shape(), Qt::SizeAllCursor);
    QTest::mouseRelease(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(400, 300));
    EXPECT_EQ(pane_.cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    // Without a running preview the default cursor stays.
    pane_.InvertActive();
    SendMove(&pane_, QPoint(625, 300), Qt::NoButton);
    EXPECT_EQ(pane_.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(CirclePane, DoubleClickStartsAgainFromTheBoundingSquare) {
    Draw();
    Drag(&pane_, QPoint(625, 300), QPoint(600, 300));
    Draw();
    parent_.Take();
    ASSERT_EQ(Circle(), std::make_tuple(620, 360, 340));
    QTest::mouseDClick(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(400, 300));
    EXPECT_EQ(Circle(), std::make_tuple(0, 0, 0));
    Draw();
    EXPECT_EQ(parent_.Take(), (std::vector<Message>{{1126u, 0u, 75}}));
    EXPECT_EQ(Circle(), std::make_tuple(640, 360, 360));
}

TEST_F(CirclePane, SetCircleMovesTheSquareOnTheNextDraw) {
    Draw();
    parent_.Take();
    pane_.SetCircle(600, 350, 320);
    Draw();
    EXPECT_EQ(parent_.Take().size(), 1u);
    EXPECT_EQ(Circle(), std::make_tuple(600, 350, 320));
    // A circle with x 0 (a cleared camera) leaves the square where it is.
    pane_.SetCircle(0, 0, 0);
    Draw();
    EXPECT_TRUE(parent_.Take().empty());
    EXPECT_EQ(Circle(), std::make_tuple(600, 350, 320));
}

TEST(PreviewPanePicture, PaintsTheNewestPictureShownToItsWindow) {
    ParentWindow parent;
    QWidget top;
    top.resize(320, 240);
    CDlgPreview pane(CDlgPreview::kCircleMode, parent.handle.handle(), &top);
    pane.setGeometry(0, 0, 320, 240);
    top.show();

    QImage shown = pane.grab().toImage();
    EXPECT_TRUE(IsWhite(shown.pixel(10, 10)));  // nothing shown yet: white

    auto picture = std::make_shared<platform::WindowPicture>();
    picture->width = 320;
    picture->height = 240;
    picture->stride = 320 * 4;
    picture->pixels.resize(static_cast<std::size_t>(picture->stride) * picture->height);
    QImage drawn(picture->pixels.data(), 320, 240, picture->stride, QImage::Format_RGB32);
    drawn.fill(qRgb(10, 20, 200));
    drawn.setPixel(300, 200, qRgb(255, 0, 0));
    ASSERT_TRUE(platform::ShowWindowPicture(pane.PlayWindow(), picture));
    QCoreApplication::sendPostedEvents();

    shown = pane.grab().toImage();
    EXPECT_EQ(shown.pixel(10, 10), qRgb(10, 20, 200));
    EXPECT_EQ(shown.pixel(300, 200), qRgb(255, 0, 0));

    // A picture smaller than the pane leaves the rest white; stopping the preview clears it.
    auto small = std::make_shared<platform::WindowPicture>(*picture);
    small->width = 100;
    ASSERT_TRUE(platform::ShowWindowPicture(pane.PlayWindow(), small));
    QCoreApplication::sendPostedEvents();
    shown = pane.grab().toImage();
    EXPECT_EQ(shown.pixel(10, 10), qRgb(10, 20, 200));
    EXPECT_TRUE(IsWhite(shown.pixel(150, 10)));

    pane.Reset();
    shown = pane.grab().toImage();
    EXPECT_TRUE(IsWhite(shown.pixel(10, 10)));
}

// Zoom mode, 800 x 600, with a running preview.
class ZoomPane : public ::testing::Test {
  protected:
    void SetUp() override {
        top_.resize(800, 600);
        pane_.setGeometry(0, 0, 800, 600);
        top_.show();
        pane_.InvertActive();
        pane_.ClearZoom();
    }
    ParentWindow parent_;
    QWidget top_;
    CDlgPreview pane_{CDlgPreview::kZoomMode, parent_.handle.handle(), &top_};
    Surface surface_{800, 600};
};

TEST_F(ZoomPane, DrawsTheSelectionWhileItIsDragged) {
    pane_.DrawZoomMode(&surface_.surface);
    EXPECT_EQ(surface_.image.pixel(100, 150), qRgb(0, 0, 0));  // no selection: nothing drawn

    QTest::mousePress(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 250));
    SendMove(&pane_, QPoint(100, 100), Qt::LeftButton);  // dragged up and left
    EXPECT_EQ(pane_.cursor().shape(), Qt::CrossCursor);
    pane_.DrawZoomMode(&surface_.surface);
    const QImage& img = surface_.image;
    EXPECT_TRUE(IsWhite(img.pixel(100, 150)));
    EXPECT_TRUE(IsWhite(img.pixel(299, 150)));
    EXPECT_TRUE(IsWhite(img.pixel(200, 100)));
    EXPECT_TRUE(IsWhite(img.pixel(200, 249)));
    EXPECT_EQ(img.pixel(200, 200), qRgb(0, 0, 0));  // hollow
    EXPECT_EQ(img.pixel(300, 150), qRgb(0, 0, 0));

    // Beyond the pane the selection stops at its edge.
    SendMove(&pane_, QPoint(900, 700), Qt::LeftButton);
    surface_.image.fill(Qt::black);
    pane_.DrawZoomMode(&surface_.surface);
    EXPECT_TRUE(IsWhite(img.pixel(798, 400)));
    EXPECT_TRUE(IsWhite(img.pixel(500, 598)));

    QTest::mouseRelease(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(799, 599));
    surface_.image.fill(Qt::black);
    pane_.DrawZoomMode(&surface_.surface);
    EXPECT_EQ(img.pixel(300, 250), qRgb(0, 0, 0));  // the selection is gone once applied
    EXPECT_TRUE(parent_.Take().empty());            // zoom mode tells the parent nothing
}

TEST_F(ZoomPane, AfterDoubleClickTheMouseIsIgnoredUntilTheNextPreview) {
    QTest::mouseDClick(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(50, 50));
    QTest::mousePress(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    SendMove(&pane_, QPoint(300, 300), Qt::LeftButton);
    pane_.DrawZoomMode(&surface_.surface);
    EXPECT_EQ(surface_.image.pixel(100, 200), qRgb(0, 0, 0));
    EXPECT_EQ(pane_.cursor().shape(), Qt::ArrowCursor);
    QTest::mouseRelease(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));

    pane_.InvertActive();  // the tab starts a new preview
    QTest::mousePress(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    SendMove(&pane_, QPoint(300, 300), Qt::LeftButton);
    pane_.DrawZoomMode(&surface_.surface);
    EXPECT_TRUE(IsWhite(surface_.image.pixel(100, 200)));
    QTest::mouseRelease(&pane_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
}

}  // namespace
