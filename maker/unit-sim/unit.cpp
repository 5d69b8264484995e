#include "unit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/media_frame.h"

namespace unitsim {
namespace {

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(T));
}

template <typename T>
void Load(T& record, std::span<const uint8_t> data) {
    std::memcpy(&record, data.data(), std::min(sizeof(T), data.size()));
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N - 1, text.size()));
}

// The fields of the extended device record that a write applies when their mask bit is set.
struct MaskedField {
    uint32_t bit;
    size_t offset;
    size_t size;
};
constexpr MaskedField kExtFields[] = {
    {ZQNET_EXT_MAIN_BOARD, offsetof(ZQNetExtDeviceRecord, mainBoard), 16},
    {ZQNET_EXT_PRODUCT_MODEL, offsetof(ZQNetExtDeviceRecord, productModel), 64},
    {ZQNET_EXT_DEVICE_MODEL, offsetof(ZQNetExtDeviceRecord, deviceModel), 32},
    {ZQNET_EXT_DEVICE_NAME, offsetof(ZQNetExtDeviceRecord, deviceName), 32},
    {ZQNET_EXT_CUSTOM_CODE, offsetof(ZQNetExtDeviceRecord, customCode), 32},
    {ZQNET_EXT_FUNCTION_CODE, offsetof(ZQNetExtDeviceRecord, functionCode), 8},
    {ZQNET_EXT_FOUR_DISK, offsetof(ZQNetExtDeviceRecord, fourDisk), 1},
    {ZQNET_EXT_LANGUAGE_CONFIG, offsetof(ZQNetExtDeviceRecord, languageConfig), 1},
    {ZQNET_EXT_LANGUAGE, offsetof(ZQNetExtDeviceRecord, language), 1},
    {ZQNET_EXT_SERIAL, offsetof(ZQNetExtDeviceRecord, serial), 32},
    {ZQNET_EXT_PRODUCT_CODE, offsetof(ZQNetExtDeviceRecord, productCode), 1},
    {ZQNET_EXT_FORMAT, offsetof(ZQNetExtDeviceRecord, format), 1},
    {ZQNET_EXT_ANGLE_ROTATION, offsetof(ZQNetExtDeviceRecord, angleRotation), 4},
    {ZQNET_EXT_ALARM_OUTPUT, offsetof(ZQNetExtDeviceRecord, alarmOutputs), 1},
    {ZQNET_EXT_ALARM_INPUT, offsetof(ZQNetExtDeviceRecord, alarmInputs), 1},
    {ZQNET_EXT_AUDIO, offsetof(ZQNetExtDeviceRecord, audioChannels), 1},
    {ZQNET_EXT_POE_POWER, offsetof(ZQNetExtDeviceRecord, poePower), 2},
    {ZQNET_EXT_HDD_GROUP, offsetof(ZQNetExtDeviceRecord, hddGroup), 1},
    {ZQNET_EXT_ESATA, offsetof(ZQNetExtDeviceRecord, esata), 1},
    {ZQNET_EXT_MIN_FOCAL, offsetof(ZQNetExtDeviceRecord, minFocal), 1},
    {ZQNET_EXT_MAX_FOCAL, offsetof(ZQNetExtDeviceRecord, maxFocal), 1},
};

// The byte a "read-back differs" fault changes: the first byte of the record's main field.
size_t MainFieldOffset(uint32_t code) {
    switch (code) {
        case 700:
            return offsetof(ZQNetExtDeviceRecord, mainBoard);
        case 803:
            return offsetof(ZQNetFocusRecord, autofocusVersion);
        case 1015:
            return offsetof(ZQNetFisheyeRecord, centerX);
        case 524:
            return offsetof(ZQNetSysParamRecord, second);
        default:
            return 4;  // MAC address, key text, board key id
    }
}

// Records that start with their own size as a little-endian word; a write must carry it.
bool HasSizeWord(uint32_t code) {
    switch (code) {
        case 401:
        case 524:
        case 553:
        case 582:
        case 588:
        case 700:
            return true;
        default:
            return false;  // 871 (raw lens file), 1015 (the station leaves the word 0)
    }
}

