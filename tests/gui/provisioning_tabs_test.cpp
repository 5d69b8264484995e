// The MAC address, key, serial number and factory reset tabs, driven as an operator would (type or
// scan, press, answer the boxes), against simulated units and a real identity server on loopback,
// with a record store and an activity log in a temporary folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "config.h"
#include "device/ZQNet.h"
#include "identity/install.h"
#include "message_recorder.h"
#include "platform/clock.h"
#include "prompt_answerer.h"
#include "records/activity_log.h"
#include "records/record_store.h"
#include "server.h"
#include "simulator.h"
#include "store.h"
#include "support/logged_in_session.h"
#include "support/loopback.h"
#include "support/test_files.h"
#include "support/ticking_clock.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_restore_factory_tool.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/mac_rules.h"
#include "ui/controls.h"
#include "ui/shell.h"

namespace {

using Seen = PromptAnswerer::Seen;
constexpr int kSys = PromptAnswerer::kSystemBox;
constexpr const char* kOrder = "PO-TEST-1";
constexpr const char* kPassword = "pw";

// Units 127.0.32.1 to .40 carry 00:12:41:00:00:01 and up (not in the order); .200 and .201 carry
// addresses of the order; .202 and .203 have a Wi-Fi address, an SN code and a module.
const char* kUnits = R"(
{"address":"127.0.32.1","count":40,"password":"pw","mac":"00:12:41:00:00:01","serial":"SER-UNIT","module":"OLDMOD"}
{"address":"127.0.32.200","password":"pw","mac":"02:1A:00:00:01:F0"}
{"address":"127.0.32.201","password":"pw","mac":"02:1A:00:00:01:F1"}
{"address":"127.0.32.202","password":"pw","mac":"00:12:41:00:02:02","wifi_mac":"02:1A:00:00:02:02","sn_code":"SNC-202","module":"MOD202","serial":"SER202"}
{"address":"127.0.32.203","password":"pw","mac":"00:12:41:00:02:03","wifi_mac":"02:1A:00:00:02:03","sn_code":"SNC-203","module":"MOD203","serial":"SER203"}
{"address":"127.0.32.204","password":"pw","mac":"00:12:41:00:02:04"}
{"address":"127.0.32.41","count":40,"password":"pw","mac":"00:12:41:00:03:01","wifi_mac":"02:1A:00:00:04:01","module":"MODK","serial":"SER-K","sn_code":"SNC-K"}
{"address":"127.0.32.210","count":2,"password":"pw","mac":"00:12:41:00:05:01","key":"EXISTINGKEY000000001"}
)";

// Keys of the order's pool: KEY-TEST-0000000001 and up (20 characters), and one with quotes.
std::string Key(int i) {
    char text[21];
    std::snprintf(text, sizeof text, "KEY-TEST-%011d", i);
    return text;
}
const char* kQuotedKey = "KEY'\"; --00000000001";

std::string Address(int unit) {
    return "127.0.32." + std::to_string(unit);
}

class ProvisioningTabsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test_files::TempFolder;
        std::vector<unitsim::UnitConfig> units;
        std::string error;
        ASSERT_TRUE(unitsim::ParseUnitLines(kUnits, units, error)) << error;
        simulator_ = new unitsim::Simulator;
        ASSERT_TRUE(simulator_->Start(units, error)) << error;

        const std::string db = *folder_ / "idserver.db";
        {
            idserver::Store store;
            ASSERT_TRUE(store.Open(db));
            ASSERT_TRUE(store.CreateOrder(kOrder));
            ASSERT_TRUE(store.AddMacRange(kOrder, *idserver::ParseMac("02:1A:00:00:00:00"),
                                          *idserver::ParseMac("02:1A:00:00:FF:FF")));
            std::vector<std::string> keys = {kQuotedKey};
            for (int i = 1; i <= 40; ++i)
                keys.push_back(Key(i));
            int64_t added = 0;
            ASSERT_TRUE(store.ImportPool(kOrder, "p2p_id", keys, added));
        }
        server_ = new idserver::Server;
        idserver::ServerOptions options;
        options.port = 0;
        ASSERT_TRUE(server_->Start(db, options)) << server_->error();

        ASSERT_TRUE(records::OpenRecordStore(records::Store(), *folder_ / "config/"));
        ASSERT_TRUE(records::OpenActivityLog(LogPath()));
        platform::SetLocalClock(test_clock::Ticking);
        ZQNetInit();
    }
    static void TearDownTestSuite() {
        ZQNetRelease();
        platform::SetLocalClock(nullptr);
        records::CloseActivityLog();
        records::Store().Close();
        delete server_;
        delete simulator_;
        delete folder_;
    }

    void SetUp() override {
        app::Shell() = app::ShellState{};
        CAppSettings& settings = app::Settings();
        settings.id_server_enabled = true;
        settings.id_server_address = "127.0.0.2";
        settings.id_server_port = server_->port();
        app::Shell().text = [](int id) { return "T" + std::to_string(id); };
        window_.resize(760, 520);
        window_.show();
    }

    static std::string LogPath() { return *folder_ / "ZQTalvaneLog.txt"; }
    // The activity log so far (closing the log writes its buffer out).
    static std::string LogText() {
        records::CloseActivityLog();
        std::string text = test_files::ReadFile(LogPath());
        records::OpenActivityLog(LogPath());
        return text;
    }

    static unitsim::Unit& Unit(int unit) { return *simulator_->Find(Address(unit)); }
    static std::string UnitMac(int unit) { return tabs::MacColonText(Unit(unit).State().mac.mac); }
    static int Writes(int unit, uint32_t code) {
        int n = 0;
        for (const auto& r : Unit(unit).State().requests) {
            n += r.write && r.code == code ? 1 : 0;
        }
        return n;
    }

    static std::vector<idserver::InstallRow> Installs() {
        idserver::Store store;
        std::vector<idserver::InstallRow> rows;
        EXPECT_TRUE(store.Open(*folder_ / "idserver.db"));
        EXPECT_TRUE(store.ListInstalls("", rows));
        return rows;
    }
    static bool Installed(const std::string& mac) {
        for (const auto& row : Installs()) {
            if (row.value == mac)
                return true;
        }
        return false;
    }

    // A MAC tab for `unit`, as the main window leaves it after a double click in the search.
    CDlgTalvane& MacTab(int unit) {
        mac_tab_ = std::make_unique<CDlgTalvane>();
        EXPECT_TRUE(mac_tab_->Create(CDlgTalvane::kTemplateId, &window_));
        mac_tab_->SetOwner(owner_.handle.handle());
        mac_tab_->setGeometry(0, 0, 740, 500);
        mac_tab_->show();
        mac_tab_->SetDevice(Address(unit), 34567, "admin");
        Field(*mac_tab_, CTabPage::kPasswordId)->setText(kPassword);
        Field(*mac_tab_, CDlgTalvane::kOrderId)->setText(kOrder);
        return *mac_tab_;
    }

    // Another tab for `unit`, made the same way.
    template <class Tab>
    std::unique_ptr<Tab> NewTab(int unit, int order_id) {
        auto tab = std::make_unique<Tab>();
        EXPECT_TRUE(tab->Create(Tab::kTemplateId, &window_));
        tab->SetOwner(owner_.handle.handle());
        tab->setGeometry(0, 0, 740, 500);
        tab->show();
        tab->SetDevice(Address(unit), 34567, "admin");
        Field(*tab, CTabPage::kPasswordId)->setText(kPassword);
        Field(*tab, order_id)->setText(kOrder);
        return tab;
    }
    template <class Tab>
    static bool WaitIdle(Tab& tab) {
        return QTest::qWaitFor([&] { return !tab.Busy(); }, 20000);
    }
    static std::string UnitKey(int unit) {
        const ZQNetKeyRecord key = Unit(unit).State().key;
        return tabs::FieldText(key.key, sizeof key.key);
    }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

    static QLineEdit* Field(QWidget& tab, int id) { return app::FindControl<QLineEdit>(&tab, id); }
    static QPushButton* Button(QWidget& tab, int id) {
        return app::FindControl<QPushButton>(&tab, id);
    }
    static QTableWidget* List(QWidget& tab, int id) {
        return app::FindControl<QTableWidget>(&tab, id);
    }
    static QString Cell(QWidget& tab, int list, int row, int column) {
        QTableWidgetItem* item = List(tab, list)->item(row, column);
        return item != nullptr ? item->text() : QString();
    }

    // Types `text` into a field key by key, as a scanner does (any character, also one no key
    // of the keyboard gives).
    static void Scan(QLineEdit* field, const QString& text) {
        field->setFocus();
        field->clear();
        for (QChar ch : text) {
            if (!ch.isPrint()) {  // a character no key event types: the scanner's text as a whole
                field->setText(text);
                return;
            }
        }
        for (QChar ch : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(field, &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(field, &release);
        }
    }
    template <class Tab>
    static void PressAndWait(Tab& tab, int button) {
        QTest::mouseClick(Button(tab, button), Qt::LeftButton);
        ASSERT_TRUE(WaitIdle(tab));
    }

    static inline test_files::TempFolder* folder_ = nullptr;
    static inline unitsim::Simulator* simulator_ = nullptr;
    static inline idserver::Server* server_ = nullptr;
    QDialog window_;  // a dialog, as the main window is: Enter must not reach its buttons
    MessageRecorder owner_;
    std::unique_ptr<CDlgTalvane> mac_tab_;
};

