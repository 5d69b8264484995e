// The fault matrix: every tab operation that connects to a unit, against every fault a simulated
// unit can show, on the real tab windows with the real device library, simulated units and a real
// identity server on loopback. Every cell is driven as an operator would (press, answer each box
// at once, go on) and must leave:
// - the station running and the tab's buttons given back;
// - no session open on the unit (a clearing may hold one for its ticks; it must end);
// - an identity in the station's records on the unit and at the identity server, and an identity
//   on the unit in the station's records.
// Then the sequences an operator makes without waiting: a retry and the next unit right after a
// failure (MAC and key), and two tabs at once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "camera/camera_tab.h"
#include "camera/dlg_adjust_fish_eye.h"
#include "camera/dlg_lock_focus.h"
#include "camera/dlg_ptz.h"
#include "config.h"
#include "config/app_settings.h"
#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "message_recorder.h"
#include "platform/clock.h"
#include "prompt_answerer.h"
#include "records/activity_log.h"
#include "records/record_store.h"
#include "server.h"
#include "simulator.h"
#include "store.h"
#include "support/test_files.h"
#include "support/ticking_clock.h"
#include "tabs/dlg_device_info.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_restore_factory_tool.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/dlg_telnet_tool.h"
#include "tabs/mac_rules.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

constexpr const char* kOrder = "PO-FAULTS";
constexpr const char* kPassword = "pw";
// Short time-outs of the device library, so that a late answer and a silent login are quick.
constexpr int kCallTimeoutMs = 600;
constexpr int kLoginTimeoutMs = 800;
constexpr const char* kGoneAddress = "127.0.44.250";  // nothing listens there

// Cameras that can calibrate their lens, so that every operation has a unit it works on; each
// cell has a unit of its own (127.0.44.1 and up).
const char* kUnits =
    R"({"address":"127.0.44.1","count":120,"device_kind":4,"password":"pw","mac":"00:12:41:44:00:01","serial":"OLD","picture":[320,240],"fisheye":[160,120,100],"lens_calibration":true,"calibration_ms":300})";

std::string Address(int unit) {
    return "127.0.44." + std::to_string(unit);
}
std::string Mac(int unit) {
    char text[18];
    std::snprintf(text, sizeof text, "02:1A:00:00:44:%02X", unit);
    return text;
}
std::string Key(int unit) {
    char text[21];
    std::snprintf(text, sizeof text, "KEY-FAULTS-%09d", unit);
    return text;
}

enum class Fault { kNone, kRefused, kDropped, kLate, kSilentLogin, kWrongPassword, kGone };
const char* FaultName(Fault f) {
    switch (f) {
        case Fault::kNone:
            return "no fault";
        case Fault::kRefused:
            return "write refused";
        case Fault::kDropped:
            return "connection dropped";
        case Fault::kLate:
            return "answer after the call time-out";
        case Fault::kSilentLogin:
            return "login never answered";
        case Fault::kWrongPassword:
            return "wrong password";
        case Fault::kGone:
            return "unit gone";
    }
    return "";
}

// What an identity-writing operation leaves: the identity it wrote, whether the station's records
// hold it, whether the unit carries it, whether the identity server has it (or needs not).
struct Identity {
    std::string value;
    bool recorded = false;
    bool on_unit = false;
    bool at_server = true;
};

class FaultMatrixTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("ZQNET_CALL_TIMEOUT_MS", std::to_string(kCallTimeoutMs).c_str(), 1);
        setenv("ZQNET_LOGIN_TIMEOUT_MS", std::to_string(kLoginTimeoutMs).c_str(), 1);
        folder_ = new test_files::TempFolder;
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(kUnits, units, error)) << error;
        for (auto& u : units)
            u.searchPort = 0;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;

        const std::string db = *folder_ / "idserver.db";
        {
            idserver::Store store;
            ASSERT_TRUE(store.Open(db));
            ASSERT_TRUE(store.CreateOrder(kOrder));
            ASSERT_TRUE(store.AddMacRange(kOrder, *idserver::ParseMac("02:1A:00:00:44:00"),
                                          *idserver::ParseMac("02:1A:00:00:44:FF")));
            std::vector<std::string> keys;
            for (int i = 1; i <= 200; ++i)
                keys.push_back(Key(i));
            int64_t added = 0;
            ASSERT_TRUE(store.ImportPool(kOrder, "p2p_id", keys, added));
        }
        server_ = new idserver::Server;
        idserver::ServerOptions options;
        options.port = 0;
        ASSERT_TRUE(server_->Start(db, options)) << server_->error();
        ASSERT_TRUE(records::OpenRecordStore(records::Store(), *folder_ / "config/"));
        ASSERT_TRUE(records::OpenActivityLog(*folder_ / "ZQTalvaneLog.txt"));
        platform::SetLocalClock(test_clock::Ticking);
        ZQNetInit();
        ZQPlayInitPlayLib(0, 1, 0);
    }
    static void TearDownTestSuite() {
        ZQPlayDeinitPlayLib();
        ZQNetRelease();
        platform::SetLocalClock(nullptr);
        records::CloseActivityLog();
        records::Store().Close();
        delete server_;
        delete simulator_;
        delete folder_;
        unsetenv("ZQNET_CALL_TIMEOUT_MS");
        unsetenv("ZQNET_LOGIN_TIMEOUT_MS");
    }

    void SetUp() override {
        app::Shell() = app::ShellState{};
        CAppSettings& settings = app::Settings();
        settings.id_server_enabled = true;
        settings.id_server_address = "127.0.0.2";
        settings.id_server_port = server_->port();
        settings.id_server_timeout_ms = 3000;
        settings.login_wait_ms = 3 * kLoginTimeoutMs;
        app::Shell().text = [](int id) { return "T" + std::to_string(id); };
        window_.resize(760, 520);
        window_.show();
    }

    static unitsim::Unit& Unit(int unit) { return *simulator_->Find(Address(unit)); }
    static std::string UnitMac(int unit) { return tabs::MacColonText(Unit(unit).State().mac.mac); }
    static std::string UnitKey(int unit) {
        const ZQNetKeyRecord key = Unit(unit).State().key;
        return tabs::FieldText(key.key, sizeof key.key);
    }
    static bool Installed(const std::string& value) {
        idserver::Store store;
        std::vector<idserver::InstallRow> rows;
        EXPECT_TRUE(store.Open(*folder_ / "idserver.db"));
        EXPECT_TRUE(store.ListInstalls("", rows));
        for (const auto& row : rows) {
            if (row.value == value)
                return true;
        }
        return false;
    }

    template <class Tab>
    std::unique_ptr<Tab> NewTab(const std::string& address, const char* password) {
        auto tab = std::make_unique<Tab>();
        EXPECT_TRUE(tab->Create(Tab::kTemplateId, &window_));
        tab->SetOwner(owner_.handle.handle());
        tab->setGeometry(0, 0, 740, 500);
        tab->show();
        tab->SetDevice(address, 34567, "admin");
        Field(*tab, CTabPage::kPasswordId)->setText(password);
        return tab;
    }
    static QLineEdit* Field(QWidget& tab, int id) { return app::FindControl<QLineEdit>(&tab, id); }
    static QPushButton* Button(QWidget& tab, int id) {
        return app::FindControl<QPushButton>(&tab, id);
    }
    static QTableWidget* List(QWidget& tab, int id) {
        return app::FindControl<QTableWidget>(&tab, id);
    }
    static QString LastCell(QWidget& tab, int list, int column) {
        QTableWidget* table = List(tab, list);
        QTableWidgetItem* item =
            table->rowCount() > 0 ? table->item(table->rowCount() - 1, column) : nullptr;
        return item != nullptr ? item->text() : QString();
    }
    static void Press(QWidget& tab, int id) { QTest::mouseClick(Button(tab, id), Qt::LeftButton); }
    static bool Enabled(QWidget& tab, const std::vector<int>& ids) {
        for (int id : ids) {
            if (!Button(tab, id)->isEnabled())
                return false;
        }
        return true;
    }
    static bool NoSession(int unit) {
        return unit == 0 ||
               QTest::qWaitFor([unit] { return Unit(unit).State().sessions == 0; }, 8000);
    }

    static inline test_files::TempFolder* folder_ = nullptr;
    static inline unitsim::Simulator* simulator_ = nullptr;
    static inline idserver::Server* server_ = nullptr;
    QDialog window_;
    MessageRecorder owner_;
};

