#include "websocket_session.h"

#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>

#include "limits.h"
#include "log.h"
#include "protocol.h"

namespace bridge {

namespace {

// How much of a message one read takes at most.
constexpr size_t kReadPiece = size_t{256} << 10;

void SetStreamOptions(WebSocketSession::Stream& ws) {
    ws.read_message_max(limits::kMessageBytes);
    ws.auto_fragment(false);  // a reply goes out as one frame
    // A page may stay connected and quiet as long as it likes; the upgrade
    // and the close must not take longer than the close time.
    ws.set_option(websocket::stream_base::timeout{limits::kCloseTime, websocket::stream_base::none(), false});
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "LabelBridge"); }));
}

}  // namespace

void AnswerBusy(beast::tcp_stream stream, const http::request<http::string_body>& request) {
    auto ws = std::make_shared<WebSocketSession::Stream>(std::move(stream));
    SetStreamOptions(*ws);
    ws->async_accept(request, [ws](beast::error_code ec) {
        if (ec) return;
        websocket::close_reason reason(websocket::close_code::try_again_later);
        reason.reason = "busy: " + std::to_string(limits::kConnections) + " connections are open";
        ws->async_close(reason, [ws](beast::error_code) {});
    });
}

WebSocketSession::WebSocketSession(beast::tcp_stream stream, Listener& listener, uint64_t number, std::string origin)
    : ws_(std::move(stream)),
      listener_(listener),
      name_("connection " + std::to_string(number)),
      origin_(std::move(origin)),
      largeDeadline_(listener.Io()) {}

WebSocketSession::~WebSocketSession() {
    if (holdsLargePlace_) listener_.GiveBackLargePlace();
    if (apartment_) apartment_->Close();
    if (place_) listener_.Connections().Remove(*place_);
    listener_.ConnectionClosed();
}

void WebSocketSession::Start(const http::request<http::string_body>& request) {
    place_ = listener_.Connections().Add(shared_from_this());
    SetStreamOptions(ws_);
    try {
        apartment_ = Apartment::Start(name_, listener_.Apartments());
    } catch (...) {
        // No thread to be had: the page is told to try again later.
    }
    busy_ = true;
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
        if (ec) {
            self->Finish("upgrade failed: " + ec.message());
            return;
        }
        if (!self->apartment_) {
            self->Close(websocket::close_code::try_again_later, "busy: no thread for this connection");
            return;
        }
        LogLine(self->name_ + " opened from " + self->origin_);
        self->ws_.text(true);
        self->Send(HelloMessage());
    });
}

void WebSocketSession::End() {
    ending_ = true;
    if (!busy_ && !closing_) Close(websocket::close_code::going_away, "the bridge is ending (1001)");
}

void WebSocketSession::Abort() {
    Finish("the bridge ended before the call under way did");
    callUnderWay_.reset();
    beast::get_lowest_layer(ws_).close();
}

void WebSocketSession::Send(std::string text) {
    auto sent = std::make_shared<std::string>(std::move(text));
    ws_.async_write(net::buffer(*sent), [self = shared_from_this(), sent](beast::error_code ec, size_t) {
        if (ec) {
            self->Finish(ec.message());
            return;
        }
        self->busy_ = false;
        if (self->ending_) {
            self->Close(websocket::close_code::going_away, "the bridge is ending (1001)");
            return;
        }
        self->ReadSome();
    });
}

