#include "spreadsheet/cfb/compound_document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 23);
    }
    return data;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// An independent reading of a 512-byte-sector file's FAT, for checks on the raw bytes.
struct RawFile {
    Bytes bytes;
    std::vector<std::uint32_t> fat_sectors;
    std::vector<std::uint32_t> fat;

    explicit RawFile(const fs::path& path) : bytes(ReadFile(path)) {
        std::uint32_t count = Get32(bytes, 44);
        for (std::uint32_t i = 0; i < count && i < 109; ++i) {
            fat_sectors.push_back(Get32(bytes, 76 + 4 * i));
        }
        std::uint32_t difat = Get32(bytes, 68);
        while (fat_sectors.size() < count && difat != kEnd) {
            for (int j = 0; j < 127 && fat_sectors.size() < count; ++j) {
                fat_sectors.push_back(Get32(bytes, Offset(difat) + 4 * j));
            }
            difat = Get32(bytes, Offset(difat) + 508);
        }
        for (std::uint32_t s : fat_sectors) {
            for (int j = 0; j < 128; ++j) {
                fat.push_back(Get32(bytes, Offset(s) + 4 * j));
            }
        }
    }
    static std::size_t Offset(std::uint32_t sector) { return (std::size_t{sector} + 1) * 512; }
    std::size_t Sectors() const { return bytes.size() / 512 - 1; }
    std::uint32_t DirectorySector() const { return Get32(bytes, 48); }
    // Where directory entry `index` starts in the file.
    std::size_t EntryOffset(std::size_t index) const {
        std::uint32_t s = DirectorySector();
        for (std::size_t k = 0; k < index / 4; ++k) {
            s = fat[s];
        }
        return Offset(s) + (index % 4) * 128;
    }
    std::u16string EntryName(std::size_t index) const {
        std::size_t at = EntryOffset(index);
        std::u16string name;
        for (std::size_t i = 0; i < 32 && (bytes[at + 2 * i] || bytes[at + 2 * i + 1]); ++i) {
            name.push_back(static_cast<char16_t>(bytes[at + 2 * i] | bytes[at + 2 * i + 1] << 8));
        }
        return name;
    }
};

// The file is whole sectors, every sector inside it is in use, and the FAT marks nothing else.
void ExpectCompact(const fs::path& path) {
    RawFile raw(path);
    ASSERT_EQ(raw.bytes.size() % 512, 0u);
    ASSERT_GE(raw.fat.size(), raw.Sectors());
    for (std::size_t s = 0; s < raw.fat.size(); ++s) {
        if (s < raw.Sectors()) {
            ASSERT_NE(raw.fat[s], kFree) << "free sector " << s << " inside the file";
        } else {
            ASSERT_EQ(raw.fat[s], kFree) << "FAT entry " << s << " behind the end of the file";
        }
    }
    ASSERT_LT(raw.fat.size() - raw.Sectors(), 128u) << "a FAT sector more than needed";
}

class CompoundDocumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("cfb_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "doc.cfb").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    Bytes Read(cfb::CompoundDocument& doc, std::u16string_view name) {
        Bytes data;
        EXPECT_EQ(doc.ReadStream(name, data), cfb::kSuccess);
        return data;
    }
    std::uint64_t FileSize() const { return fs::file_size(path_); }

    fs::path dir_;
    std::string path_;
};

TEST_F(CompoundDocumentTest, NewDocumentIsThreeBlocksWithOnlyTheRootEntry) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    EXPECT_EQ(FileSize(), 3u * 512);
    std::vector<cfb::EntryInfo> entries;
    EXPECT_EQ(doc.ListStorage(u"\\", entries), cfb::kSuccess);
    EXPECT_TRUE(entries.empty());
    std::uint64_t size = 1;
    EXPECT_EQ(doc.StreamSize(u"\\", size), cfb::kSuccess);
    EXPECT_EQ(size, 0u);

    RawFile raw(path_);
    const std::uint8_t signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    EXPECT_EQ(std::memcmp(raw.bytes.data(), signature, 8), 0);
    EXPECT_EQ(raw.fat_sectors, std::vector<std::uint32_t>{0});
    EXPECT_EQ(raw.fat[0], 0xFFFFFFFDu);
    EXPECT_EQ(raw.fat[1], kEnd);
    EXPECT_EQ(raw.DirectorySector(), 1u);
    EXPECT_EQ(raw.EntryName(0), u"Root Entry");
    EXPECT_EQ(Get32(raw.bytes, 60), kEnd);   // no mini FAT
    EXPECT_EQ(Get32(raw.bytes, 56), 4096u);  // mini stream cutoff
    ExpectCompact(path_);

    doc.Close();
    EXPECT_FALSE(doc.IsOpen());
    ASSERT_TRUE(doc.Open(path_));
    EXPECT_EQ(doc.ListStorage(u"\\", entries), cfb::kSuccess);
    EXPECT_TRUE(entries.empty());
}

