#include "spreadsheet/biff/records.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "spreadsheet/biff/codepage.h"

namespace Biff {

void PutDouble(std::vector<uint8_t>& out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    Put32(out, static_cast<uint32_t>(bits));
    Put32(out, static_cast<uint32_t>(bits >> 32));
}
void Patch32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- strings ----

XLString XLString::Narrow(std::string_view text) {
    XLString s;
    s.narrow.assign(text);
    return s;
}

XLString XLString::Wide(std::u16string_view text) {
    XLString s;
    s.wide = true;
    s.utf16.assign(text);
    return s;
}

std::u16string XLString::Text() const {
    if (wide)
        return utf16;
    std::u16string t(narrow.size(), u'\0');
    for (size_t i = 0; i < narrow.size(); ++i)
        t[i] = static_cast<unsigned char>(narrow[i]);
    return t;
}

namespace {

// Reads a name string at `pos` (length of 8 or 16 bits, flag byte, characters); stops at the
// end of the data.
XLString ReadXLString(const std::vector<uint8_t>& d, size_t pos, bool long_length) {
    XLString s;
    size_t cch;
    if (long_length) {
        if (pos + 2 > d.size())
            return s;
        cch = Get16(&d[pos]);
        pos += 2;
    } else {
        if (pos + 1 > d.size())
            return s;
        cch = d[pos++];
    }
    if (pos >= d.size())
        return s;
    uint8_t flags = d[pos++];
    if (flags & 0x08)
        pos += 2;  // formatting runs count
    if (flags & 0x04)
        pos += 4;  // extended data size
    if (flags & 0x01) {
        s.wide = true;
        for (size_t i = 0; i < cch && pos + 2 <= d.size(); ++i, pos += 2)
            s.utf16.push_back(Get16(&d[pos]));
    } else {
        for (size_t i = 0; i < cch && pos < d.size(); ++i)
            s.narrow.push_back(static_cast<char>(d[pos++]));
    }
    return s;
}

void WriteXLString(std::vector<uint8_t>& d, const XLString& s, bool long_length) {
    size_t max = long_length ? 0xFFFF : 0xFF;
    size_t cch = std::min(s.wide ? s.utf16.size() : s.narrow.size(), max);
    if (long_length)
        Put16(d, static_cast<uint16_t>(cch));
    else
        Put8(d, static_cast<uint8_t>(cch));
    Put8(d, s.wide ? 1 : 0);
    if (s.wide) {
        for (size_t i = 0; i < cch; ++i)
            Put16(d, s.utf16[i]);
    } else {
        d.insert(d.end(), s.narrow.begin(), s.narrow.begin() + static_cast<std::ptrdiff_t>(cch));
    }
}

}  // namespace

namespace {

// Reads `cch` characters at `pos` into `text`, the first piece in the form `wide`; a continuation
// position (`continues`, from index `ci` on) inside the characters starts a piece with its own
// flag byte. False when the data ends first.
bool ReadContinuedChars(const std::vector<uint8_t>& data, const std::vector<size_t>& continues,
                        size_t& ci, size_t& pos, size_t cch, bool wide, std::u16string& text) {
    const size_t size = data.size();
    text.clear();
    // The next continuation position at or after `pos` (the data's end when none is left).
    auto boundary = [&]() {
        while (ci < continues.size() && continues[ci] < pos)
            ++ci;
        return ci < continues.size() ? continues[ci] : size;
    };
    size_t left = cch;
    while (left > 0 && pos < size) {
        size_t b = boundary();
        if (b == pos && ci < continues.size()) {
            // A piece that continues the characters starts with its own flag byte.
            wide = data[pos] & 0x01;
            ++pos;
            ++ci;
            continue;
        }
        size_t unit = wide ? 2 : 1;
        size_t n = std::min(left, (b - pos) / unit);
        if (n == 0) {  // a character cut by the boundary: malformed, skip to the next piece
            pos = b;
            if (b == size)
                break;
            continue;
        }
        if (wide) {
            for (size_t i = 0; i < n; ++i)
                text.push_back(Get16(&data[pos + 2 * i]));
        } else {
            for (size_t i = 0; i < n; ++i)
                text.push_back(data[pos + i]);
        }
        pos += n * unit;
        left -= n;
    }
    return left == 0;
}

}  // namespace

// ---- base ----

size_t Record::read(const uint8_t* in, size_t size) {
    if (size < 4)
        return 0;
    size_t len = Get16(in + 2);
    if (4 + len > size)
        return 0;
    code = Get16(in);
    // The size of the record with its continuations first, so that the data is copied once.
    size_t total = len;
    for (size_t at = 4 + len; at + 4 <= size && Get16(in + at) == kContinue;) {
        size_t more = Get16(in + at + 2);
        if (at + 4 + more > size)
            break;
        total += more;
        at += 4 + more;
    }
    data.clear();
    data.reserve(total);
    data.assign(in + 4, in + 4 + len);
    continues.clear();
    size_t pos = 4 + len;
    while (pos + 4 <= size && Get16(in + pos) == kContinue) {
        size_t more = Get16(in + pos + 2);
        if (pos + 4 + more > size)
            break;
        continues.push_back(data.size());
        data.insert(data.end(), in + pos + 4, in + pos + 4 + more);
        pos += 4 + more;
    }
    decode();
    return pos;
}

size_t Record::write(std::vector<uint8_t>& out) {
    encode();
    size_t start = out.size();
    std::vector<size_t> cuts;
    if (!continues.empty()) {
        cuts = continues;
    } else {
        for (size_t at = kMaxRecordData; at < data.size(); at += kMaxRecordData)
            cuts.push_back(at);
    }
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? std::min(cuts[i], data.size()) : data.size();
        if (to < from)
            to = from;
        Put16(out, i == 0 ? code : kContinue);
        Put16(out, static_cast<uint16_t>(to - from));
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                   data.begin() + static_cast<std::ptrdiff_t>(to));
        from = to;
    }
    return out.size() - start;
}

