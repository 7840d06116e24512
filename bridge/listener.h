// The bridge's listener: accepts connections on the loopback address, keeps
// the handshakes still being read and the upgraded connections, and ends
// them all when the bridge is asked to end. Everything here runs on the one
// thread that runs the I/O context; only apartment threads run elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "apartment.h"

namespace bridge {

namespace net = boost::asio;
using tcp = net::ip::tcp;

class HandshakeSession;
class WebSocketSession;

// The live sessions of one kind, oldest first: counted, the oldest dropped,
// all ended. A session takes its place when it starts and gives it back
// when it is destroyed.
template <class Session>
class Roster {
public:
    using Place = typename std::list<std::weak_ptr<Session>>::iterator;

    Place Add(const std::shared_ptr<Session>& session) { return sessions_.insert(sessions_.end(), session); }
    void Remove(Place place) { sessions_.erase(place); }
    size_t Size() const noexcept { return sessions_.size(); }
    std::shared_ptr<Session> Oldest() const { return sessions_.empty() ? nullptr : sessions_.front().lock(); }
    // Calls |visit| on each live session; |visit| may end sessions.
    template <class Visit>
    void ForEach(Visit visit) const {
        for (const auto& held : std::deque<std::weak_ptr<Session>>(sessions_.begin(), sessions_.end()))
            if (const auto session = held.lock()) visit(*session);
    }

private:
    std::list<std::weak_ptr<Session>> sessions_;
};

class Listener {
public:
    Listener(net::io_context& io, unsigned short port);
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens on 127.0.0.1 (which must succeed) and on ::1 (where it can).
    bool Listen();
    // Stops accepting, drops the pending handshakes, and asks each connection
    // to close once its call under way is done; within the end time the rest
    // are closed as they are. The I/O context runs out of work after that.
    void End();
    // After the I/O context ran out: waits until every apartment released
    // its objects, at most until the end time is over.
    bool WaitForApartments();

    net::io_context& Io() noexcept { return io_; }
    unsigned short Port() const noexcept { return port_; }
    bool Ending() const noexcept { return ending_; }
    uint64_t NextNumber() noexcept { return ++accepted_; }
    ApartmentCount& Apartments() noexcept { return apartments_; }

    Roster<HandshakeSession>& Handshakes() noexcept { return handshakes_; }
    Roster<WebSocketSession>& Connections() noexcept { return connections_; }
    // Told by a connection as it is destroyed.
    void ConnectionClosed();

    // A place for a message past the small size. True when one is free;
    // otherwise |session| is called (OnLargePlace) once one is.
    bool TakeLargePlace(const std::shared_ptr<WebSocketSession>& session);
    void GiveBackLargePlace();

private:
    bool Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint);
    void Accept(tcp::acceptor& acceptor);

    net::io_context& io_;
    const unsigned short port_;
    tcp::acceptor v4_, v6_;
    net::steady_timer endDeadline_;
    std::chrono::steady_clock::time_point endBy_{};
    bool ending_ = false;
    uint64_t accepted_ = 0;  // numbers the connections in the log
    Roster<HandshakeSession> handshakes_;
    Roster<WebSocketSession> connections_;
    int largeInUse_ = 0;
    // Held here: a connection waiting for a place has no operation under
    // way that would keep it alive.
    std::deque<std::shared_ptr<WebSocketSession>> largeWaiting_;
    ApartmentCount apartments_;
};

}  // namespace bridge
