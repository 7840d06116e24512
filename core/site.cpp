// The container's side of the control: siting (IOleObject), in-place and
// UI activation, and the site lock's verdict kept per site.
#include "site.h"

#include "errors.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

LONG TwipsToHimetric(LONG twips) {
    return MulDiv(twips, 2540, 1440);
}

}  // namespace

ControlSite::ControlSite(const ControlClass& controlClass, IUnknown* identity)
    : controlClass_(controlClass),
      identity_(identity),
      extentHimetric_{TwipsToHimetric(controlClass.initialSizeTwips.cx),
                      TwipsToHimetric(controlClass.initialSizeTwips.cy)},
      safety_(identity, *controlClass.dispatchIid) {}

ControlSite::~ControlSite() {
    if (window_ == nullptr) return;
    // The object is going: its window no longer reaches it (a child losing
    // the focus as it is destroyed still notifies its parent).
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
}

IUnknown* ControlSite::Find(REFIID iid) noexcept {
    if (iid == IID_IObjectSafety) return &safety_;
    return Implements::Find(iid);
}

// IOleObject --------------------------------------------------------------------

STDMETHODIMP ControlSite::SetClientSite(IOleClientSite* site) noexcept {
    if (site != clientSite_.Get()) safety_.ForgetVerdicts();
    clientSite_ = site;
    return S_OK;
}

STDMETHODIMP ControlSite::GetClientSite(IOleClientSite** site) noexcept {
    if (site == nullptr) return E_POINTER;
    *site = clientSite_.Get();
    if (*site != nullptr) (*site)->AddRef();
    return S_OK;
}

STDMETHODIMP ControlSite::Close(DWORD) noexcept {
    InPlaceDeactivate();
    if (oleAdviseHolder_) oleAdviseHolder_->SendOnClose();
    return S_OK;
}

STDMETHODIMP ControlSite::GetMoniker(DWORD, DWORD, IMoniker** moniker) noexcept {
    if (moniker != nullptr) *moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP ControlSite::GetClipboardData(DWORD, IDataObject** data) noexcept {
    if (data != nullptr) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP ControlSite::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) noexcept {
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

STDMETHODIMP ControlSite::EnumVerbs(IEnumOLEVERB** verbs) noexcept {
    if (verbs != nullptr) *verbs = nullptr;
    return OLE_S_USEREG;
}

STDMETHODIMP ControlSite::GetUserClassID(CLSID* clsid) noexcept {
    if (clsid == nullptr) return E_POINTER;
    *clsid = *controlClass_.clsid;
    return S_OK;
}

STDMETHODIMP ControlSite::GetUserType(DWORD form, LPOLESTR* name) noexcept {
    return OleRegGetUserType(*controlClass_.clsid, form, name);
}

STDMETHODIMP ControlSite::SetExtent(DWORD aspect, SIZEL* size) noexcept {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    extentHimetric_ = *size;
    return S_OK;
}

STDMETHODIMP ControlSite::GetExtent(DWORD aspect, SIZEL* size) noexcept {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extentHimetric_;
    return S_OK;
}

STDMETHODIMP ControlSite::Advise(IAdviseSink* sink, DWORD* cookie) noexcept {
    if (!oleAdviseHolder_) {
        const HRESULT hr = CreateOleAdviseHolder(&oleAdviseHolder_);
        if (FAILED(hr)) return hr;
    }
    return oleAdviseHolder_->Advise(sink, cookie);
}

STDMETHODIMP ControlSite::Unadvise(DWORD cookie) noexcept {
    return oleAdviseHolder_ ? oleAdviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}

STDMETHODIMP ControlSite::EnumAdvise(IEnumSTATDATA** advises) noexcept {
    if (advises == nullptr) return E_POINTER;
    *advises = nullptr;
    return oleAdviseHolder_ ? oleAdviseHolder_->EnumAdvise(advises) : E_FAIL;
}

STDMETHODIMP ControlSite::GetMiscStatus(DWORD, DWORD* status) noexcept {
    if (status == nullptr) return E_POINTER;
    *status = controlClass_.miscStatus;
    return S_OK;
}

// In-place activation -----------------------------------------------------------

HRESULT ControlSite::ActivateInPlace(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) noexcept {
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

    window_ = CreateSurface(parent, position);
    if (window_ == nullptr) {
        inPlaceSite->OnInPlaceDeactivate();
        return HRESULT_FROM_WIN32(GetLastError());
    }
    inPlaceSite_ = inPlaceSite;
    frame_ = frame;
    document_ = document;
    hr = CatchReport(controlClass_.ErrorSourceOf(), [&] {
        OnWindowCreated(window_);
        OnWindowResized(window_);
        return S_OK;
    });
    // No half-made surface stays active: the next activation starts anew.
    if (FAILED(hr)) InPlaceDeactivate();
    return hr;
}

HRESULT ControlSite::ActivateUI(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) noexcept {
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

STDMETHODIMP ControlSite::UIDeactivate() noexcept {
    if (!uiActive_) return S_OK;
    uiActive_ = false;
    if (frame_) frame_->SetActiveObject(nullptr, nullptr);
    if (document_) document_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP ControlSite::GetWindow(HWND* window) noexcept {
    if (window == nullptr) return E_POINTER;
    *window = window_;
    return window_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP ControlSite::InPlaceDeactivate() noexcept {
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

STDMETHODIMP ControlSite::SetObjectRects(LPCRECT position, LPCRECT) noexcept {
    if (position == nullptr) return E_POINTER;
    if (window_ != nullptr)
        MoveWindow(window_, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    return S_OK;
}

}  // namespace core
