// zq-station-screenshots: runs the station as the demo's operator would and saves pictures.
//
//   zq-station-screenshots FOLDER
//
// Starts the station (the same application object as ZQTalvane, without the splash), presses
// Search, waits for the list, saves the search view, double-clicks the first unit and saves each
// of the nine tabs. Then it provisions that unit as an operator with a scanner would, typing the
// device password (DEMO_PASSWORD, default 123456) and the order number (DEMO_ORDER, default
// PO-DEMO-001) in each tab: in the MAC address tab it ticks Auto and scans DEMO_MAC (default
// 02:1A:00:00:01:01); in the serial number tab it scans DEMO_SERIAL (default SN-DEMO-0001)
// ending with Enter; in the key tab it scans DEMO_KEY (default a link ending in
// "=P2P-DEMO-00000000001") ending with Enter. After each write it saves FOLDER/10-mac-written.png,
// 11-serial-written.png, 12-key-written.png. In the device information tab it picks the option
// set "XVR", types the other items, presses Set (every item is checked, as the shipped
// Systemcfg.bk leaves them), empties the fields, presses Query and checks that the unit gave back
// what was written; it saves FOLDER/13-device-info-read-back.png. Last, in the telnet tab it ticks
// the test-script box and presses Open telnet: the program folder's test.pl runs against the
// unit's telnet service and its verdict line (also in test.log in the program folder) is printed;
// it saves 14-telnet-test-script.png. Then it goes back to the list and picks the fisheye camera
// DEMO_CAMERA (default 127.0.0.13): in the fisheye centre tab it logs in, waits for the live
// picture with the camera's circle fitted on it and presses Set (15-fisheye-circle-fitted.png);
// in the lens calibration tab it logs in, presses Set and saves the screen with the camera's
// result box (16-lens-calibration-done.png); then it closes the window. Exit status 0 when every
// picture was written, the search listed at least one unit, each write succeeded, the device
// information read back equal, the test script passed, the circle was written and the calibration
// succeeded.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/main_dlg.h"
#include "app/zqtalvane_app.h"
#include "camera/dlg_adjust_fish_eye.h"
#include "camera/dlg_ptz.h"
#include "tabs/dlg_device_info.h"
#include "tabs/dlg_key_tool.h"
#include "tabs/dlg_search.h"
#include "tabs/dlg_serial_num.h"
#include "tabs/dlg_talvane.h"
#include "tabs/dlg_telnet_tool.h"
#include "ui/controls.h"
#include "ui/message_box.h"
#include "ui/shell.h"

namespace {

bool Save(QWidget& window, const QString& path) {
    QApplication::processEvents();
    const bool ok = window.grab().save(path);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

QString FileName(int index, const QString& caption) {
    QString slug;
    for (QChar c : caption.toLower()) {
        slug += c.isLetterOrNumber() && c.unicode() < 128 ? c : QChar('-');
    }
    return QStringLiteral("%1-tab-%2.png").arg(index + 1, 2, 10, QChar('0')).arg(slug);
}

QString Setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return QString::fromLocal8Bit(value != nullptr ? value : fallback);
}

// One write in tab `index`: the password and the order typed, `scan` typed into field `field_id`
// (ending with Enter when `enter`), then a wait for the row. True when the row says success.
template <class Tab>
bool Provision(CZQTalvaneDlg& main, int index, int order_id, int field_id, const QString& scan,
               bool enter, int list_id, int result_column, const QString& picture) {
    main.TabBar()->setCurrentIndex(index);
    QTest::qWait(50);
    auto* tab = main.findChild<Tab*>();
    app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)
        ->setText(Setting("DEMO_PASSWORD", "123456"));
    app::FindControl<QLineEdit>(tab, order_id)->setText(Setting("DEMO_ORDER", "PO-DEMO-001"));
    auto* field = app::FindControl<QLineEdit>(tab, field_id);
    field->setFocus();
    QTest::keyClicks(field, scan);
    if (enter) {
        QTest::keyClick(field, Qt::Key_Return);
    }
    auto* list = app::FindControl<QTableWidget>(tab, list_id);
    const bool done = QTest::qWaitFor([&] { return !tab->Busy() && list->rowCount() > 0; }, 30000);
    const QString result = done ? list->item(list->rowCount() - 1, result_column)->text() : "";
    std::printf("%s: scanned %s, result \"%s\"\n", qPrintable(main.TabBar()->tabText(index)),
                qPrintable(scan), qPrintable(result));
    const bool saved = Save(main, picture);
    return done && saved && result == app::Text(48);
}

