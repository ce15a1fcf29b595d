// The lookups over a table made for the test: duplicate pairs, a nickname
// under another manufacturer, non-ASCII bytes.
#include "MyPPDModel.h"

#include <gtest/gtest.h>

#include <string>

const MyPPDModelRecord kMyPrinterModels[] = {
    {"FENWA", "Fenwa A 1", "A1", 1, 4, 1},
    {"OTHER", "Fenwa B 2", "B2other", 1, 5, 1},   // same nickname, other maker
    {"FENWA", "Fenwa B 2", "B2", 1, 6, 1},
    {"FENWA", "Fenwa A 1", "A1again", 1, 7, 1},   // duplicate pair: never reached
    {"FENWA", "Fenwa \xC3\x9C 3", "\xC3\x9C" "3", 1, 8, 1},  // UTF-8 U+00DC
    {nullptr, nullptr, nullptr, 0, 0, 0},
};

namespace {

TEST(MyPPDModelLookup, FindsThePairWhereBothTextsMatchExactly)
{
    const struct {
        const char* manufacturer;
        const char* nickname;
        int result;
        int32_t index;
    } cases[] = {
        {"FENWA", "Fenwa A 1", 1, 0},        // first of two equal pairs wins
        {"FENWA", "Fenwa B 2", 1, 2},        // skips the row of the other maker
        {"OTHER", "Fenwa B 2", 1, 1},
        {"OTHER", "Fenwa A 1", 0, -1},
        {"FENWA", "Fenwa \xC3\x9C 3", 1, 4},
        {"FENWA", "Fenwa \xDC 3", 0, -1},    // the same letter in ISO-8859-1
        {"FENWA", "Fenwa \xC3\xBC 3", 0, -1},  // lower-case letter
        {"FENWA", "Fenwa A 1\n", 0, -1},
        {"FENWA", "Fenwa A  1", 0, -1},
        {"FENWA", "Fenwa A 10", 0, -1},
        {"FENWAFENWA", "Fenwa A 1", 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.manufacturer) + " / " + c.nickname);
        int32_t index = 99;
        EXPECT_EQ(MyPPDModelIsSupported(c.manufacturer, c.nickname, &index), c.result);
        EXPECT_EQ(index, c.index);
    }
}

TEST(MyPPDModelLookup, AccessorsReadTheRowThatTheLookupReturned)
{
    int32_t index = -1;
    ASSERT_EQ(MyPPDModelIsSupported("FENWA", "Fenwa B 2", &index), 1);
    EXPECT_STREQ(MyPPDModelGetJobTicketKey(index), "B2");
    EXPECT_EQ(MyPPDModelGetEncryptionType(index), 1);
    EXPECT_EQ(MyPPDModelGetEncryptionKeyID(index), 6);
    EXPECT_EQ(MyPPDModelGetEncryptionModelID(index), 1);
}

TEST(MyPPDModelLookup, AVeryLongTextIsNotSupported)
{
    const std::string longText = "Fenwa A 1" + std::string(100000, 'x');
    int32_t index = 99;
    EXPECT_EQ(MyPPDModelIsSupported("FENWA", longText.c_str(), &index), 0);
    EXPECT_EQ(index, -1);
}

}  // namespace
