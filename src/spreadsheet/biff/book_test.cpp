#include "spreadsheet/biff/book.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "spreadsheet/biff/test_util.h"

namespace Biff {
namespace {

using namespace Biff::testing;
namespace CB = Worksheet::CellTable::RowBlock::CellBlock;
using Worksheet::CellTable::RowBlock::DBCell;
using Worksheet::CellTable::RowBlock::Row;

class BookTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SetCodePages("UTF-8", "UTF-8")); }
    void TearDown() override { SetCodePages("UTF-8", "UTF-8"); }

    Converter ansi_{"UTF-8"};
};

std::vector<Walked> RecordsOfCode(const std::vector<Walked>& all, uint16_t code) {
    std::vector<Walked> out;
    for (const auto& r : all)
        if (r.code == code)
            out.push_back(r);
    return out;
}

// The records of the first worksheet substream.
std::vector<Walked> SheetRecords(const Bytes& stream) {
    std::vector<Walked> all = Walk(stream), out;
    bool in = false;
    for (const auto& r : all) {
        if (r.code == BOF::kCode && Get16(&r.data[2]) == BOF::kWorksheet)
            in = true;
        if (in)
            out.push_back(r);
        if (in && r.code == Eof::kCode)
            break;
    }
    return out;
}

TEST_F(BookTest, NewWorkbookHasTheDefaults) {
    Book book;
    book.reset(1);
    Bytes s = book.save();
    std::vector<Walked> recs = Walk(s);
    std::vector<uint16_t> codes;
    for (const auto& r : recs)
        codes.push_back(r.code);
    std::vector<uint16_t> want = {BOF::kCode, Workbook::Window1::kCode};
    want.insert(want.end(), 4, Workbook::Font::kCode);
    want.insert(want.end(), 21, Workbook::XF::kCode);
    want.insert(want.end(), 6, Workbook::Style::kCode);
    for (uint16_t c : {Workbook::BoundSheet::kCode, Workbook::SharedStringTable::kCode, Eof::kCode,
                       BOF::kCode, Worksheet::Index::kCode, Worksheet::Dimensions::kCode,
                       Worksheet::Window2::kCode, Eof::kCode})
        want.push_back(c);
    EXPECT_EQ(codes, want);
    EXPECT_EQ(recs[0].data,
              Le({{2, 0x0600}, {2, 5}, {2, 0x19A0}, {2, 0x07CD}, {4, 0xC0C9}, {4, 0x0306}}));
    EXPECT_EQ(recs[1].data, Le({{2, 120},
                                {2, 120},
                                {2, 15135},
                                {2, 9300},
                                {2, 0x38},
                                {2, 0},
                                {2, 0},
                                {2, 1},
                                {2, 600}}));
    EXPECT_EQ(recs[6].data, Le({{2, 0},
                                {2, 0},
                                {2, 0xFFF5},
                                {1, 0x20},
                                {1, 0},
                                {1, 0},
                                {1, 0},
                                {4, 0},
                                {4, 0},
                                {2, 0x20C0}}));
    EXPECT_EQ(recs[27].data, Le({{2, 0x8000}, {1, 0}, {1, 0xFF}}));
    const Walked& bound = recs[33];
    EXPECT_EQ(Bytes(bound.data.begin() + 4, bound.data.end()), Cat8({0, 0, 6, 0}, "Sheet1"));
    const Walked& sheet_bof = recs[36];
    EXPECT_EQ(Get32(&bound.data[0]), sheet_bof.offset);
    EXPECT_EQ(sheet_bof.data,
              Le({{2, 0x0600}, {2, 16}, {2, 0x19A0}, {2, 0x07CD}, {4, 0xC0C9}, {4, 0x0306}}));
    EXPECT_EQ(recs[37].data, Le({{4, 0}, {4, 0}, {4, 0}, {4, 0}}));          // Index: no blocks
    EXPECT_EQ(recs[38].data, Le({{4, 0}, {4, 0}, {2, 0}, {2, 0}, {2, 0}}));  // Dimensions
    EXPECT_EQ(recs[39].data, Le({{2, 0x06B6}, {2, 0}, {2, 0}, {4, 64}, {2, 0}, {2, 0}, {4, 0}}));
    EXPECT_EQ(recs[34].data, Le({{4, 0}, {4, 0}}));  // empty shared string table
}

