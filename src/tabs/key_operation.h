// The key tab's rules and its operation, without a window.
//
// Rules: a scanned text is cut after its last "="; a key has exactly 20 characters (bytes of the
// workstation's code page); a key record's text is its 48-byte field up to the first zero, and a
// field whose first byte is not printable is cleared (a unit without a key shows "").
//
// CKeyOperation holds the tab's key record and runs the checks before a Set, the query or the
// write (write, read back, compare, report) on a login result, and the two-step clear of the
// unit's key. What a caller may rely on:
// - A unit never keeps a key that was written but not read back equal and (while the identity
//   server is enabled) accepted by the server: every failure behind a successful write clears the
//   key at once and starts the clearing timer (timer 2), whose ticks the window turns into
//   message 1128 and attempts of Clearing(). The clearing keeps the failed operation's own
//   connection: its attempts never reach another unit or a later operation
//   (tabs/unit_clearing.h).
// - Every activity-log line goes through records::WriteLog.
// User-interface thread only; the database and the prompter must outlive the object.
#pragma once

#include <string>
#include <string_view>

#include "device/ZQNet.h"
#include "identity/report.h"
#include "records/sql_database.h"
#include "tabs/mac_rules.h"
#include "tabs/tab_prompter.h"
#include "tabs/unit_clearing.h"

namespace tabs {

inline constexpr size_t kKeyLength = 20;

// The text after the last "=" (all of it when there is none; "" when "=" ends it).
std::string CutKey(std::string_view scanned);
// The key text of a record, after the printable-character rule (which may clear the field).
std::string KeyText(ZQNetKeyRecord& record);
// The key tab's report texts: 167 "content_not_exist", 168 "installed", else as ReportTextId.
inline int KeyReportTextId(std::string_view result) {
    return ReportTextId(result, 167, 168);
}

// The unit's key record (code 553, query form), zero-filled with its size word set first.
bool QueryKeyRecord(ZQNET_HANDLE connection, ZQNetKeyRecord& record);
// Writes a key record (write form 216/553); sets its size word.
bool WriteKeyRecord(ZQNET_HANDLE connection, ZQNetKeyRecord& record);
// Takes the key off the unit in two steps (read, then write back with the key field zero),
// logging each step; without a connection only the first-step failure is logged. True when both
// steps succeeded.
bool ClearDeviceKey(ZQNET_HANDLE connection);

class CKeyOperation {
  public:
    static constexpr int kClosingTimer = 1;
    static constexpr int kClearingTimer = 2;

    enum class Mode { kNone, kQuery, kWrite };
    enum class Check { kGo, kStop };
    enum class RowKind { kNone, kLoginFailure, kResult };
    struct Row {
        RowKind kind = RowKind::kNone;
        int text_id = 0;
    };
    struct Fields {
        std::string order;
        std::string key;  // the key field; CheckBeforeWrite replaces it by the cut key
        std::string ip;
        long long port = 0;
    };

    CKeyOperation(CSqlDatabase& db, TabPrompter& prompter) : db_(db), prompter_(prompter) {}

    void SetServer(const identity::ServerSettings& server) { server_ = server; }

    // Order number (62), empty key (61), the cut, 20 characters (63), already recorded (91,
    // Cancel stops). On kGo, and already on a passed length check, fields.key is the cut key.
    Check CheckBeforeWrite(Fields& fields);

    // Message 1125: the query or write of `mode`; returns the row to add.
    Row OnLoginResult(Mode mode, int login_result, ZQNET_HANDLE connection, const Fields& fields);

    bool Query(ZQNET_HANDLE connection);
    int Write(ZQNET_HANDLE connection, const Fields& fields);
    int ReportKeyToServer(ZQNET_HANDLE connection, const Fields& fields);

    // The clearing of the last failure behind a write (message 1128).
    UnitClearing& Clearing() { return clearing_; }
    const UnitClearing& Clearing() const { return clearing_; }
    // The key text of the tab's record (the last read or read-back).
    std::string RecordKey() const;

  private:
    void ClearAndRetry(ZQNET_HANDLE connection, const Fields& fields);

    CSqlDatabase& db_;
    TabPrompter& prompter_;
    identity::ServerSettings server_;
    ZQNetKeyRecord record_{};
    std::string last_ok_uuid_;
    UnitClearing clearing_;
};

}  // namespace tabs
