// The frame every tab stands on, against a simulated unit: the connection fields, the
// connect-on-button, act-on-1125 pattern, the result rows, Back and the shared password.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "config.h"
#include "device/ZQNet.h"
#include "message_recorder.h"
#include "platform/clock.h"
#include "platform/qt_window.h"
#include "simulator.h"
#include "tabs/ip_address_edit.h"
#include "tabs/result_list.h"
#include "tabs/tab_page.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

// A tab with one operation button, as the provisioning tabs use the frame.
class TestTab : public CTabPage {
  public:
    TestTab() : CTabPage(PageInfo{131, 18, 1015, true}) {}
    QPushButton* button = nullptr;
    std::vector<int> results;
    bool buttons_enabled_during = true;
    bool connected_during = false;
    void Press() { BeginOperation(7); }

  protected:
    void BuildControls() override {
        button = new QPushButton(this);
        button->setObjectName("1003");
        AddOperationButton(button);
    }
    void OnOperation(int operation, int login_result) override {
        EXPECT_EQ(operation, 7);
        results.push_back(login_result);
        buttons_enabled_during = button->isEnabled();
        connected_during = Connection() != 0;
    }
};

class TabFrameTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(
            R"({"address":"127.0.31.40","password":"right","mac":"00:12:41:00:00:40"})", units,
            error))
            << error;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        delete simulator_;
    }
    void SetUp() override {
        app::Shell() = app::ShellState{};
        ASSERT_TRUE(tab_.Create(131, &parent_));
        tab_.SetOwner(owner_.handle.handle());
        parent_.show();
    }

    static inline unitsim::Simulator* simulator_ = nullptr;
    QWidget parent_;
    TestTab tab_;
    MessageRecorder owner_;
};

TEST_F(TabFrameTest, SetDeviceFillsTheConnectionFields) {
    struct Case {
        const char* address;
        int port;
        const char* shown;
    };
    const Case cases[] = {
        {"127.0.31.40", 34567, "127.0.31.40"}, {"", 9000, "0.0.0.0"},
        {"10.0.0.300", 1, "0.0.0.0"},          {"10.0.0", 1, "0.0.0.0"},
        {"1.2.3.4 ", -5, "0.0.0.0"},           {"255.255.255.255", 0, "255.255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        tab_.SetDevice(c.address, c.port, "admin");
        EXPECT_EQ(tab_.AddressText(), c.shown);
        EXPECT_EQ(app::FindControl<QLineEdit>(&tab_, 1001)->text(), QString::number(c.port));
        EXPECT_EQ(tab_.Port(), c.port);
        EXPECT_EQ(app::FindControl<QLineEdit>(&tab_, 1015)->text(), "admin");
    }
    EXPECT_EQ(app::FindControl(&tab_, 1002), nullptr);  // this tab's user field is 1015
    // What the operator types is read part by part.
    auto* address = app::FindControl<CIpAddressEdit>(&tab_, 1000);
    address->clear();
    QTest::keyClicks(address, "10.1.2");
    EXPECT_EQ(tab_.AddressText(), "10.1.2.0");
    address->clear();
    QTest::keyClicks(address, "10.a.999.4");  // letters cannot be typed
    EXPECT_EQ(address->text().contains('a'), false);
    // Nor into the port field: digits only.
    auto* port = app::FindControl<QLineEdit>(&tab_, 1001);
    port->clear();
    QTest::keyClicks(port, "3a4-5 67x");
    EXPECT_EQ(port->text(), "34567");
    EXPECT_EQ(tab_.Port(), 34567);
}

TEST_F(TabFrameTest, AnOperationConnectsActsOnTheLoginResultAndStops) {
    struct Case {
        const char* user;
        const char* password;
        int result;
    };
    const Case cases[] = {
        {"admin", "right", 40},
        {"admin", "wrong", 42},
        {"nobody", "right", 41},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.password);
        tab_.results.clear();
        tab_.SetDevice("127.0.31.40", 34567, c.user);
        app::FindControl<QLineEdit>(&tab_, 1005)->setText(c.password);
        tab_.Press();
        EXPECT_FALSE(tab_.button->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tab_.results.empty(); }, 10000));
        EXPECT_EQ(tab_.results, std::vector<int>{c.result});
        EXPECT_TRUE(tab_.buttons_enabled_during);  // enabled before the operation runs
        EXPECT_EQ(tab_.connected_during, true);
        EXPECT_TRUE(tab_.button->isEnabled());
        QTest::qWait(50);
        EXPECT_EQ(tab_.results.size(), 1u);  // exactly one result per operation
    }
    // Nothing listens on this address: the operation still ends, with a failed login.
    tab_.results.clear();
    tab_.SetDevice("127.0.31.41", 34567, "admin");
    tab_.Press();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tab_.results.empty(); }, 15000));
    EXPECT_EQ(tab_.results, std::vector<int>{44});
    EXPECT_TRUE(tab_.button->isEnabled());
}

TEST_F(TabFrameTest, BackAndThePasswordFieldPostToTheMainWindow) {
    parent_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&parent_));
    QTest::mouseClick(app::FindControl<QPushButton>(&tab_, 1013), Qt::LeftButton);
    auto* password = app::FindControl<QLineEdit>(&tab_, 1005);
    password->setFocus();
    QTest::keyClicks(password, "pw");
    app::FindControl<QLineEdit>(&tab_, 1001)->setFocus();
    QTest::qWait(30);
    EXPECT_EQ(owner_.messages,
              (std::vector<std::pair<unsigned, std::uintptr_t>>{{1124, 5}, {2048, 0}}));
    EXPECT_EQ(app::Settings().device_password, "pw");
    tab_.SetPasswordText("shared");
    EXPECT_EQ(password->text(), "shared");
}

TEST(ResultList, RowsCarryTheirNumberAndTimeAndTheListScrolls) {
    platform::SetLocalClock([] { return platform::LocalTime{2019, 3, 7, 14, 5, 9, 4}; });
    QWidget parent;
    parent.resize(300, 120);
    QTableWidget* list = tabs::CreateReportList(
        &parent, 1016, {{"No", 40}, {"Time", 120}, {"IP", 80}, {"Result", 80}});
    list->setGeometry(0, 0, 300, 120);
    parent.show();
    EXPECT_EQ(list->objectName(), "1016");
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(tabs::AddResultRow(list, {"127.0.31.40", "OK"}), i);
    }
    EXPECT_EQ(list->item(0, 0)->text(), "0");
    EXPECT_EQ(list->item(19, 0)->text(), "19");
    EXPECT_EQ(list->item(19, 1)->text(), "2019-03-07_14:05:09");
    EXPECT_EQ(list->item(19, 2)->text(), "127.0.31.40");
    EXPECT_EQ(list->item(19, 3)->text(), "OK");
    QApplication::processEvents();
    EXPECT_EQ(list->rowAt(list->viewport()->height() - 2), 19);  // the last row is in view
    platform::SetLocalClock(nullptr);
}

}  // namespace
