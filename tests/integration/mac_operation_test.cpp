// The MAC address tab's operation object on its own: the boxes and timers it asks its prompter
// for, in the order an operator meets them, against simulated units and the identity server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "device/ZQNet.h"
#include "records/record_store.h"
#include "server.h"
#include "simulator.h"
#include "store.h"
#include "support/logged_in_session.h"
#include "support/recording_prompter.h"
#include "support/test_files.h"
#include "tabs/mac_operation.h"
#include "tabs/mac_rules.h"

namespace {

using tabs::CMacOperation;

using Session = LoggedInSession;

class MacOperationTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(
            R"({"address":"127.0.35.1","count":10,"mac":"00:12:41:00:35:01","serial":"S1"})", units,
            error))
            << error;
        ASSERT_TRUE(simulator_.Start(units, error)) << error;
        {
            idserver::Store store;
            ASSERT_TRUE(store.Open(folder_ / "id.db"));
            ASSERT_TRUE(store.CreateOrder("PO-OP"));
            ASSERT_TRUE(store.AddMacRange("PO-OP", *idserver::ParseMac("02:1A:00:00:35:00"),
                                          *idserver::ParseMac("02:1A:00:00:35:FF")));
        }
        idserver::ServerOptions options;
        options.port = 0;
        ASSERT_TRUE(server_.Start(folder_ / "id.db", options)) << server_.error();
        ASSERT_TRUE(records::OpenRecordStore(db_, folder_ / "config/"));
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        db_.Close();
        server_.Stop();
        simulator_.Stop();
    }

    std::unique_ptr<CMacOperation> Operation(RecordingPrompter& prompter) {
        auto op = std::make_unique<CMacOperation>(db_, prompter);
        op->SetServer({"127.0.0.2", server_.port(), true});
        return op;
    }

    static inline test_files::TempFolder folder_;
    static inline unitsim::Simulator simulator_;
    static inline idserver::Server server_;
    static inline CSqliteDatabase db_;
};

TEST_F(MacOperationTest, EachOutcomeAsksForItsBoxesAndTimersInOrder) {
    struct Case {
        const char* name;
        int unit;
        std::string mac;
        std::string order;
        std::vector<std::string> asked;
        CMacOperation::Row row;
    };
    using K = CMacOperation::RowKind;
    const Case cases[] = {
        {"written and reported",
         1,
         "02:1A:00:00:35:01",
         "PO-OP",
         {"timer 3/500", "box 48/2"},
         {K::kWrite, 48}},
        {"report refused",
         2,
         "02:1A:00:00:35:02",
         "PO-NONE",
         {"timer 4/500", "timer 4/500", "box 166/0"},
         {K::kWrite, 49}},
        {"not in the order",
         3,
         "02:1A:00:00:36:03",
         "PO-OP",
         {"timer 4/500", "timer 4/500", "box 169/0"},
         {K::kWrite, 49}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPrompter prompter;
        std::unique_ptr<CMacOperation> owned = Operation(prompter);
        CMacOperation& op = *owned;
        const std::string address = "127.0.35." + std::to_string(c.unit);
        CMacOperation::Fields fields{c.order, c.mac, "MOD", "", address, 34567};
        ASSERT_EQ(op.CheckBeforeWrite(fields), CMacOperation::Check::kGo);
        Session session(address);
        ASSERT_NE(session.handle(), 0u);
        const CMacOperation::Row row =
            op.OnLoginResult(CMacOperation::Mode::kWrite, 40, session.handle(), fields);
        EXPECT_EQ(prompter.asked, c.asked);
        EXPECT_EQ(row.kind, c.row.kind);
        EXPECT_EQ(row.text_id, c.row.text_id);
    }
}

TEST_F(MacOperationTest, TheClearingTimerStopsOnTheSeventhTickAndRestartsCounting) {
    tabs::ClearingTicks ticks;
    std::vector<bool> stops;
    for (int i = 0; i < 15; ++i)
        stops.push_back(ticks.Tick());
    const std::vector<bool> expected = {false, false, false, false, false, false, true, false,
                                        false, false, false, false, false, true,  false};
    EXPECT_EQ(stops, expected);
    EXPECT_EQ(ticks.Count(), 1);
}

TEST_F(MacOperationTest, AWriteThatCannotReadTheUnitFirstSendsNothing) {
    RecordingPrompter prompter;
    std::unique_ptr<CMacOperation> owned = Operation(prompter);
        CMacOperation& op = *owned;
    op.SetServer({});  // no duplicate check: the only read is the write's own
    const std::string address = "127.0.35.4";
    CMacOperation::Fields fields{"", "02:1A:00:00:35:04", "MOD", "", address, 34567};
    ASSERT_EQ(op.CheckBeforeWrite(fields), CMacOperation::Check::kGo);
    unitsim::Unit& unit = *simulator_.Find(address);
    unit.SetFault(400, {.failQuery = true, .count = 1});
    unit.ClearRequestLog();
    Session session(address);
    ASSERT_NE(session.handle(), 0u);
    const CMacOperation::Row row =
        op.OnLoginResult(CMacOperation::Mode::kWrite, 40, session.handle(), fields);
    EXPECT_EQ(row.text_id, 49);
    EXPECT_EQ(prompter.asked, std::vector<std::string>{"box 49/0"});
    for (const auto& request : unit.State().requests)
        EXPECT_FALSE(request.write);
    EXPECT_EQ(tabs::FieldText(unit.State().mac.serial, 32), "S1");
    EXPECT_EQ(tabs::MacColonText(unit.State().mac.mac), "00:12:41:00:35:04");
}

}  // namespace
