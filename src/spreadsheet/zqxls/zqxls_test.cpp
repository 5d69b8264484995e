// zqxls from the command line: CSV to workbook and back, and its failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Result {
    int status;
    std::string out;
};

Result Zqxls(const std::string& args) {
    std::string cmd = std::string(ZQ_BINARY_DIR) + "/bin/zqxls " + args + " 2>/dev/null";
    Result r{-1, ""};
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ZqxlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("zqxls_test_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        ::setenv("LANG", "C.UTF-8", 1);
        ::unsetenv("LC_ALL");
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string P(const char* name) {
        return std::string("'").append((dir_ / name).string()).append("'");
    }
    fs::path dir_;
};

TEST_F(ZqxlsTest, CsvRoundTrip) {
    const std::string csv =
        "name,count,price\r\n"
        "\"Gr\xc3\xbc\xc3\x9f"
        "e, \"\"quoted\"\"\",12,2.5\r\n"
        "\xe4\xb8\xad\xe6\x96\x87,-7,\r\n"
        ",2147483648,1e-05\r\n"
        "\"two\nlines\",0.1,x\r\n";
    std::ofstream(dir_ / "in.csv", std::ios::binary) << csv;
    ASSERT_EQ(Zqxls("from-csv " + P("in.csv") + " " + P("out.xls")).status, 0);
    const std::string before = ReadFile(dir_ / "out.xls");
    Result r = Zqxls("cat " + P("out.xls"));
    ASSERT_EQ(r.status, 0);
    // 2147483648 does not fit 32 bits: a double, printed back the same.
    EXPECT_EQ(r.out, csv);
    EXPECT_EQ(ReadFile(dir_ / "out.xls"), before) << "cat leaves the file as it was";
}

// A CSV saved by a spreadsheet program starts with a UTF-8 byte-order mark: it is no part of the
// first cell, whether that holds a text or a number; a mark anywhere else is text.
TEST_F(ZqxlsTest, ByteOrderMarkIsDropped) {
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        std::string csv, cat;
    } cases[] = {
        {bom + "name,1\r\n", "name,1\r\n"},
        {bom + "42,x\r\n", "42,x\r\n"},
        {bom + "\"quoted, field\",2\r\n", "\"quoted, field\",2\r\n"},
        {"a," + bom + "b\r\n", "a," + bom + "b\r\n"},
    };
    for (const Case& c : cases) {
        std::ofstream(dir_ / "bom.csv", std::ios::binary | std::ios::trunc) << c.csv;
        ASSERT_EQ(Zqxls("from-csv " + P("bom.csv") + " " + P("bom.xls")).status, 0);
        Result r = Zqxls("cat " + P("bom.xls"));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.cat);
    }
}

TEST_F(ZqxlsTest, Failures) {
    std::ofstream(dir_ / "bad.xls") << "not a workbook";
    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {"", 2},
        {"cat", 2},
        {"frobnicate x", 2},
        {"cat " + P("missing.xls"), 1},
        {"cat " + P("bad.xls"), 1},
        {"from-csv " + P("missing.csv") + " " + P("x.xls"), 1},
        {"from-csv " + P("bad.xls") + " " + P("no/such/dir.xls"), 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Zqxls(c.args).status, c.status) << c.args;
}

}  // namespace
