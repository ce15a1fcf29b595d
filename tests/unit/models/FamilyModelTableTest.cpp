// The generated model table of one printer family (this executable is built
// once per family) and the lookups over it.
#include "ForeignModels.h"
#include "MyPPDModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

int32_t rowCount()
{
    int32_t n = 0;
    while (kMyPrinterModels[n].manufacturer != nullptr)
        ++n;
    return n;
}

// Index of the first row with exactly this pair, or -1: the reference the
// lookup is held against.
int32_t referenceIndex(const std::string& manufacturer, const std::string& nickname)
{
    for (int32_t i = 0; i < rowCount(); ++i)
        if (manufacturer == kMyPrinterModels[i].manufacturer && nickname == kMyPrinterModels[i].nickname)
            return i;
    return -1;
}

std::string withoutSpaces(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

TEST(PH_MODEL_SUITE, HasTheRowsOfItsBuildConfigAndEndsWithAnAllZeroRow)
{
    const int32_t n = rowCount();
    ASSERT_EQ(n, PH_EXPECTED_MODEL_ROWS);
    const MyPPDModelRecord& end = kMyPrinterModels[n];
    EXPECT_EQ(end.nickname, nullptr);
    EXPECT_EQ(end.jobTicketKey, nullptr);
    EXPECT_EQ(end.encryptionType, 0);
    EXPECT_EQ(end.encryptionKeyID, 0);
    EXPECT_EQ(end.encryptionModelID, 0);
}

TEST(PH_MODEL_SUITE, EveryRowNamesAFenwaModelWithItsKeyAndEncryptionSettings)
{
    for (int32_t i = 0; i < rowCount(); ++i) {
        const MyPPDModelRecord& row = kMyPrinterModels[i];
        SCOPED_TRACE("row " + std::to_string(i));
        ASSERT_NE(row.nickname, nullptr);
        ASSERT_NE(row.jobTicketKey, nullptr);
        EXPECT_STREQ(row.manufacturer, "FENWA");

        const std::string nickname = row.nickname;
        ASSERT_EQ(nickname.rfind("Fenwa ", 0), 0U) << nickname;
        const std::string model = nickname.substr(6);
        EXPECT_FALSE(model.empty());
        EXPECT_NE(model.front(), ' ') << nickname;
        EXPECT_NE(model.back(), ' ') << nickname;
        EXPECT_EQ(std::string(row.jobTicketKey), withoutSpaces(model));

        EXPECT_EQ(row.encryptionType, 1);
        EXPECT_EQ(row.encryptionModelID, 1);
        EXPECT_GE(row.encryptionKeyID, 4);
        EXPECT_LE(row.encryptionKeyID, 101);
    }
}

TEST(PH_MODEL_SUITE, EveryModelIsFoundAtItsOwnRowWithItsOwnValues)
{
    // A pair listed twice would be found at its first row only, so this also
    // catches duplicate rows.
    for (int32_t i = 0; i < rowCount(); ++i) {
        const MyPPDModelRecord& row = kMyPrinterModels[i];
        SCOPED_TRACE(row.nickname);
        int32_t index = -7;
        ASSERT_EQ(MyPPDModelIsSupported(row.manufacturer, row.nickname, &index), 1);
        ASSERT_EQ(index, i);
        EXPECT_STREQ(MyPPDModelGetJobTicketKey(index), row.jobTicketKey);
        EXPECT_EQ(MyPPDModelGetEncryptionType(index), row.encryptionType);
        EXPECT_EQ(MyPPDModelGetEncryptionKeyID(index), row.encryptionKeyID);
        EXPECT_EQ(MyPPDModelGetEncryptionModelID(index), row.encryptionModelID);
    }
}

TEST(PH_MODEL_SUITE, TheLastModelRowIsFoundAtRowCountMinusOne)
{
    const MyPPDModelRecord& last = kMyPrinterModels[rowCount() - 1];
    int32_t index = -7;
    EXPECT_EQ(MyPPDModelIsSupported(last.manufacturer, last.nickname, &index), 1);
    EXPECT_EQ(index, rowCount() - 1);
}

TEST(PH_MODEL_SUITE, NearMissesOfEveryModelMatchOnlyWhenExactlyAnotherRow)
{
    // Other case, extra or missing characters: the comparison is exact, so a
    // near miss is found only when it is itself a row (a prefix such as
    // "Fenwa CM 3030" of "Fenwa CM 3030s").
    for (int32_t i = 0; i < rowCount(); ++i) {
        const std::string manufacturer = kMyPrinterModels[i].manufacturer;
        const std::string nickname = kMyPrinterModels[i].nickname;
        std::string upper = nickname, lower = nickname;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::vector<std::pair<std::string, std::string>> misses = {
            {"Fenwa", nickname}, {"fenwa", nickname}, {manufacturer + " ", nickname},
            {manufacturer.substr(0, manufacturer.size() - 1), nickname}, {manufacturer + "X", nickname},
            {manufacturer, nickname + " "}, {manufacturer, " " + nickname}, {manufacturer, upper},
            {manufacturer, lower}, {manufacturer, nickname.substr(0, nickname.size() - 1)},
            {manufacturer, nickname + "X"}, {manufacturer, nickname.substr(6)},
            {manufacturer, withoutSpaces(nickname)}, {nickname, manufacturer},
        };
        for (const auto& [m, n] : misses) {
            SCOPED_TRACE("'" + m + "' / '" + n + "'");
            const int32_t expected = referenceIndex(m, n);
            int32_t index = -7;
            EXPECT_EQ(MyPPDModelIsSupported(m.c_str(), n.c_str(), &index), expected != -1 ? 1 : 0);
            EXPECT_EQ(index, expected);
        }
    }
}

TEST(PH_MODEL_SUITE, NullOrEmptyTextsAreNotSupportedAndStoreMinusOne)
{
    const char* m = kMyPrinterModels[0].manufacturer;
    const char* n = kMyPrinterModels[0].nickname;
    const std::vector<std::pair<const char*, const char*>> cases = {
        {nullptr, n}, {m, nullptr}, {nullptr, nullptr}, {"", n}, {m, ""}, {"", ""}, {"", nullptr},
    };
    for (const auto& [manufacturer, nickname] : cases) {
        SCOPED_TRACE(std::string(manufacturer ? manufacturer : "(null)") + " / " + (nickname ? nickname : "(null)"));
        int32_t index = 42;
        EXPECT_EQ(MyPPDModelIsSupported(manufacturer, nickname, &index), 0);
        EXPECT_EQ(index, -1);
    }
}

TEST(PH_MODEL_SUITE, ANullIndexPointerGivesTheResultAlone)
{
    const MyPPDModelRecord& row = kMyPrinterModels[0];
    EXPECT_EQ(MyPPDModelIsSupported(row.manufacturer, row.nickname, nullptr), 1);
    EXPECT_EQ(MyPPDModelIsSupported(row.manufacturer, "Fenwa", nullptr), 0);
    EXPECT_EQ(MyPPDModelIsSupported(nullptr, nullptr, nullptr), 0);
}

TEST(PH_MODEL_SUITE, ModelsOfOtherFamiliesAreNotSupported)
{
    for (const char* const* n = kForeignNicknames; *n != nullptr; ++n) {
        SCOPED_TRACE(*n);
        int32_t index = 42;
        EXPECT_EQ(MyPPDModelIsSupported("FENWA", *n, &index), 0);
        EXPECT_EQ(index, -1);
    }
}

TEST(PH_MODEL_SUITE, ASingleRowFamilyAnswersZeroForItsPairAndMinusOneForEveryOther)
{
    if (rowCount() != 1)
        GTEST_SKIP() << "this family has " << rowCount() << " rows";
    const MyPPDModelRecord& row = kMyPrinterModels[0];
    int32_t index = -7;
    EXPECT_EQ(MyPPDModelIsSupported(row.manufacturer, row.nickname, &index), 1);
    EXPECT_EQ(index, 0);
    for (const char* other : {"Fenwa", "Fenwa ", "FENWA", "Fenwa X"}) {
        index = -7;
        EXPECT_EQ(MyPPDModelIsSupported(row.manufacturer, other, &index), 0) << other;
        EXPECT_EQ(index, -1);
    }
}

}  // namespace
