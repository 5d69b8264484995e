// BIFF8 records of the "Workbook" stream: the record base class and every record kind the
// library keeps. All values are little-endian.
//
// A record reads itself from a byte range (its header, its data and the CONTINUE records that
// follow it) and appends itself to a byte vector. read() returns the bytes consumed, 0 when the
// range does not hold a whole record; a record whose data is shorter than its layout reads the
// missing fields as zero (never past its data). write() returns the bytes appended. Not
// thread-safe; records own their data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace Biff {

inline constexpr uint16_t kContinue = 60;
inline constexpr size_t kMaxRecordData = 8224;

// Little-endian access to byte buffers.
inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline double GetDouble(const uint8_t* p) {
    uint64_t bits = static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}
inline void Put8(std::vector<uint8_t>& out, uint8_t v) {
    out.push_back(v);
}
inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    out.insert(out.end(), b, b + 2);
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}
void PutDouble(std::vector<uint8_t>& out, double v);
void Patch32(std::vector<uint8_t>& out, size_t at, uint32_t v);

// A name string of a font, sheet or style, kept in the form the file had: 8-bit (Latin-1)
// or UTF-16. Writing recomputes the high-byte flag and the length from the kept form.
struct XLString {
    bool wide = false;
    std::string narrow;    // 8-bit form (Latin-1 bytes)
    std::u16string utf16;  // UTF-16 form
    static XLString Narrow(std::string_view text);
    static XLString Wide(std::u16string_view text);
    std::u16string Text() const;
    bool operator==(const XLString&) const = default;
};

class Record {
  public:
    explicit Record(uint16_t record_code) : code(record_code) {}
    virtual ~Record() = default;
    Record(const Record&) = default;
    Record& operator=(const Record&) = default;

    // Reads header, data and following CONTINUE data (their start positions go to `continues`),
    // then the typed fields.
    virtual size_t read(const uint8_t* in, size_t size);
    // Rebuilds the data from the typed fields and appends the record: cut at the continuation
    // positions remembered (from reading a record kept as raw data, or chosen while encoding the
    // shared string table), or else into pieces of 8224 bytes, each further piece a CONTINUE.
    virtual size_t write(std::vector<uint8_t>& out);
    virtual size_t dataSize() const { return data.size(); }
    // Bytes the record takes in the stream with its current data (all pieces with headers).
    virtual size_t recordSize() const;

    uint16_t code;
    std::vector<uint8_t> data;
    std::vector<size_t> continues;

  protected:
    // Typed records move their fields between `data` and members here.
    virtual void decode() {}
    virtual void encode() {}
    // Starts re-encoding: clears the data and the continuation positions read with it.
    void begin() {
        data.clear();
        continues.clear();
    }
    // Field reader that yields zero past the end of the data.
    uint8_t u8(size_t at) const { return at < data.size() ? data[at] : 0; }
    uint16_t u16(size_t at) const { return at + 2 <= data.size() ? Get16(&data[at]) : 0; }
    uint32_t u32(size_t at) const { return at + 4 <= data.size() ? Get32(&data[at]) : 0; }
};

class BOF : public Record {
  public:
    static constexpr uint16_t kCode = 0x0809;
    static constexpr uint16_t kGlobals = 5, kWorksheet = 16;
    BOF() : Record(kCode) {}
    uint16_t version = 0x0600, type = kGlobals, build = 0x19A0, year = 0x07CD;
    uint32_t history = 0xC0C9, lowestVersion = 0x0306;

  protected:
    void decode() override;
    void encode() override;
};

class Eof : public Record {
  public:
    static constexpr uint16_t kCode = 10;
    Eof() : Record(kCode) {}

  protected:
    void encode() override { begin(); }
};

namespace Workbook {

class Window1 : public Record {
  public:
    static constexpr uint16_t kCode = 61;
    Window1() : Record(kCode) {}
    uint16_t x = 120, y = 120, width = 15135, height = 9300, flags = 0x0038, activeSheet = 0,
             firstVisibleTab = 0, selectedTabs = 1, tabRatio = 600;

  protected:
    void decode() override;
    void encode() override;
};

class Font : public Record {
  public:
    static constexpr uint16_t kCode = 49;
    Font() : Record(kCode) {}
    uint16_t height = 200, options = 0, colour = 0x7FFF, weight = 400, escapement = 0;
    uint8_t underline = 0, family = 0, charset = 0, reserved = 0;
    XLString name = XLString::Wide(u"Arial");

