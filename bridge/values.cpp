#include "values.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include <boost/beast/core/detail/base64.hpp>

#include "convert.h"
#include "errors.h"
#include "scoped.h"

namespace bridge {

namespace base64 = boost::beast::detail::base64;

namespace {

struct ArrayDestroyer {
    void operator()(SAFEARRAY* array) const noexcept { SafeArrayDestroy(array); }
};
using ScopedArray = std::unique_ptr<SAFEARRAY, ArrayDestroyer>;

// Holds a SAFEARRAY's data for as long as it lives.
class ArrayData {
public:
    ArrayData(SAFEARRAY* array, std::wstring_view what) : array_(array) {
        if (FAILED(SafeArrayAccessData(array, &data_)))
            core::Throw(core::kTypeMismatch, L"Type mismatch: " + std::wstring(what) + L" cannot be read");
    }
    ArrayData(const ArrayData&) = delete;
    ArrayData& operator=(const ArrayData&) = delete;
    ~ArrayData() { SafeArrayUnaccessData(array_); }
    void* Get() const noexcept { return data_; }

private:
    SAFEARRAY* array_;
    void* data_ = nullptr;
};

[[noreturn]] void Refuse(std::wstring_view what, std::wstring_view why) {
    core::Throw(E_INVALIDARG, std::wstring(what) + L" " + std::wstring(why));
}

// Strict padded base64: the library's decoder stops at the first character
// outside the alphabet, so a text it did not read to its padding is refused.
std::string DecodeBase64(std::string_view text, std::wstring_view what) {
    const size_t padding = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
    std::string bytes(base64::decoded_size(text.size()), '\0');
    const auto [written, read] = base64::decode(bytes.data(), text.data(), text.size());
    if (text.size() % 4 != 0 || padding > 2 || read != text.size() - padding ||
        written != text.size() / 4 * 3 - padding)
        Refuse(what, L"has a \"bytes\" text that is not padded base64");
    bytes.resize(written);
    return bytes;
}

void BytesToVariant(const std::string& bytes, VARIANT* out) {
    // The message limit keeps |bytes| far below 4 GiB.
    ScopedArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!array) throw std::bad_alloc();
    if (!bytes.empty()) {
        const ArrayData data(array.get(), L"the byte array");
        std::memcpy(data.Get(), bytes.data(), bytes.size());
    }
    V_VT(out) = VT_ARRAY | VT_UI1;
    V_ARRAY(out) = array.release();
}

Json ByteArrayToJson(SAFEARRAY* array, std::wstring_view what) {
    std::string text;
    if (array != nullptr) {
        if (SafeArrayGetDim(array) != 1)
            core::Throw(core::kTypeMismatch, L"Type mismatch: " + std::wstring(what) + L" is an array of " +
                                                 std::to_wstring(SafeArrayGetDim(array)) + L" dimensions");
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        const size_t count = upper < lower ? 0 : static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1);
        const ArrayData data(array, what);
        text.resize(base64::encoded_size(count));
        text.resize(base64::encode(text.data(), data.Get(), count));
    }
    return Json{{"bytes", std::move(text)}};
}

// |text| as a BSTR in one pass: UTF-16 never takes more code units than
// UTF-8 takes bytes, so the string is made that long, and copied shorter
// only when the text was not all ASCII.
core::ScopedBstr Utf8ToBstr(std::string_view text) {
    if (text.size() > INT_MAX) throw std::bad_alloc();
    const int length = static_cast<int>(text.size());
    core::ScopedBstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (bstr.Get() == nullptr) throw std::bad_alloc();
    const int written = length == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), length, bstr.Get(), length);
    if (written < length) return core::ScopedBstr::Copy({bstr.Get(), static_cast<size_t>(written)});
    return bstr;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX) throw std::bad_alloc();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) throw std::bad_alloc();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    if (text.size() > INT_MAX / 3) throw std::bad_alloc();
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::bad_alloc();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

void JsonToVariant(const Json& value, std::wstring_view what, VARIANT* out) {
    switch (value.type()) {
        case Json::value_t::string:
            V_VT(out) = VT_BSTR;
            V_BSTR(out) = Utf8ToBstr(value.get_ref<const std::string&>()).Release();
            return;
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
            if (value >= INT32_MIN && value <= INT32_MAX) {
                V_VT(out) = VT_I4;
                V_I4(out) = value.get<int32_t>();
                return;
            }
            [[fallthrough]];
        case Json::value_t::number_float:
            V_VT(out) = VT_R8;
            V_R8(out) = value.get<double>();
            return;
        case Json::value_t::boolean:
            V_VT(out) = VT_BOOL;
            V_BOOL(out) = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
            return;
        case Json::value_t::null:
            V_VT(out) = VT_NULL;
            return;
        case Json::value_t::object: {
            const auto bytes = value.find("bytes");
            if (value.size() != 1 || bytes == value.end() || !bytes->is_string())
                Refuse(what, L"is an object other than {\"bytes\": \"<base64>\"}");
            BytesToVariant(DecodeBase64(bytes->get_ref<const std::string&>(), what), out);
            return;
        }
        default:
            Refuse(what, L"is of a kind the bridge does not pass (an array or a binary value)");
    }
}

Json VariantToJson(const VARIANT& value, std::wstring_view what) {
    const VARIANT& v = core::Deref(value);
    switch (V_VT(&v)) {
        case VT_EMPTY:
        case VT_NULL:
            return nullptr;
        case VT_BSTR:
            return WideToUtf8({V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v))});
        case VT_BOOL:
            return V_BOOL(&v) != VARIANT_FALSE;
        case VT_I1:
            return V_I1(&v);
        case VT_I2:
            return V_I2(&v);
        case VT_I4:
            return V_I4(&v);
        case VT_INT:
            return V_INT(&v);
        case VT_I8:
            return V_I8(&v);
        case VT_UI1:
            return V_UI1(&v);
        case VT_UI2:
            return V_UI2(&v);
        case VT_UI4:
            return V_UI4(&v);
        case VT_UINT:
            return V_UINT(&v);
        case VT_UI8:
            return V_UI8(&v);
        case VT_R4:
            return V_R4(&v);
        case VT_R8:
            return V_R8(&v);
        case VT_CY:
        case VT_DECIMAL: {
            core::ScopedVariant number;
            if (SUCCEEDED(VariantChangeType(number.Ptr(), const_cast<VARIANT*>(&v), 0, VT_R8)))
                return V_R8(&number.Get());
            break;
        }
        case VT_ARRAY | VT_UI1:
            return ByteArrayToJson(V_ARRAY(&v), what);
        default:
            break;
    }
    core::Throw(core::kTypeMismatch, L"Type mismatch: " + std::wstring(what) + L" is a value of variant type " +
                                         std::to_wstring(V_VT(&v)) + L", which the bridge does not pass");
}

int32_t ErrorNumber(HRESULT code) noexcept {
    if ((static_cast<uint32_t>(code) & 0xFFFF0000u) == 0x800A0000u) return code & 0xFFFF;
    switch (code) {
        case DISP_E_UNKNOWNNAME:
        case DISP_E_MEMBERNOTFOUND:
            return 438;
        case DISP_E_BADPARAMCOUNT:
            return 450;
        case DISP_E_PARAMNOTOPTIONAL:
            return 449;
        case DISP_E_TYPEMISMATCH:
            return 13;
        case DISP_E_OVERFLOW:
            return 6;
        case E_OUTOFMEMORY:
            return 7;
        case E_INVALIDARG:
            return 5;
        case E_ACCESSDENIED:
            return 70;
        default:
            return static_cast<int32_t>(code);
    }
}

}  // namespace bridge