TEST_F(BookTest, CellRecordChoice) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, Cell>> cells;     // column, value in row 0
        std::vector<std::pair<uint16_t, int>> want;  // record code, first column
    } cases[] = {
        {"three integers", {{0, 1}, {1, 2}, {2, 3}}, {{CB::MulRK::kCode, 0}}},
        {"gap", {{0, 1}, {1, 2}, {3, 3}}, {{CB::MulRK::kCode, 0}, {CB::RK::kCode, 3}}},
        {"integer beyond 30 bits",
         {{0, 1}, {1, 600000000}, {2, 3}},
         {{CB::RK::kCode, 0}, {CB::Number::kCode, 1}, {CB::RK::kCode, 2}}},
        {"doubles",
         {{0, 2.0}, {1, 1.5}, {2, 3.14159}, {3, 0.25}},
         {{CB::MulRK::kCode, 0}, {CB::Number::kCode, 2}, {CB::RK::kCode, 3}}},
        // An RK says whether it holds an integer: integers and doubles share a MulRK.
        {"integer next to double", {{0, 1}, {1, 2.5}}, {{CB::MulRK::kCode, 0}}},
        {"strings",
         {{0, std::string("a")}, {1, std::u16string(u"a")}},
         {{CB::LabelSST::kCode, 0}, {CB::LabelSST::kCode, 1}}},
        // No number of the format holds these: the error #NUM!, between runs of RKs.
        {"not numbers",
         {{0, 1.5},
          {1, 2.5},
          {2, std::nan("")},
          {3, std::numeric_limits<double>::infinity()},
          {4, -std::numeric_limits<double>::infinity()},
          {5, 0.5}},
         {{CB::MulRK::kCode, 0},
          {CB::BoolErr::kCode, 2},
          {CB::BoolErr::kCode, 3},
          {CB::BoolErr::kCode, 4},
          {CB::RK::kCode, 5}}},
    };
    for (const Case& c : cases) {
        Book book;
        book.reset(1);
        for (const auto& [col, v] : c.cells)
            *book.sheet(0)->cell(0, col) = v;
        std::vector<std::pair<uint16_t, int>> got;
        for (const auto& r : SheetRecords(book.save())) {
            if (r.code == CB::MulRK::kCode || r.code == CB::RK::kCode ||
                r.code == CB::Number::kCode || r.code == CB::LabelSST::kCode)
                got.push_back({r.code, Get16(&r.data[2])});
            if (r.code == CB::BoolErr::kCode) {
                got.push_back({r.code, Get16(&r.data[2])});
                EXPECT_EQ(r.data[6], CB::kErrorNum);
                EXPECT_EQ(r.data[7], 1) << "an error, not a Boolean";
            }
        }
        EXPECT_EQ(got, c.want) << c.name;
    }
}

TEST_F(BookTest, RKBits) {
    Book book;
    book.reset(1);
    *book.sheet(0)->cell(0, 0) = 2.0;
    *book.sheet(0)->cell(0, 2) = 1.5;
    *book.sheet(0)->cell(0, 4) = -7;
    std::vector<uint32_t> rks;
    for (const auto& r : SheetRecords(book.save()))
        if (r.code == CB::RK::kCode)
            rks.push_back(Get32(&r.data[6]));
    ASSERT_EQ(rks.size(), 3u);
    EXPECT_EQ(rks[0], 0x40000000u);       // 2.0, no x100 flag
    EXPECT_EQ(rks[1], 0x4062C000u | 1u);  // 150.0 with the x100 flag
    EXPECT_EQ(rks[2], static_cast<uint32_t>(-7 * 4 + 2));
}

TEST_F(BookTest, SharedStringsHaveSeparateNarrowAndWideLookups) {
    Book book;
    book.reset(1);
    CellGrid& g = *book.sheet(0);
    *g.cell(0, 0) = std::string("same");
    *g.cell(1, 0) = std::u16string(u"same");
    *g.cell(2, 0) = std::string("same");
    *g.cell(3, 0) = std::string("caf\xc3\xa9");   // Latin-1 fits: an 8-bit entry
    *g.cell(4, 0) = std::string("\xe4\xb8\xad");  // beyond Latin-1: a UTF-16 entry
    book.save();
    const auto& sst = book.globals().sst;
    EXPECT_EQ(sst.total, 5u);
    ASSERT_EQ(sst.unique, 4u);
    ASSERT_EQ(sst.entries.size(), 4u);
    EXPECT_FALSE(sst.entries[0].wide);
    EXPECT_TRUE(sst.entries[1].wide);
    EXPECT_FALSE(sst.entries[2].wide);
    EXPECT_EQ(sst.entries[2].latin1, "caf\xe9");
    EXPECT_TRUE(sst.entries[3].wide);
    EXPECT_EQ(sst.entries[3].utf16, u"\u4e2d");
}