// Answers the "Prompt" boxes with OK, as the operator would, and keeps their message ids.
class BoxAnswerer {
  public:
    BoxAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<CMyMessageBox*>(w);
                if (box != nullptr && box->isVisible()) {
                    ids_.push_back(box->MessageId());
                    app::FindControl<QPushButton>(box, CMyMessageBox::kIdOk)->click();
                }
            }
        });
        timer_.start(50);
    }
    // The boxes answered since the last call.
    std::vector<int> Take() { return std::exchange(ids_, {}); }

  private:
    QTimer timer_;
    std::vector<int> ids_;
};

// The operator's device-information write in the device information tab, then its read-back.
bool WriteDeviceInfo(CZQTalvaneDlg& main, const QString& folder) {
    auto* tab = main.findChild<CDlgDeviceInfo*>();
    for (int i = 0; i < main.TabBar()->count(); ++i) {
        if (main.TabBar()->tabText(i) == app::Text(CDlgDeviceInfo::kCaptionId))
            main.TabBar()->setCurrentIndex(i);
    }
    const char* password = std::getenv("DEMO_PASSWORD");
    app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)
        ->setText(QString::fromLocal8Bit(password != nullptr ? password : "123456"));
    auto* sets = app::FindControl<QComboBox>(tab, CDlgDeviceInfo::kOptionSetId);
    const int xvr = std::max(sets->findText(QStringLiteral("XVR")), 0);
    sets->setCurrentIndex(xvr);
    emit sets->activated(xvr);  // as a choice with the mouse: fills the product model's items
    const std::pair<int, QString> typed[] = {
        {CDlgDeviceInfo::kMainBoardId, QStringLiteral("ZQ-DM-X")},
        {CDlgDeviceInfo::kKeyIdId, QStringLiteral("0xa0b0c009")},
        {CDlgDeviceInfo::kBoardIdId, QStringLiteral("BOARD-0009")},
        {CDlgDeviceInfo::kSerialId, QStringLiteral("SN-DEMO-0009")},
        {CDlgDeviceInfo::kAlarmOutputsId, QStringLiteral("4")},
        {CDlgDeviceInfo::kAlarmInputsId, QStringLiteral("4")},
        {CDlgDeviceInfo::kAudioId, QStringLiteral("1")},
        {CDlgDeviceInfo::kPoePowerId, QStringLiteral("0")},
    };
    for (const auto& [id, text] : typed) {
        app::FindControl<QLineEdit>(tab, id)->setText(text);
    }
    // What the read-back must show again: every text field and the product model.
    const int fields[] = {CDlgDeviceInfo::kMainBoardId,    CDlgDeviceInfo::kDeviceModelId,
                          CDlgDeviceInfo::kDeviceNameId,   CDlgDeviceInfo::kFunctionCodeId,
                          CDlgDeviceInfo::kCustomCodeId,   CDlgDeviceInfo::kKeyIdId,
                          CDlgDeviceInfo::kBoardIdId,      CDlgDeviceInfo::kSerialId,
                          CDlgDeviceInfo::kAlarmOutputsId, CDlgDeviceInfo::kAlarmInputsId,
                          CDlgDeviceInfo::kAudioId,        CDlgDeviceInfo::kPoePowerId};
    auto* product = app::FindControl<QComboBox>(tab, CDlgDeviceInfo::kProductModelId);
    QStringList written;
    for (int id : fields) {
        written << app::FindControl<QLineEdit>(tab, id)->text();
    }
    written << product->currentText();

    BoxAnswerer answerer;
    auto press = [tab](int id) {
        QTest::mouseClick(app::FindControl<QPushButton>(tab, id), Qt::LeftButton);
        return QTest::qWaitFor([tab] { return !tab->Busy(); }, 30000);
    };
    bool ok = press(CDlgDeviceInfo::kSetId);
    const std::vector<int> set_boxes = answerer.Take();
    // A Set empties the serial number field: everything else is emptied here, so that what the
    // Query shows is what the unit holds.
    for (int id : fields) {
        app::FindControl<QLineEdit>(tab, id)->clear();
    }
    product->setEditText({});
    ok = press(CDlgDeviceInfo::kQueryId) && ok;
    QTest::qWait(100);
    const std::vector<int> query_boxes = answerer.Take();
    QStringList read;
    for (int id : fields) {
        read << app::FindControl<QLineEdit>(tab, id)->text();
    }
    read << product->currentText();
    std::printf("Device information tab: Set gave box %d, Query box %d\n",
                set_boxes.empty() ? 0 : set_boxes.back(),
                query_boxes.empty() ? 0 : query_boxes.back());
    std::printf("  written:   %s\n  read back: %s\n", qPrintable(written.join(" | ")),
                qPrintable(read.join(" | ")));
    const bool saved = Save(main, folder + "/13-device-info-read-back.png");
    return ok && saved && set_boxes == std::vector<int>{48} &&
           query_boxes == std::vector<int>{46} && read == written;
}