uint32_t LeadingWord(std::span<const uint8_t> data) {
    if (data.size() < 4)
        return 0;
    return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

std::tm CivilOf(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return tm;
}

}  // namespace

void AlarmSink::Push(std::vector<uint8_t> frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
    }
    if (wake_)
        wake_();
}

std::vector<std::vector<uint8_t>> AlarmSink::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(frames_, {});
}

bool UnitConfig::camera() const {
    return deviceKind == 4 || pictureWidth > 0 || fisheye.radius != 0;
}

PictureLook UnitConfig::picture() const {
    PictureLook p;
    p.width = pictureWidth > 0 ? pictureWidth : 1280;
    p.height = pictureHeight > 0 ? pictureHeight : 960;
    p.frameRate = frameRate;
    if (fisheye.radius != 0) {
        p.centerX = fisheye.centerX;
        p.centerY = fisheye.centerY;
        p.radius = fisheye.radius;
    } else {
        p.centerX = p.width / 2;
        p.centerY = p.height / 2;
        p.radius = std::min(p.width, p.height) * 9 / 20;
    }
    return p;
}

UnitConfig::UnitConfig() {
    mac.size = sizeof(mac);
    key.size = sizeof(key);
    ext.size = sizeof(ext);
    board.size = sizeof(board);
    board.deviceType = 255;
    focus.size = sizeof(focus);
    fisheye.size = sizeof(fisheye);
    system.size = sizeof(system);
    system.dstSize = 44;
    system.ntpSize = 20;
}

Unit::Unit(UnitConfig config) : config_(std::move(config)) {
    state_.mac = config_.mac;
    state_.key = config_.key;
    state_.ext = config_.ext;
    state_.board = config_.board;
    state_.focus = config_.focus;
    faults_ = config_.faults;
    silentLogin_ = config_.silentLogin;
    state_.lens.supported = config_.lensCalibration;
    state_.lens.duration = config_.calibration;
    state_.lens.result = config_.calibrationResult;
    state_.lens.alarmLength = config_.alarmLength;
    ResetSettingsLocked();
    const ZQNetSysParamRecord& s = config_.system;
    if (s.year == 0) {
        SetClockLocked(std::time(nullptr));
    } else {
        std::tm tm{};
        tm.tm_year = (s.year < 100 ? s.year + 2000 : s.year) - 1900;
        tm.tm_mon = s.month > 0 ? s.month - 1 : 0;
        tm.tm_mday = s.day > 0 ? s.day : 1;
        tm.tm_hour = s.hour;
        tm.tm_min = s.minute;
        tm.tm_sec = s.second;
        SetClockLocked(timegm(&tm));
    }
}

void Unit::ResetSettingsLocked() {
    state_.system = config_.system;
    state_.fisheye = config_.fisheye;
    state_.lensFile.clear();
    state_.telnet = false;
    state_.console = false;
    state_.focusLocked = false;
}

void Unit::SetClockLocked(std::time_t utc) {
    clockBase_ = utc;
    clockSetAt_ = Clock::now();
}

ZQNetSysParamRecord Unit::SystemLocked() const {
    ZQNetSysParamRecord r = state_.system;
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - clockSetAt_);
    std::tm tm = CivilOf(clockBase_ + static_cast<std::time_t>(elapsed.count()));
    r.size = sizeof(r);
    r.year = static_cast<uint16_t>(tm.tm_year + 1900);
    r.month = static_cast<uint8_t>(tm.tm_mon + 1);
    r.day = static_cast<uint8_t>(tm.tm_mday);
    r.hour = static_cast<uint8_t>(tm.tm_hour);
    r.minute = static_cast<uint8_t>(tm.tm_min);
    r.second = static_cast<uint8_t>(tm.tm_sec);
    return r;
}

UnitState Unit::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    UnitState s = state_;
    s.system = SystemLocked();
    s.lockedOut = Clock::now() < lockedUntil_;
    return s;
}

