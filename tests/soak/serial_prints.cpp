// Ostrel prints to COM5 one job after another while a reader at COM6 comes
// and goes: it reads at a printer's pace, then pauses, some pauses longer
// than a print's write timeout, so that some prints fail with 8020. The
// reader keeps COM6 open while it pauses: the socat pty pair then holds
// everything written until it reads again (checked first, below) and the
// medium loses nothing; what arrives is compared job by job.
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <thread>

#include "../unit/port_reader.h"
#include "dispatch_call.h"
#include "errors.h"
#include "job_ledger.h"
#include "phases.h"

using Microsoft::WRL::ComPtr;

namespace soak {

namespace {

constexpr int kPrintsFull = 1000;
// Jobs between 60 and 600 bytes: a write timeout (line time at 9600 baud plus
// 3 s) between 3.1 and 4.3 s.
constexpr size_t kJobMin = 60, kJobMax = 600;
constexpr DWORD kLongPauseMinMs = 4600, kLongPauseMaxMs = 6000;
constexpr double kLongPauseShare = 0.35;
constexpr DWORD kReadBytes = 256, kReadGapMs = 30;  // about 8 KB/s while reading

// The far end's reads give up after this long without a byte.
constexpr DWORD kFarEndQuietMs = 1000;

// The medium with its reader away: writes into COM5 until one stalls, waits,
// then reads. Every byte written must come out.
void CheckMedium(PortReader& farEnd, Table& table) {
    farEnd.Drain();
    size_t written = 0;
    {
        const core::ScopedHandle nearEnd(
            CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        COMMTIMEOUTS timeouts{};
        timeouts.WriteTotalTimeoutConstant = 1000;  // a stalled write gives up
        SetCommTimeouts(nearEnd.Get(), &timeouts);
        const std::string chunk(1024, 'm');
        for (DWORD done = chunk.size(); done == chunk.size() && written < (16u << 20);) {
            done = 0;
            WriteFile(nearEnd.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &done, nullptr);
            written += done;
        }
        Sleep(1000);
    }
    const std::string kept = farEnd.ReadAll();
    table.Add("serial: medium keeps what was written while the reader is away, bytes",
              std::to_string(kept.size()) + "/" + std::to_string(written), "all",
              kept.size() == written && kept.find_first_not_of('m') == std::string::npos);
}

// The far end: reads at a printer's pace for a while, pauses, again; drains
// everything once told to stop.
class ComingAndGoingReader {
public:
    ComingAndGoingReader(PortReader& port, std::mt19937_64 random) : port_(port), random_(random) {
        thread_ = std::thread([this] { Run(); });
    }
    // Stops after everything on its way has been read.
    std::string Finish() {
        stop_ = true;
        thread_.join();
        return received_;
    }
    int LongPauses() const { return longPauses_; }

private:
    void Run() {
        // The first pause is a long one, so that even a short run sees a print time out.
        for (bool first = true; !stop_; first = false) {
            const ULONGLONG readUntil = GetTickCount64() + std::uniform_int_distribution<DWORD>(100, 1500)(random_);
            while (!stop_ && GetTickCount64() < readUntil) {
                port_.ReadSome(kReadBytes, received_);
                Sleep(kReadGapMs);
            }
            const bool longPause = first || std::bernoulli_distribution(kLongPauseShare)(random_);
            const DWORD pause = longPause
                                    ? std::uniform_int_distribution<DWORD>(kLongPauseMinMs, kLongPauseMaxMs)(random_)
                                    : std::uniform_int_distribution<DWORD>(20, 1000)(random_);
            longPauses_ += longPause ? 1 : 0;
            for (const ULONGLONG end = GetTickCount64() + pause; !stop_ && GetTickCount64() < end;) Sleep(10);
        }
        received_ += port_.ReadAll();
    }

    PortReader& port_;
    std::mt19937_64 random_;
    std::atomic<bool> stop_{false};
    std::atomic<int> longPauses_{0};
    std::string received_;
    std::thread thread_;
};

}  // namespace

void SerialPrints(const Settings& settings, Table& table) {
    auto random = settings.Random(2);
    const int prints = settings.Scaled(kPrintsFull, 150);
    PortReader farEnd(L"COM6", kFarEndQuietMs);
    ComPtr<IDispatch> control;
    if (!farEnd.IsOpen() || FAILED(CreateByProgId(L"Tessmer.lumtag", &control))) {
        table.Add("serial: COM6 open and control created", "no", "yes", false);
        return;
    }
    CheckMedium(farEnd, table);

    std::vector<std::string> jobs;
    for (int n = 0; n < prints; ++n)
        jobs.push_back(JobText(n, std::uniform_int_distribution<size_t>(kJobMin, kJobMax)(random), random));
    std::vector<bool> printed(jobs.size());
    long long timedOut = 0, otherFailures = 0, undescribed = 0;
    const core::ScopedBstr settingsText = core::ScopedBstr::Copy(L"9600,N,8,1");
    const ULONGLONG started = GetTickCount64();
    ComingAndGoingReader reader(farEnd, settings.Random(3));
    for (size_t n = 0; n < jobs.size(); ++n) {
        const core::ScopedBstr text = core::ScopedBstr::Copy(std::wstring(jobs[n].begin(), jobs[n].end()));
        const Outcome outcome = Method(control.Get(), L"ExecPrint",
                                       {core::BorrowedText(text.Get()), core::Int32Value(0),
                                        core::BorrowedText(settingsText.Get()), core::Int16Value(5)});
        printed[n] = outcome.Ok();
        if (outcome.Ok()) continue;
        (outcome.hr == core::kWriteTimeout ? timedOut : otherFailures) += 1;
        if (outcome.description.find(L"COM5") == std::wstring::npos) ++undescribed;
    }
    const std::string received = reader.Finish();
    const ULONGLONG seconds = (GetTickCount64() - started) / 1000;

    const Arrivals arrivals = Compare(received, jobs);
    long long lost = 0, twice = 0, failedTwice = 0, cutPrinted = 0;
    for (size_t n = 0; n < jobs.size(); ++n) {
        const int times = arrivals.whole[n] + arrivals.cut[n];
        if (printed[n]) {
            lost += arrivals.whole[n] == 0 ? 1 : 0;
            cutPrinted += arrivals.cut[n];
            twice += times > 1 ? 1 : 0;
        } else {
            failedTwice += times > 1 ? 1 : 0;
        }
    }
    table.AtLeast("serial: prints to COM5 (" + std::to_string(seconds) + " s, " + std::to_string(reader.LongPauses()) +
                      " long pauses)",
                  prints, prints);
    table.AtLeast("serial: prints failed with 8020 (write timed out)", timedOut, 1);
    table.AtMost("serial: prints failed otherwise", otherFailures, 0);
    table.AtMost("serial: failures whose description does not name COM5", undescribed, 0);
    table.AtMost("serial: printed jobs that did not arrive whole", lost, 0);
    table.AtMost("serial: printed jobs that also arrived cut", cutPrinted, 0);
    table.AtMost("serial: printed jobs that arrived more than once", twice, 0);
    table.AtMost("serial: failed jobs that arrived more than once", failedTwice, 0);
    table.AtMost("serial: bytes that belong to no job", static_cast<long long>(arrivals.strayBytes), 0);
}

}  // namespace soak
