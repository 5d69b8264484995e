// ZQExcel files read by xlrd, xlwt files loaded by ZQExcel, and LibreOffice round trips.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "spreadsheet/ZQExcel.h"

namespace fs = std::filesystem;

namespace {

const char* kPython = "/usr/bin/python3";
const char* kSoffice = "/usr/bin/soffice";

struct Result {
    int status;
    std::string output;
};

Result Shell(const std::string& command) {
    Result r{-1, ""};
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    r.status = ::pclose(p);
    return r;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}
std::string Script(const char* name) {
    return Quote(std::string(ZQ_SOURCE_DIR) + "/tests/interop/" + name);
}

std::string Hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size())
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The cells a test writes and what xlrd must find there.
class Expectation {
  public:
    void Number(int r, int c, double v) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", v);
        lines_ << r << " " << c << " number " << buf << "\n";
    }
    void Text(int r, int c, const std::string& utf8) {
        lines_ << r << " " << c << " text " << Hex(utf8) << "\n";
    }
    void Empty(int r, int c) { lines_ << r << " " << c << " empty\n"; }
    void Error(int r, int c, int code) { lines_ << r << " " << c << " error " << code << "\n"; }
    void Write(const std::string& path, const std::string& sheet, int rows, int cols) const {
        std::ofstream(path) << "sheet " << sheet << " " << rows << " " << cols << "\n"
                            << lines_.str();
    }

  private:
    std::ostringstream lines_;
};

class Interop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kPython, X_OK) != 0)
            GTEST_SKIP() << "no " << kPython;
        ASSERT_TRUE(ZQExcel::SetCodePages("UTF-8", "UTF-8"));
        dir_ = fs::temp_directory_path() /
               ("zqexcel_interop_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ZQExcel::SetCodePages("UTF-8", "UTF-8");
        if (!dir_.empty())
            fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // `sheet` other than "Sheet1": a file written elsewhere, whose other streams stay.
    void ExpectXlrdReads(const std::string& xls, const Expectation& e, int rows, int cols,
                         const std::string& sheet = "Sheet1") {
        const std::string expected = Path("expected.txt");
        e.Write(expected, sheet, rows, cols);
        Result r = Shell(std::string(kPython) + " " + Script("xls_check.py") + " " + Quote(xls) +
                         " " + Quote(expected) + (sheet == "Sheet1" ? "" : " --other-streams"));
        EXPECT_EQ(r.status, 0) << r.output;
    }

    fs::path dir_;
};

TEST_F(Interop, XlrdReadsEveryCellType) {
    const std::string xls = Path("ours.xls");
    Expectation e;
    const std::string long_narrow = [] {
        std::string s;
        for (int i = 0; i < 20000; ++i)
            s += static_cast<char>('a' + i % 26);
        return s;
    }();
    std::u16string long_wide;
    for (int i = 0; i < 20000; ++i)
        long_wide += static_cast<char16_t>(0x4e00 + i % 500);
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(xls.c_str()), 1);
        const int32_t ints[] = {0,          1,         -1,         536870911,
                                -536870912, 536870912, 2147483647, -2147483647 - 1};
        for (int c = 0; c < 8; ++c) {
            x.Set(0, c, ints[c]);
            e.Number(0, c, ints[c]);
        }
        const double doubles[] = {2.0,          1.5,  0.25,  -1.25, 3.14159,
                                  123456789.12, 1e-5, -0.07, 1e300, 0.1};
        for (int c = 0; c < 10; ++c) {
            x.Set(1, c, doubles[c]);
            e.Number(1, c, doubles[c]);
        }
        const char* narrow[] = {"plain",
                                ("Gr\xc3\xbc\xc3\x9f"
                                 "e"),
                                "\xe4\xb8\xad\xe6\x96\x87", "plain", "with \"quotes\", commas"};
        for (int c = 0; c < 5; ++c) {
            x.Set(2, c, narrow[c]);
            e.Text(2, c, narrow[c]);
        }
        const std::u16string wide[] = {u"wide", u"\u00e9t\u00e9", u"\u65e5\u672c\u8a9e", u"plain"};
        for (int c = 0; c < 4; ++c) {
            x.Set(3, c, wide[c].c_str());
            e.Text(3, c, Utf8(wide[c]));
        }
        x.Set(4, 0, long_narrow.c_str());
        e.Text(4, 0, long_narrow);
        x.Set(4, 1, long_wide.c_str());
        e.Text(4, 1, Utf8(long_wide));
        e.Empty(4, 2);
        // The format has no NaN or infinity: they are the error #NUM! (code 0x24).
        x.Set(4, 3, std::nan(""));
        x.Set(4, 4, HUGE_VAL);
        x.Set(4, 5, -HUGE_VAL);
        for (int c = 3; c < 6; ++c)
            e.Error(4, c, 0x24);
        // Many rows and strings: several row blocks and a shared string table over many records.
        for (int r = 5; r < 2005; ++r) {
            x.Set(r, 0, r);
            e.Number(r, 0, r);
            std::string s = "item " + std::to_string(r % 37);
            x.Set(r, 1, s.c_str());
            e.Text(r, 1, s);
            std::string u = "unique " + std::to_string(r);
            x.Set(r, 2, u.c_str());
            e.Text(r, 2, u);
            x.Set(r, 3, r / 8.0);
            e.Number(r, 3, r / 8.0);
        }
        x.Set(2100, 255, 1);
        e.Number(2100, 255, 1);
    }
    ExpectXlrdReads(xls, e, 2101, 256);
}

