// The telnet and maintenance tab and the lens focus lock tab, driven as an operator would, against
// simulated units on loopback (their telnet services too), with the real test script run by the
// real Perl interpreter and an activity log in a temporary folder.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "camera/dlg_lock_focus.h"
#include "config.h"
#include "device/ZQNet.h"
#include "message_recorder.h"
#include "platform/clock.h"
#include "platform/qt_window.h"
#include "records/activity_log.h"
#include "simulator.h"
#include "support/test_files.h"
#include "tabs/dlg_telnet_tool.h"
#include "tabs/key_operation.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

constexpr const char* kPassword = "pw";

// Units 127.0.37.20 to .39 (telnet tab) and .40 to .49 (focus lock tab).
std::string Address(int unit) {
    return "127.0.37." + std::to_string(unit);
}

// A port nothing listens on at `address` (taken and given back at once).
uint16_t FreePort(const std::string& address) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// A widget that counts its paint events, from any thread's point of view.
class PaintCounter : public QWidget {
  public:
    std::atomic<int> paints{0};

  protected:
    void paintEvent(QPaintEvent*) override { ++paints; }
};

// Notes, for other threads too, whether a window message has reached it.
class MessageFlag : public QObject {
  public:
    platform::QtWindowHandle handle{this};
    std::atomic<int> received{0};
    bool event(QEvent* e) override {
        if (e->type() == platform::WindowMessageEvent::Type()) {
            ++received;
            return true;
        }
        return QObject::event(e);
    }
};

class MaintenanceTabsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test_files::TempFolder;
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(
            R"({"address":"127.0.37.20","count":30,"password":"pw","mac":"00:12:41:00:37:20","serial":"SER-37","key":"KEY-OF-THE-UNIT-0001","firmware":"V9.9.R37","type_name":"NVR-37"})",
            units, error))
            << error;
        for (auto& u : units) {
            u.searchPort = 0;
            u.telnetPort = FreePort(u.address);
        }
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
        ASSERT_TRUE(records::OpenActivityLog(LogPath()));
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        platform::SetLocalClock(nullptr);
        records::CloseActivityLog();
        delete simulator_;
        delete folder_;
    }

    void SetUp() override {
        app::Shell() = app::ShellState{};
        app::Shell().text = [](int id) { return "T" + std::to_string(id); };
        app::Settings().program_folder = program_.path() + "/";
        window_.resize(760, 520);
        window_.show();
    }

    static std::string LogPath() { return *folder_ / "ZQTalvaneLog.txt"; }
    static std::string LogText() {
        records::CloseActivityLog();
        std::string text = test_files::ReadFile(LogPath());
        records::OpenActivityLog(LogPath());
        return text;
    }
    static unitsim::Unit& Unit(int unit) { return *simulator_->Find(Address(unit)); }
    static std::vector<uint32_t> Commands(int unit) { return Unit(unit).State().commands; }
    static int Writes(int unit, uint32_t code) {
        int n = 0;
        for (const auto& r : Unit(unit).State().requests)
            n += r.write && r.code == code ? 1 : 0;
        return n;
    }

    template <class Tab>
    std::unique_ptr<Tab> NewTab(int unit) {
        auto tab = std::make_unique<Tab>();
        EXPECT_TRUE(tab->Create(Tab::kTemplateId, &window_));
        tab->SetOwner(owner_.handle.handle());
        tab->setGeometry(0, 0, 740, 500);
        tab->show();
        tab->SetDevice(Address(unit), 34567, "admin");
        app::FindControl<QLineEdit>(tab.get(), CTabPage::kPasswordId)->setText(kPassword);
        return tab;
    }
    static QPushButton* Button(QWidget& tab, int id) {
        return app::FindControl<QPushButton>(&tab, id);
    }
    template <class Tab>
    static void PressAndWait(Tab& tab, int button) {
        QTest::mouseClick(Button(tab, button), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tab.Busy(); }, 30000));
    }
    static QStringList Row(QWidget& tab, int list_id, int row) {
        auto* list = app::FindControl<QTableWidget>(&tab, list_id);
        QStringList cells;
        for (int c = 0; c < list->columnCount(); ++c) {
            QTableWidgetItem* item = list->item(row, c);
            cells << (item != nullptr ? item->text() : QString());
        }
        return cells;
    }
    static int Rows(QWidget& tab, int list_id) {
        return app::FindControl<QTableWidget>(&tab, list_id)->rowCount();
    }
    void WriteScript(const std::string& text) { test_files::WriteFile(program_ / "test.pl", text); }
    // The real line test, as the build ships it.
    void ShipRealScript() {
        WriteScript(test_files::ReadFile(std::string(ZQ_SOURCE_DIR) + "/data/test.pl"));
    }

    static inline test_files::TempFolder* folder_ = nullptr;
    static inline unitsim::Simulator* simulator_ = nullptr;
    test_files::TempFolder program_;  // the program folder of each test
    QDialog window_;
    MessageRecorder owner_;
};