TEST_F(BookTest, EveryCellTypeRoundTrips) {
    Book book;
    book.reset(1);
    CellGrid& g = *book.sheet(0);
    std::map<std::pair<int, int>, Cell> want = {
        {{0, 0}, 1},
        {{0, 1}, -536870912},
        // Beyond the 30 bits of an RK: a Number record, read back as a double of the same value.
        {{0, 2}, 2147483647.0},
        {{0, 3}, -2147483648.0},
        {{1, 0}, 2.0},
        {{1, 1}, -1.25},
        {{1, 2}, 3.14159},
        {{1, 3}, 123456789.12},
        {{1, 4}, 1e-300},
        {{2, 0}, std::string("text")},
        {{2, 1}, std::string("caf\xc3\xa9")},
        {{2, 2}, std::u16string(u"wide \u4e2d\u6587")},
        {{40, 7}, std::string("far")},
        {{65535, 255}, 9},
    };
    for (const auto& [rc, v] : want)
        *g.cell(rc.first, rc.second) = v;
    *g.cell(0, 2) = 2147483647;
    *g.cell(0, 3) = -2147483647 - 1;
    Bytes s = book.save();
    Book back;
    ASSERT_TRUE(back.load(s.data(), s.size()));
    ASSERT_EQ(back.sheetCount(), 1u);
    CellGrid& b = *back.sheet(0);
    EXPECT_EQ(b.rows(), 65536);
    EXPECT_EQ(b.cols(), 256);
    for (const auto& [rc, v] : want) {
        const Cell* c = b.find(rc.first, rc.second);
        ASSERT_NE(c, nullptr) << rc.first << "," << rc.second;
        EXPECT_EQ(*c, v) << rc.first << "," << rc.second;
    }
    EXPECT_EQ(b.find(2, 3) ? b.find(2, 3)->index() : 0u, 0u);
}

TEST_F(BookTest, RowBlocksAndOffsets) {
    Book book;
    book.reset(1);
    CellGrid& g = *book.sheet(0);
    for (int r : {0, 1, 5, 31, 32, 70, 99}) {
        *g.cell(r, 1) = r;
        *g.cell(r, 2) = std::string("s") + std::to_string(r);
    }
    *g.cell(3, 4) = 0.5;
    Bytes s = book.save();
    std::vector<Walked> recs = Walk(s);
    std::vector<Walked> sheet = SheetRecords(s);
    const Walked& index = sheet[1];
    ASSERT_EQ(index.code, Worksheet::Index::kCode);
    EXPECT_EQ(Get32(&index.data[4]), 0u);       // first row
    EXPECT_EQ(Get32(&index.data[8]), 100u);     // last row + 1
    ASSERT_EQ(index.data.size(), 16u + 4 * 4);  // 4 blocks of 32 rows
    const Walked& dims = sheet[2];
    EXPECT_EQ(dims.data, Le({{4, 0}, {4, 100}, {2, 1}, {2, 5}, {2, 0}}));
    std::map<size_t, const Walked*> at;
    for (const auto& r : recs)
        at[r.offset] = &r;
    std::vector<std::vector<int>> block_rows = {{0, 1, 3, 5, 31}, {32}, {70}, {99}};
    for (size_t k = 0; k < 4; ++k) {
        size_t db_at = Get32(&index.data[16 + 4 * k]);
        ASSERT_TRUE(at.count(db_at)) << k;
        const Walked& db = *at[db_at];
        ASSERT_EQ(db.code, DBCell::kCode) << k;
        size_t first_row_at = db_at - Get32(&db.data[0]);
        ASSERT_EQ(db.data.size(), 4 + 2 * block_rows[k].size());
        size_t cell_at = first_row_at + 20;
        for (size_t i = 0; i < block_rows[k].size(); ++i) {
            const Walked& row = *at[first_row_at + 20 * i];
            ASSERT_EQ(row.code, Row::kCode);
            EXPECT_EQ(row.data, Le({{2, static_cast<uint32_t>(block_rows[k][i])},
                                    {2, 0},
                                    {2, 5},
                                    {2, 255},
                                    {2, 0},
                                    {2, 0},
                                    {2, 0},
                                    {2, 0}}));
            cell_at += Get16(&db.data[4 + 2 * i]);
            ASSERT_TRUE(at.count(cell_at));
            const Walked& cell = *at[cell_at];
            EXPECT_NE(cell.code, Row::kCode);
            EXPECT_EQ(Get16(&cell.data[0]), block_rows[k][i]) << "first cell of the row";
        }
    }
}

