// One page's WebSocket connection, served on a thread of its own that is a
// single-threaded apartment: the handshake is read and judged there, and the
// connection's control objects are created, called and released there, one
// request at a time. A long print on one connection never holds another.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace bridge {

struct Refusal;

// Upgraded connections open at once; one more is answered 503.
inline constexpr int kMaxConnections = 32;
// The longest message a page may send: a 16 MiB label as base64 and then some.
inline constexpr size_t kMaxMessageBytes = size_t{64} << 20;

// What the listener and all its connections share.
struct Listener {
    unsigned short port = 0;            // the port a page's Host must name
    std::atomic<int> connections{0};    // upgraded connections now open
    std::atomic<uint64_t> accepted{0};  // numbers the connections in the log
};

class Connection {
public:
    using Socket = boost::asio::ip::tcp::socket;
    // Without per-message compression: label messages are sent once over
    // loopback, where compressing costs more time than it saves.
    using Stream = boost::beast::websocket::stream<Socket, false>;

    // Serves |socket| on a thread of its own; when no thread can be had,
    // the socket is closed at once.
    static void Start(Socket socket, Listener& listener) noexcept;

private:
    Connection(Socket socket, Listener& listener) noexcept;
    void Run() noexcept;
    void Serve();
    // The messages of an upgraded connection until it ends; returns why it did.
    std::string Exchange(Stream& stream, const std::string& name);
    // A plain HTTP answer, then the connection ends.
    void Refuse(const Refusal& refusal, unsigned version);

    Socket socket_;
    Listener& listener_;
    const uint64_t number_;
};

}  // namespace bridge
