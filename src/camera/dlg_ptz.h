// CDlgPtz: the lens calibration tab (template 148, caption text 238).
//
// Login (1169) starts its own connection, subscribed to the camera's alarms, and a live preview
// (camera/camera_tab.h) in a zoom-mode pane whose picture fills it. Once logged in (status 101 of
// message 1649) Set (1003) is enabled for a camera that can calibrate its lens; Set starts the
// calibration (PTZ 108) and stays disabled while it runs; the camera's calibration alarms come
// back as message 1650 and the final one shows its box (239 success, 240 and 291 failures) and
// enables Set again (camera/lens_calibration.h).
//
// The field 1145 with its caption 1173 and the buttons 1008 and 1179 have no behaviour: they
// exist with their ids but are hidden, so an operator never meets a control that does nothing.
// The password field shares the device password. Enter is consumed. The preview stops (and
// Set is disabled) on Login, on a new unit, on Back and when the tab is destroyed; a calibration
// that was running is then forgotten and its result not shown.
// UI thread only (the callbacks: the libraries' threads; see camera/lens_calibration.h).
#pragma once

#include "camera/camera_tab.h"
#include "camera/lens_calibration.h"

class QPushButton;

class CDlgPtz : public CCameraTab {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 148;
    static constexpr int kCaptionId = 238;

    static constexpr int kSetId = 1003;
    static constexpr int kThicknessLabelId = 1173;
    static constexpr int kThicknessId = 1145;
    static constexpr int kComputeId = 1008;
    static constexpr int kCalibrateId = 1179;

    CDlgPtz();
    ~CDlgPtz() override;

    camera::CLensCalibration& Calibration() { return calibration_; }

  protected:
    void BuildControls() override;
    void StopPreview(bool repaint) override;
    void OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;

  private:
    static void OnDraw(ZQPlaySurface* surface, int32_t width, int32_t height, void* user,
                       int32_t offset_x, int32_t offset_y);
    static void OnAlarm(int32_t type, const void* data, int32_t length, void* user);
    void Apply(camera::CLensCalibration::SetButton step);

    camera::CLensCalibration calibration_{*this};
    QPushButton* set_ = nullptr;
};