TEST_F(BookTest, EmptyBlocksAreLoneDBCells) {
    Book book;
    book.reset(1);
    *book.sheet(0)->cell(64, 0) = 1;
    std::vector<Walked> sheet = SheetRecords(book.save());
    std::vector<uint16_t> codes;
    for (const auto& r : sheet)
        codes.push_back(r.code);
    EXPECT_EQ(codes, (std::vector<uint16_t>{BOF::kCode, Worksheet::Index::kCode,
                                            Worksheet::Dimensions::kCode, DBCell::kCode,
                                            DBCell::kCode, Row::kCode, CB::RK::kCode, DBCell::kCode,
                                            Worksheet::Window2::kCode, Eof::kCode}));
    EXPECT_EQ(sheet[3].data, Le({{4, 0}}));
    EXPECT_EQ(Get32(&sheet[2].data[0]), 64u);
}

TEST_F(BookTest, SecondSheetIsNotSelected) {
    Book book;
    book.reset(2);
    std::vector<Walked> recs = Walk(book.save());
    std::vector<Walked> w2 = RecordsOfCode(recs, Worksheet::Window2::kCode);
    ASSERT_EQ(w2.size(), 2u);
    EXPECT_EQ(Get16(&w2[0].data[0]), 0x06B6);
    EXPECT_EQ(Get16(&w2[1].data[0]), 0x06B6 & ~0x0200);
    std::vector<Walked> bound = RecordsOfCode(recs, Workbook::BoundSheet::kCode);
    std::vector<Walked> bofs = RecordsOfCode(recs, BOF::kCode);
    ASSERT_EQ(bound.size(), 2u);
    EXPECT_EQ(Get32(&bound[0].data[0]), bofs[1].offset);
    EXPECT_EQ(Get32(&bound[1].data[0]), bofs[2].offset);
}

// A workbook stream made by hand: globals with the given shared strings, then one sheet.
Bytes Stream(const Bytes& sst_data, const Bytes& sheet_records) {
    Bytes s = Bof(BOF::kGlobals);
    Append(s, Rec(0x0042, Le({{2, 1200}})));  // CODEPAGE: not kept
    Append(s, Rec(Workbook::BoundSheet::kCode, Cat8({0, 0, 0, 0, 0, 0, 1, 0}, "S")));
    if (!sst_data.empty())
        Append(s, Rec(Workbook::SharedStringTable::kCode, sst_data));
    Append(s, EofRec());
    Append(s, Bof(BOF::kWorksheet));
    Append(s, sheet_records);
    Append(s, EofRec());
    return s;
}

Bytes Cell3(uint16_t row, uint16_t col, std::initializer_list<Field> rest) {
    Bytes d = Le({{2, row}, {2, col}, {2, 15}});
    Append(d, Le(rest));
    return d;
}

TEST_F(BookTest, LoadsCellsOfOtherProducers) {
    Bytes sst = Cat(
        {Le({{4, 3}, {4, 2}, {2, 2}, {1, 0}}), Bytes{'h', 'i'}, Le({{2, 1}, {1, 1}, {2, 0x4e2d}})});
    Bytes cells;
    Append(cells, Rec(Worksheet::Dimensions::kCode,
                      Le({{4, 0}, {4, 2}, {2, 0}, {2, 2}, {2, 0}})));  // says 2 x 2
    Append(cells, Rec(Row::kCode, Bytes(16, 0)));
    Append(cells, Rec(CB::BoolErr::kCode, Cell3(0, 0, {{1, 1}, {1, 0}})));     // TRUE
    Append(cells, Rec(CB::BoolErr::kCode, Cell3(0, 1, {{1, 0x07}, {1, 1}})));  // #DIV/0!
    Append(cells, Rec(CB::BoolErr::kCode, Cell3(0, 2, {{1, 0}, {1, 0}})));     // FALSE
    Append(cells, Rec(CB::BoolErr::kCode, Cell3(0, 3, {{1, 0}, {1, 1}})));     // #NULL! (code 0)
    Append(cells, Rec(CB::RK::kCode, Cell3(1, 0, {{4, (static_cast<uint32_t>(-3) << 2) | 2u}})));
    Append(cells, Rec(CB::RK::kCode, Cell3(1, 1, {{4, (static_cast<uint32_t>(-125) << 2) | 3u}})));
    Append(
        cells,
        Rec(CB::MulRK::kCode,
            Le({{2, 2}, {2, 0}, {2, 0}, {4, (125u << 2) | 3u}, {2, 0}, {4, 0x40000000}, {2, 1}})));
    Append(cells, Rec(CB::Number::kCode, Cell3(3, 0, {{4, 0}, {4, 0x400921F9}})));
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(4, 0, {{4, 0}})));
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(4, 1, {{4, 1}})));
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(4, 2, {{4, 99}})));  // no such string
    Append(cells, Rec(CB::Blank::kCode, Cell3(5, 0, {})));
    Append(cells, Rec(CB::MulBlank::kCode, Le({{2, 5}, {2, 1}, {2, 15}, {2, 15}, {2, 2}})));
    Append(cells,
           Rec(CB::Formula::kCode, Cell3(5, 3, {{4, 0}, {4, 0x3FF00000}, {2, 0}, {4, 0}, {2, 0}})));
    Append(cells, Rec(CB::Formula::String::kCode, Le({{2, 1}, {1, 0}, {1, 'x'}})));
    Append(cells, Rec(CB::RK::kCode, Cell3(9, 6, {{4, (1u << 2) | 2u}})));  // beyond Dimensions
    Append(cells, Rec(DBCell::kCode, Le({{4, 0}})));
    Bytes s = Stream(sst, cells);
    Book book;
    ASSERT_TRUE(book.load(s.data(), s.size()));
    ASSERT_EQ(book.sheetCount(), 1u);
    CellGrid& g = *book.sheet(0);
    EXPECT_EQ(g.rows(), 10);
    EXPECT_EQ(g.cols(), 7);
    struct Want {
        int row, col;
        Cell value;
    } want[] = {
        {0, 0, 1},
        {0, 1, std::monostate{}},
        {0, 2, 0},
        {0, 3, std::monostate{}},
        {1, 0, -3},
        {1, 1, -1.25},
        {2, 0, 1.25},
        {2, 1, 2.0},
        {3, 0, GetDouble(Le({{4, 0}, {4, 0x400921F9}}).data())},
        {4, 0, std::string("hi")},
        {4, 1, std::u16string(u"\u4e2d")},
        {4, 2, std::monostate{}},
        {5, 0, std::monostate{}},
        {5, 1, std::monostate{}},
        {5, 3, std::monostate{}},
        {9, 6, 1},
    };
    for (const Want& w : want) {
        const Cell* c = g.find(w.row, w.col);
        Cell got = c ? *c : Cell{};
        EXPECT_EQ(got, w.value) << w.row << "," << w.col;
    }
    EXPECT_EQ(book.globals().boundSheets.size(), 1u);
    EXPECT_EQ(book.globals().boundSheets[0].name.narrow, "S");
}

