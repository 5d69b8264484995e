#include "config/system_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <string>

#include "platform/codepage.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using config::SaveResult;
using test_files::Entries;
using test_files::ReadFile;
using test_files::WriteFile;

namespace {

const std::string kShipped = ReadFile(ZQ_SOURCE_DIR "/data/Systemcfg.bk");

// A complete file in the expected order, with every value differing from the defaults.
const char kFull[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<cfg>\n"
    "  <Language cursel=\"2\"><language path=\"CHS.xml\"/><language path=\"CHT.xml\"/></Language>\n"
    "  <Version>2.3.4</Version>\n"
    "  <ID_CHECK_SERVER_IP>127.0.0.2</ID_CHECK_SERVER_IP>\n"
    "  <ID_CHECK_SERVER_PORT>9100</ID_CHECK_SERVER_PORT>\n"
    "  <UserPassword>s3cret</UserPassword>\n"
    "  <EnableUserPassword>0</EnableUserPassword>\n"
    "  <DeviceInfo>\n"
    "    <MainBoardName>0</MainBoardName><ProductType>0</ProductType><DeviceType>1</DeviceType>\n"
    "    <DeviceName>1</DeviceName><FunctionCode>0</FunctionCode><CustomType>1</CustomType>\n"
    "    <KeyID>1</KeyID><BoardID>1</BoardID><HobDeviceType>1</HobDeviceType>\n"
    "    <FourDisk>1</FourDisk><LanguageConfig>1</LanguageConfig><Language>1</Language>\n"
    "    <SerialNum>1</SerialNum><ProductCode>1</ProductCode><Format>1</Format>\n"
    "    <AngleRotation>1</AngleRotation><AlarmOutputNum>1</AlarmOutputNum>\n"
    "    <AlarmInputNum>1</AlarmInputNum><AudioNum>1</AudioNum><PoePower>0</PoePower>\n"
    "    <PoePowerNum>1</PoePowerNum><HddGroup>1</HddGroup><Esataenable>1</Esataenable>\n"
    "    <MinFoaclLength>1</MinFoaclLength><MaxFoaclLength>0</MaxFoaclLength>\n"
    "  </DeviceInfo>\n"
    "</cfg>\n";

class SystemConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        s_.program_folder = root_ / "prog/";
        s_.config_folder = root_ / "user/Talvane Config/";
        fs::create_directories(s_.program_folder);
    }
    std::string ConfigFile() const { return s_.config_folder + "Systemcfg.xml"; }
    void WriteConfig(const std::string& text) const { WriteFile(ConfigFile(), text); }
    void ShipTemplate(const std::string& text) const {
        WriteFile(s_.program_folder + "Systemcfg.bk", text);
    }

    test_files::TempFolder root_;
    CAppSettings s_;
};

