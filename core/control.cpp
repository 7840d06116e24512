#include "control.h"

#include <new>

#include "convert.h"
#include "dispatch_call.h"
#include "module.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

constexpr wchar_t kWindowClass[] = L"LumtagControlSurface";
constexpr wchar_t kMemIdName[] = L"MemId";

// Our stream format: a tag, a format version, then MemId as counted UTF-16.
constexpr DWORD kStreamTag = 0x47544D4C;  // "LMTG"
constexpr DWORD kStreamVersion = 1;

LONG TwipsToHimetric(LONG twips) {
    return MulDiv(twips, 2540, 1440);
}

HRESULT ReadExact(IStream* stream, void* buffer, ULONG size) {
    ULONG read = 0;
    const HRESULT hr = stream->Read(buffer, size, &read);
    if (FAILED(hr)) return hr;
    return read == size ? S_OK : STG_E_READFAULT;
}

HRESULT WriteExact(IStream* stream, const void* buffer, ULONG size) {
    ULONG written = 0;
    const HRESULT hr = stream->Write(buffer, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_WRITEFAULT;
}

ATOM RegisterSurfaceClass(WNDPROC procedure) {
    static ATOM atom = 0;
    if (atom != 0) return atom;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = ModuleHandle();
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    atom = RegisterClassExW(&windowClass);
    return atom;
}

}  // namespace

Control::Control(const ControlClass& controlClass, IDispatch* dual)
    : controlClass_(controlClass),
      dual_(dual),
      extentHimetric_{TwipsToHimetric(controlClass.initialSizeTwips.cx),
                      TwipsToHimetric(controlClass.initialSizeTwips.cy)},
      eventsPoint_(this, *controlClass.eventsIid),
      propertyNotifyPoint_(this, IID_IPropertyNotifySink) {
    LockModule();
}

Control::~Control() {
    if (window_ != nullptr) DestroyWindow(window_);
    UnlockModule();
}

// IUnknown ------------------------------------------------------------------