// The last line of the program folder's test.log (the test script's latest verdict), or "".
std::string LastVerdict() {
    std::ifstream log(app::Settings().program_folder + "test.log");
    std::string line;
    std::string last;
    while (std::getline(log, line)) {
        last = line;
    }
    return last;
}

// Opens telnet on the chosen unit with the test script ticked; true when the script passed.
bool RunTestScript(CZQTalvaneDlg& main, const QString& picture) {
    auto* tab = main.findChild<CDlgTelnetTool*>();
    for (int i = 0; i < main.TabBar()->count(); ++i) {
        if (main.TabBar()->tabText(i) == app::Text(CDlgTelnetTool::kCaptionId)) {
            main.TabBar()->setCurrentIndex(i);
        }
    }
    QTest::qWait(50);
    app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)
        ->setText(Setting("DEMO_PASSWORD", "123456"));
    app::FindControl<QCheckBox>(tab, CDlgTelnetTool::kScriptId)->setChecked(true);
    const std::string before = LastVerdict();
    QTest::mouseClick(app::FindControl<QPushButton>(tab, CDlgTelnetTool::kOpenTelnetId),
                      Qt::LeftButton);
    const bool done = QTest::qWaitFor([&] { return !tab->Busy(); }, 60000);
    const std::string verdict = LastVerdict();
    std::printf("telnet test script: %s\n",
                verdict.empty() || verdict == before ? "no verdict" : verdict.c_str());
    const bool saved = Save(main, picture);
    return done && saved && verdict != before && verdict.rfind("PASS ", 0) == 0;
}

// Shows tab `caption_id` and types the demo password into it.
template <class Tab>
Tab* OpenTab(CZQTalvaneDlg& main, int caption_id) {
    for (int i = 0; i < main.TabBar()->count(); ++i) {
        if (main.TabBar()->tabText(i) == app::Text(caption_id)) {
            main.TabBar()->setCurrentIndex(i);
        }
    }
    QTest::qWait(50);
    auto* tab = main.findChild<Tab*>();
    app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)
        ->setText(Setting("DEMO_PASSWORD", "123456"));
    return tab;
}

// Back to the search view and a double click on the unit at `address`; false when not listed.
bool ChooseUnit(CZQTalvaneDlg& main, CTabPage& current, const QString& address) {
    QTest::mouseClick(app::FindControl<QPushButton>(&current, CTabPage::kBackId), Qt::LeftButton);
    QTest::qWait(100);
    auto* list = app::FindControl<QTableWidget>(main.SearchView(), CDlgSearch::kListId);
    for (int row = 0; row < list->rowCount(); ++row) {
        for (int column = 0; column < list->columnCount(); ++column) {
            const QTableWidgetItem* item = list->item(row, column);
            if (item == nullptr || item->text() != address) {
                continue;
            }
            const QRect cell = list->visualRect(list->model()->index(row, column));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::qWait(100);
            return true;
        }
    }
    std::printf("camera %s is not listed\n", qPrintable(address));
    return false;
}

// The fisheye centre tab on the demo camera: Login shows its live picture with the circle the
// camera keeps, fitted on the picture's image circle; Set writes it back (box 232).
bool FitFisheyeCircle(CZQTalvaneDlg& main, const QString& picture) {
    auto* tab = OpenTab<CDlgAdjustFishEye>(main, CDlgAdjustFishEye::kCaptionId);
    QTest::mouseClick(app::FindControl<QPushButton>(tab, CCameraTab::kLoginId), Qt::LeftButton);
    int x = 0;
    int y = 0;
    int r = 0;
    const bool shown = QTest::qWaitFor([tab] { return tab->HasPicture(); }, 20000) &&
                       QTest::qWaitFor(
                           [&] {
                               tab->Pane()->GetCircle(x, y, r);
                               return r > 0;
                           },
                           20000);
    QTest::qWait(1500);  // the 202's read has put the camera's circle on the pane
    tab->Pane()->GetCircle(x, y, r);
    BoxAnswerer answerer;
    QTest::mouseClick(app::FindControl<QPushButton>(tab, CDlgAdjustFishEye::kSetId),
                      Qt::LeftButton);
    QTest::qWait(200);
    const std::vector<int> boxes = answerer.Take();
    std::printf(
        "fisheye centre tab: circle (%d, %d) radius %d on the live picture, Set gave box %d\n", x,
        y, r, boxes.empty() ? 0 : boxes.back());
    const bool saved = Save(main, picture);
    return shown && saved && boxes == std::vector<int>{232};
}

