// The station as an operator sees it: start-up and shutdown, the main window, the search view
// against simulated units, the tabs' connection fields and the shared device password.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "app/main_dlg.h"
#include "app/splash_wnd.h"
#include "app/zqtalvane_app.h"
#include "camera/dlg_adjust_fish_eye.h"
#include "camera/dlg_lock_focus.h"
#include "camera/dlg_ptz.h"
#include "config.h"
#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "i18n/language_table.h"
#include "platform/folders.h"
#include "simulator.h"
#include "support/test_files.h"
#include "tabs/dlg_device_info.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_restore_factory_tool.h"
#include "tabs/dlg_search.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/dlg_telnet_tool.h"
#include "tabs/ip_address_edit.h"
#include "tabs/tab_page.h"
#include "ui/controls.h"
#include "ui/dlg_register.h"
#include "ui/message_box.h"
#include "ui/shell.h"

namespace {

// The simulated line: units on 127.0.30.9 and up, in an order the list must change.
const char* kUnits = R"(
{"address":"127.0.30.10","type_name":"NVR-3216","firmware":"V4.02.R11","channels":16,"channels_byte":16,"net_type":2,"mac":"00:12:41:00:00:10"}
{"address":"127.0.30.9","type_name":"IPC-F20","firmware":"V5.00.R02","device_kind":4,"channels":1,"channels_byte":1,"net_type":0,"mac":"00:12:41:00:00:99"}
{"address":"127.0.30.11","type_name":"RVMS","mac":"00:12:41:00:00:11"}
{"address":"127.0.30.12","type_name":"rvms","channels":32,"channels_byte":0,"net_type":1,"mac":"00:12:41:00:00:05"}
{"address":"127.0.30.13","type_name":"DVR","channels":8,"channels_byte":0,"net_type":3,"mac":"00:12:41:00:00:07"}
)";

class StationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("ZQNET_SEARCH_TARGETS", "127.0.30.9-127.0.30.14", 1);
        setenv("ZQNET_SEARCH_WINDOW_MS", "400", 1);
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(kUnits, units, error)) << error;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
    }
    static void TearDownTestSuite() {
        delete simulator_;
        simulator_ = nullptr;
    }

    // Runs the station with the test's body inside its main window's modal run; the body's
    // end closes the window.
    void RunStation(std::function<void(CZQTalvaneDlg&)> body,
                    std::vector<const char*> args = {"ZQTalvane", "--no-splash"}) {
        CZQTalvaneApp app({ZQ_BINARY_DIR "/bin/", config_.path() + "/Talvane Config/"});
        app.on_step = [&](const char* step, CZQTalvaneDlg* main) {
            steps_.push_back(step);
            if (main != nullptr) {
                EXPECT_TRUE(QTest::qWaitForWindowExposed(main));
                body(*main);
                main->close();
            }
        };
        EXPECT_EQ(app.Run(static_cast<int>(args.size()), args.data()), 0);
    }

    static void Search(CZQTalvaneDlg& main) {
        auto* search = app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kSearchId);
        QTest::mouseClick(search, Qt::LeftButton);
        EXPECT_FALSE(search->isEnabled());
        EXPECT_TRUE(QTest::qWaitFor([search] { return search->isEnabled(); }, 10000));
    }

    static QTableWidget* List(CZQTalvaneDlg& main) {
        return app::FindControl<QTableWidget>(main.SearchView(), CDlgSearch::kListId);
    }

    static std::vector<std::string> Column(CZQTalvaneDlg& main, int column) {
        std::vector<std::string> cells;
        QTableWidget* list = List(main);
        for (int row = 0; row < list->rowCount(); ++row) {
            cells.push_back(list->item(row, column)->text().toStdString());
        }
        return cells;
    }

    static void DoubleClickRow(CZQTalvaneDlg& main, int row) {
        QTableWidget* list = List(main);
        const QRect cell = list->visualRect(list->model()->index(row, 1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::qWait(50);  // message 1124 is posted
    }

    static void ClickHeader(CZQTalvaneDlg& main, int column) {
        QHeaderView* header = List(main)->horizontalHeader();
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }

    static inline unitsim::Simulator* simulator_ = nullptr;
    test_files::TempFolder config_;
    std::vector<std::string> steps_;
};

TEST_F(StationTest, StartsAndShutsDownInOrder) {
    const std::string folder = config_.path() + "/Talvane Config/";
    bool ready_at_main_window = false;
    bool playback_ready = false;
    RunStation([&](CZQTalvaneDlg&) {
        playback_ready = ZQPlayIsInitialised() == 1;
        ZQNetSearchRequest request{};
        request.callback = [](const ZQNetDeviceRecord*, void*) -> int32_t { return 0; };
        ready_at_main_window = ZQNetSearchDev(&request) == 1 &&
                               platform::IsFile(folder + "Systemcfg.xml") &&
                               platform::IsFile(folder + "ZQTalvane.db") &&
                               platform::IsFile(folder + "ZQTalvaneLog.txt");
    });
    const std::vector<std::string> expected = {"folders",
                                               "core",
                                               "skin",
                                               "command line",
                                               "device library",
                                               "playback library",
                                               "main window",
                                               "main window shown",
                                               "close records",
                                               "release playback library",
                                               "release device library",
                                               "finish core"};
    EXPECT_EQ(steps_, expected);
    EXPECT_TRUE(ready_at_main_window);
    EXPECT_TRUE(playback_ready);
    EXPECT_EQ(ZQPlayIsInitialised(), 0);
    // The device library was initialised for the window and is released after it.
    ZQNetSearchRequest request{};
    request.callback = [](const ZQNetDeviceRecord*, void*) -> int32_t { return 0; };
    EXPECT_EQ(ZQNetSearchDev(&request), 0);
    // The option flags are saved at the end, even when the file went away meanwhile.
    std::filesystem::remove(folder + "Systemcfg.xml");
    steps_.clear();
    RunStation([&](CZQTalvaneDlg&) { std::filesystem::remove(folder + "Systemcfg.xml"); });
    EXPECT_TRUE(platform::IsFile(folder + "Systemcfg.xml"));
    EXPECT_NE(test_files::ReadFile(folder + "Systemcfg.xml").find("PoePowerNum"),
              std::string::npos);
}

// A signal (a workstation shutting down, a watchdog) ends the station as closing its window
// does: the open box is closed first, then the main window, then every shutdown step runs.
TEST_F(StationTest, ASignalClosesTheOpenBoxAndShutsDownInOrder) {
    const std::string folder = config_.path() + "/Talvane Config/";
    int answer = -1;
    RunStation([&](CZQTalvaneDlg& main) {
        std::filesystem::remove(folder + "Systemcfg.xml");
        QTimer::singleShot(100, [] { kill(getpid(), SIGTERM); });
        CMyMessageBox box(49, 0, &main);
        answer = box.DoModal();  // closed by the signal
        EXPECT_TRUE(QTest::qWaitFor([&] { return !main.isVisible(); }, 5000));
    });
    EXPECT_EQ(answer, CMyMessageBox::kIdCancel);
    ASSERT_GE(steps_.size(), 4u);
    const std::vector<std::string> last(steps_.end() - 4, steps_.end());
    EXPECT_EQ(last, (std::vector<std::string>{"close records", "release playback library",
                                              "release device library", "finish core"}));
    EXPECT_NE(test_files::ReadFile(folder + "Systemcfg.xml").find("PoePowerNum"),
              std::string::npos);
    EXPECT_NE(test_files::ReadFile(folder + "ZQTalvaneLog.txt")
                  .find("ZQTalvane: stopped by signal 15\n"),
              std::string::npos);
}

// The real program, ended by each signal: it exits cleanly, its log holds the signal's line and
// the option flags are saved (Systemcfg.xml, removed while it ran, is written again).
TEST_F(StationTest, TheProgramEndedBySigtermSigintOrSighupSavesItsLogAndFlags) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        test_files::TempFolder home;
        const std::string folder = home.path() + "/Talvane Config/";
        const std::string program = ZQ_BINARY_DIR "/bin/ZQTalvane";
        const std::string xdg = "XDG_CONFIG_HOME=" + home.path();
        std::vector<std::string> env_texts = {xdg, "QT_QPA_PLATFORM=offscreen",
                                              "ZQNET_SEARCH_TARGETS=127.0.0.1:9"};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "PATH"}) {
            if (const char* value = std::getenv(name))
                env_texts.push_back(std::string(name) + "=" + value);
        }
        std::vector<char*> env;
        for (std::string& text : env_texts)
            env.push_back(text.data());
        env.push_back(nullptr);
        char arg0[] = "ZQTalvane";
        char arg1[] = "--no-splash";
        char* argv[] = {arg0, arg1, nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, env.data()), 0);
        // Up: its log is open and its main window runs.
        ASSERT_TRUE(QTest::qWaitFor([&] { return platform::IsFile(folder + "ZQTalvaneLog.txt"); },
                                    20000));
        QTest::qWait(1500);
        std::filesystem::remove(folder + "Systemcfg.xml");
        kill(pid, signal);
        int status = -1;
        ASSERT_TRUE(QTest::qWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(test_files::ReadFile(folder + "ZQTalvaneLog.txt")
                      .find("ZQTalvane: stopped by signal " + std::to_string(signal) + "\n"),
                  std::string::npos);
        EXPECT_NE(test_files::ReadFile(folder + "Systemcfg.xml").find("PoePowerNum"),
                  std::string::npos);
    }
}

