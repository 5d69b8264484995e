#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

struct RoundTrip {
    const char* encoding;
    std::string bytes;  // the text in that encoding
    std::string utf8;   // the same text in the program's encoding
};

// "Grüße 中文" or the part of it each encoding can hold.
const RoundTrip kRoundTrips[] = {
    {"UTF-8", "Gr\xC3\xBC\xC3\x9F" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
    {"ISO-8859-1", "Gr\xFC\xDF" "e", "Gr\xC3\xBC\xC3\x9F" "e"},
    {"windows-1252", "\x80 Gr\xFC\xDF" "e", "\xE2\x82\xAC Gr\xC3\xBC\xC3\x9F" "e"},
    {"GB2312", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
    {"GBK", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
    {"GB18030", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
    {"BIG5", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
    {"UTF-16LE", std::string("G\0r\0\xFC\0", 6), "Gr\xC3\xBC"},
    {"UTF-16BE", std::string("\0G\0r\0\xFC", 6), "Gr\xC3\xBC"},
};

TEST(CodePage, ConvertsBothWaysWithoutLoss) {
    for (const auto& c : kRoundTrips) {
        SCOPED_TRACE(c.encoding);
        std::string out;
        size_t lost = 0;
        ASSERT_TRUE(platform::FromEncoding(c.bytes, c.encoding, out, &lost));
        EXPECT_EQ(out, c.utf8);
        EXPECT_EQ(lost, 0u);
        ASSERT_TRUE(platform::ToEncoding(c.utf8, c.encoding, out, &lost));
        EXPECT_EQ(out, c.bytes);
        EXPECT_EQ(lost, 0u);
    }
}

TEST(CodePage, CountsCharactersWithoutEquivalent) {
    std::string out;
    size_t lost = 0;
    // "中a€" has no ISO-8859-1 form except the "a".
    ASSERT_TRUE(platform::ToEncoding("\xE4\xB8\xAD" "a" "\xE2\x82\xAC", "ISO-8859-1", out, &lost));
    EXPECT_EQ(out, "?a?");
    EXPECT_EQ(lost, 2u);

    lost = 0;
    ASSERT_TRUE(platform::ToEncoding("\xC3\xA9", "GB2312", out, &lost));  // é: not in GB2312
    EXPECT_EQ(lost, 0u) << "GB2312 holds e-acute as a pinyin letter";
    ASSERT_TRUE(platform::ToEncoding("\xC3\x9F", "BIG5", out, &lost));  // ß
    EXPECT_EQ(out, "?");
    EXPECT_EQ(lost, 1u);
}

TEST(CodePage, CountsInvalidInput) {
    std::string out;
    size_t lost = 0;
    ASSERT_TRUE(platform::FromEncoding("a\xFF" "b", "UTF-8", out, &lost));
    EXPECT_EQ(out, "a?b");
    EXPECT_EQ(lost, 1u);
    lost = 0;
    ASSERT_TRUE(platform::FromEncoding("\xD6", "GBK", out, &lost));  // cut multi-byte character
    EXPECT_EQ(out, "?");
    EXPECT_EQ(lost, 1u);
    lost = 0;
    ASSERT_TRUE(platform::FromEncoding(std::string("A\0\0\xD8", 4), "UTF-16LE", out, &lost));
    EXPECT_EQ(out, "A?");  // lone high surrogate
    EXPECT_EQ(lost, 1u);
}

TEST(CodePage, UnknownEncodingFails) {
    std::string out = "x";
    EXPECT_FALSE(platform::FromEncoding("abc", "NO-SUCH-ENCODING", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(platform::IsKnownEncoding("NO-SUCH-ENCODING"));
    EXPECT_TRUE(platform::IsKnownEncoding("gbk"));
    EXPECT_TRUE(platform::IsProgramEncoding("utf8"));
    EXPECT_FALSE(platform::IsProgramEncoding("GBK"));
}

TEST(CodePage, Utf16) {
    const std::string utf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // Aé中😀
    std::u16string wide = platform::Utf8ToUtf16(utf8);
    EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x4E2D, 0xD83D, 0xDE00}));
    EXPECT_EQ(platform::Utf16ToUtf8(wide), utf8);
    size_t lost = 0;
    EXPECT_EQ(platform::Utf16ToUtf8(std::u16string{0xDC00, u'x'}, &lost), "?x");
    EXPECT_EQ(lost, 1u);
}

TEST(CodePage, Utf8Validation) {
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"plain", true},         {"\xC3\xA9", true},          {"\xC3", false},
        {"\xC0\x80", false},     {"\xE0\x80\x80", false},     {"\xED\xA0\x80", false},
        {"\xF4\x90\x80\x80", false}, {"\xF0\x9F\x98\x80", true}, {"\x80", false},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::IsValidUtf8(c.text), c.valid) << c.text;
}

}  // namespace
