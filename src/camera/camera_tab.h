// CCameraTab: what the fisheye centre tab and the lens calibration tab share on top of CTabPage:
// their own connection to the camera with a live preview on it, shown in a preview pane.
//
// - The connection record is filled by the tab itself: the frame's address, port, user name and
//   password, notification window = the tab's window handle, message 1649 (kStatusMessage), user
//   value = the tab, connection kind 0, option 0, and the tab's event callback when it has one
//   (then ZQNetAlarmSubscribe(…, 1) is called right after the start).
// - The playback instance is made in this order: create (2), set window (the pane), register the
//   draw callback (the tab as user value), proportion, start. Then the pane gets the playback
//   handle, its active flag is inverted and its zoom emptied, and the device preview is started
//   with the 36-byte request {0, 0, 0, 1, data callback, playback handle, tab window, 1649, 0};
//   the data callback hands every block to ZQPlayInputNetFrame.
// - StopPreview: the device preview is stopped, then the playback instance (stopped and
//   destroyed), then the connection; every handle is forgotten and the pane reset. Nothing of
//   either library calls the tab afterwards. The destructor runs it.
// - The pane is placed on every resize: left, top and bottom 20 pixels inside the tab, right
//   edge 20 pixels left of the address label (1018). The frame's controls stand in a column on
//   the right of the tab.
// UI thread only, except the callbacks (library threads), which touch only the pane and what
// the tab's own callbacks say.
#pragma once

#include <atomic>

#include "camera/dlg_preview.h"
#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "tabs/tab_page.h"

class QPushButton;

class CCameraTab : public CTabPage {
    Q_OBJECT
  public:
    static constexpr unsigned kStatusMessage = 1649;
    static constexpr int kHiddenId = 1064;
    static constexpr int kLoginId = 1169;
    static constexpr int kLoginText = 29;
    static constexpr int kPaneMargin = 20;

    // What a tab puts into its preview.
    struct PreviewKind {
        int pane_mode;             // CDlgPreview::kCircleMode or kZoomMode
        int32_t proportion;        // ZQPlayRenderActualProportion: 1 keep, 0 fill
        ZQPlayDrawCallback draw;   // called with the tab as user value
        ZQNetEventCallback event;  // the connection's event callback, or none
    };

    ~CCameraTab() override;

    // A new unit: the running preview is stopped (with a repaint) before the fields change.
    void SetDevice(const std::string& address, int port, const std::string& user) override;

    CDlgPreview* Pane() const { return pane_; }
    ZQNET_HANDLE CameraConnection() const { return connection_; }
    ZQNET_HANDLE PreviewHandle() const { return preview_; }
    ZQPLAY_HANDLE PlayHandle() const { return play_.load(); }
    // The playback instance has decoded a picture (its size is known).
    bool HasPicture() const;
    // A connection, a device preview and a playback instance exist.
    bool Previewing() const { return connection_ != 0 && preview_ != 0 && play_.load() != 0; }

  protected:
    CCameraTab(PageInfo info, PreviewKind kind);

    // Builds the right-hand column (the frame's fields moved there, then Login and Back in the
    // row at `buttons_y`), the hidden field 1064 and the pane. Call first in BuildControls.
    void BuildCameraControls(int buttons_y);
    // The column's places, in dialog units: a caption and its field in row `y`; a button in the
    // left or right half of row `y`.
    void PlaceField(QWidget* label, int label_id, QWidget* field, int field_id, int y);
    static void PlaceButton(QWidget* button, int id, int y, bool right);

    // The Login button: the running preview is stopped (with a repaint) and a new one started.
    virtual void Login();
    // The new connection and preview (see the header comment).
    void StartPreview();
    // The stop routine; `repaint` repaints the tab once the playback instance is gone.
    virtual void StopPreview(bool repaint);

    void resizeEvent(QResizeEvent* event) override;

  private:
    void PlacePane();
    static int32_t OnPreviewData(const uint8_t* data, int32_t length, void* user);

    PreviewKind kind_;
    CDlgPreview* pane_ = nullptr;
    ZQNET_HANDLE connection_ = 0;
    ZQNET_HANDLE preview_ = 0;
    std::atomic<ZQPLAY_HANDLE> play_{0};  // read by the draw callbacks
};