// One operation of the matrix: the tab it runs in, the code its fault acts on (with the requests
// of that code the operation makes before the one the fault is for), and how it is run.
struct Operation {
    const char* name;
    int32_t code;
    int skip = 0;
    bool camera = false;  // a camera tab: logs in and previews first, then acts on its session
};

const Operation kOperations[] = {
    {"MAC Set", 401},
    {"key Set", ZQNET_PARAM_KEY, 1},  // its duplicate check reads the key first
    {"serial Set", 401},
    {"device information Set", ZQNET_PARAM_EXT_DEVICE},
    {"reset", ZQNET_PARAM_RESET},
    {"focus lock", ZQNET_PTZ_FOCUS_LOCK},
    {"telnet open", ZQNET_CMD_TELNET_OPEN},
    {"time sync", ZQNET_PARAM_SYSTEM, 2},  // read twice, then written
    {"erase", ZQNET_PARAM_KEY, 1},         // the clearing reads the key, then writes it
    {"fisheye Set", ZQNET_PARAM_FISHEYE, 0, true},
    {"calibration", ZQNET_PTZ_LENS_CALIBRATION, 0, true},
};

const Fault kFaults[] = {Fault::kNone,        Fault::kRefused,       Fault::kDropped, Fault::kLate,
                         Fault::kSilentLogin, Fault::kWrongPassword, Fault::kGone};

