#include "i18n/language_table.h"

#include <gtest/gtest.h>

#include <string>

#include "i18n/used_text_ids.h"
#include "support/test_files.h"

namespace {

TEST(LanguageTable, LooksUpByPositionWithASpaceForInvalidIds) {
    test_files::TempFolder root;
    std::string doc = "<?xml version=\"1.0\"?><texts>";
    for (int i = 0; i < 300; ++i) {
        if (i == 5)
            doc += "<comment>not a text</comment>";
        doc += i == 7 ? "<string/>" : "<string>text " + std::to_string(i) + " &amp; more</string>";
    }
    doc += "</texts>";
    test_files::WriteFile(root / "Language/T.xml", doc);
    ASSERT_TRUE(i18n::LoadLanguage(root.path() + "/", "T.xml"));
    EXPECT_EQ(i18n::Table().Size(), 300u);
    EXPECT_EQ(i18n::Text(0), "text 0 & more");
    EXPECT_EQ(i18n::Text(6), "text 6 & more");  // the other child takes no position
    EXPECT_EQ(i18n::Text(7), "");               // an empty element keeps its position
    EXPECT_EQ(i18n::Text(299), "text 299 & more");
    for (int id : {300, 301, -1, -300, 1 << 30})
        EXPECT_EQ(i18n::Text(id), " ") << id;
}

TEST(LanguageTable, MissingOrDamagedTableGivesSpaces) {
    test_files::TempFolder root;
    test_files::WriteFile(root / "Language/Bad.xml", "<texts><string>a</string>");
    test_files::WriteFile(root / "Language/Two.xml", "<a><string>a</string></a><b/>");
    struct Case {
        const char* folder;
        const char* file;
    };
    const Case cases[] = {
        {"", "Missing.xml"}, {"", ""}, {"", "Bad.xml"}, {"", "Two.xml"}, {"/nowhere", "EN.xml"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        CLanguageTable table;
        EXPECT_FALSE(table.Load(root.path() + c.folder + "/Language/" + c.file));
        EXPECT_EQ(table.Size(), 0u);
        EXPECT_EQ(table.Text(0), " ");
    }
}

TEST(LanguageTable, ShippedTablesAgreeAndHoldEveryTextTheWindowsUse) {
    const char* files[] = {"EN.xml", "CHS.xml", "CHT.xml"};
    size_t size = 0;
    for (const char* file : files) {
        SCOPED_TRACE(file);
        CLanguageTable table;
        ASSERT_TRUE(table.Load(std::string(ZQ_SOURCE_DIR "/data/Language/") + file));
        if (size == 0)
            size = table.Size();
        EXPECT_EQ(table.Size(), size);
        for (int id : i18n::kUsedTextIds) {
            EXPECT_NE(table.Text(id), " ") << "id " << id;
            EXPECT_FALSE(table.Text(id).empty()) << "id " << id;
        }
    }
    EXPECT_GT(size, 315u);
}

}  // namespace
