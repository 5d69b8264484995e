#include "tabs/key_operation.h"

#include <cstring>

#include "device/param_request.h"
#include "records/activity_log.h"
#include "records/record_store.h"

namespace tabs {

std::string CutKey(std::string_view scanned) {
    const size_t equals = scanned.rfind('=');
    return std::string(equals == std::string_view::npos ? scanned : scanned.substr(equals + 1));
}

std::string KeyText(ZQNetKeyRecord& record) {
    const auto first = static_cast<unsigned char>(record.key[0]);
    if (first < 0x20 || first > 0x7E)
        std::memset(record.key, 0, sizeof record.key);
    return FieldText(record.key, sizeof record.key);
}

bool QueryKeyRecord(ZQNET_HANDLE connection, ZQNetKeyRecord& record) {
    record = ZQNetKeyRecord{};
    record.size = sizeof record;
    return device::QueryParam(connection, ZQNET_PARAM_KEY, &record, sizeof record);
}

bool WriteKeyRecord(ZQNET_HANDLE connection, ZQNetKeyRecord& record) {
    record.size = sizeof record;
    return device::WriteParam(connection, ZQNET_PARAM_KEY, &record, sizeof record);
}

bool ClearDeviceKey(ZQNET_HANDLE connection) {
    ZQNetKeyRecord unit{};
    if (!QueryKeyRecord(connection, unit)) {
        records::WriteLog("Clear device p2p, first step:query p2p failed\n");
        return false;
    }
    records::WriteLog("Clear device p2p, first step:query p2p success, p2p:%s\n",
                      FieldText(unit.key, sizeof unit.key).c_str());
    std::memset(unit.key, 0, sizeof unit.key);
    if (!WriteKeyRecord(connection, unit)) {
        records::WriteLog("Clear device p2p, second step:set p2p failed\n");
        return false;
    }
    records::WriteLog("Clear device p2p, second step:set p2p success, p2p:%s\n",
                      FieldText(unit.key, sizeof unit.key).c_str());
    return true;
}

CKeyOperation::Check CKeyOperation::CheckBeforeWrite(Fields& fields) {
    if (server_.enabled && fields.order.empty()) {
        prompter_.Box(62, kErrorBox);
        return Check::kStop;
    }
    if (fields.key.empty()) {
        prompter_.Box(61, kErrorBox);
        return Check::kStop;
    }
    const std::string key = CutKey(fields.key);
    if (key.size() != kKeyLength) {
        prompter_.Box(63, kErrorBox);
        return Check::kStop;
    }
    fields.key = key;
    if (db_.RecordExists("P2PKey", "keyId", key) && !prompter_.Box(91, kQuestionBox))
        return Check::kStop;
    return Check::kGo;
}

CKeyOperation::Row CKeyOperation::OnLoginResult(Mode mode, int login_result,
                                                ZQNET_HANDLE connection, const Fields& fields) {
    Row row;
    const char* ip = fields.ip.c_str();
    if (login_result != 40) {
        records::WriteLog("login failed, ip:%s\n", ip);
        row = {RowKind::kLoginFailure, login_result};
    } else {
        records::WriteLog("login success, ip:%s\n", ip);
        if (mode == Mode::kQuery) {
            SuccessFlag() = false;
            row = {RowKind::kResult, Query(connection) ? 46 : 47};
        } else if (mode == Mode::kWrite) {
            ZQNetKeyRecord unit{};
            if (server_.enabled && QueryKeyRecord(connection, unit) && !KeyText(unit).empty()) {
                prompter_.Box(218, kErrorBox);
            } else {
                row = {RowKind::kResult, Write(connection, fields)};
            }
        }
    }
    records::WriteLog("logout, ip:%s\n", ip);
    return row;
}

bool CKeyOperation::Query(ZQNET_HANDLE connection) {
    const bool read = QueryKeyRecord(connection, record_);
    const std::string key = KeyText(record_);
    if (!read) {
        records::WriteLog("Query p2p failed\n");
        return false;
    }
    records::WriteLog("Query p2p success, p2p:%s\n", key.c_str());
    return true;
}

void CKeyOperation::ClearAndRetry(ZQNET_HANDLE connection, const Fields& fields) {
    clearing_.Begin(connection, ClearDeviceKey, {fields.ip, fields.port, fields.key});
    clearing_.Attempt();
    prompter_.StartTimer(kClearingTimer, ClearingTicks::kIntervalMs);
}

int CKeyOperation::Write(ZQNET_HANDLE connection, const Fields& fields) {
    SuccessFlag() = false;
    ZQNetKeyRecord record{};
    CopyTextField(fields.key, record.key, sizeof record.key);
    if (!WriteKeyRecord(connection, record)) {
        records::WriteLog("Set p2p failed\n");
        ClearAndRetry(connection, fields);
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    records::WriteLog("Set p2p success, p2p:%s\n",
                      FieldText(record.key, sizeof record.key).c_str());
    if (!Query(connection)) {
        ClearAndRetry(connection, fields);
        records::WriteLog("Set p2p success and then query failed\n");
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    if (RecordKey() != fields.key) {
        ClearAndRetry(connection, fields);
        records::WriteLog("CompareSetP2pWithQueryP2p failed\n");
        prompter_.Box(49, kErrorBox);
        return 49;
    }
    const int reported = ReportKeyToServer(connection, fields);
    if (reported != 48) {
        prompter_.Box(reported, kErrorBox);
        return 49;
    }
    SuccessFlag() = true;
    prompter_.StartTimer(kClosingTimer, 500);
    prompter_.Box(48, kSuccessBox);
    // A failing insert (a second row within the same second) is not the write's failure.
    records::InsertDeviceRow(db_, "P2PKey", fields.ip, fields.port, {fields.key});
    return 48;
}

int CKeyOperation::ReportKeyToServer(ZQNET_HANDLE connection, const Fields& fields) {
    if (!server_.enabled)
        return 48;
    const std::string result =
        identity::ReportInstall(db_, server_, last_ok_uuid_, identity::kTypeP2pId, fields.order,
                                fields.key, std::nullopt, server_.timeout_ms);
    if (result.empty()) {
        records::WriteLog("Write p2p to server success, p2p:%s\n", fields.key.c_str());
        return 48;
    }
    records::WriteLog("Write p2p to server failed, p2p:%s, result:%s\n", fields.key.c_str(),
                      result.c_str());
    ClearAndRetry(connection, fields);
    return KeyReportTextId(result);
}

std::string CKeyOperation::RecordKey() const {
    return FieldText(record_.key, sizeof record_.key);
}

}  // namespace tabs