// A test script of the test's own: records its name, its arguments and its working folder.
constexpr const char* kRecordingScript = R"(use strict; use Cwd;
open(my $f, '>>', 'ran.txt') or die; print $f join('|', $0, @ARGV), "\n", getcwd(), "\n"; close $f;
)";

// Each of the four command buttons with the script box ticked and not: the commands the unit
// receives, whether the script ran, one row with text 48.
TEST_F(MaintenanceTabsTest, CommandButtonsSendTheirCommandAndOnlyOpenTelnetRunsTheScript) {
    struct Case {
        int unit;
        int button;
        bool script;
        std::vector<uint32_t> commands;
        bool ran;
    };
    const Case cases[] = {
        {20, CDlgTelnetTool::kOpenTelnetId, false, {349}, false},
        {21, CDlgTelnetTool::kOpenTelnetId, true, {349, 350}, true},
        {22, CDlgTelnetTool::kCloseTelnetId, true, {350}, false},
        {22, CDlgTelnetTool::kOpenConsoleId, true, {350, 351}, false},
        {22, CDlgTelnetTool::kCloseConsoleId, true, {350, 351, 352}, false},
    };
    WriteScript(kRecordingScript);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        std::filesystem::remove(program_ / "ran.txt");
        auto tab = NewTab<CDlgTelnetTool>(c.unit);
        app::FindControl<QCheckBox>(tab.get(), CDlgTelnetTool::kScriptId)->setChecked(c.script);
        PressAndWait(*tab, c.button);
        EXPECT_EQ(Commands(c.unit), c.commands);
        ASSERT_EQ(Rows(*tab, CDlgTelnetTool::kListId), 1);
        const QStringList row = Row(*tab, CDlgTelnetTool::kListId, 0);
        EXPECT_EQ(row[0], "0");
        EXPECT_EQ(row[2], QString::fromStdString(Address(c.unit)));
        EXPECT_EQ(row[3], "34567");
        EXPECT_EQ(row[4], "T48");
        EXPECT_EQ(std::filesystem::exists(program_ / "ran.txt"), c.ran);
        if (c.ran) {
            EXPECT_EQ(test_files::ReadFile(program_ / "ran.txt"),
                      "test.pl|" + Address(c.unit) + "\n" + program_.path() + "\n");
        }
    }
    EXPECT_FALSE(Unit(20).State().console);
    EXPECT_TRUE(Unit(20).State().telnet);
    EXPECT_FALSE(Unit(21).State().telnet);  // closed again after the script
}

