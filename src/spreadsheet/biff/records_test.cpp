#include "spreadsheet/biff/records.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "spreadsheet/biff/test_util.h"

namespace Biff {
namespace {

using namespace Biff::testing;
using Workbook::SharedStringTable;

uint32_t Upper(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return static_cast<uint32_t>(bits >> 32);
}

TEST(RKValue, DecodesEveryForm) {
    struct Case {
        uint32_t rk;
        bool is_int;
        double value;
    } cases[] = {
        {(125u << 2) | 3u, false, 1.25},                    // integer and x100 flags: 125 / 100
        {(5u << 2) | 2u, true, 5},                          // integer
        {(static_cast<uint32_t>(-5) << 2) | 2u, true, -5},  // negative integer
        {(static_cast<uint32_t>(-125) << 2) | 3u, false, -1.25},  // negative x100 integer
        {(static_cast<uint32_t>(-(1 << 29)) << 2) | 2u, true, -(1 << 29)},
        {Upper(2.0), false, 2.0},         // double form
        {Upper(150.0) | 1u, false, 1.5},  // double x100 form
        {Upper(-1024.0), false, -1024.0},
        {(35u << 2) | 3u, false, 0.35},  // x100 divides by 100 (35 * 0.01 is not 0.35)
    };
    for (const Case& c : cases) {
        RKValue v = DecodeRK(c.rk);
        EXPECT_EQ(v.isInt, c.is_int) << c.rk;
        EXPECT_EQ(v.isInt ? v.i : v.d, c.value) << c.rk;
    }
}

TEST(RKValue, IntegerRange) {
    struct Case {
        int32_t v;
        bool fits;
    } cases[] = {{0, true},
                 {-1, true},
                 {536870911, true},
                 {536870912, false},
                 {-536870912, true},
                 {-536870913, false},
                 {std::numeric_limits<int32_t>::max(), false},
                 {std::numeric_limits<int32_t>::min(), false}};
    for (const Case& c : cases) {
        uint32_t rk = 0;
        ASSERT_EQ(EncodeIntRK(c.v, rk), c.fits) << c.v;
        if (c.fits) {
            EXPECT_EQ(rk & 3u, 2u);
            EXPECT_EQ(DecodeRK(rk).i, c.v);
        }
    }
}

TEST(RKValue, DoubleChoice) {
    struct Case {
        double v;
        bool rk;
        int flags;  // low two bits of the RK when used
    } cases[] = {
        {2.0, true, 0},
        {1.5, true, 1},
        {0.25, true, 1},
        {-0.25, true, 1},
        {3.14159, false, 0},
        {0.1, true, 1},
        {-7.0, true, 0},
        {100.0, true, 0},
        {0.0, true, 0},
        {1e300, false, 0},
        {1.0 / 3, false, 0},
        // Pass the two-decimals test but lose bits in the 30-bit RK forms.
        {123456789.12, false, 0},
        {16777217.0, false, 0},
        // Fail the two-decimals test in floating point (1.15 * 100 is 114.99999999999999) but
        // are whole hundredths: the integer form with the x100 flag.
        {1.15, true, 3},
        {-0.29, true, 3},
        {4.35, true, 3},
        {2.675, false, 0},
        {std::numeric_limits<double>::quiet_NaN(), false, 0},
        {std::numeric_limits<double>::infinity(), false, 0},
    };
    for (const Case& c : cases) {
        uint32_t rk = 0;
        ASSERT_EQ(EncodeDoubleRK(c.v, rk), c.rk) << c.v;
        if (!c.rk)
            continue;
        EXPECT_EQ(static_cast<int>(rk & 3u), c.flags) << c.v;
        EXPECT_EQ(DecodeRK(rk).d, c.v) << c.v;
    }
    uint32_t rk;
    ASSERT_TRUE(EncodeDoubleRK(1.5, rk));
    EXPECT_EQ(rk, Upper(150.0) | 1u);  // built from 150
    ASSERT_TRUE(EncodeDoubleRK(0.25, rk));
    EXPECT_EQ(rk, Upper(25.0) | 1u);
}

// An SST record split into pieces: the first with the record code, the rest as CONTINUE.
Bytes Sst(const std::vector<Bytes>& pieces) {
    Bytes out = Rec(SharedStringTable::kCode, pieces[0]);
    for (size_t i = 1; i < pieces.size(); ++i)
        Append(out, Rec(kContinue, pieces[i]));
    return out;
}

Bytes Chars8(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
Bytes Chars16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s)
        Put16(out, c);
    return out;
}

TEST(SharedStringTable, ReadsContinuedEntries) {
    const Bytes counts = Le({{4, 9}, {4, 2}});
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<std::pair<bool, std::u16string>> want;  // wide form, text
    } cases[] = {
        {"split at a string's start",
         Sst({Cat({counts, Le({{2, 3}, {1, 0}}), Chars8("abc")}),
              Cat({Le({{2, 2}, {1, 1}}), Chars16(u"\u4e2d\u6587")})}),
         {{false, u"abc"}, {true, u"\u4e2d\u6587"}}},
        {"inside 8-bit text, continued 8-bit",
         Sst({Cat({counts, Le({{2, 6}, {1, 0}}), Chars8("abc")}),
              Cat({Le({{1, 0}}), Chars8("def")})}),
         {{false, u"abcdef"}}},
        {"inside 8-bit text, continued as UTF-16 within Latin-1",
         Sst({Cat({counts, Le({{2, 4}, {1, 0}}), Chars8("ab")}),
              Cat({Le({{1, 1}}), Chars16(u"\u00e9z")})}),
         {{false, u"ab\u00e9z"}}},
        {"inside 8-bit text, continued as UTF-16 beyond Latin-1",
         Sst({Cat({counts, Le({{2, 3}, {1, 0}}), Chars8("ab")}),
              Cat({Le({{1, 1}}), Chars16(u"\u20ac")})}),
         {{true, u"ab\u20ac"}}},
        {"inside UTF-16 text, continued 8-bit",
         Sst({Cat({counts, Le({{2, 4}, {1, 1}}), Chars16(u"\u4e2d\u6587")}),
              Cat({Le({{1, 0}}), Chars8("\xe9x")})}),
         {{true, u"\u4e2d\u6587\u00e9x"}}},
        {"between header and characters",
         Sst({Cat({counts, Le({{2, 2}, {1, 1}})}), Cat({Le({{1, 1}}), Chars16(u"xy")})}),
         {{true, u"xy"}}},
        {"runs and extended data skipped across a boundary",
         Sst({Cat({counts, Le({{2, 2}, {1, 0x0C}, {2, 1}, {4, 3}}), Chars8("hi"), Le({{4, 0}})}),
              Cat({Le({{1, 0}, {1, 0}, {1, 0}}), Le({{2, 1}, {1, 0}}), Chars8("z")})}),
         {{false, u"hi"}, {false, u"z"}}},
        {"count larger than what follows",
         Sst({Cat({Le({{4, 1000}, {4, 1000}}), Le({{2, 1}, {1, 0}}), Chars8("a"),
                   Le({{2, 1}, {1, 0}}), Chars8("b")})}),
         {{false, u"a"}, {false, u"b"}}},
        {"table cut inside a string",
         Sst({Cat(
             {counts, Le({{2, 1}, {1, 0}}), Chars8("a"), Le({{2, 50}, {1, 0}}), Chars8("bcd")})}),
         {{false, u"a"}}},
    };
    for (const Case& c : cases) {
        SharedStringTable sst;
        ASSERT_EQ(sst.read(c.stream.data(), c.stream.size()), c.stream.size()) << c.name;
        ASSERT_EQ(sst.entries.size(), c.want.size()) << c.name;
        for (size_t i = 0; i < c.want.size(); ++i) {
            const auto& e = sst.entries[i];
            EXPECT_EQ(e.wide, c.want[i].first) << c.name << " #" << i;
            std::u16string text =
                e.wide ? e.utf16 : std::u16string(e.latin1.begin(), e.latin1.end());
            if (!e.wide) {
                for (size_t k = 0; k < text.size(); ++k)
                    text[k] = static_cast<unsigned char>(e.latin1[k]);
            }
            EXPECT_EQ(text, c.want[i].second) << c.name << " #" << i;
        }
    }
}

