// The control object's automation side: IDispatch through the type library,
// the member call frame, class information, connection points (events and
// property-change notifications) and error information. One part of the
// control object (control.h), whose identity it shares.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <initializer_list>
#include <string_view>
#include <utility>

#include "com_object.h"
#include "connection_point.h"
#include "control_class.h"
#include "errors.h"

namespace core {

// Whether a script may call the member |id| of the dispatch type info |info|:
// not when a function with that id (a property has two, get and put) is
// restricted or hidden. A dual interface's type info also lists the methods of
// IUnknown and IDispatch, restricted; a page that called Release by name would
// free an object its host still holds. Throws when |info| cannot be read.
bool IsScriptCallable(ITypeInfo* info, MEMBERID id);

class ControlObject : public Implements<WithBases<IProvideClassInfo2, IProvideClassInfo>, IConnectionPointContainer,
                                        ISupportErrorInfo> {
public:
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** info) noexcept override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) noexcept override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) noexcept override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) noexcept override;

protected:
    // |dual| is the deliverable's _lumtag of the same object, its identity.
    ControlObject(const ControlClass& controlClass, IDispatch* dual);
    ~ControlObject() = default;

    const ControlClass& Class() const noexcept { return controlClass_; }
    IDispatch* DualInterface() const noexcept { return dual_; }

    // The member call frame: holds the object, empties the value, runs
    // |body|, and on a failure empties the value again and returns the
    // failure's code with its description as the thread's error object.
    template <class Value, class Body>
    HRESULT CallMember(Value* value, Body&& body) noexcept {
        if (value == nullptr) return E_POINTER;
        const MemberScope scope(dual_);
        InitValue(value);
        const HRESULT hr = CatchReport(controlClass_.ErrorSourceOf(), [&] {
            body(*value);
            return S_OK;
        });
        if (FAILED(hr)) ClearValue(value);
        return hr;
    }
    // The same for a member without a value (a property put).
    template <class Body>
    HRESULT CallMember(Body&& body) noexcept {
        VARIANT unused;
        return CallMember(&unused, [&](VARIANT&) { body(); });
    }

    // IDispatch through the type library, for DualControl.
    HRESULT DispatchTypeInfoCount(UINT* count) noexcept;
    HRESULT DispatchTypeInfo(UINT index, ITypeInfo** info) noexcept;
    HRESULT DispatchIdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept;
    HRESULT DispatchInvoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           UINT* argumentError) noexcept;

    // Fails the member with E_POINTER when an argument is missing.
    static void RequireArguments(std::initializer_list<const VARIANT*> arguments, const wchar_t* member);

    // Tells the property-change sinks that the property |name| (|id|) has
    // changed; a sink's refusal fails with the sink's code.
    void NotifyPropertyChanged(DISPID id, std::wstring_view name);

private:
    // Holds the object for a member call and clears the thread's error object.
    class MemberScope {
    public:
        explicit MemberScope(IUnknown* object) : object_(object) {
            object_->AddRef();
            SetErrorInfo(0, nullptr);
        }
        MemberScope(const MemberScope&) = delete;
        MemberScope& operator=(const MemberScope&) = delete;
        ~MemberScope() { object_->Release(); }

    private:
        IUnknown* const object_;
    };
    static void InitValue(VARIANT* value) noexcept { VariantInit(value); }
    static void InitValue(BSTR* value) noexcept { *value = nullptr; }
    static void ClearValue(VARIANT* value) noexcept { VariantClear(value); }
    static void ClearValue(BSTR* value) noexcept { SysFreeString(std::exchange(*value, nullptr)); }

    ITypeInfo* TypeInfoOf(const GUID& guid);

    const ControlClass& controlClass_;
    IDispatch* const dual_;

    Microsoft::WRL::ComPtr<ITypeLib> typeLib_;
    Microsoft::WRL::ComPtr<ITypeInfo> dispatchTypeInfo_;
    Microsoft::WRL::ComPtr<ITypeInfo> classTypeInfo_;

    ConnectionPoint eventsPoint_;
    ConnectionPoint propertyNotifyPoint_;
};

}  // namespace core
