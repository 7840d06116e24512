#include "serial_print.h"

#include "../core/convert.h"
#include "../core/dispatch_call.h"
#include "../core/port_print.h"

namespace ostrel {

namespace {

using namespace core;

bool IsByteArray(const VARIANT& value) {
    const VARTYPE type = V_VT(&Deref(value)) & ~VT_BYREF;
    return type == (VT_ARRAY | VT_UI1);
}

void WriteStream(IDispatch* serialPort, const VARIANT& commandStream) {
    // Binary data (a graphic download, say) goes out whole and untouched:
    // cutting or trimming it would corrupt it.
    if (IsByteArray(commandStream)) {
        OutputToSerialPort(serialPort, commandStream);
        return;
    }
    const TextArgument text(commandStream, L"PUR_NO");
    const long long byteLength = static_cast<long long>(text.View().size()) * 2;
    if (byteLength < kShortTextLimitBytes) {
        OutputToSerialPort(serialPort, commandStream);
        return;
    }
    for (const std::wstring_view piece : CutIntoPieces(text.View())) {
        const ScopedBstr pieceText = ScopedBstr::Copy(piece);
        OutputToSerialPort(serialPort, BorrowedText(pieceText.Get()));
    }
}

}  // namespace

std::vector<std::wstring_view> CutIntoPieces(std::wstring_view text) {
    std::vector<std::wstring_view> pieces;
    pieces.reserve((text.size() + kPieceLength - 1) / kPieceLength);
    for (size_t start = 0; start < text.size(); start += kPieceLength)
        pieces.push_back(Trim(text.substr(start, kPieceLength)));
    return pieces;
}

void PrintCommandStream(IDispatch* serialPort, const VARIANT& commandStream, const VARIANT& waitMs,
                        const VARIANT& settings, const VARIANT& portNumber) {
    PrintToSerialPort(serialPort, {portNumber, L"PORT", &settings}, [&] {
        WriteStream(serialPort, commandStream);
        const int32_t wait = ToInt32(waitMs, L"N_TIME");
        // A negative wait is no wait, never an endless one.
        Sleep(wait > 0 ? static_cast<DWORD>(wait) : 0);
    });
}

}  // namespace ostrel
