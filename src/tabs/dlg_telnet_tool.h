// CDlgTelnetTool: the telnet and maintenance tab (template 141, caption text 155).
//
// Six buttons, each one operation on a fresh session (tabs/telnet_operation.h): open telnet
// (1126), close telnet (1127), open serial console (1008), close serial console (1128), erase P2P
// (1163), time sync (1179). While a login is pending the four telnet and console buttons are
// disabled; erase, time sync and Back stay enabled, and a press on one of them replaces the
// pending operation (the earlier session is stopped). With check box 1129 ticked, opening telnet
// also runs the program folder's test.pl with /usr/bin/perl and the unit's dotted address, in the
// program folder, waits for it to end (no time limit; the windows keep painting, nothing else is
// handled meanwhile) and closes telnet again. Every operation adds one row to list 1004 with the
// address and port in the fields when the row is added; the tab writes nothing to the record
// store.
//
// The tab's frame (connection fields, Back, password sharing, the connect-on-button pattern,
// Enter swallowed) is CTabPage's; see tabs/tab_page.h. UI thread only.
#pragma once

#include "params/sys_param_dst.h"
#include "tabs/tab_page.h"

class QCheckBox;
class QTableWidget;

class CDlgTelnetTool : public CTabPage {
    Q_OBJECT
  public:
    static constexpr int kTemplateId = 141;
    static constexpr int kCaptionId = 155;

    static constexpr int kOpenTelnetId = 1126;
    static constexpr int kCloseTelnetId = 1127;
    static constexpr int kOpenConsoleId = 1008;
    static constexpr int kCloseConsoleId = 1128;
    static constexpr int kEraseId = 1163;
    static constexpr int kTimeSyncId = 1179;
    static constexpr int kScriptId = 1129;
    static constexpr int kGroupId = 1023;
    static constexpr int kListId = 1004;

    // The interpreter and the script it runs from the program folder.
    static constexpr const char* kInterpreter = "/usr/bin/perl";
    static constexpr const char* kScript = "test.pl";

    CDlgTelnetTool();

    // True from a button press until its row has been added.
    bool Busy() const { return busy_; }

  protected:
    void BuildControls() override;
    void OnOperation(int operation, int login_result) override;

  private:
    void Start(int operation);
    void RunScript();

    QCheckBox* script_ = nullptr;
    QTableWidget* list_ = nullptr;
    SysParamDst time_param_;
    bool busy_ = false;
};