TEST(LeadingNumber, TakesTheLeadingDecimalNumber) {
    struct Case {
        const char* text;
        long long want;
    };
    const Case cases[] = {
        {"12", 12},
        {"  12abc", 12},
        {"-3", -3},
        {"+7", 7},
        {"2", 2},
        {"abc", 0},
        {"", 0},
        {"   ", 0},
        {"0x10", 0},
        {"- 4", 0},
        {"\t\n9", 9},
        {"1.5", 1},
        {"99999999999999999999999", LLONG_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config::LeadingNumber(c.text), c.want) << c.text;
}

TEST_F(SystemConfigTest, FirstUseCopiesTheTemplateAndLoadsItInTheSameRun) {
    ShipTemplate(kShipped);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    EXPECT_EQ(ReadFile(ConfigFile()), kShipped);
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
    EXPECT_EQ(s_.language_file, "EN.xml");
    EXPECT_EQ(s_.id_server_address, "127.0.0.1");
    EXPECT_FALSE(s_.id_server_enabled);
    EXPECT_EQ(s_.user_password, "admin");
    EXPECT_TRUE(s_.user_password_enabled);
    for (bool flag : s_.option_flags)
        EXPECT_TRUE(flag);
}

TEST_F(SystemConfigTest, ExistingFileIsNotReplacedByTheTemplate) {
    ShipTemplate(kShipped);
    WriteConfig(kFull);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    EXPECT_EQ(ReadFile(ConfigFile()), kFull);
    EXPECT_EQ(s_.language_file, "CHT.xml");
    EXPECT_EQ(s_.version, "2.3.4");
    EXPECT_EQ(s_.id_server_address, "127.0.0.2");
    EXPECT_TRUE(s_.id_server_enabled);
    EXPECT_EQ(s_.id_server_port, 9100);
    EXPECT_EQ(s_.user_password, "s3cret");
    EXPECT_FALSE(s_.user_password_enabled);
    EXPECT_FALSE(s_.option_flags[kMainBoardName]);
    EXPECT_FALSE(s_.option_flags[kProductType]);
    EXPECT_TRUE(s_.option_flags[kDeviceType]);
    EXPECT_FALSE(s_.option_flags[kFunctionCode]);
    EXPECT_TRUE(s_.option_flags[kPoePower]);  // PoePowerNum, the name written, wins
    EXPECT_TRUE(s_.option_flags[kMinFoaclLength]);
    EXPECT_FALSE(s_.option_flags[kMaxFoaclLength]);
}

// Builds a file from the parts given; the root holds them in the order given.
std::string Doc(const std::string& body) {
    return "<cfg>" + body + "</cfg>";
}

TEST_F(SystemConfigTest, ValuesReadByTheirRules) {
    struct Case {
        const char* name;
        std::string body;
        std::string language;
        bool enabled;
        uint16_t port;
        bool password_enabled;
    };
    const std::string langs =
        "<language path=\"CHS.xml\"/><language path=\"CHT.xml\"/><language path=\"EN.xml\"/>";
    const Case cases[] = {
        {"cursel 1", "<Language cursel=\"1\">" + langs + "</Language>", "CHS.xml", false, 0, true},
        {"cursel 3", "<Language cursel=\"3\">" + langs + "</Language>", "EN.xml", false, 0, true},
        {"cursel with tail", "<Language cursel=\" 2x\">" + langs + "</Language>", "CHT.xml", false,
         0, true},
        {"cursel 0", "<Language cursel=\"0\">" + langs + "</Language>", "", false, 0, true},
        {"cursel too big", "<Language cursel=\"4\">" + langs + "</Language>", "", false, 0, true},
        {"cursel negative", "<Language cursel=\"-1\">" + langs + "</Language>", "", false, 0, true},
        {"cursel missing", "<Language>" + langs + "</Language>", "", false, 0, true},
        {"no entries", "<Language cursel=\"1\"/>", "", false, 0, true},
        {"server loopback", "<ID_CHECK_SERVER_IP>127.0.0.1</ID_CHECK_SERVER_IP>", "", false, 0,
         true},
        {"server empty", "<ID_CHECK_SERVER_IP></ID_CHECK_SERVER_IP>", "", false, 0, true},
        {"server missing", "<Version>1</Version>", "", false, 0, true},
        {"server other loopback", "<ID_CHECK_SERVER_IP>127.0.0.2</ID_CHECK_SERVER_IP>", "", true, 0,
         true},
        {"server by name", "<ID_CHECK_SERVER_IP>IdServer.line</ID_CHECK_SERVER_IP>", "", true, 0,
         true},
        {"port with tail", "<ID_CHECK_SERVER_PORT>9100abc</ID_CHECK_SERVER_PORT>", "", false, 9100,
         true},
        {"port modulo 65536", "<ID_CHECK_SERVER_PORT>65537</ID_CHECK_SERVER_PORT>", "", false, 1,
         true},
        {"port text", "<ID_CHECK_SERVER_PORT>port</ID_CHECK_SERVER_PORT>", "", false, 0, true},
        {"password flag 2", "<EnableUserPassword>2</EnableUserPassword>", "", false, 0, true},
        {"password flag text", "<EnableUserPassword>yes</EnableUserPassword>", "", false, 0, false},
        {"password flag 0", "<EnableUserPassword>0</EnableUserPassword>", "", false, 0, false},
        {"names are case-sensitive",
         "<language cursel=\"1\">" + langs +
             "</language><enableuserpassword>0</enableuserpassword>",
         "", false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CAppSettings s;
        s.program_folder = s_.program_folder;
        s.config_folder = s_.config_folder;
        WriteConfig(Doc(c.body));
        ASSERT_TRUE(config::LoadSystemConfig(s));
        EXPECT_EQ(s.language_file, c.language);
        EXPECT_EQ(s.id_server_enabled, c.enabled);
        EXPECT_EQ(s.id_server_port, c.port);
        EXPECT_EQ(s.user_password_enabled, c.password_enabled);
    }
}

TEST_F(SystemConfigTest, ElementsAreFoundOnlyInTheirOrder) {
    WriteConfig(
        Doc("<Version>9</Version>"
            "<ID_CHECK_SERVER_PORT>7000</ID_CHECK_SERVER_PORT>"  // stands before the address
            "<ID_CHECK_SERVER_IP>127.0.0.5</ID_CHECK_SERVER_IP>"
            "<UserPassword>pw</UserPassword>"
            "<DeviceInfo><MainBoardName>0</MainBoardName><Format>0</Format>"
            "<FunctionCode>0</FunctionCode><AngleRotation>0</AngleRotation></DeviceInfo>"));
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    EXPECT_EQ(s_.version, "9");
    EXPECT_EQ(s_.id_server_address, "127.0.0.5");
    EXPECT_EQ(s_.id_server_port, 0);  // the search had passed it
    EXPECT_TRUE(s_.id_server_enabled);
    EXPECT_EQ(s_.user_password, "pw");
    // FunctionCode is looked for before Format and found; the search for Format then starts
    // after FunctionCode and has passed it, so Format keeps its start value.
    EXPECT_FALSE(s_.option_flags[kMainBoardName]);
    EXPECT_FALSE(s_.option_flags[kFunctionCode]);
    EXPECT_TRUE(s_.option_flags[kFormat]);
    EXPECT_FALSE(s_.option_flags[kAngleRotation]);
}

TEST_F(SystemConfigTest, SaveChangesOnlyTheChangedFlagsText) {
    ShipTemplate(kShipped);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    s_.option_flags[kAlarmOutputNum] = false;
    ASSERT_TRUE(config::SaveOptionFlags(s_));
    std::string want = kShipped;
    const std::string from = "<AlarmOutputNum>1</AlarmOutputNum>";
    want.replace(want.find(from), from.size(), "<AlarmOutputNum>0</AlarmOutputNum>");
    EXPECT_EQ(ReadFile(ConfigFile()), want);
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));

    CAppSettings again = s_;
    again.option_flags.fill(true);
    ASSERT_TRUE(config::LoadSystemConfig(again));
    EXPECT_FALSE(again.option_flags[kAlarmOutputNum]);
}

