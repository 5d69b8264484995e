// The preview pane's geometry: the circle-mode draw step, the mouse in both modes, the zoom
// view areas, double click, the tab's reads and writes.
#include "camera/preview_geometry.h"

#include <gtest/gtest.h>

#include <ostream>

namespace camera {

std::ostream& operator<<(std::ostream& os, const PreviewRect& r) {
    return os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}
std::ostream& operator<<(std::ostream& os, const PreviewMargins& m) {
    return os << "{left " << m.left << ", right " << m.right << ", top " << m.top << ", bottom "
              << m.bottom << "}";
}

namespace {

void ExpectSquare(const PreviewSquare& s, double l, double t, double r, double b) {
    EXPECT_DOUBLE_EQ(s.left, l);
    EXPECT_DOUBLE_EQ(s.top, t);
    EXPECT_DOUBLE_EQ(s.right, r);
    EXPECT_DOUBLE_EQ(s.bottom, b);
}

PreviewRect Rect(const PreviewSquare& s) {
    return {static_cast<int>(s.left), static_cast<int>(s.top), static_cast<int>(s.right),
            static_cast<int>(s.bottom)};
}

// A pane of 800 x 600 showing a 1280 x 960 picture with its proportion (scale 0.625): bounding
// square (100, 0, 700, 600), minimum radius 430 picture pixels, 268.75 window pixels.
class CircleGeometry : public ::testing::Test {
  protected:
    CircleDrawOutcome Draw() { return g.DrawCircle(800, 600, 0, 0, 1280, 960, 800, 600); }
    PreviewGeometry g{PreviewMode::kCircle};
};

TEST(PreviewGeometryDraw, FirstDrawFillsTheBoundingSquare) {
    struct Case {
        const char* what;
        int w, h, ox, oy, pw, ph, cw, ch;
        PreviewRect bounding;
        double x, y, radius, min_picture;
    };
    const Case cases[] = {
        {"4:3 picture, 4:3 pane",
         800,
         600,
         0,
         0,
         1280,
         960,
         800,
         600,
         {100, 0, 700, 600},
         640,
         480,
         480,
         430},
        {"odd sizes lose a pixel",
         801,
         601,
         0,
         0,
         1280,
         960,
         801,
         601,
         {100, 0, 700, 600},
         640,
         480,
         480,
         430},
        {"16:9 picture letterboxed",
         800,
         450,
         0,
         75,
         1280,
         720,
         800,
         600,
         {175, 75, 625, 525},
         640,
         360,
         360,
         310},
        {"pillarboxed with offsets",
         400,
         300,
         200,
         150,
         1280,
         960,
         800,
         600,
         {250, 150, 550, 450},
         640,
         480,
         480,
         430},
        {"large picture: margin 80",
         800,
         600,
         0,
         0,
         2592,
         1944,
         800,
         600,
         {100, 0, 700, 600},
         1296,
         972,
         972,
         892},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PreviewGeometry g(PreviewMode::kCircle);
        const CircleDrawOutcome out = g.DrawCircle(c.w, c.h, c.ox, c.oy, c.pw, c.ph, c.cw, c.ch);
        ASSERT_TRUE(out.draw);
        EXPECT_EQ(Rect(g.bounding), c.bounding);
        EXPECT_EQ(Rect(g.circle_square), c.bounding);
        EXPECT_EQ(out.overlay.square, c.bounding);
        EXPECT_NEAR(g.circle.x, c.x, 1e-9);
        EXPECT_NEAR(g.circle.y, c.y, 1e-9);
        EXPECT_NEAR(g.circle.radius, c.radius, 1e-9);
        EXPECT_NEAR(g.min_radius_picture, c.min_picture, 1e-9);
        EXPECT_TRUE(out.report);
        EXPECT_EQ(out.offset_x, c.ox);
        EXPECT_EQ(out.offset_y, c.oy);
        // The same picture again changes nothing and tells nobody.
        EXPECT_FALSE(g.DrawCircle(c.w, c.h, c.ox, c.oy, c.pw, c.ph, c.cw, c.ch).report);
    }
}

TEST(PreviewGeometryDraw, MinimumRadiusMarginTurnsAt4665600Pixels) {
    struct Case {
        int pw, ph;   // picture
        int w, h;     // fitted into a 1000 x 1000 pane
        double half;  // (m / 2) / s
        double margin;
    };
    const Case cases[] = {
        {2160, 2160, 1000, 1000, 1080, 80},               // 4,665,600 pixels
        {2161, 2159, 1000, 999, 499.0 * 2159 / 998, 50},  // 4,665,599: 1000 x 998, s = 998 / 2159
        {1280, 960, 1000, 750, 480, 50},
        {2592, 1944, 1000, 750, 972, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pw) + "x" + std::to_string(c.ph));
        PreviewGeometry g(PreviewMode::kCircle);
        ASSERT_TRUE(g.DrawCircle(c.w, c.h, 0, 0, c.pw, c.ph, 1000, 1000).draw);
        EXPECT_NEAR(g.min_radius_picture, c.half - c.margin, 1e-9);
        const double s = std::min((c.w - c.w % 2) / double(c.pw), (c.h - c.h % 2) / double(c.ph));
        EXPECT_NEAR(g.min_radius_window, g.min_radius_picture * s, 1e-9);
    }
}

TEST(PreviewGeometryDraw, TinyPictureHasNoNegativeMinimum) {
    PreviewGeometry g(PreviewMode::kCircle);
    ASSERT_TRUE(g.DrawCircle(64, 64, 0, 0, 64, 64, 64, 64).draw);
    EXPECT_EQ(g.min_radius_picture, 0);
    EXPECT_EQ(g.min_radius_window, 0);
}

TEST(PreviewGeometryDraw, UnknownSizesKeepOffsetsAndBoundingButDrawNothing) {
    struct Case {
        const char* what;
        int w, h, pw, ph;
    };
    const Case cases[] = {
        {"picture width unknown", 800, 600, 0, 960},
        {"picture height unknown", 800, 600, 1280, 0},
        {"fitted area of one pixel", 1, 600, 1280, 960},
        {"no fitted area", 0, 0, 1280, 960},
        {"negative sizes", -5, -7, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PreviewGeometry g(PreviewMode::kCircle);
        g.min_radius_picture = 7;
        const CircleDrawOutcome out = g.DrawCircle(c.w, c.h, 3, 4, c.pw, c.ph, 800, 600);
        EXPECT_FALSE(out.draw);
        EXPECT_FALSE(out.report);
        EXPECT_EQ(g.offset_x, 3);
        EXPECT_EQ(g.offset_y, 4);
        EXPECT_LE(g.bounding.left, g.bounding.right);
        EXPECT_LE(g.bounding.top, g.bounding.bottom);
        EXPECT_EQ(g.circle_square.right, 0);
        EXPECT_EQ(g.circle.x, 0);
        EXPECT_EQ(g.min_radius_picture, 7);
        // Once the size is known, the first draw fills the bounding square and tells the tab.
        const CircleDrawOutcome known = g.DrawCircle(800, 600, 0, 0, 1280, 960, 800, 600);
        EXPECT_TRUE(known.report);
        EXPECT_EQ(known.overlay.square, (PreviewRect{100, 0, 700, 600}));
    }
}

TEST_F(CircleGeometry, OverlayOfTheDrawStep) {
    const CircleDrawOutcome out = Draw();
    const CircleOverlay& o = out.overlay;
    EXPECT_EQ(o.centre_x, 400);
    EXPECT_EQ(o.centre_y, 300);
    EXPECT_EQ(o.half_width, 300);
    EXPECT_EQ(o.handles[kLeftHandle], (PreviewRect{95, 295, 105, 305}));
    EXPECT_EQ(o.handles[kTopHandle], (PreviewRect{395, -5, 405, 5}));
    EXPECT_EQ(o.handles[kRightHandle], (PreviewRect{695, 295, 705, 305}));
    EXPECT_EQ(o.handles[kBottomHandle], (PreviewRect{395, 595, 405, 605}));
    EXPECT_EQ(o.bounding, (PreviewRect{100, 0, 700, 600}));
    EXPECT_TRUE(o.vertical_edges);
    EXPECT_FALSE(o.horizontal_edges);  // the bounding square's top is 0
    // Minimum circle: centre (400, 300), radius 268.75.
    EXPECT_EQ(o.minimum_circle, (PreviewRect{131, 31, 131 + 537, 31 + 537}));
}

TEST_F(CircleGeometry, SetCircleMovesTheSquareWhenValid) {
    Draw();
    struct Case {
        const char* what;
        int x, y, radius;
        bool applied;
        double cx, cy, cr;  // the circle after the next draw
    };
    const Case cases[] = {
        {"inside the picture", 600, 500, 440, true, 600, 500, 440},
        {"radius below the minimum is raised", 640, 480, 100, true, 640, 480, 430},
        {"radius at the minimum", 640, 480, 430, true, 640, 480, 430},
        {"touching the right edge", 840, 480, 440, true, 840, 480, 440},
        {"x is 0", 0, 480, 440, false, 640, 480, 480},
        {"y is 0", 640, 0, 440, false, 640, 480, 480},
        {"over the right edge", 841, 480, 440, false, 640, 480, 480},
        {"over the bottom edge", 640, 521, 440, false, 640, 480, 480},
        {"over the left edge", 440, 480, 440, false, 640, 480, 480},
        {"over the top edge", 640, 440, 440, false, 640, 480, 480},
        {"the zero circle of Clear", 0, 0, 0, false, 640, 480, 480},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g.DoubleClick();  // the square back to the bounding square
        Draw();
        g.SetCircle(c.x, c.y, c.radius);
        const CircleDrawOutcome out = Draw();
        EXPECT_EQ(out.report, c.applied);
        EXPECT_NEAR(g.circle.x, c.cx, 1e-9);
        EXPECT_NEAR(g.circle.y, c.cy, 1e-9);
        EXPECT_NEAR(g.circle.radius, c.cr, 1e-9);
        EXPECT_NEAR(g.circle_square.right - g.circle_square.left, 2 * c.cr * 0.625, 1e-9);
    }
}

TEST_F(CircleGeometry, SetCircleRadiusRule) {
    Draw();
    // At or above the minimum the given radius is taken; below it the minimum.
    g.SetCircle(640, 480, 431);
    EXPECT_EQ(g.circle.radius, 431);
    g.SetCircle(640, 480, 429);
    EXPECT_EQ(g.circle.radius, 430);
    g.SetCircle(640, 480, -3);
    EXPECT_EQ(g.circle.radius, 430);
    // Before any draw step the minimum is 0.
    PreviewGeometry fresh(PreviewMode::kCircle);
    fresh.SetCircle(5, 6, -3);
    EXPECT_EQ(fresh.circle.radius, 0);
}

TEST_F(CircleGeometry, TruncatedReads) {
    Draw();
    g.SetCircle(600, 500, 440);  // square (100, 37.5, 650, 587.5)
    Draw();
    ExpectSquare(g.circle_square, 100, 37.5, 650, 587.5);
    g.circle = {600.9, 500.99, 440.5};
    int x = 0, y = 0, r = 0;
    g.GetCircle(x, y, r);
    EXPECT_EQ(x, 600);
    EXPECT_EQ(y, 500);
    EXPECT_EQ(r, 440);
    g.circle = {-0.9, -1.5, 0};
    g.GetCircle(x, y, r);
    EXPECT_EQ(x, 0);  // toward zero
    EXPECT_EQ(y, -1);

    // Display circle: the integer square shifted by minus the offsets.
    g.offset_x = 10;
    g.offset_y = 20;
    g.GetDisplayCircle(x, y, r);
    EXPECT_EQ(r, 275);            // (640 - 90) * 0.5
    EXPECT_EQ(x, 90 + 275);       // left 100 - 10
    EXPECT_EQ(y, 37 - 20 + 275);  // top 37 (truncated) - 20
}

TEST_F(CircleGeometry, ReportsOnlyWhenTheSquareChanged) {
    EXPECT_TRUE(Draw().report);
    EXPECT_FALSE(Draw().report);
    // A drag of the right handle changes the square: the next draw tells the tab, once.
    g.LeftDown(700, 300, 800, 600);
    g.Move(690, 300, true, 800, 600);
    g.LeftUp(800, 600);
    EXPECT_TRUE(Draw().report);
    EXPECT_FALSE(Draw().report);
    // A change below 1e-6 is no change.
    g.circle_square.left += 1e-7;
    EXPECT_FALSE(Draw().report);
    // Double click starts again from the bounding square and reports even an unchanged square.
    g.DoubleClick();
    const CircleDrawOutcome again = Draw();
    EXPECT_TRUE(again.report);
    EXPECT_EQ(again.overlay.square, (PreviewRect{100, 0, 700, 600}));
}

TEST_F(CircleGeometry, LeftDownHitTests) {
    Draw();  // square (100, 0, 700, 600): centre (400, 300), hw 300
    struct Case {
        const char* what;
        int x, y;
        bool resizing;
        int handle;
        bool moving;
        PreviewCursor cursor;
    };
    const Case cases[] = {
        {"left handle", 100, 300, true, kLeftHandle, false, PreviewCursor::kSizeHorizontal},
        {"left handle's top-left corner", 95, 295, true, kLeftHandle, false,
         PreviewCursor::kSizeHorizontal},
        {"left handle's right edge is outside", 105, 300, false, kNoHandle, false,
         PreviewCursor::kKeep},
        {"top handle", 400, 0, true, kTopHandle, false, PreviewCursor::kSizeVertical},
        {"right handle", 704, 304, true, kRightHandle, false, PreviewCursor::kSizeHorizontal},
        {"bottom handle", 400, 600, true, kBottomHandle, false, PreviewCursor::kSizeVertical},
        {"centre", 400, 300, false, kNoHandle, true, PreviewCursor::kMove},
        {"just inside hw - 10", 689, 300, false, kNoHandle, true, PreviewCursor::kMove},
        {"at hw - 10", 690, 300, false, kNoHandle, false, PreviewCursor::kKeep},
        {"outside", 750, 50, false, kNoHandle, false, PreviewCursor::kKeep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g.LeftUp(800, 600);
        const MouseOutcome out = g.LeftDown(c.x, c.y, 800, 600);
        EXPECT_EQ(g.resizing, c.resizing);
        EXPECT_EQ(g.active_handle, c.handle);
        EXPECT_EQ(g.moving, c.moving);
        EXPECT_EQ(out.cursor, c.cursor);
        EXPECT_TRUE(out.capture);
        const bool remembered = c.resizing || c.moving;
        EXPECT_EQ(g.last_x, remembered ? c.x : 0);
        EXPECT_EQ(g.last_y, remembered ? c.y : 0);
    }
}

TEST(PreviewGeometryMouse, OverlappingHandlesLaterHitWinsOnDownFirstHitOnHover) {
    PreviewGeometry g(PreviewMode::kCircle);
    // A square of side 10: the handle boxes overlap; (1, 1) lies in the left and top boxes and
    // outside (hw - 10)^2 = 25 of the centre (5, 5).
    g.circle_square = {0, 0, 10, 10};
    const MouseOutcome hover = g.Move(1, 1, false, 800, 600);
    EXPECT_EQ(hover.cursor, PreviewCursor::kSizeHorizontal);
    EXPECT_FALSE(g.resizing);
    const MouseOutcome down = g.LeftDown(1, 1, 800, 600);
    EXPECT_EQ(g.active_handle, kTopHandle);
    EXPECT_EQ(down.cursor, PreviewCursor::kSizeVertical);
    EXPECT_FALSE(g.moving);
    // (3, 3) is in the left and top boxes and within 5 of the centre: moving takes over.
    g.LeftUp(800, 600);
    const MouseOutcome both = g.LeftDown(3, 3, 800, 600);
    EXPECT_TRUE(g.resizing);
    EXPECT_TRUE(g.moving);
    EXPECT_EQ(both.cursor, PreviewCursor::kMove);
    ExpectSquare(g.circle_square, 0, 0, 10, 10);
}

TEST(PreviewGeometryMouse, MoveShiftsInTwoStagesWithoutSnapping) {
    struct Case {
        const char* what;
        PreviewSquare square;
        int dx, dy;
        PreviewSquare expected;
    };
    // Bounding square (100, 0, 700, 600).
    const Case cases[] = {
        {"free move", {200, 100, 400, 300}, 50, -40, {250, 60, 450, 260}},
        {"right side would pass the edge: no move",
         {200, 100, 400, 300},
         301,
         0,
         {200, 100, 400, 300}},
        {"right side would reach the edge: no move",
         {200, 100, 400, 300},
         300,
         0,
         {200, 100, 400, 300}},
        {"more than the room left: moves by the room after the move",
         {200, 100, 400, 300},
         290,
         0,
         {210, 100, 410, 300}},
        {"left side would reach the edge: no move",
         {200, 100, 400, 300},
         -100,
         0,
         {200, 100, 400, 300}},
        {"left side stops short", {200, 100, 400, 300}, -99, 0, {101, 100, 301, 300}},
        {"top would pass the edge", {200, 100, 400, 300}, 0, -150, {200, 100, 400, 300}},
        {"down with room", {200, 100, 400, 300}, 0, 149, {200, 249, 400, 449}},
        {"down by less than the room: moves by the room after the move",
         {200, 100, 400, 300},
         0,
         299,
         {200, 101, 400, 301}},
        {"a square sticking out on the left comes in by what it needs",
         {90, 100, 200, 210},
         20,
         0,
         {100, 100, 210, 210}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PreviewGeometry g(PreviewMode::kCircle);
        g.bounding = {100, 0, 700, 600};
        g.circle_square = c.square;
        const PreviewRect sq = Rect(c.square);
        const int cx = (sq.left + sq.right) / 2;
        const int cy = (sq.top + sq.bottom) / 2;
        g.LeftDown(cx, cy, 800, 600);
        ASSERT_TRUE(g.moving);
        g.Move(cx + c.dx, cy + c.dy, true, 800, 600);
        ExpectSquare(g.circle_square, c.expected.left, c.expected.top, c.expected.right,
                     c.expected.bottom);
        EXPECT_EQ(g.last_x, cx + c.dx);
        EXPECT_EQ(g.last_y, cy + c.dy);
    }
}

TEST(PreviewGeometryMouse, SymmetricResizesWithTheirGuard) {
    struct Case {
        const char* what;
        int handle;
        int dx, dy;
        PreviewSquare expected;
    };
    // Square (200, 100, 400, 300), bounding (100, 0, 700, 600), minimum 50 window pixels.
    const Case cases[] = {
        {"left out", kLeftHandle, -20, 7, {180, 90, 400, 310}},
        {"top out", kTopHandle, 7, -20, {190, 80, 410, 300}},
        {"right out", kRightHandle, 20, 7, {200, 90, 420, 310}},
        {"bottom out", kBottomHandle, 7, 20, {190, 100, 410, 320}},
        {"left in to exactly twice the minimum", kLeftHandle, 100, 0, {300, 150, 400, 250}},
        {"left in below twice the minimum", kLeftHandle, 101, 0, {200, 100, 400, 300}},
        {"right over the bounding square", kRightHandle, 301, 0, {200, 100, 400, 300}},
        {"right to the bounding square's side but over its top",
         kRightHandle,
         300,
         0,
         {200, 100, 400, 300}},
        {"top over the bounding square", kTopHandle, 0, -101, {200, 100, 400, 300}},
        {"bottom in below the minimum", kBottomHandle, 0, -101, {200, 100, 400, 300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PreviewGeometry g(PreviewMode::kCircle);
        g.bounding = {100, 0, 700, 600};
        g.min_radius_window = 50;
        g.circle_square = {200, 100, 400, 300};
        const CircleOverlay o = PreviewGeometry::OverlayOf(Rect(g.circle_square));
        const PreviewRect box = o.handles[c.handle];
        const int x = box.left + 5;
        const int y = box.top + 5;
        g.LeftDown(x, y, 800, 600);
        ASSERT_EQ(g.active_handle, c.handle);
        ASSERT_FALSE(g.moving);
        g.Move(x + c.dx, y + c.dy, true, 800, 600);
        ExpectSquare(g.circle_square, c.expected.left, c.expected.top, c.expected.right,
                     c.expected.bottom);
        EXPECT_EQ(g.last_x, x + c.dx);
        EXPECT_EQ(g.last_y, y + c.dy);
    }
}

TEST(PreviewGeometryMouse, IgnoredResizeGoesOnFromWhereTheMouseIs) {
    PreviewGeometry g(PreviewMode::kCircle);
    g.bounding = {100, 0, 700, 600};
    g.circle_square = {200, 100, 400, 300};
    g.LeftDown(400, 200, 800, 600);    // right handle
    g.Move(730, 200, true, 800, 600);  // ignored: over the bounding square
    ExpectSquare(g.circle_square, 200, 100, 400, 300);
    g.Move(740, 200, true, 800, 600);  // 10 more from where the mouse was
    ExpectSquare(g.circle_square, 200, 95, 410, 305);
    const MouseOutcome up = g.LeftUp(800, 600);
    EXPECT_EQ(up.cursor, PreviewCursor::kArrow);
    EXPECT_TRUE(up.release);
    EXPECT_FALSE(g.moving);
    EXPECT_FALSE(g.resizing);
    EXPECT_EQ(g.active_handle, kNoHandle);
    EXPECT_EQ(g.last_x, 0);
    EXPECT_EQ(g.last_y, 0);
    // Without a button, moving only changes the cursor.
    const MouseOutcome hover = g.Move(200, 200, false, 800, 600);
    EXPECT_EQ(hover.cursor, PreviewCursor::kSizeHorizontal);
    ExpectSquare(g.circle_square, 200, 95, 410, 305);
}

// Zoom mode on an 800 x 600 pane.
class ZoomGeometry : public ::testing::Test {
  protected:
    ZoomGeometry() { g.active = true; }
    MouseOutcome Drag(int x0, int y0, int x1, int y1) {
        g.LeftDown(x0, y0, 800, 600);
        g.Move(x1, y1, true, 800, 600);
        return g.LeftUp(800, 600);
    }
    PreviewGeometry g{PreviewMode::kZoom};
};

TEST_F(ZoomGeometry, Selections) {
    struct Case {
        const char* what;
        int x0, y0, x1, y1;
        std::optional<PreviewRect> zoom;
    };
    const Case cases[] = {
        {"a drag down and right", 100, 100, 500, 400, PreviewRect{100, 100, 500, 400}},
        {"a drag up and left", 500, 400, 100, 100, PreviewRect{100, 100, 500, 400}},
        {"9 pixels wide", 100, 100, 109, 400, std::nullopt},
        {"9 pixels high", 100, 100, 500, 109, std::nullopt},
        {"10 by 10", 100, 100, 110, 110, PreviewRect{100, 100, 110, 110}},
        {"a click", 100, 100, 100, 100, std::nullopt},
        {"beyond the client area", 700, 500, 900, 650, PreviewRect{700, 500, 799, 599}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g.RightUp();
        const MouseOutcome out = Drag(c.x0, c.y0, c.x1, c.y1);
        EXPECT_TRUE(out.release);
        EXPECT_EQ(out.apply_view, c.zoom);
        EXPECT_EQ(g.zoom, c.zoom.value_or(PreviewRect{}));
        EXPECT_TRUE(g.selection.Empty());
    }
}

TEST_F(ZoomGeometry, ZoomInsideZoomRefinesWithSinglePrecision) {
    Drag(100, 100, 500, 400);  // 400 x 300: factors 0.5, 0.5
    MouseOutcome out = Drag(200, 100, 600, 500);
    ASSERT_TRUE(out.apply_view);
    EXPECT_EQ(*out.apply_view, (PreviewRect{200, 150, 400, 350}));
    // Too small once scaled (30 * 0.25 = 7.5): the previous zoom stays and nothing is applied.
    out = Drag(0, 0, 30, 600);
    EXPECT_FALSE(out.apply_view);
    EXPECT_EQ(g.zoom, (PreviewRect{200, 150, 400, 350}));
    // Factors in single precision: 84 / 800 as a float times 600 is 62.9999962 (63 in double
    // precision), truncated to 62.
    g.zoom = {0, 0, 84, 600};
    out = Drag(600, 0, 799, 599);
    ASSERT_TRUE(out.apply_view);
    EXPECT_EQ(out.apply_view->left, 62);
    EXPECT_EQ(out.apply_view->Width(), 20);  // 199 * 0.105
    // Right click shows the whole picture again.
    out = g.RightUp();
    EXPECT_EQ(out.apply_view, PreviewRect{});
    EXPECT_TRUE(g.zoom.Empty());
}

TEST_F(ZoomGeometry, MouseNeedsTheActiveFlagAndOnlyTheLeftButton) {
    const MouseOutcome hover = g.Move(10, 10, false, 800, 600);
    EXPECT_EQ(hover.cursor, PreviewCursor::kCross);
    g.LeftDown(100, 100, 800, 600);
    g.Move(300, 300, false, 800, 600);  // another button or key held too
    EXPECT_EQ(g.selection, (PreviewRect{100, 100, 100, 100}));
    g.Move(300, 300, true, 800, 600);
    EXPECT_EQ(g.selection, (PreviewRect{100, 100, 300, 300}));
    EXPECT_EQ(g.ZoomSelection(), (PreviewRect{100, 100, 300, 300}));

    // After a double click nothing reacts until the tab starts a new preview.
    g.DoubleClick();
    EXPECT_FALSE(g.active);
    EXPECT_EQ(g.Move(10, 10, true, 800, 600).cursor, PreviewCursor::kKeep);
    EXPECT_FALSE(Drag(100, 100, 500, 400).apply_view);
    EXPECT_FALSE(g.RightUp().apply_view);
    EXPECT_TRUE(g.zoom.Empty());
    g.active = true;
    EXPECT_TRUE(Drag(100, 100, 500, 400).apply_view);
}

TEST(PreviewGeometryZoom, ViewMargins) {
    struct Case {
        const char* what;
        PreviewRect view;
        int cw, ch, pw, ph;
        std::optional<PreviewMargins> margins;
    };
    const Case cases[] = {
        {"a zoom", {100, 100, 500, 400}, 800, 600, 1280, 960, PreviewMargins{160, 480, 160, 320}},
        {"zoom inside zoom",
         {200, 150, 400, 350},
         800,
         600,
         1280,
         960,
         PreviewMargins{320, 640, 240, 400}},
        {"truncated", {1, 1, 799, 599}, 800, 600, 1000, 1000, PreviewMargins{1, 1, 1, 1}},
        {"the whole picture", {}, 800, 600, 1280, 960, PreviewMargins{}},
        {"no client width", {100, 100, 500, 400}, 0, 600, 1280, 960, PreviewMargins{}},
        {"picture size unknown", {100, 100, 500, 400}, 800, 600, 0, 960, std::nullopt},
        {"picture height unknown", {100, 100, 500, 400}, 800, 600, 1280, 0, std::nullopt},
        {"a pane shrunk since the zoom",
         {100, 100, 900, 700},
         800,
         600,
         1280,
         960,
         PreviewMargins{160, 0, 160, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(PreviewGeometry::ViewMargins(c.view, c.cw, c.ch, c.pw, c.ph), c.margins);
    }
}

TEST(PreviewGeometryState, DoubleClickAndReset) {
    PreviewGeometry g(PreviewMode::kCircle);
    g.DrawCircle(800, 600, 5, 6, 1280, 960, 800, 600);
    g.SetCircle(600, 500, 440);
    g.DrawCircle(800, 600, 5, 6, 1280, 960, 800, 600);
    g.active = true;
    g.play_handle = 9;
    g.LeftDown(400, 300, 800, 600);
    g.selection = {1, 2, 3, 4};
    g.zoom = {5, 6, 70, 80};

    g.DoubleClick();
    EXPECT_EQ(g.circle.x, 0);
    EXPECT_EQ(g.previous.radius, 0);
    EXPECT_EQ(g.offset_x, 0);
    ExpectSquare(g.circle_square, 100, 0, 700, 600);
    ExpectSquare(g.last_reported, 0, 0, 0, 0);
    EXPECT_FALSE(g.moving || g.resizing || g.active);
    EXPECT_EQ(g.active_handle, kNoHandle);
    EXPECT_EQ(g.last_x, 0);
    EXPECT_EQ(g.play_handle, 9u);  // the playback is not touched
    EXPECT_TRUE(g.selection.Empty());
    EXPECT_TRUE(g.zoom.Empty());

    g.active = true;
    g.LeftDown(400, 300, 800, 600);
    g.Reset();
    ExpectSquare(g.circle_square, 0, 0, 0, 0);
    ExpectSquare(g.bounding, 0, 0, 0, 0);
    EXPECT_FALSE(g.moving || g.resizing || g.active);
    EXPECT_EQ(g.play_handle, 0u);
    EXPECT_NEAR(g.min_radius_picture, 430, 1e-9);  // kept
    EXPECT_NEAR(g.min_radius_window, 268.75, 1e-9);
}

// A circle read from the camera, shown and read back untouched must come back as it was: the
// tab writes what it reads on Set, so a lost pixel would shrink the camera's circle at every Set.
TEST(PreviewGeometryRoundTrip, AnUntouchedCircleReadsBackAsItWasSet) {
    struct Case {
        int w, h, ox, oy, pw, ph, cw, ch;
        int x, y, radius;
    };
    const Case cases[] = {
        {1228, 691, 0, 14, 1920, 1080, 1228, 720, 960, 540, 520},
        {300, 168, 0, 258, 1920, 1080, 300, 684, 960, 540, 520},  // 539.99999999999989
        {418, 235, 0, 76, 1920, 1080, 419, 387, 960, 540, 520},
        {960, 540, 0, 90, 1920, 1080, 960, 720, 960, 540, 520},
        {800, 600, 0, 0, 1280, 960, 800, 600, 600, 500, 440},
        {777, 583, 3, 1, 2592, 1944, 783, 585, 1296, 972, 900},
        {1000, 750, 0, 5, 1280, 960, 1000, 760, 641, 479, 431},
    };
    for (const Case& c : cases) {
        PreviewGeometry g(PreviewMode::kCircle);
        g.DrawCircle(c.w, c.h, c.ox, c.oy, c.pw, c.ph, c.cw, c.ch);
        g.SetCircle(c.x, c.y, c.radius);
        g.DrawCircle(c.w, c.h, c.ox, c.oy, c.pw, c.ph, c.cw, c.ch);
        int x = 0, y = 0, r = 0;
        g.GetCircle(x, y, r);
        EXPECT_EQ(x, c.x) << c.pw << "x" << c.ph << " in " << c.w << "x" << c.h;
        EXPECT_EQ(y, c.y) << c.pw << "x" << c.ph << " in " << c.w << "x" << c.h;
        EXPECT_EQ(r, c.radius) << c.pw << "x" << c.ph << " in " << c.w << "x" << c.h;
    }
}

// Resizing the station's window while a circle is fitted keeps the circle on the picture.
TEST(PreviewGeometryRoundTrip, AResizedPaneKeepsTheCircleOnThePicture) {
    PreviewGeometry g(PreviewMode::kCircle);
    g.DrawCircle(1228, 690, 0, 15, 1920, 1080, 1228, 720);
    g.SetCircle(960, 540, 520);
    g.DrawCircle(1228, 690, 0, 15, 1920, 1080, 1228, 720);
    const auto resized = g.DrawCircle(1000, 562, 0, 19, 1920, 1080, 1000, 600);
    EXPECT_TRUE(resized.report) << "the square moved with the picture";
    int x = 0, y = 0, r = 0;
    g.GetCircle(x, y, r);
    EXPECT_EQ(x, 960);
    EXPECT_EQ(y, 540);
    EXPECT_EQ(r, 520);
    // The square is where the circle is on the smaller picture.
    const double s = 562.0 / 1080;  // the height limits the scale
    EXPECT_NEAR(g.circle_square.left, (960 - 520) * s, 1e-6);
    EXPECT_NEAR(g.circle_square.top, (540 - 520) * s + 19, 1e-6);
    // A double click still starts over from the bounding square.
    g.DoubleClick();
    g.DrawCircle(1000, 562, 0, 19, 1920, 1080, 1000, 600);
    EXPECT_NEAR(g.circle_square.right - g.circle_square.left, 562, 1e-6);
}

}  // namespace
}  // namespace camera
