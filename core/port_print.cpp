#include "port_print.h"

#include "convert.h"
#include "dispatch_call.h"
#include "scoped.h"
#include "serial_port.h"

namespace core {

void SelectSerialPort(IDispatch* serialPort, const VARIANT& portNumber, std::wstring_view portArgument,
                      const VARIANT* settings) {
    PutProperty(serialPort, serial_dispid::kCommPort, Int16Value(ToInt16(portNumber, portArgument)), L"CommPort");
    if (settings == nullptr) return;
    const ScopedBstr settingsText = ToText(*settings, L"SETTING");
    PutProperty(serialPort, serial_dispid::kSettings, BorrowedText(settingsText.Get()), L"Settings");
}

void PrintOnSerialPort(IDispatch* serialPort, const std::function<void()>& write) {
    PutProperty(serialPort, serial_dispid::kPortOpen, BoolValue(true), L"PortOpen");
    try {
        write();
    } catch (...) {
        try {
            PutProperty(serialPort, serial_dispid::kPortOpen, BoolValue(false), L"PortOpen");
        } catch (...) {
            // The first failure is the one the caller needs to see.
        }
        throw;
    }
    PutProperty(serialPort, serial_dispid::kPortOpen, BoolValue(false), L"PortOpen");
}

void OutputToSerialPort(IDispatch* serialPort, const VARIANT& value) {
    PutProperty(serialPort, serial_dispid::kOutput, value, L"Output");
}

}  // namespace core
