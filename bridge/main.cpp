// LabelBridge.exe: lets pages in any browser call the label controls by
// name. A WebSocket server on the loopback address only, one per user
// session: its listener reads and judges handshakes without a thread per
// socket (listener.h, http_session.h, handshake.h), each upgraded
// connection gets its own apartment thread and control objects
// (websocket_session.h, apartment.h), each message one call (protocol.h).
// Every limit is in limits.h.
//
//   LabelBridge.exe [--console] [--port N]
//   LabelBridge.exe [--console] --end | --start-for-users   (the installer's, handover.h)
//   LabelBridge.exe [--console] --browser-policies LIST | --remove-browser-policies
//                                                   (the installer's, browser_policies.h)
//
// The port is 9180 unless the policy value
// HKLM\SOFTWARE\Policies\Lumtag\Bridge\Port (REG_DWORD) or --port says
// otherwise. Without --console the bridge's lines go to its log file (log.h).
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/windows/object_handle.hpp>

#include "browser_policies.h"
#include "handover.h"
#include "listener.h"
#include "log.h"
#include "protocol.h"
#include "scoped.h"

namespace {

namespace net = boost::asio;

constexpr unsigned short kDefaultPort = 9180;
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Lumtag\\Bridge";
// One bridge per user session, whatever port it listens on.
constexpr wchar_t kInstanceMutex[] = L"Local\\Lumtag.LabelBridge";

struct Options {
    enum class Task { Serve, End, StartForUsers, BrowserPolicies, RemoveBrowserPolicies };
    Task task = Task::Serve;
    bool console = false;
    std::optional<unsigned short> port;
    std::wstring sites;  // --browser-policies
};

std::optional<unsigned short> ReadPort(std::string_view text) {
    char* end = nullptr;
    const std::string digits(text);
    const unsigned long value = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value == 0 || value > 65535) return std::nullopt;
    return static_cast<unsigned short>(value);
}

// An argument as the system gave it (in the ANSI code page).
std::wstring FromCommandLine(const char* text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

// Nothing when the command line is wrong.
std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--console") {
            options.console = true;
        } else if (arg == "--end") {
            options.task = Options::Task::End;
        } else if (arg == "--start-for-users") {
            options.task = Options::Task::StartForUsers;
        } else if (arg == "--browser-policies" && i + 1 < argc) {
            options.task = Options::Task::BrowserPolicies;
            options.sites = FromCommandLine(argv[++i]);
        } else if (arg == "--remove-browser-policies") {
            options.task = Options::Task::RemoveBrowserPolicies;
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

// The bridge's own failures reach the log before it goes.
LONG WINAPI LogCrash(EXCEPTION_POINTERS* exception) {
    char line[96];
    std::snprintf(line, sizeof(line), "LabelBridge failed: exception 0x%08lX at %p",
                  exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress);
    bridge::LogLine(line);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        bridge::OpenConsole();
        bridge::LogLine(
            "usage: LabelBridge.exe [--console] [--port N | --end | --start-for-users | --browser-policies LIST | "
            "--remove-browser-policies]");
        return 2;
    }
    if (options->console)
        bridge::OpenConsole();
    else
        bridge::OpenLogFile();
    if (options->task == Options::Task::End) return bridge::EndRunningBridges();
    if (options->task == Options::Task::StartForUsers) return bridge::StartForUsers();
    if (options->task == Options::Task::BrowserPolicies) return bridge::WriteBrowserPolicies(options->sites);
    if (options->task == Options::Task::RemoveBrowserPolicies) return bridge::RemoveBrowserPolicies();
    SetUnhandledExceptionFilter(LogCrash);

    const core::ScopedHandle instance(CreateMutexW(nullptr, FALSE, kInstanceMutex));
    if (instance.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS) {
        bridge::LogLine("LabelBridge is already running in this session");
        return 0;
    }

    bridge::KeepControlsLoaded();

    // Both live until the process ends: connections still refer to them.
    static net::io_context io(1);
    static bridge::Listener listener(io, options->port.value_or(PolicyPort()));
    if (!listener.Listen()) return 1;

    // Set by `LabelBridge.exe --end` before an installer replaces or removes
    // this file: the bridge then ends as Listener::End says.
    core::ScopedHandle endRequest = bridge::CreateEndRequest();
    std::optional<net::windows::object_handle> endWait;
    if (endRequest.IsValid()) {
        endWait.emplace(io, endRequest.Release());
        endWait->async_wait([](boost::system::error_code ec) {
            if (!ec) listener.End();
        });
    }

    for (;;) {
        try {
            io.run();
            break;
        } catch (...) {
            // Memory ran out in a handler: that connection is lost, the bridge goes on.
            bridge::LogLine("a connection was lost: out of memory");
        }
    }
    const bool released = listener.WaitForApartments();
    bridge::LogLine(released ? "ended" : "ended before every connection had released its objects");
    // What is left is memory and sockets, which the system takes back.
    ExitProcess(0);
}
