// A simulated unit (recorder or camera): its configuration, its state, its faults on demand, and
// the protocol state machine of one session with it (UnitSession, no sockets).
//
// What a caller may rely on:
// - Unit is thread-safe: sessions, the simulator's timer and the control interface may call it
//   from any thread at once. It never throws.
// - UnitSession belongs to one thread (the one serving its connection). It answers every request
//   of the wire protocol exactly as maker/protocol/README.md says and ends the session on any
//   malformed, oversized or out-of-order frame.
#pragma once

#include "device/ZQNet.h"
#include "protocol/protocol.h"
#include "video.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace unitsim {

// A fault on demand, for one code of one unit. Codes: parameter codes, command codes (349..352),
// PTZ commands (96, 108), kFaultDevInfo for the device-information request, kFaultLogin for
// the login (drop and delay apply to the challenge) and kFaultPreview for the preview start
// (the stream faults below apply to the stream that start opens).
//
// Every request the code applies to (query, write, command, PTZ command, device-information
// request, login) is a matching request: the first `skip` of them pass untouched, then the fault
// fires on the next `count` (0: on every one from then on) and is removed after the last.
// "Fail once" is {.failWrite = true, .count = 1}; "fail the 3rd request" {..., .skip = 2,
// .count = 1}.
struct Fault {
    bool failQuery = false;        // queries of the code (and GetDevInfo) answer "failed"
    bool failWrite = false;        // writes, commands and PTZ commands answer "failed"
    bool readBackDiffers = false;  // queries return the record with one byte changed
    bool drop = false;             // the unit closes the connection instead of answering
    int delayMs = 0;               // the answer comes this much later
    int skip = 0;                  // matching requests that pass untouched first
    int count = 0;                 // then fires this many times (0: forever), then is removed
    // Stream faults (kFaultPreview): what the started stream sends.
    bool noStream = false;     // the start succeeds, but no media frame ever comes
    bool garbage = false;      // every block is garbage: odd ones wholly random, even ones a
                               // valid media header over random bytes
    bool truncate = false;     // every other media frame ends halfway; the next one follows
    bool hugePicture = false;  // key frames announce 16384x16384: in the media header (odd key
                               // frames) or in the SPS under a true header (even ones)
    int stopAfter = -1;        // after this many frames the stream stops in the middle of a frame
    int dropAfter = -1;        // after this many frames the unit closes the connection in the
                               // middle of a frame
};
inline constexpr int32_t kFaultDevInfo = 0;
inline constexpr int32_t kFaultLogin = 1;
inline constexpr int32_t kFaultPreview = 2;

// A unit's lens calibration, changeable at run time (Unit::SetLensCalibration).
struct LensCalibration {
    bool supported = false;                    // device-information byte 452; PTZ 108 works
    std::chrono::milliseconds duration{2000};  // from PTZ 108 to the result alarm
    uint8_t result = 0;                        // byte 25 of the result alarm (1, 255: failed)
    uint32_t alarmLength = 56;                 // bytes of alarm data sent (0 to 4092)
};

// Everything a unit is configured with; the records are its starting (and factory) contents.
struct UnitConfig {
    std::string address = "127.0.0.10";
    uint16_t mediaPort = zqproto::kMediaPort;
    uint16_t searchPort = zqproto::kSearchPort;
    uint16_t telnetPort = 23;  // the telnet service (telnet.h), open after command 349
    int32_t webPort = 80;
    std::string typeName = "NVR";
    std::string firmware = "V1.0.0";
    uint32_t deviceKind = 0;  // bits 8 to 11 of the device-information word; 4 for cameras
    int32_t channels = 4;     // the 32-bit channel count of the device record
    int8_t channelsByte = 4;  // the byte channel count of the device record
    int32_t netType = 2;      // 0 DHCP, 1 PPPOE, 2 STATIC
    std::string netmask = "255.0.0.0";
    std::string gateway = "127.0.0.1";
    std::string dns1 = "127.0.0.1";
    std::string dns2;
    bool lensCalibration = false;  // device-information byte 452; PTZ 108 works only with it
    std::string user = "admin";
    std::string password;
    int maxSessions = 8;
    int lockoutAttempts = 5;                      // wrong passwords in a row that lock the user
    std::chrono::milliseconds lockout{60000};     // how long the user stays locked out
    std::chrono::milliseconds calibration{2000};  // from PTZ 108 to the result alarm
    uint8_t calibrationResult = 0;                // byte 25 of the result alarm
    uint32_t alarmLength = 56;  // bytes of data in each alarm 253: the first 56 are the alarm
                                // record, cut there when shorter, zeros after it when longer
    bool silentLogin = false;   // never answers a login
    // Live video. A camera (device kind 4, or a unit with a picture size or a fisheye circle)
    // streams its picture; 0 takes the default size 1280x960.
    int pictureWidth = 0;
    int pictureHeight = 0;
    int frameRate = 25;
    bool camera() const;
    // The picture a camera streams: its size and, as the image circle, the fisheye record's
    // starting circle (the middle of the picture when that radius is 0).
    PictureLook picture() const;
    std::map<int32_t, Fault> faults;