size_t Record::recordSize() const {
    size_t pieces = continues.empty() ? (data.size() <= kMaxRecordData
                                             ? 1
                                             : (data.size() + kMaxRecordData - 1) / kMaxRecordData)
                                      : continues.size() + 1;
    return data.size() + 4 * pieces;
}

// ---- globals ----

void BOF::decode() {
    version = u16(0);
    type = u16(2);
    build = u16(4);
    year = u16(6);
    history = u32(8);
    lowestVersion = u32(12);
}

void BOF::encode() {
    begin();
    Put16(data, version);
    Put16(data, type);
    Put16(data, build);
    Put16(data, year);
    Put32(data, history);
    Put32(data, lowestVersion);
}

namespace Workbook {

void Window1::decode() {
    uint16_t* f[] = {
        &x, &y, &width, &height, &flags, &activeSheet, &firstVisibleTab, &selectedTabs, &tabRatio};
    for (size_t i = 0; i < 9; ++i)
        *f[i] = u16(i * 2);
}

void Window1::encode() {
    begin();
    for (uint16_t v :
         {x, y, width, height, flags, activeSheet, firstVisibleTab, selectedTabs, tabRatio})
        Put16(data, v);
}

void Font::decode() {
    height = u16(0);
    options = u16(2);
    colour = u16(4);
    weight = u16(6);
    escapement = u16(8);
    underline = u8(10);
    family = u8(11);
    charset = u8(12);
    reserved = u8(13);
    name = ReadXLString(data, 14, false);
}

void Font::encode() {
    begin();
    for (uint16_t v : {height, options, colour, weight, escapement})
        Put16(data, v);
    for (uint8_t v : {underline, family, charset, reserved})
        Put8(data, v);
    WriteXLString(data, name, false);
}

void XF::decode() {
    font = u16(0);
    format = u16(2);
    protection = u16(4);
    alignment = u8(6);
    rotation = u8(7);
    indent = u8(8);
    used = u8(9);
    border1 = u32(10);
    border2 = u32(14);
    colour = u16(18);
}

void XF::encode() {
    begin();
    Put16(data, font);
    Put16(data, format);
    Put16(data, protection);
    for (uint8_t v : {alignment, rotation, indent, used})
        Put8(data, v);
    Put32(data, border1);
    Put32(data, border2);
    Put16(data, colour);
}

void Style::decode() {
    xf = u16(0);
    if (xf & 0x8000) {
        builtinId = u8(2);
        level = u8(3);
        name = XLString();
    } else {
        name = ReadXLString(data, 2, true);
    }
}

void Style::encode() {
    begin();
    Put16(data, xf);
    if (xf & 0x8000) {
        Put8(data, builtinId);
        Put8(data, level);
    } else {
        WriteXLString(data, name, true);
    }
}

void BoundSheet::decode() {
    position = u32(0);
    visibilityAndType = u16(4);
    name = ReadXLString(data, 6, false);
}

void BoundSheet::encode() {
    begin();
    Put32(data, position);
    Put16(data, visibilityAndType);
    WriteXLString(data, name, false);
}

uint32_t SharedStringTable::AddLatin1(std::string_view text) {
    Entry e;
    e.latin1.assign(text);
    entries.push_back(std::move(e));
    ++unique;
    return static_cast<uint32_t>(entries.size() - 1);
}

uint32_t SharedStringTable::AddWide(std::u16string_view text) {
    Entry e;
    e.options = 1;
    e.wide = true;
    e.utf16.assign(text);
    entries.push_back(std::move(e));
    ++unique;
    return static_cast<uint32_t>(entries.size() - 1);
}

void SharedStringTable::decode() {
    total = u32(0);
    unique = u32(4);
    entries.clear();
    entries.reserve(std::min<size_t>(unique, data.size() / 3));
    const size_t size = data.size();
    size_t pos = 8, ci = 0;
    std::u16string text;
    while (pos + 3 <= size) {
        Entry e;
        size_t cch = Get16(&data[pos]);
        e.options = data[pos + 2];
        pos += 3;
        if (e.options & 0x08) {
            if (pos + 2 > size)
                break;
            e.runs = Get16(&data[pos]);
            pos += 2;
        }
        if (e.options & 0x04) {
            if (pos + 4 > size)
                break;
            e.extSize = Get32(&data[pos]);
            pos += 4;
        }
        while (ci < continues.size() && continues[ci] < pos)
            ++ci;
        const size_t piece_end = ci < continues.size() ? continues[ci] : size;
        if (!(e.options & 0x01) && cch <= piece_end - std::min(pos, piece_end)) {
            // The common case: 8-bit characters within one piece, taken as they are.
            e.latin1.assign(reinterpret_cast<const char*>(&data[pos]), cch);
            pos += cch;
            e.wide = false;
        } else {
            if (!ReadContinuedChars(data, continues, ci, pos, cch, e.options & 0x01, text))
                break;  // the table ended inside this string
            e.wide = (e.options & 0x01) || !WideToLatin1(text, e.latin1);
            if (e.wide)
                e.utf16 = text;
        }
        pos += static_cast<size_t>(e.runs) * 4;
        pos += e.extSize;
        entries.push_back(std::move(e));
        if (pos > size)
            break;
    }
}

void SharedStringTable::encode() {
    begin();
    continues.clear();
    Put32(data, total);
    Put32(data, unique);
    size_t piece_start = 0;
    auto room = [&]() { return kMaxRecordData - (data.size() - piece_start); };
    auto new_piece = [&]() {
        piece_start = data.size();
        continues.push_back(piece_start);
    };
    for (const Entry& e : entries) {
        size_t unit = e.wide ? 2 : 1;
        size_t cch = e.wide ? e.utf16.size() : e.latin1.size();
        if (cch > 0xFFFF)
            cch = 0xFFFF;
        // The header and the first character stay together.
        if (room() < 3 + (cch ? unit : 0))
            new_piece();
        Put16(data, static_cast<uint16_t>(cch));
        Put8(data, e.wide ? 1 : 0);
        size_t done = 0;
        while (done < cch) {
            size_t n = std::min(cch - done, room() / unit);
            if (n == 0) {
                new_piece();
                Put8(data, e.wide ? 1 : 0);
                continue;
            }
            if (e.wide) {
                for (size_t i = 0; i < n; ++i)
                    Put16(data, e.utf16[done + i]);
            } else {
                data.insert(data.end(), e.latin1.begin() + static_cast<std::ptrdiff_t>(done),
                            e.latin1.begin() + static_cast<std::ptrdiff_t>(done + n));
            }
            done += n;
        }
    }
}

}  // namespace Workbook

