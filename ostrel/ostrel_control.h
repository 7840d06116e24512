// The Ostrel control (type library Tessmer, class lumtag, ProgID
// Tessmer.lumtag): prints to a serial port and sends to a network printer.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "../core/control.h"
#include "ostrel_h.h"

namespace ostrel {

// The class's identifiers, size and error source; tests build controls of it.
extern const core::ControlClass kControlClass;

class OstrelControl final : public core::DualControl<_lumtag> {
public:
    // A control with its own serial port and socket components.
    static HRESULT Create(REFIID iid, void** object) noexcept;
    // A control driving |serialPort| (and |socket|) instead of its own
    // components, for tests that watch each step.
    static HRESULT CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept;
    static HRESULT CreateWith(IDispatch* serialPort, IDispatch* socket, REFIID iid, void** object) noexcept;

    STDMETHODIMP SocConnect(VARIANT* HOSTIP, VARIANT* HOSTPORT, VARIANT* result) noexcept override;
    STDMETHODIMP SocSts(BSTR* result) noexcept override;
    STDMETHODIMP SendData(VARIANT* BARDATA, VARIANT* result) noexcept override;
    STDMETHODIMP ExecPrint(VARIANT* PUR_NO, VARIANT* N_TIME, VARIANT* SETTING, VARIANT* PORT,
                           VARIANT* result) noexcept override;
    STDMETHODIMP dectohex(VARIANT* dec, VARIANT* result) noexcept override;

    // For core::CreateControl; use Create or CreateWith.
    OstrelControl(IDispatch* serialPort, IDispatch* socket);

private:
    ~OstrelControl() override = default;

    Microsoft::WRL::ComPtr<IDispatch> serialPort_;  // the component MSCOM
    Microsoft::WRL::ComPtr<IDispatch> socket_;      // the component Winsock1
};

}  // namespace ostrel
