// How values look on the wire: JSON values, and the binary messages beside
// a request (protocol 2), to and from VARIANTs.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "scoped.h"

namespace bridge {

// A request as read: members in a map, so that reading one costs time in
// proportion to its size, however many keys it has.
using Json = nlohmann::json;
// A reply as written: its members in the order they were put in (the id first).
using ReplyJson = nlohmann::ordered_json;

// A value sent as a binary message beside a request (protocol 2), made as
// its pieces arrive: UTF-8 text into a BSTR, bytes into a byte array. The
// message itself is never held whole, and no JSON parser reads it.
class FrameValue {
public:
    // |expected|: the message's length in bytes as far as it is known.
    FrameValue(bool text, size_t expected);
    // Throws std::bad_alloc when memory runs out.
    void Append(std::string_view piece);
    core::ScopedVariant Finish();

private:
    void Decode(std::string_view utf8);
    void Reserve(size_t more);

    const bool text_;
    core::ScopedVariant value_;
    size_t written_ = 0;   // UTF-16 units or bytes
    size_t capacity_ = 0;  // what value_ holds room for
    std::string pending_;  // the start of a UTF-8 sequence that the next piece completes
};

// The values of the binary messages that followed a request, taken in order
// by the values that name them.
class Frames {
public:
    Frames() = default;
    explicit Frames(std::vector<core::ScopedVariant> values) : values_(std::move(values)) {}
    // The next value; throws core::ComError(E_INVALIDARG) naming |what| when none is left.
    core::ScopedVariant Take(std::wstring_view what);

private:
    std::vector<core::ScopedVariant> values_;
    size_t next_ = 0;
};

// Whether |value| stands for a value sent as a binary message:
// {"frame": "text"} or {"frame": "bytes"}, nothing else.
bool IsFramePlaceholder(const Json& value);
bool IsTextFrame(const Json& placeholder);

// Writes |value| into |out| (initialised, empty): a string as VT_BSTR, an
// integer in the int32 range as VT_I4, any other number as VT_R8, true and
// false as VT_BOOL, null as VT_NULL, {"bytes": "<base64>"} as a byte array
// with lower bound 0, and {"frame": "text"} or {"frame": "bytes"} as the
// next of |frames|. Anything else throws
// core::ComError(E_INVALIDARG) naming |what|. A string of |value| is emptied
// once it is converted: a long label is not held twice.
void JsonToVariant(Json& value, std::wstring_view what, Frames& frames, VARIANT* out);

// The JSON form of a result, by the same table the other way; VT_EMPTY is
// null. A value of any other kind throws core::ComError (type mismatch)
// naming |what|.
ReplyJson VariantToJson(const VARIANT& value, std::wstring_view what);

}  // namespace bridge
