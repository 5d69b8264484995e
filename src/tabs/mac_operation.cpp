#include "tabs/mac_operation.h"

#include <cstring>

#include "records/activity_log.h"
#include "records/record_store.h"
#include "tabs/mac_rules.h"

namespace tabs {
bool QueryMacRecord(ZQNET_HANDLE connection, ZQNetMacRecord& record) {
    record = ZQNetMacRecord{};
    record.size = sizeof record;
    ZQNetTempParamRequest request{};
    request.code = ZQNET_PARAM_MAC_QUERY;
    request.buffer = &record;
    request.size = sizeof record;
    return connection != 0 && ZQNetQueryTemporaryParam(connection, &request) != 0;
}

bool WriteMacRecord(ZQNET_HANDLE connection, ZQNetMacRecord& record) {
    record.size = sizeof record;
    ZQNetParamRequest request{};
    request.command = ZQNET_PARAM_MAC_SET;
    request.code = 0;
    request.buffer = &record;
    request.size = sizeof record;
    request.write = 1;
    return connection != 0 && ZQNetSetParamEx(connection, &request) != 0;
}

CMacOperation::Check CMacOperation::CheckBeforeWrite(const Fields& fields) {
    if (server_.enabled && fields.order.empty()) {
        prompter_.Box(62, kErrorBox);
        return Check::kStop;
    }
    if (fields.mac.empty()) {
        prompter_.SystemBox(37);
        return Check::kStopFocusMac;
    }
    const MacParse parsed = ParseMacText(fields.mac, record_.mac);
    if (parsed != MacParse::kOk) {
        if (parsed == MacParse::kBadText)
            prompter_.SystemBox(55);
        prompter_.SystemBox(37);
        return Check::kStopFocusMac;
    }
    if (IsMulticastMac(record_.mac)) {
        prompter_.SystemBox(230);
        return Check::kStopFocusMac;
    }
    if (db_.RecordExists("MacAddress", "MacAddr", fields.mac) && !prompter_.Box(90, kQuestionBox))
        return Check::kStop;
    CopyTextField(fields.module, record_.module, sizeof record_.module);
    CopyTextField(fields.module, record_.serial, sizeof record_.serial);
    return Check::kGo;
}

CMacOperation::Row CMacOperation::OnLoginResult(Mode mode, int login_result,
                                                ZQNET_HANDLE connection, const Fields& fields) {
    Row row;
    const char* ip = fields.ip.c_str();
    if (login_result != 40) {
        records::WriteLog("login failed, ip:%s\n", ip);
        row = {RowKind::kLoginFailure, login_result};
    } else {
        records::WriteLog("login success, ip:%s\n", ip);
        if (mode == Mode::kQuery) {
            row = {RowKind::kQuery, Query(connection) ? 46 : 47};
        } else if (mode == Mode::kWrite) {
            const Known known = CheckMacAlreadyExist(connection, fields.order);
            if (known == Known::kKnown) {
                prompter_.Box(219, kErrorBox);
            } else {
                row = {RowKind::kWrite, Write(connection, fields, known != Known::kReported)};
            }
        }
    }
    records::WriteLog("logout, ip:%s\n", ip);
    return row;
}

CMacOperation::Known CMacOperation::CheckMacAlreadyExist(ZQNET_HANDLE connection,
                                                         const std::string& order) {
    if (!server_.enabled)
        return Known::kUnreported;
    ZQNetMacRecord unit{};
    if (!QueryMacRecord(connection, unit))
        return Known::kUnreported;
    const std::string dash = MacDashText(unit.mac);
    const std::string colon = MacColonText(unit.mac);
    for (const std::string& text : {dash, colon}) {
        if (db_.RecordExists("MacAddress", "MacAddr", text)) {
            records::WriteLog("CheckMacAlreadyExist: mac already exist in db, mac:%s\n",
                              text.c_str());
            return Known::kKnown;
        }
    }
    if (!IsZeroMac(unit.wifiMac)) {
        const std::string wifi_dash = MacDashText(unit.wifiMac);
        const std::string wifi_colon = MacColonText(unit.wifiMac);
        if (db_.RecordExists("MacAddress", "MacAddr", wifi_dash)) {
            records::WriteLog("CheckMacAlreadyExist: wifi mac already exist in db, mac:%s\n",
                              wifi_dash.c_str());
            return Known::kKnown;
        }
        if (db_.RecordExists("MacAddress", "MacAddr", wifi_colon)) {
            records::WriteLog("CheckMacAlreadyExist: wif mac already exist in db, mac:%s\n",
                              wifi_colon.c_str());
            return Known::kKnown;
        }
    }
    const MacContent content = MakeMacContent(unit.mac, unit.wifiMac);
    const std::string result =
        identity::ReportInstall(db_, server_, last_ok_uuid_, identity::kTypeMac, order,
                                content.content, content.content2, server_.timeout_ms);
    records::WriteLog("CheckMacAlreadyExist: query mac exist in server, mac:%s, result:%s\n",
                      colon.c_str(), result.c_str());
    if (result.empty())
        return Known::kReported;
    return MacReportTextId(result) == 170 ? Known::kKnown : Known::kUnreported;
}

bool CMacOperation::Query(ZQNET_HANDLE connection) {
    if (!QueryMacRecord(connection, record_)) {
        records::WriteLog("Query mac address failed\n");
        return false;
    }
    records::WriteLog("Query mac address success, mac:%s, wifi mac:%s\n",
                      MacColonText(record_.mac).c_str(), MacColonText(record_.wifiMac).c_str());
    return true;
}

int CMacOperation::Write(ZQNET_HANDLE connection, const Fields& fields, bool report_afterwards) {
    SuccessFlag() = false;
    ZQNetMacRecord unit{};
    if (!QueryMacRecord(connection, unit)) {
        // Without the unit's own serial number the write would erase it: send nothing.
        records::WriteLog("Set mac address failed\n");
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    std::memcpy(record_.serial, unit.serial, sizeof record_.serial);
    CopyTextField(fields.sn_code, record_.snCode, sizeof record_.snCode);
    if (!WriteMacRecord(connection, record_)) {
        records::WriteLog("Set mac address failed\n");
        // The unit may have taken it all the same (an answer after the call time-out).
        BeginClearing(connection, fields);
        prompter_.StartTimer(kClearingTimer, ClearingTicks::kIntervalMs);
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    records::WriteLog("Set mac address success, mac:%s, wifi mac:%s, Check server:%d\n",
                      MacColonText(record_.mac).c_str(), MacColonText(record_.wifiMac).c_str(),
                      report_afterwards ? 1 : 0);
    if (report_afterwards) {
        const int reported = ReportMacToServer(connection, fields);
        if (reported != 48) {
            prompter_.StartTimer(kClearingTimer, ClearingTicks::kIntervalMs);
            prompter_.Box(reported, kErrorBox);
            return 49;
        }
    }
    SuccessFlag() = true;
    prompter_.StartTimer(kClosingTimer, kTimerMs);
    prompter_.Box(48, kSuccessBox);
    // A failing insert (a second row within the same second) is not the write's failure.
    records::InsertDeviceRow(db_, "MacAddress", fields.ip, fields.port, {fields.mac});
    return 48;
}

int CMacOperation::ReportMacToServer(ZQNET_HANDLE connection, const Fields& fields) {
    const std::string& order = fields.order;
    if (!server_.enabled)
        return 48;
    const MacContent content = MakeMacContent(record_.mac, record_.wifiMac);
    const std::string mac = MacColonText(record_.mac);
    const std::string result =
        identity::ReportInstall(db_, server_, last_ok_uuid_, identity::kTypeMac, order,
                                content.content, content.content2, server_.timeout_ms);
    if (result.empty()) {
        records::WriteLog("Write mac address to server success, mac:%s\n", mac.c_str());
        return 48;
    }
    records::WriteLog("Write mac address to server failed, mac:%s, result:%s\n", mac.c_str(),
                      result.c_str());
    BeginClearing(connection, fields);
    clearing_.Attempt();
    prompter_.StartTimer(kClearingTimer, ClearingTicks::kIntervalMs);
    return MacReportTextId(result);
}

void CMacOperation::BeginClearing(ZQNET_HANDLE connection, const Fields& fields) {
    clearing_.Begin(connection, ClearDeviceMac,
                    {fields.ip, fields.port, MacDashText(record_.mac)});
}

bool CMacOperation::ClearDeviceMac(ZQNET_HANDLE connection) {
    ZQNetMacRecord unit{};
    if (!QueryMacRecord(connection, unit)) {
        records::WriteLog("Clear device mac, first step:query mac failed\n");
        return false;
    }
    records::WriteLog("Clear device mac, first step:query mac success, mac:%s, wifi mac:%s\n",
                      MacColonText(unit.mac).c_str(), MacColonText(unit.wifiMac).c_str());
    const std::string mac = MacColonText(unit.mac);
    const std::string wifi = MacColonText(unit.wifiMac);
    std::memset(unit.mac, 0, sizeof unit.mac);
    std::memset(unit.wifiMac, 0, sizeof unit.wifiMac);
    if (WriteMacRecord(connection, unit)) {
        records::WriteLog("Clear device mac, second step:set mac success\n");
        return true;
    }
    records::WriteLog("Clear device mac, second step:set mac failed, mac:%s, wifi mac:%s\n",
                      mac.c_str(), wifi.c_str());
    return false;
}

}  // namespace tabs
