// Feeds arbitrary media frames from a "unit" to the playback path without its thread: decoding
// (FrameDecoder) and scaling the view area into a window (PictureRenderer).
//
// Input: 8 bytes of settings (window width, window height, keep proportion, the four margins,
// unused), then blocks, each a 7-byte head (payload length u16, flags u8, picture width u16,
// picture height u16; little-endian) and its payload.
#include <cstdint>
#include <cstring>
#include <vector>

#include "decoder.h"
#include "protocol/media_frame.h"

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    av_log_set_level(AV_LOG_QUIET);
    if (size < 8)
        return 0;
    const int window_width = data[0];
    const int window_height = data[1];
    zqplay::View view;
    view.keep_proportion = (data[2] & 1) != 0;
    view.left = data[3];
    view.right = data[4];
    view.top = data[5];
    view.bottom = data[6];
    std::size_t pos = 8;

    zqplay::FrameDecoder decoder;
    zqplay::PictureRenderer renderer;
    int blocks = 0;
    while (pos + 7 <= size && blocks++ < 32) {
        const std::size_t length = data[pos] | (data[pos + 1] << 8);
        zqproto::MediaFrame frame;
        frame.flags = data[pos + 2];
        frame.width = static_cast<uint32_t>(data[pos + 3] | (data[pos + 4] << 8));
        frame.height = static_cast<uint32_t>(data[pos + 5] | (data[pos + 6] << 8));
        pos += 7;
        const std::size_t take = length < size - pos ? length : size - pos;
        frame.payload = std::span(data + pos, take);
        pos += take;
        const std::vector<uint8_t> block = zqproto::BuildMediaFrame(frame);
        decoder.Decode(block, [&](const AVFrame& picture) {
            zqplay::Placement at;
            auto shown = renderer.Render(picture, view, window_width, window_height, at);
            if (!shown)
                return;
            if (at.x < 0 || at.y < 0 || at.x + at.width > shown->width ||
                at.y + at.height > shown->height ||
                shown->pixels.size() != static_cast<std::size_t>(shown->stride) * shown->height)
                __builtin_trap();
        });
    }
    return 0;
}