  protected:
    void decode() override;
    void encode() override;
};

class XF : public Record {
  public:
    static constexpr uint16_t kCode = 224;
    XF() : Record(kCode) {}
    uint16_t font = 0, format = 0, protection = 0xFFF5;
    uint8_t alignment = 0x20, rotation = 0, indent = 0, used = 0;
    uint32_t border1 = 0, border2 = 0;
    uint16_t colour = 0x20C0;

  protected:
    void decode() override;
    void encode() override;
};

class Style : public Record {
  public:
    static constexpr uint16_t kCode = 659;
    Style() : Record(kCode) {}
    uint16_t xf = 0x8000;  // bit 15: built-in style
    uint8_t builtinId = 0, level = 0xFF;
    XLString name;  // user styles only

  protected:
    void decode() override;
    void encode() override;
};

class BoundSheet : public Record {
  public:
    static constexpr uint16_t kCode = 133;
    BoundSheet() : Record(kCode) {}
    uint32_t position = 0;
    uint16_t visibilityAndType = 0;
    XLString name = XLString::Narrow("Sheet1");

  protected:
    void decode() override;
    void encode() override;
};

class SharedStringTable : public Record {
  public:
    static constexpr uint16_t kCode = 252;
    SharedStringTable() : Record(kCode) {}
    struct Entry {
        uint8_t options = 0;   // as read (bit 0 high byte, bit 2 extended data, bit 3 runs)
        uint16_t runs = 0;     // formatting runs (skipped)
        uint32_t extSize = 0;  // extended data size (skipped)
        bool wide = false;     // the entry's form
        std::string latin1;    // characters of an 8-bit entry
        std::u16string utf16;  // characters of a UTF-16 entry
    };
    uint32_t total = 0, unique = 0;
    std::vector<Entry> entries;

    // Appends an entry (unique count + 1) and returns its index.
    uint32_t AddLatin1(std::string_view text);
    uint32_t AddWide(std::u16string_view text);

  protected:
    void decode() override;
    void encode() override;
};

class ExtSST : public Record {
  public:
    static constexpr uint16_t kCode = 255;
    ExtSST() : Record(kCode) {}
};

}  // namespace Workbook

namespace Worksheet {

class Index : public Record {
  public:
    static constexpr uint16_t kCode = 523;
    Index() : Record(kCode) {}
    uint32_t reserved = 0, firstRow = 0, lastRowPlus1 = 0, reserved2 = 0;
    std::vector<uint32_t> dbcells;

  protected:
    void decode() override;
    void encode() override;
};

class Dimensions : public Record {
  public:
    static constexpr uint16_t kCode = 512;
    Dimensions() : Record(kCode) {}
    uint32_t firstRow = 0, lastRowPlus1 = 0;
    uint16_t firstCol = 0, lastColPlus1 = 0, reserved = 0;

  protected:
    void decode() override;
    void encode() override;
};

class Window2 : public Record {
  public:
    static constexpr uint16_t kCode = 574;
    static constexpr uint16_t kSelected = 0x0200;
    Window2() : Record(kCode) {}
    uint16_t flags = 0x06B6, topRow = 0, leftCol = 0;
    uint32_t headerColour = 64;
    uint16_t zoomPageBreak = 0, zoomNormal = 0;
    uint32_t reserved = 0;

  protected:
    void decode() override;
    void encode() override;
};

namespace CellTable::RowBlock {

class Row : public Record {
  public:
    static constexpr uint16_t kCode = 520;
    Row() : Record(kCode) {}
    uint16_t row = 0, firstCol = 0, lastColPlus1 = 0, height = 255, reserved1 = 0, reserved2 = 0,
             flags = 0, xf = 0;

  protected:
    void decode() override;
    void encode() override;
};

class DBCell : public Record {
  public:
    static constexpr uint16_t kCode = 215;
    DBCell() : Record(kCode) {}
    uint32_t firstRowOffset = 0;
    std::vector<uint16_t> offsets;

  protected:
    void decode() override;
    void encode() override;
};

namespace CellBlock {

// Fields shared by the single-cell records.
class CellRecord : public Record {
  public:
    using Record::Record;
    uint16_t row = 0, col = 0, xf = 0;

  protected:
    void decode() override;
    void encode() override;
};

class Blank : public CellRecord {
  public:
    static constexpr uint16_t kCode = 513;
    Blank() : CellRecord(kCode) {}
};

// The error code #NUM! of a BoolErr record.
inline constexpr uint8_t kErrorNum = 0x24;

class BoolErr : public CellRecord {
  public:
    static constexpr uint16_t kCode = 517;
    BoolErr() : CellRecord(kCode) {}
    uint8_t value = 0;    // the Boolean or the error code
    uint8_t isError = 0;  // 0: Boolean, 1: error

