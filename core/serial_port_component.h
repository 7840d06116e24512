// The serial port component MSCOM: a COM object of the library (not
// registered) that the controls drive only through IDispatch, by the
// dispatch identifiers below, so a unit test can put a recording fake in
// its place.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace core {

namespace serial_dispid {
constexpr DISPID kCommPort = 4;
constexpr DISPID kPortOpen = 20;
constexpr DISPID kSettings = 23;
constexpr DISPID kOutput = 25;
}  // namespace serial_dispid

// Creates the component with the design values: port 1, "9600,N,8,1",
// 8096-byte buffers.
HRESULT CreateSerialPortComponent(IDispatch** component) noexcept;

}  // namespace core
