// The texts the windows look up, found by building them: the main window with the search view
// and every tab, under each shipped language table. Whatever way a window comes to an
// identifier (a constant, a table of items, a computed entry), each one it looks up while it is
// built and shown must have a text in every table.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTabBar>
#include <QTest>
#include <map>
#include <set>
#include <string>

#include "app/main_dlg.h"
#include "i18n/language_table.h"
#include "ui/shell.h"

namespace {

TEST(WindowTexts, EveryTextTheWindowsLookUpIsInEachShippedTable) {
    for (const char* file : {"EN.xml", "CHS.xml", "CHT.xml"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(i18n::LoadLanguage(ZQ_SOURCE_DIR "/data/", file));
        std::set<int> looked_up;
        auto& shell = app::Shell();
        shell = app::ShellState{};
        shell.settings.language_file = file;
        shell.text = [&looked_up](int id) {
            looked_up.insert(id);
            return i18n::Text(id);
        };
        {
            CZQTalvaneDlg main;
            main.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
            // Every tab shown once, as the operator would see it after picking a unit.
            auto* tabs = main.findChild<QTabBar*>();
            ASSERT_NE(tabs, nullptr);
            ASSERT_EQ(tabs->count(), 9);
            for (int i = 0; i < tabs->count(); ++i) {
                tabs->setCurrentIndex(i);
                QApplication::processEvents();
            }
        }
        QApplication::processEvents();
        shell = app::ShellState{};
        EXPECT_GT(looked_up.size(), 100u);  // the windows did build
        for (int id : looked_up) {
            const std::string text = i18n::Text(id);
            EXPECT_TRUE(!text.empty() && text != " ") << "text " << id << " is missing";
        }
    }
}

}  // namespace
