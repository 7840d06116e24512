// The benchmarks' printer: counts what arrives, at a serial port (the far
// end of the one printed to) or, given none, at a TCP listener on loopback
// that serves every connection at once (a control keeps its own open while
// a raw loop makes others).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "scoped.h"
#include "scoped_socket.h"

namespace bench {

// Binds |s| to a port the system picks on loopback and returns that port.
inline unsigned short BindLoopback(SOCKET s) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

class Sink {
public:
    using Clock = std::chrono::steady_clock;

    explicit Sink(const wchar_t* port) {
        handle_.Reset(CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        // A read returns with the first bytes, or after 1 ms without any. Wine
        // waits out the whole constant even when bytes came (with 50 ms, 92
        // bytes were counted after 47 ms; with 1 ms, after 0.04 ms), so it is
        // kept at its least; an idle sink then reads about 850 times a second.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1, 0, 0};
        SetCommTimeouts(handle_.Get(), &timeouts);
        reader_ = std::thread([this] {
            std::vector<char> buffer(1 << 16);
            while (!stop_) {
                DWORD read = 0;
                if (ReadFile(handle_.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
                    Add(read);
            }
        });
    }
    Sink() {
        listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        tcpPort_ = BindLoopback(listener_.Get());
        listen(listener_.Get(), 4);
        reader_ = std::thread([this] {
            for (;;) {
                const SOCKET peer = accept(listener_.Get(), nullptr, nullptr);
                if (peer == INVALID_SOCKET) return;
                peers_.emplace_back([this, owned = core::ScopedSocket(peer)] {
                    // Large reads, so that the printer is never what is measured: with
                    // 64 KiB reads 16 MiB took 25 ms or 100 ms by turns under Wine,
                    // with these a steady 15 ms.
                    std::vector<char> buffer(1 << 20);
                    int got;
                    while ((got = recv(owned.Get(), buffer.data(), static_cast<int>(buffer.size()), 0)) > 0) Add(got);
                });
            }
        });
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() {
        stop_ = true;
        listener_.Reset();
        reader_.join();
        for (std::thread& peer : peers_) peer.join();  // each ends when its client closes
    }
    bool IsOpen() const { return handle_.IsValid(); }
    int TcpPort() const { return tcpPort_; }
    void Reset() {
        const std::lock_guard lock(lock_);
        received_ = 0;
    }
    // Blocks rather than spins: the programs measured and this one share two cores.
    bool WaitFor(size_t total) {
        std::unique_lock lock(lock_);
        return arrived_.wait_for(lock, std::chrono::seconds(60), [&] { return received_ >= total; });
    }
    // When the first byte since the last Reset arrived.
    Clock::time_point FirstByte() {
        const std::lock_guard lock(lock_);
        return firstByte_;
    }

private:
    void Add(size_t count) {
        {
            const std::lock_guard lock(lock_);
            if (received_ == 0) firstByte_ = Clock::now();
            received_ += count;
        }
        arrived_.notify_all();
    }

    core::ScopedHandle handle_;
    core::ScopedSocket listener_;
    int tcpPort_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::condition_variable arrived_;
    size_t received_ = 0;
    Clock::time_point firstByte_{};
    std::thread reader_;
    std::vector<std::thread> peers_;  // touched by the acceptor only until it is joined
};

}  // namespace bench
