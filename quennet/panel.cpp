// The test panel: a text box with a serial port number and two buttons that
// print the test label to that serial port or to the first parallel port.
// A failed test is shown to the person at the screen; the panel goes on.
#include <windows.h>

#include <string>

#include "../core/dispatch_call.h"
#include "../core/errors.h"
#include "../core/module.h"
#include "../core/port_print.h"
#include "quennet_control.h"
#include "routing.h"
#include "test_label.h"

namespace quennet {

namespace {

// The identifiers of the interface's Command1, Command2 and Text1.
enum ChildId : int { kParallelTestButton = 1, kSerialTestButton = 2, kPortBox = 3 };

struct ChildLayout {
    ChildId id;
    const wchar_t* windowClass;
    const wchar_t* text;
    DWORD style;
    int left, top, width, height;  // twips
};

// In tab order: creation order is tab order.
constexpr ChildLayout kChildren[] = {
    {kParallelTestButton, L"BUTTON", L"LPT PORT TEST", BS_PUSHBUTTON | BS_NOTIFY, 3420, 0, 2805, 555},
    {kSerialTestButton, L"BUTTON", L"COM PORT TEST", BS_PUSHBUTTON | BS_NOTIFY, 960, 0, 2415, 555},
    {kPortBox, L"EDIT", L"6", ES_AUTOHSCROLL | ES_LEFT, 30, 30, 885, 495},
};

constexpr int kTwipsPerInch = 1440;
constexpr int kPortBoxPoints = 24;

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

void QuennetControl::OnWindowCreated(HWND window) {
    for (const ChildLayout& child : kChildren) {
        const HWND created =
            CreateWindowExW(child.id == kPortBox ? WS_EX_CLIENTEDGE : 0, child.windowClass, child.text,
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | child.style, 0, 0, 0, 0, window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(child.id)), core::ModuleHandle(), nullptr);
        if (created == nullptr) core::ThrowLastError(E_FAIL, L"The test panel could not be created");
        if (child.id == kPortBox) portBox_ = created;
        SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    }
    // Gulim in its Korean character set; where it is not installed, the
    // system's substitute at the same size.
    const SIZE dpi = ContainerDpi(window);
    portBoxFont_.Reset(CreateFontW(-MulDiv(kPortBoxPoints, dpi.cy, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                   HANGUL_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                   DEFAULT_PITCH | FF_DONTCARE, L"Gulim"));
    if (portBoxFont_.Get() != nullptr)
        SendMessageW(portBox_, WM_SETFONT, reinterpret_cast<WPARAM>(portBoxFont_.Get()), FALSE);
}

void QuennetControl::OnWindowResized(HWND window) {
    // The panel keeps its design positions, converted at the container's resolution.
    const SIZE dpi = ContainerDpi(window);
    for (const ChildLayout& child : kChildren) {
        const HWND handle = GetDlgItem(window, child.id);
        if (handle == nullptr) continue;
        MoveWindow(handle, MulDiv(child.left, dpi.cx, kTwipsPerInch), MulDiv(child.top, dpi.cy, kTwipsPerInch),
                   MulDiv(child.width, dpi.cx, kTwipsPerInch), MulDiv(child.height, dpi.cy, kTwipsPerInch), TRUE);
    }
}

void QuennetControl::OnCommand(WPARAM wparam, LPARAM) {
    if (HIWORD(wparam) != BN_CLICKED) return;
    const wchar_t* test = nullptr;
    try {
        switch (LOWORD(wparam)) {
            case kSerialTestButton:
                test = L"COM PORT TEST";
                RunSerialTest();
                break;
            case kParallelTestButton:
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

void QuennetControl::RunSerialTest() {
    // The box is read at the click, with the conversion ExecPrint gives PORT;
    // the port keeps the settings of the last serial ExecPrint.
    const core::ScopedBstr portText = core::ScopedBstr::Copy(WindowText(portBox_));
    const VARIANT portNumber = core::BorrowedText(portText.Get());
    const core::ScopedBstr label = core::ScopedBstr::Copy(TestLabelText());
    core::PrintToSerialPort(serialPort_.Get(), {portNumber, L"The port number in the box", nullptr},
                            core::BorrowedText(label.Get()));
}

void QuennetControl::RunParallelTest() {
    core::PrintToParallelPort(kPanelTestDevice, [](core::ParallelPort& port) {
        // One write per line, as the label is laid out; all of it is ASCII.
        for (std::wstring_view line : kTestLabelLines) {
            std::string bytes(line.begin(), line.end());
            bytes.append(kLineEnd.begin(), kLineEnd.end());
            port.Write(bytes.data(), bytes.size());
        }
    });
}

}  // namespace quennet
