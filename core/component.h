// A contained component reached only through IDispatch by dispatch
// identifier: one table of names, one Invoke that routes property puts,
// property gets and method calls, failures returned as EXCEPINFO.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <span>

#include "com_object.h"

namespace core {

class DispatchComponent : public SingleInterfaceObject<IDispatch> {
public:
    struct Member {
        const wchar_t* name;
        DISPID id;
    };

    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* argumentError) noexcept override;

protected:
    // |source| names the component in error descriptions' source field.
    DispatchComponent(const wchar_t* source, std::span<const Member> members) : source_(source), members_(members) {}

    // Each returns DISP_E_MEMBERNOTFOUND for an identifier it does not have
    // and throws ComError for a refused operation.
    virtual HRESULT Put(DISPID id, const VARIANT& value) = 0;
    virtual HRESULT Get(DISPID id, VARIANT* result) = 0;
    // |arguments| in the method's parameter order. Without arguments a call
    // reads the property of the same identifier, as scripts expect.
    virtual HRESULT Call(DISPID id, std::span<const VARIANT> arguments, VARIANT* result);

private:
    const wchar_t* const source_;
    const std::span<const Member> members_;
};

}  // namespace core
