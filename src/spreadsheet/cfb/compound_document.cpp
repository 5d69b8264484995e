// The compound document: header, FAT (with DIFAT), mini FAT, mini stream and directory kept in
// memory, written back after every change.
//
// Layout policy. The file never holds a free sector. A change first decides, in memory, which
// sectors every part needs: sectors are taken from those freed by the same change or appended at
// the end of the file. Sectors still free afterwards are filled with the sectors from the end of
// the file (each moved once, in runs), and the file is cut behind the last one. The same is done
// with mini sectors inside the mini stream, which is held in memory. Then the stream's data, the
// changed part of the mini stream, the changed FAT sectors, the DIFAT, the mini FAT, the directory
// and the header are written, each once.
#include "spreadsheet/cfb/compound_document.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <utility>

#include "spreadsheet/cfb/block_file.h"

namespace cfb {
namespace {

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
constexpr std::uint32_t kDifatSector = 0xFFFFFFFC;
constexpr std::uint32_t kMaxSector = 0xFFFFFFFA;  // sector numbers lie below this
constexpr std::uint32_t kNoEntryId = 0xFFFFFFFF;

constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint64_t kMiniCutoff = 4096;
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kHeaderDifatSlots = 109;

constexpr std::uint8_t kTypeStorage = 1;
constexpr std::uint8_t kTypeStream = 2;
constexpr std::uint8_t kTypeRoot = 5;

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) {
    return (a + b - 1) / b;
}

// The directory's own order: shorter names first, then by UTF-16 code unit.
bool DirectoryLess(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;
}

// Names are compared as the format's readers do: case-insensitively (simple upper-casing).
char16_t Fold(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}
int FormatCompare(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = Fold(a[i]), y = Fold(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

// A name that a path can reach: not empty, no "\\" (which the format forbids too), and not "." or
// "..", which paths take for the current storage and its parent.
bool Addressable(const std::u16string& name) {
    return !name.empty() && name != u"." && name != u".." &&
           name.find(u'\\') == std::u16string::npos;
}

// A table of next-sector links (the FAT or the mini FAT). Sectors are taken from `holes` (freed
// during the current change) or appended; Compact() moves the last sectors into the holes.
struct Table {
    std::vector<std::uint32_t> next;
    std::vector<std::uint32_t> holes;
    std::vector<bool> dirty;  // per table sector: entries changed since the last write
    std::uint32_t per_sector = 128;

    void MarkDirty(std::size_t i) {
        std::size_t block = i / per_sector;
        if (block >= dirty.size()) {
            dirty.resize(block + 1, false);
        }
        dirty[block] = true;
    }
    void Set(std::uint32_t i, std::uint32_t value) {
        next[i] = value;
        MarkDirty(i);
    }
    std::uint32_t Allocate() {
        std::uint32_t s;
        if (!holes.empty()) {
            s = holes.back();
            holes.pop_back();
        } else {
            s = static_cast<std::uint32_t>(next.size());
            next.push_back(kEnd);
        }
        Set(s, kEnd);
        return s;
    }
    void Free(std::uint32_t s) {
        Set(s, kFree);
        holes.push_back(s);
    }
    std::size_t Live() const { return next.size() - holes.size(); }

    // The sectors of a chain. The links were checked when the document was loaded and are kept
    // consistent since; the walk is bounded all the same.
    std::vector<std::uint32_t> Chain(std::uint32_t start) const {
        std::vector<std::uint32_t> chain;
        for (std::uint32_t s = start; s < next.size() && chain.size() < next.size(); s = next[s]) {
            chain.push_back(s);
        }
        return chain;
    }

    // Cuts or extends the chain at `start` to `count` sectors.
    void ResizeChain(std::uint32_t& start, std::size_t count) {
        std::vector<std::uint32_t> chain = Chain(start);
        if (chain.size() >= count) {
            if (count == 0) {
                start = kEnd;
            } else {
                Set(chain[count - 1], kEnd);
            }
            for (std::size_t i = count; i < chain.size(); ++i) {
                Free(chain[i]);
            }
            return;
        }
        std::uint32_t previous = chain.empty() ? kEnd : chain.back();
        for (std::size_t i = chain.size(); i < count; ++i) {
            std::uint32_t s = Allocate();
            if (previous == kEnd) {
                start = s;
            } else {
                Set(previous, s);
            }
            previous = s;
        }
    }

    // The renumbering done by Compact(): sectors from `live` on moved to `to[s - live]`.
    struct Moves {
        std::uint32_t live = 0;
        std::uint32_t count = 0;
        std::vector<std::uint32_t> to;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;  // (from, to), from ascending

        std::uint32_t operator()(std::uint32_t v) const {
            return v >= live && v < count ? to[v - live] : v;
        }
    };

    Moves Compact() {
        Moves moves;
        moves.count = static_cast<std::uint32_t>(next.size());
        moves.live = static_cast<std::uint32_t>(Live());
        moves.to.resize(moves.count - moves.live, kFree);
        std::sort(holes.begin(), holes.end());
        std::size_t hole = 0;
        for (std::uint32_t s = moves.live; s < moves.count; ++s) {
            if (next[s] == kFree) {
                continue;
            }
            std::uint32_t target = holes[hole++];
            moves.to[s - moves.live] = target;
            moves.pairs.emplace_back(s, target);
            Set(target, next[s]);
        }
        for (std::size_t i = moves.live; i < moves.count; i += per_sector) {
            MarkDirty(i);
        }
        if (moves.count > moves.live) {
            MarkDirty(moves.count - 1);
        }
        next.resize(moves.live);
        holes.clear();
        if (!moves.pairs.empty()) {
            for (std::uint32_t i = 0; i < moves.live; ++i) {
                std::uint32_t v = moves(next[i]);
                if (v != next[i]) {
                    Set(i, v);
                }
            }
        }
        return moves;
    }
};

struct Entry {
    std::array<std::uint8_t, kEntrySize> raw{};  // kept for the fields this layer does not use
    std::u16string name;
    std::uint8_t type = kTypeStorage;
    std::uint32_t start = kEnd;
    std::uint64_t size = 0;
    std::uint32_t parent = kNoEntryId;
};

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : path) {
        if (c == u'\\') {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    parts.push_back(part);
    return parts;
}

}  // namespace

struct CompoundDocument::Impl {
    BlockFile file;
    bool open = false;
    std::uint32_t sector_shift = 9;
    std::uint32_t sector_size = 512;
    std::array<std::uint8_t, 76> header_start{};  // signature .. transaction field, as loaded

    Table fat;
    Table mini;
    std::vector<std::uint32_t> fat_sectors;    // in DIFAT order
    std::vector<std::uint32_t> difat_sectors;  // in chain order
    std::uint32_t directory_start = kEnd;
    std::uint32_t mini_fat_start = kEnd;
    std::uint64_t disk_sectors = 0;  // sectors present in the file before the current change

    std::vector<std::uint8_t> mini_stream;  // the whole mini stream
    std::vector<bool> mini_dirty;           // per sector of the Root Entry's chain

    std::vector<Entry> entries;  // [0] is the Root Entry; the others in directory order
    std::uint32_t current = 0;

    // The writes of the change being made, issued together at its end.
    std::vector<BlockFile::Piece> pending;
    std::deque<std::vector<std::uint8_t>> owned;  // buffers of pending pieces

    void Queue(std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
        if (length > 0) {
            pending.push_back({offset, data, length});
        }
    }
    void QueueZeros(std::uint64_t offset, std::size_t length) {
        static const std::uint8_t zeros[4096] = {};
        while (length > 0) {
            std::size_t chunk = std::min(length, sizeof zeros);
            Queue(offset, zeros, chunk);
            offset += chunk;
            length -= chunk;
        }
    }
    std::uint8_t* QueueOwned(std::uint64_t offset, std::vector<std::uint8_t> bytes) {
        owned.push_back(std::move(bytes));
        Queue(offset, owned.back().data(), owned.back().size());
        return owned.back().data();
    }

    std::uint32_t PerSector() const { return sector_size / 4; }
    std::uint64_t Offset(std::uint32_t sector) const {
        return (static_cast<std::uint64_t>(sector) + 1) << sector_shift;
    }
    bool IsBig(const Entry& e) const { return e.type == kTypeStream && e.size >= kMiniCutoff; }
    bool IsSmall(const Entry& e) const {
        return e.type == kTypeStream && e.size > 0 && e.size < kMiniCutoff;
    }

    // ---- loading ----------------------------------------------------------------------------

    bool Load();
    bool ClaimChain(std::uint32_t start, std::vector<std::uint8_t>& claimed,
                    const std::vector<std::uint32_t>& links, std::vector<std::uint32_t>& chain);
    bool LoadDirectory(const std::vector<std::uint8_t>& bytes);

    // ---- paths ------------------------------------------------------------------------------

    std::uint32_t FindChild(std::uint32_t storage, const std::u16string& name) const {
        for (std::uint32_t i = 1; i < entries.size(); ++i) {
            if (entries[i].parent == storage && FormatCompare(entries[i].name, name) == 0) {
                return i;
            }
        }
        return kNoEntryId;
    }
    // Walks storage names from the start storage; with `make`, missing storages are made.
    int WalkStorages(const std::vector<std::u16string>& parts, std::size_t count, bool absolute,
                     bool make, std::uint32_t& storage, bool& changed);
    int FindStream(std::u16string_view path, std::uint32_t& index);
    int FindStorage(std::u16string_view path, std::uint32_t& index);
    std::uint32_t Insert(std::uint32_t storage, const std::u16string& name, std::uint8_t type);
    int Make(std::u16string_view path, std::uint8_t type);

    // ---- writing ----------------------------------------------------------------------------

    void SizeFat();
    bool Commit(std::uint32_t target, const std::uint8_t* data, std::size_t size);
    void WriteSectors(const std::vector<std::uint32_t>& chain, const std::uint8_t* data,
                      std::size_t size);
    void WriteMetadata();
    std::vector<std::uint8_t> DirectoryBytes() const;
};

// ---- loading ----------------------------------------------------------------------------------

bool CompoundDocument::Impl::ClaimChain(std::uint32_t start, std::vector<std::uint8_t>& claimed,
                                        const std::vector<std::uint32_t>& links,
                                        std::vector<std::uint32_t>& chain) {
    chain.clear();
    for (std::uint32_t s = start; s != kEnd; s = links[s]) {
        if (s >= links.size() || claimed[s]) {
            return false;  // outside the file, a loop, or a sector of another chain
        }
        claimed[s] = 1;
        chain.push_back(s);
    }
    return true;
}

bool CompoundDocument::Impl::Load() {
    std::uint8_t header[512];
    if (file.size() < sizeof header || !file.Read(0, header, sizeof header) ||
        std::memcmp(header, kSignature, sizeof kSignature) != 0) {
        return false;
    }
    std::uint16_t major = Get16(header + 26);
    sector_shift = Get16(header + 30);
    if (Get16(header + 28) != 0xFFFE || Get16(header + 32) != 6 ||
        Get32(header + 56) != kMiniCutoff ||
        !((major == 3 && sector_shift == 9) || (major == 4 && sector_shift == 12))) {
        return false;
    }
    sector_size = 1u << sector_shift;
    std::memcpy(header_start.data(), header, header_start.size());
    const std::uint32_t per = PerSector();
    if (file.size() < sector_size) {
        return false;
    }
    std::uint64_t count = CeilDiv(file.size() - sector_size, sector_size);
    if (count >= kMaxSector) {
        return false;
    }
    const auto n = static_cast<std::uint32_t>(count);
    std::uint32_t fat_count = Get32(header + 44);
    std::uint32_t difat_count = Get32(header + 72);
    if (fat_count == 0 || fat_count > n || difat_count > n) {
        return false;
    }

    std::vector<std::uint8_t> claimed(n, 0);
    auto claim = [&](std::uint32_t s) {
        if (s >= n || claimed[s]) {
            return false;
        }
        claimed[s] = 1;
        return true;
    };
    std::vector<std::uint8_t> sector(sector_size);

    // FAT sector numbers: the header's 109, then the DIFAT sectors.
    for (std::size_t i = 0; i < kHeaderDifatSlots && fat_sectors.size() < fat_count; ++i) {
        std::uint32_t s = Get32(header + 76 + 4 * i);
        if (!claim(s)) {
            return false;
        }
        fat_sectors.push_back(s);
    }
    std::uint32_t difat = Get32(header + 68);
    for (std::uint32_t i = 0; i < difat_count && fat_sectors.size() < fat_count; ++i) {
        if (!claim(difat) || !file.Read(Offset(difat), sector.data(), sector_size)) {
            return false;
        }
        difat_sectors.push_back(difat);
        for (std::uint32_t j = 0; j + 1 < per && fat_sectors.size() < fat_count; ++j) {
            std::uint32_t s = Get32(sector.data() + 4 * j);
            if (!claim(s)) {
                return false;
            }
            fat_sectors.push_back(s);
        }
        difat = Get32(sector.data() + 4 * (per - 1));
    }
    if (fat_sectors.size() < fat_count) {
        return false;
    }

    // The FAT, for the sectors the file holds.
    fat.per_sector = per;
    mini.per_sector = per;
    fat.next.assign(n, kFree);
    for (std::size_t k = 0; k < fat_sectors.size() && k * per < n; ++k) {
        if (!file.Read(Offset(fat_sectors[k]), sector.data(), sector_size)) {
            return false;
        }
        for (std::uint32_t j = 0; j < per && k * per + j < n; ++j) {
            fat.next[k * per + j] = Get32(sector.data() + 4 * j);
        }
    }

    // Directory and mini FAT chains.
    std::vector<std::uint32_t> chain;
    directory_start = Get32(header + 48);
    if (!ClaimChain(directory_start, claimed, fat.next, chain) || chain.empty()) {
        return false;
    }
    std::vector<std::uint8_t> directory(chain.size() * std::size_t{sector_size});
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (!file.Read(Offset(chain[i]), directory.data() + i * sector_size, sector_size)) {
            return false;
        }
    }
    mini_fat_start = Get32(header + 60);
    if (Get32(header + 64) == 0 && mini_fat_start == kFree) {
        mini_fat_start = kEnd;
    }
    if (!ClaimChain(mini_fat_start, claimed, fat.next, chain)) {
        return false;
    }
    const std::vector<std::uint32_t> mini_fat_chain = chain;
    if (!LoadDirectory(directory)) {
        return false;
    }

    // The mini stream.
    Entry& root = entries[0];
    std::vector<std::uint32_t> root_chain;
    if (root.size > 0) {
        if (!ClaimChain(root.start, claimed, fat.next, root_chain) ||
            root_chain.size() * std::uint64_t{sector_size} < root.size) {
            return false;
        }
    }
    std::uint64_t mini_count = std::min<std::uint64_t>(mini_fat_chain.size() * std::uint64_t{per},
                                                       CeilDiv(root.size, kMiniSectorSize));
    mini_stream.assign(mini_count * kMiniSectorSize, 0);
    for (std::size_t i = 0; i < root_chain.size() && i * sector_size < mini_stream.size(); ++i) {
        std::size_t length =
            std::min<std::size_t>(sector_size, mini_stream.size() - i * sector_size);
        if (!file.Read(Offset(root_chain[i]), mini_stream.data() + i * sector_size, length)) {
            return false;
        }
    }
    mini.next.assign(mini_count, kFree);
    for (std::size_t k = 0; k < mini_fat_chain.size() && k * per < mini_count; ++k) {
        if (!file.Read(Offset(mini_fat_chain[k]), sector.data(), sector_size)) {
            return false;
        }
        for (std::uint32_t j = 0; j < per && k * per + j < mini_count; ++j) {
            mini.next[k * per + j] = Get32(sector.data() + 4 * j);
        }
    }

    // Every stream's chain must be long enough for its size and cross no other chain.
    std::vector<std::uint8_t> mini_claimed(mini_count, 0);
    for (Entry& e : entries) {
        if (e.type != kTypeStream) {
            continue;
        }
        if (e.size == 0) {
            e.start = kEnd;
        } else if (IsBig(e)) {
            if (!ClaimChain(e.start, claimed, fat.next, chain) ||
                chain.size() * std::uint64_t{sector_size} < e.size) {
                return false;
            }
        } else if (!ClaimChain(e.start, mini_claimed, mini.next, chain) ||
                   chain.size() * std::uint64_t{kMiniSectorSize} < e.size) {
            return false;
        }
    }
    if (root.size == 0) {
        root.start = kEnd;
    }

    // What no structure claims is free space, removed by the next change.
    for (std::uint32_t s = 0; s < n; ++s) {
        if (!claimed[s]) {
            fat.next[s] = kFree;
            fat.holes.push_back(s);
        }
    }
    for (std::uint32_t s : fat_sectors) {
        fat.next[s] = kFatSector;
    }
    for (std::uint32_t s : difat_sectors) {
        fat.next[s] = kDifatSector;
    }
    for (std::uint32_t m = 0; m < mini_count; ++m) {
        if (!mini_claimed[m]) {
            mini.next[m] = kFree;
            mini.holes.push_back(m);
        }
    }
    mini_dirty.assign(root_chain.size(), false);
    disk_sectors = n;
    return true;
}

bool CompoundDocument::Impl::LoadDirectory(const std::vector<std::uint8_t>& bytes) {
    const std::size_t count = bytes.size() / kEntrySize;
    auto parse = [&](std::size_t id, Entry& e) {
        const std::uint8_t* p = bytes.data() + id * kEntrySize;
        std::memcpy(e.raw.data(), p, kEntrySize);
        std::size_t units = std::min<std::size_t>(Get16(p + 64) / 2, 32);
        for (std::size_t i = 0; i < units && e.name.size() < kMaxNameLength; ++i) {
            char16_t c = static_cast<char16_t>(Get16(p + 2 * i));
            if (c == 0) {
                break;
            }
            e.name.push_back(c);
        }
        e.type = p[66];
        e.start = Get32(p + 116);
        e.size = Get32(p + 120);
        if (sector_size != 512) {
            e.size |= static_cast<std::uint64_t>(Get32(p + 124)) << 32;
        }
    };

    Entry root;
    parse(0, root);
    if (root.type != kTypeRoot) {
        return false;
    }
    std::vector<Entry> found;
    std::vector<std::uint32_t> found_id;  // entry id in the file, per found entry
    std::vector<std::uint8_t> seen(count, 0);
    seen[0] = 1;
    // (entry id, index in `found` of its storage, 0 meaning the root)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;
    std::uint32_t child = Get32(bytes.data() + 76);
    if (child != kNoEntryId) {
        stack.emplace_back(child, 0);
    }
    found.push_back(root);
    found_id.push_back(0);
    while (!stack.empty()) {
        auto [id, parent] = stack.back();
        stack.pop_back();
        if (id >= count || seen[id]) {
            return false;  // outside the directory, or a loop
        }
        seen[id] = 1;
        Entry e;
        parse(id, e);
        if ((e.type != kTypeStorage && e.type != kTypeStream) || !Addressable(e.name)) {
            return false;
        }
        e.parent = parent;
        const std::uint8_t* p = bytes.data() + id * kEntrySize;
        for (std::uint32_t link : {Get32(p + 68), Get32(p + 72)}) {
            if (link != kNoEntryId) {
                stack.emplace_back(link, parent);
            }
        }
        if (e.type == kTypeStorage) {
            e.start = 0;
            e.size = 0;
            if (Get32(p + 76) != kNoEntryId) {
                stack.emplace_back(Get32(p + 76), static_cast<std::uint32_t>(found.size()));
            }
        }
        found.push_back(std::move(e));
        found_id.push_back(id);
    }

    // Directory order, with the storages' indices carried along.
    std::vector<std::uint32_t> order(found.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin() + 1, order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return DirectoryLess(found[a].name, found[b].name);
    });
    std::vector<std::uint32_t> position(found.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        position[order[i]] = i;
    }
    entries.clear();
    entries.reserve(found.size());
    for (std::uint32_t i : order) {
        entries.push_back(std::move(found[i]));
        if (entries.back().parent != kNoEntryId) {
            entries.back().parent = position[entries.back().parent];
        }
    }

