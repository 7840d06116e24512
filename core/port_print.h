// One print sequence per port, for the members and the panel alike: open
// the port, write, close it, and close it also when a step fails, so that a
// port left open never refuses the next print.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string_view>

#include "parallel_port.h"

namespace core {

// The serial port a print selects on the component MSCOM.
struct SerialPortChoice {
    // Put as CommPort once converted to a 16-bit number; a number that does
    // not convert fails, naming |numberArgument|, before the component is touched.
    const VARIANT& number;
    std::wstring_view numberArgument;
    // Put as Settings in text form; null keeps the settings the port has.
    const VARIANT* settings;
};

// Selects the port, opens it, runs |write| (which puts Output, see
// OutputToSerialPort) and closes the port. When a step after opening fails,
// the port is closed before the failure goes on.
void PrintToSerialPort(IDispatch* serialPort, const SerialPortChoice& choice, const std::function<void()>& write);
// The same with one Output of |value| as it is: no pieces, no trimming.
void PrintToSerialPort(IDispatch* serialPort, const SerialPortChoice& choice, const VARIANT& value);
// One Output put: |value| goes to the component as it is.
void OutputToSerialPort(IDispatch* serialPort, const VARIANT& value);

// Opens |device| (e.g. "LPT1:"), runs |write| on it and closes it, also
// after a failure.
void PrintToParallelPort(const wchar_t* device, const std::function<void(ParallelPort&)>& write);
// The same with the bytes of |value| (text in the system ANSI code page, a
// byte array as it is) in one write; |argument| names the value when it does
// not convert, which is found out only once the device is open.
void PrintToParallelPort(const wchar_t* device, const VARIANT& value, std::wstring_view argument);

}  // namespace core