TEST_F(CompoundDocumentTest, StreamsOfEverySizeReadBackAndSitOnTheRightSideOfTheCutoff) {
    struct Case {
        std::size_t size;
        std::uint64_t mini_stream;  // the Root Entry's size afterwards
    };
    const Case cases[] = {{0, 0},    {1, 64},   {64, 64},   {65, 128}, {4095, 4096},
                          {4096, 0}, {4097, 0}, {10000, 0}, {65536, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Bytes data = Pattern(c.size, static_cast<std::uint32_t>(c.size));
        {
            cfb::CompoundDocument doc;
            ASSERT_TRUE(doc.Create(path_));
            ASSERT_EQ(doc.MakeStream(u"Workbook"), cfb::kSuccess);
            ASSERT_EQ(doc.WriteStream(u"Workbook", data.data(), data.size()), cfb::kSuccess);
            EXPECT_EQ(Read(doc, u"Workbook"), data);
        }
        ExpectCompact(path_);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(path_));
        std::uint64_t size = 0;
        EXPECT_EQ(doc.StreamSize(u"Workbook", size), cfb::kSuccess);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(doc.StreamSize(u"\\", size), cfb::kSuccess);
        EXPECT_EQ(size, c.mini_stream);
        EXPECT_EQ(Read(doc, u"Workbook"), data);
    }
}

TEST_F(CompoundDocumentTest, ShrinkingAStreamRemovesItsSectorsFromTheFile) {
    struct Case {
        std::size_t from, to;
        std::uint64_t blocks;  // the file's size afterwards
    };
    // 10 000 bytes into 100: header, FAT, directory, mini FAT and one mini stream sector remain.
    const Case cases[] = {
        {10000, 100, 5}, {10000, 4096, 11}, {10000, 0, 3}, {4095, 10, 5}, {200000, 5000, 13}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Create(path_));
        ASSERT_EQ(doc.MakeStream(u"Workbook"), cfb::kSuccess);
        Bytes first = Pattern(c.from, 1), second = Pattern(c.to, 2);
        ASSERT_EQ(doc.WriteStream(u"Workbook", first.data(), first.size()), cfb::kSuccess);
        std::uint64_t before = FileSize();
        ASSERT_EQ(doc.WriteStream(u"Workbook", second.data(), second.size()), cfb::kSuccess);
        EXPECT_LT(FileSize(), before);
        EXPECT_EQ(FileSize(), c.blocks * 512);
        ExpectCompact(path_);
        doc.Close();
        ASSERT_TRUE(doc.Open(path_));
        EXPECT_EQ(Read(doc, u"Workbook"), second);
    }
}

// Several streams grow, shrink and cross the cutoff in turn; after every write all of them read
// back as last written, from the open document and after reopening, and the file stays compact.
TEST_F(CompoundDocumentTest, InterleavedWritesKeepEveryStreamAndLeaveNoFreeSector) {
    const std::u16string names[] = {u"A", u"\\S\\B", u"\\S\\T\\C", u"D"};
    std::map<std::u16string, Bytes> expected;
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    for (const auto& name : names) {
        ASSERT_EQ(doc.MakeStream(name), cfb::kSuccess);
        expected[name] = {};
    }
    std::mt19937 random(7);
    const std::size_t sizes[] = {0, 1, 100, 4095, 4096, 5000, 30000, 70000, 3000, 64};
    for (int step = 0; step < 60; ++step) {
        SCOPED_TRACE(step);
        const std::u16string& name = names[random() % 4];
        Bytes data = Pattern(sizes[random() % 10] + random() % 3, static_cast<std::uint32_t>(step));
        ASSERT_EQ(doc.WriteStream(name, data.data(), data.size()), cfb::kSuccess);
        expected[name] = data;
        ExpectCompact(path_);
        if (step % 5 == 4) {
            doc.Close();
            ASSERT_TRUE(doc.Open(path_));
        }
        for (const auto& [n, content] : expected) {
            ASSERT_EQ(Read(doc, n), content);
        }
    }
}

