#include "spreadsheet/ZQExcel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/biff/book.h"
#include "spreadsheet/biff/codepage.h"
#include "spreadsheet/cfb/compound_document.h"

namespace {

constexpr char16_t kStreamName[] = u"Workbook";
constexpr size_t kNarrowPathMax = 510;
constexpr size_t kWidePathMax = 255;

bool Exists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::u16string WideText(const char16_t* text) {
    if (!text)
        return {};
    size_t n = 0;
    while (text[n])
        ++n;
    return std::u16string(text, n);
}

// A narrow path as the storage layer opens it: through the OEM code page to UTF-16, then to
// the ANSI code page.
std::string FilePath(const char* narrow) {
    // With one code page for both the round trip changes nothing (and keeps file names that
    // are not valid in it).
    if (Biff::OemCodePage() == Biff::AnsiCodePage())
        return narrow;
    Biff::Converter oem(Biff::OemCodePage()), ansi(Biff::AnsiCodePage());
    std::u16string wide;
    std::string path;
    if (!oem.ToWide(narrow, wide) || !ansi.FromWide(wide, path))
        return narrow;
    return path;
}

std::string FilePath(const std::u16string& wide) {
    Biff::Converter ansi(Biff::AnsiCodePage());
    std::string path;
    ansi.FromWide(wide, path);
    return path;
}

bool SameName(const std::u16string& a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// Copies the storages and streams below `path` of `from` into `to`, except the workbook stream
// directly under the root.
bool CopyEntries(cfb::CompoundDocument& from, cfb::CompoundDocument& to,
                 const std::u16string& path) {
    std::vector<cfb::EntryInfo> entries;
    if (from.ListStorage(path.empty() ? std::u16string_view(u"\\") : path, entries) !=
        cfb::kSuccess)
        return false;
    std::vector<uint8_t> data;
    for (const cfb::EntryInfo& e : entries) {
        std::u16string child = path + u"\\" + e.name;
        if (e.is_storage) {
            if (to.MakeStorage(child) != cfb::kSuccess || !CopyEntries(from, to, child))
                return false;
        } else if (!(path.empty() && SameName(e.name, kStreamName))) {
            if (from.ReadStream(child, data) != cfb::kSuccess ||
                to.MakeStream(child) != cfb::kSuccess ||
                to.WriteStream(child, data.data(), data.size()) != cfb::kSuccess)
                return false;
        }
    }
    return true;
}

// Writes a new document holding the workbook stream (and, with `source`, every other storage and
// stream of that document) beside `path` and renames it over `path`, so that a failed save leaves
// the disk as it was. `like` gives the permissions and owner of the file being replaced; without
// it the new file gets the permissions a new file normally gets. A write that fails (full disk,
// I/O error) leaves the old file; the new one is not synced
// before the rename (syncing every save cost a fifth of the time of a save and a load of a
// million cells), so durability across a power cut is the file system's (ext4 and others write
// the data of a file renamed over another before the rename).
bool WriteBeside(const std::string& path, const std::vector<uint8_t>& stream,
                 cfb::CompoundDocument* source, const struct stat* like) {
    if (path.empty())
        return false;
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0)
        return false;
    tmp.assign(name.data());
    bool ok;
    {
        cfb::CompoundDocument doc;
        ok = doc.Create(tmp) && doc.MakeStream(kStreamName) == cfb::kSuccess &&
             doc.WriteStream(kStreamName, stream.data(), stream.size()) == cfb::kSuccess &&
             (!source || CopyEntries(*source, doc, u""));
        doc.Close();
    }
    if (ok) {
        if (like) {
            // Best effort: only the owner or root may give a file away.
            if (::fchown(fd, like->st_uid, like->st_gid) != 0) {
                // the new file keeps this process's owner
            }
            ::fchmod(fd, like->st_mode & 07777);
        } else {
            // mkstemp makes the file private; give it the permissions a new file normally gets.
            mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
        }
        ok = ::close(fd) == 0;
        fd = -1;
        ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
    }
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        std::remove(tmp.c_str());
    return ok;
}

bool SaveNew(const std::string& path, const std::vector<uint8_t>& stream) {
    return WriteBeside(path, stream, nullptr, nullptr);
}

// Saves into the loaded file: a new document with the other streams of the open one, renamed over
// the file it was read from (over a symbolic link's target, keeping the link). A file this process
// may not write is left alone, as is one that is gone.
bool SaveLoaded(const std::string& path, cfb::CompoundDocument& doc,
                const std::vector<uint8_t>& stream) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    struct stat st;
    if (!real || ::stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(real.get(), W_OK) != 0)
        return false;
    return WriteBeside(real.get(), stream, &doc, &st);
}

}  // namespace

struct ZQExcel::Workbook {
    std::atomic<int> refs{1};
    Biff::Book book;
    std::unique_ptr<cfb::CompoundDocument> doc;  // the loaded file, kept open until the save
    std::string loaded;                          // its path
    std::string ansi_name;
    std::unique_ptr<Biff::Converter> ansi;