    // The format forbids two children of one storage whose names compare equal: a path could
    // reach only one of them, and the storage's tree could not be written back in order.
    std::vector<std::uint32_t> by_name(entries.size() - 1);
    for (std::uint32_t i = 0; i < by_name.size(); ++i) {
        by_name[i] = i + 1;
    }
    auto name_order = [&](std::uint32_t a, std::uint32_t b) {
        if (entries[a].parent != entries[b].parent) {
            return entries[a].parent < entries[b].parent;
        }
        return FormatCompare(entries[a].name, entries[b].name) < 0;
    };
    std::sort(by_name.begin(), by_name.end(), name_order);
    for (std::size_t i = 1; i < by_name.size(); ++i) {
        if (!name_order(by_name[i - 1], by_name[i])) {
            return false;  // the same name twice in one storage
        }
    }
    return true;
}

// ---- paths ------------------------------------------------------------------------------------

int CompoundDocument::Impl::WalkStorages(const std::vector<std::u16string>& parts,
                                         std::size_t count, bool absolute, bool make,
                                         std::uint32_t& storage, bool& changed) {
    storage = absolute ? 0 : current;
    for (std::size_t i = absolute ? 1 : 0; i < count; ++i) {
        const std::u16string& part = parts[i];
        if (part.empty() || part == u".") {
            continue;
        }
        if (part == u"..") {
            if (storage != 0) {
                storage = entries[storage].parent;
            }
            continue;
        }
        std::uint32_t child = FindChild(storage, part);
        if (child != kNoEntryId && entries[child].type == kTypeStorage) {
            storage = child;
            continue;
        }
        if (!make) {
            return kNoStorage;
        }
        if (child != kNoEntryId) {
            return kAlreadyExists;  // a stream stands where the storage should be
        }
        if (part.size() > kMaxNameLength) {
            return kNameTooLong;
        }
        storage = Insert(storage, part, kTypeStorage);
        changed = true;
    }
    return kSuccess;
}

