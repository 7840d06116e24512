// The TCP client behind the socket component: a connection to a network
// printer, made without holding the host, states as hosts compare them, and
// sends bounded by how long the printer takes no data.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "../core/errors.h"
#include "../core/scoped_socket.h"

namespace ostrel {

// The state numbers host pages compare against.
enum SocketState : int16_t {
    kClosed = 0,
    kOpen = 1,
    kListening = 2,
    kConnectionPending = 3,
    kResolvingHost = 4,
    kHostResolved = 5,
    kConnecting = 6,
    kConnected = 7,
    kPeerClosing = 8,
    kError = 9,
};

// An operation that the connection's state does not allow.
constexpr HRESULT kSocketWrongState = core::kWrongConnectionState;

// How long a send waits while the printer takes no data before it gives up.
constexpr DWORD kSendIdleLimitMs = 30000;

struct Resolution;

// A TCP client for one printer at a time. It connects without holding the
// host's thread (a name is looked up on a thread of its own) and is moved on
// by the host's polls of its state.
class TcpClient {
public:
    explicit TcpClient(DWORD sendIdleLimitMs = kSendIdleLimitMs);
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    // Hands what was sent to the peer, within a bounded wait, then closes.
    ~TcpClient();

    const std::wstring& RemoteHost() const noexcept { return host_; }
    void SetRemoteHost(std::wstring host) { host_ = std::move(host); }
    int32_t RemotePort() const noexcept { return port_; }
    void SetRemotePort(int32_t port);

    // Starts connecting and returns at once; refused while connecting or connected.
    void Connect();
    // The current state, after moving the connection on as far as it got.
    SocketState State();
    // Hands |count| bytes to the system; refused unless connected. Fails when
    // the printer takes no data for the idle limit, however long the whole
    // send takes; the connection is then closed (kError).
    void Send(const char* bytes, size_t count);

private:
    void StartConnect(const sockaddr_in& address);
    void Poll();
    void Fail();
    std::wstring Peer() const;

    const DWORD sendIdleLimitMs_;
    bool started_ = false;
    std::wstring host_;
    int32_t port_ = 0;
    SocketState state_ = kClosed;
    core::ScopedSocket socket_;
    std::shared_ptr<Resolution> resolution_;
};

}  // namespace ostrel
