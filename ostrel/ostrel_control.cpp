#include "ostrel_control.h"

#include <string>

#include "../core/convert.h"
#include "../core/dispatch_call.h"
#include "../core/errors.h"
#include "../core/module.h"
#include "../core/serial_port_component.h"
#include "hex_text.h"
#include "serial_print.h"
#include "socket_component.h"

using Microsoft::WRL::ComPtr;

namespace ostrel {

const core::ControlClass kControlClass = {
    .clsid = &CLSID_lumtag,
    .dispatchIid = &IID__lumtag,
    .eventsIid = &DIID___lumtag,
    .libid = &LIBID_Tessmer,
    .progId = L"Tessmer.lumtag",
    .initialSizeTwips = {2580, 1245},
    .miscStatus = core::kControlMiscStatus,
};

}  // namespace ostrel

const core::LibraryControl core::kLibraryControl = {ostrel::kControlClass, &ostrel::OstrelControl::Create};

namespace ostrel {

OstrelControl::OstrelControl(IDispatch* serialPort, IDispatch* socket)
    : DualControl(kControlClass), serialPort_(serialPort), socket_(socket) {}

HRESULT OstrelControl::Create(REFIID iid, void** object) noexcept {
    return core::CreateControl<OstrelControl>(iid, object, &core::CreateSerialPortComponent, &CreateSocketComponent);
}

HRESULT OstrelControl::CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept {
    ComPtr<IDispatch> socket;
    const HRESULT hr = CreateSocketComponent(&socket);
    if (FAILED(hr)) return hr;
    return CreateWith(serialPort, socket.Get(), iid, object);
}

HRESULT OstrelControl::CreateWith(IDispatch* serialPort, IDispatch* socket, REFIID iid, void** object) noexcept {
    return core::CreateControlWith<OstrelControl>(iid, object, serialPort, socket);
}

STDMETHODIMP OstrelControl::SocConnect(VARIANT* HOSTIP, VARIANT* HOSTPORT, VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        RequireArguments({HOSTIP, HOSTPORT}, L"SocConnect");
        // The host goes to the component before the port is converted.
        const core::ScopedBstr host = core::ToText(*HOSTIP, L"HOSTIP");
        core::PutProperty(socket_.Get(), socket_dispid::kRemoteHost, core::BorrowedText(host.Get()), L"RemoteHost");
        const int32_t port = core::ToInt32(*HOSTPORT, L"HOSTPORT");
        core::PutProperty(socket_.Get(), socket_dispid::kRemotePort, core::Int32Value(port), L"RemotePort");
        core::CallMethod(socket_.Get(), socket_dispid::kConnect, {}, L"Connect");
    });
}

STDMETHODIMP OstrelControl::SocSts(BSTR* result) noexcept {
    return CallMember(result, [&](BSTR& out) {
        core::ScopedVariant state;
        core::GetProperty(socket_.Get(), socket_dispid::kState, state, L"State");
        out = core::ScopedBstr::Copy(std::to_wstring(core::ToInt16(state.Get(), L"State"))).Release();
    });
}

STDMETHODIMP OstrelControl::SendData(VARIANT* BARDATA, VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        RequireArguments({BARDATA}, L"SendData");
        VARIANT data = *BARDATA;  // handed over as the caller passed it, not converted
        core::CallMethod(socket_.Get(), socket_dispid::kSendData, {&data, 1}, L"SendData");
    });
}

STDMETHODIMP OstrelControl::ExecPrint(VARIANT* PUR_NO, VARIANT* N_TIME, VARIANT* SETTING, VARIANT* PORT,
                                      VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        RequireArguments({PUR_NO, N_TIME, SETTING, PORT}, L"ExecPrint");
        PrintCommandStream(serialPort_.Get(), *PUR_NO, *N_TIME, *SETTING, *PORT);
    });
}

// The interface's name for reading hexadecimal text ("FF" gives 255).
STDMETHODIMP OstrelControl::dectohex(VARIANT* dec, VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT& out) {
        RequireArguments({dec}, L"dectohex");
        // Null and empty contribute no digits and give 0.
        const double number = core::IsNull(*dec) ? 0.0 : HexTextToNumber(core::TextArgument(*dec, L"dec").View());
        V_VT(&out) = VT_R8;
        V_R8(&out) = number;
    });
}

}  // namespace ostrel
