// Hexadecimal text to a number, read the way "&H" + text + "&" reads: the
// member dectohex, which is the interface's name for reading hexadecimal
// text (not for writing it, as the name might suggest).
#pragma once

#include <string_view>

namespace ostrel {

// Spaces, tabs and line feeds are skipped anywhere; hexadecimal digits are
// read up to the first other character; no digit gives 0. The digits are a
// 32-bit two's-complement value (FFFFFFFF is -1, FFFF is 65535). More than
// eight significant digits (leading zeros do not count) throw the overflow
// error.
double HexTextToNumber(std::wstring_view text);

}  // namespace ostrel
