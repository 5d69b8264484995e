// Feeds arbitrary bytes from a "unit" to the library's side of the protocol: the session stream
// (cut at varying points), the reply copy into a small caller buffer, and the search answer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zqnet::Inbound inbound;
    std::size_t pos = 0;
    std::size_t step = size > 0 ? (data[0] % 61) + 1 : 1;
    bool bad = false;
    while (pos < size && !bad) {
        std::size_t n = size - pos < step ? size - pos : step;
        inbound.Feed(data + pos, n);
        pos += n;
        zqproto::Message m;
        for (;;) {
            zqnet::Inbound::Result r = inbound.Next(&m);
            if (r == zqnet::Inbound::kBad) {
                bad = true;
                break;
            }
            if (r == zqnet::Inbound::kNeedMore)
                break;
            std::uint8_t small[37];
            std::size_t copied = zqnet::CopyReplyData(m, small, sizeof small);
            if (copied > sizeof small)
                __builtin_trap();
            (void)zqnet::ReplySucceeded(m);
        }
    }
    ZQNetDeviceRecord record;
    if (zqnet::DecodeSearchAnswer(data, size, 0, &record)) {
        // Every text must end inside its field.
        if (std::strlen(record.ip) >= sizeof record.ip ||
            std::strlen(record.mac) >= sizeof record.mac)
            __builtin_trap();
    }
    return 0;
}
