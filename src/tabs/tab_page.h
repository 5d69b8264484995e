// CTabPage: the frame every provisioning tab stands on.
//
// Each tab class derives from it with its template id, its caption's language id and the id of
// its user-name field. The frame gives every tab:
// - the connection fields: address 1000 (CIpAddressEdit), port 1001, user name (1002, or the
//   tab's own id), password 1005, with their labels 1018, 1020, 1022, 1024 (texts 23 to 26), and
//   the Back button 1013 (text 33), which posts message 1124 with wParam 5 to the main window;
// - SetDevice, which the main window calls with the chosen unit (address, port, user name);
// - the password-sharing rule: when field 1005 loses the focus, its text becomes the shared
//   device password and message 2048 is posted to the main window (tabs built with
//   shares_password false, the fisheye tab, do not);
// - the connect-on-button, act-on-1125 pattern: BeginOperation disables the operation buttons
//   (Back among them when the tab adds it) and connects with the frame's fields; when the login
//   result (message 1125) of that connection arrives, the buttons are enabled again, OnOperation
//   runs once with it (so a box it leaves open never shows dead buttons), then the connection is
//   stopped, unless OnOperation released it (ReleaseConnection) or began the next operation. A
//   1125 of any other connection (one stopped already, or with no operation pending) is ignored.
//   A login result that does not come within the settings' login wait ends the operation as a
//   failed login (text 44): the connection is stopped and OnOperation runs with 44;
// - the Enter key never leaves the tab: no button of a tab is a default button, and Enter or
//   Return anywhere in the tab goes to OnEnterKey (which does nothing unless the tab says so)
//   and no further;
// - the boxes and timers a tab's operation asks for (tabs::TabPrompter): the program's "Prompt"
//   box, the system's plain box (titled "ZQTalvane") and window timers, whose ticks reach
//   OnTimer.
// The window exists once Create has run; until then SetDevice and the field accessors do
// nothing and answer empty. UI thread only.
#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/ZQNet.h"
#include "identity/report.h"
#include "platform/window_message.h"
#include "platform/window_timers.h"
#include "tabs/tab_prompter.h"
#include "tabs/unit_clearing.h"

class CIpAddressEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace platform {
class QtWindowHandle;
}

class CTabPage : public QWidget, public tabs::TabPrompter {
    Q_OBJECT
  public:
    struct PageInfo {
        int template_id;
        int caption_id;
        int user_field_id = 1002;
        bool shares_password = true;
    };

    // Control ids of the frame.
    static constexpr int kAddressId = 1000;
    static constexpr int kPortId = 1001;
    static constexpr int kPasswordId = 1005;
    static constexpr int kBackId = 1013;

    // The frame's own window timer: the wait for a login result.
    static constexpr int kLoginWaitTimer = 1125;

    // Messages.
    static constexpr unsigned kSelectMessage = 1124;  // to the main window; wParam 5: back
    static constexpr unsigned kSharedPasswordMessage = 2048;

    explicit CTabPage(PageInfo info);
    ~CTabPage() override;

    // Creates the tab's window as a child of `parent` and builds its controls. False when the
    // window could not be made (the tab is then skipped wherever a window is needed).
    bool Create(int template_id, QWidget* parent);
    bool IsCreated() const { return created_; }

    // The main window's handle, for Back and the shared password.
    void SetOwner(platform::WindowHandle owner) { owner_ = owner; }

    // The chosen unit: address into 1000 (0.0.0.0 for an empty or invalid text), port into 1001
    // as a signed decimal number, user name into the user-name field.
    virtual void SetDevice(const std::string& address, int port, const std::string& user);
    // Message 2048: the shared device password into field 1005.
    void SetPasswordText(const std::string& password);

    const PageInfo& info() const { return info_; }
    platform::WindowHandle Handle() const;

    // The frame's fields as the operations read them.
    std::string AddressText() const;  // "%d.%d.%d.%d"
    int Port() const;                 // signed decimal; 0 when not a number
    std::string PortText() const;     // the port field as typed
    std::string UserName() const;
    std::string Password() const;

    // tabs::TabPrompter: the boxes an operator answers, and the tab's window timers.
    bool Box(int message_id, int kind) override;
    void SystemBox(int message_id) override;
    void StartTimer(int id, int interval_ms) override;

