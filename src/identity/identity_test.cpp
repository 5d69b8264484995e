#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "identity/install.h"

using namespace identity;

TEST(GuidText, KeepsTheCasePatternOfEachGroup) {
    platform::Guid guid;
    guid.data1 = 0xABCDEF01;
    guid.data2 = 0x2A3B;
    guid.data3 = 0x7A8B;
    const uint8_t data4[8] = {0xC1, 0xD2, 0xE3, 0xF4, 0x05, 0x16, 0xA7, 0xB8};
    for (int i = 0; i < 8; ++i)
        guid.data4[i] = data4[i];
    EXPECT_EQ(FormatGuidText(guid), "ABCDEF01-2A3B-7a8b-C1D2-E3F40516A7B8");
    EXPECT_EQ(FormatGuidText(platform::Guid{}), "00000000-0000-0000-0000-000000000000");

    const std::regex pattern("[0-9A-F]{8}-[0-9A-F]{4}-[0-9a-f]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string text = MakeGuidText();
        EXPECT_TRUE(std::regex_match(text, pattern)) << text;
        EXPECT_TRUE(seen.insert(text).second) << "repeated " << text;
    }
}

TEST(InstallRequestText, IsCompactSortedAndEndsWithOneLineFeed) {
    struct Case {
        InstallRequest request;
        std::string text;
    } cases[] = {
        {{"p2p_id", "A1", "KEY", std::nullopt, "", "U2"},
         "{\"body\":{\"content\":\"KEY\",\"current_uuid\":\"U2\",\"last_ok_uuid\":\"\","
         "\"order_name\":\"A1\",\"type\":\"p2p_id\"},\"msg\":\"install_res\"}\n"},
        {{"mac", "A1", "02:00:00:00:00:01+02:00:00:00:00:02", "02:00:00:00:00:02", "U1", "U2"},
         "{\"body\":{\"content\":\"02:00:00:00:00:01+02:00:00:00:00:02\","
         "\"content2\":\"02:00:00:00:00:02\",\"current_uuid\":\"U2\",\"last_ok_uuid\":\"U1\","
         "\"order_name\":\"A1\",\"type\":\"mac\"},\"msg\":\"install_res\"}\n"},
        // An empty second identity is still a member; only an absent one is left out.
        {{"mac", "A1", "M", "", "", "U"},
         "{\"body\":{\"content\":\"M\",\"content2\":\"\",\"current_uuid\":\"U\","
         "\"last_ok_uuid\":\"\",\"order_name\":\"A1\",\"type\":\"mac\"},\"msg\":\"install_res\"}"
         "\n"},
        // UTF-8 passes unchanged; quotation marks, backslashes and control characters are escaped.
        {{"p2p_id", "\xE8\xAE\xA2\xE5\x8D\x95 7", "a\"b\\c\n\x01/'", std::nullopt, "", "U"},
         "{\"body\":{\"content\":\"a\\\"b\\\\c\\n\\u0001/'\",\"current_uuid\":\"U\","
         "\"last_ok_uuid\":\"\",\"order_name\":\"\xE8\xAE\xA2\xE5\x8D\x95 7\","
         "\"type\":\"p2p_id\"},\"msg\":\"install_res\"}\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WriteInstallRequest(c.request), c.text);
}

TEST(InstallReply, GivesTheResultName) {
    struct Case {
        std::string reply, result;
    } cases[] = {
        {"{\"ret\":\"ok\"}", ""},
        {"{\"ret\":\"ok\",\"errs\":\"installed\"}", ""},
        {"{'ret':'ok'}", ""},
        {"/* server 2 */ {\"ret\": \"ok\" // fine\n}", ""},
        {"{\"ret\":\"ok\"} trailing bytes", ""},
        {std::string("{\"ret\":\"ok\"}\n\0\0", 15), ""},
        {"{'ret':'fail','errs':'installed'}", "installed"},
        {"{\"ret\":\"fail\",\"errs\":\"server_busy\"}", "server_busy"},
        {"{\"ret\":\"fail\",\"errs\":\"db_error\"}", "db_error"},
        {"{\"ret\":\"fail\",\"errs\":\"order_name_not_exist\"}", "order_name_not_exist"},
        {"{\"ret\":\"fail\",\"errs\":\"content_not_exist\"}", "content_not_exist"},
        {"{\"ret\":\"fail\",\"errs\":\"quota exceeded\"}", "quota exceeded"},
        {"{\"ret\":\"OK\",\"errs\":\"Installed\"}", "Installed"},
        // A refusal without a reason is not an acceptance.
        {"{\"ret\":\"fail\"}", "rsp_msg_error"},
        {"{\"ret\":\"fail\",\"errs\":\"\"}", "rsp_msg_error"},
        {"{}", "rsp_msg_error"},
        {"", "rsp_msg_error"},
        {"garbage", "rsp_msg_error"},
        {"[\"ok\"]", "rsp_msg_error"},
        {"\"ok\"", "rsp_msg_error"},
        {"null", "rsp_msg_error"},
        {"{\"ret\":", "rsp_msg_error"},
        {"{\"ret\":{\"a\":1}}", "rsp_msg_error"},
        {"{\"ret\":\"fail\",\"errs\":[1]}", "rsp_msg_error"},
        {std::string(5000, '['), "rsp_msg_error"},
        // Values at most 8 levels deep, the reply object being level 1; deeper is malformed.
        {"{\"ret\":\"fail\",\"errs\":\"nested\",\"x\":[[[[[[1]]]]]]}", "nested"},
        {"{\"ret\":\"fail\",\"errs\":\"nested\",\"x\":[[[[[{\"a\":1}]]]]]}", "nested"},
        {"{\"ret\":\"fail\",\"errs\":\"nested\",\"x\":[[[[[[[1]]]]]]]}", "rsp_msg_error"},
        {"{\"x\":[[[[[[[1]]]]]]],\"ret\":\"ok\"}", "rsp_msg_error"},
        {"{\"ret\":\"fail\",\"errs\":\"nested\",\"x\":" + std::string(900, '[') +
             std::string(900, ']') + "}",
         "rsp_msg_error"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadInstallReply(c.reply), c.result) << c.reply;
}
