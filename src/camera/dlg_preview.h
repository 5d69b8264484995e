// CDlgPreview: the live preview pane (template 147) that the fisheye centre tab (circle mode)
// and the lens calibration tab (zoom mode) embed. The playback library renders the unit's
// picture into the pane's window handle; the owning tab's draw callback hands each finished
// picture's surface to DrawCircleMode or DrawZoomMode, which draw the overlay into it.
//
// What a caller may rely on:
// - The draw steps run on the playback library's thread; everything else on the UI thread.
//   Every piece of state they share is read and written under the pane's one lock, and the
//   draw steps release the lock before drawing.
// - The pane tells its parent about a changed circle only by posting message 1126 (wparam,
//   lparam: the picture's offsets in the pane) to the parent window handle it was given.
// - Coordinates: "window" values are pixels of the pane's client area, "picture" values pixels
//   of the decoded picture. Integer results are truncated toward zero.
#pragma once

#include <QWidget>
#include <memory>

#include "device/ZQPlay.h"
#include "platform/window_message.h"

class CDlgPreview : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 147;
    static constexpr unsigned kCircleChangedMessage = 1126;  // WM_USER + 102
    enum Mode : int { kCircleMode = 0, kZoomMode = 1 };

    // `parent_window` receives message 1126; `parent` is the owning tab (the pane is its child).
    CDlgPreview(int mode, platform::WindowHandle parent_window, QWidget* parent);
    ~CDlgPreview() override;

    // The window handle to give ZQPlaySetPlayWnd.
    platform::WindowHandle PlayWindow() const;

    // Called by the owning tab whenever it stops its preview: zeroes the circles, squares and
    // offsets, clears the mouse state, forgets the play handle, clears the active flag and
    // empties the selection and zoom rectangles. The minimum radii are kept.
    void Reset();

    // After the tab has started its playback instance: the pane's play handle, then the active
    // flag inverted (0 to 1 after Reset), then the selection and zoom rectangles emptied.
    void SetPlayHandle(ZQPLAY_HANDLE handle);
    void InvertActive();
    void ClearZoom();

    // The circle in picture pixels (truncated).
    void GetCircle(int& x, int& y, int& radius);
    // Sets the circle's centre and radius (picture pixels); a radius below the minimum radius of
    // the last draw step is raised to that minimum. The next draw step moves the circle square
    // to the circle when the circle lies inside the picture and x is not 0; otherwise the
    // circle is derived from the square again.
    void SetCircle(int x, int y, int radius);
    // The circle square in window pixels shifted by minus the picture offsets: centre and half
    // side.
    void GetDisplayCircle(int& x, int& y, int& half_side);

    // Draw steps, from the owning tab's draw callback (playback library's thread).
    void DrawCircleMode(ZQPlaySurface* surface, int width, int height, int offset_x, int offset_y,
                        int picture_width, int picture_height);
    void DrawZoomMode(ZQPlaySurface* surface);

    // Implementation details live in the .cpp (geometry unit, picture, mouse state).
    struct State;

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    std::unique_ptr<State> state_;
};