// While the script runs, the windows still paint, but a window message posted meanwhile is
// handled only after the script has ended (and not lost), and so is a window's close box.
TEST_F(MaintenanceTabsTest, WindowsPaintWhileTheScriptRunsAndNothingElseIsHandled) {
    WriteScript(R"(use strict; use Cwd;
open(my $f, '>', 'started') or die; close $f;
for (1..1000) { last if -e 'painted'; select(undef, undef, undef, 0.01); }
open($f, '>', 'ran.txt') or die; print $f (-e 'painted' ? "painted" : "not painted"); close $f;
)");
    PaintCounter counter;
    counter.resize(50, 50);
    counter.show();
    MessageFlag flag;
    struct Closable : QWidget {
        std::atomic<bool> closed{false};
        void closeEvent(QCloseEvent* event) override {
            closed = true;
            QWidget::closeEvent(event);
        }
    } closable;  // a top-level window whose close box the operator clicks meanwhile
    closable.resize(40, 40);
    closable.show();
    std::atomic<int> received_during_wait{-1};
    std::atomic<bool> closed_during_wait{true};
    std::thread watcher([&] {
        for (int i = 0; i < 2000 && !std::filesystem::exists(program_ / "started"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int before = counter.paints;
        platform::PostWindowMessage(flag.handle.handle(), 4242, 0, 0);
        QCoreApplication::postEvent(&closable, new QCloseEvent);
        QCoreApplication::postEvent(&counter, new QPaintEvent(QRect(0, 0, 10, 10)));
        for (int i = 0; i < 500 && counter.paints == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        received_during_wait = flag.received.load();
        closed_during_wait = closable.closed.load();
        if (counter.paints > before)
            test_files::WriteFile(program_ / "painted", "");
    });
    auto tab = NewTab<CDlgTelnetTool>(23);
    app::FindControl<QCheckBox>(tab.get(), CDlgTelnetTool::kScriptId)->setChecked(true);
    PressAndWait(*tab, CDlgTelnetTool::kOpenTelnetId);
    watcher.join();
    EXPECT_EQ(test_files::ReadFile(program_ / "ran.txt"), "painted");
    EXPECT_EQ(received_during_wait, 0);
    EXPECT_FALSE(closed_during_wait);
    EXPECT_TRUE(QTest::qWaitFor([&] { return flag.received == 1; }, 2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return closable.closed.load(); }, 2000));
    EXPECT_EQ(Commands(23), (std::vector<uint32_t>{349, 350}));
}

// The shipped test.pl against the units' telnet services: its verdict for a good unit, for one
// whose telnet did not open and for a wrong account. The row shows 48 whatever the verdict.
TEST_F(MaintenanceTabsTest, RealTestScriptPassesForAGoodUnitAndFailsOtherwise) {
    struct Case {
        int unit;
        bool telnet_fails;
        const char* password;
        std::string verdict;
    };
    const Case cases[] = {
        {24, false, kPassword,
         "PASS 127.0.37.24: version V9.9.R37, MAC 00:12:41:00:37:24, serial SER-37\n"},
        {25, true, kPassword, "FAIL 127.0.37.25: telnet not reachable on port "},
        {26, false, "wrong", "FAIL 127.0.37.26: login refused\n"},
    };
    ShipRealScript();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        std::filesystem::remove(program_ / "test.log");
        if (c.telnet_fails)
            Unit(c.unit).SetFault(ZQNET_CMD_TELNET_OPEN, {.failWrite = true, .count = 1});
        setenv("ZQ_TELNET_PORT", std::to_string(Unit(c.unit).config().telnetPort).c_str(), 1);
        setenv("ZQ_TELNET_PASSWORD", c.password, 1);
        auto tab = NewTab<CDlgTelnetTool>(c.unit);
        app::FindControl<QCheckBox>(tab.get(), CDlgTelnetTool::kScriptId)->setChecked(true);
        PressAndWait(*tab, CDlgTelnetTool::kOpenTelnetId);
        const std::string log = test_files::ReadFile(program_ / "test.log");
        EXPECT_EQ(log.substr(0, c.verdict.size()), c.verdict) << log;
        EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, 0)[4], "T48");
        // A refused command is not in the unit's list.
        const std::vector<uint32_t> sent =
            c.telnet_fails ? std::vector<uint32_t>{350} : std::vector<uint32_t>{349, 350};
        EXPECT_EQ(Commands(c.unit), sent);
        EXPECT_FALSE(Unit(c.unit).State().telnet);
    }
    unsetenv("ZQ_TELNET_PORT");
    unsetenv("ZQ_TELNET_PASSWORD");
}