TEST_F(Interop, XlrdReadsAnEmptyWorkbook) {
    const std::string xls = Path("empty.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(xls.c_str()), 1);
    }
    ExpectXlrdReads(xls, Expectation(), 0, 0);
}

TEST_F(Interop, XlrdReadsTheAnsiCodePage) {
    ASSERT_TRUE(ZQExcel::SetCodePages("WINDOWS-1252", "WINDOWS-1252"));
    const std::string xls = Path("cp1252.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(xls.c_str()), 1);
        x.Set(0, 0, "caf\xe9");
        x.Set(0, 1, "\x80 5");
        x.Set(0, 2, u"\u4e2d");  // no place in windows-1252
    }
    Expectation e;
    e.Text(0, 0, "caf\xc3\xa9");
    e.Text(0, 1, "\xe2\x82\xac 5");
    e.Text(0, 2, "?");
    ExpectXlrdReads(xls, e, 1, 3);

    ASSERT_TRUE(ZQExcel::SetCodePages("GBK", "GBK"));
    const std::string gbk = Path("gbk.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(gbk.c_str()), 1);
        x.Set(0, 0, "\xd6\xd0\xce\xc4");
    }
    Expectation g;
    g.Text(0, 0, "\xe4\xb8\xad\xe6\x96\x87");
    ExpectXlrdReads(gbk, g, 1, 1);
}

TEST_F(Interop, XlwtFilesLoad) {
    const std::string xls = Path("xlwt.xls");
    const int rows = 3000;
    Result w = Shell(std::string(kPython) + " " + Script("xlwt_write.py") + " " + Quote(xls) + " " +
                     std::to_string(rows));
    ASSERT_EQ(w.status, 0) << w.output;
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
        EXPECT_EQ(x.GetRows(), rows);
        EXPECT_EQ(x.GetCols(), 8);
        char text[64];
        char16_t wtext[64];
        for (int i = 0; i < rows; ++i) {
            SCOPED_TRACE(i);
            int32_t n = -1;
            double d = -1;
            ASSERT_TRUE(x.Get(i, 0, n));
            EXPECT_EQ(n, i);
            ASSERT_TRUE(x.Get(i, 1, d));
            EXPECT_EQ(d, i / 4.0);
            ASSERT_TRUE(x.Get(i, 2, text));
            EXPECT_EQ(std::string(text), "r" + std::to_string(i));
            ASSERT_TRUE(x.Get(i, 3, text));
            EXPECT_EQ(std::string(text), "Z\xc3\xbcrich " + std::to_string(i));
            ASSERT_TRUE(x.Get(i, 4, wtext));
            EXPECT_EQ(Utf8(wtext), "\xe5\x8c\x97\xe4\xba\xac " + std::to_string(i));
            ASSERT_TRUE(x.Get(i, 5, n));
            EXPECT_EQ(n, i % 2 == 0 ? 1 : 0);
            if (i % 3 == 0) {
                EXPECT_FALSE(x.Get(i, 6, n)) << "an error is no Boolean";
                EXPECT_TRUE(x.Get(i, 6, text));
                EXPECT_STREQ(text, "");
            } else {
                ASSERT_TRUE(x.Get(i, 6, n));
                EXPECT_EQ(n, 1);
            }
            ASSERT_TRUE(x.Get(i, 7, n));
            EXPECT_EQ(n, -i * 100);
        }
        x.Set(0, 8, "added");
    }
    // Saved back at destruction: xlrd reads both sheets, the values and the new cell.
    Result r =
        Shell(std::string(kPython) +
              " -c \"import xlrd,sys; b=xlrd.open_workbook(sys.argv[1]); s=b.sheet_by_index(0);"
              " print(b.sheet_names(), s.nrows, s.ncols, s.cell_value(2999,0), s.cell_value(1,1),"
              " s.cell_value(7,3), s.cell_value(0,8), s.cell_value(4,5), s.cell(3,6).ctype,"
              " b.sheet_by_index(1).cell_value(0,0))\" " +
              Quote(xls));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "['Data', 'Other'] 3000 9 2999.0 0.25 Z\xc3\xbcrich 7 added 1.0 0 second\n");
}

