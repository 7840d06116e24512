#include "connection.h"

#include <windows.h>
#include <objbase.h>

#include <thread>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "handshake.h"
#include "log.h"
#include "protocol.h"

namespace bridge {

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

// How long a client may take to send its handshake request, and to answer
// the close of a connection the bridge ends.
constexpr DWORD kRequestWaitMs = 10000;
constexpr DWORD kCloseWaitMs = 5000;
// A read buffer grown beyond this by a large message is given back after it.
constexpr size_t kKeptBufferBytes = size_t{1} << 20;

// COM on this thread as a single-threaded apartment, for as long as it lives.
class Apartment {
public:
    Apartment() noexcept : status_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    ~Apartment() {
        if (SUCCEEDED(status_)) CoUninitialize();
    }
    HRESULT Status() const noexcept { return status_; }

private:
    const HRESULT status_;
};

// A place among the connections open at once, held while it lives.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::atomic<int>& open) noexcept : open_(open) {
        int now = open_.load();
        do {
            if (now >= kMaxConnections) return;
        } while (!open_.compare_exchange_weak(now, now + 1));
        taken_ = true;
    }
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ~ConnectionSlot() {
        if (taken_) --open_;
    }
    bool Taken() const noexcept { return taken_; }

private:
    std::atomic<int>& open_;
    bool taken_ = false;
};

// Synchronous reads have no timer of their own: the socket's receive
// timeout bounds each blocking read (0 lifts the bound).
void LimitReceiveWait(Connection::Socket& socket, DWORD milliseconds) {
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
               sizeof(milliseconds));
}

}  // namespace

void Connection::Start(Socket socket, Listener& listener) noexcept {
    try {
        std::thread([connection = Connection(std::move(socket), listener)]() mutable { connection.Run(); }).detach();
    } catch (...) {
        LogLine("a connection was closed at once: no thread for it");
    }
}

Connection::Connection(Socket socket, Listener& listener) noexcept
    : socket_(std::move(socket)), listener_(listener), number_(++listener.accepted) {}

void Connection::Run() noexcept {
    try {
        const Apartment apartment;
        if (FAILED(apartment.Status())) {
            LogLine("connection " + std::to_string(number_) + " closed: no apartment for it");
            return;
        }
        Serve();
    } catch (...) {
        // Memory ran out for a reply; the connection ends, the bridge goes on.
        LogLine("a connection ended: out of memory");
    }
}

void Connection::Serve() {
    const std::string name = "connection " + std::to_string(number_);
    beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    parser.header_limit(8 * 1024);
    parser.body_limit(4 * 1024);
    beast::error_code ec;
    LimitReceiveWait(socket_, kRequestWaitMs);
    http::read(socket_, buffer, parser, ec);
    if (ec == http::error::end_of_stream) return;  // closed before a request: nothing to answer
    if (ec && ec.category() == http::make_error_code(http::error::bad_method).category()) {
        Refuse({http::status::bad_request, "malformed HTTP request: " + ec.message()}, 11);
        return;
    }
    if (ec) {
        LogLine(name + ": no complete request" +
                (ec == boost::asio::error::timed_out ? " within " + std::to_string(kRequestWaitMs / 1000) + " s"
                                                     : ": " + ec.message()));
        return;
    }
    http::request<http::string_body> request = parser.release();
    if (const auto refusal = JudgeHandshake(request, listener_.port)) {
        Refuse(*refusal, request.version());
        return;
    }
    const ConnectionSlot slot(listener_.connections);
    if (!slot.Taken()) {
        Refuse({http::status::service_unavailable,
                "too many connections (at most " + std::to_string(kMaxConnections) + ")"},
               request.version());
        return;
    }

    LimitReceiveWait(socket_, 0);
    Stream stream(std::move(socket_));
    stream.read_message_max(kMaxMessageBytes);
    stream.auto_fragment(false);  // a reply goes out as one frame
    stream.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "LabelBridge"); }));
    stream.accept(request, ec);  // a faulty upgrade gets the library's own answer
    const std::string origin = Printable(request[http::field::origin]);
    if (ec) {
        LogLine(name + " from " + origin + ": upgrade failed: " + ec.message());
        return;
    }
    LogLine(name + " opened from " + origin);
    const std::string why = Exchange(stream, name);
    LogLine(name + " from " + origin + " closed: " + why);
}

std::string Connection::Exchange(Stream& stream, const std::string& name) {
    // Declared after the apartment began and gone before it ends: the
    // connection's objects are released on this thread when it closes.
    Session session(name);
    beast::error_code ec;
    stream.text(true);
    stream.write(boost::asio::buffer(HelloMessage()), ec);
    beast::flat_buffer buffer;
    while (!ec) {
        stream.read(buffer, ec);
        if (ec == websocket::error::closed) return "by the page (" + std::to_string(stream.reason().code) + ")";
        // The library has sent the close code (1002, 1007, 1009) where the fault was the page's.
        if (ec) break;
        if (!stream.got_text()) {
            LimitReceiveWait(stream.next_layer(), kCloseWaitMs);
            stream.close(websocket::close_code::unknown_data, ec);
            return "binary message (1003)";
        }
        const std::string reply = session.Handle({static_cast<const char*>(buffer.data().data()), buffer.size()});
        buffer.consume(buffer.size());
        if (buffer.capacity() > kKeptBufferBytes) buffer.shrink_to_fit();
        stream.write(boost::asio::buffer(reply), ec);
    }
    return ec.message();
}

void Connection::Refuse(const Refusal& refusal, unsigned version) {
    LogLine("connection " + std::to_string(number_) + " refused (" + std::to_string(static_cast<int>(refusal.status)) +
            "): " + refusal.reason);
    http::response<http::string_body> response(refusal.status, version);
    response.set(http::field::server, "LabelBridge");
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.keep_alive(false);
    response.body() = refusal.reason + "\n";
    response.prepare_payload();
    beast::error_code ec;
    http::write(socket_, response, ec);
    socket_.shutdown(Socket::shutdown_send, ec);
    socket_.close(ec);
}

}  // namespace bridge
