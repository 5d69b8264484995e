// CZQTalvaneDlg: the station's main window (template 102, caption "ZQTalvane").
//
// It shows either the device search view or the tab control (id 1039) with the nine tabs, in
// this order: MAC address, serial number, key, factory reset, device information, focus lock,
// telnet and maintenance, fisheye centre, lens calibration (captions from the language table).
// Messages it handles, posted to Handle():
// - 1124, wParam 0: a unit was chosen; lParam is the search view's device record (its address
//   and media port are read while handling) or 0 for manual entry (0.0.0.0, port 9000). Every
//   tab gets the unit with user name "admin"; the tab view shows tab 0.
// - 1124, wParam not 0: back to the search view.
// - 2048: the shared device password (app::Settings().device_password) into every tab's 1005.
// Layout: the search view and the tab control sit 20 pixels inside the window; each tab fills
// the tab control below its 22-pixel tab row (2 pixels in on the left and bottom, 4 on the
// right). Closing the window ends its modal run. Initialisation shows the splash (kept at
// least 1000 ms) and stores the window's handle in app::Shell().main_window. UI thread only.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "platform/window_message.h"

class CTabPage;
class CDlgSearch;
class CDlgTalvane;
class CDlgKeyTool;
class CDlgRestoreFactoryTool;
class CDlgSerialNum;
class CDlgDeviceInfo;
class CDlgLockFocus;
class CDlgTelnetTool;
class CDlgAdjustFishEye;
class CDlgPtz;
class QFrame;
class QTabBar;

namespace platform {
class QtWindowHandle;
}

class CZQTalvaneDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 102;
    static constexpr int kTabControlId = 1039;
    static constexpr int kMargin = 20;
    static constexpr int kTabRowHeight = 22;
    static constexpr int kSplashMinimumMs = 1000;

    explicit CZQTalvaneDlg(QWidget* parent = nullptr);
    ~CZQTalvaneDlg() override;

    platform::WindowHandle Handle() const;
    CDlgSearch* SearchView() const { return search_.get(); }
    QWidget* TabControl() const { return tab_control_; }
    QTabBar* TabBar() const { return tab_bar_; }
    // The page list: tab i of the tab control.
    const std::vector<CTabPage*>& Pages() const { return pages_; }

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void Initialise();
    void ShowSelectedTab();
    void Layout();
    void OnDeviceChosen(std::intptr_t record);
    void OnBack();
    void OnSharedPassword();

    std::unique_ptr<platform::QtWindowHandle> handle_;
    QWidget* tab_control_ = nullptr;
    QTabBar* tab_bar_ = nullptr;
    QFrame* tab_pane_ = nullptr;
    std::unique_ptr<CDlgSearch> search_;
    std::unique_ptr<CDlgTalvane> mac_;
    std::unique_ptr<CDlgKeyTool> key_;
    std::unique_ptr<CDlgRestoreFactoryTool> reset_;
    std::unique_ptr<CDlgSerialNum> serial_;
    std::unique_ptr<CDlgDeviceInfo> device_info_;
    std::unique_ptr<CDlgLockFocus> focus_;
    std::unique_ptr<CDlgTelnetTool> telnet_;
    std::unique_ptr<CDlgAdjustFishEye> fisheye_;
    std::unique_ptr<CDlgPtz> lens_;
    std::vector<CTabPage*> pages_;
    bool initialised_ = false;
};
