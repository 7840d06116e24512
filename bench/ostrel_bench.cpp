// make bench: each path of the Ostrel control against its limit, the same
// job done by the same system calls with nothing of ours around them:
// ExecPrint's long path against a raw loop on the same port, the growth of
// its time with the text, the memory a large print takes, the cost of a
// print job (a label each), the parallel port writer, and SendData against
// a plain send on a connected socket. Each row says what its limit does.
// Run under Wine with the harness's COM5 <-> COM6 pair.
//
// Each throughput figure comes from groups of interleaved pairs (raw, ours,
// raw, ours, ...), so that a machine busy for a moment disturbs both sides
// alike; the table shows the groups' median ratio with the lowest and highest.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ole2.h>
#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "../quennet/test_label.h"
#include "bench_sink.h"
#include "bench_table.h"
#include "errors.h"
#include "ostrel_control.h"
#include "parallel_port.h"
#include "scoped.h"
#include "scoped_socket.h"
#include "serial_port.h"
#include "serial_print.h"

using bench::Sink;
using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

constexpr wchar_t kSettings[] = L"115200,N,8,1";
constexpr DWORD kBaud = 115200;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

constexpr char kThroughputTarget[] = ">= 0.95";

double Median(std::vector<double> values) {
    return bench::SpreadOf(std::move(values)).median;
}

// raw / ours over interleaved pairs of runs (raw, ours, raw, ours, ...),
// taken in groups: each ratio is of a group's median times, so that a run
// a busy machine held up (other builds share these two cores) moves no ratio
// unless it held up most of a group.
struct Ratio {
    double median = 0, lowest = 0, highest = 0;
    double rawSeconds = 0, oursSeconds = 0;  // medians of all runs
    int groups = 0, pairsPerGroup = 0;
};

template <class Raw, class Ours>
Ratio Interleaved(int groups, int pairsPerGroup, Raw raw, Ours ours) {
    std::vector<double> ratios, raws, oursTimes;
    for (int group = 0; group < groups; ++group) {
        std::vector<double> groupRaws, groupOurs;
        for (int pair = 0; pair < pairsPerGroup; ++pair) {
            groupRaws.push_back(raw());
            groupOurs.push_back(ours());
        }
        ratios.push_back(Median(groupRaws) / Median(groupOurs));
        raws.insert(raws.end(), groupRaws.begin(), groupRaws.end());
        oursTimes.insert(oursTimes.end(), groupOurs.begin(), groupOurs.end());
    }
    const bench::Spread spread = bench::SpreadOf(ratios);
    return {spread.median, spread.lowest, spread.highest, Median(raws), Median(oursTimes), groups, pairsPerGroup};
}

void PrintRatio(const char* measure, const Ratio& ratio, const char* target, const char* ours, const char* raw,
                const char* limit) {
    bench::PrintRow(measure, {ratio.median, ratio.lowest, ratio.highest}, target);
    bench::PrintLimit(limit);
    std::printf("  (%s %.4f s, %s %.4f s, medians of %d runs; ratios of %d groups of %d pairs)\n", ours,
                ratio.oursSeconds, raw, ratio.rawSeconds, ratio.groups * ratio.pairsPerGroup, ratio.groups,
                ratio.pairsPerGroup);
}

// Text into bytes of the system ANSI code page, as the controls put text on
// the wire: the platform's two calls (the size, then the bytes) into a buffer
// kept from the last time. Returns the byte count.
size_t ToAnsi(std::wstring_view text, std::string& bytes) {
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes.size() < static_cast<size_t>(size)) bytes.resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return static_cast<size_t>(size);
}