TEST_F(FaultMatrixTest, EveryOperationAgainstEveryFaultKeepsTheStationsPromises) {
    PromptAnswerer answerer;  // answers every box at once, as a hurried operator does
    int next_unit = 1;
    for (const Operation& op : kOperations) {
        for (Fault fault : kFaults) {
            const int unit = next_unit++;
            SCOPED_TRACE(std::string(op.name) + " / " + FaultName(fault) + " on " + Address(unit));
            const bool gone = fault == Fault::kGone;
            const std::string address = gone ? kGoneAddress : Address(unit);
            const char* password = fault == Fault::kWrongPassword ? "wrong" : kPassword;
            if (fault == Fault::kSilentLogin)
                Unit(unit).SetSilentLogin(true);
            auto arm = [&] {
                unitsim::Fault f;
                f.skip = op.skip;
                if (fault == Fault::kRefused) {
                    f.failWrite = true;
                } else if (fault == Fault::kDropped) {
                    f.drop = true;
                    f.count = 1;
                } else if (fault == Fault::kLate) {
                    f.delayMs = kCallTimeoutMs + 400;
                    f.count = 1;
                } else {
                    return;
                }
                Unit(unit).SetFault(op.code, f);
            };
            std::string name = op.name;
            std::optional<Identity> identity;
            std::unique_ptr<CTabPage> tab;
            std::vector<int> buttons;
            std::function<bool()> idle;

            if (name == "MAC Set") {
                auto t = NewTab<CDlgTalvane>(address, password);
                Field(*t, CDlgTalvane::kOrderId)->setText(kOrder);
                Field(*t, CDlgTalvane::kMacId)->setText(QString::fromStdString(Mac(unit)));
                arm();
                Press(*t, CDlgTalvane::kSetId);
                auto* mac = t.get();
                idle = [mac] { return !mac->Busy() && !mac->Operation().Clearing().Open(); };
                buttons = {CDlgTalvane::kSetId, CDlgTalvane::kQueryId, CTabPage::kBackId};
                identity = Identity{Mac(unit)};
                tab = std::move(t);
            } else if (name == "key Set" || name == "erase") {
                if (name == "key Set") {
                    auto t = NewTab<CDlgKeyTool>(address, password);
                    Field(*t, CDlgKeyTool::kOrderId)->setText(kOrder);
                    Field(*t, CDlgKeyTool::kKeyId)->setText(QString::fromStdString(Key(unit)));
                    arm();
                    Press(*t, CDlgKeyTool::kSetId);
                    auto* key = t.get();
                    idle = [key] { return !key->Busy() && !key->Operation().Clearing().Open(); };
                    buttons = {CDlgKeyTool::kSetId, CDlgKeyTool::kQueryId, CTabPage::kBackId};
                    identity = Identity{Key(unit)};
                    tab = std::move(t);
                } else {
                    auto t = NewTab<CDlgTelnetTool>(address, password);
                    arm();
                    Press(*t, CDlgTelnetTool::kEraseId);
                    auto* telnet = t.get();
                    idle = [telnet] { return !telnet->Busy(); };
                    buttons = {CDlgTelnetTool::kEraseId, CDlgTelnetTool::kOpenTelnetId};
                    tab = std::move(t);
                }
            } else if (name == "serial Set") {
                auto t = NewTab<CDlgSerialNum>(address, password);
                Field(*t, CDlgSerialNum::kOrderId)->setText(kOrder);
                Field(*t, CDlgSerialNum::kSerialId)
                    ->setText(QString::fromStdString("SN-FAULTS-" + std::to_string(unit)));
                arm();
                Press(*t, CDlgSerialNum::kSetId);
                auto* serial = t.get();
                idle = [serial] { return !serial->Busy(); };
                buttons = {CDlgSerialNum::kSetId, CTabPage::kBackId};
                identity = Identity{"SN-FAULTS-" + std::to_string(unit)};
                tab = std::move(t);
            } else if (name == "device information Set") {
                auto t = NewTab<CDlgDeviceInfo>(address, password);
                for (int f = 0; f < kOptionFlagCount; ++f) {
                    if (auto* box = app::FindControl<QCheckBox>(
                            t.get(), CDlgDeviceInfo::CheckBoxId(static_cast<OptionFlag>(f))))
                        box->setChecked(f == kSerialNum);
                }
                Field(*t, CDlgDeviceInfo::kSerialId)
                    ->setText(QString::fromStdString("DI-FAULTS-" + std::to_string(unit)));
                arm();
                Press(*t, CDlgDeviceInfo::kSetId);
                auto* info = t.get();
                idle = [info] { return !info->Busy(); };
                buttons = {CDlgDeviceInfo::kSetId, CDlgDeviceInfo::kQueryId};
                identity = Identity{"DI-FAULTS-" + std::to_string(unit)};
                tab = std::move(t);
            } else if (name == "reset") {
                auto t = NewTab<CDlgRestoreFactoryTool>(address, password);
                arm();
                Press(*t, CDlgRestoreFactoryTool::kSetId);
                auto* reset = t.get();
                idle = [reset] {
                    return Button(*reset, CDlgRestoreFactoryTool::kSetId)->isEnabled();
                };
                buttons = {CDlgRestoreFactoryTool::kSetId};
                tab = std::move(t);
            } else if (name == "focus lock") {
                auto t = NewTab<CDlgLockFocus>(address, password);
                arm();
                Press(*t, CDlgLockFocus::kSetId);
                auto* focus = t.get();
                idle = [focus] { return !focus->Busy(); };
                buttons = {CDlgLockFocus::kSetId};
                tab = std::move(t);
            } else if (name == "telnet open" || name == "time sync") {
                auto t = NewTab<CDlgTelnetTool>(address, password);
                arm();
                const int id =
                    name == "time sync" ? CDlgTelnetTool::kTimeSyncId : CDlgTelnetTool::kOpenTelnetId;
                Press(*t, id);
                auto* telnet = t.get();
                idle = [telnet] { return !telnet->Busy(); };
                buttons = {id, CDlgTelnetTool::kCloseTelnetId};
                tab = std::move(t);
            } else if (op.camera) {
                std::unique_ptr<CCameraTab> t;
                if (name == "fisheye Set")
                    t = NewTab<CDlgAdjustFishEye>(address, password);
                else
                    t = NewTab<CDlgPtz>(address, password);
                Press(*t, CCameraTab::kLoginId);
                CCameraTab* camera = t.get();
                const bool logs_in = fault != Fault::kSilentLogin &&
                                     fault != Fault::kWrongPassword && !gone;
                if (logs_in) {
                    ASSERT_TRUE(QTest::qWaitFor([camera] { return camera->HasPicture(); }, 20000));
                    ASSERT_TRUE(QTest::qWaitFor(
                        [camera] { return Button(*camera, CDlgPtz::kSetId)->isEnabled(); },
                        10000));
                    arm();
                    const size_t boxes = answerer.Boxes().size();
                    Press(*t, CDlgPtz::kSetId);
                    // The operation ends with its box (a refused or lost calibration start
                    // shows none: its Set comes back instead).
                    (void)QTest::qWaitFor(
                        [&] {
                            return answerer.Boxes().size() > boxes ||
                                   Button(*camera, CDlgPtz::kSetId)->isEnabled();
                        },
                        10000);
                } else {
                    QTest::qWait(3 * kLoginTimeoutMs);  // the login's outcome, whatever it is
                }
                idle = [] { return true; };
                buttons = {CCameraTab::kLoginId};
                tab = std::move(t);
            }
            ASSERT_TRUE(tab != nullptr) << name;

            // The tab gives its buttons back.
            ASSERT_TRUE(QTest::qWaitFor([&] { return idle(); }, 15000));
            EXPECT_TRUE(QTest::qWaitFor([&] { return Enabled(*tab, buttons); }, 5000));
            EXPECT_TRUE(window_.isVisible());
            if (op.camera) {
                // A camera tab keeps its preview session while it is in use; leaving ends it.
                tab.reset();
            }
            // No session stays open on the unit.
            EXPECT_TRUE(NoSession(unit));
            Unit(unit).ClearFaults();

            if (!identity)
                continue;
            Identity& id = *identity;
            if (name == "MAC Set") {
                id.recorded = records::Store().RecordExists("MacAddress", "MacAddr", id.value);
                id.on_unit = UnitMac(unit) == id.value;
                id.at_server = Installed(id.value);
            } else if (name == "key Set") {
                id.recorded = records::Store().RecordExists("P2PKey", "keyId", id.value);
                id.on_unit = UnitKey(unit) == id.value;
                id.at_server = Installed(id.value);
            } else if (name == "serial Set") {
                id.recorded = records::SerialNumberKnown(records::Store(), id.value, kOrder);
                const ZQNetMacRecord mac = Unit(unit).State().mac;
                id.on_unit = tabs::FieldText(mac.serial, sizeof mac.serial) == id.value;
            } else {
                id.recorded = records::Store().RecordExists("DeviceInfo", "SerialNum", id.value);
                const ZQNetExtDeviceRecord ext = Unit(unit).State().ext;
                id.on_unit = tabs::FieldText(ext.serial, sizeof ext.serial) == id.value;
            }
            // An identity in the records is on the unit and at the server; one on the unit is in
            // the records.
            if (id.recorded) {
                EXPECT_TRUE(id.on_unit) << id.value;
                EXPECT_TRUE(id.at_server) << id.value;
            }
            if (id.on_unit) {
                EXPECT_TRUE(id.recorded) << id.value;
            }
            // Without a fault the write goes through; with a login fault nothing reaches the unit.
            if (fault == Fault::kNone) {
                EXPECT_TRUE(id.recorded && id.on_unit) << id.value;
            }
            if (fault == Fault::kSilentLogin || fault == Fault::kWrongPassword || gone) {
                EXPECT_FALSE(id.on_unit) << id.value;
            }
        }
    }
}