TEST_F(SystemConfigTest, PoePowerIsReadFromPoePowerNumWhenPresentElseFromPoePower) {
    struct Case {
        const char* name;
        std::string device_info;
        bool want;
    };
    const Case cases[] = {
        {"only PoePower 0", "<AudioNum>1</AudioNum><PoePower>0</PoePower>", false},
        {"only PoePower 1", "<AudioNum>1</AudioNum><PoePower>1</PoePower>", true},
        {"only PoePowerNum 0", "<AudioNum>1</AudioNum><PoePowerNum>0</PoePowerNum>", false},
        {"both, PoePowerNum 0", "<PoePower>1</PoePower><PoePowerNum>0</PoePowerNum>", false},
        {"both, PoePowerNum 1", "<PoePower>0</PoePower><PoePowerNum>1</PoePowerNum>", true},
        {"PoePowerNum first", "<PoePowerNum>0</PoePowerNum><PoePower>1</PoePower>", false},
        {"neither", "<AudioNum>0</AudioNum>", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteConfig(Doc("<DeviceInfo>" + c.device_info + "<HddGroup>0</HddGroup></DeviceInfo>"));
        CAppSettings s;
        s.config_folder = s_.config_folder;
        s.program_folder = s_.program_folder;
        ASSERT_TRUE(config::LoadSystemConfig(s));
        EXPECT_EQ(s.option_flags[kPoePower], c.want);
        EXPECT_FALSE(s.option_flags[kHddGroup]);  // the flags after it are still found
    }
}

// The operator's PoE choice is written as PoePowerNum at shutdown and read back at the next
// start; a file holding only PoePower still has PoePowerNum written and nothing added.
TEST_F(SystemConfigTest, PoePowerChoiceSurvivesARestart) {
    ShipTemplate(kShipped);
    for (bool choice : {false, true, false}) {
        SCOPED_TRACE(choice);
        CAppSettings run;
        run.config_folder = s_.config_folder;
        run.program_folder = s_.program_folder;
        ASSERT_TRUE(config::LoadSystemConfig(run));
        run.option_flags[kPoePower] = choice;
        ASSERT_TRUE(config::SaveOptionFlags(run));

        CAppSettings next;
        next.config_folder = s_.config_folder;
        next.program_folder = s_.program_folder;
        ASSERT_TRUE(config::LoadSystemConfig(next));
        EXPECT_EQ(next.option_flags[kPoePower], choice);
    }

    // Only PoePower: read as before; the save has no PoePowerNum to write and adds none.
    const std::string old_file =
        Doc("<DeviceInfo><AudioNum>1</AudioNum><PoePower>0</PoePower></DeviceInfo>");
    WriteConfig(old_file);
    CAppSettings s;
    s.config_folder = s_.config_folder;
    s.program_folder = s_.program_folder;
    ASSERT_TRUE(config::LoadSystemConfig(s));
    EXPECT_FALSE(s.option_flags[kPoePower]);
    s.option_flags[kPoePower] = true;
    s.option_flags[kAudioNum] = false;
    ASSERT_TRUE(config::SaveOptionFlags(s));
    EXPECT_EQ(ReadFile(ConfigFile()),
              Doc("<DeviceInfo><AudioNum>0</AudioNum><PoePower>0</PoePower></DeviceInfo>"));
}

TEST_F(SystemConfigTest, SaveKeepsTheFileEncoding) {
    struct Case {
        const char* name;
        const char* mark;         // byte-order mark of the file
        const char* declaration;  // XML declaration
        const char* encoding;     // encoding of the bytes after the mark
    };
    const Case cases[] = {
        {"UTF-16LE with mark", "\xFF\xFE", "<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
         "UTF-16LE"},
        {"UTF-16BE with mark", "\xFE\xFF", "<?xml version=\"1.0\" encoding=\"UTF-16\"?>",
         "UTF-16BE"},
        {"UTF-8 with mark", "\xEF\xBB\xBF", "<?xml version=\"1.0\"?>", "UTF-8"},
        {"declared GB2312", "", "<?xml version=\"1.0\" encoding=\"GB2312\"?>", "GB2312"},
        // No declaration read as ASCII can be right about UTF-7: the file is read and written
        // as UTF-8 (written as UTF-7, it did not load again).
        {"declared UTF-7", "", "<?xml version=\"1.0\" encoding=\"UTF-7\"?>", "UTF-8"},
        {"no declaration", "", "", "UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = [&](const char* flag) {
            std::string text =
                std::string(c.declaration) + Doc("<Version>版本</Version><DeviceInfo><KeyID>" +
                                                 std::string(flag) + "</KeyID></DeviceInfo>");
            std::string bytes;
            EXPECT_TRUE(platform::ToEncoding(text, c.encoding, bytes));
            return c.mark + bytes;
        };
        WriteConfig(file("1"));
        CAppSettings s;
        s.program_folder = s_.program_folder;
        s.config_folder = s_.config_folder;
        ASSERT_TRUE(config::LoadSystemConfig(s));
        EXPECT_EQ(s.version, "版本");
        s.option_flags[kKeyID] = false;
        ASSERT_TRUE(config::SaveOptionFlags(s));
        EXPECT_EQ(ReadFile(ConfigFile()), file("0"));
    }
}

TEST_F(SystemConfigTest, DamagedFileLeavesDefaultsAndIsNeverWritten) {
    ShipTemplate(kShipped);
    const char* damaged[] = {
        "",
        "not xml at all",
        "<cfg><Version>1</Version>",                // cut off
        "<cfg><Version>1</cfg>",                    // mismatched end tag
        "<cfg><Version>1</Version></cfg><other/>",  // root has a sibling
        "\xFF\xFE<\0c\0",                           // torn UTF-16
    };
    for (const char* text : damaged) {
        SCOPED_TRACE(text);
        WriteConfig(text);
        CAppSettings s;
        s.program_folder = s_.program_folder;
        s.config_folder = s_.config_folder;
        s.option_flags[kKeyID] = false;
        EXPECT_FALSE(config::LoadSystemConfig(s));
        EXPECT_EQ(s.version, "");
        EXPECT_EQ(s.language_file, "");
        EXPECT_FALSE(s.id_server_enabled);
        EXPECT_FALSE(config::SaveOptionFlags(s));
        s.user_password = "new";
        EXPECT_EQ(config::SaveUserPassword(s), SaveResult::kNotWritten);
        EXPECT_EQ(ReadFile(ConfigFile()), text);
        EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
    }
}

TEST_F(SystemConfigTest, MissingFileAndTemplate) {
    // Neither file: defaults, and the save writes nothing.
    EXPECT_FALSE(config::LoadSystemConfig(s_));
    EXPECT_FALSE(config::SaveOptionFlags(s_));
    EXPECT_TRUE(Entries(s_.config_folder).empty());

    // Deleted while running: the save copies the template again first.
    ShipTemplate(kShipped);
    s_.option_flags[kEsataenable] = false;
    ASSERT_TRUE(config::SaveOptionFlags(s_));
    EXPECT_NE(ReadFile(ConfigFile()).find("<Esataenable>0</Esataenable>"), std::string::npos);

    // A folder where the file should be.
    fs::remove(ConfigFile());
    fs::create_directories(ConfigFile());
    EXPECT_FALSE(config::LoadSystemConfig(s_));
    EXPECT_FALSE(config::SaveOptionFlags(s_));
    EXPECT_TRUE(fs::is_directory(ConfigFile()));
}

TEST_F(SystemConfigTest, WriteGoesThroughATemporaryFileAndKeepsPermissions) {
    WriteConfig(kFull);
    ::chmod(ConfigFile().c_str(), 0640);
    struct stat before {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &before), 0);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    s_.option_flags[kDeviceType] = false;
    ASSERT_TRUE(config::SaveOptionFlags(s_));
    struct stat after {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);  // a new file was renamed into place
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
}

