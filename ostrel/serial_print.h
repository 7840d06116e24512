// ExecPrint of the Ostrel control: a command stream to a serial port,
// whole or in pieces, then the wait, then the port closed.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string_view>

namespace ostrel {

// Texts whose UTF-16 byte length reaches this go out in pieces.
constexpr long kShortTextLimitBytes = 8096;
// Characters per piece (not the byte limit above).
constexpr size_t kPieceLength = 8090;

// Calls |write| for each piece of |text| in order: pieces of kPieceLength
// characters from the first, each with spaces (U+0020 only) removed at both
// ends. A piece of spaces only becomes empty text.
void ForEachPiece(std::wstring_view text, const std::function<void(std::wstring_view)>& write);

// The print itself, driving |serialPort| through its dispatch interface.
// Throws ComError at the first failing step. A failure after the port was
// opened closes the port before the failure goes on, so the next print does
// not find the port left open.
void PrintToSerialPort(IDispatch* serialPort, const VARIANT& commandStream, const VARIANT& waitMs,
                       const VARIANT& settings, const VARIANT& portNumber);

}  // namespace ostrel
