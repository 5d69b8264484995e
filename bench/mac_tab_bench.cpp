// The MAC address tab against the same calls made by hand: 200 scanned writes through the real
// tab (offscreen, Auto ticked, the success box closed by the tab's own 500 ms timer) next to 200
// cycles of the library and identity server calls the tab makes (connect and login, query, the
// server's duplicate check, query, write, report, stop), each on simulated units and an
// in-process identity server on loopback. Prints the median and mean time per unit of each and
// the station's own share: scan to row, minus the time the success box stood open.
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
#include <filesystem>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/message_box.h"
#include "app/shell.h"
#include "device/ZQNet.h"
#include "identity/install.h"
#include "login_wait.h"
#include "platform/qt_window.h"
#include "records/activity_log.h"
#include "records/record_store.h"
#include "server.h"
#include "store.h"
#include "tabs/dlg_talvane.h"
#include "tabs/mac_rules.h"
#include "unit-sim/config.h"
#include "unit-sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kOrder = "PO-BENCH";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
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

// Notes when the program's message box shows and hides, and when the login result reaches the
// tab.
class BoxWatch : public QObject {
  public:
    Clock::time_point shown, hidden, login;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == platform::WindowMessageEvent::Type() &&
            static_cast<platform::WindowMessageEvent*>(event)->message() == 1125)
            login = Clock::now();
        if (qobject_cast<CMyMessageBox*>(watched) != nullptr) {
            if (event->type() == QEvent::Show)
                shown = Clock::now();
            if (event->type() == QEvent::Hide)
                hidden = Clock::now();
        }
        return false;
    }
};

// The tab's calls, by hand, for one unit; false when a step failed.
bool ByHand(const std::string& address, const std::string& mac_text, uint16_t server_port) {
    LoginWait login;
    ZQNetConnectionRecord record{};
    record.address = address.c_str();
    record.port = 34567;
    record.user = "admin";
    record.password = "pw";
    record.userValue = &login;
    record.statusCallback = LoginWait::OnStatus;
    ZQNET_HANDLE h = ZQNetConnectionStartEx(&record);
    bool ok = login.Wait() == ZQNET_STATUS_LOGGED_IN;
    ZQNetMacRecord mac{};
    auto query = [&] {
        mac = ZQNetMacRecord{};
        mac.size = sizeof mac;
        ZQNetTempParamRequest request{};
        request.code = ZQNET_PARAM_MAC_QUERY;
        request.buffer = &mac;
        request.size = sizeof mac;
        return ZQNetQueryTemporaryParam(h, &request) == 1;
    };
    ok = ok && query();
    const std::string current = tabs::MacColonText(mac.mac);
    ok = ok &&
         identity::InstallToServer("127.0.0.2", server_port, "mac", kOrder, current, std::nullopt,
                                   "", identity::MakeGuidText()) == identity::kContentNotExist;
    ok = ok && query();
    ok = ok && tabs::ParseMacText(mac_text, mac.mac) == tabs::MacParse::kOk;
    mac.size = sizeof mac;
    ZQNetParamRequest write{};
    write.command = ZQNET_PARAM_MAC_SET;
    write.buffer = &mac;
    write.size = sizeof mac;
    write.write = 1;
    ok = ok && ZQNetSetParamEx(h, &write) == 1;
    ok = ok && identity::InstallToServer("127.0.0.2", server_port, "mac", kOrder, mac_text,
                                         std::nullopt, "", identity::MakeGuidText())
                   .empty();
    if (h != 0)
        ZQNetConnectionStop(&h);
    return ok;
}

void Print(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
    std::printf("%-34s median %7.3f ms  mean %7.3f ms  p90 %7.3f ms\n", what, ms[ms.size() / 2],
                mean, ms[ms.size() * 9 / 10]);
}

double Median(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    const int units = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

    char pattern[] = "/tmp/zq_mac_bench_XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::ostringstream lines;
    for (int block : {33, 34}) {
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
        if (!store.Open(db) || !store.CreateOrder(kOrder) ||
            !store.AddMacRange(kOrder, *idserver::ParseMac("02:1A:00:00:00:00"),
                               *idserver::ParseMac("02:1A:00:FF:FF:FF"))) {
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

    // The station: one MAC tab, one scan per unit.
    QWidget window;
    window.resize(760, 520);
    CDlgTalvane tab;
    tab.Create(CDlgTalvane::kTemplateId, &window);
    tab.setGeometry(0, 0, 740, 500);
    window.show();
    app::FindControl<QLineEdit>(&tab, CTabPage::kPasswordId)->setText("pw");
    app::FindControl<QLineEdit>(&tab, CDlgTalvane::kOrderId)->setText(kOrder);
    app::FindControl<QCheckBox>(&tab, CDlgTalvane::kAutoId)->setChecked(true);
    auto* field = app::FindControl<QLineEdit>(&tab, CDlgTalvane::kMacId);
    auto* list = app::FindControl<QTableWidget>(&tab, CDlgTalvane::kListId);
    BoxWatch boxes;
    qt.installEventFilter(&boxes);
    Clock::time_point row_added;
    QObject::connect(list->model(), &QAbstractItemModel::rowsInserted,
                     [&] { row_added = Clock::now(); });

    std::vector<double> station, box_open, by_hand, typing, to_login, login_to_box, box_to_row;
    int failures = 0;
    for (int i = 0; i < units; ++i) {
        tab.SetDevice(Address(33, i), 34567, "admin");
        const int rows = list->rowCount();
        field->setFocus();
        QEventLoop loop;
        auto done = QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, &loop,
                                     &QEventLoop::quit, Qt::QueuedConnection);
        const Clock::time_point scanned = Clock::now();
        QTest::keyClicks(field, QString::fromStdString(NewMac(33, i)));  // the 17th presses Set
        const Clock::time_point typed = Clock::now();
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);  // a unit that never answers
        if (list->rowCount() == rows)
            loop.exec();
        QObject::disconnect(done);
        QTableWidgetItem* result = list->item(rows, 5);
        if (result == nullptr || result->text() != app::Text(48)) {
            ++failures;
            continue;
        }
        const double open = Ms(boxes.hidden - boxes.shown);
        box_open.push_back(open);
        station.push_back(Ms(row_added - scanned) - open);
        typing.push_back(Ms(typed - scanned));
        to_login.push_back(Ms(boxes.login - typed));
        login_to_box.push_back(Ms(boxes.shown - boxes.login));
        box_to_row.push_back(Ms(row_added - boxes.hidden));
    }
    for (int i = 0; i < units; ++i) {
        const Clock::time_point start = Clock::now();
        failures += ByHand(Address(34, i), NewMac(34, i), server.port()) ? 0 : 1;
        by_hand.push_back(Ms(Clock::now() - start));
    }
    ZQNetRelease();
    records::CloseActivityLog();
    records::Store().Close();
    server.Stop();
    simulator.Stop();
    std::filesystem::remove_all(folder);

    std::printf("%d units each way, %d failed steps\n", units, failures);
    Print("station, scan to row minus box", station);
    Print("  scan, checks and connect", typing);
    Print("  then the login result", to_login);
    Print("  login result to success box", login_to_box);
    Print("  success box closed to row", box_to_row);
    Print("  (success box open)", box_open);
    Print("the same calls by hand", by_hand);
    const double added = Median(station) - Median(by_hand);
    std::printf("station adds %.3f ms per unit (median), ratio station/by hand %.3f\n", added,
                Median(station) / Median(by_hand));
    return failures == 0 ? 0 : 1;
}
