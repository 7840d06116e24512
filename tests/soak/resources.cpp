// Create / call / release cycles through both controls as a script host makes
// them, failing prints among the calls, while the process's handles, working
// set and threads stay where they were once the cycles had settled.
#include <wrl/client.h>

#include <functional>

#include "dispatch_call.h"
#include "errors.h"
#include "phases.h"

using Microsoft::WRL::ComPtr;

namespace soak {

namespace {

constexpr int kCyclesFull = 10000;
constexpr int kCallsPerCycle = 50;  // 500,000 member calls in the full run
constexpr int kSettleCycles = 200;  // the figures after these are the baseline
constexpr uintptr_t kHandleSlotsMargin = 4;
constexpr SIZE_T kWorkingSetMargin = 2u << 20;
constexpr DWORD kThreadMargin = 1;

VARIANT Text(const core::ScopedBstr& text) {
    return core::BorrowedText(text.Get());
}

struct Tally {
    long long calls = 0;
    long long failures = 0;             // calls that failed other than as planned
    long long undescribedFailures = 0;  // planned failures whose description does not name the cause
    long long lastReleaseNotZero = 0;
};

// A call that must succeed; |check| judges its result.
void Expect(Tally& tally, const Outcome& outcome, const std::function<bool(const Outcome&)>& check = nullptr) {
    ++tally.calls;
    if (!outcome.Ok() || (check && !check(outcome))) ++tally.failures;
}

// A call that must fail with |code| and a description that names |cause|.
void ExpectFailure(Tally& tally, const Outcome& outcome, HRESULT code, const std::wstring& cause) {
    ++tally.calls;
    if (outcome.hr != code) ++tally.failures;
    if (outcome.description.empty() || outcome.description.find(cause) == std::wstring::npos)
        ++tally.undescribedFailures;
}

struct Arguments {
    core::ScopedBstr job = core::ScopedBstr::Copy(L"^XA^FDsoak^FS^XZ\r\n");
    core::ScopedBstr goodSettings = core::ScopedBstr::Copy(L"9600,N,8,1");
    core::ScopedBstr badSettings = core::ScopedBstr::Copy(L"fast");
    core::ScopedBstr com = core::ScopedBstr::Copy(L"COM");
    core::ScopedBstr hex = core::ScopedBstr::Copy(L"7fFF");
    core::ScopedBstr notHex = core::ScopedBstr::Copy(L"zz");
    core::ScopedBstr tooLong = core::ScopedBstr::Copy(L"123456789A");
};

// The calls of one cycle on Ostrel: kCallsPerCycle in all.
void OstrelCalls(IDispatch* control, const Arguments& a, int cycle, Tally& tally) {
    ExpectFailure(
        tally,
        Method(control, L"ExecPrint", {Text(a.job), core::Int32Value(0), Text(a.goodSettings), core::Int16Value(9)}),
        core::kPortOpenFailed, L"COM9");
    ExpectFailure(
        tally,
        Method(control, L"ExecPrint", {Text(a.job), core::Int32Value(0), Text(a.badSettings), core::Int16Value(9)}),
        core::kInvalidPropertyValue, L"fast");
    ExpectFailure(tally, Method(control, L"dectohex", {Text(a.tooLong)}), core::kOverflow, L"123456789A");
    Expect(tally, Method(control, L"dectohex", {Text(a.notHex)}), [](const Outcome& o) { return o.text == L"0"; });
    Expect(tally, Method(control, L"SocSts"), [](const Outcome& o) { return o.text == L"0"; });
    const std::wstring memId = L"cycle " + std::to_wstring(cycle);
    for (int i = 5; i < kCallsPerCycle; i += 3) {
        Expect(tally, PutText(control, L"MemId", memId));
        Expect(tally, Call(control, L"MemId", DISPATCH_PROPERTYGET), [&](const Outcome& o) { return o.text == memId; });
        Expect(tally, Method(control, L"dectohex", {Text(a.hex)}), [](const Outcome& o) { return o.text == L"32767"; });
    }
}

// The calls of one cycle on Quennet: kCallsPerCycle in all.
void QuennetCalls(IDispatch* control, const Arguments& a, int cycle, Tally& tally) {
    ExpectFailure(tally,
                  Method(control, L"ExecPrint", {Text(a.job), Text(a.goodSettings), core::Int16Value(9), Text(a.com)}),
                  core::kPortOpenFailed, L"COM9");
    ExpectFailure(tally,
                  Method(control, L"ExecPrint", {Text(a.job), Text(a.badSettings), core::Int16Value(9), Text(a.com)}),
                  core::kInvalidPropertyValue, L"fast");
    const std::wstring memId = L"cycle " + std::to_wstring(cycle);
    for (int i = 2; i < kCallsPerCycle; i += 2) {
        Expect(tally, PutText(control, L"MemId", memId));
        Expect(tally, Call(control, L"MemId", DISPATCH_PROPERTYGET), [&](const Outcome& o) { return o.text == memId; });
    }
}

}  // namespace

void Resources(const Settings& settings, Table& table) {
    const int cycles = settings.Scaled(kCyclesFull, 2 * kSettleCycles);
    const Arguments arguments;
    Tally tally;
    long long createFailures = 0;
    ProcessFigures settled;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        if (cycle == kSettleCycles) settled = MeasureProcess();
        const bool ostrel = cycle % 2 == 0;
        ComPtr<IDispatch> control;
        if (FAILED(CreateByProgId(ostrel ? L"Tessmer.lumtag" : L"Quennet.lumtag", &control))) {
            ++createFailures;
            continue;
        }
        if (ostrel) {
            OstrelCalls(control.Get(), arguments, cycle, tally);
        } else {
            QuennetCalls(control.Get(), arguments, cycle, tally);
        }
        if (control.Detach()->Release() != 0) ++tally.lastReleaseNotZero;
    }
    const ProcessFigures end = MeasureProcess();

    table.AtLeast("resources: create/call/release cycles", cycles - createFailures, cycles);
    table.AtLeast("resources: member calls", tally.calls, static_cast<long long>(cycles) * kCallsPerCycle);
    table.AtMost("resources: calls with a wrong result or code", tally.failures, 0);
    table.AtMost("resources: failures without a description naming the cause", tally.undescribedFailures, 0);
    table.AtMost("resources: last Release not 0", tally.lastReleaseNotZero, 0);
    const long long slots =
        (static_cast<long long>(end.lowestFreeHandle) - static_cast<long long>(settled.lowestFreeHandle)) / 4;
    table.AtMost("resources: lowest free handle slot, growth after settling", slots, kHandleSlotsMargin);
    table.AtMost("resources: working set growth after settling, KiB",
                 (static_cast<long long>(end.workingSet) - static_cast<long long>(settled.workingSet)) / 1024,
                 kWorkingSetMargin / 1024);
    table.AtMost("resources: thread count growth after settling",
                 static_cast<long long>(end.threads) - static_cast<long long>(settled.threads), kThreadMargin);
}

}  // namespace soak
