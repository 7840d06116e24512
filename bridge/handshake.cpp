#include "handshake.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "log.h"
#include "safety.h"
#include "utf8.h"

namespace bridge {

namespace {

// Whether |host| (a Host header) names the loopback address with |port|, as
// a page that opened ws://127.0.0.1, ws://localhost or ws://[::1] at that
// port sends it. Anything else is a page that reached the bridge through
// another name (a DNS rebinding attempt) or another port.
bool IsOwnAddress(std::string_view host, unsigned short port) {
    std::string suffix(1, ':');
    suffix += std::to_string(port);
    if (host.size() <= suffix.size() || host.substr(host.size() - suffix.size()) != suffix) return false;
    const std::string_view name = host.substr(0, host.size() - suffix.size());
    return name == "127.0.0.1" || name == "[::1]" || boost::beast::iequals(name, "localhost");
}

bool IsAllowedOrigin(std::string_view origin) {
    return core::AddressMatchesSites(Utf8ToWide(origin), core::ReadAllowedSites());
}

Refusal OriginNotAllowed(std::string_view origin) {
    return {http::status::forbidden, "origin not allowed: " + Printable(origin)};
}

}  // namespace

std::optional<Refusal> JudgeHandshake(const http::request<http::string_body>& request, unsigned short port) {
    const size_t origins = request.count(http::field::origin);
    if (!boost::beast::websocket::is_upgrade(request)) {
        if (origins == 1 && !IsAllowedOrigin(request[http::field::origin]))
            return OriginNotAllowed(request[http::field::origin]);
        return Refusal{http::status::bad_request, "not a WebSocket upgrade request"};
    }
    if (request.count(http::field::host) != 1)
        return Refusal{http::status::forbidden, "the request names no single Host"};
    const std::string_view host = request[http::field::host];
    if (!IsOwnAddress(host, port)) return Refusal{http::status::forbidden, "host not served here: " + Printable(host)};
    if (origins != 1) return Refusal{http::status::forbidden, origins == 0 ? "no Origin" : "more than one Origin"};
    if (!IsAllowedOrigin(request[http::field::origin])) return OriginNotAllowed(request[http::field::origin]);
    return std::nullopt;
}

http::response<http::string_body> RefusalAnswer(const Refusal& refusal, unsigned version) {
    http::response<http::string_body> answer(refusal.status, version);
    answer.set(http::field::server, "LabelBridge");
    answer.set(http::field::content_type, "text/plain; charset=utf-8");
    // The line tells a page why its handshake failed, which a browser hides
    // from it; it holds nothing but what the page sent and the reason.
    answer.set(http::field::access_control_allow_origin, "*");
    answer.keep_alive(false);
    answer.body() = "LabelBridge: " + refusal.reason + "\n";
    answer.prepare_payload();
    return answer;
}

}  // namespace bridge
