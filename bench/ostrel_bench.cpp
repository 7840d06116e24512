// make bench: ExecPrint against a raw WriteFile loop on the same port, the
// growth of the long path's time with the text, the memory a large print
// takes, the cost of a print job (open, settings, write, close) against the
// same steps done raw, the parallel port writer against the raw loop, and
// the network path against the fastest plain send on a connected socket.
// Run under Wine with the harness's COM5 <-> COM6 pair.
//
// Each throughput figure comes from seven interleaved pairs (raw, ours, raw,
// ours, ...), so that a machine busy for a moment disturbs both sides alike;
// the table shows the median ratio with the lowest and highest.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ole2.h>
#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../quennet/test_label.h"
#include "bench_table.h"
#include "convert.h"
#include "dispatch_call.h"
#include "errors.h"
#include "ostrel_control.h"
#include "parallel_port.h"
#include "scoped.h"
#include "scoped_socket.h"
#include "tcp_client.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr wchar_t kSettings[] = L"115200,N,8,1";
constexpr size_t kChunk = 8090;

// Counts the bytes arriving at COM6 until told to stop.
class Sink {
public:
    Sink() {
        port_.Reset(CreateFileW(L"\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 50;
        SetCommTimeouts(port_.Get(), &timeouts);
        reader_ = std::thread([this] {
            static char buffer[1 << 16];
            while (!stop_) {
                DWORD read = 0;
                if (ReadFile(port_.Get(), buffer, sizeof(buffer), &read, nullptr)) received_ += read;
            }
        });
    }
    ~Sink() {
        stop_ = true;
        reader_.join();
    }
    bool IsOpen() const { return port_.IsValid(); }
    // Waits until |total| bytes arrived since the last Reset.
    bool WaitFor(size_t total) {
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while (received_ < total && Clock::now() < deadline) std::this_thread::yield();
        return received_ >= total;
    }
    void Reset() { received_ = 0; }

private:
    core::ScopedHandle port_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> received_{0};
    std::thread reader_;
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

constexpr int kPairs = 7;
constexpr char kThroughputTarget[] = ">= 0.95";
constexpr char kJobTarget[] = ">= 0.9";

double Median(std::vector<double> values) {
    return bench::SpreadOf(std::move(values)).median;
}

// raw / ours over interleaved pairs of runs.
struct Ratio {
    double median = 0, lowest = 0, highest = 0;
    double rawSeconds = 0, oursSeconds = 0;  // medians
};

template <class Raw, class Ours>
Ratio Interleaved(Raw raw, Ours ours) {
    std::vector<double> ratios, raws, oursTimes;
    for (int pair = 0; pair < kPairs; ++pair) {
        raws.push_back(raw());
        oursTimes.push_back(ours());
        ratios.push_back(raws.back() / oursTimes.back());
    }
    const bench::Spread spread = bench::SpreadOf(ratios);
    return {spread.median, spread.lowest, spread.highest, Median(raws), Median(oursTimes)};
}

void PrintRatio(const char* measure, const Ratio& ratio, const char* ours, const char* raw,
                const char* target = kThroughputTarget) {
    bench::PrintRow(measure, {ratio.median, ratio.lowest, ratio.highest}, target);
    std::printf("  (%s %.3f s, %s %.3f s, medians of %d pairs)\n", ours, ratio.oursSeconds, raw, ratio.rawSeconds,
                kPairs);
}

// COM5 opened with kSettings, as a program without the control would.
core::ScopedHandle OpenRawPort() {
    core::ScopedHandle port(
        CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port.Get(), &dcb);
    BuildCommDCBW(kSettings, &dcb);
    SetCommState(port.Get(), &dcb);
    return port;
}

double RawWriteLoop(Sink& sink, const std::string& bytes) {
    sink.Reset();
    const auto start = Clock::now();
    core::ScopedHandle port = OpenRawPort();
    for (size_t at = 0; at < bytes.size(); at += kChunk) {
        DWORD written = 0;
        WriteFile(port.Get(), bytes.data() + at, static_cast<DWORD>(std::min(kChunk, bytes.size() - at)), &written,
                  nullptr);
    }
    port.Reset();
    sink.WaitFor(bytes.size());
    return Seconds(Clock::now() - start);
}

HRESULT CallExecPrint(_lumtag* control, BSTR text) {
    VARIANT stream, wait, settings, port, result;
    V_VT(&stream) = VT_BSTR;
    V_BSTR(&stream) = text;
    V_VT(&wait) = VT_I4;
    V_I4(&wait) = 0;
    V_VT(&settings) = VT_BSTR;
    core::ScopedBstr settingsText = core::ScopedBstr::Copy(kSettings);
    V_BSTR(&settings) = settingsText.Get();
    V_VT(&port) = VT_I2;
    V_I2(&port) = 5;
    const HRESULT hr = control->ExecPrint(&stream, &wait, &settings, &port, &result);
    if (FAILED(hr)) std::printf("ExecPrint failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return hr;
}

double ExecPrint(Sink& sink, _lumtag* control, BSTR text, size_t expected) {
    sink.Reset();
    const auto start = Clock::now();
    CallExecPrint(control, text);
    sink.WaitFor(expected);
    return Seconds(Clock::now() - start);
}

// The cost of a print job: the test label (92 bytes) printed kJobs times,
// each a job of its own, through ExecPrint and by the same steps done raw
// (open, settings, write, close), until the far end has every label.
constexpr int kJobs = 1000;

void JobFigures(Sink& sink, _lumtag* control) {
    const std::wstring label = quennet::TestLabelText();
    const std::string bytes(label.begin(), label.end());
    const core::ScopedBstr text = core::ScopedBstr::Copy(label);
    const size_t expected = bytes.size() * kJobs;
    const auto timed = [&](const auto& job) {
        sink.Reset();
        const auto start = Clock::now();
        for (int n = 0; n < kJobs; ++n) job();
        sink.WaitFor(expected);
        return Seconds(Clock::now() - start);
    };
    const Ratio ratio = Interleaved(
        [&] {
            return timed([&] {
                const core::ScopedHandle port = OpenRawPort();
                DWORD written = 0;
                WriteFile(port.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            });
        },
        [&] { return timed([&] { CallExecPrint(control, text.Get()); }); });
    char measure[64];
    std::snprintf(measure, sizeof(measure), "ExecPrint %d labels of %zu bytes: labels/s / raw", kJobs, bytes.size());
    PrintRatio(measure, ratio, "ExecPrint", "raw jobs", kJobTarget);
}

PROCESS_MEMORY_COUNTERS_EX MemoryCounters() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters;
}

// A network printer on loopback: serves every connection at once (the
// control keeps its own open while the raw loop makes others) and counts
// what arrives, noting when the first byte of each job came.
class NetworkSink {
public:
    NetworkSink() {
        const SOCKET listener = listener_.Get();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener, 4);
        acceptor_ = std::thread([this, listener] {
            for (;;) {
                SOCKET peer = accept(listener, nullptr, nullptr);
                if (peer == INVALID_SOCKET) return;
                peers_.emplace_back([this, peer] { Serve(core::ScopedSocket(peer)); });
            }
        });
    }
    ~NetworkSink() {
        listener_.Reset();
        acceptor_.join();
        for (std::thread& peer : peers_) peer.join();  // each ends when its client closes
    }
    int Port() const { return port_; }
    void Reset() { received_ = 0; }
    bool WaitFor(size_t total) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (received_ < total && Clock::now() < deadline) std::this_thread::yield();
        return received_ >= total;
    }
    Clock::time_point FirstByte() const { return firstByte_; }

private:
    void Serve(const core::ScopedSocket peer) {
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const int got = recv(peer.Get(), buffer.data(), static_cast<int>(buffer.size()), 0);
            if (got <= 0) break;
            if (received_ == 0) firstByte_ = Clock::now();
            received_ += static_cast<size_t>(got);
        }
    }

    core::ScopedSocket listener_{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    int port_ = 0;
    std::atomic<size_t> received_{0};
    Clock::time_point firstByte_{};
    std::thread acceptor_;
    std::vector<std::thread> peers_;  // touched by the acceptor only until it is joined
};

// The fastest plain send of the same bytes: a socket connected before the
// clock starts, with the options the control sets (no delay, a send buffer of
// |sendBuffer|, at least the control's), the bytes ready in the code page
// they go out in, sent in calls of |chunk| bytes.
class RawSender {
public:
    RawSender(int port, int sendBuffer, size_t chunk) : chunk_(chunk) {
        socket_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        const BOOL noDelay = TRUE;
        setsockopt(socket_.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
        setsockopt(socket_.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                   sizeof(sendBuffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        connected_ = connect(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    bool IsConnected() const { return connected_; }

    double Send(NetworkSink& sink, const std::string& bytes) {
        sink.Reset();
        const auto start = Clock::now();
        for (size_t at = 0; at < bytes.size();) {
            const int sent =
                send(socket_.Get(), bytes.data() + at, static_cast<int>(std::min(chunk_, bytes.size() - at)), 0);
            if (sent <= 0) break;
            at += static_cast<size_t>(sent);
        }
        sink.WaitFor(bytes.size());
        return Seconds(Clock::now() - start);
    }

private:
    const size_t chunk_;
    core::ScopedSocket socket_;
    bool connected_ = false;
};

bool Connect(_lumtag* control, int port) {
    VARIANT host, portValue, result;
    core::ScopedBstr hostText = core::ScopedBstr::Copy(L"127.0.0.1");
    V_VT(&host) = VT_BSTR;
    V_BSTR(&host) = hostText.Get();
    V_VT(&portValue) = VT_I4;
    V_I4(&portValue) = port;
    if (FAILED(control->SocConnect(&host, &portValue, &result))) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        core::ScopedBstr state;
        control->SocSts(state.Receive());
        if (state.View() == L"7") return true;
    }
    return false;
}

double SendData(NetworkSink& sink, _lumtag* control, BSTR text, size_t expected) {
    sink.Reset();
    VARIANT data, result;
    V_VT(&data) = VT_BSTR;
    V_BSTR(&data) = text;
    const auto start = Clock::now();
    if (FAILED(control->SendData(&data, &result))) std::printf("SendData failed\n");
    sink.WaitFor(expected);
    return Seconds(Clock::now() - start);
}

void NetworkFigures() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    NetworkSink sink;
    const size_t size = 16u << 20;
    std::string bytes(size, 'N');
    const std::wstring wide(bytes.begin(), bytes.end());
    core::ScopedBstr text = core::ScopedBstr::Copy(wide);
    std::vector<double> latencies;
    Ratio ratio;
    {
        ComPtr<_lumtag> control;
        ostrel::OstrelControl::Create(IID_PPV_ARGS(&control));
        if (!Connect(control.Get(), sink.Port())) {
            std::printf("no connection to the loopback sink\n");
            return;
        }
        // The control's send buffer, the whole job in one call.
        RawSender raw(sink.Port(), 4 << 20, size);
        if (!raw.IsConnected()) {
            std::printf("no plain connection to the loopback sink\n");
            return;
        }
        ratio = Interleaved([&] { return raw.Send(sink, bytes); },
                            [&] { return SendData(sink, control.Get(), text.Get(), size); });
        // A 92-byte job: the size of the test label.
        core::ScopedBstr job = core::ScopedBstr::Copy(std::wstring(90, L'L') + L"\r\n");
        for (int run = 0; run < 101; ++run) {
            sink.Reset();
            const auto start = Clock::now();
            VARIANT data, result;
            V_VT(&data) = VT_BSTR;
            V_BSTR(&data) = job.Get();
            control->SendData(&data, &result);
            sink.WaitFor(92);
            latencies.push_back(std::chrono::duration<double, std::milli>(sink.FirstByte() - start).count());
        }
    }
    PrintRatio("SendData 16 MiB throughput / plain send", ratio, "SendData", "plain send");
    // The plain send starts from bytes; SendData is given text, which it turns into bytes first.
    std::vector<double> conversions;
    std::string converted;
    for (int run = 0; run < kPairs; ++run) {
        const auto start = Clock::now();
        core::ToWireBytes(core::BorrowedText(text.Get()), L"BARDATA", converted);
        conversions.push_back(Seconds(Clock::now() - start));
    }
    std::printf("  (of which SendData's conversion of the text to bytes %.3f s, median)\n", Median(conversions));
    std::printf("%-52s %22.3f %10s\n", "first byte of a 92-byte job, median ms", Median(latencies), "< 1");
    WSACleanup();
}

// The parallel port writer (overlapped pieces with a stall limit) against
// the raw loop on the same port: any device name opens the same way.
void ParallelFigures(Sink& sink) {
    std::string bytes(16u << 20, 'A');
    for (size_t at = 0; at < bytes.size(); at += 61) bytes[at] = '^';
    bool failed = false;
    const Ratio ratio =
        Interleaved([&] { return RawWriteLoop(sink, bytes); },
                    [&] {
                        sink.Reset();
                        const auto start = Clock::now();
                        try {
                            core::ParallelPort port(L"\\\\.\\COM5");
                            port.Write(bytes.data(), bytes.size());
                        } catch (const core::ComError& error) {
                            if (!failed) std::printf("parallel writer failed: %ls\n", error.Description().c_str());
                            failed = true;
                        }
                        sink.WaitFor(bytes.size());
                        return Seconds(Clock::now() - start);
                    });
    if (!failed) PrintRatio("LPT writer 16 MiB throughput / raw WriteFile loop", ratio, "writer", "raw loop");
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each figure as soon as it is measured
    OleInitialize(nullptr);
    Sink sink;
    if (!sink.IsOpen()) {
        std::printf("COM6 is not mapped: run through the harness (make bench)\n");
        return 2;
    }
    ComPtr<_lumtag> control;
    if (FAILED(ostrel::OstrelControl::Create(IID_PPV_ARGS(&control)))) return 2;

    bench::PrintHeader();
    const size_t sizes[] = {1u << 20, 16u << 20};
    Ratio prints[2];
    SIZE_T memoryBefore = 0, memoryPeak = 0;
    for (int i = 0; i < 2; ++i) {
        const size_t size = sizes[i];
        // A label stream without spaces at piece ends, so every character arrives.
        std::string bytes(size, 'A');
        for (size_t at = 0; at < size; at += 61) bytes[at] = '^';
        const std::wstring wide(bytes.begin(), bytes.end());
        // Private memory from here on: the text itself and whatever the print adds.
        memoryBefore = MemoryCounters().PagefileUsage;
        const core::ScopedBstr text = core::ScopedBstr::Copy(wide);
        prints[i] = Interleaved([&] { return RawWriteLoop(sink, bytes); },
                                [&] { return ExecPrint(sink, control.Get(), text.Get(), size); });
        memoryPeak = MemoryCounters().PeakPagefileUsage;
    }

    PrintRatio("ExecPrint 1 MiB throughput / raw WriteFile loop", prints[0], "ExecPrint", "raw loop");
    PrintRatio("ExecPrint 16 MiB throughput / raw WriteFile loop", prints[1], "ExecPrint", "raw loop");
    std::printf("%-52s %22.2f %10s\n", "long path time 16 MiB / 1 MiB", prints[1].oursSeconds / prints[0].oursSeconds,
                "12 to 20");
    const double textBytes = 2.0 * sizes[1];
    std::printf("%-52s %22.2f %10s\n", "peak private memory of a 16 MiB print / text size",
                static_cast<double>(memoryPeak > memoryBefore ? memoryPeak - memoryBefore : 0) / textBytes, "<= 3");
    JobFigures(sink, control.Get());
    control.Reset();
    ParallelFigures(sink);
    NetworkFigures();
    OleUninitialize();
    return 0;
}