ZQNetDeviceRecord Unit::DeviceRecord() const {
    ZQNetDeviceRecord r{};
    CopyText(r.ip, config_.address);
    CopyText(r.netmask, config_.netmask);
    CopyText(r.gateway, config_.gateway);
    CopyText(r.dns1, config_.dns1);
    CopyText(r.dns2, config_.dns2);
    r.mediaPort = config_.mediaPort;
    r.webPort = config_.webPort;
    r.netType = config_.netType;
    CopyText(r.typeName, config_.typeName);
    CopyText(r.version, config_.firmware);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CopyText(r.mac, FormatMac(state_.mac.mac));
    }
    r.channels = config_.channels;
    r.channelsByte = config_.channelsByte;
    return r;
}

void Unit::SetFault(int32_t code, const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[code] = fault;
}

void Unit::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    silentLogin_ = false;
}

void Unit::SetSilentLogin(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silentLogin_ = silent;
}

bool Unit::silentLogin() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return silentLogin_;
}

Fault Unit::FaultFor(int32_t code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = faults_.find(code);
    return it == faults_.end() ? Fault{} : it->second;
}

Fault Unit::TakeFault(int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = faults_.find(code);
    if (it == faults_.end())
        return Fault{};
    Fault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return Fault{};
    }
    Fault fired = f;
    if (f.count > 0 && --f.count == 0)
        faults_.erase(it);
    return fired;
}

void Unit::LogRequest(const RequestLogEntry& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Like the command log: the latest requests, not all of them forever.
    if (state_.requests.size() >= kRequestLogSize) {
        state_.requests.erase(state_.requests.begin(),
                              state_.requests.begin() + kRequestLogSize / 2);
    }
    state_.requests.push_back(entry);
}

void Unit::ClearRequestLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.requests.clear();
    state_.written.clear();
}

uint32_t Unit::Login(const std::string& user, const zqproto::Token& nonce,
                     const zqproto::Token& proof, std::span<const uint8_t> binding) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (user != config_.user)
        return ZQNET_STATUS_UNKNOWN_USER;
    const auto now = Clock::now();
    if (now < lockedUntil_)
        return ZQNET_STATUS_LOCKED_OUT;
    zqproto::Token expected{};
    if (!zqproto::LoginProof(config_.password, nonce, user, binding, expected) ||
        !zqproto::TokensEqual(expected, proof)) {
        if (++wrongPasswords_ >= config_.lockoutAttempts) {
            wrongPasswords_ = 0;
            lockedUntil_ = now + config_.lockout;
        }
        return ZQNET_STATUS_WRONG_PASSWORD;
    }
    wrongPasswords_ = 0;
    if (state_.sessions >= config_.maxSessions)
        return ZQNET_STATUS_TOO_MANY_SESSIONS;
    ++state_.sessions;
    ++state_.logins;
    return ZQNET_STATUS_LOGGED_IN;
}

void Unit::ReleaseSession() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_.sessions > 0)
        --state_.sessions;
}

uint32_t Unit::DevInfo(std::vector<uint8_t>& out) {
    ZQNetDeviceInfo info{};
    info.deviceClass = (config_.deviceKind & 0xF) << 8;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        info.lensCalibration = state_.lens.supported ? 1 : 0;
    }
    out = Bytes(info);
    return zqproto::kOk;
}

uint32_t Unit::Query(uint32_t code, uint32_t size, std::vector<uint8_t>& out,
                     bool readBackDiffers) {
    const zqproto::ParamInfo* info = zqproto::FindParam(code);
    if (!info || !info->query)
        return zqproto::kUnknownCode;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (code) {
        case 400:
            out = Bytes(state_.mac);
            break;
        case 524:
            out = Bytes(SystemLocked());
            break;
        case 553:
            out = Bytes(state_.key);
            break;
        case 582:
            out = Bytes(state_.board);
            break;
        case 700: {
            // As last written, with the mask of that write, so that a station reads back what
            // it sent.
            ZQNetExtDeviceRecord r = state_.ext;
            r.size = sizeof(r);
            out = Bytes(r);
            break;
        }
        case 803:
            if (config_.deviceKind != 4)
                return zqproto::kUnknownCode;
            out = Bytes(state_.focus);
            break;
        case 1015:
            out = Bytes(state_.fisheye);
            break;
        default:
            return zqproto::kUnknownCode;
    }
    if (readBackDiffers)
        out[MainFieldOffset(code)] ^= 0x01;
    if (out.size() > size)
        out.resize(size);
    return zqproto::kOk;
}

