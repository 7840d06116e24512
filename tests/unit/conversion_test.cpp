// The standard conversions every member argument goes through.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert.h"
#include "error_code_of.h"
#include "errors.h"

namespace {

using core::ComError;

VARIANT Double(double value) {
    VARIANT v;
    V_VT(&v) = VT_R8;
    V_R8(&v) = value;
    return v;
}

struct TextVariant {
    explicit TextVariant(const wchar_t* text) {
        V_VT(variant.Ptr()) = VT_BSTR;
        V_BSTR(variant.Ptr()) = SysAllocString(text);
    }
    core::ScopedVariant variant;
    const VARIANT& Get() const { return variant.Get(); }
};

VARIANT Typed(VARTYPE type) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = type;
    return v;
}

TEST(Conversion, ToInt16RoundsHalvesToEvenAndReadsText) {
    EXPECT_EQ(core::ToInt16(Double(2.5), L"PORT"), 2);
    EXPECT_EQ(core::ToInt16(Double(3.5), L"PORT"), 4);
    EXPECT_EQ(core::ToInt16(Double(-2.5), L"PORT"), -2);
    EXPECT_EQ(core::ToInt16(TextVariant(L"3").Get(), L"PORT"), 3);
    EXPECT_EQ(core::ToInt16(TextVariant(L" 7 ").Get(), L"PORT"), 7);
    EXPECT_EQ(core::ToInt16(Typed(VT_EMPTY), L"PORT"), 0);
    EXPECT_EQ(core::ToInt16(Double(32767), L"PORT"), 32767);
    EXPECT_EQ(core::ToInt16(Double(-32768), L"PORT"), -32768);
}

TEST(Conversion, FailuresAreOverflowTypeMismatchOrInvalidUseOfNull) {
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt16(Double(40000), L"PORT"); }, &description), core::kOverflow);
    EXPECT_NE(description.find(L"PORT"), std::wstring::npos) << "the description names the argument";
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt16(Double(-32769), L"PORT"); }), core::kOverflow);
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt16(TextVariant(L"abc").Get(), L"PORT"); }), core::kTypeMismatch);
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt16(TextVariant(L"").Get(), L"PORT"); }), core::kTypeMismatch);
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt16(Typed(VT_NULL), L"PORT"); }, &description), core::kInvalidUseOfNull);
    EXPECT_NE(description.find(L"PORT"), std::wstring::npos);
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt32(Double(2147483648.0), L"N_TIME"); }), core::kOverflow);
    EXPECT_EQ(ErrorCodeOf([] { core::ToInt32(TextVariant(L"abc").Get(), L"N_TIME"); }), core::kTypeMismatch);
    EXPECT_EQ(ErrorCodeOf([] { core::ToText(Typed(VT_NULL), L"SETTING"); }), core::kInvalidUseOfNull);
    // Arrays have no text form.
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT arrayValue;
    V_VT(&arrayValue) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&arrayValue) = array;
    EXPECT_EQ(ErrorCodeOf([&] { core::ToText(arrayValue, L"SETTING"); }), core::kTypeMismatch);
    SafeArrayDestroy(array);
}

TEST(Conversion, ToInt32FollowsTheSameRulesOverItsRange) {
    EXPECT_EQ(core::ToInt32(TextVariant(L"1500").Get(), L"N_TIME"), 1500);
    EXPECT_EQ(core::ToInt32(Double(9100.5), L"N_TIME"), 9100);
    EXPECT_EQ(core::ToInt32(Double(9101.5), L"N_TIME"), 9102);
    EXPECT_EQ(core::ToInt32(Double(-2147483648.0), L"N_TIME"), INT32_MIN);
    EXPECT_EQ(core::ToInt32(Typed(VT_EMPTY), L"N_TIME"), 0);
}

TEST(Conversion, ToTextGivesNumbersTheirTextAndEmptyTheEmptyText) {
    EXPECT_EQ(core::ToText(Double(9600), L"SETTING").View(), L"9600");
    EXPECT_EQ(core::ToText(Double(2.5), L"SETTING").View(), L"2.5");
    EXPECT_EQ(core::ToText(Typed(VT_EMPTY), L"SETTING").View(), L"");
    EXPECT_EQ(core::ToText(TextVariant(L"9600,N,8,1").Get(), L"SETTING").View(), L"9600,N,8,1");
    VARIANT boolean;
    V_VT(&boolean) = VT_BOOL;
    V_BOOL(&boolean) = VARIANT_TRUE;
    EXPECT_EQ(core::ToText(boolean, L"SETTING").View(), L"True");
}

