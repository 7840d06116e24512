// UTF-8, as pages send text, to and from UTF-16, as the controls take it.
// Each throws std::bad_alloc when memory runs out; ill-formed input becomes
// U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "scoped.h"

namespace bridge {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// |text| as a BSTR, in one pass.
core::ScopedBstr Utf8ToBstr(std::string_view text);

}  // namespace bridge