TEST_F(CompoundDocumentTest, ASecondStreamLeavesNoFreeSector) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    Bytes a = Pattern(10000, 1), b = Pattern(700, 2);
    ASSERT_EQ(doc.MakeStream(u"First"), cfb::kSuccess);
    ASSERT_EQ(doc.WriteStream(u"First", a.data(), a.size()), cfb::kSuccess);
    ASSERT_EQ(doc.MakeStream(u"Second"), cfb::kSuccess);
    ASSERT_EQ(doc.WriteStream(u"Second", b.data(), b.size()), cfb::kSuccess);
    ExpectCompact(path_);
    // header, FAT, directory, 20 sectors of First, mini FAT, 2 mini stream sectors
    EXPECT_EQ(FileSize(), 26u * 512);
    EXPECT_EQ(Read(doc, u"First"), a);
    EXPECT_EQ(Read(doc, u"Second"), b);
}

TEST_F(CompoundDocumentTest, NamesAreLimitedTo31UnitsAndUniqueInTheirStorage) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    struct Case {
        std::u16string path;
        int stream, storage;  // results of MakeStream, then of MakeStorage, on the same path
    };
    const Case cases[] = {
        {std::u16string(31, u'x'), cfb::kSuccess, cfb::kAlreadyExists},
        {std::u16string(32, u'y'), cfb::kNameTooLong, cfb::kNameTooLong},
        {u"Workbook", cfb::kSuccess, cfb::kAlreadyExists},
        {u"WORKBOOK", cfb::kAlreadyExists, cfb::kAlreadyExists},  // names ignore case
        {u"", cfb::kNoEntry, cfb::kNoEntry},
        {u"S\\", cfb::kNoEntry, cfb::kNoEntry},
        {u"Workbook\\inner", cfb::kAlreadyExists, cfb::kAlreadyExists},  // a stream, no storage
        {std::u16string(32, u'z') + u"\\inner", cfb::kNameTooLong, cfb::kNameTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(doc.MakeStream(c.path), c.stream);
        EXPECT_EQ(doc.MakeStorage(c.path), c.storage);
    }
    doc.Close();
    ASSERT_TRUE(doc.Open(path_));
    std::uint64_t size = 1;
    EXPECT_EQ(doc.StreamSize(std::u16string(31, u'x'), size), cfb::kSuccess);
    EXPECT_EQ(doc.StreamSize(u"workbook", size), cfb::kSuccess);
}

TEST_F(CompoundDocumentTest, DirectoryIsOrderedByLengthThenByUnit) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    for (const char16_t* name : {u"B", u"AA", u"A"}) {
        ASSERT_EQ(doc.MakeStream(name), cfb::kSuccess);
    }
    RawFile raw(path_);
    EXPECT_EQ(raw.EntryName(1), u"A");
    EXPECT_EQ(raw.EntryName(2), u"B");
    EXPECT_EQ(raw.EntryName(3), u"AA");
    std::vector<cfb::EntryInfo> entries;
    ASSERT_EQ(doc.ListStorage(u"\\", entries), cfb::kSuccess);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, u"A");
    EXPECT_EQ(entries[2].name, u"AA");
}

