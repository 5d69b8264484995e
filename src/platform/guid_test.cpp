#include "platform/guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(Guid, IsRandomVersion4WithTheRfcVariant) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        platform::Guid g;
        ASSERT_TRUE(platform::NewGuid(g));
        EXPECT_EQ(g.data3 >> 12, 4);
        EXPECT_EQ(g.data4[0] >> 6, 2);
        std::string bytes(sizeof g, '\0');
        std::memcpy(bytes.data(), &g, sizeof g);
        EXPECT_TRUE(seen.insert(bytes).second) << "a GUID repeated";
    }
}