// The sequences of a hurried operator, each on units of its own (127.0.44.100 and up): a first
// write fails, its box is closed at once, and the next write follows at once, on the same unit or
// the next one. The clearing of the first must never reach the second: 4 s later (past the seven
// ticks) the unit of the second still carries what it was given, as the records and the identity
// server say.
TEST_F(FaultMatrixTest, ARetryOrTheNextUnitRightAfterAFailureKeepsItsIdentity) {
    enum class Tab { kMac, kKey };
    enum class First { kReportRefused, kWriteRefusedOnce };
    struct Case {
        const char* name;
        Tab tab;
        First first;
        int first_unit;
        int second_unit;  // the same unit for a retry
    };
    const Case cases[] = {
        {"MAC: refused report, then the next unit", Tab::kMac, First::kReportRefused, 100, 101},
        {"MAC: refused report, then a retry", Tab::kMac, First::kReportRefused, 102, 102},
        {"MAC: refused write, then a retry", Tab::kMac, First::kWriteRefusedOnce, 103, 103},
        {"MAC: refused write, then the next unit", Tab::kMac, First::kWriteRefusedOnce, 104, 105},
        {"key: refused report, then the next unit", Tab::kKey, First::kReportRefused, 106, 107},
        {"key: refused report, then a retry", Tab::kKey, First::kReportRefused, 108, 108},
        {"key: refused write, then a retry", Tab::kKey, First::kWriteRefusedOnce, 109, 109},
        {"key: refused write, then the next unit", Tab::kKey, First::kWriteRefusedOnce, 110, 111},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PromptAnswerer answerer;  // every box closed at once
        const bool mac = c.tab == Tab::kMac;
        std::unique_ptr<CTabPage> tab;
        int order_id = 0, value_id = 0, set_id = 0;
        std::function<bool()> busy;
        std::function<std::string(int)> on_unit;
        if (mac) {
            auto t = NewTab<CDlgTalvane>(Address(c.first_unit), kPassword);
            auto* raw = t.get();
            busy = [raw] { return raw->Busy(); };
            tab = std::move(t);
            order_id = CDlgTalvane::kOrderId;
            value_id = CDlgTalvane::kMacId;
            set_id = CDlgTalvane::kSetId;
            on_unit = [](int unit) { return UnitMac(unit); };
        } else {
            auto t = NewTab<CDlgKeyTool>(Address(c.first_unit), kPassword);
            auto* raw = t.get();
            busy = [raw] { return raw->Busy(); };
            tab = std::move(t);
            order_id = CDlgKeyTool::kOrderId;
            value_id = CDlgKeyTool::kKeyId;
            set_id = CDlgKeyTool::kSetId;
            on_unit = [](int unit) { return UnitKey(unit); };
        }
        auto value = [&](int unit) { return mac ? Mac(unit) : Key(unit); };

        // The first write fails.
        const std::string first = value(c.first_unit);
        if (c.first == First::kReportRefused) {
            Field(*tab, order_id)->setText("PO-NOT-THERE");
        } else {
            Field(*tab, order_id)->setText(kOrder);
            // (the key tab reads the unit's key before it writes)
            Unit(c.first_unit).SetFault(mac ? 401 : ZQNET_PARAM_KEY,
                                        {.failWrite = true, .skip = mac ? 0 : 1, .count = 1});
        }
        Field(*tab, value_id)->setText(QString::fromStdString(first));
        Press(*tab, set_id);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !busy(); }, 10000));
        EXPECT_EQ(answerer.Boxes().back().kind, 0);  // its error box, closed at once

        // At once the next write: another unit, or the same one again.
        tab->SetDevice(Address(c.second_unit), 34567, "admin");
        Field(*tab, order_id)->setText(kOrder);
        const std::string second = value(c.second_unit + (c.second_unit == c.first_unit ? 50 : 0));
        Field(*tab, value_id)->setText(QString::fromStdString(second));
        Press(*tab, set_id);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !busy(); }, 10000));
        EXPECT_EQ(answerer.Boxes().back(), (PromptAnswerer::Seen{48, 2}));

        // Past every tick of the first failure.
        QTest::qWait(4000);
        EXPECT_EQ(on_unit(c.second_unit), second);
        EXPECT_TRUE(records::Store().RecordExists(mac ? "MacAddress" : "P2PKey",
                                                  mac ? "MacAddr" : "keyId", second));
        EXPECT_TRUE(Installed(second));
        if (c.second_unit != c.first_unit) {
            EXPECT_NE(on_unit(c.first_unit), first);  // the failed unit was cleared
        }
        EXPECT_TRUE(NoSession(c.first_unit));
        EXPECT_TRUE(NoSession(c.second_unit));
        Unit(c.first_unit).ClearFaults();
    }
}