// Scripts that never start, fail or crash: telnet is closed again at once and the row shows 48.
TEST_F(MaintenanceTabsTest, AScriptThatNeverStartsOrCrashesStillClosesTelnet) {
    struct Case {
        const char* name;
        const char* script;   // nullptr: no test.pl in the program folder
        bool missing_folder;  // the program folder does not exist
    };
    const Case cases[] = {
        {"no test.pl", nullptr, false},
        {"no program folder", R"(exit 0;)", true},
        {"script dies", R"(die "broken\n";)", false},
        {"script crashes", R"(kill 'SEGV', $$; sleep 5;)", false},
        {"script does not compile", R"(this is not perl {)", false},
    };
    int unit = 27;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(program_ / "test.pl");
        if (c.script != nullptr)
            WriteScript(c.script);
        app::Settings().program_folder =
            c.missing_folder ? program_ / "missing/" : program_.path() + "/";
        auto tab = NewTab<CDlgTelnetTool>(unit);
        app::FindControl<QCheckBox>(tab.get(), CDlgTelnetTool::kScriptId)->setChecked(true);
        PressAndWait(*tab, CDlgTelnetTool::kOpenTelnetId);
        EXPECT_EQ(Commands(unit), (std::vector<uint32_t>{349, 350}));
        EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, 0)[4], "T48");
        ++unit;
    }
}

// A failed login sends nothing and runs no script: the row shows the login result's text.
TEST_F(MaintenanceTabsTest, AFailedLoginSendsNothing) {
    WriteScript(kRecordingScript);
    const int buttons[] = {CDlgTelnetTool::kOpenTelnetId, CDlgTelnetTool::kEraseId,
                           CDlgTelnetTool::kTimeSyncId};
    auto tab = NewTab<CDlgTelnetTool>(32);
    app::FindControl<QLineEdit>(tab.get(), CTabPage::kPasswordId)->setText("wrong");
    app::FindControl<QCheckBox>(tab.get(), CDlgTelnetTool::kScriptId)->setChecked(true);
    for (int button : buttons)
        PressAndWait(*tab, button);
    EXPECT_TRUE(Commands(32).empty());
    EXPECT_TRUE(Unit(32).State().requests.empty());
    EXPECT_FALSE(std::filesystem::exists(program_ / "ran.txt"));
    ASSERT_EQ(Rows(*tab, CDlgTelnetTool::kListId), 3);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, row)[0], QString::number(row));
        EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, row)[4], "T42");
    }
}