int CompoundDocument::Impl::FindStream(std::u16string_view path, std::uint32_t& index) {
    std::vector<std::u16string> parts = SplitPath(path);
    bool absolute = !path.empty() && path[0] == u'\\';
    if (parts.back().empty()) {
        return kNoEntry;
    }
    std::uint32_t storage;
    bool changed = false;
    int result = WalkStorages(parts, parts.size() - 1, absolute, false, storage, changed);
    if (result != kSuccess) {
        return result;
    }
    index = FindChild(storage, parts.back());
    if (index == kNoEntryId || entries[index].type != kTypeStream) {
        return kNoStream;
    }
    return kSuccess;
}

int CompoundDocument::Impl::FindStorage(std::u16string_view path, std::uint32_t& index) {
    if (path.empty()) {
        return kNoEntry;
    }
    std::vector<std::u16string> parts = SplitPath(path);
    bool changed = false;
    return WalkStorages(parts, parts.size(), path[0] == u'\\', false, index, changed);
}

std::uint32_t CompoundDocument::Impl::Insert(std::uint32_t storage, const std::u16string& name,
                                             std::uint8_t type) {
    std::uint32_t at = 1;
    while (at < entries.size() && DirectoryLess(entries[at].name, name)) {
        ++at;
    }
    for (Entry& e : entries) {
        if (e.parent != kNoEntryId && e.parent >= at) {
            ++e.parent;
        }
    }
    if (current >= at) {
        ++current;
    }
    if (storage >= at) {
        ++storage;
    }
    Entry e;
    e.name = name;
    e.type = type;
    e.start = type == kTypeStream ? kEnd : 0;
    e.parent = storage;
    entries.insert(entries.begin() + at, std::move(e));
    return at;
}