TEST_F(CompoundDocumentTest, NestedStoragesAndPaths) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    Bytes data = Pattern(5000, 3);
    ASSERT_EQ(doc.MakeStream(u"\\One\\Two\\Data"), cfb::kSuccess);  // storages made on the way
    ASSERT_EQ(doc.WriteStream(u"One\\Two\\Data", data.data(), data.size()), cfb::kSuccess);
    ASSERT_EQ(doc.MakeStorage(u"One\\Other"), cfb::kSuccess);
    ASSERT_EQ(doc.MakeStream(u"Top"), cfb::kSuccess);

    EXPECT_EQ(doc.ChangeStorage(u"One\\Two"), cfb::kSuccess);
    EXPECT_EQ(Read(doc, u"Data"), data);
    EXPECT_EQ(Read(doc, u".\\Data"), data);
    EXPECT_EQ(Read(doc, u"..\\Two\\Data"), data);
    EXPECT_EQ(Read(doc, u"\\One\\Two\\Data"), data);
    Bytes ignored;
    EXPECT_EQ(doc.ReadStream(u"..\\..\\Top", ignored), cfb::kSuccess);
    EXPECT_EQ(doc.ReadStream(u"..\\..\\..\\Top", ignored),
              cfb::kSuccess);  // the root has no parent

    struct Case {
        std::u16string path;
        int result;
    };
    const Case reads[] = {{u"Missing", cfb::kNoStream},    {u"Nowhere\\Data", cfb::kNoStorage},
                          {u"..", cfb::kNoStream},         {u"Data\\", cfb::kNoEntry},
                          {u"\\One\\Two", cfb::kNoStream}, {u"\\Top\\x", cfb::kNoStorage}};
    for (const Case& c : reads) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        EXPECT_EQ(doc.ReadStream(c.path, ignored), c.result);
        std::uint64_t size;
        EXPECT_EQ(doc.StreamSize(c.path, size), c.result);
        EXPECT_EQ(doc.WriteStream(c.path, data.data(), 10), c.result);
    }
    // Failing path operations leave the current storage where it was.
    EXPECT_EQ(doc.ChangeStorage(u"\\Nowhere"), cfb::kNoStorage);
    EXPECT_EQ(doc.ChangeStorage(u"..\\Top"), cfb::kNoStorage);  // a stream is no storage
    EXPECT_EQ(doc.ChangeStorage(u""), cfb::kNoEntry);
    EXPECT_EQ(Read(doc, u"Data"), data);
    // Making entries relative to the current storage.
    ASSERT_EQ(doc.MakeStream(u"Beside"), cfb::kSuccess);
    ASSERT_EQ(doc.MakeStream(u"Below\\Deep"), cfb::kSuccess);
    EXPECT_EQ(doc.StreamSize(u"\\One\\Two\\Below\\Deep", *std::make_unique<std::uint64_t>()),
              cfb::kSuccess);
    EXPECT_EQ(doc.ChangeStorage(u"\\"), cfb::kSuccess);
    EXPECT_EQ(doc.ReadStream(u"Data", ignored), cfb::kNoStream);

    doc.Close();
    ASSERT_TRUE(doc.Open(path_));
    std::vector<cfb::EntryInfo> entries;
    ASSERT_EQ(doc.ListStorage(u"\\One", entries), cfb::kSuccess);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, u"Two");
    EXPECT_TRUE(entries[0].is_storage);
    ASSERT_EQ(doc.ListStorage(u"\\One\\Two", entries), cfb::kSuccess);
    ASSERT_EQ(entries.size(), 3u);  // Data, Below, Beside in directory order
    EXPECT_EQ(entries[0].name, u"Data");
    EXPECT_EQ(entries[0].size, 5000u);
    EXPECT_EQ(Read(doc, u"\\One\\Two\\Data"), data);
}

// Readers find entries by searching each storage's tree (shorter names first, then by upper-cased
// unit), and may check that it is a red-black tree: both must hold for what is written here.
TEST_F(CompoundDocumentTest, EachStorageIsASearchableRedBlackTree) {
    for (int count : {1, 2, 3, 4, 7, 8, 20, 100}) {
        SCOPED_TRACE(count);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Create(path_));
        for (int i = 0; i < count; ++i) {
            std::string n = std::string(i % 3 ? "B" : "a").append(std::to_string(i * 37 % count));
            ASSERT_EQ(doc.MakeStream(std::u16string(n.begin(), n.end())), cfb::kSuccess);
            ASSERT_EQ(doc.MakeStream(u"Sub\\" + std::u16string(n.begin(), n.end())), cfb::kSuccess);
        }
        doc.Close();
        RawFile raw(path_);
        Bytes dir;
        for (std::uint32_t s = raw.DirectorySector(); s < raw.Sectors(); s = raw.fat[s]) {
            dir.insert(dir.end(), raw.bytes.begin() + RawFile::Offset(s),
                       raw.bytes.begin() + RawFile::Offset(s) + 512);
        }
        auto key = [&](std::uint32_t id) {
            std::u16string name = raw.EntryName(id);
            for (auto& c : name) {
                c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
            }
            return std::make_pair(name.size(), name);
        };
        std::size_t reached = 0;
        // Returns the black height of the subtree; checks order and colours on the way.
        std::function<int(std::uint32_t, bool)> walk = [&](std::uint32_t id, bool parent_red) {
            if (id == kFree) {
                return 1;
            }
            ++reached;
            const std::size_t at = id * 128;
            bool red = dir[at + 67] == 0;
            EXPECT_FALSE(red && parent_red) << "red node with a red parent";
            std::uint32_t left = Get32(dir, at + 68), right = Get32(dir, at + 72);
            if (left != kFree) {
                EXPECT_LT(key(left), key(id));
            }
            if (right != kFree) {
                EXPECT_LT(key(id), key(right));
            }
            int l = walk(left, red), r = walk(right, red);
            EXPECT_EQ(l, r) << "black heights differ";
            if (dir[at + 66] == 1) {
                walk(Get32(dir, at + 76), false);
            }
            return l + (red ? 0 : 1);
        };
        std::uint32_t top = Get32(dir, 76);
        EXPECT_EQ(dir[top * 128 + 67], 1) << "the tree's root is black";
        walk(top, false);
        EXPECT_EQ(reached, 2u * count + 1);
    }
}

