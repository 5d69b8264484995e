// Feeds arbitrary datagrams to the server's request parser, and every request it accepts to
// the install step of an in-memory store holding one small order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "request.h"
#include "store.h"

namespace {

idserver::Store& FuzzStore() {
    static idserver::Store* store = [] {
        auto* s = new idserver::Store;
        int64_t added = 0;
        if (!s->Open(":memory:") || !s->CreateOrder("A") ||
            !s->ImportPool("A", "p2p_id", {"K1", "K'2"}, added) ||
            !s->ImportPool("A", "mac", {"02:00:00:00:00:01"}, added) ||
            !s->AddMacRange("A", 0x020000000100u, 0x0200000001FFu))
            __builtin_trap();
        return s;
    }();
    return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    idserver::InstallRequest request;
    if (!idserver::ParseInstallRequest(std::string_view(reinterpret_cast<const char*>(data), size),
                                       request))
        return 0;
    // A parsed request always carries what an install needs.
    if (request.content.empty() || request.current_uuid.empty())
        __builtin_trap();
    std::vector<std::string> answers;
    FuzzStore().InstallBatch({request}, answers);
    if (answers.size() != 1 || answers[0] == idserver::kDbError)
        __builtin_trap();
    return 0;
}
