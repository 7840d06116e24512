// The line settings of a serial port as scripts write them:
// "baud,parity,data,stop", e.g. "9600,N,8,1".
#pragma once

#include <windows.h>

#include <string_view>

namespace core {

struct LineSettings {
    DWORD baud = 9600;
    BYTE parity = NOPARITY;
    BYTE dataBits = 8;
    BYTE stopBits = ONESTOPBIT;

    // Throws ComError (invalid property value) for a text it cannot take.
    static LineSettings Parse(std::wstring_view text);
    // Bits on the line for one byte, start bit included.
    unsigned BitsPerByte() const noexcept;
};

}  // namespace core