// Files laid out as other writers do (see tests/interop/cfb/make_fixtures.py): 4096-byte
// sectors, a mini FAT spread over the file, free sectors and an unused directory entry inside,
// entries out of order. The streams hold the generator's pattern, which Pattern() repeats.
TEST_F(CompoundDocumentTest, FilesLaidOutByOthersReadExactly) {
    struct Case {
        const char* file;
        std::u16string path;
        std::size_t size;
        std::uint32_t seed;
    };
    const Case cases[] = {
        {"scattered_v3.cfb", u"Workbook", 6000, 1},
        {"scattered_v3.cfb", u"\x05SummaryInformation", 300, 2},
        {"scattered_v3.cfb", u"Sub\\inner", 4000, 3},
        {"scattered_v3.cfb", u"\\Sub\\lower", 4000, 4},
        {"scattered_v3.cfb", u"Sub\\Deeper\\empty", 0, 0},
        {"scattered_v3.cfb", u"Sub\\Deeper\\big", 9000, 5},
        {"scattered_v3.cfb", u"A", 1, 6},  // written as "a": names ignore case
        {"scattered_v3.cfb", u"B", 4095, 7},
        {"scattered_v3.cfb", u"c", 4096, 8},
        {"sectors_4096.cfb", u"Workbook", 10000, 9},
        {"sectors_4096.cfb", u"small", 300, 10},
        {"sectors_4096.cfb", u"Storage\\inside", 5000, 11},
    };
    const fs::path fixtures = fs::path(ZQ_SOURCE_DIR) / "tests" / "interop" / "cfb" / "fixtures";
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + std::string(c.path.begin(), c.path.end()));
        fs::copy_file(fixtures / c.file, path_, fs::copy_options::overwrite_existing);
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Open(path_));
        EXPECT_EQ(Read(doc, c.path), Pattern(c.size, c.seed));
        // A change removes the free space these files hold and keeps the stream.
        ASSERT_EQ(doc.MakeStream(u"New"), cfb::kSuccess);
        doc.Close();
        ASSERT_TRUE(doc.Open(path_));
        EXPECT_EQ(Read(doc, c.path), Pattern(c.size, c.seed));
        if (std::string(c.file) == "scattered_v3.cfb") {
            ExpectCompact(path_);
        }
    }
}

// Enough entries in one storage for a deep tree: all of them are found again after reopening.
TEST_F(CompoundDocumentTest, ManyEntriesInOneStorage) {
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    for (int i = 0; i < 300; ++i) {
        std::string n = "Entry" + std::to_string(i * 7919 % 1000);
        ASSERT_EQ(doc.MakeStream(std::u16string(n.begin(), n.end())), cfb::kSuccess);
    }
    ExpectCompact(path_);
    doc.Close();
    ASSERT_TRUE(doc.Open(path_));
    std::vector<cfb::EntryInfo> entries;
    ASSERT_EQ(doc.ListStorage(u"\\", entries), cfb::kSuccess);
    EXPECT_EQ(entries.size(), 300u);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i - 1].name.size() < entries[i].name.size() ||
                    (entries[i - 1].name.size() == entries[i].name.size() &&
                     entries[i - 1].name < entries[i].name));
    }
}

TEST_F(CompoundDocumentTest, OperationsWithoutADocumentFail) {
    cfb::CompoundDocument doc;
    Bytes data;
    std::uint64_t size;
    EXPECT_EQ(doc.MakeStream(u"A"), cfb::kFileError);
    EXPECT_EQ(doc.ReadStream(u"A", data), cfb::kFileError);
    EXPECT_EQ(doc.StreamSize(u"\\", size), cfb::kFileError);
    EXPECT_EQ(doc.ChangeStorage(u"\\"), cfb::kFileError);
    EXPECT_FALSE(doc.Open((dir_ / "missing").string()));
    EXPECT_FALSE(doc.Create((dir_ / "no" / "such" / "folder").string()));
    EXPECT_FALSE(doc.IsOpen());
}

TEST_F(CompoundDocumentTest, AReadOnlyFileIsReadButNotChanged) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    ASSERT_EQ(doc.MakeStream(u"A"), cfb::kSuccess);
    doc.Close();
    ::chmod(path_.c_str(), 0444);
    ASSERT_TRUE(doc.Open(path_));
    EXPECT_EQ(doc.MakeStream(u"B"), cfb::kFileError);
    EXPECT_EQ(doc.WriteStream(u"A", "x", 1), cfb::kFileError);
    EXPECT_TRUE(doc.IsOpen());
    EXPECT_EQ(Read(doc, u"A"), Bytes{});
}

