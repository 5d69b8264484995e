// The provisioning tabs against the same calls made by hand: for each of UNITS units, a scanned
// MAC address (MAC tab, Auto ticked), serial number and P2P key (Enter after the scan) through the
// real tabs (offscreen, each success box closed by the tab's own 500 ms timer), next to the
// library and identity server calls each tab makes, made by hand on other units (connect and
// login, the queries and writes, the server's duplicate check and report, stop). Simulated units
// and an in-process identity server on loopback. Prints, per step, the station's time per unit
// (scan to row, minus the time the success box stood open) next to the calls by hand, and what
// the station adds, in wall time and in processor time of the thread doing the work (the
// latter holds on a busy machine).
//
//   mac_tab_bench [UNITS]      (default 200)
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "device/ZQNet.h"
#include "identity/install.h"
#include "login_wait.h"
#include "records/activity_log.h"
#include "records/record_store.h"
#include "server.h"
#include "store.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/key_operation.h"
#include "tabs/mac_rules.h"
#include "ui/controls.h"
#include "ui/message_box.h"
#include "ui/shell.h"
#include "unit-sim/config.h"
#include "unit-sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kOrder = "PO-BENCH";
constexpr int kStationBlock = 33;
constexpr int kByHandBlock = 34;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The calling thread's processor time so far, in milliseconds: what the thread itself spent,
// whatever else the machine runs.
double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string Address(int block, int i) {
    return "127.0." + std::to_string(block) + "." + std::to_string(i + 1);
}

std::string NewMac(int block, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "02:1A:00:%02X:%02X:%02X", block & 0xFF, (i / 256) & 0xFF,
                  i % 256);
    return text;
}

std::string NewKey(int block, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "P2P-BNCH-%02d%09d", block % 100, i % 1000000000);
    return text;
}

std::string NewSerial(int block, int i) {
    return "SN-" + std::to_string(block) + "-" + std::to_string(i);
}

// Notes when the program's message box shows and hides.
class BoxWatch : public QObject {
  public:
    Clock::time_point shown, hidden;
    double shown_cpu = 0, hidden_cpu = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (qobject_cast<CMyMessageBox*>(watched) != nullptr) {
            if (event->type() == QEvent::Show) {
                shown = Clock::now();
                shown_cpu = CpuMs();
            }
            if (event->type() == QEvent::Hide) {
                hidden = Clock::now();
                hidden_cpu = CpuMs();
            }
        }
        return false;
    }
};

// A logged-in session made by hand, stopped at the end of the scope.
class Session {
  public:
    explicit Session(const std::string& address) {
        ZQNetConnectionRecord record{};
        record.address = address.c_str();
        record.port = 34567;
        record.user = "admin";
        record.password = "pw";
        record.userValue = &login_;
        record.statusCallback = LoginWait::OnStatus;
        handle_ = ZQNetConnectionStartEx(&record);
        ok_ = login_.Wait() == ZQNET_STATUS_LOGGED_IN;
    }
    ~Session() {
        if (handle_ != 0)
            ZQNetConnectionStop(&handle_);
    }
    ZQNET_HANDLE handle() const { return ok_ ? handle_ : 0; }

  private:
    LoginWait login_;
    ZQNET_HANDLE handle_ = 0;
    bool ok_ = false;
};

bool Install(uint16_t port, const char* type, const std::string& content, const char* expected) {
    return identity::InstallToServer("127.0.0.2", port, type, kOrder, content, std::nullopt, "",
                                     identity::MakeGuidText()) == expected;
}

// The calls of each tab, by hand, for one unit; false when a step failed.
bool MacByHand(const std::string& address, int i, uint16_t port) {
    Session session(address);
    ZQNetMacRecord mac{};
    bool ok = tabs::QueryMacRecord(session.handle(), mac);
    ok = ok && Install(port, "mac", tabs::MacColonText(mac.mac), identity::kContentNotExist);
    ok = ok && tabs::QueryMacRecord(session.handle(), mac);
    ok = ok && tabs::ParseMacText(NewMac(kByHandBlock, i), mac.mac) == tabs::MacParse::kOk;
    ok = ok && tabs::WriteMacRecord(session.handle(), mac);
    return ok && Install(port, "mac", NewMac(kByHandBlock, i), "");
}