// ---- sheet ----

namespace Worksheet {

void Index::decode() {
    reserved = u32(0);
    firstRow = u32(4);
    lastRowPlus1 = u32(8);
    reserved2 = u32(12);
    dbcells.clear();
    for (size_t at = 16; at + 4 <= data.size(); at += 4)
        dbcells.push_back(Get32(&data[at]));
}

void Index::encode() {
    begin();
    for (uint32_t v : {reserved, firstRow, lastRowPlus1, reserved2})
        Put32(data, v);
    for (uint32_t v : dbcells)
        Put32(data, v);
}

void Dimensions::decode() {
    firstRow = u32(0);
    lastRowPlus1 = u32(4);
    firstCol = u16(8);
    lastColPlus1 = u16(10);
    reserved = u16(12);
}

void Dimensions::encode() {
    begin();
    Put32(data, firstRow);
    Put32(data, lastRowPlus1);
    Put16(data, firstCol);
    Put16(data, lastColPlus1);
    Put16(data, reserved);
}

void Window2::decode() {
    flags = u16(0);
    topRow = u16(2);
    leftCol = u16(4);
    headerColour = u32(6);
    zoomPageBreak = u16(10);
    zoomNormal = u16(12);
    reserved = u32(14);
}

void Window2::encode() {
    begin();
    Put16(data, flags);
    Put16(data, topRow);
    Put16(data, leftCol);
    Put32(data, headerColour);
    Put16(data, zoomPageBreak);
    Put16(data, zoomNormal);
    Put32(data, reserved);
}

namespace CellTable::RowBlock {

void Row::decode() {
    uint16_t* f[] = {&row, &firstCol, &lastColPlus1, &height, &reserved1, &reserved2, &flags, &xf};
    for (size_t i = 0; i < 8; ++i)
        *f[i] = u16(i * 2);
}

void Row::encode() {
    begin();
    for (uint16_t v : {row, firstCol, lastColPlus1, height, reserved1, reserved2, flags, xf})
        Put16(data, v);
}

void DBCell::decode() {
    firstRowOffset = u32(0);
    offsets.clear();
    for (size_t at = 4; at + 2 <= data.size(); at += 2)
        offsets.push_back(Get16(&data[at]));
}

void DBCell::encode() {
    begin();
    Put32(data, firstRowOffset);
    for (uint16_t v : offsets)
        Put16(data, v);
}

namespace CellBlock {

void CellRecord::decode() {
    row = u16(0);
    col = u16(2);
    xf = u16(4);
}

void CellRecord::encode() {
    begin();
    Put16(data, row);
    Put16(data, col);
    Put16(data, xf);
}

void BoolErr::decode() {
    CellRecord::decode();
    value = u8(6);
    isError = u8(7);
}

void BoolErr::encode() {
    CellRecord::encode();
    Put8(data, value);
    Put8(data, isError);
}

void LabelSST::decode() {
    CellRecord::decode();
    index = u32(6);
}

void LabelSST::encode() {
    CellRecord::encode();
    Put32(data, index);
}

void TextCell::decode() {
    CellRecord::decode();
    latin1.clear();
    utf16.clear();
    const size_t cch = u16(6);
    const uint8_t flags = u8(8);
    size_t pos = 9, ci = 0;
    if (flags & 0x08)
        pos += 2;  // formatting runs count (not used by these records in BIFF8)
    if (flags & 0x04)
        pos += 4;  // extended data size
    std::u16string text;
    // A text over CONTINUE records: each piece starts with its own flag byte, as in the shared
    // string table; but some writers (gnumeric) cut the record's data into pieces as they come,
    // even inside a character. When the data holds the text and what follows it exactly without
    // flag bytes, that is how it was cut.
    const size_t unit = (flags & 0x01) ? 2 : 1;
    const size_t plain_end = pos + cch * unit;
    if (!continues.empty() && plain_end <= data.size() && EndsAt(plain_end)) {
        for (size_t i = 0; i < cch; ++i)
            text.push_back(unit == 2 ? Get16(&data[pos + 2 * i]) : data[pos + i]);
        pos = plain_end;
    } else {
        ReadContinuedChars(data, continues, ci, pos, cch, flags & 0x01, text);
    }
    end_ = std::min(pos, data.size());
    wide = (flags & 0x01) || !WideToLatin1(text, latin1);
    if (wide) {
        latin1.clear();
        utf16 = std::move(text);
    }
}

bool TextCell::EndsAt(size_t end) const {
    return end == data.size();
}

bool RString::EndsAt(size_t end) const {
    return end + 2 <= data.size() && end + 2 + 4 * static_cast<size_t>(u16(end)) == data.size();
}

void TextCell::encode() {
    CellRecord::encode();
    XLString s;
    s.wide = wide;
    s.narrow = latin1;
    s.utf16 = utf16;
    WriteXLString(data, s, true);
}

void RString::decode() {
    TextCell::decode();
    runs.assign(data.begin() + static_cast<std::ptrdiff_t>(end_), data.end());
}

void RString::encode() {
    TextCell::encode();
    data.insert(data.end(), runs.begin(), runs.end());
}

void Number::decode() {
    CellRecord::decode();
    value = data.size() >= 14 ? GetDouble(&data[6]) : 0.0;
}

void Number::encode() {
    CellRecord::encode();
    PutDouble(data, value);
}

void RK::decode() {
    CellRecord::decode();
    rk = u32(6);
}

void RK::encode() {
    CellRecord::encode();
    Put32(data, rk);
}

void MulBlank::decode() {
    row = u16(0);
    firstCol = u16(2);
    xfs.clear();
    if (data.size() >= 6) {
        size_t n = (data.size() - 6) / 2;
        for (size_t i = 0; i < n; ++i)
            xfs.push_back(u16(4 + 2 * i));
        lastCol = u16(4 + 2 * n);
    }
}

void MulBlank::encode() {
    begin();
    Put16(data, row);
    Put16(data, firstCol);
    for (uint16_t v : xfs)
        Put16(data, v);
    Put16(data, lastCol);
}

void MulRK::decode() {
    row = u16(0);
    firstCol = u16(2);
    values.clear();
    if (data.size() >= 6) {
        size_t n = (data.size() - 6) / 6;
        for (size_t i = 0; i < n; ++i)
            values.push_back({u16(4 + 6 * i), u32(6 + 6 * i)});
        lastCol = u16(4 + 6 * n);
    }
}

void MulRK::encode() {
    begin();
    Put16(data, row);
    Put16(data, firstCol);
    for (const Value& v : values) {
        Put16(data, v.xf);
        Put32(data, v.rk);
    }
    Put16(data, lastCol);
}

void Formula::decode() {
    CellRecord::decode();
    for (size_t i = 0; i < 8; ++i)
        result[i] = u8(6 + i);
    flags = u16(14);
    chn = u32(16);
    formula.assign(data.size() > 20 ? data.begin() + 20 : data.end(), data.end());
}

void Formula::encode() {
    CellRecord::encode();
    data.insert(data.end(), result.begin(), result.end());
    Put16(data, flags);
    Put32(data, chn);
    data.insert(data.end(), formula.begin(), formula.end());
}

}  // namespace CellBlock
}  // namespace CellTable::RowBlock
}  // namespace Worksheet

