// The owner of a Winsock socket, apart from scoped.h for the files that use
// Winsock (winsock2.h must come before windows.h).
#pragma once

#include <winsock2.h>

#include "scoped.h"

namespace core {

inline bool IsOpenSocket(SOCKET socket) noexcept {
    return socket != INVALID_SOCKET;
}

// A socket; INVALID_SOCKET is empty.
using ScopedSocket = UniqueValue<SOCKET, &closesocket, &IsOpenSocket, INVALID_SOCKET>;

}  // namespace core
