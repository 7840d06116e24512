// The standard automation conversions that member arguments go through:
// the platform's variant conversion in the user's locale, with null told apart.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scoped.h"

namespace core {

// |text| without the |characters| (spaces unless told) at its two ends.
std::wstring_view Trim(std::wstring_view text, std::wstring_view characters = L" ") noexcept;

// Follows VT_BYREF|VT_VARIANT to the value it refers to.
const VARIANT& Deref(const VARIANT& value) noexcept;
bool IsNull(const VARIANT& value) noexcept;

// The text form of a value, borrowed from the caller's string when the value
// already is text, converted (and owned) otherwise.
class TextArgument {
public:
    TextArgument(const VARIANT& value, std::wstring_view argument);
    std::wstring_view View() const noexcept { return view_; }

private:
    ScopedBstr owned_;
    std::wstring_view view_;
};

// Each throws ComError (overflow, type mismatch or invalid use of null) naming |argument|.
ScopedBstr ToText(const VARIANT& value, std::wstring_view argument);
int16_t ToInt16(const VARIANT& value, std::wstring_view argument);
int32_t ToInt32(const VARIANT& value, std::wstring_view argument);

// A SAFEARRAY's data, accessed (SafeArrayAccessData) for as long as this
// lives and given back on every path. Throws ComError naming |argument|
// when the data cannot be had.
class ArrayAccess {
public:
    ArrayAccess(SAFEARRAY* array, std::wstring_view argument);
    ArrayAccess(const ArrayAccess&) = delete;
    ArrayAccess& operator=(const ArrayAccess&) = delete;
    ~ArrayAccess() { SafeArrayUnaccessData(array_); }
    void* Data() const noexcept { return data_; }

private:
    SAFEARRAY* array_;
    void* data_ = nullptr;
};

// The bytes of a byte array, readable while this lives: one dimension, its
// bounds read and checked, its data accessed. A null array holds no bytes.
// Throws ComError (type mismatch) naming |argument| for any other shape or
// for bounds that cannot be read.
class ByteArrayBytes {
public:
    ByteArrayBytes(SAFEARRAY* array, std::wstring_view argument);
    std::string_view View() const noexcept { return bytes_; }

private:
    std::optional<ArrayAccess> access_;
    std::string_view bytes_;
};

// The bytes a value puts on the wire, into |bytes| (reused, so pieces of a
// long print do not allocate each time): a byte array as it is, anything
// else as its text in the system ANSI code page.
void ToWireBytes(const VARIANT& value, std::wstring_view argument, std::string& bytes);

}  // namespace core