// The MAC tab waits on a unit whose login is slow while the operator resets another unit in the
// reset tab: both tabs get their own result (the reset's connection used to take the MAC tab's
// away and leave it disabled until a restart).
TEST_F(FaultMatrixTest, TwoTabsAtOnceEachGetTheirOwnLoginResult) {
    PromptAnswerer answerer;
    Unit(112).SetFault(unitsim::kFaultLogin, {.delayMs = 500, .count = 1});
    auto mac = NewTab<CDlgTalvane>(Address(112), kPassword);
    Field(*mac, CDlgTalvane::kOrderId)->setText(kOrder);
    Field(*mac, CDlgTalvane::kMacId)->setText(QString::fromStdString(Mac(112)));
    auto reset = NewTab<CDlgRestoreFactoryTool>(Address(113), kPassword);
    const int resets = Unit(113).State().resets;

    Press(*mac, CDlgTalvane::kSetId);
    Press(*reset, CDlgRestoreFactoryTool::kSetId);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return List(*reset, CDlgRestoreFactoryTool::kListId)->rowCount() == 1; }, 5000));
    EXPECT_EQ(Unit(113).State().resets, resets + 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !mac->Busy(); }, 5000));
    EXPECT_EQ(LastCell(*mac, CDlgTalvane::kListId, 5), "T48");
    EXPECT_EQ(UnitMac(112), Mac(112));
    for (int id : {CDlgTalvane::kSetId, CDlgTalvane::kQueryId, CTabPage::kBackId})
        EXPECT_TRUE(Button(*mac, id)->isEnabled());
    EXPECT_TRUE(Button(*reset, CDlgRestoreFactoryTool::kSetId)->isEnabled());
    EXPECT_TRUE(NoSession(112));
    EXPECT_TRUE(NoSession(113));
}