bool SerialByHand(const std::string& address, int i, uint16_t) {
    Session session(address);
    ZQNetMacRecord mac{};
    bool ok = tabs::QueryMacRecord(session.handle(), mac);
    tabs::FillTextField(NewSerial(kByHandBlock, i), mac.serial, sizeof mac.serial);
    return ok && tabs::WriteMacRecord(session.handle(), mac);
}

bool KeyByHand(const std::string& address, int i, uint16_t port) {
    Session session(address);
    ZQNetKeyRecord key{};
    bool ok = tabs::QueryKeyRecord(session.handle(), key) && tabs::KeyText(key).empty();
    key = ZQNetKeyRecord{};
    tabs::CopyTextField(NewKey(kByHandBlock, i), key.key, sizeof key.key);
    ok = ok && tabs::WriteKeyRecord(session.handle(), key);
    ok = ok && tabs::QueryKeyRecord(session.handle(), key) &&
         tabs::KeyText(key) == NewKey(kByHandBlock, i);
    return ok && Install(port, "p2p_id", NewKey(kByHandBlock, i), "");
}

double Median(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void Print(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
    std::printf("  %-28s median %7.3f ms  mean %7.3f ms  p90 %7.3f ms\n", what, ms[ms.size() / 2],
                mean, ms[ms.size() * 9 / 10]);
}

// One tab's scanned write, timed from the scan to the row, minus the time its box stood open.
struct Step {
    const char* name;
    CTabPage* tab;
    int field_id;
    int list_id;
    std::function<bool()> busy;
    std::function<std::string(int)> scan;
    bool enter;
    std::function<bool(const std::string&, int, uint16_t)> by_hand;
    std::vector<double> station = {}, box_open = {}, calls = {};
    std::vector<double> station_cpu = {}, calls_cpu = {};
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    const int units = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    char pattern[] = "/tmp/zq_mac_bench_XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::ostringstream lines;
    for (int block : {kStationBlock, kByHandBlock}) {
        lines << R"({"address":")" << Address(block, 0) << R"(","count":)" << units
              << R"(,"password":"pw","mac":"00:12:41:)" << block << ":00:01\"}\n";
    }
    std::vector<unitsim::UnitConfig> configs;
    std::string error;
    unitsim::Simulator simulator;
    if (!unitsim::ParseUnitLines(lines.str(), configs, error) || !simulator.Start(configs, error)) {
        std::fprintf(stderr, "mac_tab_bench: simulator: %s\n", error.c_str());
        return 1;
    }
    const std::string db = folder + "/idserver.db";
    {
        idserver::Store store;
        std::vector<std::string> keys;
        for (int i = 0; i < units; ++i) {
            keys.push_back(NewKey(kStationBlock, i));
            keys.push_back(NewKey(kByHandBlock, i));
        }
        int64_t added = 0;
        if (!store.Open(db) || !store.CreateOrder(kOrder) ||
            !store.AddMacRange(kOrder, *idserver::ParseMac("02:1A:00:00:00:00"),
                               *idserver::ParseMac("02:1A:00:FF:FF:FF")) ||
            !store.ImportPool(kOrder, "p2p_id", keys, added)) {
            std::fprintf(stderr, "mac_tab_bench: store: %s\n", store.error().c_str());
            return 1;
        }
    }
    idserver::Server server;
    idserver::ServerOptions options;
    options.port = 0;
    if (!server.Start(db, options)) {
        std::fprintf(stderr, "mac_tab_bench: server: %s\n", server.error().c_str());
        return 1;
    }
    records::OpenRecordStore(records::Store(), folder + "/config/");
    records::OpenActivityLog(folder + "/ZQTalvaneLog.txt");
    app::Shell().text = [](int id) { return std::string("T").append(std::to_string(id)); };
    CAppSettings& settings = app::Settings();
    settings.id_server_enabled = true;
    settings.id_server_address = "127.0.0.2";
    settings.id_server_port = server.port();
    ZQNetInit();

    // The station: one tab of each kind, each unit through all three.
    QWidget window;
    window.resize(760, 520);
    CDlgTalvane mac;
    CDlgSerialNum serial;
    CDlgKeyTool key;
    for (CTabPage* tab : std::initializer_list<CTabPage*>{&mac, &serial, &key}) {
        tab->Create(tab->info().template_id, &window);
        tab->setGeometry(0, 0, 740, 500);
        app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)->setText("pw");
    }
    app::FindControl<QLineEdit>(&mac, CDlgTalvane::kOrderId)->setText(kOrder);
    app::FindControl<QLineEdit>(&serial, CDlgSerialNum::kOrderId)->setText(kOrder);
    app::FindControl<QLineEdit>(&key, CDlgKeyTool::kOrderId)->setText(kOrder);
    app::FindControl<QCheckBox>(&mac, CDlgTalvane::kAutoId)->setChecked(true);
    window.show();
    BoxWatch boxes;
    qt.installEventFilter(&boxes);

    Step steps[] = {
        {"MAC address", &mac, CDlgTalvane::kMacId, CDlgTalvane::kListId, [&] { return mac.Busy(); },
         [](int i) { return NewMac(kStationBlock, i); }, false, MacByHand},
        {"serial number", &serial, CDlgSerialNum::kSerialId, CDlgSerialNum::kListId,
         [&] { return serial.Busy(); }, [](int i) { return NewSerial(kStationBlock, i); }, true,
         SerialByHand},
        {"P2P key", &key, CDlgKeyTool::kKeyId, CDlgKeyTool::kListId, [&] { return key.Busy(); },
         [](int i) { return NewKey(kStationBlock, i); }, true, KeyByHand},
    };
    int failures = 0;
    for (int i = 0; i < units; ++i) {
        for (Step& step : steps) {
            for (const Step& other : steps)  // the main window shows one tab at a time
                other.tab->setVisible(other.tab == step.tab);
            step.tab->SetDevice(Address(kStationBlock, i), 34567, "admin");
            auto* field = app::FindControl<QLineEdit>(step.tab, step.field_id);
            auto* list = app::FindControl<QTableWidget>(step.tab, step.list_id);
            const int rows = list->rowCount();
            Clock::time_point row_added;
            double row_cpu = 0;
            QEventLoop loop;
            auto noted = QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, [&] {
                row_added = Clock::now();
                row_cpu = CpuMs();
            });
            auto done = QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, &loop,
                                         &QEventLoop::quit, Qt::QueuedConnection);
            field->setFocus();
            const Clock::time_point scanned = Clock::now();
            const double scanned_cpu = CpuMs();
            QTest::keyClicks(field, QString::fromStdString(step.scan(i)));
            if (step.enter)
                QTest::keyClick(field, Qt::Key_Return);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);  // a unit that never answers
            if (list->rowCount() == rows)
                loop.exec();
            QObject::disconnect(noted);
            QObject::disconnect(done);
            QTableWidgetItem* result = list->item(rows, 5);
            if (result == nullptr || result->text() != app::Text(48)) {
                ++failures;
                continue;
            }
            const double open = Ms(boxes.hidden - boxes.shown);
            step.box_open.push_back(open);
            step.station.push_back(Ms(row_added - scanned) - open);
            step.station_cpu.push_back(row_cpu - scanned_cpu -
                                       (boxes.hidden_cpu - boxes.shown_cpu));
        }
    }
    for (int i = 0; i < units; ++i) {
        for (Step& step : steps) {
            const Clock::time_point start = Clock::now();
            const double start_cpu = CpuMs();
            failures += step.by_hand(Address(kByHandBlock, i), i, server.port()) ? 0 : 1;
            step.calls.push_back(Ms(Clock::now() - start));
            step.calls_cpu.push_back(CpuMs() - start_cpu);
        }
    }
    ZQNetRelease();
    records::CloseActivityLog();
    records::Store().Close();
    server.Stop();
    simulator.Stop();
    std::filesystem::remove_all(folder);

    std::printf(
        "%d units, each through the MAC, serial number and key tabs and by hand; %d failed\n",
        units, failures);
    if (failures != 0)
        return 1;
    for (Step& step : steps) {
        std::printf("%s\n", step.name);
        Print("station, scan to row - box", step.station);
        Print("(success box open)", step.box_open);
        Print("the same calls by hand", step.calls);
        Print("UI thread's CPU, station", step.station_cpu);
        Print("calling thread's CPU, by hand", step.calls_cpu);
        std::printf("  station adds %.3f ms per unit (median), %.3f ms of its thread's CPU\n",
                    Median(step.station) - Median(step.calls),
                    Median(step.station_cpu) - Median(step.calls_cpu));
    }
    return 0;
}