// The lens calibration tab on the demo camera: Login, Set, and the camera's result box, taken
// from the screen while it is open (it is a window of its own).
bool CalibrateLens(CZQTalvaneDlg& main, const QString& picture) {
    auto* tab = OpenTab<CDlgPtz>(main, CDlgPtz::kCaptionId);
    auto* set = app::FindControl<QPushButton>(tab, CDlgPtz::kSetId);
    QTest::mouseClick(app::FindControl<QPushButton>(tab, CCameraTab::kLoginId), Qt::LeftButton);
    bool ok = QTest::qWaitFor([tab] { return tab->HasPicture(); }, 20000) &&
              QTest::qWaitFor([set] { return set->isEnabled(); }, 20000);
    QTest::mouseClick(set, Qt::LeftButton);
    std::printf("lens calibration tab: calibration started, Set %s\n",
                set->isEnabled() ? "enabled" : "disabled while it runs");
    // The box is modal: it is looked for, taken and answered from a timer that runs inside its
    // own event loop.
    int box_id = 0;
    int shown_ms = 0;
    bool saved = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<CMyMessageBox*>(w);
            if (box == nullptr || !box->isVisible() || box_id != 0) {
                continue;
            }
            if ((shown_ms += 50) < 300) {
                return;  // let it paint first
            }
            const QRect area = main.frameGeometry();
            saved = QGuiApplication::primaryScreen()
                        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                        .save(picture);
            std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(picture));
            box_id = box->MessageId();
            app::FindControl<QPushButton>(box, CMyMessageBox::kIdOk)->click();
        }
    });
    poll.start(50);
    ok = QTest::qWaitFor([&] { return box_id != 0; }, 30000) && ok;
    std::printf("lens calibration tab: result box %d\n", box_id);
    ok = box_id == 239 && ok;
    QTest::qWait(100);
    return ok && saved && set->isEnabled();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zq-station-screenshots FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    bool ok = true;
    int units = 0;

    CZQTalvaneApp app;
    app.on_step = [&](const char*, CZQTalvaneDlg* main) {
        if (main == nullptr) {
            return;
        }
        ok = QTest::qWaitForWindowExposed(main, 10000) && ok;
        CDlgSearch* view = main->SearchView();
        auto* search = app::FindControl<QPushButton>(view, CDlgSearch::kSearchId);
        auto* list = app::FindControl<QTableWidget>(view, CDlgSearch::kListId);
        QTest::mouseClick(search, Qt::LeftButton);
        ok = QTest::qWaitFor([search] { return search->isEnabled(); }, 20000) && ok;
        units = list->rowCount();
        std::printf("search listed %d units\n", units);
        ok = Save(*main, folder + "/00-search.png") && ok;
        if (units > 0) {
            const QRect cell = list->visualRect(list->model()->index(0, 1));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
            QTest::qWait(100);
            for (int i = 0; i < main->TabBar()->count(); ++i) {
                main->TabBar()->setCurrentIndex(i);
                QTest::qWait(50);
                ok = Save(*main, folder + "/" + FileName(i, main->TabBar()->tabText(i))) && ok;
            }
            app::FindControl<QCheckBox>(main->findChild<CDlgTalvane*>(), CDlgTalvane::kAutoId)
                ->setChecked(true);  // the 17th character of the scan presses Set
            ok = Provision<CDlgTalvane>(*main, 0, CDlgTalvane::kOrderId, CDlgTalvane::kMacId,
                                        Setting("DEMO_MAC", "02:1A:00:00:01:01"), false,
                                        CDlgTalvane::kListId, 5, folder + "/10-mac-written.png") &&
                 ok;
            ok = Provision<CDlgSerialNum>(
                     *main, 1, CDlgSerialNum::kOrderId, CDlgSerialNum::kSerialId,
                     Setting("DEMO_SERIAL", "SN-DEMO-0001"), true, CDlgSerialNum::kListId, 5,
                     folder + "/11-serial-written.png") &&
                 ok;
            ok = Provision<CDlgKeyTool>(
                     *main, 2, CDlgKeyTool::kOrderId, CDlgKeyTool::kKeyId,
                     Setting("DEMO_KEY", "https://p2p.demo/d?id=P2P-DEMO-00000000001"), true,
                     CDlgKeyTool::kListId, 5, folder + "/12-key-written.png") &&
                 ok;
            ok = WriteDeviceInfo(*main, folder) && ok;
            ok = RunTestScript(*main, folder + "/14-telnet-test-script.png") && ok;
            // The camera tabs on the demo's fisheye camera.
            if (ChooseUnit(*main, *main->findChild<CDlgTelnetTool*>(),
                           Setting("DEMO_CAMERA", "127.0.0.13"))) {
                ok = FitFisheyeCircle(*main, folder + "/15-fisheye-circle-fitted.png") && ok;
                ok = CalibrateLens(*main, folder + "/16-lens-calibration-done.png") && ok;
            } else {
                ok = false;
            }
        }
        main->close();
    };
    const char* args[] = {argv[0], "--no-splash"};
    app.Run(2, args);
    return ok && units > 0 ? 0 : 1;
}
