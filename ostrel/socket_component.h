// The socket component Winsock1: a TCP client of the library (not
// registered) that the control drives only through IDispatch, by the
// dispatch identifiers below. It has no events: the host learns how the
// connection fares by reading State, which moves the connection on.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "tcp_client.h"

namespace ostrel {

namespace socket_dispid {
constexpr DISPID kRemotePort = 1;
constexpr DISPID kState = 8;
constexpr DISPID kRemoteHost = 10;
constexpr DISPID kConnect = 64;
constexpr DISPID kSendData = 67;
}  // namespace socket_dispid

HRESULT CreateSocketComponent(IDispatch** component) noexcept;
// The same with another idle limit for sends.
HRESULT CreateSocketComponentWith(DWORD sendIdleLimitMs, IDispatch** component) noexcept;

}  // namespace ostrel
