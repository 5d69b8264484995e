#include "spreadsheet/biff/book.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <unordered_map>

namespace Biff {

using namespace Worksheet::CellTable::RowBlock;
using namespace Worksheet::CellTable::RowBlock::CellBlock;

// ---- cell grid ----

namespace {
const std::vector<Cell> kEmptyRow;

void CutWide(std::u16string& w) {
    if (w.size() <= kMaxTextUnits)
        return;
    size_t n = kMaxTextUnits;
    if (w[n - 1] >= 0xD800 && w[n - 1] <= 0xDBFF)
        --n;  // keep surrogate pairs whole
    w.resize(n);
}
}  // namespace

Cell* CellGrid::cell(int row, int col) {
    if (!inside(row, col))
        return nullptr;
    rows_ = std::max(rows_, row + 1);
    cols_ = std::max(cols_, col + 1);
    if (cells_.size() <= static_cast<size_t>(row))
        cells_.resize(static_cast<size_t>(row) + 1);
    std::vector<Cell>& r = cells_[static_cast<size_t>(row)];
    if (r.size() == static_cast<size_t>(col))
        return &r.emplace_back();  // the next cell of the row, as a row is usually filled
    if (r.size() < static_cast<size_t>(col))
        r.resize(static_cast<size_t>(col) + 1);
    return &r[static_cast<size_t>(col)];
}

const Cell CellGrid::kUndefinedCell;

void CellGrid::reserveRow(int row, int cols) {
    if (!inside(row, 0) || cols <= 0)
        return;
    if (cells_.size() <= static_cast<size_t>(row))
        cells_.resize(static_cast<size_t>(row) + 1);
    cells_[static_cast<size_t>(row)].reserve(static_cast<size_t>(std::min(cols, kMaxCols)));
}

void CellGrid::extend(uint32_t rows, uint32_t cols) {
    rows_ = std::max<int>(rows_, static_cast<int>(std::min<uint32_t>(rows, kMaxRows)));
    cols_ = std::max<int>(cols_, static_cast<int>(std::min<uint32_t>(cols, kMaxCols)));
}

void CellGrid::clear() {
    rows_ = cols_ = 0;
    cells_.clear();
}

const std::vector<Cell>& CellGrid::row(int r) const {
    return r >= 0 && static_cast<size_t>(r) < cells_.size() ? cells_[static_cast<size_t>(r)]
                                                            : kEmptyRow;
}

void SetString(Cell& cell, std::string_view text, Converter& ansi) {
    if (text.empty()) {
        cell = std::monostate{};
        return;
    }
    // No code page takes fewer than one byte per UTF-16 unit, so only long texts need a look.
    if (text.size() > kMaxTextUnits) {
        std::u16string w;
        if (ansi.ToWide(text, w) && w.size() > kMaxTextUnits) {
            CutWide(w);
            std::string cut;
            ansi.FromWide(w, cut);
            cell = Text(std::move(cut));
            return;
        }
    }
    cell = Text(text);
}

void SetWideString(Cell& cell, std::u16string_view text, Converter& ansi) {
    std::string narrow;
    if (!ansi.FromWide(text, narrow))
        return;
    std::u16string back;
    if (!ansi.ToWide(narrow, back))
        return;
    CutWide(back);
    cell = WideText(std::move(back));
}

// ---- model defaults ----

Sheet::Sheet() {
    bof.type = BOF::kWorksheet;
}

namespace {

void DefaultFormats(Globals& g) {
    if (g.fonts.empty())
        g.fonts.resize(4);
    if (g.xfs.empty())
        g.xfs.resize(21);
}

XLString SheetName(size_t i) {
    return XLString::Narrow("Sheet" + std::to_string(i + 1));
}

// Position behind the record at `pos` (its CONTINUE records are separate records); `size`
// when the record is cut off.
size_t SkipRecord(const uint8_t* data, size_t size, size_t pos) {
    if (pos + 4 > size)
        return size;
    size_t next = pos + 4 + Get16(data + pos + 2);
    return next > size ? size : next;
}

// Skips the rest of a substream whose BOF was read, up to and including its EOF.
void SkipSubstream(const uint8_t* data, size_t size, size_t& pos) {
    int depth = 1;
    while (pos + 4 <= size && depth > 0) {
        uint16_t code = Get16(data + pos);
        if (code == BOF::kCode)
            ++depth;
        else if (code == Eof::kCode)
            --depth;
        pos = SkipRecord(data, size, pos);
    }
    if (pos + 4 > size)
        pos = size;
}

}  // namespace

void Book::reset(int sheets) {
    globals_ = Globals{};
    DefaultFormats(globals_);
    globals_.styles.resize(6);
    sheets_.clear();
    for (int i = 0; i < sheets; ++i) {
        Workbook::BoundSheet b;
        b.name = SheetName(static_cast<size_t>(i));
        globals_.boundSheets.push_back(b);
        sheets_.push_back(std::make_unique<Sheet>());
    }
}

// ---- loading ----

namespace {

// Reads one record of a kind kept in the model; false when the stream ends inside it.
template <class R>
bool ReadInto(R& record, const uint8_t* data, size_t size, size_t& pos) {
    size_t n = record.read(data + pos, size - pos);
    if (n == 0) {
        pos = size;
        return false;
    }
    pos += n;
    return true;
}

void LoadGlobals(Globals& g, const uint8_t* data, size_t size, size_t& pos) {
    while (pos + 4 <= size) {
        uint16_t code = Get16(data + pos);
        switch (code) {
            case Eof::kCode:
                pos = SkipRecord(data, size, pos);
                return;
            case Workbook::Font::kCode: {
                Workbook::Font f;
                if (ReadInto(f, data, size, pos))
                    g.fonts.push_back(std::move(f));
                break;
            }
            case Workbook::Window1::kCode:
                ReadInto(g.window1, data, size, pos);
                break;
            case Workbook::BoundSheet::kCode: {
                Workbook::BoundSheet b;
                if (ReadInto(b, data, size, pos))
                    g.boundSheets.push_back(std::move(b));
                break;
            }
            case Workbook::XF::kCode: {
                Workbook::XF x;
                if (ReadInto(x, data, size, pos))
                    g.xfs.push_back(std::move(x));
                break;
            }
            case Workbook::Style::kCode: {
                Workbook::Style s;
                if (ReadInto(s, data, size, pos))
                    g.styles.push_back(std::move(s));
                break;
            }
            case Workbook::SharedStringTable::kCode:
                ReadInto(g.sst, data, size, pos);
                break;
            case Workbook::ExtSST::kCode:
                g.hasExtSst = ReadInto(g.extSst, data, size, pos);
                break;
            case BOF::kCode:
                pos = SkipRecord(data, size, pos);
                SkipSubstream(data, size, pos);
                break;
            default:
                pos = SkipRecord(data, size, pos);
        }
    }
}

// The cell value of a text read from the file in its 8-bit (Latin-1) or UTF-16 form.
void MakeTextCell(Cell& cell, bool wide, const std::string& latin1, const std::u16string& utf16,
                  Converter& ansi) {
    if (wide) {
        SetWideString(cell, utf16, ansi);
        return;
    }
    bool ascii = std::all_of(latin1.begin(), latin1.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        SetString(cell, latin1, ansi);
    } else {
        std::string text;
        ansi.FromWide(Latin1ToWide(latin1), text);
        SetString(cell, text, ansi);
    }
}

// Cell values of shared strings, made once per entry on first use; every cell that refers to an
// entry shares its text.
class SharedCells {
  public:
    SharedCells(const Workbook::SharedStringTable& sst, Converter& ansi)
        : sst_(sst), ansi_(ansi), cells_(sst.entries.size()), made_(sst.entries.size(), false) {}
    const Cell* get(uint32_t index) {
        if (index >= cells_.size())
            return nullptr;
        if (!made_[index]) {
            const auto& e = sst_.entries[index];
            MakeTextCell(cells_[index], e.wide, e.latin1, e.utf16, ansi_);
            made_[index] = true;
        }
        return &cells_[index];
    }
    Converter& ansi() { return ansi_; }

