#include "hex_text.h"

#include <cstdint>
#include <string>

#include "../core/errors.h"

namespace ostrel {

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

}  // namespace

double HexTextToNumber(std::wstring_view text) {
    uint32_t value = 0;
    int significant = 0;
    for (const wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\n') continue;
        const int digit = HexDigit(c);
        if (digit < 0) break;
        if (significant == 0 && digit == 0) continue;
        if (++significant > 8)
            core::Throw(core::kOverflow,
                        L"Overflow: \"" + std::wstring(text) + L"\" has more than eight hexadecimal digits");
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return static_cast<double>(static_cast<int32_t>(value));
}

}  // namespace ostrel