// A document with two big streams and one small one, and the places to damage in it.
struct Damage {
    const char* what;
    void (*apply)(RawFile& raw);
};

std::uint32_t Start(const RawFile& raw, std::size_t index) {
    std::uint32_t s = raw.DirectorySector();
    for (std::size_t k = 0; k < index / 4; ++k) {
        s = raw.fat[s];
    }
    return Get32(raw.bytes, RawFile::Offset(s) + (index % 4) * 128 + 116);
}
std::size_t EntryAt(const RawFile& raw, std::size_t index) {
    return RawFile::Offset(raw.DirectorySector()) + index * 128;  // first directory sector
}
std::size_t FatAt(const RawFile& raw, std::uint32_t sector) {
    return RawFile::Offset(raw.fat_sectors[sector / 128]) + (sector % 128) * 4;
}

TEST_F(CompoundDocumentTest, DamagedStructureIsRefusedWithNothingLoaded) {
    // Entries: 1 "A" (big), 2 "B" (big), 3 "C" (small).
    const Damage damages[] = {
        {"bad signature", [](RawFile& r) { r.bytes[0] = 0; }},
        {"unknown sector size", [](RawFile& r) { r.bytes[30] = 10; }},
        {"file cut inside the header", [](RawFile& r) { r.bytes.resize(300); }},
        {"FAT sector count beyond the file", [](RawFile& r) { Put32(r.bytes, 44, 1000); }},
        {"FAT sector outside the file", [](RawFile& r) { Put32(r.bytes, 76, 5000); }},
        {"chain loops",
         [](RawFile& r) {
             std::uint32_t a = Start(r, 1);
             Put32(r.bytes, FatAt(r, a + 3), a);
         }},
        {"chain leaves the file", [](RawFile& r) { Put32(r.bytes, FatAt(r, Start(r, 1)), 99999); }},
        {"chain runs into free space",
         [](RawFile& r) { Put32(r.bytes, FatAt(r, Start(r, 1)), kFree); }},
        {"chains cross",
         [](RawFile& r) { Put32(r.bytes, FatAt(r, Start(r, 1) + 1), Start(r, 2) + 2); }},
        {"stream larger than its chain",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 1) + 120, 9000); }},
        {"stream larger than the file",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 1) + 120, 0x7FFFFFFF); }},
        {"mini chain leaves the mini stream",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 3) + 116, 5000); }},
        {"small stream larger than its mini chain",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 3) + 120, 4000); }},
        {"directory link loops",
         [](RawFile& r) {
             Put32(r.bytes, EntryAt(r, 2) + 68, 0);  // B's left sibling: the Root Entry
         }},
        {"directory link points to itself",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 2) + 72, 2); }},
        {"directory link outside the directory",
         [](RawFile& r) { Put32(r.bytes, EntryAt(r, 0) + 76, 77); }},
        {"root entry of the wrong type", [](RawFile& r) { r.bytes[EntryAt(r, 0) + 66] = 1; }},
    };
    {
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Create(path_));
        Bytes a = Pattern(8192, 1), b = Pattern(8192, 2), c = Pattern(100, 3);
        ASSERT_EQ(doc.MakeStream(u"A"), cfb::kSuccess);
        ASSERT_EQ(doc.MakeStream(u"B"), cfb::kSuccess);
        ASSERT_EQ(doc.MakeStream(u"C"), cfb::kSuccess);
        ASSERT_EQ(doc.WriteStream(u"A", a.data(), a.size()), cfb::kSuccess);
        ASSERT_EQ(doc.WriteStream(u"B", b.data(), b.size()), cfb::kSuccess);
        ASSERT_EQ(doc.WriteStream(u"C", c.data(), c.size()), cfb::kSuccess);
    }
    const Bytes good = ReadFile(path_);
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        RawFile raw(path_);
        raw.bytes = good;
        damage.apply(raw);
        const std::string damaged = (dir_ / "damaged.cfb").string();
        WriteFile(damaged, raw.bytes);
        cfb::CompoundDocument doc;
        EXPECT_FALSE(doc.Open(damaged));
        EXPECT_FALSE(doc.IsOpen());
        Bytes data;
        EXPECT_EQ(doc.ReadStream(u"A", data), cfb::kFileError);
    }
    cfb::CompoundDocument doc;
    EXPECT_TRUE(doc.Open(path_));  // the undamaged file itself opens
}