// ---- RK values ----

RKValue DecodeRK(uint32_t rk) {
    if (rk & 2) {
        int32_t v = static_cast<int32_t>(rk) >> 2;
        if (rk & 1)
            return {false, 0, v / 100.0};
        return {true, v, 0.0};
    }
    uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
    double d;
    std::memcpy(&d, &bits, 8);
    if (rk & 1)
        d /= 100.0;
    return {false, 0, d};
}

bool EncodeIntRK(int32_t v, uint32_t& rk) {
    if (v < -(1 << 29) || v > (1 << 29) - 1)
        return false;
    rk = (static_cast<uint32_t>(v) << 2) | 2u;
    return true;
}

namespace {
uint32_t UpperBits(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return static_cast<uint32_t>(bits >> 32) & 0xFFFFFFFCu;
}
}  // namespace

bool EncodeDoubleRK(double v, uint32_t& rk) {
    if (!std::isfinite(v))
        return false;
    // The two-decimals test, in floating point so that large values cannot overflow.
    if (std::trunc(v * 100) * 100 != std::trunc(v * 10000))
        return HundredthsRK(v, rk);
    // Only a form that reads back as exactly this value is used.
    auto exact = [v](uint32_t candidate) {
        RKValue back = DecodeRK(candidate);
        uint64_t a, b;
        std::memcpy(&a, &v, 8);
        std::memcpy(&b, &back.d, 8);
        return !back.isInt && a == b;
    };
    uint32_t candidate;
    if (std::trunc(v) * 100 == std::trunc(v * 100))
        candidate = UpperBits(v);
    else
        candidate = UpperBits(v * 100) | 1u;
    if (exact(candidate)) {
        rk = candidate;
        return true;
    }
    return HundredthsRK(v, rk);
}

bool HundredthsRK(double v, uint32_t& rk) {
    // The 30-bit integer form with the x100 flag: a number of hundredths whose division by 100
    // gives the value back exactly (what other writers use for values like 15.34, whose double
    // the upper-bits forms cannot hold).
    const double hundredths = std::nearbyint(v * 100);
    if (!(std::fabs(hundredths) < (1 << 29)))
        return false;
    const int32_t n = static_cast<int32_t>(hundredths);
    const double back = n / 100.0;
    uint64_t a, b;
    std::memcpy(&a, &v, 8);
    std::memcpy(&b, &back, 8);
    if (a != b)
        return false;
    rk = (static_cast<uint32_t>(n) << 2) | 3u;
    return true;
}

}  // namespace Biff
