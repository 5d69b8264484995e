#include "params/sys_param_dst.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/clock.h"

namespace {

using Record = ZQNetSysParamRecord;

struct ByteField {
    const char* name;
    uint8_t Record::*field;
};

// The one-byte members of the document's top level, and of its DSTSet and NtpSet objects.
constexpr ByteField kTopBytes[] = {
    {"TimeMode", &Record::timeMode},           {"DateMode", &Record::dateMode},
    {"AutoLogout", &Record::autoLogout},       {"Language", &Record::language},
    {"VideoFormat", &Record::videoFormat},     {"ShowWizard", &Record::showWizard},
    {"vgaresolution", &Record::vgaResolution},
};
constexpr ByteField kDstBytes[] = {
    {"Month", &Record::month},
    {"Day", &Record::day},
    {"Hour", &Record::hour},
    {"Minute", &Record::minute},
    {"Second", &Record::second},
    {"TimeMode", &Record::dstTimeMode},
    {"DateMode", &Record::dstDateMode},
    {"Dst", &Record::dst},
    {"Offset", &Record::offset},
    {"DstMode", &Record::dstMode},
    {"StartMonth", &Record::startMonth},
    {"StartWeek", &Record::startWeek},
    {"StartWeekDay", &Record::startWeekDay},
    {"EndMonth", &Record::endMonth},
    {"EndWeek", &Record::endWeek},
    {"EndWeekDay", &Record::endWeekDay},
    {"StartSecond", &Record::startSecond},
    {"EndSecond", &Record::endSecond},
};
constexpr ByteField kNtpBytes[] = {
    {"UseNtp", &Record::useNtp},
    {"TimeZone", &Record::timeZone},
};

struct TripleField {
    const char* name;
    uint8_t (Record::*field)[3];
    bool year_rule;  // an element above 255 is stored less 2000
};
constexpr TripleField kTriples[] = {
    {"StartDate", &Record::startDate, true},
    {"StartHour", &Record::startHour, false},
    {"EndDate", &Record::endDate, true},
    {"EndHour", &Record::endHour, false},
};

std::string FieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// JSON as it is written: no comments, no single quotes, no trailing commas, nothing after the
// value (white space aside). Duplicate members are JSON; the last one counts.
bool ParseJson(const std::string& text, Json::Value& value) {
    // The reader skips comments whatever its settings say: JSON has no '/' outside a string.
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (in_string) {
            if (text[i] == '\\')
                ++i;
            else if (text[i] == '"')
                in_string = false;
        } else if (text[i] == '"') {
            in_string = true;
        } else if (text[i] == '/') {
            return false;
        }
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowTrailingCommas"] = false;
    builder["rejectDupKeys"] = false;
    std::string errors;
    std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
    return parser->parse(text.data(), text.data() + text.size(), &value, &errors);
}

// Reads the members of a document into a record. Every getter answers false for a member of
// the wrong kind; a missing (or null) member counts as 0.
class Reader {
  public:
    bool ok = true;

    // An integer member (any width), or 0 when missing.
    long long Integer(const Json::Value& object, const char* name) {
        return Integer(object.isObject() ? object[name] : Json::Value());
    }
    long long Integer(const Json::Value& value) {
        if (value.isNull())
            return 0;
        if (!value.isIntegral()) {
            ok = false;
            return 0;
        }
        // Above the signed range: take the low bits of the unsigned value.
        return value.isUInt64() ? static_cast<long long>(value.asUInt64())
                                : static_cast<long long>(value.asInt64());
    }
    // An object member, or an empty object when missing.
    Json::Value Object(const Json::Value& parent, const char* name) {
        const Json::Value& value = parent[name];
        if (value.isNull())
            return Json::Value(Json::objectValue);
        if (!value.isObject())
            ok = false;
        return value.isObject() ? value : Json::Value(Json::objectValue);
    }
    // A text member, or "" when missing.
    std::string Text(const Json::Value& object, const char* name) {
        const Json::Value& value = object[name];
        if (value.isNull())
            return {};
        if (!value.isString()) {
            ok = false;
            return {};
        }
        return value.asString();
    }
    // The three elements of an array member (missing ones 0).
    void Triple(const Json::Value& object, const char* name, long long out[3]) {
        const Json::Value& value = object[name];
        out[0] = out[1] = out[2] = 0;
        if (value.isNull())
            return;
        if (!value.isArray()) {
            ok = false;
            return;
        }
        for (Json::ArrayIndex i = 0; i < 3 && i < value.size(); ++i)
            out[i] = Integer(value[i]);
    }
};

}  // namespace