// COM5 driven by the driver calls the serial port makes for a print, in its
// order and with nothing around them: open, the driver buffer hint, the line
// settings, a bound on each write's time (set again only when it changes),
// the writes, then the look at what is still queued, the flush and the close.
class RawSerialPort {
public:
    RawSerialPort()
        : handle_(CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        SetupComm(handle_.Get(), core::SerialPort::kBufferSize, core::SerialPort::kBufferSize);
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        GetCommState(handle_.Get(), &dcb);
        dcb.BaudRate = kBaud;  // kSettings
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fAbortOnError = FALSE;
        SetCommState(handle_.Get(), &dcb);
    }
    ~RawSerialPort() {
        // Asking again is the quickest wait for a queue to empty; on the
        // harness's pty the queue was empty at every close (3,000 of 3,000).
        COMSTAT status{};
        DWORD errors = 0;
        while (ClearCommError(handle_.Get(), &errors, &status) && status.cbOutQue != 0) {
        }
        FlushFileBuffers(handle_.Get());
    }
    void Write(const char* bytes, size_t count) {
        // The port's bound: three seconds plus twice the line time of the bytes.
        const DWORD bound = static_cast<DWORD>(3000 + count * 10 * 1000 * 2 / kBaud);
        if (bound != bound_) {
            COMMTIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = MAXDWORD;
            timeouts.WriteTotalTimeoutConstant = bound;
            SetCommTimeouts(handle_.Get(), &timeouts);
            bound_ = bound;
        }
        DWORD written = 0;
        WriteFile(handle_.Get(), bytes, static_cast<DWORD>(count), &written, nullptr);
    }

private:
    core::ScopedHandle handle_;
    DWORD bound_ = 0;
};

constexpr char kRawSerialLimit[] =
    "the port's driver calls alone: open, SetupComm, DCB, SetCommTimeouts, "
    "ANSI conversion and WriteFile a piece, ClearCommError, FlushFileBuffers, close";

// |text| printed raw, in the pieces ExecPrint cuts it into.
double RawPrint(Sink& sink, std::wstring_view text, size_t expected, std::string& bytes) {
    sink.Reset();
    const auto start = Clock::now();
    {
        RawSerialPort port;
        for (size_t at = 0; at < text.size(); at += ostrel::kPieceLength) {
            const size_t count = ToAnsi(text.substr(at, ostrel::kPieceLength), bytes);
            port.Write(bytes.data(), count);
        }
    }
    sink.WaitFor(expected);
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

// The cost of a print job: the test label (92 bytes) printed as jobs of
// their own, through ExecPrint and by the port's driver calls done raw, in
// runs of kJobsPerRun labels timed until the far end has every label. Runs
// this short alternate faster than the machine's busy spells come and go
// (they slowed every driver call fourfold for a second or more at a time).
constexpr int kJobsPerRun = 100;
constexpr int kJobGroups = 15, kJobPairsPerGroup = 10;  // 1,000 labels a side a group

void JobFigures(Sink& sink, _lumtag* control) {
    const std::wstring label = quennet::TestLabelText();
    const core::ScopedBstr text = core::ScopedBstr::Copy(label);
    const size_t expected = label.size() * kJobsPerRun;
    std::string bytes;
    const auto timed = [&](const auto& job) {
        sink.Reset();
        const auto start = Clock::now();
        for (int n = 0; n < kJobsPerRun; ++n) job();
        sink.WaitFor(expected);
        return Seconds(Clock::now() - start);
    };
    const Ratio ratio = Interleaved(
        kJobGroups, kJobPairsPerGroup,
        [&] {
            return timed([&] {
                RawSerialPort port;
                const size_t count = ToAnsi(label, bytes);
                port.Write(bytes.data(), count);
            });
        },
        [&] { return timed([&] { CallExecPrint(control, text.Get()); }); });
    char measure[64];
    std::snprintf(measure, sizeof(measure), "ExecPrint labels of %zu bytes: labels/s / raw", label.size());
    char ours[32], raw[32];
    std::snprintf(ours, sizeof(ours), "ExecPrint %d labels", kJobsPerRun);
    std::snprintf(raw, sizeof(raw), "raw %d labels", kJobsPerRun);
    PrintRatio(measure, ratio, kThroughputTarget, ours, raw, kRawSerialLimit);
}

PROCESS_MEMORY_COUNTERS_EX MemoryCounters() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters;
}

