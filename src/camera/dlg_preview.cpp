#include "camera/dlg_preview.h"

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <mutex>

#include "camera/preview_geometry.h"
#include "platform/qt_window.h"

// The view-area calls bind when the playback library provides them; until a library that has
// them is loaded, zooming leaves the view alone.
#pragma weak ZQPlayGetPlayPicSize
#pragma weak ZQPlayAdjustViewArea

using camera::CircleOverlay;
using camera::MouseOutcome;
using camera::PreviewCursor;
using camera::PreviewRect;

struct CDlgPreview::State {
    State(QObject* pane, int mode, platform::WindowHandle parent)
        : geometry(mode == kZoomMode ? camera::PreviewMode::kZoom : camera::PreviewMode::kCircle),
          parent_window(parent),
          window(pane) {}

    // The one lock: guards the geometry and the client size, which the draw steps read on the
    // playback library's thread.
    std::mutex mutex;
    camera::PreviewGeometry geometry;
    int client_width = 0;
    int client_height = 0;

    // Fixed at construction.
    const platform::WindowHandle parent_window;
    platform::QtWindowHandle window;

    // UI thread only.
    std::shared_ptr<const platform::WindowPicture> picture;  // the newest picture shown
    Qt::CursorShape cursor = Qt::ArrowCursor;                // the cursor the pane chose
};

namespace {

// The box a GDI-style shape (right and bottom excluded) occupies, as Qt's outline rectangle.
QRect Box(const PreviewRect& r) {
    return QRect(r.left, r.top, r.Width() - 1, r.Height() - 1);
}

// A QImage over the surface's pixels, or a null image when the surface is unusable.
QImage Wrap(ZQPlaySurface* surface) {
    if (surface == nullptr || surface->pixels == nullptr || surface->width <= 0 ||
        surface->height <= 0 || surface->stride < surface->width * 4) {
        return QImage();
    }
    return QImage(surface->pixels, surface->width, surface->height, surface->stride,
                  QImage::Format_RGB32);
}

void DrawCircleOverlay(QPainter& p, const CircleOverlay& o) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 0, 0), 1, Qt::SolidLine));
    for (const PreviewRect& handle : o.handles) {
        p.drawEllipse(Box(handle));
    }
    p.drawEllipse(Box(o.square));
    p.drawLine(o.centre_x - 10, o.centre_y, o.centre_x + 10, o.centre_y);
    p.drawLine(o.centre_x, o.centre_y + 10, o.centre_x, o.centre_y - 10);

    p.setPen(QPen(QColor(0, 255, 0), 1, Qt::SolidLine));
    const PreviewRect& b = o.bounding;
    if (o.vertical_edges) {
        p.drawLine(b.left, b.top, b.left, b.bottom);
        p.drawLine(b.right, b.top, b.right, b.bottom);
    }
    if (o.horizontal_edges) {
        p.drawLine(b.left, b.top, b.right, b.top);
        p.drawLine(b.left, b.bottom, b.right, b.bottom);
    }
    if (!o.minimum_circle.Empty()) {
        p.drawEllipse(Box(o.minimum_circle));
    }
}

Qt::CursorShape ShapeOf(PreviewCursor cursor) {
    switch (cursor) {
        case PreviewCursor::kSizeHorizontal:
            return Qt::SizeHorCursor;
        case PreviewCursor::kSizeVertical:
            return Qt::SizeVerCursor;
        case PreviewCursor::kMove:
            return Qt::SizeAllCursor;
        case PreviewCursor::kCross:
            return Qt::CrossCursor;
        case PreviewCursor::kArrow:
        case PreviewCursor::kKeep:
            break;
    }
    return Qt::ArrowCursor;
}

void ApplyView(const QWidget& pane, ZQPLAY_HANDLE play, const PreviewRect& view) {
    if (ZQPlayAdjustViewArea == nullptr || ZQPlayGetPlayPicSize == nullptr) {
        return;
    }
    const int cw = pane.width();
    const int ch = pane.height();
    int32_t picture_width = 0;
    int32_t picture_height = 0;
    if (!(view == PreviewRect{}) && cw > 0 && ch > 0) {
        ZQPlayGetPlayPicSize(play, &picture_width, &picture_height);
    }
    const auto margins =
        camera::PreviewGeometry::ViewMargins(view, cw, ch, picture_width, picture_height);
    if (margins) {
        ZQPlayAdjustViewArea(play, margins->left, margins->right, margins->top, margins->bottom);
    }
}

void Carry(CDlgPreview& pane, CDlgPreview::State& state, const MouseOutcome& out) {
    if (out.cursor != PreviewCursor::kKeep) {
        state.cursor = ShapeOf(out.cursor);
    }
    bool active = false;
    ZQPLAY_HANDLE play = 0;
    {
        std::lock_guard lock(state.mutex);
        active = state.geometry.active;
        play = state.geometry.play_handle;
    }
    // While the tab runs a preview the pane shows its own cursor; otherwise the default one.
    pane.setCursor(active ? state.cursor : Qt::ArrowCursor);
    // Qt cannot keep the cursor inside a window: while the mouse is grabbed, the geometry keeps
    // a zoom selection inside the client area instead.
    if (out.capture && pane.isVisible() && QWidget::mouseGrabber() != &pane) {
        pane.grabMouse();
    }
    if (out.release && QWidget::mouseGrabber() == &pane) {
        pane.releaseMouse();
    }
    if (out.apply_view) {
        ApplyView(pane, play, *out.apply_view);
    }
}

}  // namespace