// The format forbids two children of one storage whose names compare equal (length first, then
// upper-cased unit by unit), and a path could reach only one of them: such a file is refused at
// open, whatever the kinds of the two. So is a name no path can reach. Names the lookup tells
// apart, and one name in two storages, still open, and every listed entry is reached by its path.
TEST_F(CompoundDocumentTest, AStorageHoldingTwoChildrenOfOneNameIsRefused) {
    // Entries: streams "Alpha" (small), "Beta" (big), storage "Gamma" with the streams "Inner" and
    // "Other", the empty storage "Omega". Each case renames entries in the file's directory.
    struct Rename {
        std::u16string from, to;
    };
    struct Case {
        const char* what;
        std::vector<Rename> renames;
        bool opens;
    };
    const Case cases[] = {
        {"a stream and a storage of one name", {{u"Beta", u"Gamma"}}, false},
        {"a storage and a stream of one name", {{u"Omega", u"Alpha"}}, false},
        {"two streams of one name", {{u"Beta", u"Alpha"}}, false},
        {"two storages of one name", {{u"Omega", u"Gamma"}}, false},
        {"names that differ in ASCII case", {{u"Beta", u"aLPHA"}}, false},
        {"names that differ in Latin-1 case",
         {{u"Alpha", u"\u00e9t\u00e9"}, {u"Beta", u"\u00c9T\u00c9"}},
         false},
        {"y with diaeresis in both cases", {{u"Alpha", u"\u00ff"}, {u"Beta", u"\u0178"}}, false},
        {"two children of one name in a nested storage", {{u"Other", u"INNER"}}, false},
        {"a name holding the path separator", {{u"Beta", u"Be\\ta"}}, false},
        {"a storage named like the current storage", {{u"Omega", u"."}}, false},
        {"a storage named like the parent storage", {{u"Omega", u".."}}, false},
        {"a stream named like the parent storage", {{u"Alpha", u".."}}, false},
        {"one name in two storages", {{u"Beta", u"Inner"}}, true},
        {"a name and its prefix", {{u"Beta", u"ALPH"}}, true},
        {"names the lookup does not fold", {{u"Alpha", u"\u0101"}, {u"Beta", u"\u0100"}}, true},
        {"division and multiplication signs", {{u"Alpha", u"\u00f7"}, {u"Beta", u"\u00d7"}}, true},
    };
    const Bytes alpha = Pattern(100, 1), beta = Pattern(5000, 2), inner = Pattern(300, 3),
                other = Pattern(40, 4);
    const std::map<std::u16string, const Bytes*> written = {
        {u"Alpha", &alpha}, {u"Beta", &beta}, {u"Gamma\\Inner", &inner}, {u"Gamma\\Other", &other}};
    {
        cfb::CompoundDocument doc;
        ASSERT_TRUE(doc.Create(path_));
        for (const auto& [name, data] : written) {
            ASSERT_EQ(doc.MakeStream(name), cfb::kSuccess);
            ASSERT_EQ(doc.WriteStream(name, data->data(), data->size()), cfb::kSuccess);
        }
        ASSERT_EQ(doc.MakeStorage(u"Omega"), cfb::kSuccess);
    }
    const RawFile good(path_);
    const std::size_t entry_count = 7;  // with the Root Entry
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawFile raw = good;
        std::map<std::u16string, const Bytes*> streams = written;  // by path after the renames
        for (const Rename& r : c.renames) {
            std::size_t index = 1;
            while (index < entry_count && raw.EntryName(index) != r.from) {
                ++index;
            }
            ASSERT_LT(index, entry_count);
            const std::size_t at = raw.EntryOffset(index);
            std::fill(raw.bytes.begin() + at, raw.bytes.begin() + at + 64, 0);
            for (std::size_t k = 0; k < r.to.size(); ++k) {
                raw.bytes[at + 2 * k] = static_cast<std::uint8_t>(r.to[k]);
                raw.bytes[at + 2 * k + 1] = static_cast<std::uint8_t>(r.to[k] >> 8);
            }
            raw.bytes[at + 64] = static_cast<std::uint8_t>(2 * r.to.size() + 2);
            for (auto it = streams.begin(); it != streams.end(); ++it) {
                const std::size_t slash = it->first.rfind(u'\\') + 1;  // 0 without one
                if (it->first.substr(slash) == r.from) {
                    const Bytes* data = it->second;
                    std::u16string renamed = it->first.substr(0, slash) + r.to;
                    streams.erase(it);
                    streams[renamed] = data;
                    break;
                }
            }
        }
        const std::string changed = (dir_ / "renamed.cfb").string();
        WriteFile(changed, raw.bytes);
        cfb::CompoundDocument doc;
        EXPECT_EQ(doc.Open(changed), c.opens);
        EXPECT_EQ(doc.IsOpen(), c.opens);
        if (!doc.IsOpen()) {
            Bytes data;
            EXPECT_EQ(doc.ReadStream(u"Alpha", data), cfb::kFileError);
            continue;
        }
        for (const auto& [path, data] : streams) {
            EXPECT_EQ(Read(doc, u"\\" + path), *data);
        }
        // Every listed storage lists, and every listed stream reads at its listed size.
        std::size_t listed = 0;
        std::function<void(const std::u16string&)> walk = [&](const std::u16string& storage) {
            std::vector<cfb::EntryInfo> entries;
            ASSERT_EQ(doc.ListStorage(storage, entries), cfb::kSuccess);
            for (const cfb::EntryInfo& e : entries) {
                ++listed;
                const std::u16string path = storage + u"\\" + e.name;
                if (e.is_storage) {
                    walk(path);
                } else {
                    EXPECT_EQ(Read(doc, path).size(), e.size);
                }
            }
        };
        walk(u"\\");
        EXPECT_EQ(listed, entry_count - 1);
    }

    // Inputs that made the fuzz target abort: "El" (or "Ej") both as a stream and as a storage
    // of the root.
    const fs::path corpus = fs::path(ZQ_SOURCE_DIR) / "tests" / "fuzz" / "corpus" / "cfb_fuzz";
    for (const char* file : {"dup_name_crash.cfb", "dup_name_crash2.cfb"}) {
        SCOPED_TRACE(file);
        fs::copy_file(corpus / file, path_, fs::copy_options::overwrite_existing);
        cfb::CompoundDocument doc;
        EXPECT_FALSE(doc.Open(path_));
        EXPECT_FALSE(doc.IsOpen());
        std::vector<cfb::EntryInfo> entries;
        EXPECT_EQ(doc.ListStorage(u"\\", entries), cfb::kFileError);
    }
}

