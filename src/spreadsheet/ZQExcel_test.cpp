#include "spreadsheet/ZQExcel.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/cfb/compound_document.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

// Runs `body` in a child process whose files may not grow beyond `limit` bytes (writes past it
// fail with EFBIG, as on a full disk); returns the child's exit status.
template <class Body>
int WithFileSizeLimit(rlim_t limit, Body body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0)
            ::_exit(3);
        body();
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ZQExcelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ZQExcel::SetCodePages("UTF-8", "UTF-8"));
        dir_ = fs::temp_directory_path() /
               ("zqexcel_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ZQExcel::SetCodePages("UTF-8", "UTF-8");
        fs::remove_all(dir_);
    }
    std::string Path(const char* name) const { return (dir_ / name).string(); }
    static std::string Bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
};

TEST_F(ZQExcelTest, EmptyWorkbookIsWrittenAtDestruction) {
    const std::string path = Path("empty.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        EXPECT_FALSE(fs::exists(path)) << "nothing is written before destruction";
        EXPECT_EQ(x.GetRows(), 0);
        EXPECT_EQ(x.GetCols(), 0);
    }
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(Bytes(path).substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    ZQExcel y;
    EXPECT_EQ(y.LoadExcel(path.c_str()), 1);
    EXPECT_EQ(y.GetRows(), 0);
}

TEST_F(ZQExcelTest, CreateDeletesAnExistingFileAtOnce) {
    const std::string path = Path("old.xls");
    std::ofstream(path) << "old";
    auto* x = new ZQExcel;
    ASSERT_EQ(x->CreateExcel(path.c_str()), 1);
    EXPECT_FALSE(fs::exists(path));
    delete x;
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(ZQExcelTest, EveryCellTypeRoundTripsThroughAFile) {
    const std::string path = Path("types.xls");
    const std::u16string wide = u"wide \u00e9\u4e2d";
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        x.Set(0, 0, int32_t{42});
        x.Set(0, 1, int32_t{-536870912});
        x.Set(0, 2, int32_t{2147483647});
        x.Set(1, 0, 2.5);
        x.Set(1, 1, 3.14159);
        x.Set(1, 2, -0.07);
        x.Set(2, 0, "narrow");
        x.Set(2, 1, "caf\xc3\xa9");
        x.Set(2, 2, wide.c_str());
        x.Set(65535, 255, int32_t{7});
    }
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(path.c_str()), 1);
    EXPECT_EQ(y.GetRows(), 65536);
    EXPECT_EQ(y.GetCols(), 256);
    int32_t i = 0;
    double d = 0;
    char text[64];
    char16_t wtext[64];
    EXPECT_TRUE(y.Get(0, 0, i));
    EXPECT_EQ(i, 42);
    EXPECT_TRUE(y.Get(0, 1, i));
    EXPECT_EQ(i, -536870912);
    EXPECT_TRUE(y.Get(0, 2, i));  // stored as a Number: a double cell now, same value
    EXPECT_EQ(i, 2147483647);
    EXPECT_TRUE(y.Get(1, 0, d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(y.Get(1, 1, d));
    EXPECT_EQ(d, 3.14159);
    EXPECT_TRUE(y.Get(1, 2, d));
    EXPECT_EQ(d, -0.07);
    ASSERT_TRUE(y.Get(2, 0, text));
    EXPECT_STREQ(text, "narrow");
    ASSERT_TRUE(y.Get(2, 1, text));
    EXPECT_STREQ(text, "caf\xc3\xa9");
    ASSERT_TRUE(y.Get(2, 2, wtext));
    EXPECT_EQ(std::u16string(wtext), wide);
    EXPECT_TRUE(y.Get(65535, 255, i));
    EXPECT_EQ(i, 7);
}

TEST_F(ZQExcelTest, GetConversionsAndMismatches) {
    ZQExcel x;
    ASSERT_EQ(x.CreateExcel(Path("g.xls").c_str()), 1);
    x.Set(0, 0, int32_t{123456789});
    x.Set(0, 1, 2.9);
    x.Set(1, 0, -2.9);
    x.Set(1, 1, 1e10);
    x.Set(2, 0, "t");
    x.Set(2, 1, u"w");
    struct IntCase {
        int row, col;
        bool ok;
        int32_t value;
    } ints[] = {{0, 0, true, 123456789}, {0, 1, true, 2},      {1, 0, true, -2},
                {1, 1, false, -1},       {2, 0, false, -1},    {2, 1, false, -1},
                {5, 5, false, -1},       {65536, 0, false, -1}};
    for (const IntCase& c : ints) {
        int32_t v = -1;
        EXPECT_EQ(x.Get(c.row, c.col, v), c.ok) << c.row << "," << c.col;
        EXPECT_EQ(v, c.value) << c.row << "," << c.col;
    }
    double d = -1;
    EXPECT_TRUE(x.Get(0, 0, d));
    EXPECT_EQ(d, 123456789.0);
    d = -1;
    EXPECT_FALSE(x.Get(2, 0, d));
    EXPECT_EQ(d, -1);
    char text[8] = "keep";
    char16_t wtext[8] = u"keep";
    EXPECT_FALSE(x.Get(0, 0, text));
    EXPECT_FALSE(x.Get(2, 1, text));  // a wide cell is not a narrow text
    EXPECT_STREQ(text, "keep");
    EXPECT_FALSE(x.Get(2, 0, wtext));
    EXPECT_EQ(std::u16string(wtext), u"keep");
    // Bounded variants.
    EXPECT_FALSE(x.Get(2, 0, text, 1));
    EXPECT_STREQ(text, "keep");
    EXPECT_TRUE(x.Get(2, 0, text, 2));
    EXPECT_STREQ(text, "t");
    EXPECT_FALSE(x.Get(2, 1, wtext, 0));
    EXPECT_TRUE(x.Get(2, 1, wtext, 2));
    EXPECT_EQ(std::u16string(wtext), u"w");
}

TEST_F(ZQExcelTest, GetBeyondTheSheetGrowsIt) {
    ZQExcel x;
    ASSERT_EQ(x.CreateExcel(Path("grow.xls").c_str()), 1);
    x.Set(1, 1, int32_t{1});
    ASSERT_EQ(x.GetRows(), 2);
    int32_t i = 5;
    double d = 5;
    char text[4] = "abc";
    char16_t wtext[4] = u"abc";
    EXPECT_FALSE(x.Get(10, 3, i));
    EXPECT_FALSE(x.Get(10, 3, d));
    EXPECT_TRUE(x.Get(10, 3, text));
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(x.Get(10, 3, wtext));
    EXPECT_EQ(wtext[0], 0);
    EXPECT_EQ(x.GetRows(), 11);
    EXPECT_EQ(x.GetCols(), 4);
    x.Set(0, 256, int32_t{1});
    x.Set(65536, 0, int32_t{1});
    EXPECT_EQ(x.GetRows(), 11);
    EXPECT_EQ(x.GetCols(), 4);
}

TEST_F(ZQExcelTest, EmptyNarrowTextEmptiesTheCell) {
    ZQExcel x;
    ASSERT_EQ(x.CreateExcel(Path("e.xls").c_str()), 1);
    x.Set(0, 0, int32_t{3});
    x.Set(0, 0, "");
    int32_t i = 0;
    EXPECT_FALSE(x.Get(0, 0, i));
    char text[4] = "x";
    EXPECT_TRUE(x.Get(0, 0, text));
    EXPECT_STREQ(text, "");
}

TEST_F(ZQExcelTest, WideTextPassesThroughTheAnsiCodePage) {
    ASSERT_TRUE(ZQExcel::SetCodePages("WINDOWS-1252", "WINDOWS-1252"));
    ZQExcel x;
    ASSERT_EQ(x.CreateExcel(Path("cp.xls").c_str()), 1);
    x.Set(0, 0, u"\u00e9\u20ac\u4e2d");
    char16_t wtext[8];
    ASSERT_TRUE(x.Get(0, 0, wtext));
    EXPECT_EQ(std::u16string(wtext), u"\u00e9\u20ac?");
    EXPECT_FALSE(ZQExcel::SetCodePages("NOT-A-CODE-PAGE", nullptr));
}

TEST_F(ZQExcelTest, ConversionHelpers) {
    int length = -1;
    std::unique_ptr<char[]> empty(ZQExcel::WideToASNChar(u"", length));
    EXPECT_EQ(length, 1);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(empty[1], 0);
    std::unique_ptr<char[]> n(ZQExcel::WideToASNChar(u"caf\u00e9", length));
    EXPECT_EQ(length, 6);
    EXPECT_STREQ(n.get(), "caf\xc3\xa9");
    std::unique_ptr<char16_t[]> w(ZQExcel::ASNToWideChar("caf\xc3\xa9", length));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::u16string(w.get()), u"caf\u00e9");

    ASSERT_TRUE(ZQExcel::SetCodePages("GBK", "GBK"));
    std::unique_ptr<char[]> g(ZQExcel::WideToASNChar(u"\u4e2d\u6587", length));
    EXPECT_EQ(length, 5);
    EXPECT_STREQ(g.get(), "\xd6\xd0\xce\xc4");
    std::unique_ptr<char16_t[]> gw(ZQExcel::ASNToWideChar("\xd6\xd0\xce\xc4", length));
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::u16string(gw.get()), u"\u4e2d\u6587");
    std::unique_ptr<char[]> none(ZQExcel::WideToASNChar(nullptr, length));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(none[0], 0);
}

