#include "serial_print.h"

#include "../core/convert.h"
#include "../core/dispatch_call.h"
#include "../core/errors.h"
#include "../core/port_print.h"

namespace ostrel {

namespace {

using namespace core;

std::wstring_view TrimSpaces(std::wstring_view piece) {
    const size_t first = piece.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    const size_t last = piece.find_last_not_of(L' ');
    return piece.substr(first, last - first + 1);
}

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
    ForEachPiece(text.View(), [&](std::wstring_view piece) {
        const ScopedBstr pieceText = ScopedBstr::Copy(piece);
        OutputToSerialPort(serialPort, BorrowedText(pieceText.Get()));
    });
}

}  // namespace

void ForEachPiece(std::wstring_view text, const std::function<void(std::wstring_view)>& write) {
    for (size_t start = 0; start < text.size(); start += kPieceLength)
        write(TrimSpaces(text.substr(start, kPieceLength)));
}

void PrintToSerialPort(IDispatch* serialPort, const VARIANT& commandStream, const VARIANT& waitMs,
                       const VARIANT& settings, const VARIANT& portNumber) {
    SelectSerialPort(serialPort, portNumber, L"PORT", &settings);
    PrintOnSerialPort(serialPort, [&] {
        WriteStream(serialPort, commandStream);
        const int32_t wait = ToInt32(waitMs, L"N_TIME");
        // A negative wait is no wait, never an endless one.
        Sleep(wait > 0 ? static_cast<DWORD>(wait) : 0);
    });
}

}  // namespace ostrel
