#include "camera/preview_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace camera {
namespace {

bool IsZero(double v) {
    return std::fabs(v) < kPreviewEpsilon;
}

bool Differs(double a, double b) {
    return !(std::fabs(a - b) < kPreviewEpsilon);
}

bool Differs(const PreviewCircle& a, const PreviewCircle& b) {
    return Differs(a.x, b.x) || Differs(a.y, b.y) || Differs(a.radius, b.radius);
}

bool Differs(const PreviewSquare& a, const PreviewSquare& b) {
    return Differs(a.left, b.left) || Differs(a.top, b.top) || Differs(a.right, b.right) ||
           Differs(a.bottom, b.bottom);
}

// Toward zero, and inside the range of int (a value out of range or not a number would make
// the conversion undefined).
int Truncate(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    constexpr double kLow = std::numeric_limits<int>::min();
    constexpr double kHigh = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(v, kLow, kHigh));
}

// Toward zero, except that a value within the equality tolerance of an integer is that integer:
// a circle converted to window pixels and back comes back a hair below its whole values, and
// plain truncation would then lose a pixel at every read (and the tab writes what it reads).
int TruncateValue(double v) {
    const double nearest = std::round(v);
    return IsZero(v - nearest) ? Truncate(nearest) : Truncate(v);
}

PreviewRect Truncate(const PreviewSquare& s) {
    return PreviewRect{Truncate(s.left), Truncate(s.top), Truncate(s.right), Truncate(s.bottom)};
}

int ClampTo(int v, int size) {
    return std::clamp(v, 0, std::max(size - 1, 0));
}

PreviewCursor HandleCursor(int handle) {
    return handle == kLeftHandle || handle == kRightHandle ? PreviewCursor::kSizeHorizontal
                                                           : PreviewCursor::kSizeVertical;
}

// One axis of a move: the shift that keeps [low, high] inside [bound_low, bound_high], found in
// two stages (the far side first, then the near side), not snapped to the edge.
double ClampedShift(double low, double high, double bound_low, double bound_high, double d) {
    const double far_gap = bound_high - (high + d);
    double candidate = d;
    if (far_gap < kPreviewEpsilon) {
        candidate = 0;
    } else if (far_gap - d < kPreviewEpsilon) {
        candidate = far_gap;
    }
    const double near_gap = (low + d) - bound_low;
    if (near_gap < kPreviewEpsilon) {
        return 0;
    }
    if (near_gap - candidate < kPreviewEpsilon) {
        return near_gap;
    }
    return candidate;
}

}  // namespace

PreviewRect PreviewRect::Ordered() const {
    return PreviewRect{std::min(left, right), std::min(top, bottom), std::max(left, right),
                       std::max(top, bottom)};
}

bool PreviewRect::Contains(int x, int y) const {
    return x >= left && x < right && y >= top && y < bottom;
}

void PreviewGeometry::Reset() {
    previous = {};
    circle = {};
    circle_square = {};
    last_reported = {};
    bounding = {};
    offset_x = 0;
    offset_y = 0;
    moving = false;
    resizing = false;
    active_handle = kNoHandle;
    last_x = 0;
    last_y = 0;
    play_handle = 0;
    active = false;
    selection = {};
    zoom = {};
    drawn_scale = 0;
}

bool PreviewGeometry::Valid(const PreviewCircle& c, int picture_w, int picture_h) {
    // A radius below zero would turn the square inside out: it counts as no circle.
    return !IsZero(c.y) && c.radius >= kPreviewEpsilon && picture_w != 0 && picture_h != 0 &&
           c.x - c.radius >= kPreviewEpsilon && c.y - c.radius >= kPreviewEpsilon &&
           c.x + c.radius - picture_w <= kPreviewEpsilon &&
           c.y + c.radius - picture_h <= kPreviewEpsilon;
}

CircleOverlay PreviewGeometry::OverlayOf(const PreviewRect& sq) {
    CircleOverlay o;
    o.square = sq;
    const int hw = static_cast<int>((sq.right - sq.left) * 0.5);
    const int cx = (sq.left + sq.right) / 2;
    const int cy = (sq.top + sq.bottom) / 2;
    o.half_width = hw;
    o.centre_x = cx;
    o.centre_y = cy;
    o.handles[kLeftHandle] = {cx - hw - 5, cy - 5, cx - hw + 5, cy + 5};
    o.handles[kTopHandle] = {cx - 5, cy - hw - 5, cx + 5, cy - hw + 5};
    o.handles[kRightHandle] = {cx + hw - 5, cy - 5, cx + hw + 5, cy + 5};
    o.handles[kBottomHandle] = {cx - 5, cy + hw - 5, cx + 5, cy + hw + 5};
    return o;
}

