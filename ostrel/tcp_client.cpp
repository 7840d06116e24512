#include "tcp_client.h"

#include <algorithm>
#include <atomic>

namespace ostrel {

namespace {

using core::Throw;

// The system reports room for a send only once much of its buffer is free,
// while a slow printer frees a little at a time: a send looks again this often.
constexpr DWORD kSendRetryMs = 50;
// Time the teardown gives the peer to take what was sent.
constexpr DWORD kCloseTimeoutMs = 2000;
// Room in the system for a whole label job, so SendData need not wait.
constexpr int kSendBufferBytes = 4 << 20;

bool Readable(SOCKET s, DWORD waitMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{static_cast<long>(waitMs / 1000), static_cast<long>((waitMs % 1000) * 1000)};
    return select(0, &set, nullptr, nullptr, &timeout) > 0;
}

}  // namespace

// A name lookup that runs beside the host's thread; the client polls it.
// |done| publishes the other fields.
struct Resolution {
    std::atomic<bool> done{false};
    int error = 0;
    sockaddr_in address{};
};

namespace {

// What the lookup thread owns. It holds its own reference to this library
// and to Winsock, taken before it starts: the host may release the control
// (and its Winsock reference) and unload the library while the lookup runs.
struct Lookup {
    std::wstring host;
    std::shared_ptr<Resolution> resolution;
    HMODULE library = nullptr;

    void Run() noexcept {
        ADDRINFOW hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        ADDRINFOW* found = nullptr;
        const int error = GetAddrInfoW(host.c_str(), nullptr, &hints, &found);
        resolution->error = error != 0 ? error : (found == nullptr ? WSAHOST_NOT_FOUND : 0);
        if (resolution->error == 0) resolution->address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        if (found != nullptr) FreeAddrInfoW(found);
        resolution->done.store(true, std::memory_order_release);
    }
};

// A plain system thread (std::thread's start routine is code of this library
// too): everything it owns is gone before it lets go of the library and
// leaves in one call that does not return here.
DWORD WINAPI RunLookup(void* parameter) noexcept {
    HMODULE library;
    {
        const std::unique_ptr<Lookup> lookup(static_cast<Lookup*>(parameter));
        library = lookup->library;
        lookup->Run();
    }
    WSACleanup();
    FreeLibraryAndExitThread(library, 0);
}

void StartLookup(std::wstring host, std::shared_ptr<Resolution> resolution) {
    auto lookup = std::make_unique<Lookup>(Lookup{std::move(host), std::move(resolution)});
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Throw(core::kDeviceIoError, L"The network is not available");
    DWORD error = 0;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunLookup),
                           &lookup->library)) {
        core::ScopedHandle thread(CreateThread(nullptr, 0, RunLookup, lookup.get(), 0, nullptr));
        if (thread.IsValid()) {
            lookup.release();  // the thread's now
            return;
        }
        error = GetLastError();
        FreeLibrary(lookup->library);
    } else {
        error = GetLastError();
    }
    WSACleanup();
    Throw(core::kDeviceIoError, L"The lookup of " + lookup->host + L" could not start: " + core::SystemMessage(error));
}

}  // namespace

TcpClient::TcpClient(DWORD sendIdleLimitMs) : sendIdleLimitMs_(sendIdleLimitMs) {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

TcpClient::~TcpClient() {
    if (socket_.IsValid() && state_ == kConnected) {
        // A graceful close: no more sends, then let the peer take what is
        // on its way (it answers with its own close), within a bound.
        shutdown(socket_.Get(), SD_SEND);
        const DWORD started = GetTickCount();
        char discard[4096];
        while (GetTickCount() - started < kCloseTimeoutMs) {
            if (!Readable(socket_.Get(), 50)) continue;
            if (recv(socket_.Get(), discard, sizeof(discard), 0) <= 0) break;
        }
    }
    socket_.Reset();  // before Winsock goes
    if (started_) WSACleanup();
}

std::wstring TcpClient::Peer() const {
    return host_ + L":" + std::to_wstring(port_);
}

void TcpClient::SetRemotePort(int32_t port) {
    if (port < 0 || port > 65535)
        Throw(core::kInvalidPropertyValue,
              L"Invalid property value: RemotePort must be 0 to 65535, not " + std::to_wstring(port));
    port_ = port;
}

void TcpClient::Fail() {
    socket_.Reset();
    state_ = kError;
}

void TcpClient::Connect() {
    Poll();
    if (state_ != kClosed && state_ != kPeerClosing && state_ != kError)
        Throw(kSocketWrongState, L"Connect is refused while the connection to " + Peer() +
                                     L" is being made or stands (state " + std::to_wstring(state_) + L")");
    if (!started_) Throw(core::kDeviceIoError, L"The network is not available");
    socket_.Reset();
    resolution_.reset();
    state_ = kClosed;
    if (host_.empty()) Throw(core::kInvalidPropertyValue, L"Invalid property value: RemoteHost is empty");
    if (port_ == 0)
        Throw(core::kInvalidPropertyValue, L"Invalid property value: RemotePort 0 is no port to connect to");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port_));
    if (InetPtonW(AF_INET, host_.c_str(), &address.sin_addr) == 1) {
        StartConnect(address);
        return;
    }
    // A name: look it up beside the host's thread, so a slow name server
    // never holds the host.
    auto resolution = std::make_shared<Resolution>();
    resolution_ = resolution;
    state_ = kResolvingHost;
    try {
        StartLookup(host_, std::move(resolution));
    } catch (...) {
        resolution_.reset();
        state_ = kClosed;
        throw;
    }
}

