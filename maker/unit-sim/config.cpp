#include "config.h"

#include <json/reader.h>
#include <json/writer.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

namespace unitsim {
namespace {

std::string Hex(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

bool FromHex(const std::string& text, void* data, size_t size) {
    if (text.size() != size * 2)
        return false;
    auto* p = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[2 * i + static_cast<size_t>(k)];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        p[i] = static_cast<uint8_t>(v);
    }
    return true;
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text, bool terminated = true) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(terminated ? N - 1 : N, text.size()));
}

template <size_t N>
std::string Text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Reads typed members, remembering the first error.
class Fields {
  public:
    Fields(const Json::Value& object, std::string& error) : object_(object), error_(error) {}

    bool ok() const { return ok_; }

    bool Has(const char* key) const { return object_.isMember(key); }

    void Str(const char* key, std::string& out) {
        if (!Has(key))
            return;
        if (!object_[key].isString())
            return Bad(key, "a text");
        out = object_[key].asString();
    }

    template <typename T>
    void Int(const char* key, T& out, int64_t lo, int64_t hi) {
        if (!Has(key))
            return;
        const Json::Value& v = object_[key];
        if (!v.isIntegral() || (v.isInt64() ? v.asInt64() < lo || v.asInt64() > hi
                                            : v.asUInt64() > static_cast<uint64_t>(hi))) {
            return Bad(key, "an integer in range");
        }
        out = static_cast<T>(v.isInt64() ? v.asInt64() : static_cast<int64_t>(v.asUInt64()));
    }

    void U64(const char* key, uint64_t& out) {
        if (!Has(key))
            return;
        if (!object_[key].isUInt64())
            return Bad(key, "an unsigned integer");
        out = object_[key].asUInt64();
    }

    void Bool(const char* key, bool& out) {
        if (!Has(key))
            return;
        if (!object_[key].isBool())
            return Bad(key, "true or false");
        out = object_[key].asBool();
    }

    void Mac(const char* key, uint8_t out[6]) {
        std::string text;
        Str(key, text);
        if (Has(key) && ok_ && !ParseMac(text, out))
            Bad(key, "a MAC address");
    }

    void Bad(const char* key, const char* what) {
        if (ok_)
            error_ = std::string("\"") + key + "\" must be " + what;
        ok_ = false;
    }

  private:
    const Json::Value& object_;
    std::string& error_;
    bool ok_ = true;
};

bool IsLoopback(const std::string& address, uint32_t& host) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1)
        return false;
    host = ntohl(a.s_addr);
    return (host >> 24) == 127;
}

std::string AddressOf(uint32_t host) {
    in_addr a{};
    a.s_addr = htonl(host);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

bool ParseClock(const std::string& text, ZQNetSysParamRecord& r) {
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 ||
        y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || s < 0 || s > 59) {
        return false;
    }
    r.year = static_cast<uint16_t>(y);
    r.month = static_cast<uint8_t>(mo);
    r.day = static_cast<uint8_t>(d);
    r.hour = static_cast<uint8_t>(h);
    r.minute = static_cast<uint8_t>(mi);
    r.second = static_cast<uint8_t>(s);
    return true;
}

}  // namespace

bool ParseFault(const Json::Value& object, Fault& fault, std::string& error) {
    if (!object.isObject()) {
        error = "a fault must be an object";
        return false;
    }
    Fault f;
    Fields in(object, error);
    in.Bool("fail_query", f.failQuery);
    in.Bool("fail_write", f.failWrite);
    in.Bool("read_back_differs", f.readBackDiffers);
    in.Bool("drop", f.drop);
    in.Int("delay_ms", f.delayMs, 0, 600000);
    in.Int("skip", f.skip, 0, INT32_MAX);
    in.Int("count", f.count, 0, INT32_MAX);
    in.Bool("no_stream", f.noStream);
    in.Bool("garbage", f.garbage);
    in.Bool("truncate", f.truncate);
    in.Bool("huge_picture", f.hugePicture);
    in.Int("stop_after", f.stopAfter, 0, INT32_MAX);
    in.Int("drop_after", f.dropAfter, 0, INT32_MAX);
    if (!in.ok())
        return false;
    fault = f;
    return true;
}

bool ParseLensCalibration(const Json::Value& object, LensCalibration& lens, std::string& error) {
    LensCalibration l = lens;
    Fields in(object, error);
    in.Bool("lens_calibration", l.supported);
    int64_t ms = l.duration.count();
    in.Int("calibration_ms", ms, 0, 3600000);
    l.duration = std::chrono::milliseconds(ms);
    in.Int("calibration_result", l.result, 0, 255);
    in.Int("alarm_length", l.alarmLength, 0, static_cast<int64_t>(zqproto::kMaxPayload - 4));
    if (!in.ok())
        return false;
    lens = l;
    return true;
}