void Unit::SetTelnetSwitch(std::function<bool(bool open)> telnet_switch) {
    telnetSwitch_ = std::move(telnet_switch);
}

uint32_t Unit::Set(uint32_t code, std::span<const uint8_t> data) {
    const uint32_t result = SetRecord(code, data);
    if (result == zqproto::kOk && code == 588 && telnetSwitch_)
        telnetSwitch_(false);  // the reset closed telnet
    return result;
}

uint32_t Unit::SetRecord(uint32_t code, std::span<const uint8_t> data) {
    const zqproto::ParamInfo* info = zqproto::FindParam(code);
    if (!info || !info->write)
        return zqproto::kUnknownCode;
    if (info->variable ? (data.empty() || data.size() > info->size) : data.size() != info->size) {
        return zqproto::kBadSize;
    }
    if (HasSizeWord(code) && LeadingWord(data) != info->size)
        return zqproto::kBadSize;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (code) {
        case 401:
            Load(state_.mac, data);
            state_.mac.size = sizeof(state_.mac);
            break;
        case 524: {
            ZQNetSysParamRecord r{};
            Load(r, data);
            r.size = sizeof(r);
            if (r.ieChangeTime == 1) {
                std::tm tm{};
                tm.tm_year = (r.year < 100 ? r.year + 2000 : r.year) - 1900;
                tm.tm_mon = std::clamp<int>(r.month, 1, 12) - 1;
                tm.tm_mday = std::clamp<int>(r.day, 1, 31);
                tm.tm_hour = std::min<int>(r.hour, 23);
                tm.tm_min = std::min<int>(r.minute, 59);
                tm.tm_sec = std::min<int>(r.second, 59);
                SetClockLocked(timegm(&tm));
            }
            state_.system = r;
            break;
        }
        case 553:
            Load(state_.key, data);
            state_.key.size = sizeof(state_.key);
            break;
        case 582:
            Load(state_.board, data);
            state_.board.size = sizeof(state_.board);
            break;
        case 588: {
            ZQNetResetRecord r{};
            Load(r, data);
            ResetSettingsLocked();
            state_.lastReset = r;
            ++state_.resets;
            std::tm tm{};
            tm.tm_year = std::max<int>(r.year, 1970) - 1900;
            tm.tm_mon = std::clamp<int>(r.month, 1, 12) - 1;
            tm.tm_mday = std::clamp<int>(r.day, 1, 31);
            tm.tm_hour = std::min<int>(r.hour, 23);
            tm.tm_min = std::min<int>(r.minute, 59);
            tm.tm_sec = std::min<int>(r.second, 59);
            SetClockLocked(timegm(&tm));
            break;
        }
        case 700: {
            ZQNetExtDeviceRecord r{};
            Load(r, data);
            auto* to = reinterpret_cast<uint8_t*>(&state_.ext);
            const auto* from = reinterpret_cast<const uint8_t*>(&r);
            for (const MaskedField& f : kExtFields) {
                if (r.mask & f.bit)
                    std::memcpy(to + f.offset, from + f.offset, f.size);
            }
            state_.ext.mask = r.mask;
            break;
        }
        case 871:
            state_.lensFile.assign(data.begin(), data.end());
            break;
        case 1015:
            Load(state_.fisheye, data);
            break;
        default:
            return zqproto::kUnknownCode;
    }
    state_.written[code].assign(data.begin(), data.end());
    return zqproto::kOk;
}