// Every way a Set can end, each on a unit of its own.
TEST_F(ProvisioningTabsTest, MacWritesEndAsTheOperatorExpects) {
    struct Case {
        const char* name;
        int unit;
        std::string mac;  // what the operator scans into MAC address 1
        bool auto_scan;   // Auto ticked and no press of Set
        std::function<void()> arrange;
        std::vector<Seen> boxes;
        int row;               // the result text of the added row; 0 for none
        std::string unit_mac;  // the unit's Ethernet address afterwards
        bool recorded;         // a MacAddress row holds the scanned text afterwards
        std::string order = kOrder;
        std::map<int, int> answers = {};
        std::string module = "M-NEW";
    };
    auto record = [](const std::string& mac) {
        return [mac] {
            ASSERT_TRUE(
                records::InsertDeviceRow(records::Store(), "MacAddress", "127.0.0.1", 1, {mac}));
        };
    };
    const Case cases[] = {
        {"17 characters with Auto",
         1,
         "02:1A:00:00:01:01",
         true,
         {},
         {{48, 2}},
         48,
         "02:1A:00:00:01:01",
         true},
        {"12 digits", 2, "021a00000102", false, {}, {{48, 2}}, 48, "02:1A:00:00:01:02", true},
        {"any separators",
         3,
         "02 1A.00_00*01#03",
         true,
         {},
         {{48, 2}},
         48,
         "02:1A:00:00:01:03",
         true},
        {"14 characters",
         4,
         "021A-0000-0104",
         false,
         {},
         {{55, kSys}, {37, kSys}},
         0,
         "00:12:41:00:00:04",
         false},
        {"multicast",
         5,
         "03:1A:00:00:01:05",
         true,
         {},
         {{230, kSys}},
         0,
         "00:12:41:00:00:05",
         false},
        {"all zero", 6, "00-00-00-00-00-00", true, {}, {{37, kSys}}, 0, "00:12:41:00:00:06", false},
        {"empty", 7, "", false, {}, {{37, kSys}}, 0, "00:12:41:00:00:07", false},
        {"too long",
         8,
         std::string(300, 'A'),
         false,
         {},
         {{55, kSys}, {37, kSys}},
         0,
         "00:12:41:00:00:08",
         false},
        {"non-ASCII in a pair",
         9,
         "02:1A:00:00:01:é",
         false,
         {},
         {{55, kSys}, {37, kSys}},
         0,
         "00:12:41:00:00:09",
         false},
        {"a quote",
         10,
         "02:1A:00:00:01:'A",
         false,
         {},
         {{55, kSys}, {37, kSys}},
         0,
         "00:12:41:00:00:0A",
         false},
        {"no order number",
         11,
         "02:1A:00:00:01:0B",
         false,
         {},
         {{62, 0}},
         0,
         "00:12:41:00:00:0B",
         false,
         ""},
        {"already recorded, OK",
         12,
         "02:1A:00:00:01:0C",
         false,
         record("02:1A:00:00:01:0C"),
         {{90, 1}, {48, 2}},
         48,
         "02:1A:00:00:01:0C",
         true},
        {"already recorded, Cancel",
         13,
         "02:1A:00:00:01:0D",
         false,
         record("02:1A:00:00:01:0D"),
         {{90, 1}},
         0,
         "00:12:41:00:00:0D",
         true,
         kOrder,
         {{90, CMyMessageBox::kIdCancel}}},
        {"unit's address recorded, dash form",
         14,
         "02:1A:00:00:01:0E",
         false,
         record("00-12-41-00-00-0E"),
         {{219, 0}},
         0,
         "00:12:41:00:00:0E",
         false},
        {"unit's address recorded, colon form",
         15,
         "02:1A:00:00:01:0F",
         false,
         record("00:12:41:00:00:0F"),
         {{219, 0}},
         0,
         "00:12:41:00:00:0F",
         false},
        {"unit's address installed at the server",
         201,
         "02:1A:00:00:01:10",
         false,
         [] {
             EXPECT_EQ(identity::InstallToServer("127.0.0.2", server_->port(), "mac", kOrder,
                                                 "02:1A:00:00:01:F1", std::nullopt, "",
                                                 identity::MakeGuidText(), 5000),
                       "");
         },
         {{219, 0}},
         0,
         "02:1A:00:00:01:F1",
         false},
        {"order unknown to the server",
         16,
         "02:1A:00:00:01:11",
         false,
         {},
         {{166, 0}},
         49,
         "00:00:00:00:00:00",
         false,
         "PO-NONE"},
        {"order with quotes",
         17,
         "02:1A:00:00:01:12",
         false,
         {},
         {{166, 0}},
         49,
         "00:00:00:00:00:00",
         false,
         "PO'\"; --"},
        {"order in Chinese",
         18,
         "02:1A:00:00:01:13",
         false,
         {},
         {{166, 0}},
         49,
         "00:00:00:00:00:00",
         false,
         "订单"},
        {"address not in the order",
         19,
         "02:1B:00:00:01:14",
         false,
         {},
         {{169, 0}},
         49,
         "00:00:00:00:00:00",
         false},
        {"long module",
         20,
         "02:1A:00:00:01:15",
         false,
         {},
         {{48, 2}},
         48,
         "02:1A:00:00:01:15",
         true,
         kOrder,
         {},
         std::string(80, 'M')},
        {"module with quotes",
         21,
         "02:1A:00:00:01:16",
         false,
         {},
         {{48, 2}},
         48,
         "02:1A:00:00:01:16",
         true,
         kOrder,
         {},
         "M'\"; drop table MacAddress; --"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CDlgTalvane& tab = MacTab(c.unit);
        if (c.arrange)
            c.arrange();
        Unit(c.unit).ClearRequestLog();
        const int rows_before = List(tab, CDlgTalvane::kListId)->rowCount();
        PromptAnswerer answerer;
        for (const auto& [id, answer] : c.answers)
            answerer.AnswerWith(id, answer);
        Field(tab, CDlgTalvane::kOrderId)->setText(QString::fromStdString(c.order));
        Field(tab, CDlgTalvane::kModuleId)->setText(QString::fromStdString(c.module));
        app::FindControl<QCheckBox>(&tab, CDlgTalvane::kAutoId)->setChecked(c.auto_scan);
        Scan(Field(tab, CDlgTalvane::kMacId), QString::fromStdString(c.mac));
        if (c.auto_scan) {
            ASSERT_TRUE(WaitIdle(tab));
        } else {
            PressAndWait(tab, CDlgTalvane::kSetId);
        }
        QTest::qWait(20);
        EXPECT_EQ(answerer.Boxes(), c.boxes);
        EXPECT_EQ(List(tab, CDlgTalvane::kListId)->rowCount(), rows_before + (c.row ? 1 : 0));
        if (c.row != 0) {
            EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, rows_before, 5), QString("T%1").arg(c.row));
        }
        EXPECT_EQ(UnitMac(c.unit), c.unit_mac);
        EXPECT_EQ(records::Store().RecordExists("MacAddress", "MacAddr", c.mac), c.recorded);
        if (c.boxes.empty() || c.boxes.front().kind == kSys || c.boxes.front().message_id == 62) {
            EXPECT_TRUE(Unit(c.unit).State().requests.empty());  // nothing reached the unit
        }
        if (c.row == 48) {
            const ZQNetMacRecord unit = Unit(c.unit).State().mac;
            EXPECT_EQ(tabs::FieldText(unit.serial, sizeof unit.serial), "SER-UNIT");
            EXPECT_EQ(tabs::FieldText(unit.module, sizeof unit.module), c.module.substr(0, 31));
            EXPECT_TRUE(Installed(c.unit_mac));
            EXPECT_TRUE(Field(tab, CDlgTalvane::kMacId)->text().isEmpty());
            EXPECT_TRUE(Field(tab, CDlgTalvane::kModuleId)->text().isEmpty());
        }
        for (QPushButton* b : {Button(tab, CDlgTalvane::kSetId), Button(tab, CDlgTalvane::kQueryId),
                               Button(tab, CTabPage::kBackId)}) {
            EXPECT_TRUE(b->isEnabled());
        }
    }
}

