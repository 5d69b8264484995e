// The library's side of the wire protocol (maker/protocol): what it makes of the bytes a unit
// sends. Everything from a unit is treated as hostile: lengths are checked before use, nothing
// is buffered beyond one frame, and nothing is copied beyond the caller's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/ZQNet.h"
#include "protocol/protocol.h"

namespace zqnet {

// Cuts the byte stream of a session into decoded messages.
class Inbound {
  public:
    enum Result { kMessage, kNeedMore, kBad };
    // Appends received bytes; call Next until kNeedMore after each Feed.
    void Feed(const std::uint8_t* data, std::size_t size);
    // kMessage: *message holds the next message. kBad: the stream is not our protocol or a
    // payload does not fit its kind; the session must end. The reader stays bad.
    Result Next(zqproto::Message* message);

  private:
    zqproto::FrameReader reader_;
    bool bad_ = false;
};

// True when a reply says the unit did what was asked.
bool ReplySucceeded(const zqproto::Message& reply);

// Copies a reply's data into a caller's buffer, never more than `size` bytes; returns the count.
std::size_t CopyReplyData(const zqproto::Message& reply, void* buffer, std::size_t size);

// Takes a search answer datagram apart; false when it is not an answer to search `search_id`.
// Every text of the record is zero-terminated within its field afterwards.
bool DecodeSearchAnswer(const std::uint8_t* data, std::size_t size, std::uint32_t search_id,
                        ZQNetDeviceRecord* record);

}  // namespace zqnet
