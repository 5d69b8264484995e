#include "app/main_dlg.h"

#include <QApplication>
#include <QFrame>
#include <QTabBar>

#include "app/splash_wnd.h"
#include "camera/dlg_adjust_fish_eye.h"
#include "camera/dlg_lock_focus.h"
#include "camera/dlg_ptz.h"
#include "platform/qt_window.h"
#include "tabs/device_list.h"
#include "tabs/dlg_device_info.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_restore_factory_tool.h"
#include "tabs/dlg_search.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/dlg_telnet_tool.h"
#include "tabs/tab_page.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {
constexpr unsigned kSelectMessage = 1124;
constexpr unsigned kSharedPasswordMessage = 2048;
constexpr unsigned kSizeMessage = 5;  // "size changed", posted once for the first layout
constexpr int kManualPort = 9000;
}  // namespace

CZQTalvaneDlg::CZQTalvaneDlg(QWidget* parent)
    : QDialog(parent),
      search_(std::make_unique<CDlgSearch>()),
      mac_(std::make_unique<CDlgTalvane>()),
      key_(std::make_unique<CDlgKeyTool>()),
      reset_(std::make_unique<CDlgRestoreFactoryTool>()),
      serial_(std::make_unique<CDlgSerialNum>()),
      device_info_(std::make_unique<CDlgDeviceInfo>()),
      focus_(std::make_unique<CDlgLockFocus>()),
      telnet_(std::make_unique<CDlgTelnetTool>()),
      fisheye_(std::make_unique<CDlgAdjustFishEye>()),
      lens_(std::make_unique<CDlgPtz>()) {
    setObjectName(QString::number(kTemplateId));
    // A fixed-size window with a caption and a system menu, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QStringLiteral("ZQTalvane"));
    setFixedSize(app::DialogX(483), app::DialogY(302));
    setWindowIcon(QApplication::windowIcon());
    handle_ = std::make_unique<platform::QtWindowHandle>(this);

    tab_control_ = new QWidget(this);
    tab_control_->setObjectName(QString::number(kTabControlId));
    tab_control_->setGeometry(app::DialogRect(7, 23, 469, 272));
    // The pane under the tab row; the tab windows lie on it.
    tab_pane_ = new QFrame(tab_control_);
    tab_pane_->setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    tab_bar_ = new QTabBar(tab_control_);
    tab_bar_->setDrawBase(false);
    tab_bar_->setExpanding(false);
    connect(tab_bar_, &QTabBar::currentChanged, this, [this](int) { ShowSelectedTab(); });
    Initialise();
}

CZQTalvaneDlg::~CZQTalvaneDlg() {
    if (app::Shell().main_window == Handle()) {
        app::Shell().main_window = 0;
    }
    // The tab windows are children of this window; the objects go in reverse order of
    // declaration, before the window itself.
    lens_.reset();
    fisheye_.reset();
    telnet_.reset();
    focus_.reset();
    device_info_.reset();
    serial_.reset();
    reset_.reset();
    key_.reset();
    mac_.reset();
    search_.reset();
}

platform::WindowHandle CZQTalvaneDlg::Handle() const {
    return handle_->handle();
}

void CZQTalvaneDlg::Initialise() {
    // The splash stays at least as long as the original start-up wait, without blocking.
    CSplashWnd::ShowSplashScreen(this, kSplashMinimumMs);

    struct Tab {
        CTabPage* page;
        int template_id;
        int caption_id;
    };
    const Tab tabs[] = {
        {mac_.get(), 131, 18},     {serial_.get(), 137, 259},      {key_.get(), 133, 19},
        {reset_.get(), 135, 22},   {device_info_.get(), 138, 141}, {focus_.get(), 139, 142},
        {telnet_.get(), 141, 155}, {fisheye_.get(), 146, 231},     {lens_.get(), 148, 238},
    };
    for (const Tab& t : tabs) {
        if (t.page->Create(t.template_id, tab_control_)) {
            t.page->SetOwner(Handle());
            t.page->hide();
        }
        tab_bar_->addTab(app::Text(t.caption_id));
        pages_.push_back(t.page);
    }
    tab_bar_->setCurrentIndex(0);
    tab_control_->hide();

    search_->Create(this, Handle());
    search_->show();

    app::Shell().main_window = Handle();
    initialised_ = true;
    // The first layout happens once the window is shown.
    platform::PostWindowMessage(Handle(), kSizeMessage, 0, 0);
}

void CZQTalvaneDlg::ShowSelectedTab() {
    const int selected = tab_bar_->currentIndex();
    for (int i = 0; i < static_cast<int>(pages_.size()); ++i) {
        CTabPage* page = pages_[static_cast<size_t>(i)];
        if (page->IsCreated()) {
            page->setVisible(i == selected);
        }
    }
}

void CZQTalvaneDlg::Layout() {
    if (!initialised_) {
        return;
    }
    const QRect inner = rect().adjusted(kMargin, kMargin, -kMargin, -kMargin);
    search_->setGeometry(inner);
    tab_control_->setGeometry(inner);
    const QRect control = tab_control_->rect();
    tab_bar_->setGeometry(0, 0, control.width(), kTabRowHeight);
    tab_pane_->setGeometry(control.adjusted(0, kTabRowHeight - 1, 0, 0));
    tab_pane_->lower();
    const QRect page_rect = control.adjusted(2, kTabRowHeight, -4, -2);
    for (CTabPage* page : pages_) {
        if (page->IsCreated()) {
            page->setGeometry(page_rect);
        }
    }
}

void CZQTalvaneDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    Layout();
}

bool CZQTalvaneDlg::event(QEvent* event) {
    if (event->type() != platform::WindowMessageEvent::Type()) {
        return QDialog::event(event);
    }
    auto* message = static_cast<platform::WindowMessageEvent*>(event);
    switch (message->message()) {
        case kSizeMessage:
            Layout();
            break;
        case kSelectMessage:
            if (message->wparam() == 0) {
                OnDeviceChosen(message->lparam());
            } else {
                OnBack();
            }
            break;
        case kSharedPasswordMessage:
            OnSharedPassword();
            break;
        default:
            break;
    }
    return true;
}

void CZQTalvaneDlg::OnDeviceChosen(std::intptr_t lparam) {
    std::string address;
    int port = kManualPort;
    if (lparam != 0) {
        const auto* record = reinterpret_cast<const ZQNetDeviceRecord*>(lparam);
        address = tabs::FieldText(record->ip);
        port = record->mediaPort;
    }
    for (CTabPage* page :
         {static_cast<CTabPage*>(mac_.get()), static_cast<CTabPage*>(key_.get()),
          static_cast<CTabPage*>(reset_.get()), static_cast<CTabPage*>(serial_.get()),
          static_cast<CTabPage*>(device_info_.get()), static_cast<CTabPage*>(focus_.get()),
          static_cast<CTabPage*>(telnet_.get()), static_cast<CTabPage*>(fisheye_.get()),
          static_cast<CTabPage*>(lens_.get())}) {
        if (page->IsCreated()) {
            page->SetDevice(address, port, "admin");
        }
    }
    search_->hide();
    tab_control_->show();
    tab_bar_->setCurrentIndex(0);
    ShowSelectedTab();
}

void CZQTalvaneDlg::OnBack() {
    search_->show();
    tab_control_->hide();
}

void CZQTalvaneDlg::OnSharedPassword() {
    for (CTabPage* page : pages_) {
        page->SetPasswordText(app::Settings().device_password);
    }
}