bool ParseUnit(const Json::Value& object, UnitConfig& unit, std::string& error) {
    if (!object.isObject()) {
        error = "a unit must be a JSON object";
        return false;
    }
    UnitConfig u;
    Fields in(object, error);
    in.Str("address", u.address);
    in.Int("media_port", u.mediaPort, 1, 65535);
    in.Int("search_port", u.searchPort, 1, 65535);
    in.Int("web_port", u.webPort, 0, 65535);
    in.Int("telnet_port", u.telnetPort, 1, 65535);
    in.Str("type_name", u.typeName);
    in.Str("firmware", u.firmware);
    in.Int("device_kind", u.deviceKind, 0, 15);
    in.Int("channels", u.channels, INT32_MIN, INT32_MAX);
    in.Int("channels_byte", u.channelsByte, -128, 127);
    in.Int("net_type", u.netType, INT32_MIN, INT32_MAX);
    in.Str("netmask", u.netmask);
    in.Str("gateway", u.gateway);
    in.Str("dns1", u.dns1);
    in.Str("dns2", u.dns2);
    in.Bool("lens_calibration", u.lensCalibration);
    in.Str("user", u.user);
    in.Str("password", u.password);
    in.Int("max_sessions", u.maxSessions, 1, 1024);
    in.Int("lockout_attempts", u.lockoutAttempts, 1, 1000);
    int64_t ms = u.lockout.count();
    in.Int("lockout_ms", ms, 0, 86400000);
    u.lockout = std::chrono::milliseconds(ms);
    ms = u.calibration.count();
    in.Int("calibration_ms", ms, 0, 3600000);
    u.calibration = std::chrono::milliseconds(ms);
    in.Int("calibration_result", u.calibrationResult, 0, 255);
    in.Int("alarm_length", u.alarmLength, 0, static_cast<int64_t>(zqproto::kMaxPayload - 4));
    in.Int("frame_rate", u.frameRate, 1, 60);
    in.Bool("silent_login", u.silentLogin);
    if (!in.ok())
        return false;
    if (u.user.size() > zqproto::kMaxUserName)
        return in.Bad("user", "at most 63 bytes"), false;

    // Whole records as hex first, then the named fields over them.
    if (in.Has("records")) {
        const Json::Value& records = object["records"];
        if (!records.isObject())
            return in.Bad("records", "an object of hex texts"), false;
        for (const std::string& name : records.getMemberNames()) {
            struct Target {
                const char* code;
                void* record;
                size_t size;
            } targets[] = {
                {"400", &u.mac, sizeof(u.mac)},      {"553", &u.key, sizeof(u.key)},
                {"700", &u.ext, sizeof(u.ext)},      {"582", &u.board, sizeof(u.board)},
                {"803", &u.focus, sizeof(u.focus)},  {"1015", &u.fisheye, sizeof(u.fisheye)},
                {"524", &u.system, sizeof(u.system)}};
            bool found = false;
            for (const Target& t : targets) {
                if (name != t.code)
                    continue;
                found = true;
                if (!records[name].isString() ||
                    !FromHex(records[name].asString(), t.record, t.size)) {
                    error = "\"records\"." + name + " must be " + std::to_string(t.size * 2) +
                            " hex digits";
                    return false;
                }
            }
            if (!found) {
                error = "\"records\" has no record " + name;
                return false;
            }
        }
    }

    std::string text;
    in.Mac("mac", u.mac.mac);
    in.Mac("wifi_mac", u.mac.wifiMac);
    if (in.Has("module"))
        in.Str("module", text), CopyText(u.mac.module, text);
    if (in.Has("serial"))
        in.Str("serial", text), CopyText(u.mac.serial, text, false);
    if (in.Has("sn_code"))
        in.Str("sn_code", text), CopyText(u.mac.snCode, text);
    if (in.Has("key"))
        in.Str("key", text), CopyText(u.key.key, text, false);
    if (in.Has("main_board"))
        in.Str("main_board", text), CopyText(u.ext.mainBoard, text);
    if (in.Has("product_model"))
        in.Str("product_model", text), CopyText(u.ext.productModel, text);
    if (in.Has("device_model"))
        in.Str("device_model", text), CopyText(u.ext.deviceModel, text);
    if (in.Has("device_name"))
        in.Str("device_name", text), CopyText(u.ext.deviceName, text);
    if (in.Has("custom_code"))
        in.Str("custom_code", text), CopyText(u.ext.customCode, text);
    if (in.Has("ext_serial"))
        in.Str("ext_serial", text), CopyText(u.ext.serial, text, false);
    uint64_t function = 0;
    if (in.Has("function_code")) {
        in.U64("function_code", function);
        for (int i = 0; i < 8; ++i)
            u.ext.functionCode[i] = static_cast<uint8_t>(function >> (8 * i));
    }
    in.Int("board_key_id", u.board.keyId, 0, UINT32_MAX);
    if (in.Has("board_id"))
        in.Str("board_id", text), CopyText(u.board.boardId, text, false);
    in.Int("device_type", u.board.deviceType, 0, 255);
    if (in.Has("autofocus_version"))
        in.Str("autofocus_version", text), CopyText(u.focus.autofocusVersion, text);
    if (in.Has("fisheye")) {
        const Json::Value& f = object["fisheye"];
        if (!f.isArray() || f.size() != 3 || !f[0].isInt() || !f[1].isInt() || !f[2].isInt()) {
            return in.Bad("fisheye", "[x, y, radius]"), false;
        }
        u.fisheye.centerX = f[0].asInt();
        u.fisheye.centerY = f[1].asInt();
        u.fisheye.radius = f[2].asInt();
    }
    if (in.Has("picture")) {
        const Json::Value& p = object["picture"];
        if (!p.isArray() || p.size() != 2 || !p[0].isInt() || !p[1].isInt() || p[0].asInt() < 16 ||
            p[0].asInt() > 8192 || p[1].asInt() < 16 || p[1].asInt() > 8192 ||
            p[0].asInt() % 2 != 0 || p[1].asInt() % 2 != 0) {
            return in.Bad("picture", "[width, height], even numbers from 16 to 8192"), false;
        }
        u.pictureWidth = p[0].asInt();
        u.pictureHeight = p[1].asInt();
    }
    if (in.Has("clock")) {
        in.Str("clock", text);
        if (in.ok() && !ParseClock(text, u.system))
            return in.Bad("clock", "\"YYYY-MM-DD hh:mm:ss\""), false;
    }
    if (in.Has("faults")) {
        const Json::Value& faults = object["faults"];
        if (!faults.isArray())
            return in.Bad("faults", "an array"), false;
        for (const Json::Value& f : faults) {
            Fault fault;
            if (!f.isObject() || !f.isMember("code") || !f["code"].isInt()) {
                error = "each fault needs an integer \"code\"";
                return false;
            }
            if (!ParseFault(f, fault, error))
                return false;
            u.faults[f["code"].asInt()] = fault;
        }
    }
    if (!in.ok())
        return false;
    uint32_t host = 0;
    if (!IsLoopback(u.address, host))
        return in.Bad("address", "a loopback address (127.x.x.x)"), false;
    u.address = AddressOf(host);
    unit = std::move(u);
    return true;
}

