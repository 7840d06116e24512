// Which WebSocket handshakes the bridge takes: a request for its own
// loopback address and port, from a page whose origin the machine's policy
// lists (the controls' own site lock decides).
#pragma once

#include <optional>
#include <string>

#include <boost/beast/http.hpp>

namespace bridge {

namespace http = boost::beast::http;

// Why a handshake is refused: the HTTP status of the answer and one line of text.
struct Refusal {
    http::status status;
    std::string reason;
};

// The verdict on one upgrade request to the bridge listening on |port|:
// none when it may go on. The policy is read anew on every call, so a
// changed list applies to the next handshake.
std::optional<Refusal> JudgeHandshake(const http::request<http::string_body>& request, unsigned short port);

}  // namespace bridge
