#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/folders.h"

namespace {

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(Folders, ConfigFolderFollowsXdgThenHome) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* want;
    };
    const Case cases[] = {
        {"/tmp/cfg", "/home/op", "/tmp/cfg/Talvane Config/"},
        {"/tmp/cfg/", "/home/op", "/tmp/cfg/Talvane Config/"},
        {"", "/home/op", "/home/op/.config/Talvane Config/"},
        {nullptr, "/home/op", "/home/op/.config/Talvane Config/"},
    };
    for (const Case& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(platform::ConfigFolder(), c.want) << (c.xdg ? c.xdg : "(unset)");
    }
}

TEST(Folders, ProgramFolderHoldsTheRunningExecutable) {
    std::string folder = platform::ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(platform::IsFile(folder + "platform_folders_test"));
    EXPECT_FALSE(platform::IsFile(folder));
}

TEST(Clock, InstalledClockDrivesTheTimeStamp) {
    platform::SetLocalClock([] {
        platform::LocalTime t;
        t.year = 2019, t.month = 3, t.day = 7, t.hour = 14, t.minute = 5, t.second = 9;
        return t;
    });
    EXPECT_EQ(platform::TimeStampText(), "2019-03-07_14:05:09");
    platform::SetLocalClock({});
    EXPECT_GE(platform::LocalNow().year, 2024);
}

}  // namespace
