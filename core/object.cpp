// The control object's identity (one QueryInterface table), IDispatch
// through the type library, the member call frame's helpers, MemId's
// accessors, class information and connection points.
#include "control.h"

#include <new>

#include "convert.h"
#include "dispatch_call.h"
#include "enumerator.h"
#include "module.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

LONG TwipsToHimetric(LONG twips) {
    return MulDiv(twips, 2540, 1440);
}

}  // namespace

Control::Control(const ControlClass& controlClass, IDispatch* dual)
    : controlClass_(controlClass),
      dual_(dual),
      extentHimetric_{TwipsToHimetric(controlClass.initialSizeTwips.cx),
                      TwipsToHimetric(controlClass.initialSizeTwips.cy)},
      eventsPoint_(this, *controlClass.eventsIid),
      propertyNotifyPoint_(this, IID_IPropertyNotifySink),
      safety_(dual, *controlClass.dispatchIid) {
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
        {IID_IObjectSafety, &safety_},
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
    return CatchReturn([&] {
        *info = TypeInfoOf(*controlClass_.dispatchIid);
        (*info)->AddRef();
        return S_OK;
    });
}

HRESULT Control::DispatchIdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept {
    return CatchReturn([&] { return DispGetIDsOfNames(TypeInfoOf(*controlClass_.dispatchIid), names, count, ids); });
}

HRESULT Control::DispatchInvoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                UINT* argumentError) noexcept {
    ITypeInfo* info = nullptr;
    const HRESULT loaded = CatchReturn([&] {
        info = TypeInfoOf(*controlClass_.dispatchIid);
        return S_OK;
    });
    if (FAILED(loaded)) return loaded;
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

void Control::RequireArguments(std::initializer_list<const VARIANT*> arguments, const wchar_t* member) {
    for (const VARIANT* argument : arguments)
        if (argument == nullptr) Throw(E_POINTER, std::wstring(member) + L" needs all its arguments");
}

// IProvideClassInfo2 ------------------------------------------------------------

STDMETHODIMP Control::GetClassInfo(ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return CatchReturn([&] {
        *info = TypeInfoOf(*controlClass_.clsid);
        (*info)->AddRef();
        return S_OK;
    });
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
    return CatchReturn([&] {
        return Enumerator<IEnumConnectionPoints, IConnectionPoint*>::Create({&eventsPoint_, &propertyNotifyPoint_}, 0,
                                                                            points);
    });
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
