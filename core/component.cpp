#include "component.h"

#include <algorithm>
#include <vector>

#include "errors.h"

namespace core {

STDMETHODIMP DispatchComponent::GetTypeInfoCount(UINT* count) noexcept {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP DispatchComponent::GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP DispatchComponent::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (const Member& member : members_)
        if (lstrcmpiW(names[0], member.name) == 0) ids[0] = member.id;
    // No member here has named parameters.
    return ids[0] == DISPID_UNKNOWN || count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
}

STDMETHODIMP DispatchComponent::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                       EXCEPINFO* exception, UINT*) noexcept {
    if (params == nullptr) return E_INVALIDARG;
    if (result != nullptr) VariantInit(result);
    try {
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            if (params->cArgs != 1 || params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
                return DISP_E_BADPARAMCOUNT;
            return Put(id, params->rgvarg[0]);
        }
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        // DISPPARAMS lists arguments last to first.
        std::vector<VARIANT> arguments(params->rgvarg, params->rgvarg + params->cArgs);
        std::reverse(arguments.begin(), arguments.end());
        if (flags & DISPATCH_METHOD) return Call(id, arguments, result);
        if (flags & DISPATCH_PROPERTYGET) {
            if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
            return Get(id, result);
        }
        return DISP_E_MEMBERNOTFOUND;
    } catch (...) {
        if (result != nullptr) VariantClear(result);
        return ExceptionToExcepInfo(source_, exception);
    }
}

HRESULT DispatchComponent::Call(DISPID id, std::span<const VARIANT> arguments, VARIANT* result) {
    if (!arguments.empty()) return DISP_E_BADPARAMCOUNT;
    if (result == nullptr) {
        VARIANT ignored;
        VariantInit(&ignored);
        const HRESULT hr = Get(id, &ignored);
        VariantClear(&ignored);
        return hr;
    }
    return Get(id, result);
}

}  // namespace core