STDMETHODIMP Control::QueryInterface(REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const struct {
        const IID& iid;
        IUnknown* pointer;
    } table[] = {
        {IID_IUnknown, dual_},
        {IID_IDispatch, dual_},
        {*controlClass_.dispatchIid, dual_},
        {IID_IOleObject, static_cast<IOleObject*>(this)},
        {IID_IOleWindow, static_cast<IOleInPlaceObject*>(this)},
        {IID_IOleInPlaceObject, static_cast<IOleInPlaceObject*>(this)},
        {IID_IOleInPlaceActiveObject, static_cast<IOleInPlaceActiveObject*>(this)},
        {IID_IOleControl, static_cast<IOleControl*>(this)},
        {IID_IViewObject, static_cast<IViewObject2*>(this)},
        {IID_IViewObject2, static_cast<IViewObject2*>(this)},
        {IID_IPersist, static_cast<IPersistStreamInit*>(this)},
        {IID_IPersistStreamInit, static_cast<IPersistStreamInit*>(this)},
        {IID_IPersistPropertyBag, static_cast<IPersistPropertyBag*>(this)},
        {IID_IProvideClassInfo, static_cast<IProvideClassInfo2*>(this)},
        {IID_IProvideClassInfo2, static_cast<IProvideClassInfo2*>(this)},
        {IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)},
        {IID_ISupportErrorInfo, static_cast<ISupportErrorInfo*>(this)},
    };
    for (const auto& entry : table) {
        if (entry.iid == iid) {
            *object = entry.pointer;
            entry.pointer->AddRef();
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) Control::AddRef() noexcept {
    return ++references_;
}

STDMETHODIMP_(ULONG) Control::Release() noexcept {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

// IDispatch through the type library ------------------------------------------

ITypeInfo* Control::TypeInfoOf(const GUID& guid) {
    if (!typeLib_) ThrowIfFailed(LoadModuleTypeLib(typeLib_), L"The control's type library could not be loaded");
    ComPtr<ITypeInfo>& cached = guid == *controlClass_.clsid ? classTypeInfo_ : dispatchTypeInfo_;
    if (!cached) ThrowIfFailed(typeLib_->GetTypeInfoOfGuid(guid, &cached), L"The control's type library");
    return cached.Get();
}

HRESULT Control::DispatchTypeInfoCount(UINT* count) noexcept {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT Control::DispatchTypeInfo(UINT index, ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    try {
        *info = TypeInfoOf(*controlClass_.dispatchIid);
        (*info)->AddRef();
        return S_OK;
    } catch (const ComError& error) {
        return error.Code();
    }
}

HRESULT Control::DispatchIdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept {
    try {
        return DispGetIDsOfNames(TypeInfoOf(*controlClass_.dispatchIid), names, count, ids);
    } catch (const ComError& error) {
        return error.Code();
    }
}

HRESULT Control::DispatchInvoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                UINT* argumentError) noexcept {
    ITypeInfo* info = nullptr;
    try {
        info = TypeInfoOf(*controlClass_.dispatchIid);
    } catch (const ComError& error) {
        return error.Code();
    }
    const HRESULT hr = info->Invoke(dual_, id, flags, params, result, exception, argumentError);
    // The automation layer's own refusals (unknown member, missing argument,
    // unconvertible value) pass as they are; a member's failure becomes an
    // exception carrying the member's description.
    if (SUCCEEDED(hr) || hr == DISP_E_EXCEPTION || HRESULT_FACILITY(hr) == FACILITY_DISPATCH) return hr;
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
        exception->scode = hr;
        ComPtr<IErrorInfo> error;
        if (GetErrorInfo(0, &error) == S_OK && error) {
            error->GetSource(&exception->bstrSource);
            error->GetDescription(&exception->bstrDescription);
        }
        return DISP_E_EXCEPTION;
    }
    return hr;
}

// MemId -----------------------------------------------------------------------

HRESULT Control::GetMemId(BSTR* value) noexcept {
    return CallMember(value, [&](BSTR& out) { out = ScopedBstr::Copy(memId_.View()).Release(); });
}

HRESULT Control::PutMemId(BSTR value) noexcept {
    return CallMember([&] {
        SetMemIdText({value ? value : L"", SysStringLen(value)});
        NotifyMemIdChanged();
    });
}

void Control::SetMemIdText(std::wstring_view text) {
    memId_ = ScopedBstr::Copy(text);
    dirty_ = true;
}

void Control::NotifyMemIdChanged() {
    const HRESULT hr = propertyNotifyPoint_.ForEachSink(
        [](IUnknown* sink) { return static_cast<IPropertyNotifySink*>(sink)->OnChanged(kMemIdDispid); });
    if (FAILED(hr)) Throw(hr, L"The container refused the change of MemId: " + DescribeCode(hr));
}

// IOleObject --------------------------------------------------------------------

STDMETHODIMP Control::SetClientSite(IOleClientSite* site) noexcept {
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
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return ActivateInPlace(site != nullptr ? site : clientSite_.Get(), parent, position);
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
    window_ = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                              position.left, position.top, position.right - position.left,
                              position.bottom - position.top, parent, nullptr, ModuleHandle(), this);
    if (window_ == nullptr) {
        inPlaceSite->OnInPlaceDeactivate();
        return HRESULT_FROM_WIN32(GetLastError());
    }
    inPlaceSite_ = inPlaceSite;
    try {
        OnWindowCreated(window_);
    } catch (...) {
        return ReportCurrentException(ErrorSourceOf());
    }
    return S_OK;
}