TEST(Conversion, ByReferenceValuesAreFollowed) {
    // A script passes variables by reference: VT_BYREF|VT_VARIANT around the value.
    VARIANT inner = Double(3.5);
    VARIANT outer;
    V_VT(&outer) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&outer) = &inner;
    EXPECT_EQ(core::ToInt16(outer, L"PORT"), 4);

    VARIANT null = Typed(VT_NULL);
    V_VARIANTREF(&outer) = &null;
    EXPECT_TRUE(core::IsNull(outer));
    EXPECT_EQ(ErrorCodeOf([&] { core::ToInt16(outer, L"PORT"); }), core::kInvalidUseOfNull);

    short number = 6;
    VARIANT shortRef;
    V_VT(&shortRef) = VT_BYREF | VT_I2;
    V_I2REF(&shortRef) = &number;
    EXPECT_EQ(core::ToText(shortRef, L"PORT").View(), L"6");

    TextVariant text(L"borrowed");
    V_VARIANTREF(&outer) = const_cast<VARIANT*>(&text.Get());
    const core::TextArgument argument(outer, L"PUR_NO");
    EXPECT_EQ(argument.View(), L"borrowed");
    EXPECT_EQ(argument.View().data(), V_BSTR(&text.Get())) << "text is read in place, not copied";
}

TEST(Conversion, ByteArraysGoOutWholeFromOneDimensionOnly) {
    // Bytes 0..5 in arrays of several shapes; only a one-dimensional array is a byte stream.
    const struct {
        std::vector<SAFEARRAYBOUND> bounds;  // as SafeArrayCreate takes them
        HRESULT code;
        std::string bytes;
    } cases[] = {
        {{{6, 0}}, S_OK, std::string("\0\1\2\3\4\5", 6)},
        {{{3, 5}}, S_OK, std::string("\0\1\2", 3)},
        {{{0, 0}}, S_OK, ""},
        {{{3, 0}, {2, 0}}, core::kTypeMismatch, ""},
        {{{1, 0}, {1, 0}, {1, 0}}, core::kTypeMismatch, ""},
    };
    for (const auto& c : cases) {
        SAFEARRAY* array =
            SafeArrayCreate(VT_UI1, static_cast<UINT>(c.bounds.size()), const_cast<SAFEARRAYBOUND*>(c.bounds.data()));
        ASSERT_NE(array, nullptr);
        unsigned char* data = nullptr;
        ASSERT_EQ(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)), S_OK);
        ULONG total = 1;
        for (const SAFEARRAYBOUND& bound : c.bounds) total *= bound.cElements;
        for (ULONG i = 0; i < total; ++i) data[i] = static_cast<unsigned char>(i);
        SafeArrayUnaccessData(array);
        core::ScopedVariant value;
        V_VT(value.Ptr()) = VT_ARRAY | VT_UI1;
        V_ARRAY(value.Ptr()) = array;
        std::string bytes = "left over";
        EXPECT_EQ(ErrorCodeOf([&] { core::ToWireBytes(value.Get(), L"PUR_NO", bytes); }), c.code) << c.bounds.size();
        EXPECT_EQ(bytes, c.bytes) << c.bounds.size();
        EXPECT_EQ(array->cLocks, 0u) << "the array is left unlocked";
    }

    // An array descriptor without dimensions has no bounds to read.
    SAFEARRAY noDimensions{};
    noDimensions.cbElements = 1;
    VARIANT value;
    V_VT(&value) = VT_ARRAY | VT_UI1;
    V_ARRAY(&value) = &noDimensions;
    std::string bytes;
    EXPECT_EQ(ErrorCodeOf([&] { core::ToWireBytes(value, L"PUR_NO", bytes); }), core::kTypeMismatch);
}

TEST(ScopedWrappers, OwnAndHandOverTheirValues) {
    core::ScopedBstr text = core::ScopedBstr::Copy(L"label");
    EXPECT_EQ(text.Length(), 5u);
    core::ScopedBstr moved(std::move(text));
    EXPECT_EQ(text.Get(), nullptr);
    EXPECT_EQ(moved.View(), L"label");
    BSTR released = moved.Release();
    EXPECT_EQ(moved.Get(), nullptr);
    SysFreeString(released);
    EXPECT_EQ(core::ScopedBstr().View(), L"") << "a null BSTR is the empty text";

    core::ScopedHandle handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_TRUE(handle.IsValid());
    core::ScopedHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid.IsValid());
}

}  // namespace
