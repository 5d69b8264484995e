#include "config.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using zqnet::SearchTarget;

TEST(ZQNetConfig, SearchTargets) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<SearchTarget> targets;
    } cases[] = {
        {"127.0.0.1", true, {{0x7F000001, 0x7F000001, 9}}},
        {"127.0.0.10-127.0.1.9:35000", true, {{0x7F00000A, 0x7F000109, 35000}}},
        {"127.0.0.2,127.0.0.3:7", true, {{0x7F000002, 0x7F000002, 9}, {0x7F000003, 0x7F000003, 7}}},
        {"", false, {}},
        {"127.0.0.1,", false, {}},
        {"127.0.0.256", false, {}},
        {"localhost", false, {}},
        {"127.0.0.9-127.0.0.1", false, {}},
        {"127.0.0.1:0", false, {}},
        {"127.0.0.1:65536", false, {}},
        {"127.0.0.1:12x", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<SearchTarget> out = {{1, 1, 1}};
        EXPECT_EQ(zqnet::ParseSearchTargets(c.text, 9, &out), c.ok);
        if (!c.ok) {
            ASSERT_EQ(out.size(), 1u) << "left untouched";
            continue;
        }
        ASSERT_EQ(out.size(), c.targets.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].first, c.targets[i].first);
            EXPECT_EQ(out[i].last, c.targets[i].last);
            EXPECT_EQ(out[i].port, c.targets[i].port);
        }
    }
}

TEST(ZQNetConfig, DefaultsAreLoopbackAndMalformedValuesKeepThem) {
    setenv("ZQNET_SEARCH_TARGETS", "10.0.0.1-", 1);
    setenv("ZQNET_CALL_TIMEOUT_MS", "-5", 1);
    setenv("ZQNET_LOGIN_TIMEOUT_MS", "250", 1);
    unsetenv("ZQNET_SEARCH_WINDOW_MS");
    zqnet::Config c = zqnet::ReadConfig(34569);
    ASSERT_EQ(c.search_targets.size(), 1u);
    EXPECT_EQ(c.search_targets[0].first, 0x7F000001u);
    EXPECT_EQ(c.search_targets[0].last, 0x7F0000FFu);
    EXPECT_EQ(c.search_targets[0].port, 34569);
    EXPECT_EQ(c.call_timeout.count(), 5000);
    EXPECT_EQ(c.login_timeout.count(), 250);
    EXPECT_EQ(c.search_window.count(), 1500);
}

}  // namespace
