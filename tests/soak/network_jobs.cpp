// Ostrel sends jobs to a printer on loopback that resets the connection now
// and then (SO_LINGER 0, then closesocket), always right after it has read a
// whole job and nothing of the next. What the printer received is compared
// job by job with what SendData reported, and every call made after a reset
// must show it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "dispatch_call.h"
#include "job_ledger.h"
#include "phases.h"
#include "scoped_socket.h"

using Microsoft::WRL::ComPtr;

namespace soak {

namespace {

constexpr int kJobsFull = 1000;
constexpr double kResetShare = 0.05;
constexpr size_t kJobMin = 60, kJobMax = 2000;
constexpr ULONGLONG kConnectLimitMs = 5000;
constexpr char kJobEnd[] = "^XZ\r\n";

// The job number in a whole job's text.
int JobNumber(const std::string& job) {
    return std::atoi(job.c_str() + 10);  // after "^XA^FDjob "
}

// One connection at a time, as the control makes them; keeps every whole
// job it read, in order.
class ResettingPrinter {
public:
    ResettingPrinter(std::mt19937_64 random) : random_(random) {
        const SOCKET listener = listener_.Get();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 && listen(listener, 4) == 0)
            port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, listener] { Run(listener); });
    }
    // Stops taking connections; returns what was received once the last one ended.
    std::string Finish() {
        listener_.Reset();
        thread_.join();
        return received_;
    }
    u_short Port() const { return port_; }
    // The number of the job after which the printer last reset a connection (-1: none yet).
    int LastResetAfter() const { return lastResetAfter_.load(); }
    int Resets() const { return resets_; }

private:
    void Run(SOCKET listener) {
        for (;;) {
            core::ScopedSocket peer(accept(listener, nullptr, nullptr));
            if (!peer.IsValid()) return;
            Serve(std::move(peer));
        }
    }

    void Serve(core::ScopedSocket peer) {
        std::string pending;
        char buffer[65536];
        for (;;) {
            const int got = recv(peer.Get(), buffer, sizeof(buffer), 0);
            if (got <= 0) break;
            pending.append(buffer, static_cast<size_t>(got));
            size_t end = 0;
            for (size_t found; (found = pending.find(kJobEnd, end)) != std::string::npos;)
                end = found + sizeof(kJobEnd) - 1;
            received_.append(pending, 0, end);
            const std::string last = pending.substr(0, end);
            pending.erase(0, end);
            // Only at a job's end with nothing of the next one read.
            if (end == 0 || !pending.empty() || !std::bernoulli_distribution(kResetShare)(random_)) continue;
            const linger abort{1, 0};
            setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
            peer.Reset();  // the reset, before the counts say it happened
            ++resets_;
            lastResetAfter_ = JobNumber(last.substr(last.rfind("^XA")));
            return;
        }
        received_ += pending;  // a cut job at a close the control made shows up as one
    }

    core::ScopedSocket listener_{socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)};
    u_short port_ = 0;
    std::mt19937_64 random_;
    std::atomic<int> lastResetAfter_{-1};
    std::atomic<int> resets_{0};
    std::string received_;
    std::thread thread_;
};

bool StateShowsLoss(const std::wstring& state) {
    return state == L"8" || state == L"9";
}

}  // namespace

void NetworkJobs(const Settings& settings, Table& table) {
    auto random = settings.Random(4);
    const int count = settings.Scaled(kJobsFull, 200);
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    std::vector<std::string> jobs;
    for (int n = 0; n < count; ++n)
        jobs.push_back(JobText(n, std::uniform_int_distribution<size_t>(kJobMin, kJobMax)(random), random));
    std::vector<bool> sent(jobs.size());
    long long connectFailures = 0, sendFailures = 0, connects = 0, lateNotices = 0;

    ResettingPrinter printer(settings.Random(6));
    {
        ComPtr<IDispatch> control;
        if (printer.Port() == 0 || FAILED(CreateByProgId(L"Tessmer.lumtag", &control))) {
            table.Add("network: printer listening and control created", "no", "yes", false);
            printer.Finish();
            WSACleanup();
            return;
        }
        const core::ScopedBstr host = core::ScopedBstr::Copy(L"127.0.0.1");
        int firstOnConnection = 0;
        bool connected = false;
        // A call made once the printer had reset this connection must show it.
        auto resetKnown = [&] { return printer.LastResetAfter() >= firstOnConnection; };
        for (size_t n = 0; n < jobs.size(); ++n) {
            if (!connected) {
                ++connects;
                firstOnConnection = static_cast<int>(n);
                Method(control.Get(), L"SocConnect",
                       {core::BorrowedText(host.Get()), core::Int32Value(printer.Port())});
                std::wstring state;
                for (const ULONGLONG end = GetTickCount64() + kConnectLimitMs;
                     state != L"7" && state != L"9" && GetTickCount64() < end;)
                    state = Method(control.Get(), L"SocSts").text;
                connected = state == L"7";
                if (!connected) {
                    ++connectFailures;
                    continue;
                }
            }
            const core::ScopedBstr text = core::ScopedBstr::Copy(std::wstring(jobs[n].begin(), jobs[n].end()));
            bool known = resetKnown();
            sent[n] = Method(control.Get(), L"SendData", {core::BorrowedText(text.Get())}).Ok();
            if (!sent[n]) ++sendFailures;
            if (known && sent[n]) ++lateNotices;
            known = resetKnown();
            const std::wstring state = Method(control.Get(), L"SocSts").text;
            if (known && !StateShowsLoss(state)) ++lateNotices;
            connected = state == L"7";
        }
    }  // the control closes its connection
    const int resets = printer.Resets();
    const std::string received = printer.Finish();
    WSACleanup();

    const Arrivals arrivals = Compare(received, jobs);
    long long unsentArrived = 0, sentLost = 0, twiceOrCut = 0;
    for (size_t n = 0; n < jobs.size(); ++n) {
        twiceOrCut += (arrivals.whole[n] > 1 || arrivals.cut[n] > 0) ? 1 : 0;
        if (!sent[n]) unsentArrived += arrivals.whole[n] > 0 ? 1 : 0;
        if (sent[n] && arrivals.whole[n] == 0) ++sentLost;
    }
    table.AtLeast("network: jobs (" + std::to_string(connects) + " connections)", count, count);
    table.AtLeast("network: resets by the printer", resets, 1);
    table.AtMost("network: connections not made within 5 s", connectFailures, 0);
    table.AtMost("network: calls after a reset that did not show it", lateNotices, 0);
    table.AtMost("network: jobs that arrived twice or cut", twiceOrCut, 0);
    table.AtMost("network: jobs whose SendData failed that arrived", unsentArrived, 0);
    table.AtMost("network: jobs reported sent that did not arrive (in flight at a reset)", sentLost, resets);
    table.AtMost("network: bytes that belong to no job", static_cast<long long>(arrivals.strayBytes), 0);
    table.AtMost("network: SendData failures (each needs a reset)", sendFailures, resets);
}

}  // namespace soak