// Erase P2P on a unit whose key record cannot be read, and on one with a key: the log lines of
// the key tab's clear, the row, and what the unit keeps.
TEST_F(MaintenanceTabsTest, EraseP2pClearsTheKeyInTwoLoggedSteps) {
    Unit(33).SetFault(ZQNET_PARAM_KEY, {.failQuery = true});
    const std::string before = LogText();
    auto failing = NewTab<CDlgTelnetTool>(33);
    PressAndWait(*failing, CDlgTelnetTool::kEraseId);
    EXPECT_EQ(Row(*failing, CDlgTelnetTool::kListId, 0)[4], "T49");
    EXPECT_EQ(Writes(33, ZQNET_PARAM_KEY), 0);
    std::string log = LogText().substr(before.size());
    EXPECT_NE(log.find("Clear device p2p, first step:query p2p failed\n"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("second step"), std::string::npos) << log;

    auto tab = NewTab<CDlgTelnetTool>(34);
    PressAndWait(*tab, CDlgTelnetTool::kEraseId);
    EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, 0)[4], "T48");
    const ZQNetKeyRecord key = Unit(34).State().key;
    EXPECT_EQ(tabs::FieldText(key.key, sizeof key.key), "");
    log = LogText().substr(before.size() + log.size());
    EXPECT_NE(
        log.find("Clear device p2p, first step:query p2p success, p2p:KEY-OF-THE-UNIT-0001\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Clear device p2p, second step:set p2p success, p2p:\n"), std::string::npos)
        << log;

    Unit(35).SetFault(ZQNET_PARAM_KEY, {.failWrite = true});
    auto refusing = NewTab<CDlgTelnetTool>(35);
    PressAndWait(*refusing, CDlgTelnetTool::kEraseId);
    EXPECT_EQ(Row(*refusing, CDlgTelnetTool::kListId, 0)[4], "T49");
    EXPECT_NE(LogText().find("Clear device p2p, second step:set p2p failed\n"), std::string::npos);
}

// Time sync at a fixed clock in 2024: the unit receives year 24, the clock, bIEChangeTime 1 and
// its own settings; a failed read gives 49 and sends nothing.
TEST_F(MaintenanceTabsTest, TimeSyncSendsTheLocalTimeWithATwoDigitYear) {
    platform::SetLocalClock([] { return platform::LocalTime{2024, 11, 3, 14, 15, 16, 0}; });
    const ZQNetSysParamRecord unit = Unit(36).State().system;
    auto tab = NewTab<CDlgTelnetTool>(36);
    PressAndWait(*tab, CDlgTelnetTool::kTimeSyncId);
    EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, 0)[4], "T48");
    EXPECT_EQ(Row(*tab, CDlgTelnetTool::kListId, 0)[1], "2024-11-03_14:15:16");
    const auto written = Unit(36).State().written;
    ASSERT_EQ(written.count(ZQNET_PARAM_SYSTEM), 1u);
    ZQNetSysParamRecord sent{};
    ASSERT_EQ(written.at(ZQNET_PARAM_SYSTEM).size(), sizeof sent);
    std::memcpy(&sent, written.at(ZQNET_PARAM_SYSTEM).data(), sizeof sent);
    EXPECT_EQ(sent.year, 24);
    EXPECT_EQ(sent.month, 11);
    EXPECT_EQ(sent.day, 3);
    EXPECT_EQ(sent.hour, 14);
    EXPECT_EQ(sent.minute, 15);
    EXPECT_EQ(sent.second, 16);
    EXPECT_EQ(sent.ieChangeTime, 1);
    EXPECT_EQ(sent.languageMask, unit.languageMask);
    EXPECT_EQ(std::memcmp(sent.ntpServer, unit.ntpServer, sizeof sent.ntpServer), 0);

    Unit(37).SetFault(ZQNET_PARAM_SYSTEM, {.failQuery = true});
    auto failing = NewTab<CDlgTelnetTool>(37);
    PressAndWait(*failing, CDlgTelnetTool::kTimeSyncId);
    EXPECT_EQ(Row(*failing, CDlgTelnetTool::kListId, 0)[4], "T49");
    EXPECT_EQ(Writes(37, ZQNET_PARAM_SYSTEM), 0);
    platform::SetLocalClock(nullptr);
}