CircleDrawOutcome PreviewGeometry::DrawCircle(int w, int h, int offset_x_in, int offset_y_in,
                                              int picture_w, int picture_h, int client_w,
                                              int client_h) {
    CircleDrawOutcome out;
    if (w % 2 != 0) {
        --w;
    }
    if (h % 2 != 0) {
        --h;
    }
    const int m = std::max(std::min(w, h), 0);

    offset_x = offset_x_in;
    offset_y = offset_y_in;
    const int cx = client_w / 2;
    const int cy = client_h / 2;
    bounding.left = cx - m / 2;
    bounding.top = cy - m / 2;
    bounding.right = bounding.left + m;
    bounding.bottom = bounding.top + m;

    if (w <= 0 || h <= 0 || picture_w <= 0 || picture_h <= 0) {
        // No scale yet: the circle keeps its values until a picture of known size is drawn.
        return out;
    }

    if (IsZero(circle_square.left) && IsZero(circle_square.top) && IsZero(circle_square.right) &&
        IsZero(circle_square.bottom)) {
        circle_square = bounding;
    }

    const double s =
        std::min(static_cast<double>(w) / picture_w, static_cast<double>(h) / picture_h);
    const long long pixels = static_cast<long long>(picture_w) * picture_h;
    const double margin = pixels < kLargePicturePixels ? kSmallPictureMargin : kLargePictureMargin;
    // A picture smaller than twice the margin has no minimum to speak of; a negative one would
    // let a resize turn the square inside out.
    min_radius_picture = std::max((m / 2) / s - margin, 0.0);
    min_radius_window = min_radius_picture * s;

    // A resized pane shows the picture at another scale or place: the circle keeps its place on
    // the picture (else the square would keep its window place and the circle read back would
    // no longer be the one fitted to the lens).
    const bool placement_changed =
        !IsZero(drawn_scale) &&
        (Differs(s, drawn_scale) || offset_x != drawn_offset_x || offset_y != drawn_offset_y);
    drawn_scale = s;
    drawn_offset_x = offset_x;
    drawn_offset_y = offset_y;
    if ((Differs(circle, previous) || placement_changed) && !IsZero(circle.x) &&
        Valid(circle, picture_w, picture_h)) {
        circle_square.left = circle.x * s - circle.radius * s + offset_x;
        circle_square.top = circle.y * s - circle.radius * s + offset_y;
        circle_square.right = circle_square.left + 2 * circle.radius * s;
        circle_square.bottom = circle_square.top + 2 * circle.radius * s;
    }

    const double half = (circle_square.right - circle_square.left) / 2;
    circle.x = (circle_square.left - offset_x + half) / s;
    circle.y = (circle_square.top - offset_y + half) / s;
    circle.radius = half / s;
    previous = circle;

    const PreviewRect square = Truncate(circle_square);
    if (Differs(circle_square, last_reported)) {
        out.report = true;
        out.offset_x = offset_x;
        out.offset_y = offset_y;
        last_reported = circle_square;
    }

    out.draw = true;
    out.overlay = OverlayOf(square);
    out.overlay.bounding = Truncate(bounding);
    out.overlay.vertical_edges = !IsZero(bounding.left);
    out.overlay.horizontal_edges = !IsZero(bounding.top);
    const double mcx = (bounding.left + bounding.right) / 2;
    const double mcy = (bounding.top + bounding.bottom) / 2;
    const int ml = Truncate(mcx - min_radius_window);
    const int mt = Truncate(mcy - min_radius_window);
    const int side = Truncate(2 * min_radius_window);
    out.overlay.minimum_circle = {ml, mt, ml + side, mt + side};
    return out;
}

std::optional<PreviewRect> PreviewGeometry::ZoomSelection() const {
    const PreviewRect r = selection.Ordered();
    if (r.Empty()) {
        return std::nullopt;
    }
    return r;
}