  protected:
    void decode() override;
    void encode() override;
};

class LabelSST : public CellRecord {
  public:
    static constexpr uint16_t kCode = 253;
    LabelSST() : CellRecord(kCode) {}
    uint32_t index = 0;

  protected:
    void decode() override;
    void encode() override;
};

// A text cell that holds its own text (instead of a shared string): LABEL, and RSTRING with its
// formatting runs (kept as read, not interpreted). The text is kept in the form of its flag,
// 8-bit (Latin-1) or UTF-16; a text continued over CONTINUE records may change form at each
// continuation (each starts with its own flag byte), as in the shared string table.
class TextCell : public CellRecord {
  public:
    using CellRecord::CellRecord;
    bool wide = false;
    std::string latin1;    // characters of an 8-bit text
    std::u16string utf16;  // characters of a UTF-16 text

  protected:
    void decode() override;
    void encode() override;
    // Whether the record's data ends right after a text ending at `end` (RSTRING: and its runs).
    virtual bool EndsAt(size_t end) const;
    // Where the text's characters end in the data (the formatting runs follow for RSTRING).
    size_t end_ = 0;
};

class Label : public TextCell {
  public:
    static constexpr uint16_t kCode = 516;
    Label() : TextCell(kCode) {}
};

class RString : public TextCell {
  public:
    static constexpr uint16_t kCode = 214;
    RString() : TextCell(kCode) {}
    std::vector<uint8_t> runs;  // the run count and the runs, as read

  protected:
    void decode() override;
    void encode() override;
    bool EndsAt(size_t end) const override;
};

class Number : public CellRecord {
  public:
    static constexpr uint16_t kCode = 515;
    Number() : CellRecord(kCode) {}
    double value = 0;

  protected:
    void decode() override;
    void encode() override;
};

class RK : public CellRecord {
  public:
    static constexpr uint16_t kCode = 638;
    RK() : CellRecord(kCode) {}
    uint32_t rk = 0;

  protected:
    void decode() override;
    void encode() override;
};

class MulBlank : public Record {
  public:
    static constexpr uint16_t kCode = 190;
    MulBlank() : Record(kCode) {}
    uint16_t row = 0, firstCol = 0, lastCol = 0;
    std::vector<uint16_t> xfs;

  protected:
    void decode() override;
    void encode() override;
};

class MulRK : public Record {
  public:
    static constexpr uint16_t kCode = 189;
    MulRK() : Record(kCode) {}
    struct Value {
        uint16_t xf;
        uint32_t rk;
    };
    uint16_t row = 0, firstCol = 0, lastCol = 0;
    std::vector<Value> values;

  protected:
    void decode() override;
    void encode() override;
};

// A formula cell; its cached result is not used as a cell value. The records that may follow
// a formula are kept as raw data.
class Formula : public CellRecord {
  public:
    static constexpr uint16_t kCode = 6;
    Formula() : CellRecord(kCode) {}
    std::array<uint8_t, 8> result{};
    uint16_t flags = 0;
    uint32_t chn = 0;
    std::vector<uint8_t> formula;

    class Table : public Record {
      public:
        static constexpr uint16_t kCode = 54;
        Table() : Record(kCode) {}
    };
    class ShrFmla1 : public Record {
      public:
        static constexpr uint16_t kCode = 188;
        ShrFmla1() : Record(kCode) {}
    };
    class Array : public Record {
      public:
        static constexpr uint16_t kCode = 545;
        Array() : Record(kCode) {}
    };
    class ShrFmla : public Record {
      public:
        static constexpr uint16_t kCode = 1212;
        ShrFmla() : Record(kCode) {}
    };
    class String : public Record {
      public:
        static constexpr uint16_t kCode = 519;
        String() : Record(kCode) {}
    };

  protected:
    void decode() override;
    void encode() override;
};

}  // namespace CellBlock
}  // namespace CellTable::RowBlock
}  // namespace Worksheet

// RK values: the 30-bit integer form and the two double forms.
struct RKValue {
    bool isInt;
    int32_t i;
    double d;
};
RKValue DecodeRK(uint32_t rk);
// RK for an integer cell; false when it lies outside the 30-bit range.
bool EncodeIntRK(int32_t v, uint32_t& rk);
// RK for a double cell: a value that passes the two-decimals test in one of the two forms of the
// double's upper bits, or else a whole number of hundredths of 30 bits (integer and x100 flags),
// whichever reads back unchanged.
bool EncodeDoubleRK(double v, uint32_t& rk);
bool HundredthsRK(double v, uint32_t& rk);

}  // namespace Biff