int CompoundDocument::Impl::Make(std::u16string_view path, std::uint8_t type) {
    std::vector<std::u16string> parts = SplitPath(path);
    bool absolute = !path.empty() && path[0] == u'\\';
    std::uint32_t storage;
    bool changed = false;
    int result = WalkStorages(parts, parts.size() - 1, absolute, true, storage, changed);
    const std::u16string& name = parts.back();
    if (result == kSuccess) {
        if (name.empty() || name == u"." || name == u"..") {
            result = kNoEntry;
        } else if (name.size() > kMaxNameLength) {
            result = kNameTooLong;
        } else if (FindChild(storage, name) != kNoEntryId) {
            result = kAlreadyExists;
        } else {
            Insert(storage, name, type);
            changed = true;
        }
    }
    if (changed && !Commit(kNoEntryId, nullptr, 0)) {
        return kFileError;
    }
    return result;
}

// ---- writing ----------------------------------------------------------------------------------

// Gives the FAT exactly the sectors it needs to cover every sector of the file, itself and the
// DIFAT sectors included.
void CompoundDocument::Impl::SizeFat() {
    const std::uint64_t per = PerSector();
    const std::uint64_t others = fat.Live() - fat_sectors.size() - difat_sectors.size();
    std::uint64_t f = 0, d = 0;
    for (;;) {
        std::uint64_t nf = CeilDiv(others + f + d, per);
        std::uint64_t nd = nf > kHeaderDifatSlots ? CeilDiv(nf - kHeaderDifatSlots, per - 1) : 0;
        if (nf == f && nd == d) {
            break;
        }
        f = nf;
        d = nd;
    }
    while (fat_sectors.size() > f) {
        fat.Free(fat_sectors.back());
        fat_sectors.pop_back();
    }
    while (fat_sectors.size() < f) {
        std::uint32_t s = fat.Allocate();
        fat.Set(s, kFatSector);
        fat.MarkDirty(fat_sectors.size() * per);
        fat_sectors.push_back(s);
    }
    while (difat_sectors.size() > d) {
        fat.Free(difat_sectors.back());
        difat_sectors.pop_back();
    }
    while (difat_sectors.size() < d) {
        std::uint32_t s = fat.Allocate();
        fat.Set(s, kDifatSector);
        difat_sectors.push_back(s);
    }
}