TEST(SharedStringTable, LongEntriesContinueWithTheirFlagByte) {
    for (bool wide : {false, true}) {
        SharedStringTable sst;
        sst.AddLatin1("head");
        std::u16string w(20000, u'\u4e2d');
        std::string n(20000, 'x');
        if (wide)
            sst.AddWide(w);
        else
            sst.AddLatin1(n);
        sst.AddLatin1("tail");
        sst.total = 3;
        Bytes out;
        sst.write(out);
        std::vector<Walked> recs = Walk(out);
        ASSERT_GE(recs.size(), 3u);
        EXPECT_EQ(recs[0].code, SharedStringTable::kCode);
        for (size_t i = 1; i < recs.size(); ++i) {
            EXPECT_EQ(recs[i].code, kContinue);
            EXPECT_LE(recs[i].data.size(), kMaxRecordData);
        }
        EXPECT_EQ(recs[0].data.size(), kMaxRecordData);
        // The first continuation carries the rest of the long entry, led by its flag byte.
        EXPECT_EQ(recs[1].data[0], wide ? 1 : 0);
        if (wide) {
            EXPECT_EQ(Get16(&recs[1].data[1]), 0x4e2d);
        }

        SharedStringTable back;
        ASSERT_EQ(back.read(out.data(), out.size()), out.size());
        ASSERT_EQ(back.entries.size(), 3u);
        EXPECT_EQ(back.total, 3u);
        EXPECT_EQ(back.unique, 3u);
        EXPECT_EQ(back.entries[0].latin1, "head");
        if (wide) {
            EXPECT_EQ(back.entries[1].utf16, w);
        } else {
            EXPECT_EQ(back.entries[1].latin1, n);
        }
        EXPECT_EQ(back.entries[2].latin1, "tail");
    }
}

