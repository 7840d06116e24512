// ExecPrint of the Ostrel control: a command stream to a serial port,
// whole or in pieces, then the wait, then the port closed.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string_view>
#include <vector>

namespace ostrel {

// Texts whose UTF-16 byte length reaches this go out in pieces.
constexpr long kShortTextLimitBytes = 8096;
// Characters per piece (not the byte limit above).
constexpr size_t kPieceLength = 8090;

// The pieces a long text goes out in, in order: kPieceLength characters
// each from the first, each with the spaces (U+0020 only) at its two ends
// removed. A piece of spaces only becomes empty text. Views into |text|.
std::vector<std::wstring_view> CutIntoPieces(std::wstring_view text);

// The print itself, driving |serialPort| through its dispatch interface:
// the stream (a short text or a byte array in one Output, a long text in
// pieces), then the wait of |waitMs|, converted only after the writes.
// Throws ComError at the first failing step; the port is closed either way.
void PrintCommandStream(IDispatch* serialPort, const VARIANT& commandStream, const VARIANT& waitMs,
                        const VARIANT& settings, const VARIANT& portNumber);

}  // namespace ostrel
