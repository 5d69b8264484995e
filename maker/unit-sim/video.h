// The simulated cameras' live video: a synthetic fisheye picture (dark outside the image circle,
// a lit textured disc inside it) with a moving clock (a sweeping hand and the loop's time in
// digits), encoded with libavcodec + libx264 as H.264 Annex B access units.
//
// A camera does not encode while it streams: a short loop (two seconds) is encoded once per
// picture (size, circle, frame rate), shared by every unit and session of the process, and
// streamed over and over with fresh frame numbers and time stamps. The loop starts with a key
// frame and has one every second; every key frame carries SPS and PPS before its IDR slice, so a
// decoder can start at any of them. Consecutive frames of the loop, the last followed by the
// first, decode cleanly.
//
// What a caller may rely on: every function is thread-safe and never throws. Failures (a picture
// the encoder cannot take, no libx264) give null or false with a message.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace unitsim {

struct PictureLook {
    int width = 1280;   // even, 16 to 8192
    int height = 960;   // even, 16 to 8192
    int centerX = 640;  // the image circle, in picture pixels (may lie partly or wholly outside)
    int centerY = 480;
    int radius = 460;
    int frameRate = 25;  // 1 to 60
    auto operator<=>(const PictureLook&) const = default;
};

struct VideoFrame {
    bool key = false;           // an IDR access unit with SPS and PPS before it
    std::vector<uint8_t> data;  // one H.264 Annex B access unit
};

struct VideoLoop {
    PictureLook look;
    std::vector<VideoFrame> frames;  // 2 * frameRate frames; frames[0] is a key frame
};

// Encodes `count` frames of the picture (count a multiple of the frame rate, at least one
// second). False with a message when the picture or the encoder is unusable.
bool EncodeLoop(const PictureLook& look, int count, VideoLoop& loop, std::string& error);

// The shared two-second loop of a picture, or null while it is being encoded (the first call
// starts the encoding on a thread of its own) or when it cannot be encoded (`failed` is set).
std::shared_ptr<const VideoLoop> TryLoop(const PictureLook& look, bool* failed = nullptr);

// The same, waiting for the encoding to end. Null when it failed.
std::shared_ptr<const VideoLoop> WaitLoop(const PictureLook& look);

// The access unit `frame` with its SPS replaced by one that announces a picture of
// width x height (multiples of 16), for tests of what a decoder makes of an absurd size. The
// frame itself is unchanged when it has no SPS.
std::vector<uint8_t> WithPictureSize(std::span<const uint8_t> frame, int width, int height);

}  // namespace unitsim