TEST(SharedStringTable, HeaderNeverSplitFromItsFirstCharacter) {
    // Fill the first piece so that only 3 bytes are left: a UTF-16 string's header and first
    // character need 5, so the string starts in the continuation.
    SharedStringTable sst;
    sst.AddLatin1(std::string(kMaxRecordData - 8 - 3 - 3, 'a'));
    sst.AddWide(u"\u4e2d");
    Bytes out;
    sst.write(out);
    std::vector<Walked> recs = Walk(out);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].data.size(), kMaxRecordData - 3);
    EXPECT_EQ(recs[1].data, Cat({Le({{2, 1}, {1, 1}}), Chars16(u"\u4e2d")}));
}

TEST(Record, LongDataIsCutIntoContinueRecords) {
    Record r(0x00EC);
    r.data.assign(20000, 7);
    Bytes out;
    EXPECT_EQ(r.write(out), 20000u + 3 * 4);
    std::vector<Walked> recs = Walk(out);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].code, 0x00EC);
    EXPECT_EQ(recs[1].code, kContinue);
    EXPECT_EQ(recs[0].data.size(), kMaxRecordData);
    EXPECT_EQ(recs[2].data.size(), 20000 - 2 * kMaxRecordData);
    EXPECT_EQ(r.recordSize(), out.size());

    Record back(0);
    EXPECT_EQ(back.read(out.data(), out.size()), out.size());
    EXPECT_EQ(back.data, r.data);
    EXPECT_EQ(back.continues, (std::vector<size_t>{kMaxRecordData, 2 * kMaxRecordData}));
}

TEST(Record, TruncatedRecordReadsNothing) {
    Bytes rec = Rec(Worksheet::Dimensions::kCode, Bytes(14, 1));
    Worksheet::Dimensions d;
    for (size_t cut : {size_t{0}, size_t{3}, rec.size() - 1})
        EXPECT_EQ(d.read(rec.data(), cut), 0u);
    // A short record reads its missing fields as zero.
    Bytes shortrec = Rec(Worksheet::Dimensions::kCode, Le({{4, 5}}));
    ASSERT_EQ(d.read(shortrec.data(), shortrec.size()), shortrec.size());
    EXPECT_EQ(d.firstRow, 5u);
    EXPECT_EQ(d.lastRowPlus1, 0u);
}

TEST(Record, NamesKeepTheirForm) {
    Workbook::BoundSheet b;
    b.name = XLString::Wide(u"\u8868\u683c");
    Bytes out;
    b.write(out);
    Workbook::BoundSheet back;
    ASSERT_EQ(back.read(out.data(), out.size()), out.size());
    EXPECT_EQ(back.name, b.name);
    Workbook::Font f;  // default name "Arial" as UTF-16
    out.clear();
    f.write(out);
    EXPECT_EQ(out.size(), 4u + 14 + 2 + 10);
    Workbook::Font fb;
    ASSERT_EQ(fb.read(out.data(), out.size()), out.size());
    EXPECT_TRUE(fb.name.wide);
    EXPECT_EQ(fb.name.utf16, u"Arial");
}

}  // namespace
}  // namespace Biff
