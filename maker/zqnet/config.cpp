#include "config.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace zqnet {
namespace {

bool ParseAddress(const std::string& text, std::uint32_t* out) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *out = ntohl(a.s_addr);
    return true;
}

bool ParseNumber(const std::string& text, long low, long high, long* out) {
    if (text.empty() || text.size() > 9)
        return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high)
        return false;
    *out = v;
    return true;
}

void ReadMilliseconds(const char* name, std::chrono::milliseconds* out) {
    const char* value = std::getenv(name);
    long v = 0;
    if (value != nullptr && ParseNumber(value, 1, 600000, &v))
        *out = std::chrono::milliseconds(v);
}

}  // namespace

bool ParseSearchTargets(const std::string& text, std::uint16_t default_port,
                        std::vector<SearchTarget>* out) {
    std::vector<SearchTarget> targets;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(start, comma - start);
        start = comma + 1;
        SearchTarget t;
        t.port = default_port;
        std::size_t colon = item.find(':');
        if (colon != std::string::npos) {
            long port = 0;
            if (!ParseNumber(item.substr(colon + 1), 1, 65535, &port))
                return false;
            t.port = static_cast<std::uint16_t>(port);
            item.resize(colon);
        }
        std::size_t dash = item.find('-');
        if (!ParseAddress(item.substr(0, dash), &t.first))
            return false;
        t.last = t.first;
        if (dash != std::string::npos &&
            (!ParseAddress(item.substr(dash + 1), &t.last) || t.last < t.first))
            return false;
        targets.push_back(t);
    }
    if (targets.empty())
        return false;
    *out = std::move(targets);
    return true;
}

Config ReadConfig(std::uint16_t default_search_port) {
    Config config;
    config.search_targets = {{0x7F000001u, 0x7F0000FFu, default_search_port}};
    if (const char* targets = std::getenv("ZQNET_SEARCH_TARGETS"))
        ParseSearchTargets(targets, default_search_port, &config.search_targets);
    ReadMilliseconds("ZQNET_SEARCH_WINDOW_MS", &config.search_window);
    ReadMilliseconds("ZQNET_LOGIN_TIMEOUT_MS", &config.login_timeout);
    ReadMilliseconds("ZQNET_CALL_TIMEOUT_MS", &config.call_timeout);
    return config;
}

}  // namespace zqnet