// While a login is pending the four telnet and console buttons are disabled and erase and time
// sync are not; a press on erase replaces the pending operation. The row shows the address and
// port the fields hold when it is added.
TEST_F(MaintenanceTabsTest, ErasePressedDuringALoginReplacesTheOperation) {
    // Long enough that the first login cannot report before erase is pressed, even on a busy
    // machine (its result would otherwise be taken for the erase's, as the frame is built).
    Unit(38).SetFault(unitsim::kFaultLogin, {.delayMs = 1500, .count = 2});
    auto tab = NewTab<CDlgTelnetTool>(38);
    QTest::mouseClick(Button(*tab, CDlgTelnetTool::kOpenTelnetId), Qt::LeftButton);
    for (int id : {CDlgTelnetTool::kOpenTelnetId, CDlgTelnetTool::kCloseTelnetId,
                   CDlgTelnetTool::kOpenConsoleId, CDlgTelnetTool::kCloseConsoleId})
        EXPECT_FALSE(Button(*tab, id)->isEnabled()) << id;
    EXPECT_TRUE(Button(*tab, CDlgTelnetTool::kEraseId)->isEnabled());
    EXPECT_TRUE(Button(*tab, CDlgTelnetTool::kTimeSyncId)->isEnabled());
    EXPECT_TRUE(Button(*tab, CTabPage::kBackId)->isEnabled());
    QTest::mouseClick(Button(*tab, CDlgTelnetTool::kEraseId), Qt::LeftButton);
    tab->SetDevice("127.0.37.250", 4321, "admin");  // changed before the login result comes
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tab->Busy(); }, 20000));
    QTest::qWait(600);  // nothing more comes of the replaced operation
    EXPECT_TRUE(Commands(38).empty());
    EXPECT_EQ(Writes(38, ZQNET_PARAM_KEY), 1);
    ASSERT_EQ(Rows(*tab, CDlgTelnetTool::kListId), 1);
    const QStringList row = Row(*tab, CDlgTelnetTool::kListId, 0);
    EXPECT_EQ(row[2], "127.0.37.250");
    EXPECT_EQ(row[3], "4321");
    EXPECT_EQ(row[4], "T48");
    for (int id : {CDlgTelnetTool::kOpenTelnetId, CDlgTelnetTool::kCloseConsoleId})
        EXPECT_TRUE(Button(*tab, id)->isEnabled()) << id;
}

// Lens focus lock: PTZ 96 with its 44-byte block; Set stays disabled until the result.
TEST_F(MaintenanceTabsTest, SetLocksTheFocus) {
    auto tab = NewTab<CDlgLockFocus>(40);
    EXPECT_TRUE(app::FindControl<QLineEdit>(tab.get(), CDlgLockFocus::kHiddenId)->isHidden());
    QTest::mouseClick(Button(*tab, CDlgLockFocus::kSetId), Qt::LeftButton);
    EXPECT_FALSE(Button(*tab, CDlgLockFocus::kSetId)->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tab->Busy(); }, 20000));
    EXPECT_TRUE(Button(*tab, CDlgLockFocus::kSetId)->isEnabled());
    EXPECT_TRUE(Unit(40).State().focusLocked);
    EXPECT_EQ(Commands(40), (std::vector<uint32_t>{96}));
    EXPECT_EQ(Row(*tab, CDlgLockFocus::kListId, 0)[4], "T48");

    Unit(41).SetFault(ZQNET_PTZ_FOCUS_LOCK, {.failWrite = true});
    auto refused = NewTab<CDlgLockFocus>(41);
    PressAndWait(*refused, CDlgLockFocus::kSetId);
    EXPECT_EQ(Row(*refused, CDlgLockFocus::kListId, 0)[4], "T49");
}

