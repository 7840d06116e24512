// The host creates Ostrel, starts a connection to "localhost" (a name, so the
// lookup runs beside the host's thread), releases the control and lets COM
// free unused libraries at once, round after round. Runs in a child process:
// nothing else may hold the library, and a crash must end only the child. At
// the end the process must have as many thread-local storage indexes free as
// before the first load.
#include <winsock2.h>
#include <windows.h>
#include <wrl/client.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "dispatch_call.h"
#include "phases.h"
#include "scoped_socket.h"

using Microsoft::WRL::ComPtr;

namespace soak {

namespace {

constexpr int kRoundsFull = 4000;
constexpr DWORD kChildLimitMs = 600000;

// Exit codes of the child.
constexpr int kChildOk = 0;
constexpr int kChildSetupFailed = 2;
constexpr int kChildCrashed = 3;
constexpr int kChildCallFailed = 4;
constexpr int kChildLibraryStayed = 5;
constexpr int kChildAborted = 6;
constexpr int kChildTlsShrank = 7;

// Thread-local storage indexes the loop may take for good: each load must
// give back what the runtime takes, or a host runs out after about a
// thousand loads and the next load aborts.
constexpr int kTlsTakenLimit = 2;

volatile int g_round = -1;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "unload loop: crash in round %d: exception %08lx at %p\n", g_round,
                 info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kChildCrashed);
    return EXCEPTION_CONTINUE_SEARCH;
}

// abort() leaves no exception for the filter above: say where it came from
// (module and offset of each frame) before the child ends.
void OnAbort(int) {
    void* frames[48];
    const USHORT count = RtlCaptureStackBackTrace(0, 48, frames, nullptr);
    std::fprintf(stderr, "unload loop: abort in round %d\n", g_round);
    for (USHORT i = 0; i < count; ++i) {
        HMODULE module = nullptr;
        wchar_t name[MAX_PATH] = L"?";
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(frames[i]), &module))
            GetModuleFileNameW(module, name, MAX_PATH);
        std::fprintf(stderr, "  %p %ls+0x%lx\n", frames[i], name,
                     static_cast<unsigned long>(static_cast<char*>(frames[i]) - reinterpret_cast<char*>(module)));
    }
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kChildAborted);
}

// A port on 127.0.0.1 where nothing listens: bound by the system's choice, then let go.
u_short ClosedPort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    u_short port = 0;
    {
        const core::ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof(address);
        if (s.IsValid() && bind(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            getsockname(s.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    WSACleanup();
    return port;
}

bool OstrelLoaded() {
    return GetModuleHandleW(L"Ostrel.ocx") != nullptr;
}

// How many more thread-local storage indexes the process could take.
int FreeTlsIndexes() {
    std::vector<DWORD> taken;
    for (DWORD index = TlsAlloc(); index != TLS_OUT_OF_INDEXES; index = TlsAlloc()) taken.push_back(index);
    for (const DWORD index : taken) TlsFree(index);
    return static_cast<int>(taken.size());
}

}  // namespace

int UnloadLoopChild(int rounds) {
    SetUnhandledExceptionFilter(ReportCrash);
    std::signal(SIGABRT, OnAbort);
    const u_short port = ClosedPort();
    if (port == 0 || OstrelLoaded()) return kChildSetupFailed;
    const core::ScopedBstr host = core::ScopedBstr::Copy(L"localhost");
    // Counted before the first load: the libraries the control brings in
    // take indexes of their own while they are loaded.
    const int freeTlsBefore = FreeTlsIndexes();
    for (int round = 0; round < rounds; ++round) {
        g_round = round;
        ComPtr<IDispatch> control;
        if (FAILED(CreateByProgId(L"Tessmer.lumtag", &control))) return kChildCallFailed;
        if (!Method(control.Get(), L"SocConnect", {core::BorrowedText(host.Get()), core::Int32Value(port)}).Ok())
            return kChildCallFailed;
        control.Reset();
        CoFreeUnusedLibrariesEx(0, 0);
    }
    const ULONGLONG end = GetTickCount64() + 10000;
    while (OstrelLoaded() && GetTickCount64() < end) {
        CoFreeUnusedLibrariesEx(0, 0);
        Sleep(20);
    }
    if (OstrelLoaded()) return kChildLibraryStayed;
    if (FreeTlsIndexes() < freeTlsBefore - kTlsTakenLimit) return kChildTlsShrank;
    return kChildOk;
}

void UnloadLoop(const Settings& settings, Table& table) {
    const int rounds = settings.Scaled(kRoundsFull, 200);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --unload-child " + std::to_wstring(rounds);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    const ULONGLONG started = GetTickCount64();
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        table.Add("unload loop: child started", "no", "yes", false);
        return;
    }
    const core::ScopedHandle process(child.hProcess), thread(child.hThread);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.Get(), kChildLimitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);  // our own child, by its handle
        WaitForSingleObject(process.Get(), 5000);
    }
    GetExitCodeProcess(process.Get(), &code);
    const char* verdicts[] = {"ok",
                              "?",
                              "setup failed",
                              "crashed",
                              "a call failed",
                              "library stayed loaded",
                              "aborted (see the frames above)",
                              "thread-local storage indexes taken for good"};
    const std::string verdict = code < std::size(verdicts) ? verdicts[code] : "ended with " + std::to_string(code);
    table.Add("unload loop: " + std::to_string(rounds) + " rounds in a child (" +
                  std::to_string((GetTickCount64() - started) / 1000) + " s)",
              verdict, "ok", code == kChildOk);
}

}  // namespace soak