TEST_F(ProvisioningTabsTest, ASuccessfulWriteAddsItsRowStatusLineAndLogLines) {
    CDlgTalvane& tab = MacTab(22);
    PromptAnswerer answerer;
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1a:00:00:01:22");
    PressAndWait(tab, CDlgTalvane::kSetId);
    const int row = List(tab, CDlgTalvane::kListId)->rowCount() - 1;
    ASSERT_EQ(row, 0);
    const QStringList expected = {
        "0",  Cell(tab, CDlgTalvane::kListId, 0, 1), "127.0.32.22", "34567", "02-1A-00-00-01-22",
        "T48"};
    for (int column = 0; column < 6; ++column) {
        EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, row, column), expected[column]);
    }
    EXPECT_EQ(app::FindControl<QLabel>(&tab, CDlgTalvane::kStatusId)->text(),
              "T380  IP: 127.0.32.22  MAC: 02-1A-00-00-01-22   T48");
    EXPECT_EQ(window_.focusWidget(), Field(tab, CDlgTalvane::kMacId));
    // The row in the record store carries the text as typed.
    EXPECT_TRUE(records::Store().RecordExists("MacAddress", "MacAddr", "02:1a:00:00:01:22"));
    const std::string log = LogText();
    const std::string lines[] = {
        "login success, ip:127.0.32.22\n",
        "CheckMacAlreadyExist: query mac exist in server, mac:00:12:41:00:00:16, "
        "result:content_not_exist\n",
        "Set mac address success, mac:02:1A:00:00:01:22, wifi mac:00:00:00:00:00:00, Check "
        "server:1\n",
        "Write mac address to server success, mac:02:1A:00:00:01:22\n",
        "logout, ip:127.0.32.22\n",
    };
    size_t at = 0;
    for (const std::string& line : lines) {
        const size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line;
        at = found == std::string::npos ? at : found;
    }
}

