// RunProcess with real programs: arguments and working folder as given, exit codes, crashes,
// programs that never start, and the wait callback.
#include <gtest/gtest.h>

#include "platform/process.h"
#include "support/test_files.h"

namespace {

TEST(RunProcess, EndsAsTheProgramEnded) {
    test_files::TempFolder folder;
    struct Case {
        const char* name;
        std::string program;
        std::vector<std::string> arguments;
        std::string working;
        platform::ProcessExit expected;
    };
    const Case cases[] = {
        {"exit 0", "/bin/sh", {"-c", "exit 0"}, "", {true, false, 0}},
        {"exit 3", "/bin/sh", {"-c", "exit 3"}, "", {true, false, 3}},
        {"crash", "/bin/sh", {"-c", "kill -SEGV $$"}, "", {true, true, 11}},
        {"missing program", "/nonexistent/perl", {}, "", {false, false, 0}},
        {"a folder as program", folder.path(), {}, "", {false, false, 0}},
        {"missing working folder", "/bin/sh", {"-c", "exit 0"}, folder / "none", {false, false, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::ProcessExit exit =
            platform::RunProcess(c.program, c.arguments, c.working, {});
        EXPECT_EQ(exit.started, c.expected.started);
        EXPECT_EQ(exit.signalled, c.expected.signalled);
        EXPECT_EQ(exit.code, c.expected.code);
    }
}

TEST(RunProcess, PassesArgumentsAsTheyAreInTheWorkingFolder) {
    test_files::TempFolder folder;
    int calls = 0;
    const platform::ProcessExit exit = platform::RunProcess(
        "/bin/sh",
        {"-c", "sleep 0.2; pwd > out; printf '%s|' \"$@\" >> out", "sh", "a b", "127.0.0.1", "'"},
        folder.path(), [&] { ++calls; });
    EXPECT_TRUE(exit.started);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(test_files::ReadFile(folder / "out"), folder.path() + "\na b|127.0.0.1|'|");
    EXPECT_GT(calls, 5);  // called while the program ran, not only once
}

}  // namespace
