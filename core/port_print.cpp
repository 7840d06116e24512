#include "port_print.h"

#include <string>

#include "convert.h"
#include "dispatch_call.h"
#include "scoped.h"
#include "serial_port_component.h"

namespace core {

namespace {

void PutPortOpen(IDispatch* serialPort, bool open) {
    PutProperty(serialPort, serial_dispid::kPortOpen, BoolValue(open), L"PortOpen");
}

void SelectSerialPort(IDispatch* serialPort, const SerialPortChoice& choice) {
    const short number = ToInt16(choice.number, choice.numberArgument);
    PutProperty(serialPort, serial_dispid::kCommPort, Int16Value(number), L"CommPort");
    if (choice.settings == nullptr) return;
    const ScopedBstr settingsText = ToText(*choice.settings, L"SETTING");
    PutProperty(serialPort, serial_dispid::kSettings, BorrowedText(settingsText.Get()), L"Settings");
}

}  // namespace

void PrintToSerialPort(IDispatch* serialPort, const SerialPortChoice& choice, const std::function<void()>& write) {
    SelectSerialPort(serialPort, choice);
    PutPortOpen(serialPort, true);
    try {
        write();
    } catch (...) {
        try {
            PutPortOpen(serialPort, false);
        } catch (...) {
            // The first failure is the one the caller needs to see.
        }
        throw;
    }
    PutPortOpen(serialPort, false);
}

void PrintToSerialPort(IDispatch* serialPort, const SerialPortChoice& choice, const VARIANT& value) {
    PrintToSerialPort(serialPort, choice, [&] { OutputToSerialPort(serialPort, value); });
}

void OutputToSerialPort(IDispatch* serialPort, const VARIANT& value) {
    PutProperty(serialPort, serial_dispid::kOutput, value, L"Output");
}

void PrintToParallelPort(const wchar_t* device, const std::function<void(ParallelPort&)>& write) {
    // A failure leaves the device to the port's destructor, which closes it.
    ParallelPort port(device);
    write(port);
    port.Close();
}

void PrintToParallelPort(const wchar_t* device, const VARIANT& value, std::wstring_view argument) {
    PrintToParallelPort(device, [&](ParallelPort& port) {
        std::string bytes;
        ToWireBytes(value, argument, bytes);
        port.Write(bytes.data(), bytes.size());
    });
}

}  // namespace core
