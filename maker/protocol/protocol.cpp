#include "protocol.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

namespace zqproto {
namespace {

constexpr char kProofLabel[] = "ZQNP2 login";
constexpr char kExporterLabel[] = "EXPORTER-ZQNP-login";

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The payload layouts: which parts a kind carries, in this order.
enum Layout : unsigned {
    kNone = 0,
    kUser = 1,     // u8 length + bytes
    kToken = 2,    // 32 bytes
    kCode = 4,     // u32
    kSize = 8,     // u32
    kData = 16,    // the rest (possibly empty)
    kRecord = 32,  // the rest, exactly 448 bytes
    kOffset = 64,  // u32, after the size
};

bool LayoutOf(Kind kind, unsigned& layout) {
    switch (kind) {
        case Kind::kLoginChallenge:
            layout = kToken;
            return true;
        case Kind::kLoginProof:
            layout = kUser | kToken;
            return true;
        case Kind::kLoginResult:
        case Kind::kSimpleCmd:
        case Kind::kAlarmSubscribe:
        case Kind::kPreviewStop:
            layout = kCode;
            return true;
        case Kind::kQueryParam:
        case Kind::kPreviewStart:
            layout = kCode | kSize;
            return true;
        case Kind::kMediaPiece:
            layout = kCode | kSize | kOffset | kData;
            return true;
        case Kind::kSetParam:
        case Kind::kPtz:
        case Kind::kAlarm:
        case Kind::kDevInfoReply:
        case Kind::kQueryParamReply:
        case Kind::kSetParamReply:
        case Kind::kSimpleCmdReply:
        case Kind::kPtzReply:
        case Kind::kAlarmSubscribeReply:
        case Kind::kPreviewStartReply:
        case Kind::kPreviewStopReply:
        case Kind::kPong:
            layout = kCode | kData;
            return true;
        case Kind::kGetDevInfo:
        case Kind::kPing:
        case Kind::kSearchProbe:
            layout = kNone;
            return true;
        case Kind::kSearchAnswer:
            layout = kRecord;
            return true;
        case Kind::kReplyFlag:
            break;
    }
    return false;
}

constexpr ParamInfo kParams[] = {
    {400, 116, true, false, false},  // MAC record, read
    {401, 116, false, true, false},  // MAC record, write
    {524, 160, true, true, false},   // system parameters (running clock)
    {553, 76, true, true, false},    // key record
    {582, 32, true, true, false},    // board record
    {588, 28, false, true, false},   // factory reset
    {700, 1032, true, true, false},  // extended device record (masked write)
    {803, 200, true, false, false},  // focus record
    {871, 400, false, true, true},   // lens file
    {1015, 80, true, true, false},   // fisheye block
};

}  // namespace

const ParamInfo* FindParam(uint32_t code) {
    for (const ParamInfo& p : kParams) {
        if (p.code == code)
            return &p;
    }
    return nullptr;
}

std::span<const ParamInfo> Params() {
    return kParams;
}

bool IsKnownKind(uint16_t kind) {
    unsigned layout = 0;
    return LayoutOf(static_cast<Kind>(kind), layout);
}

bool IsReply(Kind kind) {
    return (static_cast<uint16_t>(kind) & 0x8000) != 0;
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kLoginProof:
            return "LoginProof";
        case Kind::kGetDevInfo:
            return "GetDevInfo";
        case Kind::kQueryParam:
            return "QueryParam";
        case Kind::kSetParam:
            return "SetParam";
        case Kind::kSimpleCmd:
            return "SimpleCmd";
        case Kind::kPtz:
            return "Ptz";
        case Kind::kAlarmSubscribe:
            return "AlarmSubscribe";
        case Kind::kPreviewStart:
            return "PreviewStart";
        case Kind::kPreviewStop:
            return "PreviewStop";
        case Kind::kPing:
            return "Ping";
        case Kind::kSearchProbe:
            return "SearchProbe";
        case Kind::kReplyFlag:
            return "?";
        case Kind::kLoginChallenge:
            return "LoginChallenge";
        case Kind::kLoginResult:
            return "LoginResult";
        case Kind::kDevInfoReply:
            return "DevInfoReply";
        case Kind::kQueryParamReply:
            return "QueryParamReply";
        case Kind::kSetParamReply:
            return "SetParamReply";
        case Kind::kSimpleCmdReply:
            return "SimpleCmdReply";
        case Kind::kPtzReply:
            return "PtzReply";
        case Kind::kAlarmSubscribeReply:
            return "AlarmSubscribeReply";
        case Kind::kPreviewStartReply:
            return "PreviewStartReply";
        case Kind::kPreviewStopReply:
            return "PreviewStopReply";
        case Kind::kMediaPiece:
            return "MediaPiece";
        case Kind::kPong:
            return "Pong";
        case Kind::kSearchAnswer:
            return "SearchAnswer";
        case Kind::kAlarm:
            return "Alarm";
    }
    return "?";
}

