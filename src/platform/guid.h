// GUID creation, as the platform's GUID generator provides it.
//
// NewGuid fills a random (version 4, RFC 4122 variant) GUID from the kernel's random source.
// It returns false, leaving `out` zeroed, only when the random source fails, which on Linux
// does not happen once the kernel's pool is initialised. Thread-safe.
#pragma once

#include <cstdint>

namespace platform {

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

bool NewGuid(Guid& out);

}  // namespace platform
