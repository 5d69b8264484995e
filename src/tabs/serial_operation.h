// The serial number tab's operation, without a window: the per-order duplicate check before a Set,
// and on a login result the query, or the write that puts the serial number into the unit's own
// MAC parameter record (read just before) and changes nothing else of it.
//
// What a caller may rely on: a Set writes only bytes read from the unit in the same session plus
// the serial number (at most 32 bytes, never cutting a character); the `SerialNumberTable` row is
// added only after a successful write while the order number is in use, or when the unit is
// found to carry it after all. A write that failed may have been taken by the unit (its answer
// came after the call time-out, or was lost): CheckPending() then asks the window for a check,
// a read in a new session (mode kCheck), which records the serial number the unit took (text
// 318) or, when the unit cannot be read, names the serial number it may carry (text 317). User-interface thread
// only; the database and the prompter must outlive the object.
#pragma once

#include <string>

#include "device/ZQNet.h"
#include "records/sql_database.h"
#include "tabs/tab_prompter.h"

namespace tabs {

class CSerialOperation {
  public:
    static constexpr int kClosingTimer = 5;

    enum class Mode { kNone, kQuery, kWrite, kCheck };
    enum class Check { kGo, kStop, kStopEmpty };
    enum class RowKind { kNone, kLoginFailure, kResult };
    struct Row {
        RowKind kind = RowKind::kNone;
        int text_id = 0;
    };
    struct Fields {
        std::string order;
        bool order_shown = false;  // the identity server is in use
        std::string serial;
        std::string ip;
        int port = 0;
    };

    CSerialOperation(CSqlDatabase& db, TabPrompter& prompter) : db_(db), prompter_(prompter) {}

    // Order number (242) and the serial number already given in this order (243), then an empty
    // serial number (133; kStopEmpty asks the window to empty the field).
    Check CheckBeforeWrite(const Fields& fields);

    // Message 1125: the query or write of `mode`; returns the row to add.
    Row OnLoginResult(Mode mode, int login_result, ZQNET_HANDLE connection, const Fields& fields);

    // The tab's MAC parameter record: the last one read or written.
    const ZQNetMacRecord& Record() const { return record_; }
    // After a write: the unit may carry the serial number without a record of it.
    bool CheckPending() const { return check_pending_; }

  private:
    int Write(ZQNET_HANDLE connection, const Fields& fields);
    Row ReadBack(int login_result, ZQNET_HANDLE connection, const Fields& fields);

    CSqlDatabase& db_;
    TabPrompter& prompter_;
    ZQNetMacRecord record_{};
    bool check_pending_ = false;
};

}  // namespace tabs