bool ParseUnitLines(const std::string& text, std::vector<UnitConfig>& units, std::string& error) {
    std::vector<UnitConfig> out;
    std::set<std::string> seen;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    while (std::getline(lines, line)) {
        ++number;
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        Json::Value object;
        std::string why;
        if (!reader->parse(line.data(), line.data() + line.size(), &object, &why)) {
            error = "line " + std::to_string(number) + ": not JSON: " + why;
            return false;
        }
        UnitConfig unit;
        int64_t count = 1;
        if (object.isObject() && object.isMember("count")) {
            if (!object["count"].isInt() || object["count"].asInt() < 1 ||
                object["count"].asInt() > 4096) {
                error = "line " + std::to_string(number) + ": \"count\" must be 1 to 4096";
                return false;
            }
            count = object["count"].asInt();
        }
        if (!ParseUnit(object, unit, why)) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        uint32_t host = 0;
        IsLoopback(unit.address, host);
        for (int64_t i = 0; i < count; ++i) {
            UnitConfig copy = unit;
            if (((host + static_cast<uint32_t>(i)) >> 24) != 127) {
                error = "line " + std::to_string(number) + ": the units leave 127.0.0.0/8";
                return false;
            }
            copy.address = AddressOf(host + static_cast<uint32_t>(i));
            uint32_t low = (static_cast<uint32_t>(copy.mac.mac[3]) << 16) |
                           (static_cast<uint32_t>(copy.mac.mac[4]) << 8) | copy.mac.mac[5];
            low += static_cast<uint32_t>(i);
            copy.mac.mac[3] = static_cast<uint8_t>(low >> 16);
            copy.mac.mac[4] = static_cast<uint8_t>(low >> 8);
            copy.mac.mac[5] = static_cast<uint8_t>(low);
            if (!seen.insert(copy.address + ":" + std::to_string(copy.mediaPort)).second) {
                error = "line " + std::to_string(number) + ": " + copy.address + " is listed twice";
                return false;
            }
            out.push_back(std::move(copy));
        }
    }
    units = std::move(out);
    return true;
}

