// Compound files against python3-olefile: files written here are read by olefile with the same
// storages, streams and bytes, and files written by LibreOffice, olefile and by hand-made layouts
// (fixtures/, see make_fixtures.py) are read here as olefile reads them, and stay readable and
// compact after a change.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "spreadsheet/cfb/compound_document.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const fs::path kHere = fs::path(ZQ_SOURCE_DIR) / "tests" / "interop" / "cfb";

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 23);
    }
    return data;
}

std::string Utf8(const std::u16string& name) {
    std::string out;
    for (char16_t c : name) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

void WriteFile(const fs::path& path, const Bytes& data) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

// Every storage and stream under `storage`, as folders and files under `folder`.
void Dump(cfb::CompoundDocument& doc, const std::u16string& storage, const fs::path& folder) {
    fs::create_directories(folder);
    std::vector<cfb::EntryInfo> entries;
    ASSERT_EQ(doc.ListStorage(storage, entries), cfb::kSuccess);
    for (const cfb::EntryInfo& e : entries) {
        std::u16string path = storage + u"\\" + e.name;
        if (e.is_storage) {
            Dump(doc, path, folder / Utf8(e.name));
        } else {
            Bytes data;
            ASSERT_EQ(doc.ReadStream(path, data), cfb::kSuccess);
            ASSERT_EQ(data.size(), e.size);
            WriteFile(folder / Utf8(e.name), data);
        }
    }
}

// Runs the olefile check; its findings become the failure message.
void ExpectOlefileReads(const fs::path& file, const fs::path& folder, bool compact) {
    std::string command = "/usr/bin/python3 '" + (kHere / "olefile_check.py").string() + "' '" +
                          file.string() + "' '" + folder.string() + "'" +
                          (compact ? " --compact" : "") + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    std::array<char, 4096> buffer;
    while (std::fgets(buffer.data(), buffer.size(), pipe)) {
        output += buffer.data();
    }
    int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << file << ":\n" << output;
}

class CfbInteropTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("cfb_interop_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

  public:
    // Writes a stream into the document and the same bytes into the expected folder.
    void Put(cfb::CompoundDocument& doc, const fs::path& folder, const std::u16string& path,
             const Bytes& data) {
        int made = doc.MakeStream(path);
        ASSERT_TRUE(made == cfb::kSuccess || made == cfb::kAlreadyExists);
        ASSERT_EQ(doc.WriteStream(path, data.data(), data.size()), cfb::kSuccess);
        fs::path file = folder;
        std::u16string part;
        for (char16_t c : path.substr(1) + u"\\") {
            if (c == u'\\') {
                file /= Utf8(part);
                part.clear();
            } else {
                part.push_back(c);
            }
        }
        WriteFile(file, data);
    }

  protected:
    fs::path dir_;
};

TEST_F(CfbInteropTest, FilesWrittenHereAreReadByOlefile) {
    struct Case {
        const char* name;
        void (*build)(CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& folder);
    };
    const Case cases[] = {
        {"empty", [](CfbInteropTest&, cfb::CompoundDocument&, const fs::path&) {}},
        {"sizes around the cutoff",
         [](CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& f) {
             t.Put(doc, f, u"\\zero", {});
             t.Put(doc, f, u"\\one", Pattern(1, 1));
             t.Put(doc, f, u"\\Workbook", Pattern(4095, 2));
             t.Put(doc, f, u"\\big", Pattern(4096, 3));
             t.Put(doc, f, u"\\bigger", Pattern(100000, 4));
         }},
        {"nested storages",
         [](CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& f) {
             t.Put(doc, f, u"\\One\\Two\\Three\\deep", Pattern(5000, 5));
             t.Put(doc, f, u"\\One\\small", Pattern(10, 6));
             t.Put(doc, f, u"\\Other\\x", Pattern(70000, 7));
             ASSERT_EQ(doc.MakeStorage(u"\\One\\Empty"), cfb::kSuccess);
             fs::create_directories(f / "One" / "Empty");
         }},
        {"many entries and mixed case",
         [](CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& f) {
             for (int i = 0; i < 200; ++i) {
                 std::string n = (i % 2 ? "item" : "Item_") + std::to_string(i * 37 % 200);
                 t.Put(doc, f, u"\\" + std::u16string(n.begin(), n.end()), Pattern(i * 13, i));
             }
             t.Put(doc, f, u"\\\x05SummaryInformation", Pattern(300, 9));
             t.Put(doc, f, u"\\\u00e9t\u00e9", Pattern(20, 9));
         }},
        {"rewritten streams",
         [](CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& f) {
             const std::size_t sizes[] = {10000, 100, 70000, 4096, 0, 30000, 4095, 5000};
             for (std::size_t i = 0; i < 24; ++i) {
                 std::u16string name = i % 3 == 0 ? u"\\A" : i % 3 == 1 ? u"\\S\\B" : u"\\C";
                 t.Put(doc, f, name, Pattern(sizes[(i * 5) % 8], static_cast<std::uint32_t>(i)));
             }
         }},
        {"FAT beyond 109 sectors",
         [](CfbInteropTest& t, cfb::CompoundDocument& doc, const fs::path& f) {
             t.Put(doc, f, u"\\Workbook", Pattern(8u << 20, 11));
             t.Put(doc, f, u"\\after", Pattern(6000, 12));
             t.Put(doc, f, u"\\small", Pattern(600, 13));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path file = dir_ / "written.cfb", folder = dir_ / "expected";
        fs::remove_all(folder);
        fs::create_directories(folder);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Create(file.string()));
        c.build(*this, doc, folder);
        doc.Close();
        ExpectOlefileReads(file, folder, true);
    }
}

std::vector<fs::path> Fixtures() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(kHere / "fixtures")) {
        files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST_F(CfbInteropTest, FilesWrittenByOthersAreReadAsOlefileReadsThem) {
    std::vector<fs::path> fixtures = Fixtures();
    ASSERT_GE(fixtures.size(), 5u);
    for (const fs::path& fixture : fixtures) {
        SCOPED_TRACE(fixture.filename().string());
        fs::path file = dir_ / "copy", folder = dir_ / "read";
        fs::remove_all(folder);
        fs::copy_file(fixture, file, fs::copy_options::overwrite_existing);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(file.string()));
        Dump(doc, u"\\", folder);
        doc.Close();
        ExpectOlefileReads(file, folder, false);
        std::vector<cfb::EntryInfo> entries;
        ASSERT_TRUE(doc.Open(file.string()));
        ASSERT_EQ(doc.ListStorage(u"\\", entries), cfb::kSuccess);
        EXPECT_FALSE(entries.empty());
    }
}

// A change to a file written by others keeps every other stream, and leaves the file compact
// (the free sectors other writers leave are removed with the first change).
TEST_F(CfbInteropTest, FilesWrittenByOthersStayReadableAfterAChange) {
    for (const fs::path& fixture : Fixtures()) {
        SCOPED_TRACE(fixture.filename().string());
        fs::path file = dir_ / "copy", folder = dir_ / "expected";
        fs::remove_all(folder);
        fs::copy_file(fixture, file, fs::copy_options::overwrite_existing);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(file.string()));
        Dump(doc, u"\\", folder);
        std::uint64_t size = 0;
        ASSERT_EQ(doc.StreamSize(u"\\Workbook", size), cfb::kSuccess);
        Put(doc, folder, u"\\Workbook", Pattern(static_cast<std::size_t>(size / 3), 21));
        Put(doc, folder, u"\\Added", Pattern(5000, 22));
        Put(doc, folder, u"\\New\\small", Pattern(100, 23));
        doc.Close();
        ExpectOlefileReads(file, folder, true);
        ASSERT_TRUE(doc.Open(file.string()));
        fs::path again = dir_ / "again";
        fs::remove_all(again);
        Dump(doc, u"\\", again);
        ExpectOlefileReads(file, again, true);
    }
}

}  // namespace
