#include "quennet_control.h"

#include "../core/module.h"
#include "../core/port_print.h"
#include "../core/serial_port_component.h"
#include "routing.h"

namespace quennet {

const core::ControlClass kControlClass = {
    .clsid = &CLSID_lumtag,
    .dispatchIid = &IID__lumtag,
    .eventsIid = &DIID___lumtag,
    .libid = &LIBID_Quennet,
    .progId = L"Quennet.lumtag",
    .initialSizeTwips = {6870, 570},
    .miscStatus = core::kControlMiscStatus,
};

}  // namespace quennet

const core::LibraryControl core::kLibraryControl = {quennet::kControlClass, &quennet::QuennetControl::Create};

namespace quennet {

QuennetControl::QuennetControl(IDispatch* serialPort) : DualControl(kControlClass), serialPort_(serialPort) {}

HRESULT QuennetControl::Create(REFIID iid, void** object) noexcept {
    return core::CreateControl<QuennetControl>(iid, object, &core::CreateSerialPortComponent);
}

HRESULT QuennetControl::CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept {
    return core::CreateControlWith<QuennetControl>(iid, object, serialPort);
}

STDMETHODIMP QuennetControl::ExecPrint(VARIANT* lsCommandLine, VARIANT* SETTING, VARIANT* PORT, VARIANT* lsPrint_Mode,
                                       VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        RequireArguments({lsCommandLine, SETTING, PORT, lsPrint_Mode}, L"ExecPrint");
        if (SelectsParallelPort(*lsPrint_Mode)) {
            // SETTING and PORT belong to the serial port: not read here.
            core::PrintToParallelPort(kExecPrintDevice, *lsCommandLine, L"lsCommandLine");
            return;
        }
        core::PrintToSerialPort(serialPort_.Get(), {*PORT, L"PORT", SETTING}, *lsCommandLine);
    });
}

}  // namespace quennet
