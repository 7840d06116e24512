// The control object: everything a container and a script need from an
// ActiveX control, joined from its parts with one identity and one
// reference count:
//   object.h    automation: IDispatch through the type library, the member
//               call frame, class information, connection points, errors
//   persist.h   the persisted properties in property bags and streams
//   site.h      siting, activation, the site lock's verdict and the surface
// plus the MemId property that both deliverables have. A deliverable derives
// DualControl<its _lumtag> and writes only its members (and, for a visible
// face, the window hooks of ControlSite).
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>

#include "control_class.h"
#include "object.h"
#include "persist.h"
#include "scoped.h"
#include "site.h"

namespace core {

// Dispatch identifier of MemId in both deliverables.
constexpr DISPID kMemIdDispid = 0x68030000;

class Control : public ControlObject, public ControlPersistence, public ControlSite {
public:
    // IUnknown, one identity for every interface: the deliverable's dual interface.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // The MemId property of both deliverables.
    HRESULT GetMemId(BSTR* value) noexcept;
    HRESULT PutMemId(BSTR value) noexcept;

protected:
    // |dual| is the deliverable's _lumtag of the same object.
    Control(const ControlClass& controlClass, IDispatch* dual);
    virtual ~Control();

private:
    std::atomic<ULONG> references_{1};
};

// Joins the deliverable's dual interface to the control: the IUnknown and
// IDispatch entries of _lumtag go to the shared implementation.
template <class Dual>
class DualControl : public Dual, public Control {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        return Control::QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return Control::AddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override { return Control::Release(); }

    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override { return DispatchTypeInfoCount(count); }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) noexcept override {
        return DispatchTypeInfo(index, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override {
        return DispatchIdsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* argumentError) noexcept override {
        return DispatchInvoke(id, flags, params, result, exception, argumentError);
    }

    STDMETHODIMP get_MemId(BSTR* value) noexcept override { return GetMemId(value); }
    STDMETHODIMP put_MemId(BSTR value) noexcept override { return PutMemId(value); }

protected:
    explicit DualControl(const ControlClass& controlClass)
        : Control(controlClass, static_cast<IDispatch*>(static_cast<Dual*>(this))) {}
};

}  // namespace core
