#include "listener.h"

#include <winsock2.h>

#include <boost/asio/ip/v6_only.hpp>

#include "http_session.h"
#include "limits.h"
#include "log.h"
#include "websocket_session.h"

namespace bridge {

namespace {

std::string Describe(const tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(endpoint.port());
}

}  // namespace

Listener::Listener(net::io_context& io, unsigned short port)
    : io_(io), port_(port), v4_(io), v6_(io), endDeadline_(io) {}

bool Listener::Listen() {
    if (!Listen(v4_, {net::ip::address_v4::loopback(), port_})) return false;
    Accept(v4_);
    if (Listen(v6_, {net::ip::address_v6::loopback(), port_})) Accept(v6_);
    return true;
}

// An acceptor on |endpoint|, without address sharing: another program may
// not take over the bridge's port.
bool Listener::Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        const BOOL exclusive = TRUE;
        setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof(exclusive));
        if (endpoint.address().is_v6()) acceptor.set_option(net::ip::v6_only(true), ec);
    }
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        LogLine("not listening on " + Describe(endpoint) + ": " + ec.message());
        acceptor.close(ec);
        return false;
    }
    LogLine("listening on " + Describe(endpoint));
    return true;
}

void Listener::Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](boost::system::error_code ec, tcp::socket socket) {
        if (ending_ || ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of sockets or memory for a moment: try again soon rather than spin.
            auto retry = std::make_shared<net::steady_timer>(io_, std::chrono::milliseconds(100));
            retry->async_wait([this, &acceptor, retry](boost::system::error_code) {
                if (!ending_) Accept(acceptor);
            });
            return;
        }
        if (handshakes_.Size() >= limits::kPendingHandshakes) {
            if (const auto oldest = handshakes_.Oldest())
                oldest->Drop("dropped for a newer one: too many handshakes pending");
        }
        std::make_shared<HandshakeSession>(std::move(socket), *this)->Start();
        Accept(acceptor);
    });
}

void Listener::End() {
    if (ending_) return;
    ending_ = true;
    LogLine("ending: asked to end; " + std::to_string(connections_.Size()) + " connections open");
    boost::system::error_code ignored;
    v4_.close(ignored);
    v6_.close(ignored);
    handshakes_.ForEach([](HandshakeSession& handshake) { handshake.Drop("dropped: the bridge is ending"); });
    connections_.ForEach([](WebSocketSession& connection) { connection.End(); });
    endBy_ = std::chrono::steady_clock::now() + limits::kEndTime;
    if (connections_.Size() == 0) return;
    endDeadline_.expires_at(endBy_);
    endDeadline_.async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        LogLine("ending: " + std::to_string(connections_.Size()) + " connections still busy after " +
                std::to_string(std::chrono::seconds(limits::kEndTime).count()) + " s are closed");
        connections_.ForEach([](WebSocketSession& connection) { connection.Abort(); });
    });
}

bool Listener::WaitForApartments() {
    return apartments_.WaitForNone(endBy_);
}

void Listener::ConnectionClosed() {
    if (ending_ && connections_.Size() == 0) endDeadline_.cancel();
}

bool Listener::TakeLargePlace(const std::shared_ptr<WebSocketSession>& session) {
    if (largeInUse_ < limits::kLargeMessages) {
        ++largeInUse_;
        return true;
    }
    largeWaiting_.push_back(session);
    return false;
}

void Listener::GiveBackLargePlace() {
    --largeInUse_;
    if (largeWaiting_.empty()) return;
    ++largeInUse_;
    net::post(io_, [waiting = std::move(largeWaiting_.front())] { waiting->OnLargePlace(); });
    largeWaiting_.pop_front();
}

}  // namespace bridge