TEST_F(ProvisioningTabsTest, APreCheckTheServerAcceptedIsNotReportedAgain) {
    CDlgTalvane& tab = MacTab(200);
    PromptAnswerer answerer;
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:30");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_EQ(UnitMac(200), "02:1A:00:00:01:30");
    EXPECT_TRUE(Installed("02:1A:00:00:01:F0"));   // the unit's address before the write
    EXPECT_FALSE(Installed("02:1A:00:00:01:30"));  // no second report
    EXPECT_NE(LogText().find("Check server:0\n"), std::string::npos);
}

TEST_F(ProvisioningTabsTest, WithoutAutoAScanWaitsForSet) {
    CDlgTalvane& tab = MacTab(23);
    PromptAnswerer answerer;
    Unit(23).ClearRequestLog();
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:23");
    QTest::qWait(300);
    EXPECT_FALSE(tab.Busy());
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_TRUE(Unit(23).State().requests.empty());
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_EQ(UnitMac(23), "02:1A:00:00:01:23");
}

// An SN code that is not UTF-8 (a unit's own code page) goes back to the unit byte for byte.
TEST_F(ProvisioningTabsTest, QueryThenSetKeepsTheBytesOfAnSnCodeThatIsNotUtf8) {
    const std::string bytes = "SN\xB2\xE2\xCA\xD4-\xFF";
    {
        LoggedInSession session(Address(204), kPassword);
        ASSERT_NE(session.handle(), 0u);
        ZQNetMacRecord record{};
        ASSERT_TRUE(tabs::QueryMacRecord(session.handle(), record));
        std::memcpy(record.snCode, bytes.data(), bytes.size());
        ASSERT_TRUE(tabs::WriteMacRecord(session.handle(), record));
    }
    CDlgTalvane& tab = MacTab(204);
    PromptAnswerer answerer;
    PressAndWait(tab, CDlgTalvane::kQueryId);
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:34");
    PressAndWait(tab, CDlgTalvane::kSetId);
    const ZQNetMacRecord unit = Unit(204).State().mac;
    EXPECT_EQ(tabs::MacColonText(unit.mac), "02:1A:00:00:01:34");
    EXPECT_EQ(tabs::FieldText(unit.snCode, sizeof unit.snCode), bytes);
}

// The Auto option counts the scanned text's bytes, as the address parser does: 17 characters
// with a full-width separator are more than 17 bytes and start nothing.
TEST_F(ProvisioningTabsTest, AutoStartsOnSeventeenBytesOnly) {
    CDlgTalvane& tab = MacTab(33);
    PromptAnswerer answerer;
    app::FindControl<QCheckBox>(&tab, CDlgTalvane::kAutoId)->setChecked(true);
    Field(tab, CDlgTalvane::kMacId)->setText(QString::fromUtf8("02\xEF\xBC\x9A" "1A:00:00:01:33"));
    QTest::qWait(50);
    EXPECT_FALSE(tab.Busy());
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_EQ(List(tab, CDlgTalvane::kListId)->rowCount(), 0);
}

TEST_F(ProvisioningTabsTest, QueryThenSetWritesBackWifiAndSnCodeAndAFirstSetWritesZero) {
    {
        CDlgTalvane& tab = MacTab(202);
        PromptAnswerer answerer;
        app::FindControl<QCheckBox>(&tab, CDlgTalvane::kAutoId)->setChecked(true);
        PressAndWait(tab, CDlgTalvane::kQueryId);
        EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 5), "T46");
        // The query's address fills the field without starting a write, Auto or not.
        EXPECT_EQ(Field(tab, CDlgTalvane::kMacId)->text(), "00-12-41-00-02-02");
        EXPECT_EQ(Field(tab, CDlgTalvane::kModuleId)->text(), "MOD202");
        EXPECT_EQ(Field(tab, CDlgTalvane::kSnCodeId)->text(), "SNC-202");
        EXPECT_FALSE(Field(tab, CDlgTalvane::kSnCodeId)->isVisible());
        EXPECT_EQ(List(tab, CDlgTalvane::kListId)->rowCount(), 1);
        Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:31");
        ASSERT_TRUE(WaitIdle(tab));
        const ZQNetMacRecord unit = Unit(202).State().mac;
        EXPECT_EQ(tabs::MacColonText(unit.mac), "02:1A:00:00:01:31");
        EXPECT_EQ(tabs::MacColonText(unit.wifiMac), "02:1A:00:00:02:02");
        EXPECT_EQ(tabs::FieldText(unit.snCode, sizeof unit.snCode), "SNC-202");
        EXPECT_EQ(tabs::FieldText(unit.serial, sizeof unit.serial), "SER202");
        EXPECT_EQ(tabs::FieldText(unit.module, sizeof unit.module), "MOD202");
        // Reported with both addresses.
        bool both = false;
        for (const auto& row : Installs()) {
            both = both || (row.content == "02:1A:00:00:01:31+02:1A:00:00:02:02" &&
                            row.content2 == "02:1A:00:00:02:02");
        }
        EXPECT_TRUE(both);
    }
    CDlgTalvane& fresh = MacTab(203);
    PromptAnswerer answerer;
    Scan(Field(fresh, CDlgTalvane::kMacId), "02:1A:00:00:01:32");
    PressAndWait(fresh, CDlgTalvane::kSetId);
    const ZQNetMacRecord unit = Unit(203).State().mac;
    EXPECT_EQ(tabs::MacColonText(unit.mac), "02:1A:00:00:01:32");
    EXPECT_EQ(tabs::MacColonText(unit.wifiMac), "00:00:00:00:00:00");
    EXPECT_EQ(tabs::FieldText(unit.snCode, sizeof unit.snCode), "");
    EXPECT_EQ(tabs::FieldText(unit.serial, sizeof unit.serial), "SER203");
}

