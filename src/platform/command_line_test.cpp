#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Case {
    std::vector<const char*> args;  // after the program name
    bool show_splash;
};

TEST(CommandLine, OnlyEmbeddingAutomationAndNoSplashTurnTheSplashOff) {
    const Case cases[] = {
        {{}, true},
        {{"/Embedding"}, false},
        {{"-embedding"}, false},
        {{"/AUTOMATION"}, false},
        {{"-Automation"}, false},
        {{"--no-splash"}, false},
        {{"somefile.txt", "/Embedding"}, false},
        {{"/Embed"}, true},
        {{"Embedding"}, true},  // a file name, not a flag
        {{"--no-splashes"}, true},
        {{"/p", "-dde", "/Unknown"}, true},
        {{"/"}, true},
        {{""}, true},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"ZQTalvane"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front());
        EXPECT_EQ(
            platform::ParseCommandLine(static_cast<int>(argv.size()), argv.data()).show_splash,
            c.show_splash);
    }
}

TEST(CommandLine, MissingArgumentsGiveTheDefaults) {
    EXPECT_TRUE(platform::ParseCommandLine(0, nullptr).show_splash);
    const char* argv[] = {"ZQTalvane", nullptr, "--no-splash"};
    EXPECT_FALSE(platform::ParseCommandLine(3, argv).show_splash);
}

}  // namespace