std::string Fixture(const std::string& name) {
    return std::string(ZQ_SOURCE_DIR) + "/tests/interop/fixtures/" + name;
}

// A text cell as UTF-8, narrow or wide; "" when the cell holds no text.
std::string TextOf(ZQExcel& x, int r, int c) {
    std::vector<char> narrow(100000);
    if (x.Get(r, c, narrow.data(), static_cast<int>(narrow.size())))
        return narrow.data();
    std::vector<char16_t> wide(40000);
    if (x.Get(r, c, wide.data(), static_cast<int>(wide.size())))
        return Utf8(wide.data());
    return "";
}

// gnumeric writes texts with formatting runs as RSTRING records (a long one continued over
// CONTINUE records cut inside a character) and splits its shared string table its own way (see
// fixtures/make_gnumeric.py). Every text loads, and merely loading the file and letting the
// object go (which saves it back) keeps them all, as shared strings that xlrd reads.
TEST_F(Interop, GnumericRichTextsLoadAndSurviveTheSaveBack) {
    const int rows = 600;
    const std::string xls = Path("gnumeric_rich.xls");
    fs::copy_file(Fixture("gnumeric_rich.xls"), xls);
    std::string long_text;
    for (int i = 0; i < 12000; ++i)
        long_text += i % 3 == 0 ? std::string("\xe4\xb8\xad") : std::string(1, 'a' + i % 26);
    Expectation e;
    for (int r = 0; r < rows; ++r) {
        std::string n = std::to_string(r), repeated;
        for (int k = 0; k < r % 7; ++k)
            repeated += n;
        e.Text(r, 0, "abc bold " + n);
        e.Text(r, 1, "\xe5\x8c\x97\xe4\xba\xac Beijing " + n);
        e.Text(r, 2, "plain " + n);
        e.Number(r, 3, r);
        e.Text(r, 4,
               "Z\xc3\xbcrich-\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0-"
               "\xe6\x9d\xb1\xe4\xba\xac " +
                   repeated);
    }
    e.Text(0, 5, long_text);
    auto check = [&](ZQExcel& x) {
        EXPECT_EQ(x.GetRows(), rows);
        EXPECT_EQ(x.GetCols(), 6);
        int wrong = 0;
        for (int r = 0; r < rows && wrong < 5; ++r) {
            std::string n = std::to_string(r), repeated;
            for (int k = 0; k < r % 7; ++k)
                repeated += n;
            const std::string want[] = {
                "abc bold " + n, "\xe5\x8c\x97\xe4\xba\xac Beijing " + n, "plain " + n, "",
                "Z\xc3\xbcrich-\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0-"
                "\xe6\x9d\xb1\xe4\xba\xac " +
                    repeated};
            for (int c = 0; c < 5; ++c) {
                if (c == 3)
                    continue;
                std::string got = TextOf(x, r, c);
                if (got != want[c]) {
                    ++wrong;
                    ADD_FAILURE() << "cell " << r << "," << c << ": \"" << got << "\"";
                }
            }
            int32_t i = -1;
            EXPECT_TRUE(x.Get(r, 3, i) && i == r) << r;
        }
        EXPECT_TRUE(TextOf(x, 0, 5) == long_text) << TextOf(x, 0, 5).size() << " bytes";
    };
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
        check(x);
    }
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
        check(x);
    }
    ExpectXlrdReads(xls, e, rows, 6, "Rich");
}