Json::Value StateToJson(const UnitState& s) {
    Json::Value v(Json::objectValue);
    v["mac"] = FormatMac(s.mac.mac);
    v["wifi_mac"] = FormatMac(s.mac.wifiMac);
    v["module"] = Text(s.mac.module);
    v["serial"] = Text(s.mac.serial);
    v["sn_code"] = Text(s.mac.snCode);
    v["key"] = Text(s.key.key);
    v["main_board"] = Text(s.ext.mainBoard);
    v["product_model"] = Text(s.ext.productModel);
    v["device_model"] = Text(s.ext.deviceModel);
    v["device_name"] = Text(s.ext.deviceName);
    v["custom_code"] = Text(s.ext.customCode);
    v["ext_serial"] = Text(s.ext.serial);
    uint64_t function = 0;
    for (int i = 7; i >= 0; --i)
        function = (function << 8) | s.ext.functionCode[i];
    v["function_code"] = Json::UInt64(function);
    v["board_key_id"] = s.board.keyId;
    v["board_id"] = Text(s.board.boardId);
    v["device_type"] = s.board.deviceType;
    v["autofocus_version"] = Text(s.focus.autofocusVersion);
    Json::Value fisheye(Json::arrayValue);
    fisheye.append(s.fisheye.centerX);
    fisheye.append(s.fisheye.centerY);
    fisheye.append(s.fisheye.radius);
    v["fisheye"] = fisheye;
    char clock[32];
    std::snprintf(clock, sizeof(clock), "%04u-%02u-%02u %02u:%02u:%02u", s.system.year,
                  s.system.month, s.system.day, s.system.hour, s.system.minute, s.system.second);
    v["clock"] = clock;
    v["telnet"] = s.telnet;
    v["console"] = s.console;
    v["focus_locked"] = s.focusLocked;
    v["calibrating"] = s.calibrating;
    v["lens_calibration"] = s.lens.supported;
    v["calibration_ms"] = static_cast<Json::Int64>(s.lens.duration.count());
    v["calibration_result"] = s.lens.result;
    v["alarm_length"] = s.lens.alarmLength;
    v["streams"] = s.streams;
    v["previews"] = s.previews;
    v["resets"] = s.resets;
    v["lens_file_size"] = static_cast<Json::UInt>(s.lensFile.size());
    v["sessions"] = s.sessions;
    v["logins"] = s.logins;
    v["locked_out"] = s.lockedOut;
    Json::Value commands(Json::arrayValue);
    for (uint32_t c : s.commands)
        commands.append(c);
    v["commands"] = commands;
    Json::Value records(Json::objectValue);
    records["400"] = Hex(&s.mac, sizeof(s.mac));
    records["524"] = Hex(&s.system, sizeof(s.system));
    records["553"] = Hex(&s.key, sizeof(s.key));
    records["582"] = Hex(&s.board, sizeof(s.board));
    records["588"] = Hex(&s.lastReset, sizeof(s.lastReset));
    records["700"] = Hex(&s.ext, sizeof(s.ext));
    records["803"] = Hex(&s.focus, sizeof(s.focus));
    records["871"] = Hex(s.lensFile.data(), s.lensFile.size());
    records["1015"] = Hex(&s.fisheye, sizeof(s.fisheye));
    v["records"] = records;
    Json::Value written(Json::objectValue);
    for (const auto& [code, bytes] : s.written)
        written[std::to_string(code)] = Hex(bytes.data(), bytes.size());
    v["written"] = written;
    Json::Value requests(Json::arrayValue);
    for (const RequestLogEntry& r : s.requests) {
        Json::Value entry(Json::objectValue);
        entry["code"] = r.code;
        entry["op"] = r.write ? "write" : "query";
        entry["size_word"] = r.sizeWord;
        entry["length"] = r.length;
        requests.append(entry);
    }
    v["requests"] = requests;
    return v;
}

std::string ToLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

}  // namespace unitsim