// A login result that does not come within the tab's own wait (here shorter than the library's
// time-out, as for a library that never reports) ends the operation as a failed login: text 44,
// buttons back, the connection stopped; the library's late report changes nothing, and the next
// press works.
TEST_F(FaultMatrixTest, ALoginResultThatNeverComesEndsTheOperationWithItsOwnTimeOut) {
    PromptAnswerer answerer;
    app::Settings().login_wait_ms = 200;
    Unit(114).SetSilentLogin(true);
    auto tab = NewTab<CDlgRestoreFactoryTool>(Address(114), kPassword);
    Press(*tab, CDlgRestoreFactoryTool::kSetId);
    QPushButton* set = Button(*tab, CDlgRestoreFactoryTool::kSetId);
    ASSERT_TRUE(QTest::qWaitFor([&] { return set->isEnabled(); }, 5000));
    EXPECT_EQ(LastCell(*tab, CDlgRestoreFactoryTool::kListId, 4), "T44");
    QTest::qWait(2 * kLoginTimeoutMs);  // the library's own report of that connection
    EXPECT_EQ(List(*tab, CDlgRestoreFactoryTool::kListId)->rowCount(), 1);

    Unit(114).SetSilentLogin(false);
    app::Settings().login_wait_ms = 3 * kLoginTimeoutMs;
    const int resets = Unit(114).State().resets;
    Press(*tab, CDlgRestoreFactoryTool::kSetId);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return List(*tab, CDlgRestoreFactoryTool::kListId)->rowCount() == 2; }, 5000));
    EXPECT_EQ(Unit(114).State().resets, resets + 1);
    EXPECT_TRUE(NoSession(114));
}