Json::Value SysParamDst::Document(const ZQNetSysParamRecord& r) {
    Json::Value doc(Json::objectValue);
    for (const ByteField& f : kTopBytes)
        doc[f.name] = r.*f.field;
    doc["hybirdEnable"] = r.hybirdEnable;
    doc["LanguageMask"] = Json::UInt(r.languageMask);
    doc["ExtendLanguageMask"] = Json::UInt(r.extendLanguageMask);
    doc["NtpServAddr"] = FieldText(r.ntpServer, sizeof r.ntpServer);
    doc["TimeZone_EX"] = r.timeZoneEx;

    Json::Value dst(Json::objectValue);
    dst["Year"] = r.year;
    for (const ByteField& f : kDstBytes)
        dst[f.name] = r.*f.field;
    for (const TripleField& f : kTriples) {
        Json::Value triple(Json::arrayValue);
        for (uint8_t b : r.*f.field)
            triple.append(b);
        dst[f.name] = triple;
    }
    doc["DSTSet"] = dst;

    Json::Value ntp(Json::objectValue);
    ntp["NtpIPAddr"] = r.ntpIpAddr[0];
    for (const ByteField& f : kNtpBytes)
        ntp[f.name] = r.*f.field;
    doc["NtpSet"] = ntp;
    return doc;
}

std::string SysParamDst::Text(const Json::Value& document) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, document) + '\n';
}

std::string SysParamDst::Query(int) {
    if (!params::QuerySystemRecord(Session(), record_))
        return "err";
    document_ = Document(record_);
    return Text(document_);
}

int SysParamDst::Write(const std::string& json) {
    if (json == "null")
        return 0;
    Json::Value doc;
    if (!ParseJson(json, doc) || !doc.isObject())
        return 0;

    // Everything is read into a copy first: a refused document leaves the record as it was.
    Reader in;
    ZQNetSysParamRecord r = record_;
    for (const ByteField& f : kTopBytes)
        r.*f.field = static_cast<uint8_t>(in.Integer(doc, f.name));
    r.languageMask = static_cast<uint32_t>(in.Integer(doc, "LanguageMask"));
    r.timeZoneEx = static_cast<uint16_t>(in.Integer(doc, "TimeZone_EX"));
    const std::string ntp_server = in.Text(doc, "NtpServAddr");
    std::memset(r.ntpServer, 0, sizeof r.ntpServer);
    std::memcpy(r.ntpServer, ntp_server.data(), std::min(ntp_server.size(), sizeof r.ntpServer));

    const Json::Value dst = in.Object(doc, "DSTSet");
    r.year = static_cast<uint16_t>(in.Integer(dst, "Year"));
    for (const ByteField& f : kDstBytes)
        r.*f.field = static_cast<uint8_t>(in.Integer(dst, f.name));
    for (const TripleField& f : kTriples) {
        long long values[3];
        in.Triple(dst, f.name, values);
        for (int i = 0; i < 3; ++i) {
            const long long v = f.year_rule && values[i] > 255 ? values[i] - 2000 : values[i];
            (r.*f.field)[i] = static_cast<uint8_t>(v);
        }
    }

    const Json::Value ntp = in.Object(doc, "NtpSet");
    r.ntpIpAddr[0] = static_cast<uint8_t>(in.Integer(ntp, "NtpIPAddr"));
    for (const ByteField& f : kNtpBytes)
        r.*f.field = static_cast<uint8_t>(in.Integer(ntp, f.name));
    if (!in.ok)
        return 0;

    r.size = sizeof r;  // also for a Write before any Query
    r.dstSize = 44;
    r.ntpSize = 20;
    r.ieChangeTime = 1;
    record_ = r;
    ntp_server_ = ntp_server;

    ZQNetShortParamRequest request{};
    request.code = ZQNET_PARAM_SYSTEM;
    request.buffer = &record_;
    const ZQNET_HANDLE session = Session();
    return session != 0 && ZQNetSetParam(session, &request) != 0 ? 1 : 0;
}

namespace params {

bool QuerySystemRecord(ZQNET_HANDLE session, ZQNetSysParamRecord& record) {
    record = ZQNetSysParamRecord{};
    record.size = sizeof record;
    ZQNetParamRequest request{};
    request.command = ZQNET_PARAM_SYSTEM;
    request.buffer = &record;
    request.size = sizeof record;
    return session != 0 && ZQNetQueryParamEx(session, &request) != 0;
}

bool SyncDeviceTime(const ZQNET_HANDLE* session, SysParamDst& param) {
    const platform::LocalTime now = platform::LocalNow();
    char year[16];
    std::snprintf(year, sizeof year, "%4d", now.year);
    const int short_year = std::atoi(year + 2);  // 2024 gives 24, 2005 gives 5

    ZQNetSysParamRecord unit{};
    if (session == nullptr || !QuerySystemRecord(*session, unit))
        return false;
    param.SetSession(session);
    const std::string text = param.Query(0);
    Json::Value parsed;
    if (text == "err" || !ParseJson(text, parsed))
        return false;

    Json::Value doc = SysParamDst::Document(unit);
    Json::Value& dst = doc["DSTSet"];
    dst["Year"] = short_year;
    dst["Month"] = now.month;
    dst["Day"] = now.day;
    dst["Hour"] = now.hour;
    dst["Minute"] = now.minute;
    dst["Second"] = now.second;
    return param.Write(SysParamDst::Text(doc)) == 1;
}

}  // namespace params
