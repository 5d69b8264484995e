#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <cstring>

namespace zqproto {
namespace {

Message Make(Kind kind, uint32_t sequence, uint32_t code = 0, std::vector<uint8_t> data = {}) {
    Message m;
    m.kind = kind;
    m.sequence = sequence;
    m.code = code;
    m.data = std::move(data);
    return m;
}

// A login proof payload: the user part given, then a 32-byte token.
std::vector<uint8_t> Proof(std::vector<uint8_t> user_part) {
    user_part.resize(user_part.size() + kTokenSize, 0);
    return user_part;
}

bool DecodeAll(const std::vector<uint8_t>& bytes, Message& out) {
    FrameReader reader;
    Frame frame;
    return reader.Feed(bytes) && reader.Next(frame) == FrameReader::Status::kFrame &&
           reader.buffered() == 0 && Decode(frame, out);
}

TEST(Protocol, EveryKindRoundTrips) {
    Token token;
    for (size_t i = 0; i < token.size(); ++i)
        token[i] = static_cast<uint8_t>(i * 7);
    std::vector<Message> cases;
    Message challenge = Make(Kind::kLoginChallenge, 0);
    challenge.token = token;
    cases.push_back(challenge);
    Message proof = Make(Kind::kLoginProof, 1);
    proof.user = "admin";
    proof.token = token;
    cases.push_back(proof);
    Message empty_user = Make(Kind::kLoginProof, 1);
    empty_user.token = token;
    cases.push_back(empty_user);
    Message longest_user = Make(Kind::kLoginProof, 1);
    longest_user.user = std::string(kMaxUserName, 'u');
    longest_user.token = token;
    cases.push_back(longest_user);
    cases.push_back(Make(Kind::kLoginResult, 2, 104));
    cases.push_back(Make(Kind::kGetDevInfo, 3));
    cases.push_back(Make(Kind::kDevInfoReply, 3, kOk, std::vector<uint8_t>(kDeviceInfoSize, 0xA5)));
    Message query = Make(Kind::kQueryParam, 0xFFFFFFFF, 700);
    query.size = 1032;
    cases.push_back(query);
    cases.push_back(Make(Kind::kQueryParamReply, 4, kOk, std::vector<uint8_t>(1032, 1)));
    cases.push_back(Make(Kind::kSetParam, 5, 871, std::vector<uint8_t>(400, 9)));
    cases.push_back(Make(Kind::kSetParamReply, 5, kBadSize));
    cases.push_back(Make(Kind::kSimpleCmd, 6, kCmdTelnetOpen));
    cases.push_back(Make(Kind::kSimpleCmdReply, 6, kOk));
    cases.push_back(Make(Kind::kPtz, 7, kPtzFocusLock, std::vector<uint8_t>(44, 0)));
    cases.push_back(Make(Kind::kPtz, 8, kPtzLensCalibration));
    cases.push_back(Make(Kind::kPtzReply, 8, kFailed));
    cases.push_back(Make(Kind::kAlarmSubscribe, 9, 1));
    cases.push_back(Make(Kind::kAlarmSubscribeReply, 9, kOk));
    cases.push_back(Make(Kind::kAlarm, 0, kAlarmLensCalibration, std::vector<uint8_t>(56, 2)));
    Message preview = Make(Kind::kPreviewStart, 12, 7);
    preview.size = 1;
    cases.push_back(preview);
    cases.push_back(Make(Kind::kPreviewStartReply, 12, kOk));
    cases.push_back(Make(Kind::kPreviewStop, 13, 7));
    cases.push_back(Make(Kind::kPreviewStopReply, 13, kFailed));
    Message piece = Make(Kind::kMediaPiece, 0, 7, std::vector<uint8_t>(kMaxPieceData, 5));
    piece.size = 100000;
    piece.offset = 4084;
    cases.push_back(piece);
    cases.push_back(Make(Kind::kPing, 10));
    cases.push_back(Make(Kind::kPong, 10, kOk));
    cases.push_back(Make(Kind::kSearchProbe, 77));
    cases.push_back(Make(Kind::kSearchAnswer, 77, 0, std::vector<uint8_t>(kDeviceRecordSize, 'x')));
    cases.push_back(Make(Kind::kSetParam, 11, 553, std::vector<uint8_t>(kMaxPayload - 4, 3)));

    for (const Message& m : cases) {
        SCOPED_TRACE(KindName(m.kind));
        std::vector<uint8_t> bytes = Encode(m);
        ASSERT_FALSE(bytes.empty());
        Message back;
        ASSERT_TRUE(DecodeAll(bytes, back));
        EXPECT_EQ(back.kind, m.kind);
        EXPECT_EQ(back.sequence, m.sequence);
        EXPECT_EQ(back.code, m.code);
        EXPECT_EQ(back.size, m.size);
        EXPECT_EQ(back.offset, m.offset);
        EXPECT_EQ(back.user, m.user);
        EXPECT_EQ(back.token, m.token);
        EXPECT_EQ(back.data, m.data);
        Message datagram;
        EXPECT_TRUE(DecodeDatagram(bytes, datagram));
    }
}

TEST(Protocol, MediaFramesTravelInPiecesInOrder) {
    for (size_t size : {size_t{1}, kMaxPieceData, kMaxPieceData + 1, 3 * kMaxPieceData + 17}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> block(size);
        for (size_t i = 0; i < size; ++i)
            block[i] = static_cast<uint8_t>(i * 31 + 7);
        std::vector<std::vector<uint8_t>> frames = EncodeMediaPieces(9, block);
        ASSERT_EQ(frames.size(), (size + kMaxPieceData - 1) / kMaxPieceData);
        std::vector<uint8_t> joined;
        for (const auto& f : frames) {
            Message m;
            ASSERT_TRUE(DecodeAll(f, m));
            EXPECT_EQ(m.kind, Kind::kMediaPiece);
            EXPECT_EQ(m.sequence, 0u);
            EXPECT_EQ(m.code, 9u);
            EXPECT_EQ(m.size, size);
            EXPECT_EQ(m.offset, joined.size());
            EXPECT_LE(f.size(), kHeaderSize + kMaxPayload);
            joined.insert(joined.end(), m.data.begin(), m.data.end());
        }
        EXPECT_EQ(joined, block);
    }
    EXPECT_TRUE(EncodeMediaPieces(9, {}).empty());
    // A piece too short for its three words is not a piece.
    Frame frame;
    frame.kind = Kind::kMediaPiece;
    frame.payload.assign(11, 0);
    Message m;
    EXPECT_FALSE(Decode(frame, m));
}

TEST(Protocol, HeaderIsLittleEndianAndVersioned) {
    Message m = Make(Kind::kSimpleCmd, 0x01020304, 349);
    std::vector<uint8_t> b = Encode(m);
    ASSERT_EQ(b.size(), kHeaderSize + 4);
    const uint8_t expected[] = {'Z', 'Q', 2, 0, 0x13, 0x00, 0,    0,    4, 3,
                                2,   1,   4, 0, 0,    0,    0x5D, 0x01, 0, 0};
    EXPECT_EQ(0, std::memcmp(b.data(), expected, sizeof(expected)));
}

TEST(Protocol, EncodeRefusesWhatDoesNotFit) {
    Message user = Make(Kind::kLoginProof, 1);
    user.user = std::string(kMaxUserName + 1, 'u');
    EXPECT_TRUE(Encode(user).empty());
    EXPECT_TRUE(
        Encode(Make(Kind::kSetParam, 1, 553, std::vector<uint8_t>(kMaxPayload - 3))).empty());
    EXPECT_TRUE(Encode(Make(Kind::kSearchAnswer, 1, 0, std::vector<uint8_t>(447))).empty());
    EXPECT_TRUE(Encode(Make(Kind::kReplyFlag, 1)).empty());
}

TEST(Protocol, ReaderCutsFramesFromAnyChunking) {
    std::vector<uint8_t> stream;
    for (uint32_t i = 1; i <= 5; ++i) {
        std::vector<uint8_t> f = Encode(Make(
            Kind::kQueryParamReply, i, kOk, std::vector<uint8_t>(i * 50, static_cast<uint8_t>(i))));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{16}, size_t{17}, stream.size()}) {
        SCOPED_TRACE(chunk);
        FrameReader reader;
        uint32_t next = 1;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t n = std::min(chunk, stream.size() - at);
            ASSERT_TRUE(reader.Feed(std::span<const uint8_t>(stream.data() + at, n)));
            Frame frame;
            FrameReader::Status s;
            while ((s = reader.Next(frame)) == FrameReader::Status::kFrame) {
                Message m;
                ASSERT_TRUE(Decode(frame, m));
                EXPECT_EQ(m.sequence, next);
                EXPECT_EQ(m.data.size(), next * 50);
                ++next;
            }
            ASSERT_EQ(s, FrameReader::Status::kNeedMore);
        }
        EXPECT_EQ(next, 6u);
        EXPECT_EQ(reader.buffered(), 0u);
    }
}