// What the operator sees when a unit may carry an identity the station could not record or take
// off again: the row names the unit and the identity (text 317 "set it aside"), or the check
// finds the unit took the write after all and records it (text 318).
TEST_F(FaultMatrixTest, AUnitThatMayCarryAnUnrecordedIdentityIsNamedInTheList) {
    PromptAnswerer answerer;
    const unitsim::Fault late{.delayMs = kCallTimeoutMs + 400, .count = 1};
    const unitsim::Fault dropped{.drop = true, .count = 1};
    // The check's login (the second of the unit) fails.
    const unitsim::Fault second_login_dropped{.drop = true, .skip = 1, .count = 1};
    struct Case {
        const char* name;
        int unit;
        int32_t code;
        unitsim::Fault fault;
        std::vector<QString> rows;  // the result column of the rows, in order
        bool recorded;
    };
    const Case serial_cases[] = {
        {"late answer: taken after all", 115, 401, late, {"T49", "T318"}, true},
        {"dropped: the unit does not carry it", 116, 401, dropped, {"T49"}, false},
        {"dropped, and the check cannot log in", 117, unitsim::kFaultLogin, second_login_dropped,
         {"T49", "T317"}, false},
    };
    for (const Case& c : serial_cases) {
        SCOPED_TRACE(c.name);
        auto tab = NewTab<CDlgSerialNum>(Address(c.unit), kPassword);
        const std::string serial = "SN-SEEN-" + std::to_string(c.unit);
        Field(*tab, CDlgSerialNum::kOrderId)->setText(kOrder);
        Field(*tab, CDlgSerialNum::kSerialId)->setText(QString::fromStdString(serial));
        Unit(c.unit).SetFault(c.code, c.fault);
        if (c.code == unitsim::kFaultLogin)
            Unit(c.unit).SetFault(401, dropped);
        Press(*tab, CDlgSerialNum::kSetId);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tab->Busy(); }, 10000));
        QTableWidget* list = List(*tab, CDlgSerialNum::kListId);
        std::vector<QString> rows;
        for (int r = 0; r < list->rowCount(); ++r)
            rows.push_back(list->item(r, 5)->text());
        EXPECT_EQ(rows, c.rows);
        if (c.rows.size() > 1) {
            EXPECT_EQ(LastCell(*tab, CDlgSerialNum::kListId, 4), QString::fromStdString(serial));
            EXPECT_EQ(LastCell(*tab, CDlgSerialNum::kListId, 2),
                      QString::fromStdString(Address(c.unit)));
        }
        EXPECT_EQ(records::SerialNumberKnown(records::Store(), serial, kOrder), c.recorded);
        EXPECT_TRUE(Button(*tab, CDlgSerialNum::kSetId)->isEnabled());
        Unit(c.unit).ClearFaults();
    }

    // A key write whose session breaks cannot be cleared on it: after the seven ticks the row
    // names the unit and the key.
    auto key = NewTab<CDlgKeyTool>(Address(118), kPassword);
    Field(*key, CDlgKeyTool::kOrderId)->setText(kOrder);
    Field(*key, CDlgKeyTool::kKeyId)->setText(QString::fromStdString(Key(118)));
    Unit(118).SetFault(ZQNET_PARAM_KEY, {.drop = true, .skip = 1, .count = 1});
    Press(*key, CDlgKeyTool::kSetId);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !key->Busy() && !key->Operation().Clearing().Open(); }, 10000));
    EXPECT_EQ(LastCell(*key, CDlgKeyTool::kListId, 5), "T317");
    EXPECT_EQ(LastCell(*key, CDlgKeyTool::kListId, 4), QString::fromStdString(Key(118)));
    EXPECT_EQ(LastCell(*key, CDlgKeyTool::kListId, 2), QString::fromStdString(Address(118)));
    EXPECT_EQ(app::FindControl<QLabel>(key.get(), CDlgKeyTool::kStatusId)->text(),
              QString::fromStdString("T381  IP: " + Address(118) + "  Key: " + Key(118) +
                                     "   T317"));

    // The device information tab says so in a box: the serial number stays in its field.
    for (const auto& [unit, fault, box] :
         {std::tuple{119, late, PromptAnswerer::Seen{318, 2}},
          std::tuple{120, second_login_dropped, PromptAnswerer::Seen{317, 0}}}) {
        SCOPED_TRACE(unit);
        auto info = NewTab<CDlgDeviceInfo>(Address(unit), kPassword);
        for (int f = 0; f < kOptionFlagCount; ++f) {
            if (auto* check = app::FindControl<QCheckBox>(
                    info.get(), CDlgDeviceInfo::CheckBoxId(static_cast<OptionFlag>(f))))
                check->setChecked(f == kSerialNum);
        }
        const std::string serial = "DI-SEEN-" + std::to_string(unit);
        Field(*info, CDlgDeviceInfo::kSerialId)->setText(QString::fromStdString(serial));
        if (fault.skip == 1) {
            Unit(unit).SetFault(unitsim::kFaultLogin, fault);
            Unit(unit).SetFault(ZQNET_PARAM_EXT_DEVICE, dropped);
        } else {
            Unit(unit).SetFault(ZQNET_PARAM_EXT_DEVICE, fault);
        }
        answerer.Clear();
        Press(*info, CDlgDeviceInfo::kSetId);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !info->Busy(); }, 10000));
        EXPECT_EQ(answerer.Boxes(), (std::vector<PromptAnswerer::Seen>{{49, 0}, box}));
        EXPECT_EQ(records::Store().RecordExists("DeviceInfo", "SerialNum", serial),
                  box.message_id == 318);
        EXPECT_EQ(Field(*info, CDlgDeviceInfo::kSerialId)->text().isEmpty(),
                  box.message_id == 318);
        Unit(unit).ClearFaults();
    }
}

}  // namespace
