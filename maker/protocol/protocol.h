// The wire protocol between libZQNet (the station side) and a unit, version 2.
// README.md beside this file describes it byte by byte; this header is its only encoder and
// decoder, shared by both sides.
//
// What a caller may rely on:
// - No function throws, allocates without bound or reads outside the bytes it is given. Every
//   decoder checks lengths first and answers false (or an error status) for anything that is not
//   exactly a well-formed frame of this version.
// - A frame's payload never exceeds kMaxPayload; FrameReader buffers at most one frame plus the
//   bytes of one Feed() call.
// - Everything is plain data and thread-compatible: one object per thread, no shared state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ssl_st;

namespace zqproto {

inline constexpr uint8_t kMagic0 = 'Z';
inline constexpr uint8_t kMagic1 = 'Q';
inline constexpr uint8_t kVersion = 2;
inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kMaxPayload = 4096;
inline constexpr size_t kMaxUserName = 63;
inline constexpr size_t kTokenSize = 32;
inline constexpr size_t kDeviceRecordSize = 448;
inline constexpr size_t kDeviceInfoSize = 1232;

// Default ports of a unit, on its own address.
inline constexpr uint16_t kMediaPort = 34567;   // TCP: sessions (plain or TLS 1.3)
inline constexpr uint16_t kSearchPort = 34569;  // UDP: search probes and answers

// Frame kinds. A reply has the kind of its request with bit 15 set and the request's sequence.
enum class Kind : uint16_t {
    kLoginProof = 0x0002,      // station: user name, proof of the password for the challenge
    kGetDevInfo = 0x0010,      // station: no payload
    kQueryParam = 0x0011,      // station: code, largest size the station takes
    kSetParam = 0x0012,        // station: code, record bytes
    kSimpleCmd = 0x0013,       // station: command code
    kPtz = 0x0014,             // station: PTZ command, record bytes (may be empty)
    kAlarmSubscribe = 0x0015,  // station: 1 subscribe, 0 unsubscribe
    kPreviewStart = 0x0016,    // station: stream id, stream kind
    kPreviewStop = 0x0017,     // station: stream id
    kPing = 0x0020,            // station: no payload
    kSearchProbe = 0x0100,     // station, UDP: no payload; sequence = search id

    kReplyFlag = 0x8000,
    kLoginChallenge = 0x8001,       // unit, unasked on accept, sequence 0: 32-byte nonce
    kLoginResult = 0x8002,          // unit: login status (101, 103, 104, 108, 109)
    kDevInfoReply = 0x8010,         // unit: result, 1232-byte device-information record
    kQueryParamReply = 0x8011,      // unit: result, record bytes
    kSetParamReply = 0x8012,        // unit: result
    kSimpleCmdReply = 0x8013,       // unit: result
    kPtzReply = 0x8014,             // unit: result
    kAlarmSubscribeReply = 0x8015,  // unit: result
    kPreviewStartReply = 0x8016,    // unit: result
    kPreviewStopReply = 0x8017,     // unit: result
    kPong = 0x8020,                 // unit: result
    kSearchAnswer = 0x8100,         // unit, UDP: the 448-byte device record

