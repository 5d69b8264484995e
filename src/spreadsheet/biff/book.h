// The workbook model: the record model (globals and, per sheet, its records) and per sheet a
// grid of typed cells, with loading from and saving to the bytes of a "Workbook" stream.
//
// Cells: type 0 undefined, 1 32-bit integer, 2 double, 3 narrow string (ANSI code page),
// 4 wide string (UTF-16); the variant index is the type. A grid has a row count and a column
// count (rows 0-65535, columns 0-255 exist) and keeps storage only for cells that were set, so
// its memory follows the cells set, not its counts. Texts are cut to 32 767 UTF-16 units, the
// most a cell text can hold in the file. Text cells share their characters (see SharedText):
// loading a file makes one text per shared string, however many cells refer to it, so the memory
// of a loaded book follows the size of its file.
//
// Not thread-safe: one Book is used by one thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "spreadsheet/biff/codepage.h"
#include "spreadsheet/biff/records.h"

namespace Biff {

// An immutable cell text. A short one is held in place (no allocation, as a short std::string
// is); a longer one is held once and shared by reference, so copying a cell copies a reference,
// not the characters: the cells of one long shared string of a loaded file hold it once.
// Compares by content. Takes as much room as a std::basic_string.
template <class Char>
class SharedText {
  public:
    using View = std::basic_string_view<Char>;
    using String = std::basic_string<Char>;

    SharedText() noexcept {}
    SharedText(View text) { Assign(text); }                 // NOLINT: a cell value
    SharedText(const Char* text) { Assign(View(text)); }    // NOLINT
    SharedText(const String& text) { Assign(View(text)); }  // NOLINT
    SharedText(String&& text) {                             // NOLINT
        if (text.size() <= kInline)
            Assign(View(text));
        else
            Share(std::move(text));
    }
    SharedText(const SharedText& other) { CopyFrom(other); }
    SharedText(SharedText&& other) noexcept { MoveFrom(other); }
    SharedText& operator=(const SharedText& other) {
        if (this != &other) {
            Release();
            CopyFrom(other);
        }
        return *this;
    }
    SharedText& operator=(SharedText&& other) noexcept {
        if (this != &other) {
            Release();
            MoveFrom(other);
        }
        return *this;
    }
    ~SharedText() { Release(); }

    View view() const { return tag_ == kShared ? View(shared_->text) : View(inline_, tag_); }
    bool operator==(const SharedText& other) const { return view() == other.view(); }
    // True when both refer to one stored text (short texts are never shared).
    bool SharesWith(const SharedText& other) const {
        return tag_ == kShared && other.tag_ == kShared && shared_ == other.shared_;
    }

    // For saving: the shared string table index given to this (shared) text by the save
    // numbered `save`, so that the cells sharing a long text are looked up once.
    bool SavedIndex(uint64_t save, uint32_t& index) const {
        if (tag_ != kShared || shared_->save != save)
            return false;
        index = shared_->index;
        return true;
    }
    void SetSavedIndex(uint64_t save, uint32_t index) const {
        if (tag_ == kShared) {
            shared_->save = save;
            shared_->index = index;
        }
    }

  private:
    struct Node {
        explicit Node(String t) : text(std::move(t)) {}
        String text;
        mutable uint64_t save = 0;
        mutable uint32_t index = 0;
    };
    static constexpr size_t kInline = 24 / sizeof(Char);
    static constexpr uint8_t kShared = 0xFF;

    void Assign(View text) {
        if (text.size() <= kInline) {
            std::copy(text.begin(), text.end(), inline_);
            tag_ = static_cast<uint8_t>(text.size());
        } else {
            Share(String(text));
        }
    }
    void Share(String&& text) {
        new (&shared_) std::shared_ptr<const Node>(std::make_shared<const Node>(std::move(text)));
        tag_ = kShared;
    }
    void CopyFrom(const SharedText& other) {
        if (other.tag_ == kShared)
            new (&shared_) std::shared_ptr<const Node>(other.shared_);
        else
            std::copy(other.inline_, other.inline_ + other.tag_, inline_);
        tag_ = other.tag_;
    }
    void MoveFrom(SharedText& other) noexcept {
        if (other.tag_ == kShared) {
            new (&shared_) std::shared_ptr<const Node>(std::move(other.shared_));
            other.shared_.~shared_ptr();
        } else {
            std::copy(other.inline_, other.inline_ + other.tag_, inline_);
        }
        tag_ = other.tag_;
        other.tag_ = 0;
    }
    void Release() noexcept {
        if (tag_ == kShared)
            shared_.~shared_ptr();
        tag_ = 0;
    }

