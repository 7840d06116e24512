// One page's upgraded connection: its messages are read on the listener's
// thread, each request runs on the connection's apartment thread
// (apartment.h), and its reply goes back before the next message is read.
// A message past the small size is read on only while it holds one of the
// listener's places for large messages.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "listener.h"
#include "values.h"

namespace bridge {

class Request;

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

// Tells a listed page that the bridge is full: the WebSocket is accepted
// only to be closed with 1013 (try again later) and the reason, which a page
// can read, unlike an HTTP status. It costs no thread and no objects.
void AnswerBusy(beast::tcp_stream stream, const http::request<http::string_body>& request);

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
public:
    // Without per-message compression: label messages are sent once over
    // loopback, where compressing costs more time than it saves.
    using Stream = websocket::stream<beast::tcp_stream, false>;

    WebSocketSession(beast::tcp_stream stream, Listener& listener, uint64_t number, std::string origin);
    WebSocketSession(const WebSocketSession&) = delete;
    WebSocketSession& operator=(const WebSocketSession&) = delete;
    ~WebSocketSession();

    // Completes the upgrade |request| asked for, greets, and serves.
    void Start(const http::request<http::string_body>& request);
    // The bridge is ending: close with 1001 once the call under way is answered.
    void End();
    // The end time is over: close now.
    void Abort();
    // The listener has a place for this connection's large message.
    void OnLargePlace();

private:
    void Send(std::string text);
    void ReadSome();
    // Reads on in a message that brought |brought| bytes so far: past the
    // small size, only once it holds one of the places for large messages.
    void ReadOn(size_t brought);
    void OnRead(beast::error_code ec);
    // Takes what arrived of a binary message into its value at once.
    void OnFramePiece();
    // Reads the message as a request on the apartment; runs it there at once,
    // or once the binary messages it names have arrived.
    void Call();
    void OnFramesNamed(std::shared_ptr<Request> request);
    void Run();
    void OnReply(std::string reply);
    void Close(websocket::close_code code, std::string why);
    void Finish(const std::string& why);
    void GiveBackLargePlace();

    Stream ws_;
    Listener& listener_;
    const std::string name_;    // "connection 12", for the log
    const std::string origin_;  // printable, for the log
    beast::flat_buffer message_;
    // The request waiting for its binary messages, how many are still to
    // come, and those that came (protocol 2).
    std::shared_ptr<Request> request_;
    size_t framesToCome_ = 0;
    size_t framesBytes_ = 0;
    std::optional<FrameValue> frame_;  // the one arriving
    std::vector<core::ScopedVariant> frames_;
    std::shared_ptr<Apartment> apartment_;
    net::steady_timer largeDeadline_;
    // Keeps the listener's thread at work while a call runs elsewhere, so an
    // ending bridge still sends the reply and the close.
    std::optional<net::executor_work_guard<net::io_context::executor_type>> callUnderWay_;
    std::optional<Roster<WebSocketSession>::Place> place_;
    bool holdsLargePlace_ = false;
    bool busy_ = false;  // a call or its reply is under way: no read is pending
    bool ending_ = false;
    bool closing_ = false;
    bool finished_ = false;
};

}  // namespace bridge