TEST_F(ZQExcelTest, LoadedWorkbookIsSavedBackIntoItsFile) {
    const std::string path = Path("back.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        x.Set(0, 0, int32_t{1});
    }
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(path.c_str()), 1);
        x.Set(3, 2, "added");
    }
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(path.c_str()), 1);
    char text[16];
    ASSERT_TRUE(y.Get(3, 2, text));
    EXPECT_STREQ(text, "added");
    int32_t i;
    EXPECT_TRUE(y.Get(0, 0, i));
}

// The save at destruction writes a new file beside the loaded one and renames it over it: when
// the disk is full the loaded file stays as it was, and no half-written file is left behind.
TEST_F(ZQExcelTest, FailedSaveBackLeavesTheLoadedFileWhole) {
    const std::string path = Path("full.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        for (int r = 0; r < 100; ++r)
            x.Set(r, 0, ("kept " + std::to_string(r)).c_str());
    }
    const std::string before = Bytes(path);
    // Room for the file as it is, not for 30 000 more cells.
    int status = WithFileSizeLimit(before.size() + 16 * 1024, [&] {
        ZQExcel x;
        if (x.LoadExcel(path.c_str()) != 1)
            ::_exit(4);
        for (int r = 0; r < 3000; ++r)
            for (int c = 1; c < 11; ++c)
                x.Set(r, c, ("new " + std::to_string(r * 16 + c)).c_str());
    });
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(Bytes(path) == before) << "the loaded file changed";
    EXPECT_EQ(test_files::Entries(dir_.string()), std::set<std::string>{"full.xls"});
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(path.c_str()), 1);
    char text[32];
    ASSERT_TRUE(y.Get(99, 0, text));
    EXPECT_STREQ(text, "kept 99");
    EXPECT_EQ(y.GetCols(), 1);

    // The same for a new workbook: the file is not made at all.
    const std::string created = Path("created.xls");
    status = WithFileSizeLimit(16 * 1024, [&] {
        ZQExcel x;
        if (x.CreateExcel(created.c_str()) != 1)
            ::_exit(4);
        for (int r = 0; r < 3000; ++r)
            x.Set(r, 0, ("new " + std::to_string(r)).c_str());
    });
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(created));
    EXPECT_EQ(test_files::Entries(dir_.string()), std::set<std::string>{"full.xls"});
}