void WebSocketSession::ReadSome() {
    ws_.async_read_some(message_, kReadPiece,
                        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
}

void WebSocketSession::OnRead(beast::error_code ec) {
    if (closing_) return;  // the close's own handler tells how it ended
    if (ec == websocket::error::closed) {
        Finish("by the page (" + std::to_string(ws_.reason().code) + ")");
        return;
    }
    // The library has sent the close code (1002, 1007, 1009) where the fault was the page's.
    if (ec) {
        Finish(ec.message());
        return;
    }
    // Known from a message's first frame: nothing of it is kept. Binary
    // messages come only where a request named them, text ones only where
    // none is due.
    if (!ws_.got_text() && framesToCome_ == 0) {
        Close(websocket::close_code::unknown_data, "binary message (1003)");
        return;
    }
    if (ws_.got_text() && framesToCome_ != 0) {
        Close(websocket::close_code::policy_error, "a request's binary messages did not follow it (1008)");
        return;
    }
    if (framesToCome_ != 0) {
        OnFramePiece();
        return;
    }
    if (!ws_.is_message_done()) {
        ReadOn(message_.size());
        return;
    }
    largeDeadline_.cancel();
    Call();
}

void WebSocketSession::ReadOn(size_t brought) {
    if (!holdsLargePlace_ && brought > limits::kSmallMessageBytes) {
        if (!listener_.TakeLargePlace(shared_from_this())) return;  // OnLargePlace reads on
        OnLargePlace();
        return;
    }
    ReadSome();
}

void WebSocketSession::OnFramePiece() {
    const bool done = ws_.is_message_done();
    try {
        if (!frame_)
            frame_.emplace(request_->IsTextFrame(frames_.size()), message_.size() + (done ? 0 : ws_.read_size_hint()));
        frame_->Append({static_cast<const char*>(message_.data().data()), message_.size()});
        if (done) frames_.push_back(frame_->Finish());
    } catch (...) {
        Close(websocket::close_code::internal_error, "out of memory for a binary message (1011)");
        return;
    }
    // All the messages of a request count together, against the one limit.
    framesBytes_ += message_.size();
    message_.consume(message_.size());
    if (framesBytes_ > limits::kMessageBytes) {
        Close(websocket::close_code::too_big, "a request's binary messages are over the message limit (1009)");
        return;
    }
    if (!done) {
        ReadOn(framesBytes_);
        return;
    }
    frame_.reset();
    if (--framesToCome_ != 0) {
        ReadSome();
        return;
    }
    largeDeadline_.cancel();
    Run();
}

void WebSocketSession::OnLargePlace() {
    holdsLargePlace_ = true;
    if (finished_ || closing_) {
        GiveBackLargePlace();
        return;
    }
    largeDeadline_.expires_after(limits::kLargeMessageTime);
    largeDeadline_.async_wait([weak = weak_from_this()](beast::error_code ec) {
        const auto self = weak.lock();
        if (ec || !self) return;
        self->Finish("a message past " + std::to_string(limits::kSmallMessageBytes >> 20) +
                     " MiB did not arrive whole within " +
                     std::to_string(std::chrono::seconds(limits::kLargeMessageTime).count()) + " s");
        beast::get_lowest_layer(self->ws_).close();
    });
    ReadSome();
}

void WebSocketSession::GiveBackLargePlace() {
    if (!holdsLargePlace_) return;
    holdsLargePlace_ = false;
    listener_.GiveBackLargePlace();
}

void WebSocketSession::Call() {
    busy_ = true;
    callUnderWay_.emplace(listener_.Io().get_executor());
    auto message = std::make_shared<beast::flat_buffer>(std::move(message_));
    message_ = beast::flat_buffer();
    apartment_->Post([self = shared_from_this(), message](Session& session) mutable {
        std::string reply;
        std::shared_ptr<Request> waiting;
        try {
            auto request = std::make_shared<Request>(
                Session::Read({static_cast<const char*>(message->data().data()), message->size()}));
            // The text is given back as soon as it is read: a long label is not
            // held twice while the call runs.
            message.reset();
            if (request->Frames() == 0)
                reply = session.Run(std::move(*request), Frames());
            else
                waiting = std::move(request);
        } catch (...) {
            reply.clear();  // memory ran out for the reply
        }
        message.reset();
        net::io_context& io = self->listener_.Io();
        if (waiting)
            net::post(io, [self = std::move(self), waiting = std::move(waiting)] { self->OnFramesNamed(waiting); });
        else
            net::post(
                io, [self = std::move(self), reply = std::move(reply)]() mutable { self->OnReply(std::move(reply)); });
    });
}

void WebSocketSession::OnFramesNamed(std::shared_ptr<Request> request) {
    callUnderWay_.reset();
    if (finished_) return;
    request_ = std::move(request);
    framesToCome_ = request_->Frames();
    framesBytes_ = 0;
    busy_ = false;
    if (ending_) {
        Close(websocket::close_code::going_away, "the bridge is ending (1001)");
        return;
    }
    ReadSome();
}

void WebSocketSession::Run() {
    busy_ = true;
    callUnderWay_.emplace(listener_.Io().get_executor());
    auto frames = std::make_shared<std::vector<core::ScopedVariant>>(std::move(frames_));
    frames_.clear();
    apartment_->Post([self = shared_from_this(), request = std::move(request_), frames](Session& session) mutable {
        std::string reply;
        try {
            reply = session.Run(std::move(*request), Frames(std::move(*frames)));
        } catch (...) {
            reply.clear();  // memory ran out for the reply
        }
        request.reset();
        frames.reset();
        net::io_context& io = self->listener_.Io();
        net::post(io,
                  [self = std::move(self), reply = std::move(reply)]() mutable { self->OnReply(std::move(reply)); });
    });
}

void WebSocketSession::OnReply(std::string reply) {
    callUnderWay_.reset();
    GiveBackLargePlace();
    if (finished_) return;
    if (reply.empty()) {
        Close(websocket::close_code::internal_error, "out of memory for a reply (1011)");
        return;
    }
    Send(std::move(reply));
}

void WebSocketSession::Close(websocket::close_code code, std::string why) {
    if (closing_ || finished_) return;
    closing_ = true;
    websocket::close_reason reason(code);
    if (code == websocket::close_code::try_again_later) reason.reason = why;
    ws_.async_close(reason,
                    [self = shared_from_this(), why = std::move(why)](beast::error_code) { self->Finish(why); });
}

void WebSocketSession::Finish(const std::string& why) {
    if (finished_) return;
    finished_ = true;
    LogLine(name_ + " from " + origin_ + " closed: " + why);
    largeDeadline_.cancel();
    if (apartment_) apartment_->Close();
}

}  // namespace bridge
