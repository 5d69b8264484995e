// Feeds arbitrary reply datagrams to the client's reply reading.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "identity/install.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view reply(reinterpret_cast<const char*>(data), size);
    std::string result = identity::ReadInstallReply(reply);
    // A result is never longer than what arrived (or the fixed name of a malformed reply).
    if (result.size() > size && result != identity::kRspMsgError)
        __builtin_trap();
    return 0;
}