TEST_F(ProvisioningTabsTest, AFailedLoginLogsLoginFailedThenLogout) {
    CDlgTalvane& tab = MacTab(24);
    Field(tab, CTabPage::kPasswordId)->setText("wrong");
    PromptAnswerer answerer;
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:24");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 4), "");
    EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 5), "T42");
    EXPECT_EQ(UnitMac(24), "00:12:41:00:00:18");
    const std::string log = LogText();
    const size_t failed = log.find("login failed, ip:127.0.32.24\n");
    ASSERT_NE(failed, std::string::npos);
    EXPECT_NE(log.find("logout, ip:127.0.32.24\n", failed), std::string::npos);
}

TEST_F(ProvisioningTabsTest, WithTheServerDisabledNoOrderIsAskedAndNothingIsSent) {
    app::Settings().id_server_enabled = false;
    CDlgTalvane& tab = MacTab(25);
    EXPECT_TRUE(Field(tab, CDlgTalvane::kOrderId)->isHidden());
    Field(tab, CDlgTalvane::kOrderId)->clear();
    const size_t installs = Installs().size();
    PromptAnswerer answerer;
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:25");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_EQ(UnitMac(25), "02:1A:00:00:01:25");
    EXPECT_EQ(Installs().size(), installs);
}

TEST_F(ProvisioningTabsTest, EnterInAnyControlLeavesTheTabWhereItIs) {
    CDlgTalvane& tab = MacTab(26);
    PromptAnswerer answerer;
    window_.activateWindow();
    for (QWidget* control : tab.findChildren<QWidget*>()) {
        if (!control->isVisible() || control->focusPolicy() == Qt::NoFocus)
            continue;
        SCOPED_TRACE(control->objectName().toStdString());
        control->setFocus();
        QTest::keyClick(control, Qt::Key_Return);
        QTest::keyClick(control, Qt::Key_Enter);
    }
    QTest::qWait(50);
    for (const auto& [message, wparam] : owner_.messages) {
        EXPECT_NE(message, CTabPage::kSelectMessage);  // never back to the search
    }
    EXPECT_TRUE(window_.isVisible());
    EXPECT_TRUE(answerer.Boxes().empty());
    EXPECT_FALSE(tab.Busy());
    EXPECT_EQ(List(tab, CDlgTalvane::kListId)->rowCount(), 0);
}

TEST_F(ProvisioningTabsTest, TheSuccessBoxClosesItself) {
    CDlgTalvane& tab = MacTab(27);
    PromptAnswerer answerer(5000);  // an operator who never answers
    QElapsedTimer timer;
    timer.start();
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:27");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_LT(timer.elapsed(), 4000);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 5), "T48");
}

TEST_F(ProvisioningTabsTest, ARefusedReportClearsTheUnitAtOnceAndTheTicksFindNothingLeft) {
    CDlgTalvane& tab = MacTab(28);
    Field(tab, CDlgTalvane::kOrderId)->setText("PO-NONE");
    Unit(28).ClearRequestLog();
    PromptAnswerer answerer(4200);  // the error box stays open through the seven ticks
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:28");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{166, 0}}));
    // The write and the clearing at once, which took: the ticks have nothing more to do.
    EXPECT_EQ(Writes(28, 401), 1 + 1);
    EXPECT_EQ(UnitMac(28), "00:00:00:00:00:00");
    EXPECT_FALSE(tab.Operation().Clearing().Open());
    EXPECT_FALSE(records::Store().RecordExists("MacAddress", "MacAddr", "02:1A:00:00:01:28"));
    EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 5), "T49");
}

TEST_F(ProvisioningTabsTest, AWriteThatFailsOnceIsClearedByTheTicks) {
    CDlgTalvane& tab = MacTab(29);
    Unit(29).SetFault(401, {.failWrite = true, .count = 1});
    PromptAnswerer answerer(1500);
    Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:29");
    PressAndWait(tab, CDlgTalvane::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{49, 0}}));
    EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 0, 5), "T49");
    EXPECT_EQ(UnitMac(29), "00:00:00:00:00:00");  // a tick's clearing reached the unit
    EXPECT_NE(LogText().find("Clear device mac, second step:set mac success\n"), std::string::npos);
    EXPECT_FALSE(tab.Operation().Clearing().Open());  // done: no session is left on the unit
    EXPECT_TRUE(QTest::qWaitFor([] { return Unit(29).State().sessions == 0; }, 2000));
}

TEST_F(ProvisioningTabsTest, AUnitThatDropsOrAnswersLateLeavesTheStationUsable) {
    for (const unitsim::Fault& fault :
         {unitsim::Fault{.drop = true, .count = 1}, unitsim::Fault{.delayMs = 400, .count = 1}}) {
        CDlgTalvane& tab = MacTab(30);
        Unit(30).SetFault(401, fault);
        PromptAnswerer answerer;
        Scan(Field(tab, CDlgTalvane::kMacId), "02:1A:00:00:01:30");
        PressAndWait(tab, CDlgTalvane::kSetId);
        ASSERT_EQ(List(tab, CDlgTalvane::kListId)->rowCount(), 1);
        PressAndWait(tab, CDlgTalvane::kQueryId);
        const auto* list = List(tab, CDlgTalvane::kListId);
        if (fault.drop) {
            // The clearing could not reach the unit on the broken session: the operator is told
            // which unit and address, before the Query's row.
            ASSERT_EQ(list->rowCount(), 3);
            EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 1, 4), "02-1A-00-00-01-30");
            EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, 1, 5), "T317");
        }
        EXPECT_EQ(Cell(tab, CDlgTalvane::kListId, list->rowCount() - 1, 5), "T46");
        Unit(30).ClearFaults();
    }
}