TEST_F(CompoundDocumentTest, NotACompoundDocumentFailsToOpen) {
    const Bytes inputs[] = {{}, Bytes(511, 0), Pattern(4096, 9), Bytes(2048, 0xFF)};
    for (const Bytes& input : inputs) {
        WriteFile(path_, input);
        cfb::CompoundDocument doc;
        EXPECT_FALSE(doc.Open(path_));
        EXPECT_FALSE(doc.IsOpen());
    }
}

// 200 MB needs 3200 FAT sectors: 109 are listed in the header, the rest in DIFAT sectors.
TEST_F(CompoundDocumentTest, StreamOf200MegabytesUsesDifatSectors) {
    const std::size_t size = 200u << 20;
    Bytes data = Pattern(size, 5);
    cfb::CompoundDocument doc;
    ASSERT_TRUE(doc.Create(path_));
    ASSERT_EQ(doc.MakeStream(u"Workbook"), cfb::kSuccess);
    ASSERT_EQ(doc.MakeStream(u"Small"), cfb::kSuccess);
    ASSERT_EQ(doc.WriteStream(u"Small", data.data(), 300), cfb::kSuccess);
    ASSERT_EQ(doc.WriteStream(u"Workbook", data.data(), size), cfb::kSuccess);
    {
        RawFile raw(path_);
        const std::uint32_t fat_sectors = Get32(raw.bytes, 44);
        EXPECT_EQ(fat_sectors, (raw.Sectors() + 127) / 128);
        EXPECT_GT(fat_sectors, 3200u);
        EXPECT_EQ(Get32(raw.bytes, 72), (fat_sectors - 109 + 126) / 127);  // DIFAT sectors
        EXPECT_EQ(raw.fat_sectors.size(), fat_sectors);
        ExpectCompact(path_);
    }
    doc.Close();
    ASSERT_TRUE(doc.Open(path_));
    Bytes back;
    ASSERT_EQ(doc.ReadStream(u"Workbook", back), cfb::kSuccess);
    EXPECT_TRUE(back == data);
    back.clear();
    // Shrinking it again gives back every FAT and DIFAT sector.
    ASSERT_EQ(doc.WriteStream(u"Workbook", data.data(), 5000), cfb::kSuccess);
    ExpectCompact(path_);
    EXPECT_EQ(Get32(RawFile(path_).bytes, 72), 0u);
    EXPECT_EQ(FileSize(), (1u + 1 + 1 + 1 + 1 + 10) * 512);
    EXPECT_EQ(Read(doc, u"Small"), Bytes(data.begin(), data.begin() + 300));
}

}  // namespace
