// The language-table identifiers the windows use, found in their sources, and the shipped tables
// checked against them: a window that starts using a new text needs no list kept by hand.
//
// An identifier is found where the windows' code (src/ui, src/app, src/tabs, src/camera, tests
// and fuzz targets aside) writes it as a number in one of these forms:
// - a lookup, Text(27), also as the branches of a choice, Text(ok ? 46 : 47);
// - a message box of a tab, Box(62, ...) or SystemBox(37), also with a choice;
// - a constant whose name ends in CaptionId, TextId or Text: kCaptionId = 155,
//   kLensFileTooLargeText = 316.
// Identifiers that reach the table only through a variable (rows of a table of items, results
// handed back by an operation) are not seen here; used_text_ids.h names those.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "i18n/language_table.h"
#include "i18n/used_text_ids.h"

namespace {

namespace fs = std::filesystem;

// The source without its comments (line and block) and string literals, so that a number in
// either counts not.
std::string WithoutComments(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
            if (i == std::string::npos)
                break;
            out += '\n';
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i + 2);
            if (i == std::string::npos)
                break;
            ++i;
            out += ' ';
        } else if (text[i] == '"' || text[i] == '\'') {
            const char quote = text[i];
            for (++i; i < text.size() && text[i] != quote; ++i) {
                if (text[i] == '\\')
                    ++i;
            }
            out += "\"\"";
        } else {
            out += text[i];
        }
    }
    return out;
}

// Identifiers in `text` by form ("lookup", "box", "constant"), each with where it was found.
void FindTextIds(const std::string& text, const std::string& where,
                 std::map<int, std::set<std::string>>& ids, std::set<std::string>& forms) {
    // The first argument: a number, or a choice between two numbers.
    const std::string number_or_choice = R"(\(\s*(?:[^,();?]*\?\s*(\d+)\s*:\s*)?(\d+)\s*[,)])";
    const std::pair<const char*, std::regex> patterns[] = {
        {"lookup", std::regex(R"(\bText)" + number_or_choice)},
        {"box", std::regex(R"(\b(?:System)?Box)" + number_or_choice)},
        {"constant", std::regex(R"(\bk\w*(?:CaptionId|TextId|Text)\s*=\s*(\d+)\b)")},
    };
    for (const auto& [form, pattern] : patterns) {
        for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
             it != std::sregex_iterator(); ++it) {
            for (size_t group = 1; group < it->size(); ++group) {
                if ((*it)[group].matched) {
                    ids[std::stoi((*it)[group].str())].insert(where);
                    forms.insert(form);
                }
            }
        }
    }
}

std::map<int, std::set<std::string>> WindowTextIds(std::set<std::string>& forms) {
    std::map<int, std::set<std::string>> ids;
    for (const char* folder : {"ui", "app", "tabs", "camera"}) {
        const fs::path root = fs::path(ZQ_SOURCE_DIR) / "src" / folder;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string name = entry.path().filename().string();
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp") ||
                name.find("_test.") != std::string::npos ||
                name.find("_fuzz.") != std::string::npos) {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            FindTextIds(WithoutComments(text.str()), std::string(folder) + "/" + name, ids, forms);
        }
    }
    return ids;
}

TEST(WindowTextIds, TheScanFindsEachForm) {
    std::map<int, std::set<std::string>> ids;
    std::set<std::string> forms;
    FindTextIds(
        "a = app::Text(27); b = Text(ok ? 46 : 47);\n"
        "Box(read ? 46 : 47, kErrorBox); prompter_.SystemBox(37);\n"
        "static constexpr int kCaptionId = 155; inline constexpr int kTooLargeText = 316;\n"
        "Text(id); Box(n, k); kTextControlId = 1049; kSelectMessage = 1124; "
        "Text(mac, sizeof mac); Text(\"12\");",
        "sample", ids, forms);
    std::set<int> found;
    for (const auto& [id, where] : ids)
        found.insert(id);
    EXPECT_EQ(found, (std::set<int>{27, 37, 46, 47, 155, 316}));
    EXPECT_EQ(forms, (std::set<std::string>{"lookup", "box", "constant"}));

    ids.clear();
    forms.clear();
    FindTextIds(WithoutComments("a = Text(27); // Text(3)\n/* Box(4, k) */ b = Box(5, k);\n"
                                "c = \"Text(6) \\\" Text(7)\"; d = '\\''; e = Text(8);"),
                "s", ids, forms);
    found.clear();
    for (const auto& [id, where] : ids)
        found.insert(id);
    EXPECT_EQ(found, (std::set<int>{5, 8, 27}));
}

// Every identifier the windows use, found in their code or named in used_text_ids.h, has a
// non-empty text in each shipped table.
TEST(WindowTextIds, EveryShippedTableHoldsTheTextsTheWindowsUse) {
    std::set<std::string> forms;
    std::map<int, std::set<std::string>> ids = WindowTextIds(forms);
    EXPECT_EQ(forms, (std::set<std::string>{"lookup", "box", "constant"}));
    EXPECT_GT(ids.size(), 40u);  // the windows' sources were found
    for (int id : i18n::kUsedTextIds)
        ids[id].insert("used_text_ids.h");
    for (const char* file : {"EN.xml", "CHS.xml", "CHT.xml"}) {
        SCOPED_TRACE(file);
        CLanguageTable table;
        ASSERT_TRUE(table.Load(std::string(ZQ_SOURCE_DIR "/data/Language/") + file));
        for (const auto& [id, where] : ids) {
            const std::string text = table.Text(id);
            EXPECT_TRUE(!text.empty() && text != " ")
                << "text " << id << " (used in " << *where.begin() << ") is missing";
        }
    }
}

}  // namespace