bool CompoundDocument::Impl::Commit(std::uint32_t target, const std::uint8_t* data,
                                    std::size_t size) {
    // Mini sectors: compact the mini stream in memory, then place the data.
    mini_stream.resize(mini.next.size() * kMiniSectorSize, 0);
    auto mark_mini = [&](std::uint64_t offset) {
        std::size_t k = static_cast<std::size_t>(offset / sector_size);
        if (k >= mini_dirty.size()) {
            mini_dirty.resize(k + 1, false);
        }
        mini_dirty[k] = true;
    };
    Table::Moves mini_moves = mini.Compact();
    for (auto [from, to] : mini_moves.pairs) {
        std::memcpy(mini_stream.data() + std::size_t{to} * kMiniSectorSize,
                    mini_stream.data() + std::size_t{from} * kMiniSectorSize, kMiniSectorSize);
        mark_mini(std::uint64_t{to} * kMiniSectorSize);
    }
    for (Entry& e : entries) {
        if (IsSmall(e)) {
            e.start = mini_moves(e.start);
        }
    }
    mini_stream.resize(mini.next.size() * kMiniSectorSize);
    if (target != kNoEntryId && IsSmall(entries[target])) {
        std::size_t offset = 0;
        for (std::uint32_t m : mini.Chain(entries[target].start)) {
            std::uint8_t* piece = mini_stream.data() + std::size_t{m} * kMiniSectorSize;
            std::size_t length = std::min<std::size_t>(kMiniSectorSize, size - offset);
            std::memcpy(piece, data + offset, length);
            std::memset(piece + length, 0, kMiniSectorSize - length);
            mark_mini(std::uint64_t{m} * kMiniSectorSize);
            offset += length;
        }
    }

    // Big sectors for the mini stream, the mini FAT, the directory and the FAT itself.
    Entry& root = entries[0];
    root.size = mini_stream.size();
    std::size_t root_sectors = static_cast<std::size_t>(CeilDiv(root.size, sector_size));
    fat.ResizeChain(root.start, root_sectors);
    mini_dirty.resize(root_sectors, true);
    fat.ResizeChain(mini_fat_start,
                    static_cast<std::size_t>(CeilDiv(mini.next.size(), PerSector())));
    fat.ResizeChain(directory_start,
                    static_cast<std::size_t>(CeilDiv(entries.size(), sector_size / kEntrySize)));
    SizeFat();

    // Fill the free sectors with the last ones of the file.
    Table::Moves moves = fat.Compact();
    for (std::size_t i = 0; i < moves.pairs.size();) {
        std::size_t j = i + 1;
        while (j < moves.pairs.size() && moves.pairs[j].first == moves.pairs[j - 1].first + 1 &&
               moves.pairs[j].second == moves.pairs[j - 1].second + 1) {
            ++j;
        }
        // Sectors appended by this change hold nothing yet; they are written below.
        std::uint64_t from = moves.pairs[i].first;
        std::uint64_t run =
            std::min<std::uint64_t>(j - i, from < disk_sectors ? disk_sectors - from : 0);
        if (run > 0 && !file.Copy(Offset(moves.pairs[i].first), Offset(moves.pairs[i].second),
                                  run << sector_shift)) {
            return false;
        }
        i = j;
    }
    for (std::size_t i = 0; i < fat_sectors.size(); ++i) {
        std::uint32_t s = moves(fat_sectors[i]);
        if (s != fat_sectors[i]) {
            fat_sectors[i] = s;
            fat.MarkDirty(i * PerSector());
        }
    }
    for (std::uint32_t& s : difat_sectors) {
        s = moves(s);
    }
    directory_start = moves(directory_start);
    mini_fat_start = moves(mini_fat_start);
    root.start = moves(root.start);
    for (Entry& e : entries) {
        if (IsBig(e)) {
            e.start = moves(e.start);
        }
    }

    // The data, the changed part of the mini stream, then the tables.
    if (target != kNoEntryId && IsBig(entries[target])) {
        WriteSectors(fat.Chain(entries[target].start), data, size);
    }
    std::vector<std::uint32_t> root_chain = fat.Chain(root.start);
    for (std::size_t k = 0; k < root_chain.size(); ++k) {
        if (!mini_dirty[k]) {
            continue;
        }
        std::size_t offset = k * sector_size;
        std::size_t length = std::min<std::size_t>(sector_size, mini_stream.size() - offset);
        Queue(Offset(root_chain[k]), mini_stream.data() + offset, length);
        QueueZeros(Offset(root_chain[k]) + length, sector_size - length);
    }
    mini_dirty.assign(root_chain.size(), false);
    WriteMetadata();
    bool written = file.WriteGather(pending);
    pending.clear();
    owned.clear();
    disk_sectors = fat.next.size();
    const std::uint64_t end = Offset(static_cast<std::uint32_t>(fat.next.size()));
    return written && (file.size() == end || file.Truncate(end));
}