    Biff::Converter& Ansi() {
        std::string name = Biff::AnsiCodePage();
        if (!ansi || name != ansi_name) {
            ansi = std::make_unique<Biff::Converter>(name);
            ansi_name = name;
        }
        return *ansi;
    }
};

ZQExcel::ZQExcel()
    : current_sheet_(nullptr), reserved_(0), workbook_(nullptr), wide_path_(0), path_{}, wpath_{} {}

ZQExcel::~ZQExcel() {
    Release();
}

ZQExcel::ZQExcel(const ZQExcel& other) : ZQExcel() {
    *this = other;
}

ZQExcel& ZQExcel::operator=(const ZQExcel& other) {
    if (this == &other)
        return *this;
    if (other.workbook_)
        other.workbook_->refs.fetch_add(1);
    Release();
    current_sheet_ = other.current_sheet_;
    reserved_ = other.reserved_;
    workbook_ = other.workbook_;
    wide_path_ = other.wide_path_;
    std::memcpy(path_, other.path_, sizeof path_);
    std::memcpy(wpath_, other.wpath_, sizeof wpath_);
    return *this;
}

// Drops this object's share of the workbook; the last share saves and frees it.
void ZQExcel::Release() {
    Workbook* wb = workbook_;
    workbook_ = nullptr;
    current_sheet_ = nullptr;
    if (!wb || wb->refs.fetch_sub(1) > 1)
        return;
    if (wb->book.sheetCount() > 0) {
        std::vector<uint8_t> stream = wb->book.save();
        if (wide_path_ && wpath_[0]) {
            SaveNew(FilePath(WideText(wpath_)), stream);
        } else if (!wide_path_ && path_[0]) {
            SaveNew(FilePath(path_), stream);
        } else if (wb->doc && wb->doc->IsOpen()) {
            SaveLoaded(wb->loaded, *wb->doc, stream);
        }
    }
    delete wb;
}

void ZQExcel::Drop() {
    if (workbook_ && workbook_->refs.fetch_sub(1) == 1)
        delete workbook_;
    workbook_ = nullptr;
    current_sheet_ = nullptr;
}

// A shared workbook is left to the other objects.
void ZQExcel::Detach() {
    if (workbook_ && workbook_->refs.load() > 1)
        Drop();
    if (!workbook_)
        workbook_ = new Workbook;
}

// A path that the kept path could not hold whole is refused (the save would go elsewhere).
int ZQExcel::CreateExcel(const char* path) {
    if (!path || !*path || std::strlen(path) > kNarrowPathMax) {
        Drop();
        return 0;
    }
    if (Exists(path))
        ::unlink(path);
    Detach();
    if (workbook_->doc)
        workbook_->doc->Close();
    workbook_->book.reset(1);
    current_sheet_ = workbook_->book.sheet(0);
    std::memset(path_, 0, sizeof path_);
    std::memcpy(path_, path, std::strlen(path));
    wide_path_ = 0;
    if (!current_sheet_) {
        Drop();
        return 0;
    }
    return 1;
}

int ZQExcel::CreateExcel(const char16_t* path) {
    std::u16string wide = WideText(path);
    if (wide.empty() || wide.size() > kWidePathMax) {
        Drop();
        return 0;
    }
    std::string file = FilePath(wide);
    if (Exists(file))
        ::unlink(file.c_str());
    Detach();
    if (workbook_->doc)
        workbook_->doc->Close();
    workbook_->book.reset(1);
    current_sheet_ = workbook_->book.sheet(0);
    std::memset(wpath_, 0, sizeof wpath_);
    std::memcpy(wpath_, wide.data(), wide.size() * sizeof(char16_t));
    wide_path_ = 1;
    if (!current_sheet_) {
        Drop();
        return 0;
    }
    return 1;
}

namespace {

// Opens the document and reads its workbook stream; false when either is missing.
bool OpenWorkbook(const std::string& file, std::unique_ptr<cfb::CompoundDocument>& doc,
                  std::vector<uint8_t>& stream) {
    doc = std::make_unique<cfb::CompoundDocument>();
    return doc->Open(file) && doc->ReadStream(kStreamName, stream) == cfb::kSuccess;
}

}  // namespace

int ZQExcel::Load(const char* file) {
    std::unique_ptr<cfb::CompoundDocument> doc;
    std::vector<uint8_t> stream;
    if (!OpenWorkbook(file, doc, stream))
        return 0;
    Biff::Book book;
    if (!book.load(stream.data(), stream.size()) || book.sheetCount() == 0) {
        // Nothing to show and nothing that could be saved back: this object is left without a
        // workbook (dropped unsaved) and the file untouched.
        Drop();
        return 0;
    }
    Detach();
    workbook_->book = std::move(book);
    workbook_->doc = std::move(doc);
    workbook_->loaded = file;
    current_sheet_ = workbook_->book.sheet(0);
    return 1;
}

int ZQExcel::LoadExcel(const char* path) {
    if (!path || !Exists(path))
        return 0;
    return Load(FilePath(path).c_str());
}