// The factory reset tab: one press, one row, no box.
TEST_F(ProvisioningTabsTest, AResetCarriesTheLocalTimeAndAFailedLoginWritesNothing) {
    CDlgRestoreFactoryTool tab;
    ASSERT_TRUE(tab.Create(CDlgRestoreFactoryTool::kTemplateId, &window_));
    tab.setGeometry(0, 0, 740, 500);
    tab.show();
    tab.SetDevice(Address(31), 34567, "admin");
    Field(tab, CTabPage::kPasswordId)->setText(kPassword);
    PromptAnswerer answerer;
    platform::SetLocalClock([] { return platform::LocalTime{2024, 3, 5, 7, 8, 9, 2}; });
    const int resets = Unit(31).State().resets;
    auto* list = List(tab, CDlgRestoreFactoryTool::kListId);
    QTest::mouseClick(Button(tab, CDlgRestoreFactoryTool::kSetId), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->rowCount() == 1; }, 10000));
    const ZQNetResetRecord reset = Unit(31).State().lastReset;
    const uint8_t expected[] = {28, 0, 0, 0, 0xE8, 0x07, 3, 5, 7, 8, 9, 0, 1};
    EXPECT_EQ(std::memcmp(&reset, expected, sizeof expected), 0);
    EXPECT_EQ(Unit(31).State().resets, resets + 1);
    const QStringList row = {"0", "2024-03-05_07:08:09", "127.0.32.31", "34567", "T48"};
    for (int column = 0; column < 5; ++column) {
        EXPECT_EQ(Cell(tab, CDlgRestoreFactoryTool::kListId, 0, column), row[column]);
    }
    Field(tab, CTabPage::kPasswordId)->setText("wrong");
    QTest::mouseClick(Button(tab, CDlgRestoreFactoryTool::kSetId), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->rowCount() == 2; }, 10000));
    QTest::qWait(50);
    EXPECT_EQ(list->rowCount(), 2);
    EXPECT_EQ(Cell(tab, CDlgRestoreFactoryTool::kListId, 1, 4), "T42");
    EXPECT_EQ(Unit(31).State().resets, resets + 1);
    EXPECT_TRUE(answerer.Boxes().empty());
    platform::SetLocalClock(test_clock::Ticking);
}

// Every way a key Set can end, each on a unit of its own (127.0.32.41 and up).
TEST_F(ProvisioningTabsTest, KeyWritesEndAsTheOperatorExpects) {
    struct Case {
        const char* name;
        int unit;
        std::string scanned;
        std::function<void()> arrange;
        std::vector<Seen> boxes;
        int row;               // 0: no row
        std::string unit_key;  // afterwards
        std::string recorded;  // a P2PKey row holding this key afterwards ("" for none)
        std::map<int, int> answers = {};
        std::string order = kOrder;
    };
    auto record = [](const std::string& key) {
        return [key] {
            ASSERT_TRUE(
                records::InsertDeviceRow(records::Store(), "P2PKey", "127.0.0.1", 1, {key}));
        };
    };
    const Case cases[] = {
        {"20 characters after the last =",
         41,
         "http://p2p/?a=b&id=" + Key(1),
         {},
         {{48, 2}},
         48,
         Key(1),
         Key(1)},
        {"20 characters", 42, Key(2), {}, {{48, 2}}, 48, Key(2), Key(2)},
        {"ends in =", 43, Key(3) + "=", {}, {{63, 0}}, 0, "", ""},
        {"19 characters", 44, Key(4).substr(1), {}, {{63, 0}}, 0, "", ""},
        {"empty", 45, "", {}, {{61, 0}}, 0, "", ""},
        {"1000 characters", 46, std::string(1000, 'K'), {}, {{63, 0}}, 0, "", ""},
        {"non-ASCII, 20 bytes", 47, "KEYé-TEST-000000000", {}, {{167, 0}}, 49, "", ""},
        {"control characters", 48, "KEY\t-TEST-0000000001", {}, {{167, 0}}, 49, "", ""},
        {"quotes, in the pool", 49, kQuotedKey, {}, {{48, 2}}, 48, kQuotedKey, kQuotedKey},
        {"not in the pool", 50, "KEY-NONE-00000000001", {}, {{167, 0}}, 49, "", ""},
        {"already recorded, OK",
         51,
         Key(11),
         record(Key(11)),
         {{91, 1}, {48, 2}},
         48,
         Key(11),
         Key(11)},
        {"already recorded, Cancel",
         52,
         Key(12),
         record(Key(12)),
         {{91, 1}},
         0,
         "",
         Key(12),
         {{91, CMyMessageBox::kIdCancel}}},
        {"installed on another unit", 53, Key(2), {}, {{91, 1}, {168, 0}}, 49, "", Key(2)},
        {"unit has a key", 210, Key(13), {}, {{218, 0}}, 0, "EXISTINGKEY000000001", ""},
        {"no order number", 54, Key(14), {}, {{62, 0}}, 0, "", "", {}, ""},
        {"order unknown", 55, Key(15), {}, {{166, 0}}, 49, "", "", {}, "PO-NONE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto tab = NewTab<CDlgKeyTool>(c.unit, CDlgKeyTool::kOrderId);
        if (c.arrange)
            c.arrange();
        PromptAnswerer answerer;
        for (const auto& [id, answer] : c.answers)
            answerer.AnswerWith(id, answer);
        Field(*tab, CDlgKeyTool::kOrderId)->setText(QString::fromStdString(c.order));
        auto* key = Field(*tab, CDlgKeyTool::kKeyId);
        Scan(key, QString::fromStdString(c.scanned));
        QTest::keyClick(key, Qt::Key_Return);  // the scanner's Enter presses Set
        ASSERT_TRUE(WaitIdle(*tab));
        QTest::qWait(20);
        EXPECT_EQ(answerer.Boxes(), c.boxes);
        auto* list = List(*tab, CDlgKeyTool::kListId);
        EXPECT_EQ(list->rowCount(), c.row ? 1 : 0);
        if (c.row) {
            EXPECT_EQ(Cell(*tab, CDlgKeyTool::kListId, 0, 5), QString("T%1").arg(c.row));
        }
        EXPECT_EQ(UnitKey(c.unit), c.unit_key);
        if (!c.recorded.empty()) {
            EXPECT_TRUE(records::Store().RecordExists("P2PKey", "keyId", c.recorded));
        }
        if (c.row == 48) {
            EXPECT_TRUE(Installed(c.unit_key));
            EXPECT_TRUE(key->text().isEmpty());
            EXPECT_EQ(Cell(*tab, CDlgKeyTool::kListId, 0, 4), QString::fromStdString(c.unit_key));
            EXPECT_EQ(app::FindControl<QLabel>(tab.get(), CDlgKeyTool::kStatusId)->text(),
                      QString::fromStdString("T380  IP: " + Address(c.unit) +
                                             "  Key: " + c.unit_key + "   T48"));
        }
        for (int id : {CDlgKeyTool::kSetId, CDlgKeyTool::kQueryId, CTabPage::kBackId})
            EXPECT_TRUE(Button(*tab, id)->isEnabled());
    }
}

TEST_F(ProvisioningTabsTest, AKeyThatDoesNotReadBackEqualIsClearedAtOnce) {
    auto tab = NewTab<CDlgKeyTool>(56, CDlgKeyTool::kOrderId);
    Unit(56).SetFault(553, {.readBackDiffers = true});
    const std::string before = LogText();
    PromptAnswerer answerer;
    Scan(Field(*tab, CDlgKeyTool::kKeyId), QString::fromStdString(Key(16)));
    PressAndWait(*tab, CDlgKeyTool::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{49, 0}}));
    EXPECT_EQ(UnitKey(56), "");
    Unit(56).ClearFaults();
    const std::string log = LogText().substr(before.size());
    EXPECT_NE(log.find("CompareSetP2pWithQueryP2p failed\n"), std::string::npos);
    EXPECT_EQ(Count(log, "Clear device p2p, first step:"), 1);
    EXPECT_EQ(Count(log, "Clear device p2p, second step:set p2p success, p2p:\n"), 1);
    EXPECT_FALSE(tab->Operation().Clearing().Open());
}

