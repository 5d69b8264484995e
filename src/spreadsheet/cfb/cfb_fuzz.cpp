// Fuzz target: opens arbitrary bytes as a compound document and reads every stream. When the
// bytes open, a change is made as well, and the changed file must reopen with every stream as
// it was plus the new one. Any other outcome than a clean refusal or a sound document aborts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "spreadsheet/cfb/compound_document.h"

namespace {

// Streams by path, with names folded to upper case as the layer compares them. A document whose
// storage holds two children of one name does not open, so no path may come up twice.
struct Streams {
    std::map<std::u16string, std::vector<std::uint8_t>> data;
    bool operator==(const Streams& other) const { return data == other.data; }
    bool Add(const std::u16string& path, std::vector<std::uint8_t> bytes) {
        std::u16string key;
        for (char16_t c : path) {
            bool lower = (c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7);
            key.push_back(lower ? static_cast<char16_t>(c - 0x20) : c == 0xFF ? 0x178 : c);
        }
        return data.emplace(key, std::move(bytes)).second;
    }
};

const std::string& TempPath() {
    static const std::string path = [] {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/cfb_fuzz_" + std::to_string(::getpid()) + ".cfb";
    }();
    return path;
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "cfb_fuzz: %s\n", what);
        std::abort();
    }
}

void ReadAll(cfb::CompoundDocument& doc, const std::u16string& storage, Streams& streams,
             int depth) {
    std::vector<cfb::EntryInfo> entries;
    Check(doc.ListStorage(storage, entries) == cfb::kSuccess, "a listed storage cannot be listed");
    for (const cfb::EntryInfo& e : entries) {
        std::u16string path = storage + u"\\" + e.name;
        if (e.is_storage) {
            Check(depth < 1000, "storages nested deeper than the directory holds");
            ReadAll(doc, path, streams, depth + 1);
            continue;
        }
        std::vector<std::uint8_t> data;
        Check(doc.ReadStream(path, data) == cfb::kSuccess, "a listed stream cannot be read");
        Check(data.size() == e.size, "a stream reads other than its listed size");
        Check(streams.Add(path, std::move(data)), "two listed streams have one path");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = TempPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    cfb::CompoundDocument doc;
    if (doc.Open(path)) {
        Streams before;
        ReadAll(doc, u"\\", before, 0);
        std::vector<std::uint8_t> added(size % 9000);
        for (std::size_t i = 0; i < added.size(); ++i) {
            added[i] = static_cast<std::uint8_t>(i * 7);
        }
        int made = doc.MakeStream(u"\\fuzz added");
        if (made == cfb::kSuccess &&
            doc.WriteStream(u"\\fuzz added", added.data(), added.size()) == cfb::kSuccess) {
            Check(before.Add(u"\\\\fuzz added", added), "a stream was made over another");
            doc.Close();
            Check(doc.Open(path), "a changed document does not open again");
            Streams after;
            ReadAll(doc, u"\\", after, 0);
            Check(after == before, "a change lost or altered a stream");
        }
    }
    doc.Close();
    std::remove(path.c_str());
    return 0;
}