    union {
        Char inline_[kInline];
        std::shared_ptr<const Node> shared_;
    };
    uint8_t tag_ = 0;  // length of an inline text, or kShared
};
using Text = SharedText<char>;
using WideText = SharedText<char16_t>;
static_assert(sizeof(Text) == sizeof(std::string) && sizeof(WideText) == sizeof(std::u16string));

using Cell = std::variant<std::monostate, int32_t, double, Text, WideText>;
enum CellType { kUndefined = 0, kInteger = 1, kDouble = 2, kString = 3, kWideString = 4 };

inline constexpr int kMaxRows = 65536;
inline constexpr int kMaxCols = 256;
inline constexpr size_t kMaxTextUnits = 32767;

class CellGrid {
  public:
    int rows() const { return rows_; }
    int cols() const { return cols_; }

    // The cell operation: null outside rows 0-65535 / columns 0-255; otherwise the counts grow
    // to include the cell, which is returned (a new cell is undefined). The pointer stays valid
    // until the next call that adds cells.
    Cell* cell(int row, int col);
    // Grows the counts like cell() without storing a cell; returns the cell if stored, a
    // shared undefined cell otherwise; null outside the limits.
    const Cell* touch(int row, int col) {
        if (!inside(row, col))
            return nullptr;
        rows_ = std::max(rows_, row + 1);
        cols_ = std::max(cols_, col + 1);
        const Cell* c = find(row, col);
        return c ? c : &kUndefinedCell;
    }
    // The cell if stored, else null; changes nothing.
    const Cell* find(int row, int col) const {
        if (!inside(row, col) || static_cast<size_t>(row) >= cells_.size())
            return nullptr;
        const std::vector<Cell>& r = cells_[static_cast<size_t>(row)];
        return static_cast<size_t>(col) < r.size() ? &r[static_cast<size_t>(col)] : nullptr;
    }
    // Makes room for `cols` cells in a row (a hint; changes no count).
    void reserveRow(int row, int cols);
    // Grows the counts (never shrinks them), clamped to the limits.
    void extend(uint32_t rows, uint32_t cols);
    void clear();

    // The stored cells of a row (possibly shorter than the column count).
    const std::vector<Cell>& row(int r) const;
    size_t storedRows() const { return cells_.size(); }

  private:
    static bool inside(int row, int col) {
        return row >= 0 && row < kMaxRows && col >= 0 && col < kMaxCols;
    }
    static const Cell kUndefinedCell;  // what touch() returns for a cell not stored

    int rows_ = 0, cols_ = 0;
    std::vector<std::vector<Cell>> cells_;
};

// Double cells holding NaN or an infinity (which the file format cannot hold) are saved as the
// error value #NUM!; such a cell, like any error value, loads as an undefined cell.
//
// set string: an empty text makes the cell undefined, otherwise a narrow string cell (cut to the
// text limit at a character boundary).
void SetString(Cell& cell, std::string_view text, Converter& ansi);
// set wide string: the text passes through the ANSI code page (characters it cannot hold become
// '?'); cut to the text limit. If the code page is unknown the cell stays as it was.
void SetWideString(Cell& cell, std::u16string_view text, Converter& ansi);

// The workbook globals kept from a file or made for a new workbook.
struct Globals {
    BOF bof;
    Workbook::Window1 window1;
    std::vector<Workbook::Font> fonts;
    std::vector<Workbook::XF> xfs;
    std::vector<Workbook::Style> styles;
    std::vector<Workbook::BoundSheet> boundSheets;
    Workbook::SharedStringTable sst;
    Workbook::ExtSST extSst;
    bool hasExtSst = false;
    Eof eof;
};

// A sheet: its records (the row blocks are made while saving) and its cell grid.
struct Sheet {
    BOF bof;
    Worksheet::Index index;
    Worksheet::Dimensions dimensions;
    Worksheet::Window2 window2;
    Eof eof;
    CellGrid grid;
    Sheet();
};

class Book {
  public:
    // Resets to a new workbook with `sheets` empty sheets ("Sheet1", "Sheet2", ...).
    void reset(int sheets);
    // Parses a Workbook stream. Returns false when the stream does not begin with a BOF
    // record (the book then has no sheets); otherwise loads what it can and returns true.
    bool load(const uint8_t* data, size_t size);
    // Builds the stream from the cell grids.
    std::vector<uint8_t> save();

    size_t sheetCount() const { return sheets_.size(); }
    CellGrid* sheet(size_t i) { return i < sheets_.size() ? &sheets_[i]->grid : nullptr; }
    const Globals& globals() const { return globals_; }

  private:
    Globals globals_;
    std::vector<std::unique_ptr<Sheet>> sheets_;
};

}  // namespace Biff
