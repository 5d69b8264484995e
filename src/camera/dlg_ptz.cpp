#include "camera/dlg_ptz.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/controls.h"
#include "ui/shell.h"

CDlgPtz::CDlgPtz()
    : CCameraTab(PageInfo{kTemplateId, kCaptionId, 1002, true},
                 PreviewKind{CDlgPreview::kZoomMode, 0, &CDlgPtz::OnDraw, &CDlgPtz::OnAlarm}) {}

CDlgPtz::~CDlgPtz() {
    // The connection goes before the calibration object, so no alarm can reach it afterwards.
    StopPreview(false);
}

void CDlgPtz::BuildControls() {
    BuildCameraControls(76);
    set_ = new QPushButton(app::Text(260), this);
    PlaceButton(set_, kSetId, 100, false);
    set_->setEnabled(false);
    connect(set_, &QPushButton::clicked, this,
            [this] { Apply(calibration_.Start(CameraConnection(), Previewing())); });

    // Controls of the tab without behaviour, kept for their ids and hidden.
    auto* caption = new QLabel(app::Text(262), this);
    auto* thickness = new QLineEdit(this);
    PlaceField(caption, kThicknessLabelId, thickness, kThicknessId, 124);
    auto* compute = new QPushButton(QStringLiteral("计算厚度"), this);
    PlaceButton(compute, kComputeId, 140, false);
    auto* calibrate = new QPushButton(QStringLiteral("镜头标定"), this);
    PlaceButton(calibrate, kCalibrateId, 140, true);
    for (QWidget* idle : std::initializer_list<QWidget*>{caption, thickness, compute, calibrate}) {
        idle->hide();
    }
}

void CDlgPtz::OnDraw(ZQPlaySurface* surface, int32_t, int32_t, void* user, int32_t, int32_t) {
    if (auto* tab = static_cast<CDlgPtz*>(user)) {
        tab->Pane()->DrawZoomMode(surface);
    }
}

void CDlgPtz::OnAlarm(int32_t type, const void* data, int32_t length, void* user) {
    if (auto* tab = static_cast<CDlgPtz*>(user)) {
        tab->calibration_.OnAlarm(type, data, length, tab->Handle());
    }
}

void CDlgPtz::StopPreview(bool repaint) {
    CCameraTab::StopPreview(repaint);
    calibration_.Stop();
    if (set_ != nullptr) {
        set_->setEnabled(false);
    }
}

void CDlgPtz::OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (message == kStatusMessage) {
        Apply(calibration_.OnStatus(static_cast<int>(wparam), CameraConnection()));
    } else if (message == camera::CLensCalibration::kResultMessage) {
        Apply(calibration_.OnResult(wparam, lparam, [this] { set_->setEnabled(true); }));
    }
}

void CDlgPtz::Apply(camera::CLensCalibration::SetButton step) {
    using SetButton = camera::CLensCalibration::SetButton;
    if (step != SetButton::kUnchanged) {
        set_->setEnabled(step == SetButton::kEnable);
    }
}