// Cell records cut short read their missing fields as zero, and one continued by a CONTINUE
// record reads its fields across the join; neither lets a neighbouring record be misread.
TEST_F(BookTest, CellRecordsCutShortOrContinued) {
    Bytes sst = Cat({Le({{4, 2}, {4, 2}, {2, 2}, {1, 0}}), Bytes{'h', 'i'}, Le({{2, 2}, {1, 0}}),
                     Bytes{'y', 'o'}});
    const uint32_t seven = (7u << 2) | 2u;  // RK integer 7
    Bytes cells;
    Append(cells, Rec(CB::RK::kCode, Cell3(0, 0, {})));                 // no value: 0.0
    Append(cells, Rec(CB::Number::kCode, Cell3(0, 1, {{4, 0x1234}})));  // half a double: 0.0
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(0, 2, {{2, 1}})));     // half an index: 0
    Append(cells, Rec(CB::MulRK::kCode, Le({{2, 1}, {2, 0}})));         // no values at all
    Append(cells, Rec(CB::MulRK::kCode, Le({{2, 1}, {2, 3}, {2, 15}, {4, seven}, {2, 15}})));
    Append(cells, Rec(CB::RK::kCode, Cell3(2, 0, {{2, seven & 0xFFFF}})));
    Append(cells, Rec(kContinue, Le({{2, seven >> 16}})));
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(2, 1, {{2, 1}})));
    Append(cells, Rec(kContinue, Le({{2, 0}})));
    Append(cells, Rec(CB::Number::kCode, Cell3(2, 2, {{4, 0}, {2, 0}})));
    Append(cells, Rec(kContinue, Le({{2, 0x4000}})));  // 2.0
    Append(cells, Rec(CB::LabelSST::kCode, Cell3(2, 3, {{4, 1}})));
    Append(cells, Rec(kContinue, Le({{4, 0}})));  // joined, not read as a record
    Append(cells, Rec(CB::RK::kCode, Cell3(3, 0, {{4, seven}})));
    Bytes s = Stream(sst, cells);
    Book book;
    ASSERT_TRUE(book.load(s.data(), s.size()));
    ASSERT_EQ(book.sheetCount(), 1u);
    const CellGrid& g = *book.sheet(0);
    struct Want {
        int row, col;
        Cell value;
    } want[] = {
        {0, 0, 0.0},
        {0, 1, 0.0},
        {0, 2, std::string("hi")},
        {1, 0, std::monostate{}},
        {1, 3, 7},
        {1, 4, std::monostate{}},
        {2, 0, 7},
        {2, 1, std::string("yo")},
        {2, 2, 2.0},
        {2, 3, std::string("yo")},
        {3, 0, 7},
    };
    for (const Want& w : want) {
        const Cell* c = g.find(w.row, w.col);
        Cell got = c ? *c : Cell{};
        EXPECT_EQ(got, w.value) << w.row << "," << w.col;
    }
}