uint32_t Unit::Command(uint32_t command) {
    if (command == zqproto::kCmdTelnetOpen || command == zqproto::kCmdTelnetClose) {
        const bool open = command == zqproto::kCmdTelnetOpen;
        // Outside the lock: the service's own thread reads the unit's state.
        const bool switched = !telnetSwitch_ || telnetSwitch_(open);
        std::lock_guard<std::mutex> lock(mutex_);
        LogCommandLocked(command);
        if (!switched)
            return zqproto::kFailed;
        state_.telnet = open;
        return zqproto::kOk;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    switch (command) {
        case zqproto::kCmdConsoleOpen:
            state_.console = true;
            break;
        case zqproto::kCmdConsoleClose:
            state_.console = false;
            break;
        default:
            return zqproto::kUnknownCode;
    }
    LogCommandLocked(command);
    return zqproto::kOk;
}

uint32_t Unit::Ptz(uint32_t command, std::span<const uint8_t> data) {
    if (command == zqproto::kPtzFocusLock) {
        if (data.size() != zqproto::kPtzFocusLockSize)
            return zqproto::kBadSize;
        std::lock_guard<std::mutex> lock(mutex_);
        state_.focusLocked = true;
        LogCommandLocked(command);
        return zqproto::kOk;
    }
    if (command != zqproto::kPtzLensCalibration)
        return zqproto::kUnknownCode;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        LogCommandLocked(command);
        if (!state_.lens.supported || state_.calibrating)
            return zqproto::kFailed;
        state_.calibrating = true;
        calibrationDone_ = Clock::now() + state_.lens.duration;
    }
    EmitCalibrationAlarm(true, 0);
    return zqproto::kOk;
}

void Unit::LogCommandLocked(uint32_t command) {
    // The log is for tests and demos: it keeps the latest commands, not all of them forever.
    if (state_.commands.size() >= kCommandLogSize) {
        state_.commands.erase(state_.commands.begin(),
                              state_.commands.begin() + kCommandLogSize / 2);
    }
    state_.commands.push_back(command);
}

void Unit::Subscribe(const std::shared_ptr<AlarmSink>& sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : sinks_) {
        if (s.lock() == sink)
            return;
    }
    sinks_.push_back(sink);
}

void Unit::Unsubscribe(const AlarmSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(sinks_, [&](const std::weak_ptr<AlarmSink>& s) {
        auto p = s.lock();
        return !p || p.get() == sink;
    });
}

void Unit::Tick() {
    uint8_t result = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!state_.calibrating || Clock::now() < calibrationDone_)
            return;
        state_.calibrating = false;
        result = state_.lens.result;
    }
    EmitCalibrationAlarm(false, result);
}

void Unit::SetLensCalibration(const LensCalibration& lens) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.lens = lens;
    state_.lens.alarmLength =
        std::min<uint32_t>(lens.alarmLength, static_cast<uint32_t>(zqproto::kMaxPayload - 4));
    if (state_.calibrating)
        calibrationDone_ = std::min(calibrationDone_, Clock::now() + lens.duration);
}

void Unit::StreamStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.streams;
    ++state_.previews;
}

void Unit::StreamEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_.streams > 0)
        --state_.streams;
}

void Unit::EmitCalibrationAlarm(bool running, uint8_t result) {
    ZQNetLensCalibrationAlarm alarm{};
    alarm.running = running ? 1 : 0;
    alarm.result = result;
    zqproto::Message m;
    m.kind = zqproto::Kind::kAlarm;
    m.code = zqproto::kAlarmLensCalibration;
    m.data = Bytes(alarm);
    std::vector<std::shared_ptr<AlarmSink>> sinks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The record cut to the unit's alarm length, or zeros after it.
        m.data.resize(state_.lens.alarmLength, 0);
        for (const auto& s : sinks_) {
            if (auto p = s.lock())
                sinks.push_back(std::move(p));
        }
    }
    const std::vector<uint8_t> frame = zqproto::Encode(m);
    for (const auto& s : sinks)
        s->Push(frame);
}

// ---------------------------------------------------------------------------------------------

UnitSession::UnitSession(Unit& unit, std::span<const uint8_t> binding, std::function<void()> wake)
    : unit_(unit),
      binding_(binding.begin(), binding.end()),
      sink_(std::make_shared<AlarmSink>(std::move(wake))) {}

