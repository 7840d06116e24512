#include "dispatch_call.h"

#include <algorithm>
#include <string>
#include <vector>

#include "errors.h"

namespace core {

namespace {

void Invoke(IDispatch* target, DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result, std::wstring_view name) {
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const HRESULT hr =
        target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &argumentError);
    if (hr == DISP_E_EXCEPTION && exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
    ScopedBstr source(exception.bstrSource);
    ScopedBstr description(exception.bstrDescription);
    ScopedBstr helpFile(exception.bstrHelpFile);
    if (SUCCEEDED(hr)) return;
    if (hr == DISP_E_EXCEPTION) {
        const HRESULT code = exception.scode != 0 ? exception.scode : ControlCode(exception.wCode);
        std::wstring text(description.View());
        if (text.empty()) text = std::wstring(name) + L": " + DescribeCode(code);
        Throw(code, std::move(text));
    }
    ThrowIfFailed(hr, name);
}

// A value of |type| that |set| fills in.
template <class Set>
VARIANT Value(VARTYPE type, Set set) noexcept {
    VARIANT v{};
    V_VT(&v) = type;
    set(v);
    return v;
}

}  // namespace

void PutProperty(IDispatch* target, DISPID id, const VARIANT& value, std::wstring_view name) {
    VARIANT argument = value;  // borrowed: Invoke does not take ownership
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    Invoke(target, id, DISPATCH_PROPERTYPUT, params, nullptr, name);
}

void GetProperty(IDispatch* target, DISPID id, ScopedVariant& result, std::wstring_view name) {
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    Invoke(target, id, DISPATCH_PROPERTYGET, params, result.Receive(), name);
}

void CallMethod(IDispatch* target, DISPID id, std::span<VARIANT> arguments, std::wstring_view name) {
    // DISPPARAMS lists arguments last to first.
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    ScopedVariant ignored;
    Invoke(target, id, DISPATCH_METHOD, params, ignored.Ptr(), name);
}

VARIANT BoolValue(bool value) noexcept {
    return Value(VT_BOOL, [&](VARIANT& v) { V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE; });
}

VARIANT Int16Value(short value) noexcept {
    return Value(VT_I2, [&](VARIANT& v) { V_I2(&v) = value; });
}

VARIANT Int32Value(long value) noexcept {
    return Value(VT_I4, [&](VARIANT& v) { V_I4(&v) = value; });
}

VARIANT BorrowedText(BSTR text) noexcept {
    return Value(VT_BSTR, [&](VARIANT& v) { V_BSTR(&v) = text; });
}

}  // namespace core