// Saving back keeps what the loaded file was besides the workbook: its other streams and
// storages, its permissions, and a symbolic link pointing at it. A file this process may not
// write stays untouched.
TEST_F(ZQExcelTest, SaveBackKeepsOtherStreamsPermissionsAndLinks) {
    const std::string path = Path("book.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        x.Set(0, 0, int32_t{1});
    }
    const std::string info(300, 'i'), big(5000, 'b');
    {
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(path));
        ASSERT_EQ(doc.MakeStream(u"\x05SummaryInformation"), cfb::kSuccess);
        ASSERT_EQ(doc.WriteStream(u"\x05SummaryInformation", info.data(), info.size()),
                  cfb::kSuccess);
        ASSERT_EQ(doc.MakeStream(u"_VBA_PROJECT_CUR\\VBA\\dir"), cfb::kSuccess);
        ASSERT_EQ(doc.WriteStream(u"_VBA_PROJECT_CUR\\VBA\\dir", big.data(), big.size()),
                  cfb::kSuccess);
    }
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    const std::string link = Path("link.xls");
    fs::create_symlink("book.xls", link);
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(link.c_str()), 1);
        x.Set(1, 0, "added");
    }
    EXPECT_TRUE(fs::is_symlink(link));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    {
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(path));
        std::vector<uint8_t> data;
        ASSERT_EQ(doc.ReadStream(u"\x05SummaryInformation", data), cfb::kSuccess);
        EXPECT_EQ(std::string(data.begin(), data.end()), info);
        ASSERT_EQ(doc.ReadStream(u"_VBA_PROJECT_CUR\\VBA\\dir", data), cfb::kSuccess);
        EXPECT_EQ(std::string(data.begin(), data.end()), big);
        std::vector<cfb::EntryInfo> root;
        ASSERT_EQ(doc.ListStorage(u"\\", root), cfb::kSuccess);
        EXPECT_EQ(root.size(), 3u);
    }
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(path.c_str()), 1);
    char text[16];
    ASSERT_TRUE(y.Get(1, 0, text));
    EXPECT_STREQ(text, "added");

    if (test_files::PermissionsApply()) {
        ASSERT_EQ(::chmod(path.c_str(), 0440), 0);
        const std::string kept = Bytes(path);
        {
            ZQExcel x;
            ASSERT_EQ(x.LoadExcel(path.c_str()), 1);
            x.Set(2, 0, "not saved");
        }
        EXPECT_EQ(Bytes(path), kept);
    }
}

