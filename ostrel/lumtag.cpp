#include "lumtag.h"

#include <new>

#include "../core/errors.h"
#include "../core/serial_port.h"
#include "serial_print.h"

using Microsoft::WRL::ComPtr;

namespace ostrel {

const core::ControlClass kControlClass = {
    &CLSID_lumtag,
    &IID__lumtag,
    &DIID___lumtag,
    &LIBID_Tessmer,
    L"Tessmer.lumtag",
    L"Tessmer",
    {2580, 1245},
    OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE |
        OLEMISC_SETCLIENTSITEFIRST,
};

namespace {

[[noreturn]] void NotAvailable(const wchar_t* member) {
    core::Throw(E_NOTIMPL, std::wstring(member) + L" is not available in this version of the control");
}

}  // namespace

Lumtag::Lumtag(IDispatch* serialPort) : DualControl(kControlClass), mscom_(serialPort) {}

HRESULT Lumtag::Create(REFIID iid, void** object) noexcept {
    ComPtr<IDispatch> serialPort;
    const HRESULT hr = core::CreateSerialPortComponent(&serialPort);
    if (FAILED(hr)) return hr;
    return CreateWith(serialPort.Get(), iid, object);
}

HRESULT Lumtag::CreateWith(IDispatch* serialPort, REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (serialPort == nullptr) return E_POINTER;
    ComPtr<Lumtag> control;
    control.Attach(new (std::nothrow) Lumtag(serialPort));
    if (!control) return E_OUTOFMEMORY;
    return static_cast<core::Control*>(control.Get())->QueryInterface(iid, object);
}

STDMETHODIMP Lumtag::SocConnect(VARIANT*, VARIANT*, VARIANT* result) noexcept {
    return CallMember(result, [](VARIANT&) { NotAvailable(L"SocConnect"); });
}

STDMETHODIMP Lumtag::SocSts(BSTR* result) noexcept {
    return CallMember(result, [](BSTR&) { NotAvailable(L"SocSts"); });
}

STDMETHODIMP Lumtag::SendData(VARIANT*, VARIANT* result) noexcept {
    return CallMember(result, [](VARIANT&) { NotAvailable(L"SendData"); });
}

STDMETHODIMP Lumtag::ExecPrint(VARIANT* PUR_NO, VARIANT* N_TIME, VARIANT* SETTING, VARIANT* PORT,
                               VARIANT* result) noexcept {
    return CallMember(result, [&](VARIANT&) {
        if (PUR_NO == nullptr || N_TIME == nullptr || SETTING == nullptr || PORT == nullptr)
            core::Throw(E_POINTER, L"ExecPrint needs all four arguments");
        PrintToSerialPort(mscom_.Get(), *PUR_NO, *N_TIME, *SETTING, *PORT);
    });
}

STDMETHODIMP Lumtag::dectohex(VARIANT*, VARIANT* result) noexcept {
    return CallMember(result, [](VARIANT&) { NotAvailable(L"dectohex"); });
}

}  // namespace ostrel
