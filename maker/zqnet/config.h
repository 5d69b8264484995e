// The library's configuration: search targets and time-outs.
//
// Production values are the defaults. Tests and demos set them through the environment before
// ZQNetInit reads them:
//   ZQNET_SEARCH_TARGETS    comma-separated targets of the search probes, each an IPv4 address or
//                           an inclusive range "a.b.c.d-e.f.g.h", optionally ":port"
//                           (default: 127.0.0.1-127.0.0.255 on the protocol's search port)
//   ZQNET_SEARCH_WINDOW_MS  how long a search collects answers (default 1500)
//   ZQNET_LOGIN_TIMEOUT_MS  connect, handshake and login together (default 5000)
//   ZQNET_CALL_TIMEOUT_MS   one synchronous request and its reply (default 5000)
// A malformed value leaves the default in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zqnet {

struct SearchTarget {
    std::uint32_t first = 0;  // host byte order
    std::uint32_t last = 0;
    std::uint16_t port = 0;
};

struct Config {
    std::vector<SearchTarget> search_targets;
    std::chrono::milliseconds search_window{1500};
    std::chrono::milliseconds login_timeout{5000};
    std::chrono::milliseconds call_timeout{5000};
};

// At most this many addresses are probed by one search, whatever the targets say.
inline constexpr std::size_t kMaxSearchAddresses = 4096;

// Parses a target list; false (and `out` untouched) when any target is malformed.
bool ParseSearchTargets(const std::string& text, std::uint16_t default_port,
                        std::vector<SearchTarget>* out);

// The configuration from the environment, with defaults for what is not set.
Config ReadConfig(std::uint16_t default_search_port);

}  // namespace zqnet
