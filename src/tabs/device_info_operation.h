// CDeviceInfoOperation: what the device information tab does, without a window. The tab's window
// holds the items; this object holds the tab's copies of the unit's records and runs the checks
// before a Set, the Query and the Set on a login result, and the `DeviceInfo` row of a write. It
// asks a TabPrompter for every message box.
//
// What a caller may rely on:
// - Nothing reaches the unit unless the checks before the Set passed (device_info_rules.h), the
//   operator confirmed a serial number already recorded (question 135; Cancel ends the Set) and
//   the login succeeded.
// - A Set writes only what the operator checked: the extended device record is built from zeros
//   with the mask of the checked items; the board record goes only when key ID or board ID is
//   checked, and only after the extended record was accepted. A checked main board that does
//   not fit the unit's kind, or whose kind cannot be read, writes nothing.
// - Every outcome is shown as a box: the login failure's text, 46/47 for a Query, 48/49 (or 151)
//   for a Set. The boxes of this tab stay open until the operator closes them.
// - The `DeviceInfo` row is inserted whenever the extended record was written; a failed insert
//   is ignored.
// - A refused or unanswered extended record with a checked serial number may still have been
//   taken by the unit (its answer came after the call time-out): CheckPending() then asks the
//   window for a check, a read in a new session (ReadBack), which inserts the row of the serial
//   number the unit took (box 318) or, when the unit cannot be read, says it may carry the
//   serial number the field still shows (box 317).
// User-interface thread only. The database and the prompter must outlive the object.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "device/ZQNet.h"
#include "records/sql_database.h"
#include "tabs/device_info_rules.h"
#include "tabs/tab_prompter.h"

namespace tabs {

class CDeviceInfoOperation {
  public:
    static constexpr int kSerialRecorded = 135;  // question: the serial number is recorded

    // What the window does after the checks before a Set.
    enum class Check { kGo, kStop, kStopFocusMainBoard, kStopEmptyFunctionCode };
    // How an operation on a login result ended.
    enum class Outcome {
        kLoginFailed,
        kRead,
        kReadFailed,
        kWrongKind,
        kWritten,
        kWriteFailed,
        kTakenLate,   // the check found the serial number on the unit and recorded it
        kUnverified,  // the check could not read the unit
    };

    CDeviceInfoOperation(CSqlDatabase& db, TabPrompter& prompter) : db_(db), prompter_(prompter) {}

    // The checks before a Set opens a session (CheckItems, then the serial number against the
    // record store); shows the refusal's box.
    Check CheckBeforeSet(const DeviceInfoItems& items);

    // Message 1125 of a Query: the device-information record, for a kind-4 unit the focus record
    // (its result does not matter), the extended device record and then the board record. Calls
    // `show` once the records are read (also after a failed read, with whatever they hold), then
    // shows box 46 or 47. A failed login shows its text and reads nothing.
    Outcome Query(int login_result, ZQNET_HANDLE connection, const std::function<void()>& show);

    // Message 1125 of a Set with the items the checks passed: the kind check of a checked main
    // board (151), the extended record (49 when refused), the board record when key ID or board
    // ID is checked, box 48 or 49, and the `DeviceInfo` row (ip, port, and the texts of main
    // board, product model, device model, device name, key ID, board ID and serial number).
    Outcome Set(int login_result, ZQNET_HANDLE connection, const DeviceInfoItems& items,
                const std::string& ip, long long port);

    // After a Set: the unit may carry the serial number without a record of it.
    bool CheckPending() const { return pending_.has_value(); }
    // Message 1125 of that check: reads the extended record and compares its serial number.
    // kWriteFailed when the unit does not carry it.
    Outcome ReadBack(int login_result, ZQNET_HANDLE connection);

    // The tab's copies of the unit's records: as the last Query read them, or as the last Set
    // built them.
    const ZQNetExtDeviceRecord& ExtRecord() const { return ext_; }
    const ZQNetBoardRecord& BoardRecord() const { return board_; }
    const ZQNetFocusRecord& FocusRecord() const { return focus_; }
    // The items the records show (ItemsOfRecords).
    DeviceInfoItems Shown() const { return ItemsOfRecords(ext_, board_, focus_); }
    // 0 at start; each Query takes it from the board record (DeviceTypeIndex).
    std::optional<int> DeviceTypeIndexValue() const { return device_type_index_; }

  private:
    struct Pending {
        DeviceInfoItems items;
        std::string ip;
        long long port = 0;
    };
    void InsertRow(const DeviceInfoItems& items, const std::string& ip, long long port);

    CSqlDatabase& db_;
    TabPrompter& prompter_;
    ZQNetExtDeviceRecord ext_{};
    ZQNetBoardRecord board_{};
    ZQNetFocusRecord focus_{};
    std::optional<int> device_type_index_ = 0;
    std::optional<Pending> pending_;
};

}  // namespace tabs
