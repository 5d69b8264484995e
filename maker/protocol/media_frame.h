// One block of live preview data: a media frame as a unit sends it and as libZQNet hands it to
// the preview's data callback (and so to ZQPlayInputNetFrame). Shared by the unit simulator,
// libZQNet and libZQPlay; the protocol's README describes it byte by byte.
//
// Layout, little-endian, 32-byte header then the payload:
//   0  4  magic "ZQMF"
//   4  2  version (1)
//   6  2  codec (1: H.264 Annex B access unit; key frames carry SPS and PPS before the IDR)
//   8  4  picture width in pixels
//  12  4  picture height in pixels
//  16  4  flags (bit 0: key frame)
//  20  4  frame number (counts up from 0 per preview)
//  24  8  capture time: microseconds since 1970-01-01 UTC on the unit's clock
//  32  …  payload, the rest of the block
//
// What a caller may rely on: ParseMediaFrame reads only the bytes it is given and accepts only a
// header of this version with a non-empty payload and a picture of at most kMaxMediaPixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace zqproto {

inline constexpr size_t kMediaHeaderSize = 32;
inline constexpr uint16_t kMediaVersion = 1;
inline constexpr uint16_t kCodecH264 = 1;
inline constexpr uint32_t kMediaKeyFrame = 1;
inline constexpr uint32_t kMaxMediaSide = 8192;
inline constexpr uint64_t kMaxMediaPixels = 3840ull * 2160ull * 2;  // 16.6 million
inline constexpr size_t kMaxMediaFrame = 8u << 20;                  // header and payload

struct MediaFrame {
    uint16_t codec = kCodecH264;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t flags = 0;
    uint32_t number = 0;
    uint64_t capture_us = 0;
    std::span<const uint8_t> payload;  // points into the parsed block
};

namespace media_detail {
inline void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline uint64_t Get(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}
}  // namespace media_detail

// The block for `frame` (its payload appended after the header).
inline std::vector<uint8_t> BuildMediaFrame(const MediaFrame& frame) {
    using media_detail::Put;
    std::vector<uint8_t> out;
    out.reserve(kMediaHeaderSize + frame.payload.size());
    Put(out, 0x464D515Au, 4);  // "ZQMF"
    Put(out, kMediaVersion, 2);
    Put(out, frame.codec, 2);
    Put(out, frame.width, 4);
    Put(out, frame.height, 4);
    Put(out, frame.flags, 4);
    Put(out, frame.number, 4);
    Put(out, frame.capture_us, 8);
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    return out;
}

// Reads a block; false for anything that is not a well-formed media frame within the limits.
inline bool ParseMediaFrame(std::span<const uint8_t> block, MediaFrame& frame) {
    using media_detail::Get;
    if (block.size() <= kMediaHeaderSize || block.size() > kMaxMediaFrame)
        return false;
    const uint8_t* p = block.data();
    if (std::memcmp(p, "ZQMF", 4) != 0 || Get(p + 4, 2) != kMediaVersion)
        return false;
    frame.codec = static_cast<uint16_t>(Get(p + 6, 2));
    frame.width = static_cast<uint32_t>(Get(p + 8, 4));
    frame.height = static_cast<uint32_t>(Get(p + 12, 4));
    frame.flags = static_cast<uint32_t>(Get(p + 16, 4));
    frame.number = static_cast<uint32_t>(Get(p + 20, 4));
    frame.capture_us = Get(p + 24, 8);
    if (frame.codec != kCodecH264 || frame.width == 0 || frame.height == 0 ||
        frame.width > kMaxMediaSide || frame.height > kMaxMediaSide ||
        uint64_t{frame.width} * frame.height > kMaxMediaPixels)
        return false;
    frame.payload = block.subspan(kMediaHeaderSize);
    return true;
}

}  // namespace zqproto
