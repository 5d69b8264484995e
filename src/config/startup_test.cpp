// Start-up and shutdown cycles against a temporary XDG_CONFIG_HOME, with build/bin as the
// program folder (the build copies data/ there).
#include "config/startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/device_options.h"
#include "i18n/language_table.h"
#include "records/activity_log.h"
#include "records/record_store.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using test_files::Entries;
using test_files::ReadFile;
using test_files::WriteFile;

namespace {

const std::set<std::string> kConfigFiles = {"Systemcfg.xml", "ZQTalvane.db", "ZQTalvaneLog.txt"};

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override { UseConfigHome(root_ / "home/.config"); }
    void TearDown() override {
        startup::CloseRecords();
        records::CloseActivityLog();
        unsetenv("XDG_CONFIG_HOME");
    }
    static void UseConfigHome(const std::string& path) {
        setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    }

    // Start-up as the application runs it, with `program` as the program folder.
    CAppSettings Start(const std::string& program = ZQ_BINARY_DIR "/bin/") {
        CAppSettings s;
        startup::FixFolders(s);
        s.program_folder = program;
        startup::StartCore(s);
        return s;
    }
    static void Stop(const CAppSettings& s) {
        startup::CloseRecords();
        startup::FinishCore(s);
    }
    // A program folder holding the shipped files, for tests that damage one of them.
    std::string CopyOfProgramFolder() {
        std::string folder = root_ / "prog/";
        fs::copy(ZQ_SOURCE_DIR "/data", folder, fs::copy_options::recursive);
        return folder;
    }

    test_files::TempFolder root_;
};

TEST_F(StartupTest, FirstStartCreatesTheConfigurationAndShutdownLeavesExactlyItsFiles) {
    CAppSettings s = Start();
    EXPECT_EQ(s.config_folder, root_ / "home/.config/Talvane Config/");
    EXPECT_EQ(s.skin_folder, std::string(ZQ_BINARY_DIR "/bin/Skin_normal/"));
    EXPECT_EQ(Entries(s.config_folder), kConfigFiles);
    EXPECT_EQ(ReadFile(s.config_folder + "Systemcfg.xml"),
              ReadFile(ZQ_SOURCE_DIR "/data/Systemcfg.bk"));
    EXPECT_EQ(s.language_file, "EN.xml");
    EXPECT_FALSE(s.id_server_enabled);
    EXPECT_EQ(i18n::Text(7), "OK");
    EXPECT_FALSE(config::DeviceOptions().empty());
    for (const records::TableDefinition& t : records::Tables()) {
        EXPECT_TRUE(records::Store().TableExists(t.name)) << t.name;
    }
    records::WriteLog("login success, ip:%s\n", "127.0.0.10");
    Stop(s);

    EXPECT_EQ(Entries(s.config_folder), kConfigFiles);
    EXPECT_EQ(ReadFile(s.config_folder + "Systemcfg.xml"),
              ReadFile(ZQ_SOURCE_DIR "/data/Systemcfg.bk"));  // flags unchanged: same text
    EXPECT_NE(
        ReadFile(s.config_folder + "ZQTalvaneLog.txt").find(":login success, ip:127.0.0.10\n"),
        std::string::npos);
}

TEST_F(StartupTest, SecondStartCreatesNothingNewAndKeepsRowsAndLog) {
    CAppSettings first = Start();
    ASSERT_TRUE(records::InsertDeviceRow(records::Store(), "MacAddress", "127.0.0.10", 34567,
                                         {"00-11-22-33-44-55"}));
    records::WriteLog("first run\n");
    first.option_flags[kAlarmOutputNum] = false;
    Stop(first);

    CAppSettings second = Start();
    EXPECT_EQ(Entries(second.config_folder), kConfigFiles);
    EXPECT_TRUE(records::Store().RecordExists("MacAddress", "MacAddr", "00-11-22-33-44-55"));
    EXPECT_FALSE(second.option_flags[kAlarmOutputNum]);  // saved at the first shutdown
    EXPECT_TRUE(second.option_flags[kAlarmInputNum]);
    records::WriteLog("second run\n");
    Stop(second);
    std::string log = ReadFile(second.config_folder + "ZQTalvaneLog.txt");
    size_t a = log.find(":first run\n"), b = log.find(":second run\n");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    EXPECT_LT(a, b);
}

TEST_F(StartupTest, UnwritableConfigurationFolderStillStarts) {
    struct Case {
        const char* name;
        bool needs_permissions;
    };
    const Case cases[] = {{"parent is a file", false}, {"read-only folder", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_permissions && !test_files::PermissionsApply())
            continue;  // root ignores modes
        std::string home = root_ / c.name;
        if (c.needs_permissions) {
            fs::create_directories(home + "/Talvane Config");
            ::chmod((home + "/Talvane Config").c_str(), 0555);
        } else {
            WriteFile(home, "a file, not a folder");
        }
        UseConfigHome(home);
        CAppSettings s = Start();
        EXPECT_FALSE(records::ActivityLogOpen());
        EXPECT_FALSE(records::Store().TableExists("MacAddress"));
        EXPECT_EQ(s.language_file, "");  // no Systemcfg.xml: defaults
        EXPECT_EQ(i18n::Text(7), " ");
        records::WriteLog("goes nowhere\n");
        Stop(s);
        EXPECT_TRUE(Entries(home + "/Talvane Config").empty());
        if (c.needs_permissions)
            ::chmod((home + "/Talvane Config").c_str(), 0755);
    }
}

TEST_F(StartupTest, DamagedFilesNeverStopStartUpAndAreNotWrittenBack) {
    std::string program = CopyOfProgramFolder();
    WriteFile(program + "Language/EN.xml", "<texts><string>OK</string>");  // cut off
    WriteFile(program + "DeviceInfo.xml", "<a><Name><NAME>x</NAME></Name></a><b/>");
    CAppSettings s = Start(program);
    EXPECT_EQ(s.language_file, "EN.xml");
    EXPECT_EQ(i18n::Text(7), " ");
    EXPECT_TRUE(config::DeviceOptions().empty());
    Stop(s);

    const std::string damaged = "<Systemcfg><Language cursel=\"3\"><language path=\"EN.xml\"/>";
    WriteFile(s.config_folder + "Systemcfg.xml", damaged);
    CAppSettings again = Start(program);
    EXPECT_EQ(again.language_file, "");
    EXPECT_EQ(again.version, "");
    again.option_flags[kKeyID] = false;
    Stop(again);
    EXPECT_EQ(ReadFile(again.config_folder + "Systemcfg.xml"), damaged);
}

TEST_F(StartupTest, ForeignOrLockedDatabaseRunsWithoutRecords) {
    std::string folder = root_ / "home/.config/Talvane Config/";
    const std::string foreign(8192, '\x5A');
    WriteFile(folder + "ZQTalvane.db", foreign);
    CAppSettings s = Start();
    EXPECT_FALSE(records::Store().RecordExists("MacAddress", "MacAddr", "x"));
    EXPECT_FALSE(records::InsertDeviceRow(records::Store(), "MacAddress", "127.0.0.10", 1, {"x"}));
    EXPECT_EQ(records::PendingReportUuid(records::Store(), "o", "c"), "");
    EXPECT_EQ(i18n::Text(7), "OK");  // everything else started
    EXPECT_TRUE(records::ActivityLogOpen());
    Stop(s);
    EXPECT_EQ(ReadFile(folder + "ZQTalvane.db"), foreign);
}

}  // namespace
