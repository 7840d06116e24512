// A connection before its handshake is judged: its HTTP request is read on
// the listener's thread, whole within the handshake time and within the
// header limit, and judged once (handshake.h). A refused request gets its
// answer and the connection ends; an accepted one becomes a WebSocket
// session, or, when the bridge is full, is told so and closed.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include "listener.h"

namespace bridge {

namespace beast = boost::beast;
namespace http = beast::http;

struct Refusal;

class HandshakeSession : public std::enable_shared_from_this<HandshakeSession> {
public:
    HandshakeSession(tcp::socket socket, Listener& listener);
    HandshakeSession(const HandshakeSession&) = delete;
    HandshakeSession& operator=(const HandshakeSession&) = delete;
    ~HandshakeSession();

    void Start();
    // Ends the connection at once, saying |why| in the log.
    void Drop(const std::string& why);

private:
    void OnRequest(beast::error_code ec);
    void Refuse(const Refusal& refusal, unsigned version, const std::string& origin);
    // No longer pending: the roster no longer counts it.
    void LeaveRoster();
    std::string Name() const;

    beast::tcp_stream stream_;
    Listener& listener_;
    const uint64_t number_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<Roster<HandshakeSession>::Place> place_;
};

}  // namespace bridge