// Streams that are not this protocol end with an error at the first bad byte, never with a wait
// for bytes that cannot make them valid.
TEST(Protocol, HostileStreamsEndInError) {
    std::vector<uint8_t> good = Encode(Make(Kind::kPing, 1));
    auto with = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> b = good;
        b[at] = value;
        return b;
    };
    std::vector<uint8_t> oversized = Encode(Make(Kind::kSetParam, 1, 553, {}));
    uint32_t big = kMaxPayload + 1;
    std::memcpy(oversized.data() + 12, &big, 4);
    std::vector<uint8_t> huge = oversized;
    uint32_t all = 0xFFFFFFFF;
    std::memcpy(huge.data() + 12, &all, 4);
    std::vector<uint8_t> tls_hello = {0x16, 0x03, 0x01, 0x00, 0xF4, 0x01};
    std::vector<uint8_t> http = {'G', 'E', 'T', ' ', '/', ' '};
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"bad first magic byte", with(0, 'X')},
        {"bad second magic byte", with(1, 'X')},
        {"other version", with(2, 1)},
        {"reserved flags", with(3, 1)},
        {"unknown kind", with(4, 0x7F)},
        {"reply flag alone",
         [&] {
             auto b = good;
             b[4] = 0;
             b[5] = 0x80;
             return b;
         }()},
        {"reserved word", with(6, 1)},
        {"oversized", oversized},
        {"length 0xFFFFFFFF", huge},
        {"TLS hello", tls_hello},
        {"text", http},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameReader reader;
        Frame frame;
        ASSERT_TRUE(reader.Feed(c.bytes));
        EXPECT_EQ(reader.Next(frame), FrameReader::Status::kError);
        EXPECT_NE(reader.error(), nullptr);
        EXPECT_EQ(reader.Next(frame), FrameReader::Status::kError);
        EXPECT_FALSE(reader.Feed(good));
        Message m;
        EXPECT_FALSE(DecodeDatagram(c.bytes, m));
    }
}