TEST_F(SystemConfigTest, ReadOnlyFolderLeavesTheFileAsItWas) {
    if (!test_files::PermissionsApply())
        GTEST_SKIP() << "permissions do not bind root";
    WriteConfig(kFull);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    ::chmod(s_.config_folder.c_str(), 0555);
    s_.option_flags[kDeviceType] = false;
    EXPECT_FALSE(config::SaveOptionFlags(s_));
    ::chmod(s_.config_folder.c_str(), 0755);
    EXPECT_EQ(ReadFile(ConfigFile()), kFull);
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
}

// A password the file's declared code page cannot hold is not written at all (no "?" in its
// place), so the file keeps the password it had.
TEST_F(SystemConfigTest, ASaveThatWouldLoseCharactersWritesNothing) {
    struct Case {
        const char* encoding;
        const char* password;
        bool written;
    };
    const Case cases[] = {
        {"ISO-8859-1", "пароль", false}, {"ISO-8859-1", "caf\xC3\xA9", true},
        {"GB2312", "密码", true},        {"GB2312", "ŝ€", false},
        {"UTF-8", "пароль密码", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + c.password);
        std::string bytes;
        ASSERT_TRUE(platform::ToEncoding(std::string("<?xml version=\"1.0\" encoding=\"") +
                                             c.encoding + "\"?>" +
                                             Doc("<UserPassword>old</UserPassword>"),
                                         c.encoding, bytes));
        WriteConfig(bytes);
        s_.user_password = c.password;
        EXPECT_EQ(config::SaveUserPassword(s_),
                  c.written ? SaveResult::kWritten : SaveResult::kEncoding);
        CAppSettings again;
        again.config_folder = s_.config_folder;
        again.program_folder = s_.program_folder;
        ASSERT_TRUE(config::LoadSystemConfig(again));
        EXPECT_EQ(again.user_password, c.written ? c.password : "old");
        if (!c.written) {
            EXPECT_EQ(ReadFile(ConfigFile()), bytes);
        }
        EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
    }
}