void TcpClient::StartConnect(const sockaddr_in& address) {
    socket_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_.IsValid()) {
        state_ = kError;
        Throw(core::kDeviceIoError, L"No socket for " + Peer() + L": " + core::SystemMessage(WSAGetLastError()));
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket_.Get(), FIONBIO, &nonBlocking);
    // Label jobs are small and wanted at once.
    const BOOL noDelay = TRUE;
    setsockopt(socket_.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    setsockopt(socket_.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSendBufferBytes),
               sizeof(kSendBufferBytes));
    state_ = kConnecting;
    if (connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        state_ = kConnected;
        return;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) Fail();
}

void TcpClient::Poll() {
    if (state_ == kResolvingHost && resolution_) {
        if (!resolution_->done.load(std::memory_order_acquire)) return;
        if (resolution_->error != 0) {
            resolution_.reset();
            state_ = kError;
            return;
        }
        state_ = kHostResolved;
    }
    if (state_ == kHostResolved) {
        sockaddr_in address = resolution_->address;
        address.sin_port = htons(static_cast<u_short>(port_));
        resolution_.reset();
        StartConnect(address);
    }
    if (state_ == kConnecting) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket_.Get(), &writable);
        FD_SET(socket_.Get(), &failed);
        timeval now{0, 0};
        if (select(0, nullptr, &writable, &failed, &now) <= 0) return;
        int error = 0;
        int length = sizeof(error);
        getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        if (FD_ISSET(socket_.Get(), &failed) || error != 0) {
            Fail();
            return;
        }
        state_ = kConnected;
    }
    if (state_ == kConnected) {
        // Nothing the printer says is read by anyone: take it off the line,
        // and see the peer's close behind it.
        char discard[4096];
        while (Readable(socket_.Get(), 0)) {
            const int received = recv(socket_.Get(), discard, sizeof(discard), 0);
            if (received > 0) continue;
            if (received == 0) {
                state_ = kPeerClosing;
            } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
                Fail();
            }
            return;
        }
    }
}

SocketState TcpClient::State() {
    Poll();
    return state_;
}

void TcpClient::Send(const char* bytes, size_t count) {
    Poll();
    if (state_ != kConnected)
        Throw(kSocketWrongState,
              L"SendData needs a connection to " + Peer() + L"; the state is " + std::to_wstring(state_));
    size_t sent = 0;
    ULONGLONG lastProgress = GetTickCount64();
    while (sent < count) {
        const int chunk = static_cast<int>(std::min<size_t>(count - sent, 1u << 20));
        const int result = send(socket_.Get(), bytes + sent, chunk, 0);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            lastProgress = GetTickCount64();
            continue;
        }
        const int error = WSAGetLastError();
        if (result == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            const ULONGLONG idle = GetTickCount64() - lastProgress;
            if (idle < sendIdleLimitMs_) {
                const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(sendIdleLimitMs_ - idle, kSendRetryMs));
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(socket_.Get(), &writable);
                timeval timeout{0, static_cast<long>(wait * 1000)};
                select(0, nullptr, &writable, nullptr, &timeout);
                continue;
            }
            // The printer holds the start of a label: the next job needs a new connection.
            Fail();
            core::ThrowStalled(L"Sending to " + Peer(), sendIdleLimitMs_, sent, count);
        }
        Fail();
        Throw(core::kDeviceIoError, L"Sending to " + Peer() + L" failed after " + core::BytesWentOut(sent, count) +
                                        L": " + core::SystemMessage(error));
    }
}

}  // namespace ostrel
