#include "ZelStringEncode.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(ZelStringEncode, EncodesTheWholeReplyLineInUpperCaseHex)
{
    const char* line = "PdeSnmpGet_XPC=FALSE";
    char out[64];
    const int n = ZelStringEncode(reinterpret_cast<const unsigned char*>(line), out, int(std::strlen(line)));
    EXPECT_EQ(n, 40);
    EXPECT_STREQ(out, "506465536E6D704765745F5850433D46414C5345");
}

TEST(ZelStringEncode, EmptyAndNullInputsWriteNoDigits)
{
    char out[4] = {'x', 'x', 'x', 'x'};
    const unsigned char src[] = {0xAB};
    EXPECT_EQ(ZelStringEncode(src, out, 0), 0);
    EXPECT_EQ(out[0], '\0');
    out[0] = 'x';
    EXPECT_EQ(ZelStringEncode(src, out, -3), 0);
    EXPECT_EQ(out[0], '\0');
    out[0] = 'x';
    EXPECT_EQ(ZelStringEncode(nullptr, out, 1), 0);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(ZelStringEncode(src, nullptr, 1), 0);
    EXPECT_EQ(ZelStringEncode(src, out, 1), 2);
    EXPECT_STREQ(out, "AB");
}