// Writes `size` bytes along a chain, in runs of consecutive sectors; the last sector is padded.
void CompoundDocument::Impl::WriteSectors(const std::vector<std::uint32_t>& chain,
                                          const std::uint8_t* data, std::size_t size) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < chain.size();) {
        std::size_t j = i + 1;
        while (j < chain.size() && chain[j] == chain[j - 1] + 1) {
            ++j;
        }
        std::size_t span = (j - i) * std::size_t{sector_size};
        std::size_t length = std::min(span, size - offset);
        Queue(Offset(chain[i]), data + offset, length);
        QueueZeros(Offset(chain[i]) + length, span - length);
        offset += length;
        i = j;
    }
}

std::vector<std::uint8_t> CompoundDocument::Impl::DirectoryBytes() const {
    const std::size_t per = sector_size / kEntrySize;
    std::vector<std::uint8_t> bytes(CeilDiv(entries.size(), per) * per * kEntrySize, 0);
    for (std::size_t i = entries.size(); i < bytes.size() / kEntrySize; ++i) {
        std::uint8_t* p = bytes.data() + i * kEntrySize;
        Put32(p + 68, kNoEntryId);
        Put32(p + 72, kNoEntryId);
        Put32(p + 76, kNoEntryId);
    }
    // Each storage's children as a balanced search tree in the format's name order, coloured
    // so that it is a valid red-black tree: the nodes of an incomplete last level are red.
    std::vector<std::uint32_t> left(entries.size(), kNoEntryId), right(entries.size(), kNoEntryId),
        child(entries.size(), kNoEntryId);
    std::vector<std::uint8_t> colour(entries.size(), 1);
    std::vector<std::vector<std::uint32_t>> children(entries.size());
    for (std::uint32_t i = 1; i < entries.size(); ++i) {
        children[entries[i].parent].push_back(i);
    }
    for (std::uint32_t s = 0; s < entries.size(); ++s) {
        std::vector<std::uint32_t>& c = children[s];
        if (c.empty()) {
            continue;
        }
        std::stable_sort(c.begin(), c.end(), [&](std::uint32_t a, std::uint32_t b) {
            return FormatCompare(entries[a].name, entries[b].name) < 0;
        });
        std::size_t levels = 0;
        while ((std::size_t{1} << levels) - 1 < c.size()) {
            ++levels;
        }
        bool perfect = (std::size_t{1} << levels) - 1 == c.size();
        // (range begin, range end, depth, where to store the subtree's root)
        struct Span {
            std::size_t begin, end, depth;
            std::uint32_t* link;
        };
        std::vector<Span> todo{{0, c.size(), 0, &child[s]}};
        while (!todo.empty()) {
            Span span = todo.back();
            todo.pop_back();
            if (span.begin >= span.end) {
                continue;
            }
            std::size_t middle = (span.begin + span.end) / 2;
            std::uint32_t node = c[middle];
            *span.link = node;
            if (!perfect && span.depth + 1 == levels) {
                colour[node] = 0;
            }
            todo.push_back({span.begin, middle, span.depth + 1, &left[node]});
            todo.push_back({middle + 1, span.end, span.depth + 1, &right[node]});
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        std::uint8_t* p = bytes.data() + i * kEntrySize;
        std::memcpy(p, e.raw.data(), kEntrySize);
        std::memset(p, 0, 64);
        for (std::size_t k = 0; k < e.name.size(); ++k) {
            Put16(p + 2 * k, e.name[k]);
        }
        Put16(p + 64, static_cast<std::uint16_t>(e.name.size() * 2 + 2));
        p[66] = e.type;
        p[67] = colour[i];
        Put32(p + 68, left[i]);
        Put32(p + 72, right[i]);
        Put32(p + 76, child[i]);
        Put32(p + 116, e.type == kTypeStorage ? 0 : e.start);
        Put32(p + 120, static_cast<std::uint32_t>(e.size));
        Put32(p + 124, sector_size == 512 ? 0 : static_cast<std::uint32_t>(e.size >> 32));
    }
    return bytes;
}

void CompoundDocument::Impl::WriteMetadata() {
    const std::uint32_t per = PerSector();
    auto table_sector = [&](const Table& table, std::size_t k) {
        std::vector<std::uint8_t> sector(sector_size);
        for (std::uint32_t j = 0; j < per; ++j) {
            std::size_t i = k * per + j;
            Put32(sector.data() + 4 * j, i < table.next.size() ? table.next[i] : kFree);
        }
        return sector;
    };
    for (std::size_t k = 0; k < fat_sectors.size(); ++k) {
        if (k < fat.dirty.size() && fat.dirty[k]) {
            QueueOwned(Offset(fat_sectors[k]), table_sector(fat, k));
        }
    }
    fat.dirty.assign(fat_sectors.size(), false);
    std::size_t listed = kHeaderDifatSlots;
    for (std::size_t k = 0; k < difat_sectors.size(); ++k) {
        std::vector<std::uint8_t> sector(sector_size);
        for (std::uint32_t j = 0; j + 1 < per; ++j, ++listed) {
            Put32(sector.data() + 4 * j, listed < fat_sectors.size() ? fat_sectors[listed] : kFree);
        }
        Put32(sector.data() + 4 * (per - 1),
              k + 1 < difat_sectors.size() ? difat_sectors[k + 1] : kEnd);
        QueueOwned(Offset(difat_sectors[k]), std::move(sector));
    }
    std::vector<std::uint32_t> chain = fat.Chain(mini_fat_start);
    for (std::size_t k = 0; k < chain.size(); ++k) {
        QueueOwned(Offset(chain[k]), table_sector(mini, k));
    }
    const std::uint32_t mini_fat_count = static_cast<std::uint32_t>(chain.size());
    chain = fat.Chain(directory_start);
    owned.push_back(DirectoryBytes());
    WriteSectors(chain, owned.back().data(), owned.back().size());

    std::vector<std::uint8_t> header(sector_size, 0);
    std::memcpy(header.data(), header_start.data(), header_start.size());
    Put32(header.data() + 40, sector_size == 512 ? 0 : static_cast<std::uint32_t>(chain.size()));
    Put32(header.data() + 44, static_cast<std::uint32_t>(fat_sectors.size()));
    Put32(header.data() + 48, directory_start);
    Put32(header.data() + 56, static_cast<std::uint32_t>(kMiniCutoff));
    Put32(header.data() + 60, mini_fat_count == 0 ? kEnd : mini_fat_start);
    Put32(header.data() + 64, mini_fat_count);
    Put32(header.data() + 68, difat_sectors.empty() ? kEnd : difat_sectors[0]);
    Put32(header.data() + 72, static_cast<std::uint32_t>(difat_sectors.size()));
    for (std::size_t i = 0; i < kHeaderDifatSlots; ++i) {
        Put32(header.data() + 76 + 4 * i, i < fat_sectors.size() ? fat_sectors[i] : kFree);
    }
    QueueOwned(0, std::move(header));
}

// ---- the interface ----------------------------------------------------------------------------

CompoundDocument::CompoundDocument() : impl_(std::make_unique<Impl>()) {}
CompoundDocument::~CompoundDocument() = default;

bool CompoundDocument::Create(const std::string& path) {
    Close();
    Impl& d = *impl_;
    if (!d.file.Create(path)) {
        return false;
    }
    std::memcpy(d.header_start.data(), kSignature, sizeof kSignature);
    Put16(d.header_start.data() + 24, 0x003B);
    Put16(d.header_start.data() + 26, 3);
    Put16(d.header_start.data() + 28, 0xFFFE);
    Put16(d.header_start.data() + 30, 9);
    Put16(d.header_start.data() + 32, 6);
    // Sector 0 holds the FAT, sector 1 the directory.
    d.fat.per_sector = d.mini.per_sector = d.PerSector();
    d.fat.next = {kFatSector, kEnd};
    d.fat.MarkDirty(0);
    d.fat_sectors = {0};
    d.directory_start = 1;
    Entry root;
    root.name = u"Root Entry";
    root.type = kTypeRoot;
    d.entries.push_back(root);
    d.disk_sectors = 0;
    if (!d.Commit(kNoEntryId, nullptr, 0)) {
        Close();
        return false;
    }
    d.open = true;
    return true;
}

bool CompoundDocument::Open(const std::string& path) {
    Close();
    Impl& d = *impl_;
    if (!d.file.Open(path) || !d.Load()) {
        Close();
        return false;
    }
    d.open = true;
    return true;
}

void CompoundDocument::Close() {
    impl_ = std::make_unique<Impl>();
}

bool CompoundDocument::IsOpen() const {
    return impl_->open;
}

int CompoundDocument::ChangeStorage(std::u16string_view path) {
    if (!impl_->open) {
        return kFileError;
    }
    std::uint32_t storage;
    int result = impl_->FindStorage(path, storage);
    if (result == kSuccess) {
        impl_->current = storage;
    }
    return result;
}

int CompoundDocument::MakeStorage(std::u16string_view path) {
    if (!impl_->open || !impl_->file.writable()) {
        return kFileError;
    }
    int result = impl_->Make(path, kTypeStorage);
    if (result == kFileError) {
        Close();
    }
    return result;
}

int CompoundDocument::MakeStream(std::u16string_view path) {
    if (!impl_->open || !impl_->file.writable()) {
        return kFileError;
    }
    int result = impl_->Make(path, kTypeStream);
    if (result == kFileError) {
        Close();
    }
    return result;
}

int CompoundDocument::StreamSize(std::u16string_view path, std::uint64_t& size) {
    if (!impl_->open) {
        return kFileError;
    }
    if (path == u"\\") {
        size = impl_->entries[0].size;
        return kSuccess;
    }
    std::uint32_t index;
    int result = impl_->FindStream(path, index);
    if (result == kSuccess) {
        size = impl_->entries[index].size;
    }
    return result;
}

int CompoundDocument::ReadStream(std::u16string_view path, std::vector<std::uint8_t>& data) {
    data.clear();
    Impl& d = *impl_;
    if (!d.open) {
        return kFileError;
    }
    std::uint32_t index;
    int result = d.FindStream(path, index);
    if (result != kSuccess) {
        return result;
    }
    const Entry& e = d.entries[index];
    data.resize(static_cast<std::size_t>(e.size));
    std::size_t offset = 0;
    if (d.IsSmall(e)) {
        for (std::uint32_t m : d.mini.Chain(e.start)) {
            if (offset >= data.size()) {
                break;
            }
            std::size_t length = std::min<std::size_t>(kMiniSectorSize, data.size() - offset);
            std::memcpy(data.data() + offset,
                        d.mini_stream.data() + std::size_t{m} * kMiniSectorSize, length);
            offset += length;
        }
        return kSuccess;
    }
    std::vector<std::uint32_t> chain = d.fat.Chain(e.start);
    for (std::size_t i = 0; i < chain.size() && offset < data.size();) {
        std::size_t j = i + 1;
        while (j < chain.size() && chain[j] == chain[j - 1] + 1) {
            ++j;
        }
        std::size_t length = std::min<std::size_t>((j - i) * d.sector_size, data.size() - offset);
        if (!d.file.Read(d.Offset(chain[i]), data.data() + offset, length)) {
            data.clear();
            return kFileError;
        }
        offset += length;
        i = j;
    }
    return kSuccess;
}

int CompoundDocument::WriteStream(std::u16string_view path, const void* data, std::size_t size) {
    Impl& d = *impl_;
    if (!d.open || !d.file.writable()) {
        return kFileError;
    }
    std::uint32_t index;
    int result = d.FindStream(path, index);
    if (result != kSuccess) {
        return result;
    }
    if (size > 0xFFFFFFFFu) {
        return kTooLarge;
    }
    Entry& e = d.entries[index];
    bool was_big = d.IsBig(e);
    bool big = size >= kMiniCutoff;
    if (was_big != big) {
        (was_big ? d.fat : d.mini).ResizeChain(e.start, 0);
    }
    if (big) {
        d.fat.ResizeChain(e.start, static_cast<std::size_t>(CeilDiv(size, d.sector_size)));
    } else {
        d.mini.ResizeChain(e.start, static_cast<std::size_t>(CeilDiv(size, kMiniSectorSize)));
    }
    e.size = size;
    if (!d.Commit(index, static_cast<const std::uint8_t*>(data), size)) {
        Close();
        return kFileError;
    }
    return kSuccess;
}

int CompoundDocument::ListStorage(std::u16string_view path, std::vector<EntryInfo>& entries) {
    entries.clear();
    Impl& d = *impl_;
    if (!d.open) {
        return kFileError;
    }
    std::uint32_t storage;
    int result = d.FindStorage(path, storage);
    if (result != kSuccess) {
        return result;
    }
    for (std::uint32_t i = 1; i < d.entries.size(); ++i) {
        const Entry& e = d.entries[i];
        if (e.parent == storage) {
            entries.push_back({e.name, e.type == kTypeStorage, e.type == kTypeStream ? e.size : 0});
        }
    }
    return kSuccess;
}

}  // namespace cfb
