// PreviewGeometry: everything the preview pane (CDlgPreview) decides, without a window.
//
// The pane keeps one PreviewGeometry and feeds it the draw steps of the playback library and the
// mouse events of its window; the geometry says what to draw, which cursor to show, whether to
// capture the mouse, whether to tell the parent window that the circle changed, and which view
// area to apply. The window only carries those outcomes out.
//
// What a caller may rely on:
// - No locking inside: the caller holds its own lock around every call and around every read
//   or write of the public state (the pane does, with its one mutex).
// - "Window" values are pixels of the pane's client area, "picture" values pixels of the
//   decoded picture. Every conversion to an integer truncates toward zero.
// - Two doubles count as equal when they differ by less than 1e-6, and as zero within 1e-6 of 0.
#pragma once

#include <array>
#include <optional>

namespace camera {

inline constexpr double kPreviewEpsilon = 1e-6;
// Pictures of at least this many pixels keep a wider margin below the minimum radius.
inline constexpr long long kLargePicturePixels = 4'665'600;
inline constexpr double kSmallPictureMargin = 50;
inline constexpr double kLargePictureMargin = 80;

struct PreviewCircle {
    double x = 0;
    double y = 0;
    double radius = 0;
};

// A rectangle of doubles (the circle square, the bounding square).
struct PreviewSquare {
    double left = 0;
    double top = 0;
    double right = 0;
    double bottom = 0;
};

// A rectangle of integers; empty when right <= left or bottom <= top.
struct PreviewRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Empty() const { return right <= left || bottom <= top; }
    // Left <= right and top <= bottom.
    PreviewRect Ordered() const;
    // The point lies in the rectangle (left and top edges included, right and bottom excluded).
    bool Contains(int x, int y) const;
    bool operator==(const PreviewRect&) const = default;
};

// The picture pixels to cut off each side of the picture (all 0: the whole picture).
struct PreviewMargins {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
    bool operator==(const PreviewMargins&) const = default;
};

// The circle-mode overlay of one draw step, in window pixels.
struct CircleOverlay {
    PreviewRect square;                  // the circle square, truncated
    std::array<PreviewRect, 4> handles;  // left, top, right, bottom handle boxes (10 x 10)
    int half_width = 0;                  // half the square's width, truncated
    int centre_x = 0;
    int centre_y = 0;
    PreviewRect bounding;           // the bounding square
    bool vertical_edges = false;    // draw the bounding square's left and right edges
    bool horizontal_edges = false;  // draw its top and bottom edges
    PreviewRect minimum_circle;     // box of the minimum circle (empty: none)
};

// What the circle-mode draw step found.
struct CircleDrawOutcome {
    bool draw = false;  // false while the picture or window size is unknown: draw nothing
    CircleOverlay overlay;
    bool report = false;  // post "circle changed" to the parent with the offsets below
    int offset_x = 0;
    int offset_y = 0;
};

enum class PreviewCursor { kKeep, kArrow, kSizeHorizontal, kSizeVertical, kMove, kCross };

// What a mouse event asks of the window.
struct MouseOutcome {
    PreviewCursor cursor = PreviewCursor::kKeep;
    bool capture = false;  // grab the mouse (and, in zoom mode, keep it to the client area)
    bool release = false;  // let the mouse go
    // Zoom mode: a view area to apply (the rectangle in unzoomed window coordinates; an empty
    // rectangle shows the whole picture again).
    std::optional<PreviewRect> apply_view;
};

enum class PreviewMode : int { kCircle = 0, kZoom = 1 };

// The handle boxes, hit-tested in this order.
enum PreviewHandle : int {
    kNoHandle = -1,
    kLeftHandle = 0,
    kTopHandle = 1,
    kRightHandle = 2,
    kBottomHandle = 3
};

class PreviewGeometry {
  public:
    explicit PreviewGeometry(PreviewMode mode) : mode_(mode) {}

    PreviewMode mode() const { return mode_; }

    // Zeroes the circles, squares and offsets, clears the mouse state, the play handle and the
    // active flag, empties the selection and zoom rectangles; keeps the minimum radii.
    void Reset();

    // The circle-mode draw step for one rendered picture: w x h is the area the picture is fitted
    // into, (offset_x, offset_y) its origin in the window, picture_w x picture_h the decoded
    // picture's size, client_w x client_h the pane's client area. While the picture size or the
    // fitted area is unknown (0 or less) only the offsets and the bounding square are kept and
    // nothing is drawn or reported.
    CircleDrawOutcome DrawCircle(int w, int h, int offset_x, int offset_y, int picture_w,
                                 int picture_h, int client_w, int client_h);

    // The zoom-mode draw step: the selection (corners ordered) when it is not empty.
    std::optional<PreviewRect> ZoomSelection() const;

    // Mouse events, (x, y) in window coordinates; client_w x client_h the pane's client area.
    MouseOutcome LeftDown(int x, int y, int client_w, int client_h);
    // `only_left_button`: the event's buttons and keys are exactly the left button.
    MouseOutcome Move(int x, int y, bool only_left_button, int client_w, int client_h);
    MouseOutcome LeftUp(int client_w, int client_h);
    MouseOutcome RightUp();
    void DoubleClick();

    // The tab's reads and writes.
    void GetCircle(int& x, int& y, int& radius) const;
    void SetCircle(int x, int y, int radius);
    void GetDisplayCircle(int& x, int& y, int& half_side) const;

    // The margins that show `view` (unzoomed window coordinates) of a picture_w x picture_h
    // picture in a client_w x client_h client area: all 0 for an empty view or an unknown
    // client size, nothing (no call) while the picture size is unknown.
    static std::optional<PreviewMargins> ViewMargins(const PreviewRect& view, int client_w,
                                                     int client_h, int picture_w, int picture_h);

    // The overlay of a circle square (step 10 of the draw step), without the green parts.
    static CircleOverlay OverlayOf(const PreviewRect& square);

    // The circle is inside a picture_w x picture_h picture (and has a size).
    static bool Valid(const PreviewCircle& circle, int picture_w, int picture_h);

    // State, public for the pane's reads under its lock and for tests.
    PreviewCircle previous;
    PreviewCircle circle;
    PreviewSquare circle_square;
    PreviewSquare last_reported;
    PreviewSquare bounding;
    int offset_x = 0;
    int offset_y = 0;
    int active_handle = kNoHandle;
    bool moving = false;
    bool resizing = false;
    int last_x = 0;
    int last_y = 0;
    unsigned play_handle = 0;
    bool active = false;
    PreviewRect selection;
    PreviewRect zoom;
    double min_radius_window = 0;
    double min_radius_picture = 0;
    // Where the last draw step with a known picture size placed the picture (scale 0: none yet).
    // When the pane is resized the circle stays on the picture: the square follows the circle.
    double drawn_scale = 0;
    int drawn_offset_x = 0;
    int drawn_offset_y = 0;

  private:
    MouseOutcome CircleLeftDown(int x, int y);
    MouseOutcome CircleMove(int x, int y);
    void MoveSquare(int dx, int dy);
    void ResizeSquare(int dx, int dy);
    MouseOutcome ZoomLeftUp(int client_w, int client_h);

    PreviewMode mode_;
};

}  // namespace camera