MouseOutcome PreviewGeometry::LeftDown(int x, int y, int client_w, int client_h) {
    if (mode_ == PreviewMode::kCircle) {
        return CircleLeftDown(x, y);
    }
    MouseOutcome out;
    if (!active) {
        return out;
    }
    x = ClampTo(x, client_w);
    y = ClampTo(y, client_h);
    selection = {x, y, x, y};
    out.capture = true;
    return out;
}

MouseOutcome PreviewGeometry::CircleLeftDown(int x, int y) {
    MouseOutcome out;
    resizing = false;
    active_handle = kNoHandle;
    const CircleOverlay o = OverlayOf(Truncate(circle_square));
    for (int i = kLeftHandle; i <= kBottomHandle; ++i) {
        if (o.handles[i].Contains(x, y)) {
            resizing = true;
            active_handle = i;
            out.cursor = HandleCursor(i);
        }
    }
    const long long hw = o.half_width;
    const long long dx = x - o.centre_x;
    const long long dy = y - o.centre_y;
    moving = dx * dx + dy * dy < (hw - 10) * (hw - 10);
    if (moving) {
        out.cursor = PreviewCursor::kMove;
    }
    if (moving || resizing) {
        last_x = x;
        last_y = y;
    }
    out.capture = true;
    return out;
}

MouseOutcome PreviewGeometry::Move(int x, int y, bool only_left_button, int client_w,
                                   int client_h) {
    if (mode_ == PreviewMode::kCircle) {
        return CircleMove(x, y);
    }
    MouseOutcome out;
    if (!active) {
        return out;
    }
    out.cursor = PreviewCursor::kCross;
    if (only_left_button) {
        selection.right = ClampTo(x, client_w);
        selection.bottom = ClampTo(y, client_h);
    }
    return out;
}

MouseOutcome PreviewGeometry::CircleMove(int x, int y) {
    MouseOutcome out;
    if (moving) {
        MoveSquare(x - last_x, y - last_y);
    } else if (resizing && active_handle >= kLeftHandle && active_handle <= kBottomHandle) {
        ResizeSquare(x - last_x, y - last_y);
    } else {
        if (!resizing) {
            const CircleOverlay o = OverlayOf(Truncate(circle_square));
            for (int i = kLeftHandle; i <= kBottomHandle; ++i) {
                if (o.handles[i].Contains(x, y)) {
                    out.cursor = HandleCursor(i);
                    break;
                }
            }
        }
        return out;
    }
    last_x = x;
    last_y = y;
    return out;
}

void PreviewGeometry::MoveSquare(int dx, int dy) {
    PreviewSquare& s = circle_square;
    const double sx = ClampedShift(s.left, s.right, bounding.left, bounding.right, dx);
    const double sy = ClampedShift(s.top, s.bottom, bounding.top, bounding.bottom, dy);
    s.left += sx;
    s.right += sx;
    s.top += sy;
    s.bottom += sy;
}

void PreviewGeometry::ResizeSquare(int dx, int dy) {
    const double L = circle_square.left;
    const double T = circle_square.top;
    const double R = circle_square.right;
    const double B = circle_square.bottom;
    PreviewSquare n = circle_square;
    switch (active_handle) {
        case kLeftHandle: {
            n.left = L + dx;
            const double v = ((B - T) - (R - L) + dx) / 2;
            n.top = T + v;
            n.bottom = B - v;
            break;
        }
        case kTopHandle: {
            n.top = T + dy;
            const double u = ((R - L) - (B - T) + dy) / 2;
            n.left = L + u;
            n.right = R - u;
            break;
        }
        case kRightHandle: {
            n.right = R + dx;
            const double q = ((R - L) + dx - (B - T)) / 2;
            n.top = T - q;
            n.bottom = B + q;
            break;
        }
        case kBottomHandle: {
            n.bottom = B + dy;
            const double p = ((B - T) + dy - (R - L)) / 2;
            n.left = L - p;
            n.right = R + p;
            break;
        }
        default:
            return;
    }
    if (n.right - n.left >= 2 * min_radius_window && n.left >= bounding.left &&
        n.top >= bounding.top && n.right <= bounding.right && n.bottom <= bounding.bottom) {
        circle_square = n;
    }
}