// A DIFAT file written by LibreOffice (8.6 MB: its FAT needs more sectors than the header lists;
// see fixtures/make_libreoffice.py) loads whole, and merely loading it and letting the object go
// writes it back whole, with LibreOffice's other streams, readable by xlrd.
TEST_F(Interop, LibreOfficeDifatFileLoadsAndSurvivesTheSaveBack) {
    const std::string xls = Path("difat.xls");
    Result unpack = Shell(std::string(kPython) +
                          " -c \"import lzma,shutil,sys; shutil.copyfileobj(lzma.open(sys.argv[1]),"
                          " open(sys.argv[2], 'wb'))\" " +
                          Quote(Fixture("libreoffice_difat.xls.xz")) + " " + Quote(xls));
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    // The streams of a document, as olefile lists them.
    auto Streams = [](const std::string& path) {
        return Shell(std::string(kPython) +
                     " -c \"import olefile,sys; print(sorted('/'.join(p) for p in"
                     " olefile.OleFileIO(sys.argv[1]).listdir()))\" " +
                     Quote(path))
            .output;
    };
    const std::string streams_before = Streams(xls);
    EXPECT_NE(streams_before.find("SummaryInformation"), std::string::npos) << streams_before;
    const int rows = 65536;
    auto check = [&](ZQExcel& x) {
        ASSERT_EQ(x.GetRows(), rows);
        ASSERT_EQ(x.GetCols(), 14);
        int wrong = 0;
        for (int r = 0; r < rows && wrong < 5; ++r) {
            int32_t first = -1, seven = -1;
            double half = 0;
            bool ok = x.Get(r, 0, first) && first == r && x.Get(r, 9, seven) && seven == 7 &&
                      x.Get(r, 11, half) && half == 2.5 && TextOf(x, r, 12) == "same text" &&
                      TextOf(x, r, 13) == "\xe5\x8c\x97\xe4\xba\xac";
            if (!ok) {
                ++wrong;
                ADD_FAILURE() << "row " << r;
            }
        }
    };
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
        check(x);
    }
    {
        ZQExcel x;
        ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
        check(x);
    }
    Expectation e;
    for (int r : {0, 1, 4095, 65535}) {
        e.Number(r, 0, r);
        e.Number(r, 9, 7);
        e.Number(r, 11, 2.5);
        e.Text(r, 12, "same text");
        e.Text(r, 13, "\xe5\x8c\x97\xe4\xba\xac");
    }
    ExpectXlrdReads(xls, e, rows, 14, "difat");
    EXPECT_EQ(Streams(xls), streams_before);
}

// A save into a full file system: a 400 KB tmpfs, mounted in a mount namespace of the test's own
// (so that nothing stays mounted), holds a loaded workbook that gets 30 000 new cells. The save
// fails; the file stays as it was, no half-written file is left beside it, and xlrd still reads it.
TEST_F(Interop, SaveIntoAFullFileSystemKeepsTheFile) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string mount_point = Path("full"), copy = Path("after.xls");
    fs::create_directories(mount_point);
    const std::string xls = mount_point + "/book.xls";
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=400k") != 0)
            ::_exit(77);
        {
            ZQExcel x;
            if (x.CreateExcel(xls.c_str()) != 1)
                ::_exit(10);
            for (int r = 0; r < 100; ++r)
                x.Set(r, 0, ("kept " + std::to_string(r)).c_str());
        }
        const std::string before = ReadFile(xls);
        {
            ZQExcel x;
            if (x.LoadExcel(xls.c_str()) != 1)
                ::_exit(11);
            for (int i = 0; i < 30000; ++i)
                x.Set(i / 200, 1 + i % 200, ("new cell " + std::to_string(i)).c_str());
        }
        if (ReadFile(xls) != before)
            ::_exit(12);
        if (std::distance(fs::directory_iterator(mount_point), fs::directory_iterator()) != 1)
            ::_exit(13);
        std::ofstream(copy, std::ios::binary) << before;
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no tmpfs could be mounted here";
    // 12: the file changed; 13: something was left beside it.
    ASSERT_EQ(WEXITSTATUS(status), 0);
    Expectation e;
    for (int r = 0; r < 100; ++r)
        e.Text(r, 0, "kept " + std::to_string(r));
    ExpectXlrdReads(copy, e, 100, 1);
}

