#include "utf8.h"

#include <windows.h>

#include <climits>
#include <new>

namespace bridge {

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

// UTF-16 never takes more code units than UTF-8 takes bytes, so the string
// is made that long, and copied shorter only when the text was not all ASCII.
core::ScopedBstr Utf8ToBstr(std::string_view text) {
    if (text.size() > INT_MAX) throw std::bad_alloc();
    const int length = static_cast<int>(text.size());
    core::ScopedBstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (bstr.Get() == nullptr) throw std::bad_alloc();
    const int written = length == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), length, bstr.Get(), length);
    if (written < length) return core::ScopedBstr::Copy({bstr.Get(), static_cast<size_t>(written)});
    return bstr;
}

}  // namespace bridge