MouseOutcome PreviewGeometry::LeftUp(int client_w, int client_h) {
    MouseOutcome out;
    if (mode_ == PreviewMode::kCircle) {
        last_x = 0;
        last_y = 0;
        moving = false;
        resizing = false;
        active_handle = kNoHandle;
        out.cursor = PreviewCursor::kArrow;
        out.release = true;
        return out;
    }
    if (!active) {
        return out;
    }
    return ZoomLeftUp(client_w, client_h);
}

MouseOutcome PreviewGeometry::ZoomLeftUp(int client_w, int client_h) {
    MouseOutcome out;
    out.release = true;
    if (zoom.Empty()) {
        zoom = selection.Ordered();
        if (zoom.Width() < 10 || zoom.Height() < 10) {
            zoom = {};
        } else {
            out.apply_view = zoom;
        }
    } else {
        zoom = zoom.Ordered();
        const PreviewRect sel = selection.Ordered();
        if (client_w > 0 && client_h > 0) {
            const float fx = static_cast<float>(zoom.Width()) / static_cast<float>(client_w);
            const float fy = static_cast<float>(zoom.Height()) / static_cast<float>(client_h);
            const int left = zoom.left + static_cast<int>(static_cast<float>(sel.left) * fx);
            const int top = zoom.top + static_cast<int>(static_cast<float>(sel.top) * fy);
            const int width = static_cast<int>(static_cast<float>(sel.Width()) * fx);
            const int height = static_cast<int>(static_cast<float>(sel.Height()) * fy);
            if (width >= 10 && height >= 10) {
                zoom = {left, top, left + width, top + height};
                out.apply_view = zoom;
            }
        }
    }
    selection = {};
    return out;
}

MouseOutcome PreviewGeometry::RightUp() {
    MouseOutcome out;
    if (mode_ != PreviewMode::kZoom || !active) {
        return out;
    }
    zoom = {};
    out.apply_view = PreviewRect{};
    return out;
}

void PreviewGeometry::DoubleClick() {
    previous = {};
    circle = {};
    offset_x = 0;
    offset_y = 0;
    circle_square = bounding;
    last_reported = {};
    drawn_scale = 0;
    moving = false;
    resizing = false;
    active_handle = kNoHandle;
    last_x = 0;
    last_y = 0;
    active = false;
    selection = {};
    zoom = {};
}

void PreviewGeometry::GetCircle(int& x, int& y, int& radius) const {
    x = TruncateValue(circle.x);
    y = TruncateValue(circle.y);
    radius = TruncateValue(circle.radius);
}

void PreviewGeometry::SetCircle(int x, int y, int radius) {
    circle.x = x;
    circle.y = y;
    // A radius below the smallest circle the pane allows is raised to it; any other radius is
    // taken as given, so the camera's stored circle and a radius typed by the operator show.
    circle.radius = radius < min_radius_picture ? min_radius_picture : radius;
}

void PreviewGeometry::GetDisplayCircle(int& x, int& y, int& half_side) const {
    const PreviewRect sq = Truncate(circle_square);
    const int left = sq.left - offset_x;
    const int top = sq.top - offset_y;
    const int right = sq.right - offset_x;
    half_side = static_cast<int>((right - left) * 0.5);
    x = left + half_side;
    y = top + half_side;
}

std::optional<PreviewMargins> PreviewGeometry::ViewMargins(const PreviewRect& view, int client_w,
                                                           int client_h, int picture_w,
                                                           int picture_h) {
    if (view == PreviewRect{} || client_w <= 0 || client_h <= 0) {
        return PreviewMargins{};
    }
    if (picture_w <= 0 || picture_h <= 0) {
        return std::nullopt;
    }
    const double w = picture_w;
    const double h = picture_h;
    // A pane made smaller since the zoom was chosen could leave a side outside the client area:
    // no margin is ever negative.
    auto margin = [](double v) { return std::max(Truncate(v), 0); };
    PreviewMargins m;
    m.left = margin(w * view.left / client_w);
    // W x (1 - R / cw), kept exact for whole numbers.
    m.right = margin(w * (client_w - view.right) / client_w);
    m.top = margin(h * view.top / client_h);
    m.bottom = margin(h * (client_h - view.bottom) / client_h);
    return m;
}

}  // namespace camera