class LibreOffice : public Interop {
  protected:
    void SetUp() override {
        if (::access(kSoffice, X_OK) != 0)
            GTEST_SKIP() << "no " << kSoffice;
        Interop::SetUp();
    }
    // Converts `in` into `format` in the test folder; returns the new file's path.
    // CSV is read and written as UTF-8 with commas and double quotes.
    std::string Convert(const std::string& in, const std::string& format, const std::string& ext) {
        std::string profile = "file://" + Path("profile");
        Result r = Shell(std::string(kSoffice) + " -env:UserInstallation=" + profile +
                         " --headless --norestore --infilter=" + Quote("CSV:44,34,76,1") +
                         " --convert-to " + Quote(format) + " --outdir " + Quote(Path("out")) +
                         " " + Quote(in));
        std::string out = Path("out/" + fs::path(in).stem().string() + "." + ext);
        EXPECT_TRUE(fs::exists(out)) << r.output;
        return out;
    }
};

TEST_F(LibreOffice, ReadsWhatWeWrite) {
    const std::string xls = Path("lo.xls");
    {
        ZQExcel x;
        ASSERT_EQ(x.CreateExcel(xls.c_str()), 1);
        x.Set(0, 0, "name");
        x.Set(0, 1, u"\u540d\u524d");
        x.Set(0, 2, 1.5);
        x.Set(1, 0, int32_t{-42});
        x.Set(1, 1, 3.14159);
        x.Set(1, 2, int32_t{600000000});
        x.Set(2, 1,
              "Gr\xc3\xbc\xc3\x9f"
              "e, \"quoted\"");
        x.Set(3, 0, 0.25);
    }
    std::string csv =
        Convert(xls, "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,true", "csv");
    EXPECT_EQ(ReadFile(csv),
              "name,\xe5\x90\x8d\xe5\x89\x8d,1.5\n"
              "-42,3.14159,600000000\n"
              ",\"Gr\xc3\xbc\xc3\x9f"
              "e, \"\"quoted\"\"\",\n"
              "0.25,,\n");
}

TEST_F(LibreOffice, WeReadWhatItWrites) {
    const std::string csv = Path("lo_in.csv");
    std::ofstream(csv) << "text,12,2.5\n\xe4\xb8\xad\xe6\x96\x87,-7,0.001\n";
    std::string xls = Convert(csv, "xls:MS Excel 97", "xls");
    ZQExcel x;
    ASSERT_EQ(x.LoadExcel(xls.c_str()), 1);
    EXPECT_EQ(x.GetRows(), 2);
    EXPECT_EQ(x.GetCols(), 3);
    char text[32];
    char16_t wtext[32];
    int32_t n;
    double d;
    ASSERT_TRUE(x.Get(0, 0, text));
    EXPECT_STREQ(text, "text");
    ASSERT_TRUE(x.Get(0, 1, n));
    EXPECT_EQ(n, 12);
    ASSERT_TRUE(x.Get(0, 2, d));
    EXPECT_EQ(d, 2.5);
    ASSERT_TRUE(x.Get(1, 0, wtext));
    EXPECT_EQ(Utf8(wtext), "\xe4\xb8\xad\xe6\x96\x87");
    ASSERT_TRUE(x.Get(1, 1, n));
    EXPECT_EQ(n, -7);
    ASSERT_TRUE(x.Get(1, 2, d));
    EXPECT_EQ(d, 0.001);
}

}  // namespace
