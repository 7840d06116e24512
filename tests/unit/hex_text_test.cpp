// Reading hexadecimal text the way "&H" + text + "&" reads.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "errors.h"
#include "hex_text.h"
#include "ostrel_control.h"
#include "scoped.h"

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

namespace {

// The member around the reading: numbers are read as their decimal text,
// Null and Empty give 0, and the result is always a double.
TEST(HexTextMember, ConvertsTheArgumentsTextAndAnswersADouble) {
    Microsoft::WRL::ComPtr<_lumtag> control;
    ASSERT_EQ(ostrel::OstrelControl::Create(IID_PPV_ARGS(&control)), S_OK);
    const auto call = [&](VARIANT argument, VARIANT* result) { return control->dectohex(&argument, result); };

    VARIANT number, result;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 10;
    ASSERT_EQ(call(number, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_R8);
    EXPECT_EQ(V_R8(&result), 16);
    V_I4(&number) = 255;
    ASSERT_EQ(call(number, &result), S_OK);
    EXPECT_EQ(V_R8(&result), 597);

    VARIANT nothing;
    V_VT(&nothing) = VT_NULL;
    ASSERT_EQ(call(nothing, &result), S_OK);
    EXPECT_EQ(V_R8(&result), 0);
    V_VT(&nothing) = VT_EMPTY;
    ASSERT_EQ(call(nothing, &result), S_OK);
    EXPECT_EQ(V_R8(&result), 0);

    core::ScopedBstr text = core::ScopedBstr::Copy(L"123456789");
    VARIANT tooLong;
    V_VT(&tooLong) = VT_BSTR;
    V_BSTR(&tooLong) = text.Get();
    EXPECT_EQ(call(tooLong, &result), core::kOverflow);
    EXPECT_EQ(V_VT(&result), VT_EMPTY);

    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT noText;
    V_VT(&noText) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&noText) = array;
    EXPECT_EQ(call(noText, &result), core::kTypeMismatch);
    EXPECT_EQ(V_VT(&result), VT_EMPTY);
    SafeArrayDestroy(array);
}

}  // namespace
