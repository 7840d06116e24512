// The Ostrel control class lumtag (ProgID Tessmer.lumtag).
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "../core/control.h"
#include "ostrel_h.h"

namespace ostrel {

extern const core::ControlClass kControlClass;

class Lumtag final : public core::DualControl<_lumtag> {
public:
    // A control with its own serial port component.
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
    Lumtag(IDispatch* serialPort, IDispatch* socket);

private:
    ~Lumtag() override = default;

    Microsoft::WRL::ComPtr<IDispatch> mscom_;
    Microsoft::WRL::ComPtr<IDispatch> winsock1_;
};

}  // namespace ostrel