    kAlarm = 0x4001,       // unit, unsolicited, sequence 0: alarm type, alarm bytes
    kMediaPiece = 0x4002,  // unit, unsolicited, sequence 0: stream id, total, offset, bytes
};

// Result of a reply (the first word of every reply payload after login).
enum Result : uint32_t {
    kOk = 0,
    kFailed = 1,       // the unit could not do it
    kUnknownCode = 2,  // no such parameter, command or PTZ code on this unit
    kBadSize = 3,      // the record has the wrong size for its code
    kNotLoggedIn = 4,  // request before a successful login
    kUnsupported = 5,  // a request kind this unit does not serve
};

using Token = std::array<uint8_t, kTokenSize>;

// The parameter codes of this version and the size of their records. A write must carry exactly
// `size` bytes, except for a variable record, which carries 1 to `size` bytes.
struct ParamInfo {
    uint32_t code;
    uint32_t size;
    bool query;     // kQueryParam serves it
    bool write;     // kSetParam takes it
    bool variable;  // the size is a maximum
};
// The entry for a code, or nullptr for a code this version does not define.
const ParamInfo* FindParam(uint32_t code);
// Every entry, in code order.
std::span<const ParamInfo> Params();

// Commands (kSimpleCmd), PTZ commands (kPtz) and alarm types (kAlarm) of this version.
inline constexpr uint32_t kCmdTelnetOpen = 349;
inline constexpr uint32_t kCmdTelnetClose = 350;
inline constexpr uint32_t kCmdConsoleOpen = 351;
inline constexpr uint32_t kCmdConsoleClose = 352;
inline constexpr uint32_t kPtzFocusLock = 96;  // with 44 bytes
inline constexpr uint32_t kPtzFocusLockSize = 44;
inline constexpr uint32_t kPtzLensCalibration = 108;    // with no bytes
inline constexpr uint32_t kAlarmLensCalibration = 253;  // 56 bytes: [24] running, [25] result
inline constexpr uint32_t kLensCalibrationAlarmSize = 56;

// Live preview: a media frame (media_frame.h) travels as MediaPiece frames of at most
// kMaxPieceData bytes each, in order, the first at offset 0.
inline constexpr size_t kMaxPieceData = kMaxPayload - 12;

// One decoded message. Which members a kind uses:
//   kLoginChallenge: token. kLoginProof: user, token. kLoginResult: code = status.
//   kQueryParam: code, size. kSetParam, kPtz: code, data. kSimpleCmd, kAlarmSubscribe: code.
//   kGetDevInfo, kPing, kSearchProbe: nothing. Replies other than login: code = result, data.
//   kAlarm: code = alarm type, data. kSearchAnswer: data (exactly 448 bytes).
//   kPreviewStart: code = stream id, size = stream kind. kPreviewStop: code = stream id.
//   kMediaPiece: code = stream id, size = the whole media frame's length, offset = where this
//   piece's data starts in it, data = the piece.
struct Message {
    Kind kind = Kind::kPing;
    uint32_t sequence = 0;
    uint32_t code = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
    std::string user;
    Token token{};
    std::vector<uint8_t> data;
};

// A frame as cut from the stream: header fields and raw payload.
struct Frame {
    Kind kind = Kind::kPing;
    uint32_t sequence = 0;
    std::vector<uint8_t> payload;
};

// True for the kinds this version defines.
bool IsKnownKind(uint16_t kind);
bool IsReply(Kind kind);
const char* KindName(Kind kind);

// Encodes a message into one frame (header + payload). Empty when the message does not fit its
// kind's layout (payload over kMaxPayload, user name over kMaxUserName, search answer not 448).
std::vector<uint8_t> Encode(const Message& message);

// Decodes a frame's payload by its kind's layout; false when it does not fit exactly.
bool Decode(const Frame& frame, Message& message);

// The MediaPiece frames (sequence 0) that carry one media frame `block` of stream `stream`:
// pieces of kMaxPieceData bytes, the last one shorter. Empty for an empty block or one above
// 4 GiB.
std::vector<std::vector<uint8_t>> EncodeMediaPieces(uint32_t stream,
                                                    std::span<const uint8_t> block);

// Decodes one whole datagram (UDP): exactly one frame, nothing after it.
bool DecodeDatagram(std::span<const uint8_t> datagram, Message& message);

// Cuts frames out of a byte stream.
class FrameReader {
  public:
    enum class Status { kFrame, kNeedMore, kError };

    // Appends received bytes. False (and the reader is in error) when more than one frame's worth
    // is buffered; call Next() until kNeedMore after every Feed().
    bool Feed(std::span<const uint8_t> bytes);

    // kFrame: `frame` holds the next frame. kNeedMore: wait for more bytes. kError: the stream is
    // not this protocol (bad magic or version, unknown kind, payload over kMaxPayload, reserved
    // bytes not zero); error() says why. The reader stays in error.
    Status Next(Frame& frame);

    const char* error() const { return error_; }
    size_t buffered() const { return buffer_.size() - start_; }

  private:
    Status Fail(const char* why);

    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    const char* error_ = nullptr;
};

// The login proof: HMAC-SHA256 keyed with the password over a fixed label, the unit's nonce, the
// user name and the session's channel binding (32 bytes exported from TLS, or empty for a plain
// session). Both sides compute it; only the proof crosses the wire. False (and `proof` zero) only
// when the crypto library fails; a caller then treats the login as failed.
bool LoginProof(std::string_view password, const Token& nonce, std::string_view user,
                std::span<const uint8_t> binding, Token& proof);

// Constant-time comparison of two tokens.
bool TokensEqual(const Token& a, const Token& b);

// Fills a token from the system's secure random source; false if that fails.
bool RandomToken(Token& token);

// The channel binding of a TLS session (exported keying material, label "EXPORTER-ZQNP-login").
// False when the session cannot export it.
bool TlsChannelBinding(ssl_st* ssl, Token& binding);

}  // namespace zqproto
