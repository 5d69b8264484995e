// Feeds arbitrary datagrams to the server's request parser and answer writer.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    idserver::InstallRequest request;
    if (idserver::ParseInstallRequest(std::string_view(reinterpret_cast<const char*>(data), size),
                                      request)) {
        // A parsed request always carries what an install needs.
        if (request.content.empty() || request.current_uuid.empty())
            __builtin_trap();
    }
    return 0;
}