TEST_F(ProvisioningTabsTest, AReadBackThatFailsOnceIsFollowedByAClearThatWorks) {
    auto tab = NewTab<CDlgKeyTool>(57, CDlgKeyTool::kOrderId);
    // The requests of code 553: the pre-check's query, the write, the read-back, the clear's.
    Unit(57).SetFault(553, {.failQuery = true, .skip = 2, .count = 1});
    const size_t before = LogText().size();
    PromptAnswerer answerer;
    Scan(Field(*tab, CDlgKeyTool::kKeyId), QString::fromStdString(Key(17)));
    PressAndWait(*tab, CDlgKeyTool::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{49, 0}}));
    EXPECT_EQ(UnitKey(57), "");
    const std::string log = LogText().substr(before);
    const size_t failed = log.find("Set p2p success and then query failed\n");
    EXPECT_NE(log.find("Clear device p2p, second step:set p2p success, p2p:\n"), std::string::npos);
    EXPECT_NE(failed, std::string::npos);
    EXPECT_FALSE(Installed(Key(17)));
}

TEST_F(ProvisioningTabsTest, WithTheServerDisabledAKeyOverwritesTheUnitsKey) {
    app::Settings().id_server_enabled = false;
    auto tab = NewTab<CDlgKeyTool>(211, CDlgKeyTool::kOrderId);
    EXPECT_TRUE(Field(*tab, CDlgKeyTool::kOrderId)->isHidden());
    PromptAnswerer answerer;
    Scan(Field(*tab, CDlgKeyTool::kKeyId), QString::fromStdString(Key(18)));
    PressAndWait(*tab, CDlgKeyTool::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_EQ(UnitKey(211), Key(18));
    EXPECT_FALSE(Installed(Key(18)));
}

TEST_F(ProvisioningTabsTest, AnUnreachableServerLeavesAPendingReportThatTheNextTryReuses) {
    app::Settings().id_server_port = static_cast<uint16_t>(UnusedLoopbackPort());
    app::Settings().id_server_timeout_ms = 300;
    auto tab = NewTab<CDlgKeyTool>(58, CDlgKeyTool::kOrderId);
    PromptAnswerer answerer;
    Scan(Field(*tab, CDlgKeyTool::kKeyId), QString::fromStdString(Key(19)));
    PressAndWait(*tab, CDlgKeyTool::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{162, 0}}));
    EXPECT_EQ(UnitKey(58), "");  // written, read back equal, then taken off again
    const std::string pending = records::PendingReportUuid(records::Store(), kOrder, Key(19));
    EXPECT_EQ(pending.size(), 36u);

    // The server is back: the same order and key go out under the same identifier.
    app::Settings().id_server_port = server_->port();
    answerer.Clear();
    Scan(Field(*tab, CDlgKeyTool::kKeyId), QString::fromStdString(Key(19)));
    PressAndWait(*tab, CDlgKeyTool::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_EQ(UnitKey(58), Key(19));
    std::string uuid;
    for (const auto& row : Installs())
        uuid = row.value == Key(19) ? row.uuid : uuid;
    EXPECT_EQ(uuid, pending);
    EXPECT_EQ(records::PendingReportUuid(records::Store(), kOrder, Key(19)), "");
}

TEST_F(ProvisioningTabsTest, KeyTabEnterOnlyInTheKeyFieldAndBackWaitsForTheLogin) {
    auto tab = NewTab<CDlgKeyTool>(59, CDlgKeyTool::kOrderId);
    PromptAnswerer answerer;
    auto* key = Field(*tab, CDlgKeyTool::kKeyId);
    Scan(key, QString::fromStdString(Key(20)));
    for (int id : {CTabPage::kPortId, CTabPage::kPasswordId, CDlgKeyTool::kOrderId}) {
        QTest::keyClick(Field(*tab, id), Qt::Key_Return);
    }
    QTest::keyClick(Button(*tab, CDlgKeyTool::kQueryId), Qt::Key_Enter);
    QTest::qWait(100);
    EXPECT_FALSE(tab->Busy());
    EXPECT_EQ(List(*tab, CDlgKeyTool::kListId)->rowCount(), 0);
    QTest::keyClick(key, Qt::Key_Enter);
    EXPECT_TRUE(tab->Busy());
    EXPECT_FALSE(Button(*tab, CTabPage::kBackId)->isEnabled());
    ASSERT_TRUE(WaitIdle(*tab));
    EXPECT_EQ(UnitKey(59), Key(20));
    EXPECT_TRUE(Button(*tab, CTabPage::kBackId)->isEnabled());
    // Query shows the key in the field and the row.
    PressAndWait(*tab, CDlgKeyTool::kQueryId);
    EXPECT_EQ(key->text(), QString::fromStdString(Key(20)));
    EXPECT_EQ(Cell(*tab, CDlgKeyTool::kListId, 1, 5), "T46");
    for (const auto& [message, wparam] : owner_.messages)
        EXPECT_NE(message, CTabPage::kSelectMessage);
}

