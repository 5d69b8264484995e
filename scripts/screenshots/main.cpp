// zq-station-screenshots: runs the station as the demo's operator would and saves pictures.
//
//   zq-station-screenshots FOLDER
//
// Starts the station (the same application object as ZQTalvane, without the splash), presses
// Search, waits for the list, saves the search view, double-clicks the first unit and saves each
// of the nine tabs. Then, in the MAC address tab, it types the device password and the order
// number, ticks Auto and scans the MAC address DEMO_MAC (default 02:1A:00:00:01:01), waits for
// the write's row and saves FOLDER/10-mac-written.png. In the device information tab it picks
// the option set "XVR", types the other items, presses Set (every item is checked, as the shipped
// Systemcfg.bk leaves them), empties the fields, presses Query and checks that the unit gave
// back what was written; it saves FOLDER/11-device-info-read-back.png and closes the window.
// Pictures: FOLDER/00-search.png, FOLDER/01-tab-... . Exit status 0 when every picture was
// written, the search listed at least one unit, the scanned address was written and the device
// information read back equal.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app/controls.h"
#include "app/main_dlg.h"
#include "app/message_box.h"
#include "app/shell.h"
#include "app/zqtalvane_app.h"
#include "tabs/dlg_device_info.h"
#include "tabs/dlg_search.h"
#include "tabs/dlg_talvane.h"

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

// The operator's MAC write in the first tab, as with a barcode scanner.
bool WriteMac(CZQTalvaneDlg& main, const QString& folder) {
    auto* tab = main.findChild<CDlgTalvane*>();
    const char* env = std::getenv("DEMO_MAC");
    const QString mac = QString::fromLatin1(env != nullptr ? env : "02:1A:00:00:01:01");
    const char* password = std::getenv("DEMO_PASSWORD");
    const char* order = std::getenv("DEMO_ORDER");
    app::FindControl<QLineEdit>(tab, CTabPage::kPasswordId)
        ->setText(QString::fromLocal8Bit(password != nullptr ? password : "123456"));
    app::FindControl<QLineEdit>(tab, CDlgTalvane::kOrderId)
        ->setText(QString::fromLocal8Bit(order != nullptr ? order : "PO-DEMO-001"));
    app::FindControl<QCheckBox>(tab, CDlgTalvane::kAutoId)->setChecked(true);
    auto* field = app::FindControl<QLineEdit>(tab, CDlgTalvane::kMacId);
    field->setFocus();
    QTest::keyClicks(field, mac);  // the 17th character presses Set
    auto* list = app::FindControl<QTableWidget>(tab, CDlgTalvane::kListId);
    const bool done = QTest::qWaitFor([&] { return !tab->Busy() && list->rowCount() > 0; }, 30000);
    const QString result = done ? list->item(list->rowCount() - 1, 5)->text() : QString();
    std::printf("MAC tab: scanned %s, result \"%s\"\n", qPrintable(mac), qPrintable(result));
    const bool saved = Save(main, folder + "/10-mac-written.png");
    return done && saved &&
           list->item(list->rowCount() - 1, 4)->text() == QString(mac).replace(':', '-').toUpper();
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
    const bool saved = Save(main, folder + "/11-device-info-read-back.png");
    return ok && saved && set_boxes == std::vector<int>{48} &&
           query_boxes == std::vector<int>{46} && read == written;
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
            main->TabBar()->setCurrentIndex(0);
            ok = WriteMac(*main, folder) && ok;
            ok = WriteDeviceInfo(*main, folder) && ok;
        }
        main->close();
    };
    const char* args[] = {argv[0], "--no-splash"};
    app.Run(2, args);
    return ok && units > 0 ? 0 : 1;
}
