#include "records/activity_log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

class ActivityLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zq_log_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        path_ = root_ + "/ZQTalvaneLog.txt";
        platform::SetLocalClock([] {
            platform::LocalTime t;
            t.year = 2019, t.month = 3, t.day = 7, t.hour = 14, t.minute = 5, t.second = 9;
            return t;
        });
    }
    void TearDown() override {
        records::CloseActivityLog();
        platform::SetLocalClock({});
        fs::remove_all(root_);
    }
    std::string Contents() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::string root_;
    std::string path_;
};

TEST_F(ActivityLogTest, RecordIsPrefixPlusMessageAndRunsAppend) {
    ASSERT_TRUE(records::OpenActivityLog(path_));
    records::WriteLog("login success, ip:%s\n", "192.168.1.88");
    records::WriteLog("no line end");
    records::CloseActivityLog();
    records::WriteLog("dropped after close\n");
    ASSERT_TRUE(records::OpenActivityLog(path_));  // a second run
    records::WriteLog("second run %d\n", 2);
    records::CloseActivityLog();
    EXPECT_EQ(Contents(),
              "2019-03-07 14:05:09:login success, ip:192.168.1.88\n"
              "2019-03-07 14:05:09:no line end"
              "2019-03-07 14:05:09:second run 2\n");
}

// An engineer following the file sees each record as it is written, and a program that dies
// without closing the log (killed, crashed: no stream is flushed at its end) loses none.
TEST_F(ActivityLogTest, EachRecordIsInTheFileAtOnceAndSurvivesACrash) {
    ASSERT_TRUE(records::OpenActivityLog(path_));
    records::WriteLog("login success, ip:%s\n", "10.0.0.1");
    EXPECT_EQ(Contents(), "2019-03-07 14:05:09:login success, ip:10.0.0.1\n");
    records::CloseActivityLog();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        records::OpenActivityLog(path_);
        records::WriteLog("Set mac address failed\n");
        _exit(3);  // no close, no stream flushed at exit
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(Contents(),
              "2019-03-07 14:05:09:login success, ip:10.0.0.1\n"
              "2019-03-07 14:05:09:Set mac address failed\n");
}

TEST_F(ActivityLogTest, RecordLengthIsCappedAt2047Bytes) {
    struct Case {
        size_t message;
        size_t record;
    };
    const Case cases[] = {{2026, 2046}, {2027, 2047}, {2028, 2047}, {10000, 2047}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(path_);
        ASSERT_TRUE(records::OpenActivityLog(path_));
        records::WriteLog("%s", std::string(c.message, 'm').c_str());
        records::CloseActivityLog();
        std::string text = Contents();
        EXPECT_EQ(text.size(), c.record);
        EXPECT_EQ(text.substr(0, 20), "2019-03-07 14:05:09:");
    }
}

TEST_F(ActivityLogTest, UnopenableFileLeavesLoggingOff) {
    EXPECT_FALSE(records::OpenActivityLog(root_ + "/missing/folder/ZQTalvaneLog.txt"));
    EXPECT_FALSE(records::ActivityLogOpen());
    records::WriteLog("nowhere %s\n", "to go");
    EXPECT_FALSE(fs::exists(root_ + "/missing"));
}

TEST_F(ActivityLogTest, RecordsFromManyThreadsNeverInterleave) {
    ASSERT_TRUE(records::OpenActivityLog(path_));
    const int kThreads = 4, kRecords = 300;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i] {
            std::string body(100 + static_cast<size_t>(i) * 37, static_cast<char>('a' + i));
            for (int r = 0; r < kRecords; ++r)
                records::WriteLog("%d %s\n", i, body.c_str());
        });
    }
    for (auto& t : threads)
        t.join();
    records::CloseActivityLog();
    std::istringstream lines(Contents());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.substr(0, 20), "2019-03-07 14:05:09:");
        int i = line[20] - '0';
        ASSERT_GE(i, 0);
        ASSERT_LT(i, kThreads);
        EXPECT_EQ(line.substr(22),
                  std::string(100 + static_cast<size_t>(i) * 37, static_cast<char>('a' + i)));
    }
    EXPECT_EQ(count, kThreads * kRecords);
}

}  // namespace
