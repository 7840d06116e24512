// The test panel: a text box with a serial port number and two buttons that
// print the test label to that serial port or to the first parallel port.
// A failed test is shown to the person at the screen; the panel goes on.
#include <windows.h>

#include <string>

#include "../core/convert.h"
#include "../core/dispatch_call.h"
#include "../core/errors.h"
#include "../core/module.h"
#include "../core/parallel_port.h"
#include "../core/port_print.h"
#include "lumtag.h"
#include "routing.h"
#include "test_label.h"

namespace quennet {

namespace {

enum ChildId : int { kCommand1 = 1, kCommand2 = 2, kText1 = 3 };

struct ChildLayout {
    ChildId id;
    const wchar_t* windowClass;
    const wchar_t* text;
    DWORD style;
    int left, top, width, height;  // twips
};

// In tab order (Command1, Command2, Text1): creation order is tab order.
constexpr ChildLayout kChildren[] = {
    {kCommand1, L"BUTTON", L"LPT PORT TEST", BS_PUSHBUTTON | BS_NOTIFY, 3420, 0, 2805, 555},
    {kCommand2, L"BUTTON", L"COM PORT TEST", BS_PUSHBUTTON | BS_NOTIFY, 960, 0, 2415, 555},
    {kText1, L"EDIT", L"6", ES_AUTOHSCROLL | ES_LEFT, 30, 30, 885, 495},
};

constexpr int kTwipsPerInch = 1440;
constexpr int kText1Points = 24;

// The container's resolution, in dots per inch (x, y).
SIZE ContainerDpi(HWND window) {
    const HWND parent = GetParent(window);
    HDC dc = GetDC(parent);
    const SIZE dpi{GetDeviceCaps(dc, LOGPIXELSX), GetDeviceCaps(dc, LOGPIXELSY)};
    ReleaseDC(parent, dc);
    return dpi;
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

}  // namespace

void Lumtag::OnWindowCreated(HWND window) {
    for (const ChildLayout& child : kChildren) {
        const HWND created =
            CreateWindowExW(child.id == kText1 ? WS_EX_CLIENTEDGE : 0, child.windowClass, child.text,
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | child.style, 0, 0, 0, 0, window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(child.id)), core::ModuleHandle(), nullptr);
        if (created == nullptr) core::ThrowLastError(E_FAIL, L"The test panel could not be created");
        (child.id == kCommand1 ? command1_ : child.id == kCommand2 ? command2_ : text1_) = created;
        SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    }
    // Gulim in its Korean character set; where it is not installed, the
    // system's substitute at the same size.
    const SIZE dpi = ContainerDpi(window);
    text1Font_.Reset(CreateFontW(-MulDiv(kText1Points, dpi.cy, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                 HANGUL_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, L"Gulim"));
    if (text1Font_.Get() != nullptr)
        SendMessageW(text1_, WM_SETFONT, reinterpret_cast<WPARAM>(text1Font_.Get()), FALSE);
}

void Lumtag::OnWindowResized(HWND window) {
    // The panel keeps its design positions, converted at the container's resolution.
    const SIZE dpi = ContainerDpi(window);
    for (const ChildLayout& child : kChildren) {
        const HWND handle = GetDlgItem(window, child.id);
        if (handle == nullptr) continue;
        MoveWindow(handle, MulDiv(child.left, dpi.cx, kTwipsPerInch), MulDiv(child.top, dpi.cy, kTwipsPerInch),
                   MulDiv(child.width, dpi.cx, kTwipsPerInch), MulDiv(child.height, dpi.cy, kTwipsPerInch), TRUE);
    }
}

void Lumtag::OnCommand(WPARAM wparam, LPARAM) {
    if (HIWORD(wparam) != BN_CLICKED) return;
    const wchar_t* test = nullptr;
    try {
        switch (LOWORD(wparam)) {
            case kCommand2:
                test = L"COM PORT TEST";
                RunSerialTest();
                break;
            case kCommand1:
                test = L"LPT PORT TEST";
                RunParallelTest();
                break;
            default:
                return;
        }
    } catch (...) {
        const core::Failure failure = core::CurrentFailure();
        const std::wstring text =
            std::wstring(test) + L" failed: the test label was not printed.\n\n" + failure.description;
        // Owned by the control's window, so it stays with the panel it speaks of.
        MessageBoxW(Window(), text.c_str(), test, MB_OK | MB_ICONEXCLAMATION);
    }
}

void Lumtag::RunSerialTest() {
    // The box is read at the click, with the conversion ExecPrint gives PORT.
    const core::ScopedBstr portText = core::ScopedBstr::Copy(WindowText(text1_));
    core::SelectSerialPort(mscom_.Get(), core::BorrowedText(portText.Get()), L"The port number in the box", nullptr);
    const core::ScopedBstr label = core::ScopedBstr::Copy(TestLabelText());
    core::PrintOnSerialPort(mscom_.Get(),
                            [&] { core::OutputToSerialPort(mscom_.Get(), core::BorrowedText(label.Get())); });
}

void Lumtag::RunParallelTest() {
    core::ParallelPort port(kPanelTestDevice);
    // One write per line, as the label is laid out; all of it is ASCII.
    for (std::wstring_view line : kTestLabelLines) {
        std::string bytes(line.begin(), line.end());
        bytes.append("\r\n");
        port.Write(bytes.data(), bytes.size());
    }
    port.Close();
}

}  // namespace quennet