TEST(Protocol, ShortFramesWaitAndDoNotDecode) {
    std::vector<uint8_t> f = Encode(Make(Kind::kSetParam, 1, 553, std::vector<uint8_t>(76)));
    for (size_t n = 0; n < f.size(); ++n) {
        FrameReader reader;
        Frame frame;
        ASSERT_TRUE(reader.Feed(std::span<const uint8_t>(f.data(), n)));
        EXPECT_EQ(reader.Next(frame), FrameReader::Status::kNeedMore) << n;
        Message m;
        EXPECT_FALSE(DecodeDatagram(std::span<const uint8_t>(f.data(), n), m)) << n;
    }
}

// A frame whose header is fine but whose payload does not fit its kind's layout.
TEST(Protocol, PayloadLayoutIsCheckedExactly) {
    struct Case {
        const char* name;
        Kind kind;
        std::vector<uint8_t> payload;
        bool ok;
    } cases[] = {
        {"code missing", Kind::kSimpleCmd, {1, 2, 3}, false},
        {"code with trailing byte", Kind::kSimpleCmd, {1, 2, 3, 4, 5}, false},
        {"code exact", Kind::kSimpleCmd, {1, 2, 3, 4}, true},
        {"query without size", Kind::kQueryParam, {1, 2, 3, 4}, false},
        {"ping with payload", Kind::kPing, {0}, false},
        {"user longer than its bytes", Kind::kLoginProof, {40, 'a', 'b'}, false},
        {"user with trailing byte", Kind::kLoginProof, Proof({1, 'a', 'b'}), false},
        {"user exact", Kind::kLoginProof, Proof({1, 'a'}), true},
        {"user over the limit", Kind::kLoginProof,
         [] {
             std::vector<uint8_t> v(65, 'u');
             v[0] = 64;
             return Proof(v);
         }(),
         false},
        {"user with a zero byte", Kind::kLoginProof, Proof({2, 'a', 0}), false},
        {"empty login proof", Kind::kLoginProof, {}, false},
        {"proof token short", Kind::kLoginProof, std::vector<uint8_t>(32), false},
        {"proof token long", Kind::kLoginProof, std::vector<uint8_t>(34), false},
        {"token short", Kind::kLoginChallenge, std::vector<uint8_t>(31), false},
        {"token long", Kind::kLoginChallenge, std::vector<uint8_t>(33), false},
        {"search answer short", Kind::kSearchAnswer, std::vector<uint8_t>(447), false},
        {"search answer long", Kind::kSearchAnswer, std::vector<uint8_t>(449), false},
        {"reply without result", Kind::kSetParamReply, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        frame.kind = c.kind;
        frame.payload = c.payload;
        Message m;
        EXPECT_EQ(Decode(frame, m), c.ok);
    }
}

TEST(Protocol, ReaderRefusesToBufferMoreThanAFrame) {
    std::vector<uint8_t> f =
        Encode(Make(Kind::kSetParam, 1, 871, std::vector<uint8_t>(kMaxPayload - 4)));
    FrameReader reader;
    ASSERT_TRUE(reader.Feed(f));
    ASSERT_TRUE(reader.Feed(std::vector<uint8_t>(1, 'Z')));  // one whole frame plus more
    EXPECT_FALSE(reader.Feed(f));                            // the caller never took the frame out
    Frame frame;
    EXPECT_EQ(reader.Next(frame), FrameReader::Status::kError);
}

TEST(Protocol, LoginProofDependsOnEveryInput) {
    Token nonce{};
    nonce[0] = 1;
    Token other_nonce = nonce;
    other_nonce[31] = 1;
    Token binding{};
    binding[5] = 9;
    Token base, p;
    ASSERT_TRUE(LoginProof("secret", nonce, "admin", {}, base));
    ASSERT_TRUE(LoginProof("secret", nonce, "admin", {}, p));
    EXPECT_TRUE(TokensEqual(base, p));
    ASSERT_TRUE(LoginProof("Secret", nonce, "admin", {}, p));
    EXPECT_FALSE(TokensEqual(base, p));
    ASSERT_TRUE(LoginProof("secret", other_nonce, "admin", {}, p));
    EXPECT_FALSE(TokensEqual(base, p));
    ASSERT_TRUE(LoginProof("secret", nonce, "admin2", {}, p));
    EXPECT_FALSE(TokensEqual(base, p));
    ASSERT_TRUE(LoginProof("secret", nonce, "admin", binding, p));
    EXPECT_FALSE(TokensEqual(base, p));
    ASSERT_TRUE(LoginProof("", nonce, "admin", {}, p));
    EXPECT_FALSE(TokensEqual(base, p));
    // The proof does not contain the password in any readable form.
    std::string bytes(base.begin(), base.end());
    EXPECT_EQ(bytes.find("secret"), std::string::npos);
    Token a{}, b{};
    ASSERT_TRUE(RandomToken(a));
    ASSERT_TRUE(RandomToken(b));
    EXPECT_FALSE(TokensEqual(a, b));
}

TEST(Protocol, ParamTableCoversEveryCode) {
    struct Case {
        uint32_t code, size;
        bool query, write;
    } cases[] = {{400, 116, true, false}, {401, 116, false, true}, {524, 160, true, true},
                 {553, 76, true, true},   {582, 32, true, true},   {588, 28, false, true},
                 {700, 1032, true, true}, {803, 200, true, false}, {871, 400, false, true},
                 {1015, 80, true, true}};
    for (const Case& c : cases) {
        const ParamInfo* p = FindParam(c.code);
        ASSERT_NE(p, nullptr) << c.code;
        EXPECT_EQ(p->size, c.size);
        EXPECT_EQ(p->query, c.query);
        EXPECT_EQ(p->write, c.write);
        EXPECT_LE(p->size + 8, kMaxPayload);
    }
    EXPECT_EQ(Params().size(), std::size(cases));
    EXPECT_EQ(FindParam(216), nullptr);
}

}  // namespace
}  // namespace zqproto