// A socket to |port| on loopback with the options the control's client sets
// (no delay, its send buffer), connected before any clock starts.
core::ScopedSocket ConnectPlain(int port) {
    core::ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const BOOL noDelay = TRUE;
    setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    const int sendBuffer = 4 << 20;  // the client's
    setsockopt(s.Get(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer), sizeof(sendBuffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) s.Reset();
    return s;
}

// The same text as SendData is given, turned into bytes the way the control
// must, then handed to the system by blocking sends in the client's 1 MiB
// calls (one 16 MiB send was no faster under Wine: 16.4 ms against 15.4).
constexpr size_t kSendCallBytes = 1u << 20;

double PlainSend(Sink& sink, SOCKET s, std::wstring_view text, std::string& bytes) {
    sink.Reset();
    const auto start = Clock::now();
    const size_t count = ToAnsi(text, bytes);
    for (size_t at = 0; at < count;) {
        const int sent = send(s, bytes.data() + at, static_cast<int>(std::min(count - at, kSendCallBytes)), 0);
        if (sent <= 0) break;
        at += static_cast<size_t>(sent);
    }
    sink.WaitFor(count);
    return Seconds(Clock::now() - start);
}

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

double SendData(Sink& sink, _lumtag* control, BSTR text, size_t expected) {
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
    Sink sink;
    const size_t size = 16u << 20;
    const std::wstring wide(size, L'N');
    core::ScopedBstr text = core::ScopedBstr::Copy(wide);
    std::vector<double> latencies, plainLatencies;
    Ratio ratio;
    {
        ComPtr<_lumtag> control;
        ostrel::OstrelControl::Create(IID_PPV_ARGS(&control));
        if (!Connect(control.Get(), sink.TcpPort())) {
            std::printf("no connection to the loopback sink\n");
            return;
        }
        const core::ScopedSocket plain = ConnectPlain(sink.TcpPort());
        if (!plain.IsValid()) {
            std::printf("no plain connection to the loopback sink\n");
            return;
        }
        std::string bytes;
        ratio = Interleaved(
            11, 7, [&] { return PlainSend(sink, plain.Get(), wide, bytes); },
            [&] { return SendData(sink, control.Get(), text.Get(), size); });
        // A 92-byte job (the size of the test label), from the call to its first byte at the printer.
        const std::wstring job = std::wstring(90, L'L') + L"\r\n";
        const core::ScopedBstr jobText = core::ScopedBstr::Copy(job);
        for (int run = 0; run < 101; ++run) {
            sink.Reset();
            auto start = Clock::now();
            VARIANT data, result;
            V_VT(&data) = VT_BSTR;
            V_BSTR(&data) = jobText.Get();
            control->SendData(&data, &result);
            sink.WaitFor(job.size());
            latencies.push_back(std::chrono::duration<double, std::milli>(sink.FirstByte() - start).count());
            sink.Reset();
            start = Clock::now();
            PlainSend(sink, plain.Get(), job, bytes);
            plainLatencies.push_back(std::chrono::duration<double, std::milli>(sink.FirstByte() - start).count());
        }
    }
    PrintRatio("SendData 16 MiB throughput / plain send", ratio, ">= 0.9", "SendData", "plain send",
               "ANSI conversion of the same text, then blocking send()s of 1 MiB on a socket "
               "connected beforehand (no delay, the client's 4 MiB send buffer)");
    std::printf("%-52s %22.3f %10s\n", "first byte of a 92-byte job, median ms", Median(latencies), "< 1");
    char limit[96];
    std::snprintf(limit, sizeof(limit), "the same plain send of the job (its first byte after %.3f ms, median)",
                  Median(plainLatencies));
    bench::PrintLimit(limit);
    WSACleanup();
}

// The parallel port writer (overlapped pieces with a stall limit) against
// the same calls made raw on the same port: any device name opens the same way.
constexpr DWORD kWriterPieceBytes = 64 * 1024;  // the writer's piece

double RawOverlappedWrite(Sink& sink, const std::string& bytes) {
    sink.Reset();
    const auto start = Clock::now();
    {
        const core::ScopedHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const core::ScopedHandle port(
            CreateFileW(L"\\\\.\\COM5", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        for (size_t at = 0; at < bytes.size();) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = written.Get();
            ResetEvent(written.Get());
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, kWriterPieceBytes));
            if (!WriteFile(port.Get(), bytes.data() + at, piece, nullptr, &overlapped) &&
                GetLastError() == ERROR_IO_PENDING)
                WaitForSingleObject(written.Get(), core::ParallelPort::kStallLimitMs);
            DWORD count = 0;
            if (!GetOverlappedResult(port.Get(), &overlapped, &count, TRUE) || count == 0) break;
            at += count;
        }
    }
    sink.WaitFor(bytes.size());
    return Seconds(Clock::now() - start);
}