CDlgPreview::CDlgPreview(int mode, platform::WindowHandle parent_window, QWidget* parent)
    : QWidget(parent), state_(std::make_unique<State>(this, mode, parent_window)) {
    setObjectName(QString::number(kTemplateId));
    setMouseTracking(true);  // moves without a button pressed set the handles' cursors
    setAttribute(Qt::WA_OpaquePaintEvent);
    state_->client_width = width();
    state_->client_height = height();
    Reset();
}

CDlgPreview::~CDlgPreview() = default;

platform::WindowHandle CDlgPreview::PlayWindow() const {
    return state_->window.handle();
}

void CDlgPreview::Reset() {
    {
        std::lock_guard lock(state_->mutex);
        state_->geometry.Reset();
    }
    // Nothing renders into the pane any more: it shows white until the next preview.
    state_->picture.reset();
    state_->window.TakePicture();
    state_->cursor = Qt::ArrowCursor;
    if (QWidget::mouseGrabber() == this) {
        releaseMouse();
    }
    setCursor(Qt::ArrowCursor);
    update();
}

void CDlgPreview::SetPlayHandle(ZQPLAY_HANDLE handle) {
    std::lock_guard lock(state_->mutex);
    state_->geometry.play_handle = handle;
}

void CDlgPreview::InvertActive() {
    bool active = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->geometry.active = !state_->geometry.active;
        active = state_->geometry.active;
    }
    setCursor(active ? state_->cursor : Qt::ArrowCursor);
}

void CDlgPreview::ClearZoom() {
    std::lock_guard lock(state_->mutex);
    state_->geometry.selection = {};
    state_->geometry.zoom = {};
}

void CDlgPreview::GetCircle(int& x, int& y, int& radius) {
    std::lock_guard lock(state_->mutex);
    state_->geometry.GetCircle(x, y, radius);
}

void CDlgPreview::SetCircle(int x, int y, int radius) {
    std::lock_guard lock(state_->mutex);
    state_->geometry.SetCircle(x, y, radius);
}

void CDlgPreview::GetDisplayCircle(int& x, int& y, int& half_side) {
    std::lock_guard lock(state_->mutex);
    state_->geometry.GetDisplayCircle(x, y, half_side);
}

void CDlgPreview::DrawCircleMode(ZQPlaySurface* surface, int width, int height, int offset_x,
                                 int offset_y, int picture_width, int picture_height) {
    camera::CircleDrawOutcome out;
    {
        std::lock_guard lock(state_->mutex);
        out = state_->geometry.DrawCircle(width, height, offset_x, offset_y, picture_width,
                                          picture_height, state_->client_width,
                                          state_->client_height);
    }
    if (out.report) {
        platform::PostWindowMessage(
            state_->parent_window, kCircleChangedMessage,
            static_cast<std::uintptr_t>(static_cast<std::intptr_t>(out.offset_x)),
            static_cast<std::intptr_t>(out.offset_y));
    }
    if (!out.draw) {
        return;
    }
    QImage image = Wrap(surface);
    if (image.isNull()) {
        return;
    }
    QPainter painter(&image);
    DrawCircleOverlay(painter, out.overlay);
}

void CDlgPreview::DrawZoomMode(ZQPlaySurface* surface) {
    std::optional<PreviewRect> selection;
    {
        std::lock_guard lock(state_->mutex);
        selection = state_->geometry.ZoomSelection();
    }
    if (!selection) {
        return;
    }
    QImage image = Wrap(surface);
    if (image.isNull()) {
        return;
    }
    QPainter painter(&image);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255), 1, Qt::SolidLine));
    painter.drawRect(Box(*selection));
}

bool CDlgPreview::event(QEvent* event) {
    if (event->type() == platform::WindowPictureEvent::Type()) {
        if (auto picture = state_->window.TakePicture()) {
            state_->picture = std::move(picture);
            update();
        }
        return true;
    }
    if (event->type() == QEvent::Resize) {
        std::lock_guard lock(state_->mutex);
        state_->client_width = width();
        state_->client_height = height();
    }
    return QWidget::event(event);
}

void CDlgPreview::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const auto& picture = state_->picture;
    if (picture == nullptr || picture->width <= 0 || picture->height <= 0 ||
        picture->stride < picture->width * 4 ||
        picture->pixels.size() < static_cast<std::size_t>(picture->stride) * picture->height) {
        return;
    }
    const QImage image(picture->pixels.data(), picture->width, picture->height, picture->stride,
                       QImage::Format_RGB32);
    painter.drawImage(0, 0, image);
}

void CDlgPreview::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const QPoint p = event->position().toPoint();
    MouseOutcome out;
    {
        std::lock_guard lock(state_->mutex);
        out = state_->geometry.LeftDown(p.x(), p.y(), width(), height());
    }
    Carry(*this, *state_, out);
}

void CDlgPreview::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    // Exactly the left button: no other button, neither Shift nor Ctrl.
    const bool only_left = event->buttons() == Qt::LeftButton &&
                           (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier)) == 0;
    MouseOutcome out;
    {
        std::lock_guard lock(state_->mutex);
        out = state_->geometry.Move(p.x(), p.y(), only_left, width(), height());
    }
    Carry(*this, *state_, out);
}

void CDlgPreview::mouseReleaseEvent(QMouseEvent* event) {
    MouseOutcome out;
    {
        std::lock_guard lock(state_->mutex);
        if (event->button() == Qt::LeftButton) {
            out = state_->geometry.LeftUp(width(), height());
        } else if (event->button() == Qt::RightButton) {
            out = state_->geometry.RightUp();
        }
    }
    Carry(*this, *state_, out);
}

void CDlgPreview::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->geometry.DoubleClick();
    }
    // The active flag is now clear: the default cursor again.
    setCursor(Qt::ArrowCursor);
}
