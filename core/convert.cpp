#include "convert.h"

#include <new>
#include <string>

#include "errors.h"

namespace core {

namespace {

const wchar_t* TargetName(VARTYPE type) {
    switch (type) {
        case VT_I2:
            return L"a number from -32768 to 32767";
        case VT_I4:
            return L"a number from -2147483648 to 2147483647";
        default:
            return L"text";
    }
}

void Convert(const VARIANT& value, VARTYPE type, std::wstring_view argument, VARIANT* out) {
    std::wstring name(argument);
    if (IsNull(value)) Throw(kInvalidUseOfNull, L"Invalid use of Null: " + name + L" is Null");
    // Booleans become "True"/"False" as a script would write them.
    const HRESULT hr =
        VariantChangeTypeEx(out, const_cast<VARIANT*>(&value), LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL, type);
    if (SUCCEEDED(hr)) return;
    switch (hr) {
        case DISP_E_OVERFLOW:
            Throw(kOverflow, L"Overflow: " + name + L" must be " + TargetName(type));
        case DISP_E_TYPEMISMATCH:
        case DISP_E_BADVARTYPE:
            Throw(kTypeMismatch, L"Type mismatch: " + name + L" cannot be read as " + TargetName(type));
        case E_OUTOFMEMORY:
            throw std::bad_alloc();
        default:
            ThrowIfFailed(hr, name);
    }
}

}  // namespace

std::wstring_view Trim(std::wstring_view text, std::wstring_view characters) noexcept {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::wstring_view::npos) return {};
    return text.substr(first, text.find_last_not_of(characters) - first + 1);
}

const VARIANT& Deref(const VARIANT& value) noexcept {
    const VARIANT* current = &value;
    while (V_VT(current) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(current) != nullptr)
        current = V_VARIANTREF(current);
    return *current;
}

bool IsNull(const VARIANT& value) noexcept {
    const VARIANT& target = Deref(value);
    return (V_VT(&target) & ~VT_BYREF) == VT_NULL;
}

ScopedBstr ToText(const VARIANT& value, std::wstring_view argument) {
    const VARIANT& target = Deref(value);
    if (V_VT(&target) == VT_BSTR) return ScopedBstr::Copy({V_BSTR(&target), SysStringLen(V_BSTR(&target))});
    ScopedVariant converted;
    Convert(target, VT_BSTR, argument, converted.Ptr());
    BSTR text = V_BSTR(converted.Ptr());
    V_VT(converted.Ptr()) = VT_EMPTY;
    return ScopedBstr(text);
}

TextArgument::TextArgument(const VARIANT& value, std::wstring_view argument) {
    const VARIANT& target = Deref(value);
    const BSTR* borrowed = V_VT(&target) == VT_BSTR                ? &V_BSTR(&target)
                           : V_VT(&target) == (VT_BSTR | VT_BYREF) ? V_BSTRREF(&target)
                                                                   : nullptr;
    if (borrowed != nullptr) {
        view_ = {*borrowed ? *borrowed : L"", SysStringLen(*borrowed)};
    } else {
        owned_ = ToText(target, argument);
        view_ = owned_.View();
    }
}

int16_t ToInt16(const VARIANT& value, std::wstring_view argument) {
    ScopedVariant converted;
    Convert(value, VT_I2, argument, converted.Ptr());
    return V_I2(&converted.Get());
}

int32_t ToInt32(const VARIANT& value, std::wstring_view argument) {
    ScopedVariant converted;
    Convert(value, VT_I4, argument, converted.Ptr());
    return V_I4(&converted.Get());
}

ArrayAccess::ArrayAccess(SAFEARRAY* array, std::wstring_view argument) : array_(array) {
    ThrowIfFailed(SafeArrayAccessData(array, &data_), argument);
}

ByteArrayBytes::ByteArrayBytes(SAFEARRAY* array, std::wstring_view argument) {
    if (array == nullptr) return;
    const std::wstring name(argument);
    if (SafeArrayGetDim(array) != 1)
        Throw(kTypeMismatch, L"Type mismatch: " + name + L" must be a byte array of one dimension, not " +
                                 std::to_wstring(SafeArrayGetDim(array)));
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        Throw(kTypeMismatch, L"Type mismatch: the bounds of the byte array " + name + L" cannot be read");
    if (upper < lower) return;
    access_.emplace(array, argument);
    bytes_ = {static_cast<const char*>(access_->Data()), static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1)};
}

void ToWireBytes(const VARIANT& value, std::wstring_view argument, std::string& bytes) {
    // Empty after any failure. Not emptied first: a buffer that held a text
    // of the same length is written over, not filled with zeros again.
    struct EmptyOnFailure {
        std::string& bytes;
        bool done = false;
        ~EmptyOnFailure() {
            if (!done) bytes.clear();
        }
    } result{bytes};
    const VARIANT& target = Deref(value);
    const VARTYPE type = V_VT(&target);
    if (type == (VT_ARRAY | VT_UI1) || type == (VT_ARRAY | VT_UI1 | VT_BYREF)) {
        const ByteArrayBytes array((type & VT_BYREF) ? *V_ARRAYREF(&target) : V_ARRAY(&target), argument);
        bytes.assign(array.View());
        result.done = true;
        return;
    }
    const TextArgument text(target, argument);
    const std::wstring_view view = text.View();
    const int length = static_cast<int>(view.size());
    const int size =
        length == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, view.data(), length, nullptr, 0, nullptr, nullptr);
    if (length != 0 && size <= 0)
        ThrowLastError(kTypeMismatch, std::wstring(argument) + L" text could not be converted to the system code page");
    bytes.resize(static_cast<size_t>(size));
    if (size != 0) WideCharToMultiByte(CP_ACP, 0, view.data(), length, bytes.data(), size, nullptr, nullptr);
    result.done = true;
}

}  // namespace core
