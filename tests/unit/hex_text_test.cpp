// Reading hexadecimal text the way "&H" + text + "&" reads.
#include <gtest/gtest.h>

#include "errors.h"
#include "hex_text.h"

namespace {

using ostrel::HexTextToNumber;

TEST(HexText, ReadsDigitsInEitherCaseAsA32BitValue) {
    EXPECT_EQ(HexTextToNumber(L"FF"), 255);
    EXPECT_EQ(HexTextToNumber(L"ff"), 255);
    EXPECT_EQ(HexTextToNumber(L"10000"), 65536);
    EXPECT_EQ(HexTextToNumber(L"FFFF"), 65535) << "the closing & makes every value 32-bit";
    EXPECT_EQ(HexTextToNumber(L"7FFFFFFF"), 2147483647);
    EXPECT_EQ(HexTextToNumber(L"80000000"), -2147483648.0);
    EXPECT_EQ(HexTextToNumber(L"FFFFFFFF"), -1);
    // What the member hands over for the numbers 10 and 255: their decimal text.
    EXPECT_EQ(HexTextToNumber(L"10"), 16);
    EXPECT_EQ(HexTextToNumber(L"255"), 597);
}

TEST(HexText, SkipsBlanksAndStopsAtTheFirstOtherCharacter) {
    EXPECT_EQ(HexTextToNumber(L" FF"), 255);
    EXPECT_EQ(HexTextToNumber(L"F\tF\n"), 255);
    EXPECT_EQ(HexTextToNumber(L"1G"), 1);
    EXPECT_EQ(HexTextToNumber(L"0x1F"), 0);
    EXPECT_EQ(HexTextToNumber(L"G1"), 0);
    EXPECT_EQ(HexTextToNumber(L""), 0);
    EXPECT_EQ(HexTextToNumber(L"\rFF"), 0) << "a carriage return is no blank";
    // Digits stopped early are still a 32-bit value, never a 16-bit one.
    EXPECT_EQ(HexTextToNumber(L"FFFF,"), 65535);
    EXPECT_EQ(HexTextToNumber(L"1.5"), 1);
}

TEST(HexText, MoreThanEightSignificantDigitsOverflow) {
    EXPECT_EQ(HexTextToNumber(L"000000001"), 1) << "leading zeros are not significant";
    EXPECT_EQ(HexTextToNumber(L"00FFFFFFFF"), -1);
    try {
        HexTextToNumber(L"123456789");
        ADD_FAILURE() << "nine significant digits must fail";
    } catch (const core::ComError& error) {
        EXPECT_EQ(error.Code(), core::kOverflow);
        EXPECT_NE(error.Description().find(L"123456789"), std::wstring::npos);
    }
}

}  // namespace