    ZQNetMacRecord mac{};
    ZQNetKeyRecord key{};
    ZQNetExtDeviceRecord ext{};
    ZQNetBoardRecord board{};
    ZQNetFocusRecord focus{};
    ZQNetFisheyeRecord fisheye{};
    ZQNetSysParamRecord
        system{};  // its date and time start the unit's clock (0: the host's UTC time)

    UnitConfig();  // fills the records' size words and a default board device type (255)
};

// One QueryParam or SetParam request a logged-in session received, whatever its answer.
struct RequestLogEntry {
    uint32_t code = 0;
    bool write = false;     // SetParam; false: QueryParam
    uint32_t sizeWord = 0;  // write: first little-endian word of the data (0 when shorter than
                            // 4 bytes); query: the size the station asked for
    uint32_t length = 0;    // bytes of data (0 for a query)
    bool operator==(const RequestLogEntry&) const = default;
};

// A copy of a unit's state at one moment.
struct UnitState {
    ZQNetMacRecord mac{};
    ZQNetKeyRecord key{};
    ZQNetExtDeviceRecord ext{};
    ZQNetBoardRecord board{};
    ZQNetFocusRecord focus{};
    ZQNetFisheyeRecord fisheye{};
    ZQNetSysParamRecord system{};  // with the clock as it runs now
    std::vector<uint8_t> lensFile;
    bool telnet = false;
    bool console = false;
    bool focusLocked = false;
    bool calibrating = false;
    LensCalibration lens;  // as it stands now
    int streams = 0;       // live previews being streamed now
    int previews = 0;      // previews started so far
    int resets = 0;
    ZQNetResetRecord lastReset{};
    int sessions = 0;  // logged-in sessions now
    int logins = 0;    // successful logins so far
    bool lockedOut = false;
    std::vector<uint32_t> commands;  // the latest commands and PTZ commands received, in order
    // The raw bytes of the last write the unit accepted, by parameter code (refused writes leave
    // it unchanged). Unit::ClearRequestLog empties it.
    std::map<uint32_t, std::vector<uint8_t>> written;
    // The latest QueryParam and SetParam requests, in order, including failed and refused ones.
    std::vector<RequestLogEntry> requests;
};

// Where a session receives the unit's alarms: frames queued by any thread, then `wake` is called.
class AlarmSink {
  public:
    explicit AlarmSink(std::function<void()> wake) : wake_(std::move(wake)) {}
    void Push(std::vector<uint8_t> frame);
    std::vector<std::vector<uint8_t>> Take();

  private:
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> frames_;
    std::function<void()> wake_;
};

class Unit {
  public:
    explicit Unit(UnitConfig config);

    const UnitConfig& config() const { return config_; }
    UnitState State() const;

    // The 448-byte device record the unit answers a search with.
    ZQNetDeviceRecord DeviceRecord() const;

    // Faults and control, at run time.
    void SetFault(int32_t code, const Fault& fault);
    void ClearFaults();
    void SetSilentLogin(bool silent);
    bool silentLogin() const;
    // The fault of a code as it stands (its skip and count as left), without counting a request.
    Fault FaultFor(int32_t code) const;
    // Counts one matching request of the code and returns what it gets: the fault when it fires,
    // otherwise none. Sessions call it once per request.
    Fault TakeFault(int32_t code);

    // The request log and the written records (UnitState::requests, UnitState::written).
    void LogRequest(const RequestLogEntry& entry);
    void ClearRequestLog();

    // Login check. Returns a login status (101, 103, 104, 108, 109); 101 takes a session slot,
    // which ReleaseSession gives back.
    uint32_t Login(const std::string& user, const zqproto::Token& nonce,
                   const zqproto::Token& proof, std::span<const uint8_t> binding);
    void ReleaseSession();

    // What opens (true) and closes (false) the unit's telnet service: called outside the unit's
    // lock by commands 349 and 350 and (closing) by a factory reset; a failed opening makes 349
    // answer "failed" and leaves telnet closed. Set once, before any session is served.
    void SetTelnetSwitch(std::function<bool(bool open)> telnet_switch);

    // Requests of a logged-in session; the result is a zqproto::Result. Set answers kBadSize,
    // and changes nothing, for a record of the wrong length or, for a record that starts with
    // its size (every writable code but 871 and 1015), whose first word is not that size.
    uint32_t DevInfo(std::vector<uint8_t>& out);
    // readBackDiffers: answer the record with one byte of its main field changed.
    uint32_t Query(uint32_t code, uint32_t size, std::vector<uint8_t>& out,
                   bool readBackDiffers = false);
    uint32_t Set(uint32_t code, std::span<const uint8_t> data);
    uint32_t Command(uint32_t command);
    uint32_t Ptz(uint32_t command, std::span<const uint8_t> data);
    void Subscribe(const std::shared_ptr<AlarmSink>& sink);
    void Unsubscribe(const AlarmSink* sink);

