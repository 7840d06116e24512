#include "lumtag.h"

#include "../core/module.h"
#include "../core/port_print.h"
#include "../core/serial_port.h"
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

const core::LibraryControl core::kLibraryControl = {quennet::kControlClass, &quennet::Lumtag::Create};

namespace quennet {

Lumtag::Lumtag(IDispatch* serialPort) : DualControl(kControlClass), mscom_(serialPort) {}

HRESULT Lumtag::Create(REFIID iid, void** object) noexcept {
    return core::CreateControl<Lumtag>(iid, object, &core::CreateSerialPortComponent);
}

HRESULT Lumtag::CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept {
    return core::CreateControlWith<Lumtag>(iid, object, serialPort);
}

STDMETHODIMP Lumtag::ExecPrint(VARIANT* lsCommandLine, VARIANT* SETTING, VARIANT* PORT, VARIANT* lsPrint_Mode,
                               VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        RequireArguments({lsCommandLine, SETTING, PORT, lsPrint_Mode}, L"ExecPrint");
        if (SelectsParallelPort(*lsPrint_Mode)) {
            // SETTING and PORT belong to the serial port: not read here.
            PrintToParallelPort(kExecPrintDevice, *lsCommandLine);
            return;
        }
        core::SelectSerialPort(mscom_.Get(), *PORT, L"PORT", SETTING);
        // One Output of the value as the caller passed it: no pieces, no trimming.
        core::PrintOnSerialPort(mscom_.Get(), [&] { core::OutputToSerialPort(mscom_.Get(), *lsCommandLine); });
    });
}

}  // namespace quennet
