// Which requests the bridge upgrades to a WebSocket: a request for its own
// loopback address and port, from a page whose origin the machine's policy
// lists (the controls' own site lock decides).
#pragma once

#include <optional>
#include <string>

#include <boost/beast/http.hpp>

namespace bridge {

namespace http = boost::beast::http;

// Why a request is refused: the HTTP status of the answer and one line of text.
struct Refusal {
    http::status status;
    std::string reason;
};

// The verdict on one request to the bridge listening on |port|: none when it
// is an upgrade that may go on. A request that is no upgrade is refused
// (403 when it names an origin not on the list, 400 otherwise), so a page
// whose handshake failed can learn why from a plain request. The policy is
// read anew on every call, so a changed list applies to the next request.
std::optional<Refusal> JudgeHandshake(const http::request<http::string_body>& request, unsigned short port);

// The answer to a refused request: the status and the reason as one line
// that begins "LabelBridge:", readable by a page of any origin.
http::response<http::string_body> RefusalAnswer(const Refusal& refusal, unsigned version);

}  // namespace bridge
