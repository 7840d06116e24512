// The print sequence both controls run on the serial port component MSCOM:
// select the port (and its line settings), open it, write, close it.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string_view>

namespace core {

// Sets CommPort to |portNumber| as a 16-bit number (a bad number fails
// before the component is touched, naming |portArgument|), then Settings to
// |settings| as text unless it is null, so that the port keeps the settings
// it has.
void SelectSerialPort(IDispatch* serialPort, const VARIANT& portNumber, std::wstring_view portArgument,
                      const VARIANT* settings);

// Opens the selected port, runs |write| and closes the port. When |write|
// fails, the port is closed before the failure goes on: a port left open
// would refuse every later print.
void PrintOnSerialPort(IDispatch* serialPort, const std::function<void()>& write);

// One Output put: |value| goes to the component as it is.
void OutputToSerialPort(IDispatch* serialPort, const VARIANT& value);

}  // namespace core
