// Feeds arbitrary bytes from a "camera" to the library's preview side: the session stream cut
// into frames (at varying points), and its media pieces put back together per stream. Whatever
// comes, a frame handed on is a whole, well-formed media frame and no stream holds more than
// one frame's worth.
#include <cstdint>
#include <map>
#include <span>

#include "protocol/media_frame.h"
#include "wire.h"

namespace {

void Check(const zqnet::MediaAssembler& assembler, bool whole) {
    if (assembler.held() > zqproto::kMaxMediaFrame)
        __builtin_trap();
    if (whole) {
        zqproto::MediaFrame frame;
        if (!zqproto::ParseMediaFrame(assembler.block(), frame))
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::map<std::uint32_t, zqnet::MediaAssembler> streams;  // at most 4, as a station keeps few
    auto piece = [&](std::uint32_t stream, std::uint32_t total, std::uint32_t offset,
                     std::span<const std::uint8_t> bytes) {
        if (streams.size() >= 4 && streams.count(stream) == 0)
            return;
        zqnet::MediaAssembler& a = streams[stream];
        Check(a, a.Add(total, offset, bytes));
    };
    if (data[0] & 1) {
        // The session stream, as the connection reads it.
        zqnet::Inbound inbound;
        std::size_t pos = 1;
        const std::size_t step = (data[0] >> 1) % 61 + 1;
        while (pos < size) {
            const std::size_t n = size - pos < step ? size - pos : step;
            inbound.Feed(data + pos, n);
            pos += n;
            zqproto::Message m;
            zqnet::Inbound::Result r;
            while ((r = inbound.Next(&m)) == zqnet::Inbound::kMessage) {
                if (m.kind == zqproto::Kind::kMediaPiece)
                    piece(m.code % 8, m.size, m.offset, m.data);
            }
            if (r == zqnet::Inbound::kBad)
                break;
        }
    } else {
        // Pieces directly: stream byte, total and offset (3 bytes each, so that pieces fit
        // together often), length byte, bytes.
        std::size_t pos = 1;
        while (pos + 8 <= size) {
            const uint8_t* p = data + pos;
            const std::uint32_t total = p[1] | p[2] << 8 | static_cast<std::uint32_t>(p[3]) << 16;
            const std::uint32_t offset = p[4] | p[5] << 8 | static_cast<std::uint32_t>(p[6]) << 16;
            std::size_t n = p[7];
            pos += 8;
            if (n > size - pos)
                n = size - pos;
            piece(p[0] % 8, total, offset, std::span<const std::uint8_t>(data + pos, n));
            pos += n;
        }
    }
    return 0;
}
