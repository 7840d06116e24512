#include "http_session.h"

#include "handshake.h"
#include "limits.h"
#include "log.h"
#include "websocket_session.h"

namespace bridge {

HandshakeSession::HandshakeSession(tcp::socket socket, Listener& listener)
    : stream_(std::move(socket)), listener_(listener), number_(listener.NextNumber()) {}

HandshakeSession::~HandshakeSession() {
    LeaveRoster();
}

void HandshakeSession::LeaveRoster() {
    if (place_) listener_.Handshakes().Remove(*place_);
    place_.reset();
}

std::string HandshakeSession::Name() const {
    return "connection " + std::to_string(number_);
}

void HandshakeSession::Start() {
    place_ = listener_.Handshakes().Add(shared_from_this());
    parser_.emplace();
    parser_->header_limit(limits::kHandshakeHeaderBytes);
    parser_->body_limit(limits::kHandshakeBodyBytes);
    // The whole request, however slowly it trickles in.
    stream_.expires_after(limits::kHandshakeTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRequest(ec); });
}

void HandshakeSession::Drop(const std::string& why) {
    LeaveRoster();
    LogLine(Name() + " " + why);
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
}

void HandshakeSession::OnRequest(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == net::error::operation_aborted) return;  // nothing to answer
    if (ec == beast::error::timeout) {
        LogLine(Name() + ": no complete request within " +
                std::to_string(std::chrono::seconds(limits::kHandshakeTime).count()) + " s");
        return;
    }
    if (ec && ec.category() == http::make_error_code(http::error::bad_method).category()) {
        Refuse({http::status::bad_request, "malformed HTTP request: " + ec.message()}, 11, "");
        return;
    }
    if (ec) {
        LogLine(Name() + ": no complete request: " + ec.message());
        return;
    }
    const http::request<http::string_body> request = parser_->release();
    const std::string origin = Printable(request[http::field::origin]);
    if (const auto refusal = JudgeHandshake(request, listener_.Port())) {
        Refuse(*refusal, request.version(), request.count(http::field::origin) != 0 ? origin : "");
        return;
    }
    LeaveRoster();
    stream_.expires_never();
    if (listener_.Connections().Size() >= static_cast<size_t>(limits::kConnections)) {
        LogLine(Name() + " from " + origin + " refused: busy (" + std::to_string(limits::kConnections) +
                " connections open)");
        AnswerBusy(std::move(stream_), request);
        return;
    }
    std::make_shared<WebSocketSession>(std::move(stream_), listener_, number_, origin)->Start(request);
}

void HandshakeSession::Refuse(const Refusal& refusal, unsigned version, const std::string& origin) {
    LogLine(Name() + (origin.empty() ? "" : " from " + origin) + " refused (" +
            std::to_string(static_cast<int>(refusal.status)) + "): " + refusal.reason);
    auto answer = std::make_shared<http::response<http::string_body>>(RefusalAnswer(refusal, version));
    stream_.expires_after(limits::kCloseTime);
    http::async_write(stream_, *answer, [self = shared_from_this(), answer](beast::error_code, size_t) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        self->stream_.close();
    });
}

}  // namespace bridge