UnitSession::~UnitSession() {
    for (size_t i = 0; i < streams_.size(); ++i)
        unit_.StreamEnded();
    unit_.Unsubscribe(sink_.get());
    if (state_ == State::kLoggedIn)
        unit_.ReleaseSession();
}

std::vector<std::vector<uint8_t>> UnitSession::TakeAlarms() {
    return sink_->Take();
}

bool UnitSession::Fail(const char* why) {
    if (state_ == State::kLoggedIn)
        unit_.ReleaseSession();
    for (size_t i = 0; i < streams_.size(); ++i)
        unit_.StreamEnded();
    streams_.clear();
    state_ = State::kClosed;
    if (!error_)
        error_ = why;
    return false;
}

bool UnitSession::Greet(std::vector<Step>& steps) {
    if (state_ != State::kAwaitStart)
        return state_ != State::kClosed;
    if (unit_.silentLogin()) {
        state_ = State::kSilent;
        return true;
    }
    const Fault fault = unit_.TakeFault(kFaultLogin);
    if (fault.drop)
        return Fail("dropped on demand");
    if (!zqproto::RandomToken(nonce_))
        return Fail("no random nonce");
    zqproto::Message challenge;
    challenge.kind = zqproto::Kind::kLoginChallenge;
    challenge.sequence = 0;
    challenge.token = nonce_;
    steps.push_back({fault.delayMs, zqproto::Encode(challenge)});
    state_ = State::kAwaitProof;
    return true;
}

void UnitSession::Bind(std::span<const uint8_t> binding) {
    binding_.assign(binding.begin(), binding.end());
}

bool UnitSession::Receive(std::span<const uint8_t> bytes, std::vector<Step>& steps) {
    if (state_ == State::kClosed)
        return false;
    if (!reader_.Feed(bytes))
        return Fail(reader_.error());
    for (;;) {
        zqproto::Frame frame;
        switch (reader_.Next(frame)) {
            case zqproto::FrameReader::Status::kNeedMore:
                return true;
            case zqproto::FrameReader::Status::kError:
                return Fail(reader_.error());
            case zqproto::FrameReader::Status::kFrame:
                break;
        }
        zqproto::Message m;
        if (!zqproto::Decode(frame, m))
            return Fail("payload does not fit its kind");
        if (zqproto::IsReply(m.kind) || m.kind == zqproto::Kind::kAlarm ||
            m.kind == zqproto::Kind::kMediaPiece || m.kind == zqproto::Kind::kSearchProbe) {
            return Fail("not a session request");
        }
        if (m.sequence != lastSequence_ + 1)
            return Fail("request out of order");
        lastSequence_ = m.sequence;
        if (!Handle(m, steps))
            return false;
    }
}

