// CDlgAdjustFishEye: the fisheye centre tab (template 146, caption text 231).
//
// Login (1169) starts its own connection and live preview (camera/camera_tab.h) in a circle-mode
// pane whose picture keeps its proportion. When the preview has started (status 202 of message
// 1649) the circle the camera keeps (parameter 1015) is put on the pane; the operator fits it to
// the picture's image circle with the mouse, or types a radius (field 1144, centred on the first
// centre the tab saw). Fields 1006 to 1008 show the pane's circle as "(window, picture)" pairs on
// every change (message 1126). Set (1003) writes the pane's circle into the camera and reads it
// back (boxes 232/233), Clear (1004) writes a zero circle (boxes 234/235); see
// camera/fisheye_operation.h.
//
// The password field does not share the device password (it only receives it). Enter is
// consumed. The preview stops on Login, on a new unit, on Back and when the tab is destroyed.
// UI thread only (the draw callback: the playback library's thread, pane only).
#pragma once

#include <QPoint>

#include "camera/camera_tab.h"
#include "camera/fisheye_operation.h"

class QLineEdit;

class CDlgAdjustFishEye : public CCameraTab {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 146;
    static constexpr int kCaptionId = 231;

    static constexpr int kRadiusId = 1144;
    static constexpr int kCentreXId = 1006;
    static constexpr int kCentreYId = 1007;
    static constexpr int kShownRadiusId = 1008;
    static constexpr int kSetId = 1003;
    static constexpr int kClearId = 1004;

    CDlgAdjustFishEye();
    ~CDlgAdjustFishEye() override;

    const camera::CFisheyeOperation& Operation() const { return operation_; }
    // The picture's offset in the pane, as the pane's last notification (1126) gave it.
    QPoint PictureOffset() const { return offset_; }

  protected:
    void BuildControls() override;
    void Login() override;
    void OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;

  private:
    static void OnDraw(ZQPlaySurface* surface, int32_t width, int32_t height, void* user,
                       int32_t offset_x, int32_t offset_y);
    void OnCircleChanged();
    void OnRadiusEdited(const QString& text);
    void Set();
    void Clear();
    void ApplyToPane(const std::optional<camera::Circle>& circle);

    camera::CFisheyeOperation operation_{*this};
    QLineEdit* radius_ = nullptr;
    QLineEdit* centre_x_ = nullptr;
    QLineEdit* centre_y_ = nullptr;
    QLineEdit* shown_radius_ = nullptr;
    QPoint offset_;
};