TEST_F(SystemConfigTest, ASymbolicLinkIsWrittenThroughToItsTarget) {
    const std::string target_folder = root_ / "shared/";
    fs::create_directories(target_folder);
    WriteFile(target_folder + "station.xml", kFull);
    fs::create_directories(s_.config_folder);
    fs::create_symlink("../../shared/station.xml", ConfigFile());
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    s_.option_flags[kDeviceType] = false;
    ASSERT_TRUE(config::SaveOptionFlags(s_));
    s_.user_password = "linked";
    ASSERT_EQ(config::SaveUserPassword(s_), SaveResult::kWritten);
    EXPECT_TRUE(fs::is_symlink(ConfigFile()));
    EXPECT_EQ(fs::read_symlink(ConfigFile()), "../../shared/station.xml");
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
    EXPECT_EQ(Entries(target_folder), (std::set<std::string>{"station.xml"}));
    CAppSettings again;
    again.config_folder = s_.config_folder;
    again.program_folder = s_.program_folder;
    ASSERT_TRUE(config::LoadSystemConfig(again));
    EXPECT_FALSE(again.option_flags[kDeviceType]);
    EXPECT_EQ(again.user_password, "linked");

    // A link that leads nowhere is neither replaced by the template nor written.
    fs::remove(target_folder + "station.xml");
    ShipTemplate(kShipped);
    EXPECT_FALSE(config::SaveOptionFlags(s_));
    EXPECT_TRUE(fs::is_symlink(ConfigFile()));
    EXPECT_TRUE(Entries(target_folder).empty());
}

