#include "socket_component.h"

#include <string>

#include "../core/component.h"
#include "../core/convert.h"
#include "../core/dispatch_call.h"

namespace ostrel {

namespace {

constexpr core::DispatchComponent::Member kMembers[] = {
    {L"RemotePort", socket_dispid::kRemotePort}, {L"State", socket_dispid::kState},
    {L"RemoteHost", socket_dispid::kRemoteHost}, {L"Connect", socket_dispid::kConnect},
    {L"SendData", socket_dispid::kSendData},
};

class SocketComponent final : public core::DispatchComponent {
public:
    explicit SocketComponent(DWORD sendIdleLimitMs)
        : DispatchComponent(L"Winsock1", kMembers), client_(sendIdleLimitMs) {}

private:
    HRESULT Put(DISPID id, const VARIANT& value) override {
        switch (id) {
            case socket_dispid::kRemoteHost:
                client_.SetRemoteHost(std::wstring(core::ToText(value, L"RemoteHost").View()));
                return S_OK;
            case socket_dispid::kRemotePort:
                client_.SetRemotePort(core::ToInt32(value, L"RemotePort"));
                return S_OK;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HRESULT Get(DISPID id, VARIANT* result) override {
        if (result == nullptr) return E_POINTER;
        switch (id) {
            case socket_dispid::kState:
                *result = core::Int16Value(client_.State());
                return S_OK;
            case socket_dispid::kRemotePort:
                *result = core::Int32Value(client_.RemotePort());
                return S_OK;
            case socket_dispid::kRemoteHost:
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = core::ScopedBstr::Copy(client_.RemoteHost()).Release();
                return S_OK;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HRESULT Call(DISPID id, std::span<const VARIANT> arguments, VARIANT* result) override {
        switch (id) {
            case socket_dispid::kConnect:
                if (!arguments.empty()) return DISP_E_BADPARAMCOUNT;
                client_.Connect();
                return S_OK;
            case socket_dispid::kSendData:
                if (arguments.size() != 1) return DISP_E_BADPARAMCOUNT;
                core::ToWireBytes(arguments[0], L"SendData", buffer_);
                client_.Send(buffer_.data(), buffer_.size());
                return S_OK;
            default:
                return DispatchComponent::Call(id, arguments, result);
        }
    }

    TcpClient client_;
    std::string buffer_;
};

}  // namespace

HRESULT CreateSocketComponent(IDispatch** component) noexcept {
    return CreateSocketComponentWith(kSendIdleLimitMs, component);
}

HRESULT CreateSocketComponentWith(DWORD sendIdleLimitMs, IDispatch** component) noexcept {
    if (component == nullptr) return E_POINTER;
    *component = nullptr;
    return core::CatchReturn([&] {
        *component = new SocketComponent(sendIdleLimitMs);
        return S_OK;
    });
}

}  // namespace ostrel