TEST_F(ZQExcelTest, WidePaths) {
    const std::string path = Path("\xe8\xa1\xa8.xls");
    std::u16string wpath;
    for (char c : Path(""))
        wpath.push_back(static_cast<unsigned char>(c));
    wpath += u"\u8868.xls";
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(wpath.c_str()), 1);
        x.Set(0, 0, 1.5);
    }
    ASSERT_TRUE(fs::exists(path));
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(wpath.c_str()), 1);
    double d;
    EXPECT_TRUE(y.Get(0, 0, d));
    EXPECT_EQ(d, 1.5);
    // A path the object could not keep whole is refused; after a failed create there is no
    // workbook, and nothing is saved.
    std::u16string too_long(300, u'a');
    ZQExcel z;
    ASSERT_EQ(z.CreateExcel(Path("kept.xls").c_str()), 1);
    EXPECT_EQ(z.CreateExcel(too_long.c_str()), 0);
    EXPECT_EQ(z.GetRows(), 0);
    z.Set(0, 0, int32_t{1});
    EXPECT_EQ(z.GetRows(), 0);
    EXPECT_EQ(z.CreateExcel(std::string(600, 'a').c_str()), 0);
}

TEST_F(ZQExcelTest, BadFilesDoNotLoadAndStayUntouched) {
    const std::string good = Path("good.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(good.c_str()), 1);
        x.Set(0, 0, int32_t{9});
    }
    const std::string bytes = Bytes(good);
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"text.xls", "just some text, not a workbook"},
        {"cut.xls", bytes.substr(0, bytes.size() / 2)},
        {"header.xls", bytes.substr(0, 512)},
        {"zero.xls", std::string(4096, '\0')},
    };
    for (const Case& c : cases) {
        const std::string path = Path(c.name);
        std::ofstream(path, std::ios::binary) << c.content;
        {
            ZQExcel x;
            EXPECT_EQ(x.LoadExcel(path.c_str()), 0) << c.name;
            EXPECT_EQ(x.GetRows(), 0);
        }
        EXPECT_EQ(Bytes(path), c.content) << c.name;
    }
    ZQExcel x;
    EXPECT_EQ(x.LoadExcel(Path("missing.xls").c_str()), 0);
    // A failed load keeps what the object had.
    ASSERT_EQ(x.LoadExcel(good.c_str()), 1);
    EXPECT_EQ(x.LoadExcel(Path("text.xls").c_str()), 0);
    int32_t i = 0;
    EXPECT_TRUE(x.Get(0, 0, i));
    EXPECT_EQ(i, 9);
}