std::vector<uint8_t> Encode(const Message& message) {
    unsigned layout = 0;
    if (!LayoutOf(message.kind, layout))
        return {};
    std::vector<uint8_t> payload;
    if (layout & kUser) {
        if (message.user.size() > kMaxUserName)
            return {};
        payload.push_back(static_cast<uint8_t>(message.user.size()));
        payload.insert(payload.end(), message.user.begin(), message.user.end());
    }
    if (layout & kToken)
        payload.insert(payload.end(), message.token.begin(), message.token.end());
    if (layout & kCode)
        PutU32(payload, message.code);
    if (layout & kSize)
        PutU32(payload, message.size);
    if (layout & kOffset)
        PutU32(payload, message.offset);
    if (layout & kRecord) {
        if (message.data.size() != kDeviceRecordSize)
            return {};
        payload.insert(payload.end(), message.data.begin(), message.data.end());
    }
    if (layout & kData)
        payload.insert(payload.end(), message.data.begin(), message.data.end());
    if (payload.size() > kMaxPayload)
        return {};

    std::vector<uint8_t> frame;
    frame.reserve(kHeaderSize + payload.size());
    frame.push_back(kMagic0);
    frame.push_back(kMagic1);
    frame.push_back(kVersion);
    frame.push_back(0);
    PutU16(frame, static_cast<uint16_t>(message.kind));
    PutU16(frame, 0);
    PutU32(frame, message.sequence);
    PutU32(frame, static_cast<uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

bool Decode(const Frame& frame, Message& message) {
    unsigned layout = 0;
    if (!LayoutOf(frame.kind, layout))
        return false;
    const std::vector<uint8_t>& p = frame.payload;
    if (p.size() > kMaxPayload)
        return false;
    Message m;
    m.kind = frame.kind;
    m.sequence = frame.sequence;
    size_t at = 0;
    if (layout & kUser) {
        if (p.size() < 1)
            return false;
        size_t n = p[0];
        if (n > kMaxUserName || p.size() - 1 < n)
            return false;
        m.user.assign(reinterpret_cast<const char*>(p.data() + 1), n);
        if (m.user.find('\0') != std::string::npos)
            return false;
        at = 1 + n;
    }
    if (layout & kToken) {
        if (p.size() - at < kTokenSize)
            return false;
        std::memcpy(m.token.data(), p.data() + at, kTokenSize);
        at += kTokenSize;
    }
    if (layout & kCode) {
        if (p.size() - at < 4)
            return false;
        m.code = GetU32(p.data() + at);
        at += 4;
    }
    if (layout & kSize) {
        if (p.size() - at < 4)
            return false;
        m.size = GetU32(p.data() + at);
        at += 4;
    }
    if (layout & kOffset) {
        if (p.size() - at < 4)
            return false;
        m.offset = GetU32(p.data() + at);
        at += 4;
    }
    if (layout & kRecord) {
        if (p.size() - at != kDeviceRecordSize)
            return false;
    }
    if (layout & (kData | kRecord)) {
        m.data.assign(p.begin() + static_cast<std::ptrdiff_t>(at), p.end());
        at = p.size();
    }
    if (at != p.size())
        return false;
    message = std::move(m);
    return true;
}

std::vector<std::vector<uint8_t>> EncodeMediaPieces(uint32_t stream,
                                                    std::span<const uint8_t> block) {
    std::vector<std::vector<uint8_t>> frames;
    if (block.empty() || block.size() > UINT32_MAX)
        return frames;
    Message m;
    m.kind = Kind::kMediaPiece;
    m.code = stream;
    m.size = static_cast<uint32_t>(block.size());
    for (size_t at = 0; at < block.size(); at += kMaxPieceData) {
        const size_t n = std::min(kMaxPieceData, block.size() - at);
        m.offset = static_cast<uint32_t>(at);
        m.data.assign(block.begin() + static_cast<std::ptrdiff_t>(at),
                      block.begin() + static_cast<std::ptrdiff_t>(at + n));
        frames.push_back(Encode(m));
    }
    return frames;
}

bool DecodeDatagram(std::span<const uint8_t> datagram, Message& message) {
    FrameReader reader;
    if (datagram.size() > kHeaderSize + kMaxPayload || !reader.Feed(datagram))
        return false;
    Frame frame;
    if (reader.Next(frame) != FrameReader::Status::kFrame || reader.buffered() != 0)
        return false;
    return Decode(frame, message);
}

bool FrameReader::Feed(std::span<const uint8_t> bytes) {
    if (error_)
        return false;
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    // One whole frame may be waiting, plus whatever arrived with this call.
    if (buffer_.size() > kHeaderSize + kMaxPayload) {
        Fail("more than one frame buffered");
        return false;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

FrameReader::Status FrameReader::Fail(const char* why) {
    error_ = why;
    buffer_.clear();
    start_ = 0;
    return Status::kError;
}

FrameReader::Status FrameReader::Next(Frame& frame) {
    if (error_)
        return Status::kError;
    const size_t avail = buffer_.size() - start_;
    const uint8_t* h = buffer_.data() + start_;
    // Check what has arrived of the header at once, so garbage ends the stream early.
    if (avail >= 1 && h[0] != kMagic0)
        return Fail("bad magic");
    if (avail >= 2 && h[1] != kMagic1)
        return Fail("bad magic");
    if (avail >= 3 && h[2] != kVersion)
        return Fail("unsupported version");
    if (avail >= 4 && h[3] != 0)
        return Fail("reserved header byte not zero");
    if (avail < kHeaderSize)
        return Status::kNeedMore;
    const uint16_t kind = GetU16(h + 4);
    if (!IsKnownKind(kind))
        return Fail("unknown frame kind");
    if (GetU16(h + 6) != 0)
        return Fail("reserved header bytes not zero");
    const uint32_t length = GetU32(h + 12);
    if (length > kMaxPayload)
        return Fail("frame too long");
    if (avail - kHeaderSize < length)
        return Status::kNeedMore;
    frame.kind = static_cast<Kind>(kind);
    frame.sequence = GetU32(h + 8);
    frame.payload.assign(h + kHeaderSize, h + kHeaderSize + length);
    start_ += kHeaderSize + length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return Status::kFrame;
}

bool LoginProof(std::string_view password, const Token& nonce, std::string_view user,
                std::span<const uint8_t> binding, Token& proof) {
    std::vector<uint8_t> text;
    text.insert(text.end(), kProofLabel, kProofLabel + sizeof(kProofLabel) - 1);
    text.insert(text.end(), nonce.begin(), nonce.end());
    text.push_back(static_cast<uint8_t>(user.size() > 255 ? 255 : user.size()));
    text.insert(text.end(), user.begin(), user.end());
    text.insert(text.end(), binding.begin(), binding.end());
    proof.fill(0);
    unsigned int length = 0;
    // An empty password is a valid key; HMAC needs a non-null pointer for it.
    static const uint8_t kEmpty = 0;
    const void* key = password.empty() ? static_cast<const void*>(&kEmpty) : password.data();
    if (!HMAC(EVP_sha256(), key, static_cast<int>(password.size()), text.data(), text.size(),
              proof.data(), &length) ||
        length != proof.size()) {
        proof.fill(0);
        return false;
    }
    return true;
}

bool TokensEqual(const Token& a, const Token& b) {
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool RandomToken(Token& token) {
    return RAND_bytes(token.data(), static_cast<int>(token.size())) == 1;
}

bool TlsChannelBinding(ssl_st* ssl, Token& binding) {
    if (!ssl)
        return false;
    return SSL_export_keying_material(ssl, binding.data(), binding.size(), kExporterLabel,
                                      sizeof(kExporterLabel) - 1, nullptr, 0, 0) == 1;
}

}  // namespace zqproto