// Serial numbers: the unit's own record is written back with only its serial number changed.
TEST_F(ProvisioningTabsTest, SerialWritesEndAsTheOperatorExpects) {
    struct Case {
        const char* name;
        int unit;
        std::string serial;
        std::string order;
        std::vector<Seen> boxes;
        int row;
        std::string unit_serial;  // afterwards
    };
    const std::string forty(40, 'S');
    const Case cases[] = {
        {"40 characters", 61, forty, kOrder, {{48, 2}}, 48, forty.substr(0, 32)},
        {"short", 62, "SN-0001", kOrder, {{48, 2}}, 48, "SN-0001"},
        {"same serial, another order", 63, "SN-0001", "PO-OTHER", {{48, 2}}, 48, "SN-0001"},
        {"same serial, same order", 64, "SN-0001", kOrder, {{243, 0}}, 0, "SER-K"},
        {"no order number", 65, "SN-0002", "", {{242, 0}}, 0, "SER-K"},
        {"empty", 66, "", kOrder, {{133, 0}}, 0, "SER-K"},
        {"quotes", 67, "SN'\"; drop table x; --", kOrder, {{48, 2}}, 48, "SN'\"; drop table x; --"},
        {"non-ASCII cut at a character",
         68,
         std::string(31, 'S') + "序号",
         kOrder,
         {{48, 2}},
         48,
         std::string(31, 'S')},
        {"1000 characters",
         69,
         std::string(1000, 'x'),
         kOrder,
         {{48, 2}},
         48,
         std::string(32, 'x')},
        {"control characters", 70, "SN\x01\x02", kOrder, {{48, 2}}, 48, "SN\x01\x02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto tab = NewTab<CDlgSerialNum>(c.unit, CDlgSerialNum::kOrderId);
        Field(*tab, CDlgSerialNum::kOrderId)->setText(QString::fromStdString(c.order));
        const ZQNetMacRecord before = Unit(c.unit).State().mac;
        PromptAnswerer answerer;
        auto* serial = Field(*tab, CDlgSerialNum::kSerialId);
        serial->setFocus();
        serial->setText(QString::fromStdString(c.serial));
        QTest::keyClick(serial, Qt::Key_Return);  // Enter in the field presses Set
        ASSERT_TRUE(WaitIdle(*tab));
        QTest::qWait(20);
        EXPECT_EQ(answerer.Boxes(), c.boxes);
        EXPECT_EQ(List(*tab, CDlgSerialNum::kListId)->rowCount(), c.row ? 1 : 0);
        ZQNetMacRecord after = Unit(c.unit).State().mac;
        EXPECT_EQ(std::string(after.serial, strnlen(after.serial, 32)), c.unit_serial);
        // Everything but the serial number is written back as read.
        std::memcpy(after.serial, before.serial, sizeof after.serial);
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
        if (c.row == 48) {
            EXPECT_TRUE(records::SerialNumberKnown(records::Store(), c.serial, c.order));
            EXPECT_TRUE(serial->text().isEmpty());
            EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 0, 4).toStdString(), c.unit_serial);
        }
        if (c.row == 0 && c.serial.empty()) {
            EXPECT_TRUE(serial->text().isEmpty());
        }
    }
}

TEST_F(ProvisioningTabsTest, SerialTabWithoutTheServerAsksNoOrderAndRecordsNothing) {
    app::Settings().id_server_enabled = false;
    auto tab = NewTab<CDlgSerialNum>(71, CDlgSerialNum::kOrderId);
    EXPECT_TRUE(Field(*tab, CDlgSerialNum::kOrderId)->isHidden());
    Field(*tab, CDlgSerialNum::kOrderId)->clear();
    PromptAnswerer answerer;
    Field(*tab, CDlgSerialNum::kSerialId)->setText("SN-NOSERVER");
    PressAndWait(*tab, CDlgSerialNum::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{48, 2}}));
    EXPECT_FALSE(records::Store().RecordExists("SerialNumberTable", "SerialNum", "SN-NOSERVER"));
    // A Query reads it back into the field.
    PressAndWait(*tab, CDlgSerialNum::kQueryId);
    EXPECT_EQ(Field(*tab, CDlgSerialNum::kSerialId)->text(), "SN-NOSERVER");
    EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 1, 5), "T46");
}

// The row names the unit the Set was pressed for: address and port as they were at the press,
// whatever the fields hold when the login result comes.
TEST_F(ProvisioningTabsTest, ASerialRowShowsTheAddressAndPortOfThePress) {
    auto tab = NewTab<CDlgSerialNum>(78, CDlgSerialNum::kOrderId);
    Unit(78).SetFault(unitsim::kFaultLogin, {.delayMs = 300, .count = 1});
    PromptAnswerer answerer;
    Field(*tab, CDlgSerialNum::kSerialId)->setText("SN-PRESS-PORT");
    QTest::mouseClick(Button(*tab, CDlgSerialNum::kSetId), Qt::LeftButton);
    tab->SetDevice(Address(79), 9999, "admin");  // the next unit is picked meanwhile
    ASSERT_TRUE(WaitIdle(*tab));
    EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 0, 2).toStdString(), Address(78));
    EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 0, 3), "34567");
    EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 0, 5), "T48");
}

TEST_F(ProvisioningTabsTest, AFailedSerialWriteIsLoggedAsSpelled) {
    auto tab = NewTab<CDlgSerialNum>(72, CDlgSerialNum::kOrderId);
    Unit(72).SetFault(401, {.failWrite = true, .count = 1});
    const size_t before = LogText().size();
    PromptAnswerer answerer;
    Field(*tab, CDlgSerialNum::kSerialId)->setText("SN-FAIL");
    PressAndWait(*tab, CDlgSerialNum::kSetId);
    EXPECT_EQ(answerer.Boxes(), (std::vector<Seen>{{49, 0}}));
    EXPECT_EQ(Cell(*tab, CDlgSerialNum::kListId, 0, 5), "T49");
    EXPECT_EQ(LogText().substr(before).find("Set serail number failed\n") != std::string::npos,
              true);
    EXPECT_FALSE(records::SerialNumberKnown(records::Store(), "SN-FAIL", kOrder));
}

}  // namespace