int ZQExcel::LoadExcel(const char16_t* path) {
    std::string file = FilePath(WideText(path));
    if (!Exists(file))
        return 0;
    return Load(file.c_str());
}

namespace {
Biff::CellGrid* Grid(void* p) {
    return static_cast<Biff::CellGrid*>(p);
}
}  // namespace

bool ZQExcel::Get(int row, int col, int32_t& value) {
    if (!current_sheet_)
        return false;
    const Biff::Cell* c = Grid(current_sheet_)->touch(row, col);
    if (!c)
        return false;
    if (const int32_t* i = std::get_if<int32_t>(c)) {
        value = *i;
        return true;
    }
    if (const double* d = std::get_if<double>(c)) {
        double t = std::trunc(*d);
        if (!(t >= -2147483648.0 && t <= 2147483647.0))
            return false;  // also NaN
        value = static_cast<int32_t>(t);
        return true;
    }
    return false;
}

bool ZQExcel::Get(int row, int col, double& value) {
    if (!current_sheet_)
        return false;
    const Biff::Cell* c = Grid(current_sheet_)->touch(row, col);
    if (!c)
        return false;
    if (const double* d = std::get_if<double>(c)) {
        value = *d;
        return true;
    }
    if (const int32_t* i = std::get_if<int32_t>(c)) {
        value = *i;
        return true;
    }
    return false;
}

namespace {

template <class Char, class String>
bool GetText(void* sheet, int row, int col, Char* text, long capacity) {
    if (!sheet || !text)
        return false;
    const Biff::Cell* c = Grid(sheet)->touch(row, col);
    if (!c)
        return false;
    if (c->index() == Biff::kUndefined) {
        if (capacity == 0)
            return false;
        text[0] = 0;
        return true;
    }
    const String* shared = std::get_if<String>(c);
    if (!shared)
        return false;
    const auto s = shared->view();
    if (capacity >= 0 && static_cast<size_t>(capacity) < s.size() + 1)
        return false;
    std::memcpy(text, s.data(), s.size() * sizeof(Char));
    text[s.size()] = 0;
    return true;
}

}  // namespace

bool ZQExcel::Get(int row, int col, char* text) {
    return GetText<char, Biff::Text>(current_sheet_, row, col, text, -1);
}
bool ZQExcel::Get(int row, int col, char16_t* text) {
    return GetText<char16_t, Biff::WideText>(current_sheet_, row, col, text, -1);
}
bool ZQExcel::Get(int row, int col, char* text, int capacity) {
    return capacity > 0 && GetText<char, Biff::Text>(current_sheet_, row, col, text, capacity);
}
bool ZQExcel::Get(int row, int col, char16_t* text, int capacity) {
    return capacity > 0 &&
           GetText<char16_t, Biff::WideText>(current_sheet_, row, col, text, capacity);
}

void ZQExcel::Set(int row, int col, int32_t value) {
    if (!current_sheet_)
        return;
    if (Biff::Cell* c = Grid(current_sheet_)->cell(row, col))
        *c = value;
}

void ZQExcel::Set(int row, int col, double value) {
    if (!current_sheet_)
        return;
    if (Biff::Cell* c = Grid(current_sheet_)->cell(row, col))
        *c = value;
}

void ZQExcel::Set(int row, int col, const char* text) {
    if (!current_sheet_)
        return;
    if (Biff::Cell* c = Grid(current_sheet_)->cell(row, col))
        Biff::SetString(*c, text ? text : "", workbook_->Ansi());
}

void ZQExcel::Set(int row, int col, const char16_t* text) {
    if (!current_sheet_)
        return;
    if (Biff::Cell* c = Grid(current_sheet_)->cell(row, col))
        Biff::SetWideString(*c, WideText(text), workbook_->Ansi());
}

int ZQExcel::GetRows() {
    return current_sheet_ ? Grid(current_sheet_)->rows() : 0;
}
int ZQExcel::GetCols() {
    return current_sheet_ ? Grid(current_sheet_)->cols() : 0;
}

char* ZQExcel::WideToASNChar(const char16_t* text, int& length) {
    Biff::Converter ansi(Biff::AnsiCodePage());
    std::string out;
    if (!text || !ansi.FromWide(WideText(text), out) || out.size() > 0x7FFFFFF0u) {
        length = 0;
        return new char[1]();
    }
    char* result = new char[out.size() + 2]();
    std::memcpy(result, out.data(), out.size());
    length = static_cast<int>(out.size() + 1);
    return result;
}

char16_t* ZQExcel::ASNToWideChar(const char* text, int& length) {
    Biff::Converter oem(Biff::OemCodePage());
    std::u16string out;
    if (!text || !oem.ToWide(text, out) || out.size() > 0x7FFFFFF0u) {
        length = 0;
        return new char16_t[1]();
    }
    char16_t* result = new char16_t[out.size() + 1]();
    std::memcpy(result, out.data(), out.size() * sizeof(char16_t));
    length = static_cast<int>(out.size() + 1);
    return result;
}

bool ZQExcel::SetCodePages(const char* ansi, const char* oem) {
    return Biff::SetCodePages(ansi, oem);
}
