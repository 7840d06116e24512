// The control's surface: its window class and window procedure, the
// keyboard inside it, and its drawing into the container's window or into
// any device context (IViewObject2).
#include "site.h"

#include "errors.h"
#include "module.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

// A class of this module's own: registered on first use, unregistered when
// the library unloads (UnregisterWindowClasses).
constexpr wchar_t kSurfaceClass[] = L"ControlSurface";
ATOM g_surfaceClass = 0;

ATOM RegisterSurfaceClass(WNDPROC procedure) {
    if (g_surfaceClass != 0) return g_surfaceClass;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ModuleHandle();
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kSurfaceClass;
    g_surfaceClass = RegisterClassExW(&windowClass);
    return g_surfaceClass;
}

bool IsPushButton(HWND window) {
    wchar_t name[16] = {};
    if (GetClassNameW(window, name, 16) == 0 || lstrcmpiW(name, L"Button") != 0) return false;
    const LONG_PTR type = GetWindowLongPtrW(window, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

}  // namespace

void UnregisterWindowClasses() noexcept {
    if (g_surfaceClass == 0) return;
    UnregisterClassW(kSurfaceClass, ModuleHandle());
    g_surfaceClass = 0;
}

HWND ControlSite::CreateSurface(HWND parent, const RECT& position) noexcept {
    RegisterSurfaceClass(&ControlSite::WindowProc);
    return CreateWindowExW(WS_EX_CONTROLPARENT, kSurfaceClass, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, position.left, position.top,
                           position.right - position.left, position.bottom - position.top, parent, nullptr,
                           ModuleHandle(), this);
}

STDMETHODIMP ControlSite::TranslateAccelerator(LPMSG message) noexcept {
    if (message == nullptr) return E_POINTER;
    if (window_ == nullptr || message->message != WM_KEYDOWN) return S_FALSE;
    const HWND focus = GetFocus();
    if (focus == nullptr || (focus != window_ && !IsChild(window_, focus))) return S_FALSE;
    switch (message->wParam) {
        case VK_TAB: {
            if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return S_FALSE;
            const bool backwards = GetKeyState(VK_SHIFT) < 0;
            const HWND next = GetNextDlgTabItem(window_, focus == window_ ? nullptr : focus, backwards);
            if (next == nullptr) return S_FALSE;
            SetFocus(next);
            return S_OK;
        }
        case VK_RETURN:
            if (!IsPushButton(focus)) return S_FALSE;
            SendMessageW(focus, BM_CLICK, 0, 0);
            return S_OK;
        default:
            return S_FALSE;
    }
}

LRESULT CALLBACK ControlSite::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* control = reinterpret_cast<ControlSite*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (control == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    return control->HandleMessage(window, message, wparam, lparam);
}

LRESULT ControlSite::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            // A failed paint leaves the background; there is no caller to tell.
            CatchReturn([&] {
                PaintSurface(dc, client);
                return S_OK;
            });
            EndPaint(window, &paint);
            return 0;
        }
        case WM_SIZE:
            // The children stay where they were after a failure; there is no caller to tell.
            CatchReturn([&] {
                OnWindowResized(window);
                return S_OK;
            });
            return 0;
        case WM_SETFOCUS: {
            const HWND first = GetNextDlgTabItem(window, nullptr, FALSE);
            if (first != nullptr && first != window) SetFocus(first);
            return 0;
        }
        case WM_MOUSEACTIVATE:
            if (!uiActive_) ActivateUI(clientSite_.Get(), nullptr, nullptr);
            break;
        case WM_COMMAND: {
            // A click may run for seconds and show a message box, during which
            // the container may release the control: hold it until the end.
            const ComPtr<IUnknown> hold(identity_);
            const WORD code = HIWORD(wparam);
            if ((code == BN_SETFOCUS || code == EN_SETFOCUS) && !uiActive_)
                ActivateUI(clientSite_.Get(), nullptr, nullptr);
            // Reported by the handler itself; nothing escapes the window procedure.
            CatchReturn([&] {
                OnCommand(wparam, lparam);
                return S_OK;
            });
            return 0;
        }
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            if (window_ == window) window_ = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

void ControlSite::PaintSurface(HDC dc, const RECT& bounds) {
    FillRect(dc, &bounds, GetSysColorBrush(COLOR_BTNFACE));
}

// IOleControl -------------------------------------------------------------------

STDMETHODIMP ControlSite::GetControlInfo(CONTROLINFO* info) noexcept {
    if (info == nullptr) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

// IViewObject2 ------------------------------------------------------------------

STDMETHODIMP ControlSite::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC draw, LPCRECTL bounds, LPCRECTL,
                               BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) noexcept {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (draw == nullptr || bounds == nullptr) return E_INVALIDARG;
    const RECT rect{bounds->left, bounds->top, bounds->right, bounds->bottom};
    return CatchReturn([&] {
        PaintSurface(draw, rect);
        return S_OK;
    });
}

STDMETHODIMP ControlSite::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) noexcept {
    if (colors != nullptr) *colors = nullptr;
    return S_FALSE;
}

STDMETHODIMP ControlSite::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) noexcept {
    viewAdviseAspects_ = aspects;
    viewAdviseFlags_ = flags;
    viewAdviseSink_ = sink;
    return S_OK;
}

STDMETHODIMP ControlSite::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) noexcept {
    if (aspects != nullptr) *aspects = viewAdviseAspects_;
    if (flags != nullptr) *flags = viewAdviseFlags_;
    if (sink != nullptr) {
        *sink = viewAdviseSink_.Get();
        if (*sink != nullptr) (*sink)->AddRef();
    }
    return S_OK;
}

STDMETHODIMP ControlSite::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) noexcept {
    return GetExtent(aspect, size);
}

}  // namespace core
