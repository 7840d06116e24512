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
#include "utf8.h"

namespace bridge {

namespace base64 = boost::beast::detail::base64;

namespace {

using ScopedArray = core::UniqueValue<SAFEARRAY*, &SafeArrayDestroy>;

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

void BytesToVariant(std::string_view bytes, VARIANT* out) {
    // The message limit keeps |bytes| far below 4 GiB.
    ScopedArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    if (!array.IsValid()) throw std::bad_alloc();
    if (!bytes.empty()) {
        const core::ArrayAccess data(array.Get(), L"the byte array");
        std::memcpy(data.Data(), bytes.data(), bytes.size());
    }
    V_VT(out) = VT_ARRAY | VT_UI1;
    V_ARRAY(out) = array.Release();
}

ReplyJson ByteArrayToJson(SAFEARRAY* array, std::wstring_view what) {
    const core::ByteArrayBytes bytes(array, what);
    std::string text(base64::encoded_size(bytes.View().size()), '\0');
    text.resize(base64::encode(text.data(), bytes.View().data(), bytes.View().size()));
    return ReplyJson{{"bytes", std::move(text)}};
}

// The bytes of the UTF-8 sequence that |lead| begins.
size_t SequenceLength(char lead) {
    const auto byte = static_cast<unsigned char>(lead);
    return byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
}

// How many bytes at the end of |utf8| begin a sequence that is not complete there.
size_t IncompleteTail(std::string_view utf8) {
    for (size_t back = 1; back <= 3 && back <= utf8.size(); ++back) {
        const char byte = utf8[utf8.size() - back];
        if ((static_cast<unsigned char>(byte) & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        return SequenceLength(byte) > back ? back : 0;
    }
    return 0;
}

}  // namespace

FrameValue::FrameValue(bool text, size_t expected) : text_(text) {
    if (text_) {
        V_VT(value_.Ptr()) = VT_BSTR;
        V_BSTR(value_.Ptr()) = nullptr;
    } else {
        // Not a vector array: its data is apart from its descriptor, so that it can grow.
        SAFEARRAYBOUND empty{0, 0};
        V_VT(value_.Ptr()) = VT_ARRAY | VT_UI1;
        V_ARRAY(value_.Ptr()) = SafeArrayCreate(VT_UI1, 1, &empty);
        if (V_ARRAY(&value_.Get()) == nullptr) throw std::bad_alloc();
    }
    Reserve(expected);
}

// Room for |units| more, doubling what is held when it grows.
void FrameValue::Reserve(size_t more) {
    if (written_ + more <= capacity_) return;
    const size_t units = std::max(written_ + more, 2 * capacity_);
    // The message limit keeps |units| far below 4 GiB.
    if (text_) {
        BSTR& text = V_BSTR(value_.Ptr());
        const bool grown = text == nullptr ? (text = SysAllocStringLen(nullptr, static_cast<UINT>(units))) != nullptr
                                           : SysReAllocStringLen(&text, text, static_cast<UINT>(units)) != FALSE;
        if (!grown) throw std::bad_alloc();
    } else {
        SAFEARRAYBOUND bound{static_cast<ULONG>(units), 0};
        if (FAILED(SafeArrayRedim(V_ARRAY(value_.Ptr()), &bound))) throw std::bad_alloc();
    }
    capacity_ = units;
}

void FrameValue::Append(std::string_view piece) {
    if (piece.empty()) return;
    if (!text_) {
        Reserve(piece.size());
        const core::ArrayAccess data(V_ARRAY(value_.Ptr()), L"a binary message");
        std::memcpy(static_cast<char*>(data.Data()) + written_, piece.data(), piece.size());
        written_ += piece.size();
        return;
    }
    // A sequence cut between two pieces is decoded once it is whole.
    if (!pending_.empty()) {
        const size_t missing = SequenceLength(pending_[0]) - pending_.size();
        const size_t taken = std::min(missing, piece.size());
        pending_.append(piece.substr(0, taken));
        piece.remove_prefix(taken);
        if (taken < missing) return;
        Decode(pending_);
        pending_.clear();
    }
    const size_t tail = IncompleteTail(piece);
    Decode(piece.substr(0, piece.size() - tail));
    pending_.assign(piece.substr(piece.size() - tail));
}

void FrameValue::Decode(std::string_view utf8) {
    if (utf8.empty()) return;
    // UTF-16 never takes more code units than UTF-8 takes bytes.
    Reserve(utf8.size());
    written_ += MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    V_BSTR(value_.Ptr()) + written_, static_cast<int>(capacity_ - written_));
}

core::ScopedVariant FrameValue::Finish() {
    if (text_) {
        // A sequence the message ends within becomes U+FFFD, as anywhere else.
        Decode(pending_);
        pending_.clear();
        if (written_ != capacity_ &&
            !SysReAllocStringLen(&V_BSTR(value_.Ptr()), V_BSTR(&value_.Get()), static_cast<UINT>(written_)))
            throw std::bad_alloc();
    } else if (written_ != capacity_) {
        SAFEARRAYBOUND bound{static_cast<ULONG>(written_), 0};
        if (FAILED(SafeArrayRedim(V_ARRAY(value_.Ptr()), &bound))) throw std::bad_alloc();
    }
    return std::move(value_);
}

core::ScopedVariant Frames::Take(std::wstring_view what) {
    if (next_ == values_.size()) Refuse(what, L"names a binary message that did not follow the request");
    return std::move(values_[next_++]);
}

bool IsFramePlaceholder(const Json& value) {
    if (!value.is_object() || value.size() != 1) return false;
    const auto kind = value.find("frame");
    return kind != value.end() && (*kind == "text" || *kind == "bytes");
}

bool IsTextFrame(const Json& placeholder) {
    return placeholder.at("frame") == "text";
}

void JsonToVariant(Json& value, std::wstring_view what, Frames& frames, VARIANT* out) {
    switch (value.type()) {
        case Json::value_t::string: {
            std::string& text = value.get_ref<std::string&>();
            V_VT(out) = VT_BSTR;
            V_BSTR(out) = Utf8ToBstr(text).Release();
            std::string().swap(text);
            return;
        }
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
            if (IsFramePlaceholder(value)) {
                core::ScopedVariant taken = frames.Take(what);
                *out = taken.Get();
                VariantInit(taken.Ptr());  // now |out|'s
                return;
            }
            const auto bytes = value.find("bytes");
            if (value.size() != 1 || bytes == value.end() || !bytes->is_string())
                Refuse(what,
                       L"is an object other than {\"bytes\": \"<base64>\"}, {\"frame\": \"text\"} or "
                       L"{\"frame\": \"bytes\"}");
            std::string& text = bytes->get_ref<std::string&>();
            BytesToVariant(DecodeBase64(text, what), out);
            std::string().swap(text);
            return;
        }
        default:
            Refuse(what, L"is of a kind the bridge does not pass (an array or a binary value)");
    }
}

ReplyJson VariantToJson(const VARIANT& value, std::wstring_view what) {
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

}  // namespace bridge
