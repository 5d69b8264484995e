#include "tabs/serial_operation.h"

#include "records/activity_log.h"
#include "records/record_store.h"
#include "tabs/mac_operation.h"
#include "tabs/mac_rules.h"

namespace tabs {

CSerialOperation::Check CSerialOperation::CheckBeforeWrite(const Fields& fields) {
    if (!fields.serial.empty() && fields.order_shown) {
        if (fields.order.empty()) {
            prompter_.Box(242, kErrorBox);
            return Check::kStop;
        }
        if (records::SerialNumberKnown(db_, fields.serial, fields.order)) {
            prompter_.Box(243, kErrorBox);
            return Check::kStop;
        }
    }
    if (fields.serial.empty()) {
        prompter_.Box(133, kErrorBox);
        return Check::kStopEmpty;
    }
    return Check::kGo;
}

CSerialOperation::Row CSerialOperation::OnLoginResult(Mode mode, int login_result,
                                                      ZQNET_HANDLE connection,
                                                      const Fields& fields) {
    if (mode == Mode::kCheck)
        return ReadBack(login_result, connection, fields);
    check_pending_ = false;
    if (login_result != 40)
        return {RowKind::kLoginFailure, login_result};
    SuccessFlag() = false;
    if (mode == Mode::kQuery)
        return {RowKind::kResult, QueryMacRecord(connection, record_) ? 46 : 47};
    if (mode == Mode::kWrite)
        return {RowKind::kResult, Write(connection, fields)};
    return {};
}

int CSerialOperation::Write(ZQNET_HANDLE connection, const Fields& fields) {
    ZQNetMacRecord unit{};
    if (!QueryMacRecord(connection, unit)) {
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    FillTextField(fields.serial, unit.serial, sizeof unit.serial);
    const bool written = WriteMacRecord(connection, unit);
    record_ = unit;
    if (!written) {
        records::WriteLog("Set serail number failed\n");
        check_pending_ = true;  // the unit may have taken it all the same
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    SuccessFlag() = true;
    prompter_.StartTimer(kClosingTimer, 500);
    prompter_.Box(48, kSuccessBox);
    if (fields.order_shown)
        records::AddSerialNumber(db_, fields.serial, fields.order);
    return 48;
}

}  // namespace tabs

namespace tabs {

CSerialOperation::Row CSerialOperation::ReadBack(int login_result, ZQNET_HANDLE connection,
                                                 const Fields& fields) {
    check_pending_ = false;
    ZQNetMacRecord unit{};
    if (login_result != 40 || !QueryMacRecord(connection, unit)) {
        records::WriteLog("Check serial number failed, the unit may keep serial:%s, ip:%s\n",
                          fields.serial.c_str(), fields.ip.c_str());
        FillTextField(fields.serial, record_.serial, sizeof record_.serial);
        return {RowKind::kResult, kUnclearedText};
    }
    record_ = unit;
    ZQNetMacRecord sent{};
    FillTextField(fields.serial, sent.serial, sizeof sent.serial);
    if (FieldText(unit.serial, sizeof unit.serial) != FieldText(sent.serial, sizeof sent.serial))
        return {};  // the write did not reach the unit: its failure row stands
    records::WriteLog("Check serial number: the unit took serial:%s, ip:%s\n",
                      fields.serial.c_str(), fields.ip.c_str());
    if (fields.order_shown)
        records::AddSerialNumber(db_, fields.serial, fields.order);
    return {RowKind::kResult, kTakenLateText};
}

}  // namespace tabs