// Lens files of each kind: what the unit receives as parameter 871 and the row.
TEST_F(MaintenanceTabsTest, ImportSendsALensFileOfAtMost400BytesWhole) {
    std::string exact(400, '\0');
    for (size_t i = 0; i < exact.size(); ++i)
        exact[i] = static_cast<char>(i * 13 + 1);
    test_files::WriteFile(program_ / "exact.bin", exact);
    test_files::WriteFile(program_ / "small.bin", std::string("\x01\x00\x02", 3));
    test_files::WriteFile(program_ / "large.bin", std::string(401, 'x'));
    test_files::WriteFile(program_ / "empty.bin", "");
    test_files::WriteFile(program_ / "locked.bin", "abc");
    std::filesystem::permissions(program_ / "locked.bin", std::filesystem::perms::none);
    // A FIFO with no writer: reading it would block the user-interface thread for ever.
    ASSERT_EQ(mkfifo((program_ / "fifo").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string path;
        std::string sent;  // empty: nothing sent
        const char* text;
    };
    const Case cases[] = {
        {"400 bytes", program_ / "exact.bin", exact, "T48"},
        {"3 bytes with a zero", program_ / "small.bin", std::string("\x01\x00\x02", 3), "T48"},
        {"401 bytes", program_ / "large.bin", "", "T316"},
        {"empty path", "", "", "T49"},
        {"missing file", program_ / "none.bin", "", "T49"},
        {"a folder", program_.path(), "", "T49"},
        {"a FIFO", program_ / "fifo", "", "T49"},
        {"a terminal", "/dev/tty", "", "T49"},
        {"empty file", program_ / "empty.bin", "", "T49"},
        {"unreadable file", test_files::PermissionsApply() ? program_ / "locked.bin" : "", "",
         "T49"},
    };
    int unit = 42;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int logins = Unit(unit).State().logins;
        const int writes = Writes(unit, ZQNET_PARAM_LENS_FILE);
        auto tab = NewTab<CDlgLockFocus>(unit);
        app::FindControl<QLineEdit>(tab.get(), CDlgLockFocus::kPathId)
            ->setText(QString::fromStdString(c.path));
        PressAndWait(*tab, CDlgLockFocus::kImportId);
        EXPECT_EQ(Unit(unit).State().logins, logins + 1);  // logged in, whatever the file
        EXPECT_EQ(Row(*tab, CDlgLockFocus::kListId, 0)[4], c.text);
        const auto written = Unit(unit).State().written;
        if (c.sent.empty()) {
            EXPECT_EQ(Writes(unit, ZQNET_PARAM_LENS_FILE), writes);
        } else {
            ASSERT_EQ(written.count(ZQNET_PARAM_LENS_FILE), 1u);
            const auto& bytes = written.at(ZQNET_PARAM_LENS_FILE);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.sent);
        }
        if (++unit > 49)
            unit = 42;
    }
}

// "..." opens a file dialog for an existing file; its choice lands in the path field.
TEST_F(MaintenanceTabsTest, BrowseFillsThePathField) {
    test_files::WriteFile(program_ / "lens.bin", "lens");
    auto tab = NewTab<CDlgLockFocus>(49);
    // Answers the dialog once it is up (on a busy machine it may take a while to appear), again
    // on every tick until it has closed; gives up after 20 s by rejecting whatever dialog is
    // open, so the test never hangs.
    bool seen = false;
    int ticks = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QFileDialog* dialog = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<QFileDialog*>(window); d != nullptr && d->isVisible())
                dialog = d;
        }
        if (++ticks > 1000) {
            if (dialog != nullptr)
                dialog->reject();
            else if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                modal->reject();
            answer.stop();
        } else if (dialog != nullptr) {
            seen = true;
            EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
            // Typed into the file name field, as an operator does (selectFile leaves a field
            // that has the focus alone, and the field has it once the dialog is up).
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name == nullptr)
                return;
            name->setText(QString::fromStdString(program_ / "lens.bin"));
            static_cast<QDialog*>(dialog)->accept();
        } else if (seen) {
            answer.stop();  // closed
        }
    });
    answer.start(20);
    QTest::mouseClick(Button(*tab, CDlgLockFocus::kBrowseId), Qt::LeftButton);
    EXPECT_TRUE(seen);
    EXPECT_EQ(app::FindControl<QLineEdit>(tab.get(), CDlgLockFocus::kPathId)->text().toStdString(),
              program_ / "lens.bin");
}

}  // namespace