bool UnitSession::Handle(const zqproto::Message& m, std::vector<Step>& steps) {
    using zqproto::Kind;
    zqproto::Message reply;
    reply.kind = static_cast<Kind>(static_cast<uint16_t>(m.kind) | 0x8000);
    reply.sequence = m.sequence;

    if (state_ == State::kSilent)
        return true;  // never answers, never ends on its own
    if (state_ == State::kAwaitStart)
        return Fail("request before the challenge");
    if (state_ == State::kAwaitProof) {
        if (m.kind != Kind::kLoginProof)
            return Fail("request before login");
        user_ = m.user;
        reply.code = unit_.Login(user_, nonce_, m.token, binding_);
        steps.push_back({0, zqproto::Encode(reply)});
        if (reply.code != ZQNET_STATUS_LOGGED_IN)
            return Fail("login refused");
        state_ = State::kLoggedIn;
        return true;
    }

    int32_t faultCode = -1;
    switch (m.kind) {
        case Kind::kGetDevInfo:
            faultCode = kFaultDevInfo;
            break;
        case Kind::kQueryParam:
            faultCode = static_cast<int32_t>(m.code);
            break;
        case Kind::kSetParam:
        case Kind::kSimpleCmd:
        case Kind::kPtz:
            faultCode = static_cast<int32_t>(m.code);
            break;
        case Kind::kPreviewStart:
            faultCode = kFaultPreview;
            break;
        default:
            break;
    }
    if (m.kind == Kind::kQueryParam) {
        unit_.LogRequest({m.code, false, m.size, 0});
    } else if (m.kind == Kind::kSetParam) {
        unit_.LogRequest({m.code, true, LeadingWord(m.data), static_cast<uint32_t>(m.data.size())});
    }
    Fault fault = faultCode >= 0 ? unit_.TakeFault(faultCode) : Fault{};
    if (fault.drop)
        return Fail("dropped on demand");

    switch (m.kind) {
        case Kind::kLoginProof:
            return Fail("login twice");
        case Kind::kGetDevInfo:
            reply.code = fault.failQuery ? uint32_t{zqproto::kFailed} : unit_.DevInfo(reply.data);
            break;
        case Kind::kQueryParam:
            reply.code = fault.failQuery
                             ? uint32_t{zqproto::kFailed}
                             : unit_.Query(m.code, m.size, reply.data, fault.readBackDiffers);
            break;
        case Kind::kSetParam:
            reply.code = fault.failWrite ? uint32_t{zqproto::kFailed} : unit_.Set(m.code, m.data);
            break;
        case Kind::kSimpleCmd:
            reply.code = fault.failWrite || fault.failQuery ? uint32_t{zqproto::kFailed}
                                                            : unit_.Command(m.code);
            break;
        case Kind::kPtz:
            reply.code = fault.failWrite || fault.failQuery ? uint32_t{zqproto::kFailed}
                                                            : unit_.Ptz(m.code, m.data);
            break;
        case Kind::kAlarmSubscribe:
            if (m.code) {
                unit_.Subscribe(sink_);
            } else {
                unit_.Unsubscribe(sink_.get());
            }
            reply.code = zqproto::kOk;
            break;
        case Kind::kPreviewStart:
            reply.code = fault.failWrite || fault.failQuery ? uint32_t{zqproto::kFailed}
                                                            : StartStream(m.code, fault);
            if (reply.code == zqproto::kOk && fault.delayMs > 0)
                streams_.back().due += std::chrono::milliseconds(fault.delayMs);
            break;
        case Kind::kPreviewStop:
            reply.code = StopStream(m.code);
            break;
        case Kind::kPing:
            reply.code = zqproto::kOk;
            break;
        default:
            reply.code = zqproto::kUnsupported;
            break;
    }
    if (reply.code != zqproto::kOk)
        reply.data.clear();
    steps.push_back({fault.delayMs, zqproto::Encode(reply)});
    return true;
}

uint32_t UnitSession::StartStream(uint32_t id, const Fault& fault) {
    if (!unit_.config().camera())
        return zqproto::kUnsupported;
    if (streams_.size() >= kMaxStreams)
        return zqproto::kFailed;
    for (const Stream& s : streams_) {
        if (s.id == id)
            return zqproto::kFailed;
    }
    Stream s;
    s.id = id;
    s.fault = fault;
    s.due = Clock::now();
    s.random = 0x9E3779B97F4A7C15ull ^ id;
    streams_.push_back(s);
    unit_.StreamStarted();
    TryLoop(unit_.config().picture());  // starts encoding the picture, when nobody has yet
    return zqproto::kOk;
}

uint32_t UnitSession::StopStream(uint32_t id) {
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
        if (it->id == id) {
            streams_.erase(it);
            unit_.StreamEnded();
            return zqproto::kOk;
        }
    }
    return zqproto::kFailed;
}

std::optional<UnitSession::Clock::time_point> UnitSession::NextMediaDue() const {
    std::optional<Clock::time_point> next;
    for (const Stream& s : streams_) {
        if (s.stalled || s.fault.noStream)
            continue;
        if (!next || s.due < *next)
            next = s.due;
    }
    return next;
}

