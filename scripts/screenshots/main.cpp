// zq-station-screenshots: runs the station as the demo's operator would and saves pictures.
//
//   zq-station-screenshots FOLDER
//
// Starts the station (the same application object as ZQTalvane, without the splash), presses
// Search, waits for the list, saves the search view, double-clicks the first unit and saves each
// of the nine tabs. Then, in the MAC address tab, it types the device password and the order
// number, ticks Auto and scans the MAC address DEMO_MAC (default 02:1A:00:00:01:01), waits for
// the write's row and saves FOLDER/10-mac-written.png, then closes the window. Pictures:
// FOLDER/00-search.png, FOLDER/01-tab-... . Exit status 0 when every picture was written, the
// search listed at least one unit and the scanned address was written.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTableWidget>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "app/controls.h"
#include "app/main_dlg.h"
#include "app/zqtalvane_app.h"
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
        }
        main->close();
    };
    const char* args[] = {argv[0], "--no-splash"};
    app.Run(2, args);
    return ok && units > 0 ? 0 : 1;
}