    // The lens calibration's capability, time, result and alarm length from now on (a running
    // calibration ends with the new result).
    void SetLensCalibration(const LensCalibration& lens);

    // Counts the previews of the unit (UnitState::streams, previews).
    void StreamStarted();
    void StreamEnded();

    // Runs the unit's timers (the lens calibration). Called by the simulator's loop.
    void Tick();

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kCommandLogSize = 1024;
    static constexpr size_t kRequestLogSize = 1024;
    uint32_t SetRecord(uint32_t code, std::span<const uint8_t> data);
    void LogCommandLocked(uint32_t command);
    void ResetSettingsLocked();
    ZQNetSysParamRecord SystemLocked() const;
    void SetClockLocked(std::time_t utc);
    void EmitCalibrationAlarm(bool running, uint8_t result);

    UnitConfig config_;
    mutable std::mutex mutex_;
    UnitState state_;
    std::map<int32_t, Fault> faults_;
    bool silentLogin_ = false;
    std::time_t clockBase_ = 0;  // the clock's value at clockSetAt_
    Clock::time_point clockSetAt_;
    int wrongPasswords_ = 0;
    Clock::time_point lockedUntil_{};
    Clock::time_point calibrationDone_{};
    std::vector<std::weak_ptr<AlarmSink>> sinks_;
    std::function<bool(bool open)> telnetSwitch_;
};

// One session's protocol state machine: bytes in, frames out.
class UnitSession {
  public:
    // `binding`: the TLS channel binding (32 bytes), empty for a plain session.
    UnitSession(Unit& unit, std::span<const uint8_t> binding, std::function<void()> wake = {});
    ~UnitSession();
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    struct Step {
        int delayMs = 0;  // wait this long, then send `bytes`
        std::vector<uint8_t> bytes;
    };

    // The unit's greeting, sent unasked as soon as a connection is accepted (before a TLS
    // handshake): the login challenge, or nothing from a unit that never answers a login. Call
    // once, before Receive. False when the session must end after the steps (a drop fault).
    bool Greet(std::vector<Step>& steps);

    // Sets the TLS channel binding (32 bytes) once the handshake is done, before the proof comes.
    void Bind(std::span<const uint8_t> binding);

    // Feeds received bytes and appends the answers to `steps`. False when the session must end
    // after the steps have been sent (bad frame, failed login, a drop fault).
    bool Receive(std::span<const uint8_t> bytes, std::vector<Step>& steps);

    // Alarm frames queued for this session since the last call.
    std::vector<std::vector<uint8_t>> TakeAlarms();

    // Live video. The time the next media frame of a stream is due, or nullopt when nothing
    // streams (or the picture is still being encoded: then in a few milliseconds).
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> NextMediaDue() const;
    // Appends the MediaPiece frames of every stream due at `now`. False when the session must
    // end after them (a drop fault).
    bool TakeMedia(Clock::time_point now, std::vector<Step>& steps);

    bool loggedIn() const { return state_ == State::kLoggedIn; }
    const char* error() const { return error_; }

  private:
    enum class State { kAwaitStart, kAwaitProof, kLoggedIn, kSilent, kClosed };
    bool Handle(const zqproto::Message& m, std::vector<Step>& steps);
    bool Fail(const char* why);
    uint32_t StartStream(uint32_t id, const Fault& fault);
    uint32_t StopStream(uint32_t id);

    struct Stream {
        uint32_t id = 0;
        Fault fault;
        uint32_t sent = 0;  // frames begun so far (the next frame number)
        uint32_t keys = 0;  // key frames sent so far
        Clock::time_point due;
        bool stalled = false;
        uint64_t random = 0;  // state of the garbage's generator
    };
    bool SendFrame(Stream& s, const VideoLoop& loop, std::vector<Step>& steps);
    static constexpr size_t kMaxStreams = 4;

    Unit& unit_;
    std::vector<uint8_t> binding_;
    std::shared_ptr<AlarmSink> sink_;
    zqproto::FrameReader reader_;
    State state_ = State::kAwaitStart;
    uint32_t lastSequence_ = 0;
    std::string user_;
    zqproto::Token nonce_{};
    const char* error_ = nullptr;
    std::vector<Stream> streams_;
};

// Text helpers shared by the configuration and the control interface.
bool ParseMac(const std::string& text, uint8_t out[6]);
std::string FormatMac(const uint8_t mac[6]);

}  // namespace unitsim