bool UnitSession::TakeMedia(Clock::time_point now, std::vector<Step>& steps) {
    if (state_ != State::kLoggedIn)
        return state_ != State::kClosed;
    std::shared_ptr<const VideoLoop> loop;
    for (Stream& s : streams_) {
        if (s.stalled || s.fault.noStream || s.due > now)
            continue;
        if (!loop) {
            bool failed = false;
            loop = TryLoop(unit_.config().picture(), &failed);
            if (failed) {
                s.stalled = true;  // no video to be had: the stream never starts
                continue;
            }
            if (!loop) {  // still being encoded
                s.due = now + std::chrono::milliseconds(10);
                continue;
            }
        }
        if (!SendFrame(s, *loop, steps))
            return Fail("dropped mid-preview on demand");
        const auto interval = std::chrono::microseconds(1000000 / loop->look.frameRate);
        s.due += interval;
        if (s.due < now - std::chrono::seconds(1))
            s.due = now;  // fallen far behind (a slow reader): go on from now
    }
    return true;
}

bool UnitSession::SendFrame(Stream& s, const VideoLoop& loop, std::vector<Step>& steps) {
    auto random = [&s] {  // xorshift64
        s.random ^= s.random << 13;
        s.random ^= s.random >> 7;
        s.random ^= s.random << 17;
        return static_cast<uint8_t>(s.random >> 32);
    };
    const VideoFrame& f = loop.frames[s.sent % loop.frames.size()];
    zqproto::MediaFrame header;
    header.width = static_cast<uint32_t>(loop.look.width);
    header.height = static_cast<uint32_t>(loop.look.height);
    header.flags = f.key ? zqproto::kMediaKeyFrame : 0;
    header.number = s.sent;
    header.capture_us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    std::vector<uint8_t> payload;
    header.payload = f.data;
    if (f.key && s.fault.hugePicture) {
        if (s.keys % 2 == 0) {
            header.width = header.height = 16384;
        } else {
            payload = WithPictureSize(f.data, 16384, 16384);
            header.payload = payload;
        }
    }
    if (f.key)
        ++s.keys;
    std::vector<uint8_t> block = zqproto::BuildMediaFrame(header);
    if (s.fault.garbage) {
        const size_t from = s.sent % 2 == 1 ? 0 : zqproto::kMediaHeaderSize;
        for (size_t i = from; i < block.size(); ++i)
            block[i] = random();
    }
    // How much of the frame goes out: all of it, or half when it is cut short.
    size_t length = block.size();
    const bool last = static_cast<int>(s.sent) == s.fault.stopAfter ||
                      static_cast<int>(s.sent) == s.fault.dropAfter;
    if ((s.fault.truncate && s.sent % 2 == 1) || last)
        length = std::max<size_t>(1, block.size() / 2);
    ++s.sent;
    for (size_t at = 0; at < length; at += zqproto::kMaxPieceData) {
        zqproto::Message m;
        m.kind = zqproto::Kind::kMediaPiece;
        m.code = s.id;
        m.size = static_cast<uint32_t>(block.size());
        m.offset = static_cast<uint32_t>(at);
        const size_t n = std::min(zqproto::kMaxPieceData, length - at);
        m.data.assign(block.begin() + static_cast<ptrdiff_t>(at),
                      block.begin() + static_cast<ptrdiff_t>(at + n));
        steps.push_back({0, zqproto::Encode(m)});
    }
    if (static_cast<int>(s.sent) - 1 == s.fault.stopAfter)
        s.stalled = true;
    return static_cast<int>(s.sent) - 1 != s.fault.dropAfter;
}

// ---------------------------------------------------------------------------------------------

bool ParseMac(const std::string& text, uint8_t out[6]) {
    // "00:11:22:33:44:55", "00-11-22-33-44-55" or "001122334455".
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex.push_back(c);
        } else if (c != ':' && c != '-') {
            return false;
        }
    }
    if (hex.size() != 12)
        return false;
    for (int i = 0; i < 6; ++i) {
        out[i] =
            static_cast<uint8_t>(std::stoi(hex.substr(2 * static_cast<size_t>(i), 2), nullptr, 16));
    }
    return true;
}

std::string FormatMac(const uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

}  // namespace unitsim
