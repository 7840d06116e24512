#include "handshake.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "log.h"
#include "safety.h"
#include "values.h"

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

}  // namespace

std::optional<Refusal> JudgeHandshake(const http::request<http::string_body>& request, unsigned short port) {
    if (!boost::beast::websocket::is_upgrade(request))
        return Refusal{http::status::bad_request, "not a WebSocket upgrade request"};
    if (request.count(http::field::host) != 1)
        return Refusal{http::status::forbidden, "the request names no single Host"};
    const std::string_view host = request[http::field::host];
    if (!IsOwnAddress(host, port)) return Refusal{http::status::forbidden, "host not served here: " + Printable(host)};
    const size_t origins = request.count(http::field::origin);
    if (origins != 1) return Refusal{http::status::forbidden, origins == 0 ? "no Origin" : "more than one Origin"};
    const std::string_view origin = request[http::field::origin];
    if (!core::AddressMatchesSites(Utf8ToWide(origin), core::ReadAllowedSites()))
        return Refusal{http::status::forbidden, "origin not allowed: " + Printable(origin)};
    return std::nullopt;
}

}  // namespace bridge
