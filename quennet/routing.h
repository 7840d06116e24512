// Where a Quennet print goes: the first parallel port for the mode "LPT",
// the serial port component for anything else.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quennet {

// The device names of the first parallel port: ExecPrint opens the first,
// the panel's test the second; both name the same port.
inline constexpr wchar_t kExecPrintDevice[] = L"LPT1:";
inline constexpr wchar_t kPanelTestDevice[] = L"LPT1";

// True when |mode|, with the spaces (U+0020 only) at its two ends removed,
// is exactly "LPT" (case-sensitive). Null is no mode; a value without a
// text form fails with a type mismatch.
bool SelectsParallelPort(const VARIANT& mode);

}  // namespace quennet
