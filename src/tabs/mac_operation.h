// CMacOperation: what the MAC address tab does, without a window. The tab's window holds the
// fields and the list; this object holds the tab's MAC parameter record and runs the checks
// before a write, the query or write on a login result, the duplicate check with the unit
// (CheckMacAlreadyExist), the report to the identity server (ReportMacToServer) and the
// clearing of the unit's addresses. It asks a TabPrompter for every message box and timer.
//
// What a caller may rely on:
// - Nothing reaches the unit unless the checks before the write passed and the login succeeded.
// - The unit is never left with a written address the identity server refused: a refused report
//   clears the unit's addresses at once and starts the clearing timer (timer 4), whose ticks
//   the window turns into attempts of Clearing() (message 1129); a failed write starts the timer
//   too. The clearing keeps the failed operation's own connection: its attempts never reach
//   another unit or a later operation (see tabs/unit_clearing.h).
// - A write that cannot read the unit's current record first sends nothing (the unit's own
//   serial number would be lost) and fails with text 49.
// - Every activity-log line goes through records::WriteLog.
// User-interface thread only. The database and the prompter must outlive the object.
#pragma once

#include <string>

#include "device/ZQNet.h"
#include "identity/report.h"
#include "records/sql_database.h"
#include "tabs/tab_prompter.h"
#include "tabs/unit_clearing.h"

namespace tabs {

class CMacOperation {
  public:
    static constexpr int kClosingTimer = 3;   // closes the success box, once
    static constexpr int kClearingTimer = 4;  // clears the unit's addresses, seven ticks
    static constexpr int kTimerMs = 500;

    enum class Mode { kNone, kQuery, kWrite };
    enum class Check { kGo, kStop, kStopFocusMac };
    enum class Known { kUnreported, kReported, kKnown };
    enum class RowKind { kNone, kLoginFailure, kQuery, kWrite };
    struct Row {
        RowKind kind = RowKind::kNone;
        int text_id = 0;  // the result column's language text
    };

    // The tab's fields as they were when Set or Query was pressed.
    struct Fields {
        std::string order;    // production order number
        std::string mac;      // MAC address 1, exactly as typed
        std::string module;   // module name
        std::string sn_code;  // the hidden SN code field
        std::string ip;       // "%d.%d.%d.%d"
        long long port = 0;   // the port field as a number
    };

    CMacOperation(CSqlDatabase& db, TabPrompter& prompter) : db_(db), prompter_(prompter) {}

    // The identity server; while it is enabled the order number is shown and required.
    void SetServer(const identity::ServerSettings& server) { server_ = server; }
    const identity::ServerSettings& Server() const { return server_; }

    // The checks before a write, in order: order number (62), MAC text (55, 37), multicast
    // (230), already recorded (90, Cancel stops). On kGo the record holds the address and the
    // module; kStopFocusMac asks the window to put the focus on MAC address 1.
    Check CheckBeforeWrite(const Fields& fields);

    // Message 1125: the query or write of `mode` on a login result; returns the row to add.
    Row OnLoginResult(Mode mode, int login_result, ZQNET_HANDLE connection, const Fields& fields);

    // The steps of a write, each on its own (OnLoginResult runs them in order).
    Known CheckMacAlreadyExist(ZQNET_HANDLE connection, const std::string& order);
    bool Query(ZQNET_HANDLE connection);
    int Write(ZQNET_HANDLE connection, const Fields& fields, bool report_afterwards);
    int ReportMacToServer(ZQNET_HANDLE connection, const Fields& fields);

    // Reads the unit's record and writes it back with both addresses zero; true when both steps
    // succeeded.
    static bool ClearDeviceMac(ZQNET_HANDLE connection);

    // The clearing of the last failed write or refused report (message 1129).
    UnitClearing& Clearing() { return clearing_; }
    const UnitClearing& Clearing() const { return clearing_; }

    const ZQNetMacRecord& Record() const { return record_; }
    const std::string& LastAcceptedId() const { return last_ok_uuid_; }

  private:
    void BeginClearing(ZQNET_HANDLE connection, const Fields& fields);

    CSqlDatabase& db_;
    TabPrompter& prompter_;
    identity::ServerSettings server_;
    ZQNetMacRecord record_{};
    std::string last_ok_uuid_;
    UnitClearing clearing_;
};

// The unit's MAC record (code 400, temporary query), zero-filled with its size word set first.
bool QueryMacRecord(ZQNET_HANDLE connection, ZQNetMacRecord& record);
// Writes a MAC record (code 401, MAC write form); sets its size word.
bool WriteMacRecord(ZQNET_HANDLE connection, ZQNetMacRecord& record);

}  // namespace tabs
