// The library's side of the wire protocol (maker/protocol): frames in a byte stream and the
// bodies of the requests, replies and alarms the library exchanges with a unit.
//
// Everything here treats what comes from a unit as hostile: lengths are checked before use and
// nothing is allocated beyond the protocol's largest frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zqnet {

struct Frame {
    std::uint16_t kind = 0;
    std::uint32_t seq = 0;
    std::vector<std::uint8_t> body;
};

// Cuts a byte stream into frames.
class FrameReader {
public:
    enum Result { kNeedMore, kFrame, kBad };
    void Feed(const std::uint8_t* data, std::size_t size);
    // kFrame: *frame holds the next frame. kBad: the stream is not our protocol (or a frame is
    // too large); the reader stays bad.
    Result Next(Frame* frame);

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    bool bad_ = false;
};

std::vector<std::uint8_t> EncodeFrame(std::uint16_t kind, std::uint32_t seq,
                                      const std::vector<std::uint8_t>& body);

}  // namespace zqnet

namespace zqnet {

// A request as it goes out: frame kind and body (the sequence number is added on sending).
struct Request {
    std::uint16_t kind = 0;
    std::vector<std::uint8_t> body;
};

Request DevInfoRequest();
Request QueryRequest(std::int32_t code, std::int32_t size, bool temporary);
Request SetRequest(std::int32_t code, const void* data, std::size_t size);
Request CommandRequest(std::int32_t command);
Request PtzRequest(std::int32_t command, const void* record, std::size_t size);
Request AlarmSubscribeRequest(bool subscribe);

// The frame kind that answers a request kind.
std::uint16_t ReplyKindOf(std::uint16_t request_kind);

// A reply's outcome: true when the unit did what was asked; *data and *size then name the
// reply's data (inside frame.body; empty when there is none).
bool ReplySucceeded(const Frame& reply, const std::uint8_t** data, std::size_t* size);

// Alarms the unit sends on its own (after an alarm subscription).
bool IsAlarm(const Frame& frame);
bool DecodeAlarm(const Frame& frame, std::int32_t* type, const std::uint8_t** data,
                 std::size_t* size);

// The largest body a request may carry (a caller's larger buffer is refused, not cut).
std::size_t MaxRequestBody();

}  // namespace zqnet

struct ZQNetDeviceRecord;

namespace zqnet {

// The UDP port units answer search probes on.
std::uint16_t DefaultSearchPort();

// The datagram of one search probe; `token` comes back in each answer.
std::vector<std::uint8_t> SearchProbe(std::uint32_t token);

// Takes a search answer apart; false when the datagram is not an answer to `token`. Every text
// of the record is zero-terminated within its field afterwards.
bool DecodeSearchAnswer(const std::uint8_t* data, std::size_t size, std::uint32_t token,
                        ZQNetDeviceRecord* record);

}  // namespace zqnet