// A file without write permission is left alone; the mode is checked as well as the access
// right, so this holds for root too.
TEST_F(SystemConfigTest, AReadOnlyFileIsLeftAlone) {
    WriteConfig(kFull);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    ::chmod(ConfigFile().c_str(), 0444);
    struct stat before {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &before), 0);
    s_.option_flags[kDeviceType] = false;
    EXPECT_FALSE(config::SaveOptionFlags(s_));
    s_.user_password = "new";
    EXPECT_EQ(config::SaveUserPassword(s_), SaveResult::kNotWritten);
    struct stat after {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    EXPECT_EQ(ReadFile(ConfigFile()), kFull);
    EXPECT_EQ(Entries(s_.config_folder), (std::set<std::string>{"Systemcfg.xml"}));
}

// A shutdown that changed no flag leaves the file as it was: same file, same modification time.
TEST_F(SystemConfigTest, ASaveThatChangesNothingDoesNotRewriteTheFile) {
    ShipTemplate(kShipped);
    ASSERT_TRUE(config::LoadSystemConfig(s_));
    const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, ConfigFile().c_str(), old_times, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &before), 0);
    EXPECT_TRUE(config::SaveOptionFlags(s_));
    EXPECT_EQ(config::SaveUserPassword(s_), SaveResult::kWritten);
    struct stat after {};
    ASSERT_EQ(::stat(ConfigFile().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(ReadFile(ConfigFile()), kShipped);

    s_.option_flags[kAudioNum] = false;  // a change is written
    EXPECT_TRUE(config::SaveOptionFlags(s_));
    ASSERT_EQ(::stat(ConfigFile().c_str(), &after), 0);
    EXPECT_NE(after.st_mtim.tv_sec, 1000000000);
}

TEST_F(SystemConfigTest, UserPasswordIsWrittenIntoItsElementOnly) {
    WriteConfig(kFull);
    s_.user_password = "a<b&c\"d";
    ASSERT_EQ(config::SaveUserPassword(s_), SaveResult::kWritten);
    CAppSettings s;
    s.config_folder = s_.config_folder;
    s.program_folder = s_.program_folder;
    ASSERT_TRUE(config::LoadSystemConfig(s));
    EXPECT_EQ(s.user_password, "a<b&c\"d");
    EXPECT_EQ(s.version, "2.3.4");

    WriteConfig(Doc("<Version>1</Version>"));
    EXPECT_EQ(config::SaveUserPassword(s_), SaveResult::kNotWritten);  // no element: nothing added
    EXPECT_EQ(ReadFile(ConfigFile()), Doc("<Version>1</Version>"));
}

}  // namespace
