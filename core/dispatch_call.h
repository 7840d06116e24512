// Calls on contained components through IDispatch by dispatch identifier.
// A component's failure is rethrown as a ComError with the component's own
// code and description, so the calling member fails with it unchanged.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <span>
#include <string_view>

#include "scoped.h"

namespace core {

void PutProperty(IDispatch* target, DISPID id, const VARIANT& value, std::wstring_view name);
void GetProperty(IDispatch* target, DISPID id, ScopedVariant& result, std::wstring_view name);
// |arguments| in the order of the method's parameters.
void CallMethod(IDispatch* target, DISPID id, std::span<VARIANT> arguments, std::wstring_view name);

// A boolean or short as an automation value, for property puts.
VARIANT BoolValue(bool value) noexcept;
VARIANT Int16Value(short value) noexcept;
VARIANT Int32Value(long value) noexcept;
// Borrows |text| without copying; the value must not outlive it.
VARIANT BorrowedText(BSTR text) noexcept;

}  // namespace core