STDMETHODIMP Control::GetWindow(HWND* window) noexcept {
    if (window == nullptr) return E_POINTER;
    *window = window_;
    return window_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP Control::InPlaceDeactivate() noexcept {
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    if (inPlaceSite_) {
        inPlaceSite_->OnInPlaceDeactivate();
        inPlaceSite_.Reset();
    }
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
    if (control != nullptr) {
        switch (message) {
            case WM_PAINT: {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(window, &paint);
                RECT client;
                GetClientRect(window, &client);
                try {
                    control->PaintSurface(dc, client);
                } catch (...) {
                    // A failed paint leaves the background; there is no caller to tell.
                }
                EndPaint(window, &paint);
                return 0;
            }
            case WM_COMMAND:
                try {
                    control->OnCommand(wparam, lparam);
                } catch (...) {
                    // Reported by the handler itself; nothing escapes the window procedure.
                }
                return 0;
            case WM_NCDESTROY:
                SetWindowLongPtrW(window, GWLP_USERDATA, 0);
                if (control->window_ == window) control->window_ = nullptr;
                break;
            default:
                break;
        }
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
    try {
        PaintSurface(draw, rect);
    } catch (...) {
        return E_FAIL;
    }
    return S_OK;
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

// Persistence -------------------------------------------------------------------

STDMETHODIMP Control::GetClassID(CLSID* clsid) noexcept {
    if (clsid == nullptr) return E_POINTER;
    *clsid = *controlClass_.clsid;
    return S_OK;
}

STDMETHODIMP Control::InitNew() noexcept {
    return S_OK;
}

STDMETHODIMP Control::Load(IStream* stream) noexcept {
    if (stream == nullptr) return E_POINTER;
    DWORD header[3] = {};
    HRESULT hr = ReadExact(stream, header, sizeof(header));
    if (FAILED(hr)) return hr;
    if (header[0] != kStreamTag || header[1] != kStreamVersion || header[2] > (1u << 28)) return STG_E_OLDFORMAT;
    try {
        std::wstring text(header[2], L'\0');
        hr = ReadExact(stream, text.data(), static_cast<ULONG>(text.size() * sizeof(wchar_t)));
        if (FAILED(hr)) return hr;
        SetMemIdText(text);
        dirty_ = false;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP Control::Save(IStream* stream, BOOL clearDirty) noexcept {
    if (stream == nullptr) return E_POINTER;
    const std::wstring_view text = memId_.View();
    const DWORD header[3] = {kStreamTag, kStreamVersion, static_cast<DWORD>(text.size())};
    HRESULT hr = WriteExact(stream, header, sizeof(header));
    if (SUCCEEDED(hr)) hr = WriteExact(stream, text.data(), static_cast<ULONG>(text.size() * sizeof(wchar_t)));
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
}

STDMETHODIMP Control::GetSizeMax(ULARGE_INTEGER* size) noexcept {
    if (size == nullptr) return E_POINTER;
    size->QuadPart = 3 * sizeof(DWORD) + memId_.Length() * sizeof(wchar_t);
    return S_OK;
}

STDMETHODIMP Control::Load(IPropertyBag* bag, IErrorLog* log) noexcept {
    if (bag == nullptr) return E_POINTER;
    ScopedVariant value;
    V_VT(value.Ptr()) = VT_BSTR;  // asks for text; a null BSTR is the empty text
    V_BSTR(value.Ptr()) = nullptr;
    const HRESULT hr = bag->Read(kMemIdName, value.Ptr(), log);
    // A bag without the entry says E_INVALIDARG: the value is then the empty text.
    if (hr == E_INVALIDARG) {
        VariantClear(value.Ptr());
    } else if (FAILED(hr)) {
        return hr;
    }
    try {
        SetMemIdText(ToText(value.Get(), kMemIdName).View());
        dirty_ = false;
        return S_OK;
    } catch (const ComError& error) {
        return error.Code();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP Control::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) noexcept {
    if (bag == nullptr) return E_POINTER;
    VARIANT value = BorrowedText(memId_.Get());
    const HRESULT hr = bag->Write(kMemIdName, &value);
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
}

// IProvideClassInfo2 ------------------------------------------------------------

STDMETHODIMP Control::GetClassInfo(ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    try {
        *info = TypeInfoOf(*controlClass_.clsid);
        (*info)->AddRef();
        return S_OK;
    } catch (const ComError& error) {
        return error.Code();
    }
}

STDMETHODIMP Control::GetGUID(DWORD kind, GUID* guid) noexcept {
    if (guid == nullptr) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = *controlClass_.eventsIid;
    return S_OK;
}

// IConnectionPointContainer -------------------------------------------------------

STDMETHODIMP Control::EnumConnectionPoints(IEnumConnectionPoints** points) noexcept {
    if (points != nullptr) *points = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP Control::FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept {
    if (point == nullptr) return E_POINTER;
    *point = nullptr;
    for (ConnectionPoint* candidate : {&eventsPoint_, &propertyNotifyPoint_}) {
        if (candidate->Iid() == iid) {
            *point = candidate;
            candidate->AddRef();
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

// ISupportErrorInfo ---------------------------------------------------------------

STDMETHODIMP Control::InterfaceSupportsErrorInfo(REFIID iid) noexcept {
    return iid == *controlClass_.dispatchIid || iid == IID_IDispatch ? S_OK : S_FALSE;
}

}  // namespace core