void ParallelFigures(Sink& sink) {
    std::string bytes(16u << 20, 'A');
    for (size_t at = 0; at < bytes.size(); at += 61) bytes[at] = '^';
    bool failed = false;
    const Ratio ratio = Interleaved(
        9, 5, [&] { return RawOverlappedWrite(sink, bytes); },
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
    if (!failed)
        PrintRatio("LPT writer 16 MiB throughput / raw overlapped writes", ratio, kThroughputTarget, "writer",
                   "raw writes",
                   "the writer's calls alone: open overlapped, then per 64 KiB WriteFile, "
                   "the wait within the stall limit, GetOverlappedResult; close");
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // each figure as soon as it is measured
    OleInitialize(nullptr);
    Sink sink(L"\\\\.\\COM6");
    if (!sink.IsOpen()) {
        std::printf("COM6 is not mapped: run through the harness (make bench)\n");
        return 2;
    }
    ComPtr<_lumtag> control;
    if (FAILED(ostrel::OstrelControl::Create(IID_PPV_ARGS(&control)))) return 2;

    bench::PrintHeader();
    const size_t sizes[] = {1u << 20, 16u << 20};
    const int groups[] = {11, 7}, pairsPerGroup[] = {9, 3};
    Ratio prints[2];
    SIZE_T memoryBefore = 0, memoryPeak = 0;
    std::string bytes;
    for (int i = 0; i < 2; ++i) {
        const size_t size = sizes[i];
        // A label stream without spaces at piece ends, so every character arrives.
        std::wstring wide(size, L'A');
        for (size_t at = 0; at < size; at += 61) wide[at] = L'^';
        // Private memory from here on: the text itself and whatever the print adds.
        memoryBefore = MemoryCounters().PagefileUsage;
        const core::ScopedBstr text = core::ScopedBstr::Copy(wide);
        prints[i] = Interleaved(
            groups[i], pairsPerGroup[i], [&] { return RawPrint(sink, wide, size, bytes); },
            [&] { return ExecPrint(sink, control.Get(), text.Get(), size); });
        memoryPeak = MemoryCounters().PeakPagefileUsage;
    }

    PrintRatio("ExecPrint 1 MiB throughput / raw loop", prints[0], kThroughputTarget, "ExecPrint", "raw loop",
               kRawSerialLimit);
    PrintRatio("ExecPrint 16 MiB throughput / raw loop", prints[1], kThroughputTarget, "ExecPrint", "raw loop",
               kRawSerialLimit);
    std::printf("%-52s %22.2f %10s\n", "long path time 16 MiB / 1 MiB", prints[1].oursSeconds / prints[0].oursSeconds,
                "12 to 20");
    char limit[96];
    std::snprintf(limit, sizeof(limit), "16 is time in step with the text; the raw loop's own growth here: %.2f",
                  prints[1].rawSeconds / prints[0].rawSeconds);
    bench::PrintLimit(limit);
    const double textBytes = 2.0 * sizes[1];
    std::printf("%-52s %22.2f %10s\n", "peak private memory of a 16 MiB print / text size",
                static_cast<double>(memoryPeak > memoryBefore ? memoryPeak - memoryBefore : 0) / textBytes, "<= 3");
    bench::PrintLimit("1.00 is the caller's text alone; what the print adds comes on top");
    JobFigures(sink, control.Get());
    control.Reset();
    ParallelFigures(sink);
    NetworkFigures();
    OleUninitialize();
    return 0;
}
