// The library's side of the wire protocol (maker/protocol): what it makes of the bytes a unit
// sends. Everything from a unit is treated as hostile: lengths are checked before use, nothing
// is buffered beyond one frame, and nothing is copied beyond the caller's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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
    // Bytes received but not yet taken as a message.
    std::size_t buffered() const { return reader_.buffered(); }

  private:
    zqproto::FrameReader reader_;
    bool bad_ = false;
};

// Puts the MediaPiece frames of one preview stream back together into media frames
// (protocol/media_frame.h). Bounded whatever a unit sends: a frame announced above
// kMaxMediaFrame, a piece that does not continue the frame being put together (out of order, a
// gap, another total, past the end) and a whole frame that is not a well-formed media frame are
// dropped; a piece at offset 0 always starts a new frame. It never holds more than one frame.
class MediaAssembler {
  public:
    // Takes one piece (the frame's total length, the piece's offset in it, its bytes). True when
    // it completed a well-formed media frame; block() holds that frame until the next call.
    bool Add(std::uint32_t total, std::uint32_t offset, std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> block() const { return buffer_; }
    // Frames begun and dropped so far.
    std::size_t dropped() const { return dropped_; }
    // Bytes held for the frame being put together (its reserved room).
    std::size_t held() const { return buffer_.capacity(); }

  private:
    void Drop();

    std::vector<std::uint8_t> buffer_;
    std::uint32_t total_ = 0;
    bool assembling_ = false;
    std::size_t dropped_ = 0;
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