TEST_F(ZQExcelTest, CopiesShareOneWorkbookSavedOnce) {
    const std::string path = Path("copy.xls");
    {
        ZQExcel a;
        ASSERT_EQ(a.CreateExcel(path.c_str()), 1);
        ZQExcel b;
        b = a;
        ZQExcel c(a);
        b.Set(0, 0, int32_t{5});
        int32_t i = 0;
        EXPECT_TRUE(a.Get(0, 0, i));
        EXPECT_EQ(i, 5);
        ZQExcel& same = a;
        a = same;  // self-assignment changes nothing
        {
            ZQExcel d;
            d = b;
        }  // not the last: nothing saved, nothing freed
        EXPECT_FALSE(fs::exists(path));
        // A create on one copy gives it a workbook of its own.
        ASSERT_EQ(c.CreateExcel(Path("other.xls").c_str()), 1);
        EXPECT_FALSE(c.Get(0, 0, i));
        EXPECT_TRUE(b.Get(0, 0, i));
    }
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(path.c_str()), 1);
    int32_t i = 0;
    EXPECT_TRUE(y.Get(0, 0, i));
    EXPECT_EQ(i, 5);
    EXPECT_TRUE(fs::exists(Path("other.xls")));
}

TEST_F(ZQExcelTest, LastCreatePathWinsAfterALoad) {
    const std::string loaded = Path("loaded.xls"), created = Path("created.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(loaded.c_str()), 1);
        x.Set(0, 0, int32_t{1});
    }
    const std::string before = Bytes(loaded);
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(created.c_str()), 1);
        ASSERT_EQ(x.LoadExcel(loaded.c_str()), 1);
        x.Set(0, 1, int32_t{2});
    }
    EXPECT_EQ(Bytes(loaded), before);
    ZQExcel y;
    ASSERT_EQ(y.LoadExcel(created.c_str()), 1);
    int32_t i = 0;
    EXPECT_TRUE(y.Get(0, 1, i));
    EXPECT_EQ(i, 2);
}

TEST_F(ZQExcelTest, FailedCreateSavesNothing) {
    {
        ZQExcel z;
        ASSERT_EQ(z.CreateExcel(Path("kept.xls").c_str()), 1);
        EXPECT_EQ(z.CreateExcel(std::string(600, 'a').c_str()), 0);
    }
    EXPECT_FALSE(fs::exists(Path("kept.xls")));
}

TEST_F(ZQExcelTest, SaveIntoAMissingFolderLeavesNothing) {
    const std::string path = Path("no/such/folder.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(path.c_str()), 1);
        x.Set(0, 0, int32_t{1});
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZQExcelTest, NoWorkbookNoCells) {
    ZQExcel x;
    int32_t i = 0;
    char text[4] = "k";
    EXPECT_FALSE(x.Get(0, 0, i));
    EXPECT_FALSE(x.Get(0, 0, text));
    x.Set(0, 0, int32_t{1});
    EXPECT_EQ(x.GetRows(), 0);
}

// The shared library exports the class ZQExcel and nothing else.
TEST(ZQExcelLibrary, ExportsOnlyTheClass) {
    const std::string lib = std::string(ZQ_BINARY_DIR) + "/lib/libZQExcel.so";
    ASSERT_TRUE(fs::exists(lib));
    std::string cmd = "nm -D -C --defined-only " + lib;
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[1024];
    int symbols = 0;
    std::string others;
    while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        if (s.find(" A ") != std::string::npos)
            continue;  // version node names
        ++symbols;
        if (s.find("ZQExcel") == std::string::npos)
            others += s;
    }
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_GT(symbols, 10);
    EXPECT_EQ(others, "");
}

}  // namespace