TEST_F(StationTest, ShowsNineTabsInOrderAndTheSearchViewFirst) {
    RunStation([&](CZQTalvaneDlg& main) {
        EXPECT_EQ(main.windowTitle(), "ZQTalvane");
        const int captions[] = {18, 259, 19, 22, 141, 142, 155, 231, 238};
        ASSERT_EQ(main.TabBar()->count(), 9);
        ASSERT_EQ(main.Pages().size(), 9u);
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(main.TabBar()->tabText(i).toStdString(), i18n::Text(captions[i])) << i;
            EXPECT_NE(i18n::Text(captions[i]), " ") << i;
        }
        const auto& p = main.Pages();
        EXPECT_NE(dynamic_cast<CDlgTalvane*>(p[0]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgSerialNum*>(p[1]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgKeyTool*>(p[2]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgRestoreFactoryTool*>(p[3]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgDeviceInfo*>(p[4]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgLockFocus*>(p[5]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgTelnetTool*>(p[6]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgAdjustFishEye*>(p[7]), nullptr);
        EXPECT_NE(dynamic_cast<CDlgPtz*>(p[8]), nullptr);
        const int user_ids[] = {1015, 1178, 1002, 1002, 1002, 1002, 1002, 1002, 1002};
        for (int i = 0; i < 9; ++i) {
            for (int id : {1000, 1001, user_ids[i], 1005, 1013}) {
                EXPECT_NE(app::FindControl(p[static_cast<size_t>(i)], id), nullptr)
                    << "tab " << i << " control " << id;
            }
        }
        EXPECT_TRUE(main.SearchView()->isVisible());
        EXPECT_FALSE(main.TabControl()->isVisible());

        // The layout margins.
        QTest::qWait(20);
        const QRect inner = main.rect().adjusted(20, 20, -20, -20);
        EXPECT_EQ(main.SearchView()->geometry(), inner);
        EXPECT_EQ(main.TabControl()->geometry(), inner);
        const QRect page = QRect(0, 0, inner.width(), inner.height()).adjusted(2, 22, -4, -2);
        for (CTabPage* tab : main.Pages()) {
            EXPECT_EQ(tab->geometry(), page);
        }
    });
}

TEST_F(StationTest, SearchListsTheUnitsInNumericOrderWithoutRvms) {
    RunStation([&](CZQTalvaneDlg& main) {
        Search(main);
        EXPECT_EQ(Column(main, 0), (std::vector<std::string>{"0", "1", "2", "3"}));
        EXPECT_EQ(Column(main, 1), (std::vector<std::string>{"127.0.30.9", "127.0.30.10",
                                                             "127.0.30.12", "127.0.30.13"}));
        EXPECT_EQ(Column(main, 2), (std::vector<std::string>(4, "34567")));
        EXPECT_EQ(Column(main, 3), (std::vector<std::string>{"1", "16", "32", "8"}));
        EXPECT_EQ(Column(main, 4),
                  (std::vector<std::string>{"IPC-F20", "NVR-3216", "rvms", "DVR"}));
        EXPECT_EQ(Column(main, 12), (std::vector<std::string>{"DHCP", "STATIC", "PPPOE", ""}));
        EXPECT_EQ(Column(main, 8)[1], "V4.02.R11");
        EXPECT_TRUE(
            app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kManualId)->isEnabled());

        // "IP": the first click keeps ascending order, the second reverses it.
        ClickHeader(main, 1);
        EXPECT_EQ(Column(main, 1)[0], "127.0.30.9");
        ClickHeader(main, 1);
        EXPECT_EQ(Column(main, 1), (std::vector<std::string>{"127.0.30.13", "127.0.30.12",
                                                             "127.0.30.10", "127.0.30.9"}));
        EXPECT_EQ(Column(main, 0)[0], "0");
        // "MAC Ver": ascending, then descending.
        ClickHeader(main, 5);
        EXPECT_EQ(Column(main, 5),
                  (std::vector<std::string>{"00:12:41:00:00:05", "00:12:41:00:00:07",
                                            "00:12:41:00:00:10", "00:12:41:00:00:99"}));
        ClickHeader(main, 5);
        EXPECT_EQ(Column(main, 5)[0], "00:12:41:00:00:99");
        // Other headers do nothing.
        ClickHeader(main, 2);
        EXPECT_EQ(Column(main, 5)[0], "00:12:41:00:00:99");
    });
}

void ExpectEveryTabHas(CZQTalvaneDlg& main, const std::string& address, const QString& port) {
    for (CTabPage* tab : main.Pages()) {
        SCOPED_TRACE(tab->metaObject()->className());
        EXPECT_EQ(app::FindControl<CIpAddressEdit>(tab, 1000)->AddressText(), address);
        EXPECT_EQ(app::FindControl<QLineEdit>(tab, 1001)->text(), port);
        EXPECT_EQ(app::FindControl<QLineEdit>(tab, tab->info().user_field_id)->text(), "admin");
    }
}

TEST_F(StationTest, PickingAUnitFillsEveryTabAndBackReturns) {
    RunStation([&](CZQTalvaneDlg& main) {
        Search(main);
        DoubleClickRow(main, 1);
        EXPECT_FALSE(main.SearchView()->isVisible());
        EXPECT_TRUE(main.TabControl()->isVisible());
        EXPECT_EQ(main.TabBar()->currentIndex(), 0);
        EXPECT_TRUE(main.Pages()[0]->isVisible());
        ExpectEveryTabHas(main, "127.0.30.10", "34567");

        // Another tab, Back, another unit: tab 0 again.
        main.TabBar()->setCurrentIndex(3);
        EXPECT_TRUE(main.Pages()[3]->isVisible());
        EXPECT_FALSE(main.Pages()[0]->isVisible());
        QTest::mouseClick(app::FindControl<QPushButton>(main.Pages()[3], 1013), Qt::LeftButton);
        QTest::qWait(50);
        EXPECT_TRUE(main.SearchView()->isVisible());
        EXPECT_FALSE(main.TabControl()->isVisible());
        DoubleClickRow(main, 0);
        EXPECT_EQ(main.TabBar()->currentIndex(), 0);
        EXPECT_TRUE(main.Pages()[0]->isVisible());
        EXPECT_FALSE(main.Pages()[3]->isVisible());
        ExpectEveryTabHas(main, "127.0.30.9", "34567");

        // Manual entry.
        QTest::mouseClick(app::FindControl<QPushButton>(main.Pages()[0], 1013), Qt::LeftButton);
        QTest::qWait(50);
        QTest::mouseClick(app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kManualId),
                          Qt::LeftButton);
        QTest::qWait(50);
        EXPECT_TRUE(main.TabControl()->isVisible());
        ExpectEveryTabHas(main, "0.0.0.0", "9000");
    });
}

TEST_F(StationTest, APasswordTypedInOneTabReachesEveryTabButNotFromTheFisheyeTab) {
    RunStation([&](CZQTalvaneDlg& main) {
        QTest::mouseClick(app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kManualId),
                          Qt::LeftButton);
        QTest::qWait(50);
        main.TabBar()->setCurrentIndex(2);  // key tab
        auto* key_password = app::FindControl<QLineEdit>(main.Pages()[2], 1005);
        key_password->setFocus();
        QTest::keyClicks(key_password, "s3cret");
        app::FindControl<QLineEdit>(main.Pages()[2], 1000)->setFocus();  // focus moves away
        QTest::qWait(50);
        EXPECT_EQ(app::Settings().device_password, "s3cret");
        for (CTabPage* tab : main.Pages()) {
            EXPECT_EQ(app::FindControl<QLineEdit>(tab, 1005)->text(), "s3cret")
                << tab->metaObject()->className();
        }

        main.TabBar()->setCurrentIndex(7);  // fisheye tab
        auto* fisheye_password = app::FindControl<QLineEdit>(main.Pages()[7], 1005);
        fisheye_password->setFocus();
        QTest::keyClicks(fisheye_password, "X");
        app::FindControl<QLineEdit>(main.Pages()[7], 1000)->setFocus();
        QTest::qWait(50);
        EXPECT_EQ(app::Settings().device_password, "s3cret");
        EXPECT_EQ(app::FindControl<QLineEdit>(main.Pages()[0], 1005)->text(), "s3cret");
    });
}

TEST_F(StationTest, ASearchThatCannotRunEndsWithAnEmptyListAndTheButtonsEnabled) {
    RunStation([&](CZQTalvaneDlg& main) {
        Search(main);
        EXPECT_EQ(List(main)->rowCount(), 4);
        ZQNetRelease();  // the library can no longer search
        Search(main);
        EXPECT_EQ(List(main)->rowCount(), 0);
        EXPECT_TRUE(main.SearchView()->Store().empty());
        EXPECT_TRUE(
            app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kManualId)->isEnabled());
    });
}

TEST_F(StationTest, TheSplashShowsAtStartAndTheFirstClickOnlyRemovesIt) {
    CSplashWnd::ResetForTest();
    RunStation(
        [&](CZQTalvaneDlg& main) {
            ASSERT_NE(CSplashWnd::Current(), nullptr);
            EXPECT_EQ(CSplashWnd::Current()->DisplayedText().toStdString(),
                      i18n::Text(13) + app::Settings().version);
            auto* search = app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kSearchId);
            QTest::mouseClick(search, Qt::LeftButton);
            EXPECT_EQ(CSplashWnd::Current(), nullptr);
            EXPECT_TRUE(search->isEnabled());  // no search was started
            QTest::qWait(600);
            EXPECT_EQ(List(main)->rowCount(), 0);
        },
        {"ZQTalvane"});
    CSplashWnd::ResetForTest();
    RunStation([&](CZQTalvaneDlg&) { EXPECT_EQ(CSplashWnd::Current(), nullptr); },
               {"ZQTalvane", "--no-splash"});
}

TEST_F(StationTest, ModifyChangesTheOperatorPasswordInSystemcfg) {
    const std::string file = config_.path() + "/Talvane Config/Systemcfg.xml";
    RunStation([&](CZQTalvaneDlg& main) {
        EXPECT_EQ(app::Settings().user_password, "admin");  // the shipped template's
        QTimer::singleShot(50, [] {
            CDlgRegister* dlg = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<CDlgRegister*>(w); d != nullptr && d->isVisible()) {
                    dlg = d;
                }
            }
            ASSERT_NE(dlg, nullptr);
            EXPECT_EQ(dlg->windowTitle().toStdString(), i18n::Text(176));
            QTest::keyClicks(app::FindControl<QLineEdit>(dlg, 1138), "admin");
            QTest::keyClicks(app::FindControl<QLineEdit>(dlg, 1139), "n3wpass");
            QTest::keyClick(app::FindControl<QLineEdit>(dlg, 1139), Qt::Key_Return);
        });
        QTest::mouseClick(app::FindControl<QPushButton>(main.SearchView(), CDlgSearch::kModifyId),
                          Qt::LeftButton);
        EXPECT_EQ(app::Settings().user_password, "n3wpass");
    });
    EXPECT_NE(test_files::ReadFile(file).find("<UserPassword>n3wpass</UserPassword>"),
              std::string::npos);
}

TEST_F(StationTest, MissingProgramFilesNeverStopTheStart) {
    // A program folder with nothing in it: no template, no language table, no skin, no theme.
    test_files::TempFolder empty;
    CSplashWnd::ResetForTest();
    CZQTalvaneApp app({empty.path() + "/", config_.path() + "/cfg/"});
    bool shown = false;
    app.on_step = [&](const char*, CZQTalvaneDlg* main) {
        if (main == nullptr) {
            return;
        }
        shown = true;
        EXPECT_TRUE(QTest::qWaitForWindowExposed(main));
        // No splash image: a splash of no area, which its timer removes after the minimum time.
        EXPECT_NE(CSplashWnd::Current(), nullptr);
        EXPECT_TRUE(QTest::qWaitFor([] { return CSplashWnd::Current() == nullptr; }, 5000));
        EXPECT_EQ(main->TabBar()->tabText(0), " ");
        Search(*main);
        EXPECT_EQ(List(*main)->rowCount(), 4);
        main->close();
    };
    const char* argv[] = {"ZQTalvane"};
    EXPECT_EQ(app.Run(1, argv), 0);
    EXPECT_TRUE(shown);
}

}  // namespace
