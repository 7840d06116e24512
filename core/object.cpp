// The control object's automation side: IDispatch through the type library,
// the member call frame's helpers, class information, connection points and
// error information.
#include "object.h"

#include <algorithm>

#include "enumerator.h"
#include "module.h"
#include "scoped.h"

using Microsoft::WRL::ComPtr;

namespace core {

ControlObject::ControlObject(const ControlClass& controlClass, IDispatch* dual)
    : controlClass_(controlClass),
      dual_(dual),
      eventsPoint_(this, *controlClass.eventsIid),
      propertyNotifyPoint_(this, IID_IPropertyNotifySink) {}

// IDispatch through the type library ------------------------------------------

ITypeInfo* ControlObject::TypeInfoOf(const GUID& guid) {
    if (!typeLib_) ThrowIfFailed(LoadModuleTypeLib(typeLib_), L"The control's type library could not be loaded");
    ComPtr<ITypeInfo>& cached = guid == *controlClass_.clsid ? classTypeInfo_ : dispatchTypeInfo_;
    if (!cached) ThrowIfFailed(typeLib_->GetTypeInfoOfGuid(guid, &cached), L"The control's type library");
    return cached.Get();
}

HRESULT ControlObject::DispatchTypeInfoCount(UINT* count) noexcept {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT ControlObject::DispatchTypeInfo(UINT index, ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return CatchReturn([&] {
        *info = TypeInfoOf(*controlClass_.dispatchIid);
        (*info)->AddRef();
        return S_OK;
    });
}

bool IsScriptCallable(ITypeInfo* info, MEMBERID id) {
    constexpr wchar_t kWhat[] = L"The control's type library";
    TYPEATTR* lentAttr = nullptr;
    ThrowIfFailed(info->GetTypeAttr(&lentAttr), kWhat);
    const ScopedTypeAttr attr(lentAttr, {info});
    // The dispatch side of a dual interface counts the inherited functions too.
    for (UINT index = 0; index < attr->cFuncs; ++index) {
        FUNCDESC* lentFunction = nullptr;
        ThrowIfFailed(info->GetFuncDesc(index, &lentFunction), kWhat);
        const ScopedFuncDesc function(lentFunction, {info});
        if (function->memid == id && (function->wFuncFlags & (FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN))) return false;
    }
    return true;
}

HRESULT ControlObject::DispatchIdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept {
    return CatchReturn([&] {
        ITypeInfo* const info = TypeInfoOf(*controlClass_.dispatchIid);
        const HRESULT hr = DispGetIDsOfNames(info, names, count, ids);
        // The member's id comes first; an unknown parameter name fails the
        // call but leaves the member's id mapped.
        if (count == 0 || (FAILED(hr) && hr != DISP_E_UNKNOWNNAME)) return hr;
        if (ids[0] == DISPID_UNKNOWN || IsScriptCallable(info, ids[0])) return hr;
        std::fill_n(ids, count, DISPID_UNKNOWN);
        return DISP_E_UNKNOWNNAME;
    });
}

HRESULT ControlObject::DispatchInvoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                      UINT* argumentError) noexcept {
    ITypeInfo* info = nullptr;
    bool callable = false;
    const HRESULT loaded = CatchReturn([&] {
        info = TypeInfoOf(*controlClass_.dispatchIid);
        callable = IsScriptCallable(info, id);
        return S_OK;
    });
    if (FAILED(loaded)) return loaded;
    // A host may pass an id it got elsewhere than from GetIDsOfNames.
    if (!callable) return DISP_E_MEMBERNOTFOUND;
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

void ControlObject::NotifyPropertyChanged(DISPID id, std::wstring_view name) {
    const HRESULT hr = propertyNotifyPoint_.ForEachSink(
        [id](IUnknown* sink) { return static_cast<IPropertyNotifySink*>(sink)->OnChanged(id); });
    if (FAILED(hr)) Throw(hr, L"The container refused the change of " + std::wstring(name) + L": " + DescribeCode(hr));
}

void ControlObject::RequireArguments(std::initializer_list<const VARIANT*> arguments, const wchar_t* member) {
    for (const VARIANT* argument : arguments)
        if (argument == nullptr) Throw(E_POINTER, std::wstring(member) + L" needs all its arguments");
}

// IProvideClassInfo2 ------------------------------------------------------------

STDMETHODIMP ControlObject::GetClassInfo(ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    return CatchReturn([&] {
        *info = TypeInfoOf(*controlClass_.clsid);
        (*info)->AddRef();
        return S_OK;
    });
}

STDMETHODIMP ControlObject::GetGUID(DWORD kind, GUID* guid) noexcept {
    if (guid == nullptr) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = *controlClass_.eventsIid;
    return S_OK;
}

// IConnectionPointContainer -------------------------------------------------------

STDMETHODIMP ControlObject::EnumConnectionPoints(IEnumConnectionPoints** points) noexcept {
    return CatchReturn([&] {
        return Enumerator<IEnumConnectionPoints, IConnectionPoint*>::Create({&eventsPoint_, &propertyNotifyPoint_}, 0,
                                                                            points);
    });
}

STDMETHODIMP ControlObject::FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept {
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

STDMETHODIMP ControlObject::InterfaceSupportsErrorInfo(REFIID iid) noexcept {
    return iid == *controlClass_.dispatchIid || iid == IID_IDispatch ? S_OK : S_FALSE;
}

}  // namespace core
