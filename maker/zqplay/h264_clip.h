// Short H.264 clips for tests and benchmarks, made by the `ffmpeg` program (libx264) from one of
// its test sources and cut into access units, each wrapped in a media frame as a unit sends it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/media_frame.h"

namespace zqplay_clip {

struct AccessUnit {
    std::vector<uint8_t> bytes;  // Annex B, starting with its access unit delimiter
    bool key = false;
};

// Cuts an Annex B stream made with access unit delimiters (each behind a 4-byte start code)
// into access units; empty when the stream does not start with one.
inline std::vector<AccessUnit> SplitAccessUnits(const std::vector<uint8_t>& stream) {
    auto start_code = [&](std::size_t k) {
        return k + 3 < stream.size() && stream[k] == 0 && stream[k + 1] == 0 && stream[k + 2] == 1;
    };
    std::vector<std::size_t> starts;
    for (std::size_t k = 1; k + 3 < stream.size(); ++k) {
        if (start_code(k) && stream[k - 1] == 0 && (stream[k + 3] & 0x1f) == 9)
            starts.push_back(k - 1);
    }
    if (starts.empty() || starts[0] != 0)
        return {};
    std::vector<AccessUnit> units(starts.size());
    for (std::size_t u = 0; u < starts.size(); ++u) {
        const std::size_t end = u + 1 < starts.size() ? starts[u + 1] : stream.size();
        units[u].bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(starts[u]),
                              stream.begin() + static_cast<std::ptrdiff_t>(end));
        for (std::size_t k = starts[u]; k < end; ++k) {
            if (start_code(k) && (stream[k + 3] & 0x1f) == 5)
                units[u].key = true;
        }
    }
    return units;
}

// Encodes `frames` pictures of the lavfi source `source` (for example
// "testsrc=size=320x240:rate=25") with a key frame every `gop` pictures and returns the raw
// stream, or an empty one when ffmpeg failed. `quality` is x264's constant rate factor.
inline std::vector<uint8_t> EncodeStream(const std::string& source, int frames, int gop,
                                         int quality = 18,
                                         const std::string& preset = "ultrafast") {
    char path[] = "/tmp/zqplay_clip_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return {};
    close(fd);
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i '" + source + "' -frames:v " +
        std::to_string(frames) + " -pix_fmt yuv420p -c:v libx264 -preset " + preset +
        " -tune zerolatency -crf " + std::to_string(quality) + " -g " + std::to_string(gop) +
        " -bf 0 -x264-params repeat-headers=1 -bsf:v h264_metadata=aud=insert -f h264 -y " + path;
    std::vector<uint8_t> stream;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(path, std::ios::binary);
        stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(path);
    return stream;
}

// The media frame a unit would send for access unit `unit` of a `width` x `height` stream.
inline std::vector<uint8_t> Block(const AccessUnit& unit, uint32_t width, uint32_t height,
                                  uint32_t number, uint64_t capture_us = 0) {
    zqproto::MediaFrame frame;
    frame.width = width;
    frame.height = height;
    frame.flags = unit.key ? zqproto::kMediaKeyFrame : 0;
    frame.number = number;
    frame.capture_us = capture_us;
    frame.payload = unit.bytes;
    return zqproto::BuildMediaFrame(frame);
}

}  // namespace zqplay_clip