  private:
    const Workbook::SharedStringTable& sst_;
    Converter& ansi_;
    std::vector<Cell> cells_;
    std::vector<bool> made_;
};

// Gives `to` the value of the shared string cell `from`.
void CopyCell(Cell& to, const Cell& from) {
    const Text* t = std::get_if<Text>(&from);
    if (t && to.index() == kUndefined)
        to.emplace<Text>(*t);  // a new cell: no old value to assign over
    else
        to = from;
}

void SetRK(CellGrid& grid, int row, int col, uint32_t rk) {
    Cell* c = grid.cell(row, col);
    if (!c)
        return;
    RKValue v = DecodeRK(rk);
    if (v.isInt)
        *c = v.i;
    else
        *c = v.d;
}

// The body of the cell record at `pos` when it is read straight from the stream: whole, at least
// `least` bytes long and not followed by a continuation (which the record model would join to
// it); null otherwise. Sets `next` to the position after the record.
const uint8_t* PlainBody(const uint8_t* data, size_t size, size_t pos, size_t least, size_t& len,
                         size_t& next) {
    len = Get16(data + pos + 2);
    next = pos + 4 + len;
    if (len < least || next > size || (next + 4 <= size && Get16(data + next) == kContinue))
        return nullptr;
    return data + pos + 4;
}

void LoadSheet(Sheet& sheet, SharedCells& strings, const uint8_t* data, size_t size, size_t& pos) {
    CellGrid& grid = sheet.grid;
    RK rk;
    MulRK mulrk;
    Number number;
    BoolErr boolerr;
    LabelSST label;
    Label text;
    RString rich;
    Row row;
    // Room reserved for the cells a Row record announces, at most one cell for every 6 bytes of
    // the stream (the least a cell takes in a file), so that a lying Row record costs little.
    size_t budget = (size - pos) / 6;
    while (pos + 4 <= size) {
        uint16_t code = Get16(data + pos);
        // The cell records of numbers and shared strings, by far the most frequent, are decoded
        // in place; anything unusual about one takes the record model's path below.
        size_t len, next;
        const uint8_t* body = nullptr;
        switch (code) {
            case RK::kCode:
                if ((body = PlainBody(data, size, pos, 10, len, next)))
                    SetRK(grid, Get16(body), Get16(body + 2), Get32(body + 6));
                break;
            case MulRK::kCode:
                if ((body = PlainBody(data, size, pos, 6, len, next))) {
                    const int r = Get16(body), first = Get16(body + 2);
                    const size_t n = (len - 6) / 6;
                    for (size_t i = 0; i < n && first + static_cast<int>(i) < kMaxCols; ++i)
                        SetRK(grid, r, first + static_cast<int>(i), Get32(body + 6 + 6 * i));
                }
                break;
            case Number::kCode:
                if ((body = PlainBody(data, size, pos, 14, len, next))) {
                    if (Cell* c = grid.cell(Get16(body), Get16(body + 2)))
                        *c = GetDouble(body + 6);
                }
                break;
            case LabelSST::kCode:
                if ((body = PlainBody(data, size, pos, 10, len, next))) {
                    if (const Cell* s = strings.get(Get32(body + 6))) {
                        if (Cell* c = grid.cell(Get16(body), Get16(body + 2)))
                            CopyCell(*c, *s);
                    }
                }
                break;
            default:
                break;
        }
        if (body) {
            pos = next;
            continue;
        }
        switch (code) {
            case Eof::kCode:
                pos = SkipRecord(data, size, pos);
                return;
            case Worksheet::Dimensions::kCode:
                if (ReadInto(sheet.dimensions, data, size, pos))
                    grid.extend(sheet.dimensions.lastRowPlus1, sheet.dimensions.lastColPlus1);
                break;
            case Worksheet::Index::kCode:
                ReadInto(sheet.index, data, size, pos);
                break;
            case Worksheet::Window2::kCode:
                ReadInto(sheet.window2, data, size, pos);
                break;
            case Row::kCode:
                if (ReadInto(row, data, size, pos)) {
                    const size_t n = std::min<size_t>(row.lastColPlus1, kMaxCols);
                    if (n <= budget && grid.row(row.row).capacity() == 0) {
                        budget -= n;
                        grid.reserveRow(row.row, static_cast<int>(n));
                    }
                }
                break;
            case RK::kCode:
                if (ReadInto(rk, data, size, pos))
                    SetRK(grid, rk.row, rk.col, rk.rk);
                break;
            case MulRK::kCode:
                if (ReadInto(mulrk, data, size, pos)) {
                    for (size_t i = 0; i < mulrk.values.size(); ++i) {
                        int col = mulrk.firstCol + static_cast<int>(i);
                        if (col >= kMaxCols)
                            break;
                        SetRK(grid, mulrk.row, col, mulrk.values[i].rk);
                    }
                }
                break;
            case Number::kCode:
                if (ReadInto(number, data, size, pos)) {
                    if (Cell* c = grid.cell(number.row, number.col))
                        *c = number.value;
                }
                break;
            case BoolErr::kCode:
                // An error value is no Boolean: its cell stays undefined.
                if (ReadInto(boolerr, data, size, pos) && boolerr.isError == 0) {
                    if (Cell* c = grid.cell(boolerr.row, boolerr.col))
                        *c = int32_t{boolerr.value != 0};
                }
                break;
            case LabelSST::kCode:
                if (ReadInto(label, data, size, pos)) {
                    if (const Cell* s = strings.get(label.index)) {
                        if (Cell* c = grid.cell(label.row, label.col))
                            CopyCell(*c, *s);
                    }
                }
                break;
            case Label::kCode:
            case RString::kCode: {
                // Text cells with their own text (gnumeric writes RSTRING for texts that mix
                // scripts): string cells like shared strings, saved back as shared strings.
                TextCell& t = code == Label::kCode ? static_cast<TextCell&>(text) : rich;
                if (ReadInto(t, data, size, pos)) {
                    if (Cell* c = grid.cell(t.row, t.col))
                        MakeTextCell(*c, t.wide, t.latin1, t.utf16, strings.ansi());
                }
                break;
            }
            case BOF::kCode:
                pos = SkipRecord(data, size, pos);
                SkipSubstream(data, size, pos);
                break;
            default:
                // Row, DBCell, Blank, MulBlank, formulas and their records, and everything
                // else: no cell value.
                pos = SkipRecord(data, size, pos);
        }
    }
}

}  // namespace

bool Book::load(const uint8_t* data, size_t size) {
    globals_ = Globals{};
    sheets_.clear();
    if (size < 4 || Get16(data) != BOF::kCode)
        return false;
    Converter ansi(AnsiCodePage());
    std::unique_ptr<SharedCells> strings;
    std::vector<size_t> offsets;  // stream offset of each loaded sheet's BOF
    bool have_globals = false;
    size_t pos = 0;
    while (pos + 4 <= size && Get16(data + pos) == BOF::kCode) {
        size_t at = pos;
        BOF bof;
        if (!ReadInto(bof, data, size, pos))
            break;
        if (bof.type == BOF::kGlobals && !have_globals) {
            have_globals = true;
            globals_.bof = bof;
            LoadGlobals(globals_, data, size, pos);
        } else if (bof.type == BOF::kWorksheet) {
            if (!strings)
                strings = std::make_unique<SharedCells>(globals_.sst, ansi);
            auto sheet = std::make_unique<Sheet>();
            sheet->bof = bof;
            LoadSheet(*sheet, *strings, data, size, pos);
            sheets_.push_back(std::move(sheet));
            offsets.push_back(at);
        } else {
            // Chart, macro and other substreams are skipped whole.
            SkipSubstream(data, size, pos);
        }
    }
    globals_.bof.type = BOF::kGlobals;
    DefaultFormats(globals_);
    // One bound sheet per loaded worksheet: the one that points at it, else the next unused.
    std::vector<Workbook::BoundSheet> bound;
    std::vector<bool> used(globals_.boundSheets.size(), false);
    for (size_t i = 0; i < offsets.size(); ++i) {
        size_t pick = globals_.boundSheets.size();
        for (size_t k = 0; k < globals_.boundSheets.size(); ++k) {
            if (!used[k] && globals_.boundSheets[k].position == offsets[i]) {
                pick = k;
                break;
            }
        }
        for (size_t k = 0; pick == globals_.boundSheets.size() && k < globals_.boundSheets.size();
             ++k) {
            if (!used[k] && (globals_.boundSheets[k].visibilityAndType >> 8) == 0)
                pick = k;
        }
        if (pick < globals_.boundSheets.size()) {
            used[pick] = true;
            bound.push_back(globals_.boundSheets[pick]);
        } else {
            Workbook::BoundSheet b;
            b.name = SheetName(i);
            bound.push_back(b);
        }
    }
    globals_.boundSheets = std::move(bound);
    return true;
}

// ---- saving ----

namespace {

// The shared string table index of each text seen while saving: open addressing over a flat
// array of (32-bit hash, key number) slots, so that a look-up costs one or two cache misses
// rather than a chain of node hops.
template <class Char>
class TextTable {
  public:
    using View = std::basic_string_view<Char>;
    explicit TextTable(size_t expected) {
        size_t cap = 16;
        while (cap < expected)
            cap <<= 1;
        slots_.assign(cap, 0);
    }
    // The value of `text`; when absent, `make()` gives it and the text is added.
    template <class Make>
    uint32_t FindOrAdd(View text, Make make) {
        const uint32_t h = static_cast<uint32_t>(std::hash<View>{}(text));
        size_t mask = slots_.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            const uint64_t slot = slots_[i];
            if (slot == 0) {
                const uint32_t value = make();
                keys_.emplace_back(text);
                values_.push_back(value);
                slots_[i] = (uint64_t{h} << 32) | keys_.size();
                if (keys_.size() * 2 > slots_.size())
                    Grow();
                return value;
            }
            if ((slot >> 32) == h && View(keys_[(slot & 0xFFFFFFFFu) - 1]) == text)
                return values_[(slot & 0xFFFFFFFFu) - 1];
        }
    }

