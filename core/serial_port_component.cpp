#include "serial_port_component.h"

#include <string>

#include "component.h"
#include "convert.h"
#include "dispatch_call.h"
#include "errors.h"
#include "serial_port.h"

namespace core {

namespace {

constexpr DispatchComponent::Member kMembers[] = {
    {L"CommPort", serial_dispid::kCommPort},
    {L"PortOpen", serial_dispid::kPortOpen},
    {L"Settings", serial_dispid::kSettings},
    {L"Output", serial_dispid::kOutput},
};

class SerialPortComponent final : public DispatchComponent {
public:
    SerialPortComponent() : DispatchComponent(L"MSCOM", kMembers) {}

private:
    HRESULT Put(DISPID id, const VARIANT& value) override {
        switch (id) {
            case serial_dispid::kCommPort:
                port_.SetCommPort(ToInt16(value, L"CommPort"));
                return S_OK;
            case serial_dispid::kSettings:
                port_.SetSettings(ToText(value, L"Settings").View());
                return S_OK;
            case serial_dispid::kPortOpen:
                if (ToInt16(value, L"PortOpen") != 0)
                    port_.Open();
                else
                    port_.Close();
                return S_OK;
            case serial_dispid::kOutput: {
                if (!port_.IsOpen())
                    Throw(kPortNotOpen, L"Output needs an open port: " + port_.Name() + L" is not open");
                ToWireBytes(value, L"Output", outputBuffer_);
                port_.Write(outputBuffer_.data(), outputBuffer_.size());
                return S_OK;
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HRESULT Get(DISPID id, VARIANT* result) override {
        if (result == nullptr) return E_POINTER;
        VariantInit(result);
        switch (id) {
            case serial_dispid::kCommPort:
                *result = Int16Value(port_.CommPort());
                return S_OK;
            case serial_dispid::kSettings:
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = ScopedBstr::Copy(port_.Settings()).Release();
                return S_OK;
            case serial_dispid::kPortOpen:
                V_VT(result) = VT_BOOL;
                V_BOOL(result) = port_.IsOpen() ? VARIANT_TRUE : VARIANT_FALSE;
                return S_OK;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    SerialPort port_;
    std::string outputBuffer_;
};

}  // namespace

HRESULT CreateSerialPortComponent(IDispatch** component) noexcept {
    if (component == nullptr) return E_POINTER;
    *component = nullptr;
    // The port allocates as it is made: every failure of it becomes the caller's code.
    return CatchReturn([&] {
        *component = new SerialPortComponent();
        return S_OK;
    });
}

}  // namespace core
