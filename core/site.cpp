// Siting, in-place and UI activation, the keyboard, the surface window and
// drawing.
#include "control.h"

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

// IOleObject --------------------------------------------------------------------

STDMETHODIMP Control::SetClientSite(IOleClientSite* site) noexcept {
    if (site != clientSite_.Get()) safety_.ForgetVerdicts();
    clientSite_ = site;
    return S_OK;
}

STDMETHODIMP Control::GetClientSite(IOleClientSite** site) noexcept {
    if (site == nullptr) return E_POINTER;
    *site = clientSite_.Get();
    if (*site != nullptr) (*site)->AddRef();
    return S_OK;
}

STDMETHODIMP Control::Close(DWORD) noexcept {
    InPlaceDeactivate();
    if (oleAdviseHolder_) oleAdviseHolder_->SendOnClose();
    return S_OK;
}

STDMETHODIMP Control::GetMoniker(DWORD, DWORD, IMoniker** moniker) noexcept {
    if (moniker != nullptr) *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP Control::GetClipboardData(DWORD, IDataObject** data) noexcept {
    if (data != nullptr) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP Control::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) noexcept {
    switch (verb) {
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
            return ActivateInPlace(site != nullptr ? site : clientSite_.Get(), parent, position);
        case OLEIVERB_PRIMARY:
        case OLEIVERB_UIACTIVATE:
            return ActivateUI(site != nullptr ? site : clientSite_.Get(), parent, position);
        case OLEIVERB_HIDE:
            if (window_ != nullptr) ShowWindow(window_, SW_HIDE);
            return S_OK;
        default:
            return OLEOBJ_S_INVALIDVERB;
    }
}

STDMETHODIMP Control::EnumVerbs(IEnumOLEVERB** verbs) noexcept {
    if (verbs != nullptr) *verbs = nullptr;
    return OLE_S_USEREG;
}

STDMETHODIMP Control::GetUserClassID(CLSID* clsid) noexcept {
    return GetClassID(clsid);
}

STDMETHODIMP Control::GetUserType(DWORD form, LPOLESTR* name) noexcept {
    return OleRegGetUserType(*controlClass_.clsid, form, name);
}

STDMETHODIMP Control::SetExtent(DWORD aspect, SIZEL* size) noexcept {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    extentHimetric_ = *size;
    return S_OK;
}

STDMETHODIMP Control::GetExtent(DWORD aspect, SIZEL* size) noexcept {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extentHimetric_;
    return S_OK;
}

STDMETHODIMP Control::Advise(IAdviseSink* sink, DWORD* cookie) noexcept {
    if (!oleAdviseHolder_) {
        const HRESULT hr = CreateOleAdviseHolder(&oleAdviseHolder_);
        if (FAILED(hr)) return hr;
    }
    return oleAdviseHolder_->Advise(sink, cookie);
}

STDMETHODIMP Control::Unadvise(DWORD cookie) noexcept {
    return oleAdviseHolder_ ? oleAdviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP Control::EnumAdvise(IEnumSTATDATA** advises) noexcept {
    if (advises == nullptr) return E_POINTER;
    *advises = nullptr;
    return oleAdviseHolder_ ? oleAdviseHolder_->EnumAdvise(advises) : E_FAIL;
}

STDMETHODIMP Control::GetMiscStatus(DWORD, DWORD* status) noexcept {
    if (status == nullptr) return E_POINTER;
    *status = controlClass_.miscStatus;
    return S_OK;
}

// In-place activation -----------------------------------------------------------

HRESULT Control::ActivateInPlace(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) {
    if (window_ != nullptr) {
        ShowWindow(window_, SW_SHOW);
        return S_OK;
    }
    if (site == nullptr) return E_INVALIDARG;
    ComPtr<IOleInPlaceSite> inPlaceSite;
    HRESULT hr = site->QueryInterface(IID_PPV_ARGS(&inPlaceSite));
    if (FAILED(hr)) return hr;
    if (inPlaceSite->CanInPlaceActivate() != S_OK) return E_FAIL;
    hr = inPlaceSite->OnInPlaceActivate();
    if (FAILED(hr)) return hr;

    HWND parent = nullptr;
    if (FAILED(inPlaceSite->GetWindow(&parent)) || parent == nullptr) parent = parentHint;
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT position{}, clip{};
    OLEINPLACEFRAMEINFO frameInfo{};
    frameInfo.cb = sizeof(frameInfo);
    if (FAILED(inPlaceSite->GetWindowContext(&frame, &document, &position, &clip, &frameInfo)) &&
        positionHint != nullptr)
        position = *positionHint;

    RegisterSurfaceClass(&Control::WindowProc);
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kSurfaceClass, L"",
                              WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, position.left, position.top,
                              position.right - position.left, position.bottom - position.top, parent, nullptr,
                              ModuleHandle(), this);
    if (window_ == nullptr) {
        inPlaceSite->OnInPlaceDeactivate();
        return HRESULT_FROM_WIN32(GetLastError());
    }
    inPlaceSite_ = inPlaceSite;
    frame_ = frame;
    document_ = document;
    hr = CatchReport(ErrorSourceOf(), [&] {
        OnWindowCreated(window_);
        OnWindowResized(window_);
        return S_OK;
    });
    // No half-made surface stays active: the next activation starts anew.
    if (FAILED(hr)) InPlaceDeactivate();
    return hr;
}

HRESULT Control::ActivateUI(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) {
    const HRESULT hr = ActivateInPlace(site, parentHint, positionHint);
    if (FAILED(hr)) return hr;
    if (!uiActive_) {
        // Set first: the container may call back into the control meanwhile.
        uiActive_ = true;
        if (inPlaceSite_) inPlaceSite_->OnUIActivate();
        auto* active = static_cast<IOleInPlaceActiveObject*>(this);
        if (frame_) frame_->SetActiveObject(active, nullptr);
        if (document_) document_->SetActiveObject(active, nullptr);
    }
    // The surface hands the focus on to its first tab stop.
    const HWND focus = GetFocus();
    if (window_ != nullptr && focus != window_ && !IsChild(window_, focus)) SetFocus(window_);
    return S_OK;
}

STDMETHODIMP Control::UIDeactivate() noexcept {
    if (!uiActive_) return S_OK;
    uiActive_ = false;
    if (frame_) frame_->SetActiveObject(nullptr, nullptr);
    if (document_) document_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP Control::TranslateAccelerator(LPMSG message) noexcept {
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

STDMETHODIMP Control::GetWindow(HWND* window) noexcept {
    if (window == nullptr) return E_POINTER;
    *window = window_;
    return window_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP Control::InPlaceDeactivate() noexcept {
    UIDeactivate();
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    if (inPlaceSite_) {
        inPlaceSite_->OnInPlaceDeactivate();
        inPlaceSite_.Reset();
    }
    frame_.Reset();
    document_.Reset();
    return S_OK;
}

STDMETHODIMP Control::SetObjectRects(LPCRECT position, LPCRECT) noexcept {
    if (position == nullptr) return E_POINTER;
    if (window_ != nullptr)
        MoveWindow(window_, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    return S_OK;
}

LRESULT CALLBACK Control::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* control = reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (control == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    return control->HandleMessage(window, message, wparam, lparam);
}

LRESULT Control::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
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
            const ComPtr<IUnknown> hold(dual_);
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

void Control::PaintSurface(HDC dc, const RECT& bounds) {
    FillRect(dc, &bounds, GetSysColorBrush(COLOR_BTNFACE));
}

// IOleControl -------------------------------------------------------------------

STDMETHODIMP Control::GetControlInfo(CONTROLINFO* info) noexcept {
    if (info == nullptr) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

// IViewObject2 ------------------------------------------------------------------

STDMETHODIMP Control::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC draw, LPCRECTL bounds, LPCRECTL,
                           BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) noexcept {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (draw == nullptr || bounds == nullptr) return E_INVALIDARG;
    const RECT rect{bounds->left, bounds->top, bounds->right, bounds->bottom};
    return CatchReturn([&] {
        PaintSurface(draw, rect);
        return S_OK;
    });
}

STDMETHODIMP Control::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) noexcept {
    if (colors != nullptr) *colors = nullptr;
    return S_FALSE;
}

STDMETHODIMP Control::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) noexcept {
    viewAdviseAspects_ = aspects;
    viewAdviseFlags_ = flags;
    viewAdviseSink_ = sink;
    return S_OK;
}

STDMETHODIMP Control::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) noexcept {
    if (aspects != nullptr) *aspects = viewAdviseAspects_;
    if (flags != nullptr) *flags = viewAdviseFlags_;
    if (sink != nullptr) {
        *sink = viewAdviseSink_.Get();
        if (*sink != nullptr) (*sink)->AddRef();
    }
    return S_OK;
}

STDMETHODIMP Control::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) noexcept {
    return GetExtent(aspect, size);
}

}  // namespace core
