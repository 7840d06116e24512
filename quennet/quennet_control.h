// The Quennet control (type library Quennet, class lumtag, ProgID
// Quennet.lumtag): ExecPrint routed by mode, and the test panel on the
// control's surface.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "../core/control.h"
#include "../core/scoped.h"
#include "quennet_h.h"

namespace quennet {

class QuennetControl final : public core::DualControl<_lumtag> {
public:
    // A control with its own serial port component.
    static HRESULT Create(REFIID iid, void** object) noexcept;
    // A control driving |serialPort| instead, for tests that watch each step.
    static HRESULT CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept;
    // For core::CreateControl; use Create or CreateWith.
    explicit QuennetControl(IDispatch* serialPort);

    STDMETHODIMP ExecPrint(VARIANT* lsCommandLine, VARIANT* SETTING, VARIANT* PORT, VARIANT* lsPrint_Mode,
                           VARIANT* result) noexcept override;

private:
    ~QuennetControl() override = default;

    // The test panel (panel.cpp).
    void OnWindowCreated(HWND window) override;
    void OnWindowResized(HWND window) override;
    void OnCommand(WPARAM wparam, LPARAM lparam) override;
    void RunSerialTest();
    void RunParallelTest();

    Microsoft::WRL::ComPtr<IDispatch> serialPort_;  // the component MSCOM
    HWND portBox_ = nullptr;                        // the serial port number (Text1)
    core::ScopedGdiObject portBoxFont_;
};

}  // namespace quennet
