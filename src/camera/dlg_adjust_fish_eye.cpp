#include "camera/dlg_adjust_fish_eye.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/controls.h"
#include "ui/shell.h"

CDlgAdjustFishEye::CDlgAdjustFishEye()
    : CCameraTab(PageInfo{kTemplateId, kCaptionId, 1002, false},
                 PreviewKind{CDlgPreview::kCircleMode, 1, &CDlgAdjustFishEye::OnDraw, nullptr}) {}

CDlgAdjustFishEye::~CDlgAdjustFishEye() {
    // While the tab is still whole: no draw callback runs after this.
    StopPreview(false);
}

void CDlgAdjustFishEye::BuildControls() {
    BuildCameraControls(76);
    auto field = [this](int label_id, const QString& caption, int field_id, int y) {
        auto* edit = new QLineEdit(this);
        PlaceField(new QLabel(caption, this), label_id, edit, field_id, y);
        return edit;
    };
    radius_ = field(1172, app::Text(261), kRadiusId, 100);
    centre_x_ = field(1025, QStringLiteral("x"), kCentreXId, 116);
    centre_y_ = field(1026, QStringLiteral("Y"), kCentreYId, 132);
    shown_radius_ = field(1027, QStringLiteral("R"), kShownRadiusId, 148);
    for (QLineEdit* shown : {centre_x_, centre_y_, shown_radius_}) {
        shown->setReadOnly(true);
    }
    connect(radius_, &QLineEdit::textChanged, this, &CDlgAdjustFishEye::OnRadiusEdited);

    auto* set = new QPushButton(app::Text(31), this);
    PlaceButton(set, kSetId, 168, false);
    connect(set, &QPushButton::clicked, this, &CDlgAdjustFishEye::Set);
    auto* clear = new QPushButton(app::Text(236), this);
    PlaceButton(clear, kClearId, 168, true);
    connect(clear, &QPushButton::clicked, this, &CDlgAdjustFishEye::Clear);
}

void CDlgAdjustFishEye::Login() {
    radius_->clear();
    CCameraTab::Login();
}

void CDlgAdjustFishEye::OnDraw(ZQPlaySurface* surface, int32_t width, int32_t height, void* user,
                               int32_t offset_x, int32_t offset_y) {
    auto* tab = static_cast<CDlgAdjustFishEye*>(user);
    if (tab == nullptr) {
        return;
    }
    int32_t picture_width = 0;
    int32_t picture_height = 0;
    ZQPlayGetPlayPicSize(tab->PlayHandle(), &picture_width, &picture_height);
    tab->Pane()->DrawCircleMode(surface, width, height, offset_x, offset_y, picture_width,
                                picture_height);
}

void CDlgAdjustFishEye::OnWindowMessage(unsigned message, std::uintptr_t wparam,
                                        std::intptr_t lparam) {
    if (message == kStatusMessage && wparam == ZQNET_STATUS_PREVIEW_STARTED) {
        ApplyToPane(operation_.ReadCameraCircle(CameraConnection()));
    } else if (message == CDlgPreview::kCircleChangedMessage) {
        offset_ = QPoint(static_cast<int>(wparam), static_cast<int>(lparam));
        OnCircleChanged();
    }
}

void CDlgAdjustFishEye::OnCircleChanged() {
    camera::Circle display;
    camera::Circle picture;
    Pane()->GetDisplayCircle(display.x, display.y, display.radius);
    Pane()->GetCircle(picture.x, picture.y, picture.radius);
    const camera::CFisheyeOperation::FieldTexts texts =
        operation_.OnCircleChanged(display, picture);
    centre_x_->setText(QString::fromStdString(texts.x));
    centre_y_->setText(QString::fromStdString(texts.y));
    shown_radius_->setText(QString::fromStdString(texts.radius));
}

void CDlgAdjustFishEye::OnRadiusEdited(const QString& text) {
    ApplyToPane(operation_.RadiusTyped(text.toStdString()));
}

void CDlgAdjustFishEye::Set() {
    camera::Circle circle;
    Pane()->GetCircle(circle.x, circle.y, circle.radius);
    ApplyToPane(operation_.WriteCircle(CameraConnection(), Previewing(), circle));
}

void CDlgAdjustFishEye::Clear() {
    ApplyToPane(operation_.ClearCircle(CameraConnection()));
}

void CDlgAdjustFishEye::ApplyToPane(const std::optional<camera::Circle>& circle) {
    if (circle) {
        Pane()->SetCircle(circle->x, circle->y, circle->radius);
    }
}
