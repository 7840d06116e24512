// How values and failures look on the wire: JSON values to and from
// VARIANTs, UTF-8 to and from UTF-16, and the number a script's Err object
// would show for a failure code.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace bridge {

// Objects keep the order their members were written in (the id first in replies).
using Json = nlohmann::ordered_json;

// The conversions of text the bridge passes; both throw std::bad_alloc
// when memory runs out. Ill-formed input becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Writes |value| into |out| (initialised, empty): a string as VT_BSTR, an
// integer in the int32 range as VT_I4, any other number as VT_R8, true and
// false as VT_BOOL, null as VT_NULL and {"bytes": "<base64>"} as a byte
// array with lower bound 0. Anything else throws core::ComError(E_INVALIDARG)
// naming |what|.
void JsonToVariant(const Json& value, std::wstring_view what, VARIANT* out);

// The JSON form of a result, by the same table the other way; VT_EMPTY is
// null. A value of any other kind throws core::ComError (type mismatch)
// naming |what|.
Json VariantToJson(const VARIANT& value, std::wstring_view what);

// What VBScript's Err.Number shows for |code|.
int32_t ErrorNumber(HRESULT code) noexcept;

}  // namespace bridge