// Text cells that hold their own text (LABEL, and RSTRING as gnumeric writes it for texts that
// mix scripts) read as string cells, narrow or wide by their flag, and are saved back as shared
// strings.
TEST_F(BookTest, LabelAndRStringCellsAreStringCells) {
    const Bytes runs = Le({{2, 2}, {2, 0}, {2, 1}, {2, 3}, {2, 2}});  // two formatting runs
    struct Case {
        const char* name;
        uint16_t code;
        Bytes data;       // the record's data after row, column and XF
        Bytes continued;  // a CONTINUE record's data, when the text goes on there
        Cell want;
    } cases[] = {
        {"LABEL 8-bit", CB::Label::kCode, Cat8(Le({{2, 5}, {1, 0}}), "plain"), {}, Text("plain")},
        {"LABEL Latin-1",
         CB::Label::kCode,
         Cat8(Le({{2, 4}, {1, 0}}), "caf\xe9"),
         {},
         Text("caf\xc3\xa9")},
        {"LABEL UTF-16",
         CB::Label::kCode,
         Le({{2, 2}, {1, 1}, {2, 0x4e2d}, {2, 0x6587}}),
         {},
         WideText(u"\u4e2d\u6587")},
        {"RSTRING 8-bit",
         CB::RString::kCode,
         Cat({Cat8(Le({{2, 3}, {1, 0}}), "abc"), runs}),
         {},
         Text("abc")},
        {"RSTRING UTF-16",
         CB::RString::kCode,
         Cat({Le({{2, 3}, {1, 1}, {2, 'a'}, {2, 0x0411}, {2, 0x4e2d}}), runs}),
         {},
         WideText(u"a\u0411\u4e2d")},
        {"RSTRING continued in UTF-16", CB::RString::kCode, Cat8(Le({{2, 4}, {1, 0}}), "ab"),
         Cat({Le({{1, 1}, {2, 0x4e2d}, {2, 'd'}}), runs}), WideText(u"ab\u4e2dd")},
        // gnumeric cuts a long record's data where it comes, inside a character, no flag byte.
        {"RSTRING cut inside a character", CB::RString::kCode,
         Le({{2, 3}, {1, 1}, {2, 'a'}, {1, 0x2d}}), Cat({Le({{1, 0x4e}, {2, 'd'}}), runs}),
         WideText(u"a\u4e2dd")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes cells = Rec(c.code, Cat({Le({{2, 1}, {2, 2}, {2, 15}}), c.data}));
        if (!c.continued.empty())
            Append(cells, Rec(kContinue, c.continued));
        Append(cells, Rec(CB::RK::kCode, Cell3(1, 3, {{4, (7u << 2) | 2u}})));
        Bytes s = Stream({}, cells);
        Book book;
        ASSERT_TRUE(book.load(s.data(), s.size()));
        const Cell* got = book.sheet(0)->find(1, 2);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(*got, c.want);
        EXPECT_EQ(*book.sheet(0)->find(1, 3), Cell{7}) << "the record after it is read";

        Bytes saved = book.save();
        auto records = SheetRecords(saved);
        EXPECT_TRUE(RecordsOfCode(records, c.code).empty());
        EXPECT_EQ(RecordsOfCode(records, CB::LabelSST::kCode).size(), 1u);
        Book back;
        ASSERT_TRUE(back.load(saved.data(), saved.size()));
        EXPECT_EQ(*back.sheet(0)->find(1, 2), c.want);
    }
}

// The cells that refer to one shared string share its text: loading a file whose long string is
// referred to by many cells holds the string once.
TEST_F(BookTest, CellsOfOneSharedStringShareItsText) {
    const std::string long_text(30000, 'x');
    Bytes sst = Le({{4, 3}, {4, 1}, {2, static_cast<uint32_t>(long_text.size())}, {1, 0}});
    sst.insert(sst.end(), long_text.begin(), long_text.begin() + (kMaxRecordData - sst.size()));
    Bytes more = {0};
    more.insert(more.end(), long_text.begin() + (kMaxRecordData - 11), long_text.end());
    Bytes s = Bof(BOF::kGlobals);
    Append(s, Rec(Workbook::SharedStringTable::kCode, sst));
    for (size_t at = 0; at < more.size(); at += kMaxRecordData) {
        Bytes piece(more.begin() + static_cast<long>(at),
                    more.begin() + static_cast<long>(std::min(more.size(), at + kMaxRecordData)));
        if (at > 0)
            piece.insert(piece.begin(), 0);
        Append(s, Rec(kContinue, piece));
    }
    Append(s, EofRec());
    Append(s, Bof(BOF::kWorksheet));
    for (uint16_t r = 0; r < 3; ++r)
        Append(s, Rec(CB::LabelSST::kCode, Cell3(r, 0, {{4, 0}})));
    Append(s, EofRec());
    Book book;
    ASSERT_TRUE(book.load(s.data(), s.size()));
    const CellGrid& g = *book.sheet(0);
    ASSERT_EQ(g.find(0, 0)->index(), static_cast<size_t>(kString));
    const Text& first = std::get<Text>(*g.find(0, 0));
    EXPECT_EQ(first.view(), long_text);
    for (int r = 1; r < 3; ++r)
        EXPECT_TRUE(first.SharesWith(std::get<Text>(*g.find(r, 0)))) << r;
    // Saved back: one entry, three references.
    book.save();
    EXPECT_EQ(book.globals().sst.unique, 1u);
    EXPECT_EQ(book.globals().sst.total, 3u);
}

TEST_F(BookTest, LyingDimensionsAllocateNothing) {
    Bytes cells = Rec(Worksheet::Dimensions::kCode,
                      Le({{4, 0}, {4, 0xFFFFFFFF}, {2, 0}, {2, 0xFFFF}, {2, 0}}));
    Append(cells, Rec(CB::RK::kCode, Cell3(3, 1, {{4, 6}})));
    Bytes s = Stream({}, cells);
    Book book;
    ASSERT_TRUE(book.load(s.data(), s.size()));
    CellGrid& g = *book.sheet(0);
    EXPECT_EQ(g.rows(), kMaxRows);
    EXPECT_EQ(g.cols(), kMaxCols);
    EXPECT_EQ(g.storedRows(), 4u);
    EXPECT_EQ(g.row(3).size(), 2u);
}

TEST_F(BookTest, StreamsThatAreNotWorkbooks) {
    const Bytes not_bof = Rec(0x0042, Le({{2, 1200}}));
    Bytes chart_then_sheet = Bof(BOF::kGlobals);
    Append(chart_then_sheet, EofRec());
    Append(chart_then_sheet, Bof(0x20));
    Append(chart_then_sheet, Rec(0x1001, Bytes(4, 0)));
    Append(chart_then_sheet, EofRec());
    Append(chart_then_sheet, Bof(BOF::kWorksheet));
    Append(chart_then_sheet, Rec(CB::RK::kCode, Cell3(0, 0, {{4, (8u << 2) | 2u}})));
    Append(chart_then_sheet, EofRec());
    Bytes truncated = chart_then_sheet;
    truncated.resize(truncated.size() - 7);
    struct Case {
        const char* name;
        Bytes stream;
        bool loads;
        size_t sheets;
    } cases[] = {
        {"empty", {}, false, 0},
        {"not a BOF", not_bof, false, 0},
        {"globals only", Cat({Bof(BOF::kGlobals), EofRec()}), true, 0},
        {"chart substream skipped", chart_then_sheet, true, 1},
        {"cut inside a sheet", truncated, true, 1},
    };
    for (const Case& c : cases) {
        Book book;
        EXPECT_EQ(book.load(c.stream.data(), c.stream.size()), c.loads) << c.name;
        EXPECT_EQ(book.sheetCount(), c.sheets) << c.name;
    }
}

TEST_F(BookTest, LoadedGlobalsSurviveAndOtherRecordsAreDropped) {
    Bytes s = Bof(BOF::kGlobals);
    Workbook::Font f;
    f.name = XLString::Narrow("Courier");
    f.write(s);
    Append(s, Rec(0x041E, Cat8({0xA4, 0, 3, 0, 0}, "0.0")));  // FORMAT: dropped
    Append(s, Rec(0x0018, Bytes(20, 0)));                     // NAME: dropped
    Append(s, Rec(Workbook::BoundSheet::kCode, Cat8({0, 0, 0, 0, 0, 0, 5, 0}, "Daten")));
    Append(s, EofRec());
    Append(s, Bof(BOF::kWorksheet));
    Append(s, Rec(0x00E5, Le({{2, 1}, {2, 0}, {2, 0}, {2, 0}, {2, 1}})));  // MERGEDCELLS: dropped
    Append(s, Rec(CB::Number::kCode, Cell3(0, 0, {{4, 0}, {4, 0x40140000}})));
    Append(s, EofRec());
    Book book;
    ASSERT_TRUE(book.load(s.data(), s.size()));
    Bytes out = book.save();
    std::vector<Walked> recs = Walk(out);
    std::vector<Walked> fonts = RecordsOfCode(recs, Workbook::Font::kCode);
    ASSERT_EQ(fonts.size(), 1u);
    EXPECT_TRUE(RecordsOfCode(recs, 0x041E).empty());
    EXPECT_TRUE(RecordsOfCode(recs, 0x0018).empty());
    EXPECT_TRUE(RecordsOfCode(recs, 0x00E5).empty());
    EXPECT_EQ(RecordsOfCode(recs, Workbook::XF::kCode).size(), 21u);  // none in the file: defaults
    Book back;
    ASSERT_TRUE(back.load(out.data(), out.size()));
    EXPECT_EQ(back.globals().boundSheets[0].name.narrow, "Daten");
    EXPECT_EQ(back.globals().fonts[0].name.narrow, "Courier");
    EXPECT_EQ(*back.sheet(0)->find(0, 0), Cell{5.0});
}

TEST_F(BookTest, CellOperationLimits) {
    CellGrid g;
    struct Case {
        int row, col;
        bool ok;
    } cases[] = {{0, 0, true},    {65535, 255, true}, {65536, 0, false},
                 {0, 256, false}, {-1, 0, false},     {0, -1, false}};
    for (const Case& c : cases)
        EXPECT_EQ(g.cell(c.row, c.col) != nullptr, c.ok) << c.row << "," << c.col;
    EXPECT_EQ(g.rows(), 65536);
    EXPECT_EQ(g.cols(), 256);
    CellGrid t;
    t.cell(1, 1);
    const Cell* c = t.touch(10, 3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->index(), 0u);
    EXPECT_EQ(t.rows(), 11);
    EXPECT_EQ(t.cols(), 4);
    EXPECT_EQ(t.storedRows(), 2u);
}

TEST_F(BookTest, SetStringRules) {
    Cell c = 5;
    SetString(c, "", ansi_);
    EXPECT_EQ(c.index(), 0u);
    SetString(c, "x", ansi_);
    EXPECT_EQ(c, Cell{std::string("x")});
    // Texts longer than a cell can hold are cut at a character boundary.
    std::string long_text(40000, 'a');
    SetString(c, long_text, ansi_);
    EXPECT_EQ(std::get<Text>(c).view().size(), kMaxTextUnits);
    std::string han;
    for (int i = 0; i < 33000; ++i)
        han += "\xe4\xb8\xad";
    SetString(c, han, ansi_);
    EXPECT_EQ(std::get<Text>(c).view().size(), kMaxTextUnits * 3);
    std::u16string pairs;
    for (int i = 0; i < 20000; ++i)
        pairs += u"\U0001F600";
    SetWideString(c, pairs, ansi_);
    EXPECT_EQ(std::get<WideText>(c).view().size(), kMaxTextUnits - 1);  // no half pair
}

TEST_F(BookTest, CodePages) {
    ASSERT_TRUE(SetCodePages("WINDOWS-1252", "WINDOWS-1252"));
    Converter cp1252("WINDOWS-1252");
    Cell c;
    SetWideString(c, u"caf\u00e9 \u20ac \u4e2d", cp1252);  // the Han character has no place in 1252
    EXPECT_EQ(c, Cell{std::u16string(u"caf\u00e9 \u20ac ?")});

    Book book;
    book.reset(1);
    *book.sheet(0)->cell(0, 0) = std::string("caf\xe9");  // é in windows-1252
    *book.sheet(0)->cell(0, 1) = std::string("\x80");     // € in windows-1252
    Bytes s = book.save();
    const auto& sst = book.globals().sst;
    ASSERT_EQ(sst.entries.size(), 2u);
    EXPECT_EQ(sst.entries[0].latin1, "caf\xe9");
    EXPECT_TRUE(sst.entries[1].wide);
    EXPECT_EQ(sst.entries[1].utf16, u"\u20ac");
    Book back;
    ASSERT_TRUE(back.load(s.data(), s.size()));
    EXPECT_EQ(*back.sheet(0)->find(0, 0), Cell{std::string("caf\xe9")});
    EXPECT_EQ(*back.sheet(0)->find(0, 1), Cell{std::u16string(u"\u20ac")});

    ASSERT_TRUE(SetCodePages("GBK", "GBK"));
    Book gbk;
    gbk.reset(1);
    *gbk.sheet(0)->cell(0, 0) = std::string("\xd6\xd0\xce\xc4");  // 中文 in GBK
    Bytes g = gbk.save();
    ASSERT_EQ(gbk.globals().sst.entries.size(), 1u);
    EXPECT_EQ(gbk.globals().sst.entries[0].utf16, u"\u4e2d\u6587");
    EXPECT_FALSE(SetCodePages("NO-SUCH-CODE-PAGE", nullptr));
    EXPECT_EQ(AnsiCodePage(), "GBK");
}

}  // namespace
}  // namespace Biff
