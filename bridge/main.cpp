// LabelBridge.exe: lets pages in any browser call the label controls by
// name. A WebSocket server on the loopback address only, one per user
// session; each connection gets its own apartment thread and control
// objects (connection.h), each message one call (protocol.h), and only
// pages of the sites the machine's policy lists get in (handshake.h).
//
//   LabelBridge.exe [--console] [--port N]
//
// The port is 9180 unless the policy value
// HKLM\SOFTWARE\Policies\Lumtag\Bridge\Port (REG_DWORD) or --port says otherwise.
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>

#include "connection.h"
#include "log.h"
#include "scoped.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr unsigned short kDefaultPort = 9180;
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Lumtag\\Bridge";
// One bridge per user session, whatever port it listens on.
constexpr wchar_t kInstanceMutex[] = L"Local\\Lumtag.LabelBridge";

struct Options {
    bool console = false;
    std::optional<unsigned short> port;
};

std::optional<unsigned short> ReadPort(std::string_view text) {
    char* end = nullptr;
    const std::string digits(text);
    const unsigned long value = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value == 0 || value > 65535) return std::nullopt;
    return static_cast<unsigned short>(value);
}

// Nothing when the command line is wrong.
std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--console") {
            options.console = true;
        } else if (arg == "--port" && i + 1 < argc) {
            options.port = ReadPort(argv[++i]);
            if (!options.port) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The policy's port (the 64-bit view, where policies are written), else the default.
unsigned short PolicyPort() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return kDefaultPort;
    const core::ScopedKey key(opened);
    DWORD value = 0, type = REG_NONE, size = sizeof(value);
    if (RegQueryValueExW(key.Get(), L"Port", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || value == 0 || value > 65535)
        return kDefaultPort;
    return static_cast<unsigned short>(value);
}

std::string Describe(const tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(endpoint.port());
}

// An acceptor on |address|, without address sharing: another program may
// not take over the bridge's port.
bool Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        const BOOL exclusive = TRUE;
        setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof(exclusive));
        if (endpoint.address().is_v6()) acceptor.set_option(net::ip::v6_only(true), ec);
    }
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        bridge::LogLine("not listening on " + Describe(endpoint) + ": " + ec.message());
        acceptor.close(ec);
        return false;
    }
    bridge::LogLine("listening on " + Describe(endpoint));
    return true;
}

[[noreturn]] void AcceptForever(net::io_context& io, tcp::acceptor& acceptor, bridge::Listener& listener) {
    for (;;) {
        tcp::socket socket(io);
        boost::system::error_code ec;
        acceptor.accept(socket, ec);
        if (ec) {
            // Out of sockets or memory for a moment: let it pass rather than spin.
            Sleep(100);
            continue;
        }
        bridge::Connection::Start(std::move(socket), listener);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        bridge::OpenConsole();
        bridge::LogLine("usage: LabelBridge.exe [--console] [--port N]");
        return 2;
    }
    if (options->console) bridge::OpenConsole();

    const core::ScopedHandle instance(CreateMutexW(nullptr, FALSE, kInstanceMutex));
    if (instance.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS) {
        bridge::LogLine("LabelBridge is already running in this session");
        return 0;
    }

    static bridge::Listener listener;
    listener.port = options->port.value_or(PolicyPort());
    static net::io_context io;
    static tcp::acceptor v4(io), v6(io);
    // The loopback address only: the bridge is for pages on this machine.
    if (!Listen(v4, {net::ip::address_v4::loopback(), listener.port})) return 1;
    if (Listen(v6, {net::ip::address_v6::loopback(), listener.port})) {
        try {
            std::thread([] { AcceptForever(io, v6, listener); }).detach();
        } catch (...) {
            bridge::LogLine("not accepting on [::1]: no thread for it");
        }
    }
    AcceptForever(io, v4, listener);
}