  private:
    void Grow() {
        std::vector<uint64_t> old;
        old.swap(slots_);
        slots_.assign(old.size() * 2, 0);
        const size_t mask = slots_.size() - 1;
        for (uint64_t slot : old) {
            if (slot == 0)
                continue;
            size_t i = (slot >> 32) & mask;
            while (slots_[i] != 0)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }
    std::vector<uint64_t> slots_;
    std::vector<std::basic_string<Char>> keys_;
    std::vector<uint32_t> values_;
};

class SaveContext {
  public:
    SaveContext(Workbook::SharedStringTable& sst, Converter& ansi, size_t narrow, size_t wide)
        : sst_(sst), ansi_(ansi), narrow_(narrow), wide_(wide), save_(++saves_) {}

    // The shared string table index of a text cell; cells sharing one text are looked up once.
    uint32_t narrow(const Text& cell) {
        ++sst_.total;
        uint32_t index;
        if (cell.SavedIndex(save_, index))
            return index;
        const std::string_view text = cell.view();
        index = narrow_.FindOrAdd(text, [&] {
            bool ascii = std::all_of(text.begin(), text.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
            if (ascii)
                return sst_.AddLatin1(text);
            // An 8-bit entry holds Latin-1 only; other texts become UTF-16 entries.
            ansi_.ToWide(text, wide_buf_);
            if (WideToLatin1(wide_buf_, latin1_buf_))
                return sst_.AddLatin1(latin1_buf_);
            return sst_.AddWide(wide_buf_);
        });
        cell.SetSavedIndex(save_, index);
        return index;
    }

    uint32_t wide(const WideText& cell) {
        ++sst_.total;
        uint32_t index;
        if (cell.SavedIndex(save_, index))
            return index;
        index = wide_.FindOrAdd(cell.view(), [&] { return sst_.AddWide(cell.view()); });
        cell.SetSavedIndex(save_, index);
        return index;
    }

    // Reused records.
    Row row;
    DBCell dbcell;
    RK rk;
    MulRK mulrk;
    Number number;
    LabelSST label;
    BoolErr error;

  private:
    Workbook::SharedStringTable& sst_;
    Converter& ansi_;
    TextTable<char> narrow_;
    TextTable<char16_t> wide_;
    std::u16string wide_buf_;
    std::string latin1_buf_;
    // Numbers each save, so that an index a text kept from an earlier save is never taken.
    static inline std::atomic<uint64_t> saves_{0};
    const uint64_t save_;
};

// The RK value of a number cell; false for other cells and numbers an RK cannot hold exactly.
bool NumberRK(const Cell& c, uint32_t& rk) {
    if (c.index() == kInteger)
        return EncodeIntRK(std::get<int32_t>(c), rk);
    return c.index() == kDouble && EncodeDoubleRK(std::get<double>(c), rk);
}

void WriteRow(SaveContext& ctx, uint16_t r, const std::vector<Cell>& cells, size_t n,
              std::vector<uint8_t>& out) {
    size_t c = 0;
    while (c < n) {
        const Cell& cell = cells[c];
        uint32_t rk;
        switch (cell.index()) {
            case kInteger:
            case kDouble: {
                if (cell.index() == kDouble && !std::isfinite(std::get<double>(cell))) {
                    // The format has no NaN or infinity (a Number record holding one reads as
                    // garbage elsewhere): the cell is written as the error #NUM!, which is what
                    // spreadsheet programs show for a number they cannot represent.
                    ctx.error.row = r;
                    ctx.error.col = static_cast<uint16_t>(c);
                    ctx.error.value = kErrorNum;
                    ctx.error.isError = 1;
                    ctx.error.write(out);
                    ++c;
                    break;
                }
                if (!NumberRK(cell, rk)) {
                    // Outside what an RK holds exactly: a Number record.
                    ctx.number.row = r;
                    ctx.number.col = static_cast<uint16_t>(c);
                    ctx.number.value =
                        cell.index() == kInteger ? std::get<int32_t>(cell) : std::get<double>(cell);
                    ctx.number.write(out);
                    ++c;
                    break;
                }
                // A run of numbers that RKs hold, integers and doubles alike (an RK says which it
                // is), becomes one MulRK: 6 bytes a cell instead of 14.
                size_t end = c + 1;
                uint32_t next;
                ctx.mulrk.values.assign(1, {0, rk});
                while (end < n && NumberRK(cells[end], next)) {
                    ctx.mulrk.values.push_back({0, next});
                    ++end;
                }
                if (end - c >= 2) {
                    ctx.mulrk.row = r;
                    ctx.mulrk.firstCol = static_cast<uint16_t>(c);
                    ctx.mulrk.lastCol = static_cast<uint16_t>(end - 1);
                    ctx.mulrk.write(out);
                } else {
                    ctx.rk.row = r;
                    ctx.rk.col = static_cast<uint16_t>(c);
                    ctx.rk.rk = rk;
                    ctx.rk.write(out);
                }
                c = end;
                break;
            }
            case kString:
            case kWideString:
                ctx.label.row = r;
                ctx.label.col = static_cast<uint16_t>(c);
                ctx.label.index = cell.index() == kString ? ctx.narrow(std::get<Text>(cell))
                                                          : ctx.wide(std::get<WideText>(cell));
                ctx.label.write(out);
                ++c;
                break;
            default:
                ++c;
        }
    }
}

size_t StoredCells(const CellGrid& grid, int r) {
    return std::min(grid.row(r).size(), static_cast<size_t>(grid.cols()));
}

bool RowHasCells(const CellGrid& grid, int r) {
    const std::vector<Cell>& cells = grid.row(r);
    size_t n = StoredCells(grid, r);
    for (size_t c = 0; c < n; ++c)
        if (cells[c].index() != kUndefined)
            return true;
    return false;
}

// Writes one sheet; `slots` receives the stream offsets of the Index's DBCell positions.
void SaveSheet(Sheet& sheet, bool first, SaveContext& ctx, std::vector<uint8_t>& out,
               std::vector<size_t>& slots) {
    const CellGrid& grid = sheet.grid;
    sheet.bof = BOF{};
    sheet.bof.type = BOF::kWorksheet;
    sheet.index = Worksheet::Index{};
    sheet.dimensions = Worksheet::Dimensions{};
    sheet.window2 = Worksheet::Window2{};
    if (!first)
        sheet.window2.flags &= static_cast<uint16_t>(~Worksheet::Window2::kSelected);

    const int rows = grid.rows(), cols = grid.cols();
    // First used row, and the smallest used column of any row.
    uint32_t first_row = 100000;
    uint16_t first_col = 1000;
    for (int r = 0; r < rows; ++r) {
        const std::vector<Cell>& cells = grid.row(r);
        size_t n = StoredCells(grid, r);
        for (size_t c = 0; c < n && c < first_col; ++c) {
            if (cells[c].index() != kUndefined) {
                if (first_row == 100000)
                    first_row = static_cast<uint32_t>(r);
                first_col = static_cast<uint16_t>(c);
                break;
            }
        }
    }
    if (first_row == 100000)
        first_row = first_col = 0;
    sheet.index.firstRow = sheet.dimensions.firstRow = first_row;
    sheet.index.lastRowPlus1 = sheet.dimensions.lastRowPlus1 = static_cast<uint32_t>(rows);
    sheet.dimensions.firstCol = first_col;
    sheet.dimensions.lastColPlus1 = static_cast<uint16_t>(cols);
    const int blocks = (rows + 31) / 32;
    sheet.index.dbcells.assign(static_cast<size_t>(blocks), 0);

    sheet.bof.write(out);
    size_t index_at = out.size();
    sheet.index.write(out);
    sheet.dimensions.write(out);

    std::vector<int> used_rows;
    std::vector<size_t> cell_starts;
    for (int k = 0; k < blocks; ++k) {
        used_rows.clear();
        cell_starts.clear();
        int end = std::min(rows, 32 * k + 32);
        for (int r = 32 * k; r < end; ++r)
            if (RowHasCells(grid, r))
                used_rows.push_back(r);
        size_t first_row_at = out.size();
        for (int r : used_rows) {
            ctx.row.row = static_cast<uint16_t>(r);
            ctx.row.lastColPlus1 = static_cast<uint16_t>(cols);
            ctx.row.write(out);
        }
        for (int r : used_rows) {
            cell_starts.push_back(out.size());
            WriteRow(ctx, static_cast<uint16_t>(r), grid.row(r), StoredCells(grid, r), out);
        }
        size_t dbcell_at = out.size();
        ctx.dbcell.firstRowOffset =
            used_rows.empty() ? 0 : static_cast<uint32_t>(dbcell_at - first_row_at);
        ctx.dbcell.offsets.clear();
        for (size_t i = 0; i < cell_starts.size(); ++i) {
            size_t from = i == 0 ? first_row_at + ctx.row.recordSize() : cell_starts[i - 1];
            ctx.dbcell.offsets.push_back(static_cast<uint16_t>(cell_starts[i] - from));
        }
        ctx.dbcell.write(out);
        size_t slot = index_at + 4 + 16 + 4 * static_cast<size_t>(k);
        Patch32(out, slot, static_cast<uint32_t>(dbcell_at));
        slots.push_back(slot);
    }
    sheet.window2.write(out);
    sheet.eof.write(out);
}

}  // namespace

std::vector<uint8_t> Book::save() {
    Converter ansi(AnsiCodePage());
    globals_.sst = Workbook::SharedStringTable{};
    DefaultFormats(globals_);
    while (globals_.boundSheets.size() < sheets_.size()) {
        Workbook::BoundSheet b;
        b.name = SheetName(globals_.boundSheets.size());
        globals_.boundSheets.push_back(b);
    }
    globals_.boundSheets.resize(sheets_.size());

    // The sheets first (their cells fill the shared string table), at offsets relative to
    // the end of the globals. Sized from a count of the cells.
    size_t cells = 0, narrow = 0, wide = 0;
    for (const auto& sheet : sheets_) {
        const CellGrid& g = sheet->grid;
        for (int r = 0; r < g.rows() && static_cast<size_t>(r) < g.storedRows(); ++r) {
            for (const Cell& c : g.row(r)) {
                cells += c.index() != kUndefined;
                narrow += c.index() == kString;
                wide += c.index() == kWideString;
            }
        }
    }
    SaveContext ctx(globals_.sst, ansi, narrow, wide);
    std::vector<uint8_t> body;
    body.reserve(cells * 14 + 4096);
    std::vector<size_t> sheet_at, slots;
    for (size_t i = 0; i < sheets_.size(); ++i) {
        sheet_at.push_back(body.size());
        SaveSheet(*sheets_[i], i == 0, ctx, body, slots);
    }

    std::vector<uint8_t> out;
    out.reserve(body.size() + 4096 + globals_.sst.entries.size() * 16);
    globals_.bof.type = BOF::kGlobals;
    globals_.bof.write(out);
    globals_.window1.write(out);
    for (auto& f : globals_.fonts)
        f.write(out);
    for (auto& x : globals_.xfs)
        x.write(out);
    for (auto& s : globals_.styles)
        s.write(out);
    std::vector<size_t> positions;
    for (auto& b : globals_.boundSheets) {
        positions.push_back(out.size() + 4);
        b.write(out);
    }
    globals_.sst.write(out);
    globals_.eof.write(out);

    const size_t base = out.size();
    for (size_t i = 0; i < positions.size(); ++i) {
        globals_.boundSheets[i].position = static_cast<uint32_t>(base + sheet_at[i]);
        Patch32(out, positions[i], globals_.boundSheets[i].position);
    }
    for (size_t slot : slots)
        Patch32(body, slot, static_cast<uint32_t>(base + Get32(&body[slot])));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace Biff
