#include "tabs/device_info_operation.h"

#include "device/connect_device.h"
#include "device/param_request.h"
#include "records/activity_log.h"
#include "records/record_store.h"

namespace tabs {

CDeviceInfoOperation::Check CDeviceInfoOperation::CheckBeforeSet(const DeviceInfoItems& items) {
    const int refusal = CheckItems(items);
    if (refusal != 0) {
        prompter_.Box(refusal, kErrorBox);
        if (refusal == kBadMainBoard)
            return Check::kStopFocusMainBoard;
        if (refusal == kBadFunctionCode)
            return Check::kStopEmptyFunctionCode;
        return Check::kStop;
    }
    if (items.checked[kSerialNum] && db_.RecordExists("DeviceInfo", "SerialNum", items.serial) &&
        !prompter_.Box(kSerialRecorded, kQuestionBox)) {
        return Check::kStop;
    }
    return Check::kGo;
}

CDeviceInfoOperation::Outcome CDeviceInfoOperation::Query(int login_result, ZQNET_HANDLE connection,
                                                          const std::function<void()>& show) {
    if (login_result != kLoginOk) {
        prompter_.Box(login_result, kErrorBox);
        return Outcome::kLoginFailed;
    }
    ext_ = ZQNetExtDeviceRecord{};
    board_ = ZQNetBoardRecord{};
    focus_ = ZQNetFocusRecord{};
    ZQNetDeviceInfo info{};
    if (device::GetDeviceInfo(connection, info) && ZQNetDeviceKind(info) == 4)
        device::QueryParam(connection, ZQNET_PARAM_FOCUS, &focus_, sizeof focus_);
    ext_.size = sizeof ext_;
    bool read = device::QueryParam(connection, ZQNET_PARAM_EXT_DEVICE, &ext_, sizeof ext_);
    if (read) {
        board_.size = sizeof board_;
        read = device::QueryParam(connection, ZQNET_PARAM_BOARD, &board_, sizeof board_);
    }
    device_type_index_ = DeviceTypeIndex(board_);
    if (show)
        show();
    prompter_.Box(read ? 46 : 47, read ? kSuccessBox : kErrorBox);
    return read ? Outcome::kRead : Outcome::kReadFailed;
}

CDeviceInfoOperation::Outcome CDeviceInfoOperation::Set(int login_result, ZQNET_HANDLE connection,
                                                        const DeviceInfoItems& items,
                                                        const std::string& ip, long long port) {
    pending_.reset();
    if (login_result != kLoginOk) {
        prompter_.Box(login_result, kErrorBox);
        return Outcome::kLoginFailed;
    }
    ZQNetDeviceInfo info{};
    const bool kind_known = device::GetDeviceInfo(connection, info);
    if (items.checked[kMainBoardName]) {
        if (!kind_known) {
            // Without the unit's kind the prefix cannot be checked: write nothing.
            prompter_.Box(49, kErrorBox);
            return Outcome::kWriteFailed;
        }
        if (!MainBoardFitsKind(items.main_board, ZQNetDeviceKind(info))) {
            prompter_.Box(kBadMainBoard, kErrorBox);
            return Outcome::kWrongKind;
        }
    }
    ext_ = BuildExtRecord(items);
    if (!device::WriteParam(connection, ZQNET_PARAM_EXT_DEVICE, &ext_, sizeof ext_)) {
        if (items.checked[kSerialNum])
            pending_ = Pending{items, ip, port};  // the unit may have taken it all the same
        prompter_.Box(49, kErrorBox);
        return Outcome::kWriteFailed;
    }
    bool written = true;
    if (items.checked[kKeyID] || items.checked[kBoardID]) {
        board_ = BuildBoardRecord(items, device_type_index_);
        written = device::WriteParam(connection, ZQNET_PARAM_BOARD, &board_, sizeof board_);
    }
    prompter_.Box(written ? 48 : 49, written ? kSuccessBox : kErrorBox);
    InsertRow(items, ip, port);
    return written ? Outcome::kWritten : Outcome::kWriteFailed;
}

void CDeviceInfoOperation::InsertRow(const DeviceInfoItems& items, const std::string& ip,
                                     long long port) {
    records::InsertDeviceRow(db_, "DeviceInfo", ip, port,
                             {items.main_board, items.product_model, items.device_model,
                              items.device_name, items.key_id, items.board_id, items.serial});
}

CDeviceInfoOperation::Outcome CDeviceInfoOperation::ReadBack(int login_result,
                                                             ZQNET_HANDLE connection) {
    if (!pending_)
        return Outcome::kWriteFailed;
    const Pending pending = *pending_;
    pending_.reset();
    ZQNetExtDeviceRecord unit{};
    unit.size = sizeof unit;
    if (login_result != kLoginOk ||
        !device::QueryParam(connection, ZQNET_PARAM_EXT_DEVICE, &unit, sizeof unit)) {
        records::WriteLog("Check device info failed, the unit may keep serial:%s, ip:%s\n",
                          pending.items.serial.c_str(), pending.ip.c_str());
        prompter_.Box(kUnclearedText, kErrorBox);
        return Outcome::kUnverified;
    }
    if (ItemsOfRecords(unit, ZQNetBoardRecord{}, ZQNetFocusRecord{}).serial !=
        ItemsOfRecords(BuildExtRecord(pending.items), ZQNetBoardRecord{}, ZQNetFocusRecord{})
            .serial) {
        return Outcome::kWriteFailed;  // it did not reach the unit: box 49 stands
    }
    records::WriteLog("Check device info: the unit took serial:%s, ip:%s\n",
                      pending.items.serial.c_str(), pending.ip.c_str());
    InsertRow(pending.items, pending.ip, pending.port);
    prompter_.Box(kTakenLateText, kSuccessBox);
    return Outcome::kTakenLate;
}

}  // namespace tabs