  protected:
    // Builds the tab's own controls (after the frame's); the tab issues fill these in.
    virtual void BuildControls() {}
    // The login result of the operation begun last (40 logged in; 41, 42, 44 failed).
    virtual void OnOperation(int operation, int login_result);
    // Every other window message posted to the tab.
    virtual void OnWindowMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
    // Enter or Return pressed in `control` (a control of the tab, or the tab itself).
    virtual void OnEnterKey(QWidget* control);
    // A tick of window timer `id` (StartTimer).
    virtual void OnTimer(int id);
    void StopTimer(int id);
    // The closing timers' step: closes the open "Prompt" box when the success flag is set.
    static void CloseSuccessBox();

    QPushButton* BackButton() const { return back_; }

    // A text field `field_id` at template position (x, y) with its caption label `label_id` to
    // the left (buddy of the field); the caption is language text `text_id`, or `caption` when
    // `text_id` is below 0.
    QLineEdit* AddField(int label_id, int text_id, int field_id, int x, int y, int width,
                        const QString& caption = {});
    // The production order field (caption "订单号"), shown only while the identity server is in
    // use; OrderShown() tells whether it is.
    QLineEdit* AddOrderField(int label_id, int field_id, int x, int y);
    bool OrderShown() const;
    // The identity server as the settings give it, enabled only while the order field is shown.
    identity::ServerSettings Server() const;

    // The result list of a tab whose rows report one outcome on the unit: columns row number
    // (text 34, 50 px), time (35, 160), "IP" (120), port (24, 80), result (36, 120).
    QTableWidget* CreateOutcomeList(int list_id, bool hot_tracking);
    // Adds a row to it with the address and port the fields hold now and language text `text_id`.
    void AddOutcomeRow(QTableWidget* list, int text_id);

    // Buttons BeginOperation disables until the operation's end.
    void AddOperationButton(QPushButton* button);
    void SetOperationButtonsEnabled(bool enabled);
    // Starts `operation` (a number of the tab's own); see the header comment.
    void BeginOperation(int operation);
    // The same on a unit the operation names (the frame's user name and password).
    void BeginOperationOn(int operation, const std::string& address, int port);
    // Stops the tab's connection, if any.
    void StopConnection();
    // Hands the tab's connection to the caller, who stops it (StopDevice) when done with it; the
    // tab then holds none.
    ZQNET_HANDLE ReleaseConnection();
    ZQNET_HANDLE Connection() const { return connection_; }
    // The tab's session-handle variable, for objects that read the handle at each call.
    const ZQNET_HANDLE* ConnectionVariable() const { return &connection_; }

    // The clearing of a failed write (tabs/unit_clearing.h) as the MAC and key tabs run it on
    // their clearing timer `timer_id` and message `message`:
    // - a tick posts `message` with the clearing's serial number, and stops the timer on the
    //   last tick or when nothing is left to clear;
    void OnClearingTick(tabs::UnitClearing& clearing, int timer_id, unsigned message);
    // - the message makes one attempt for the clearing it was posted for; after the last tick's
    //   attempt it closes the clearing and answers the unit it could not clear;
    std::optional<tabs::UnitClearing::Unit> OnClearingMessage(tabs::UnitClearing& clearing,
                                                              std::uintptr_t wparam);
    // - before a new operation, an open clearing gets one last attempt and is closed;
    std::optional<tabs::UnitClearing::Unit> FinishClearing(tabs::UnitClearing& clearing,
                                                           int timer_id);
    // - at the end of an operation, an open clearing takes the connection over;
    void HandOverToClearing(tabs::UnitClearing& clearing);
    // - a unit it could not clear gets a row (address, port, the identity, text 317) in `list`,
    //   the status line `status` says so with `label` before the identity, and the log tells it.
    void AddUnclearedRow(QTableWidget* list, QLabel* status, const QString& label,
                         const tabs::UnitClearing::Unit& unit);

    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void BuildFrame();
    void OnBack();
    void EndLogin(int login_result);

    PageInfo info_;
    bool created_ = false;
    platform::WindowHandle owner_ = 0;
    std::unique_ptr<platform::QtWindowHandle> handle_;
    ZQNET_HANDLE connection_ = 0;
    int pending_operation_ = -1;
    std::uintptr_t login_token_ = 0;  // the pending operation's connection
    std::vector<QPushButton*> operation_buttons_;
    CIpAddressEdit* address_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QPushButton* back_ = nullptr;
    QLineEdit* order_ = nullptr;
    platform::WindowTimers* timers_ = nullptr;
};
