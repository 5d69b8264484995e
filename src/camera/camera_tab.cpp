#include "camera/camera_tab.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <algorithm>

#include "ui/controls.h"
#include "ui/shell.h"

namespace {

// The right-hand column, in dialog units.
constexpr int kColumnX = 306;
constexpr int kCaptionWidth = 56;
constexpr int kFieldX = 364;
constexpr int kFieldWidth = 85;
constexpr int kButtonWidth = 64;
constexpr int kRightButtonX = 385;

}  // namespace

CCameraTab::CCameraTab(PageInfo info, PreviewKind kind) : CTabPage(info), kind_(kind) {}

CCameraTab::~CCameraTab() {
    StopPreview(false);
}

void CCameraTab::PlaceField(QWidget* label, int label_id, QWidget* field, int field_id, int y) {
    if (label != nullptr) {
        app::PlaceControl(label, label_id, kColumnX, y + 2, kCaptionWidth, 8);
        if (auto* caption = qobject_cast<QLabel*>(label)) {
            caption->setBuddy(field);
        }
    }
    app::PlaceControl(field, field_id, kFieldX, y, kFieldWidth, 12);
}

void CCameraTab::PlaceButton(QWidget* button, int id, int y, bool right) {
    app::PlaceControl(button, id, right ? kRightButtonX : kColumnX, y, kButtonWidth, 14);
}

void CCameraTab::BuildCameraControls(int buttons_y) {
    // The frame's connection fields, one under the other in the column.
    const int rows[][2] = {
        {1018, kAddressId}, {1020, kPortId}, {1022, info().user_field_id}, {1024, kPasswordId}};
    int y = 8;
    for (const auto& row : rows) {
        PlaceField(app::FindControl(this, row[0]), row[0], app::FindControl(this, row[1]), row[1],
                   y);
        y += 16;
    }
    auto* hidden = new QLineEdit(this);
    app::PlaceControl(hidden, kHiddenId, kFieldX, 0, 10, 12);
    hidden->hide();

    auto* login = new QPushButton(app::Text(kLoginText), this);
    PlaceButton(login, kLoginId, buttons_y, false);
    connect(login, &QPushButton::clicked, this, [this] { Login(); });
    PlaceButton(BackButton(), kBackId, buttons_y, true);
    // Back leaves the camera: its preview ends with it.
    connect(BackButton(), &QPushButton::clicked, this, [this] { StopPreview(true); });

    pane_ = new CDlgPreview(kind_.pane_mode, Handle(), this);
    pane_->setObjectName(QString::number(CDlgPreview::kTemplateId));
    pane_->show();
    PlacePane();
}

void CCameraTab::Login() {
    StopPreview(true);
    StartPreview();
}

void CCameraTab::SetDevice(const std::string& address, int port, const std::string& user) {
    StopPreview(true);
    CTabPage::SetDevice(address, port, user);
}

bool CCameraTab::HasPicture() const {
    int32_t width = 0;
    int32_t height = 0;
    const ZQPLAY_HANDLE play = play_.load();
    return play != 0 && ZQPlayGetPlayPicSize(play, &width, &height) != 0 && width > 0 && height > 0;
}

int32_t CCameraTab::OnPreviewData(const uint8_t* data, int32_t length, void* user) {
    const auto play = static_cast<ZQPLAY_HANDLE>(reinterpret_cast<uintptr_t>(user));
    return ZQPlayInputNetFrame(play, data, length);
}

void CCameraTab::StartPreview() {
    if (!IsCreated()) {
        return;
    }
    const std::string address = AddressText();
    const std::string user = UserName();
    const std::string password = Password();
    ZQNetConnectionRecord record{};
    record.address = address.c_str();
    record.port = Port();
    record.user = user.c_str();
    record.password = password.c_str();
    record.notifyWindow = Handle();
    record.notifyMessage = kStatusMessage;
    record.userValue = this;
    record.useNotifyWindow = 1;
    record.eventCallback = kind_.event;
    record.kind = 0;
    record.option = 0;
    connection_ = ZQNetConnectionStartEx(&record);
    if (kind_.event != nullptr) {
        // Right after the start, before the login outcome: the library applies it on login.
        ZQNetAlarmSubscribe(connection_, 1);
    }

    const ZQPLAY_HANDLE play = ZQPlayCreatePlayInstance(2);
    play_.store(play);
    ZQPlaySetPlayWnd(play, pane_->PlayWindow());
    ZQPlayRegisterDrawFun(play, kind_.draw, this);
    ZQPlayRenderActualProportion(play, kind_.proportion);
    ZQPlayStartPlay(play);

    pane_->SetPlayHandle(play);
    pane_->InvertActive();
    pane_->ClearZoom();

    ZQNetPreviewRequest request{};
    request.stream = 1;
    request.dataCallback = &CCameraTab::OnPreviewData;
    request.userValue = reinterpret_cast<void*>(static_cast<uintptr_t>(play));
    request.notifyWindow = Handle();
    request.notifyMessage = kStatusMessage;
    preview_ = ZQNetStartPreview(connection_, &request);
}

void CCameraTab::StopPreview(bool repaint) {
    if (connection_ != 0 && preview_ != 0) {
        ZQNetStopPreview(connection_, &preview_);
    }
    const ZQPLAY_HANDLE play = play_.load();
    if (play != 0) {
        ZQPlayStopPlay(play);  // no draw callback runs after it returns
        ZQPlayDestroyPlayInstance(play);
        if (repaint) {
            update();
        }
        play_.store(0);
    }
    if (connection_ != 0) {
        ZQNetConnectionStop(&connection_);  // no event callback runs after it returns
    }
    connection_ = 0;
    preview_ = 0;
    if (pane_ != nullptr) {
        pane_->Reset();
    }
}

void CCameraTab::PlacePane() {
    QWidget* address_label = app::FindControl(this, 1018);
    if (pane_ == nullptr || address_label == nullptr) {
        return;
    }
    const QRect client = rect();
    const int left = client.left() + kPaneMargin;
    const int top = client.top() + kPaneMargin;
    const int right = std::max(left, address_label->geometry().left() - kPaneMargin);
    const int bottom = std::max(top, client.bottom() + 1 - kPaneMargin);
    pane_->setGeometry(left, top, right - left, bottom - top);
}

void CCameraTab::resizeEvent(QResizeEvent* event) {
    CTabPage::resizeEvent(event);
    if (IsCreated()) {
        PlacePane();
    }
}
