#include "handover.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "limits.h"
#include "log.h"
#include "utf8.h"

namespace bridge {

namespace {

constexpr wchar_t kEndRequestPrefix[] = L"Global\\Lumtag.LabelBridge.End.";
// TerminateProcess returns before the process is gone and its files are free.
constexpr DWORD kTerminationWaitMs = 5000;
constexpr UINT kTerminatedExitCode = 1;

using LocalText = core::UniqueValue<wchar_t*, &LocalFree>;
using LocalDescriptor = core::UniqueValue<PSECURITY_DESCRIPTOR, &LocalFree>;
using SessionList = core::UniqueValue<WTS_SESSION_INFOW*, &WTSFreeMemory>;
using EnvironmentBlock = core::UniqueValue<void*, &DestroyEnvironmentBlock>;

std::string Describe(DWORD error) {
    return WideToUtf8(core::SystemMessage(error));
}

std::wstring EndRequestName(DWORD processId) {
    return kEndRequestPrefix + std::to_wstring(processId);
}

// The TOKEN_USER of this process; empty when it cannot be read.
std::vector<BYTE> ProcessUser() {
    core::ScopedHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return {};
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

PSID UserSid(std::vector<BYTE>& user) {
    return user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

bool RunsAsLocalSystem() {
    std::vector<BYTE> user = ProcessUser();
    return UserSid(user) != nullptr && IsWellKnownSid(UserSid(user), WinLocalSystemSid);
}

// The full path of |process|'s image, empty when it cannot be read.
std::wstring ImagePath(HANDLE process) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process, 0, path.data(), &size)) return path.substr(0, size);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

bool IsBridgeImage(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring name(path.substr(slash == std::wstring_view::npos ? 0 : slash + 1));
    return _wcsicmp(name.c_str(), kBridgeImageName) == 0;
}

std::wstring OwnPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

struct RunningBridge {
    DWORD id;
    core::ScopedHandle process;
    std::string outcome;      // what became of it, for its log line
    bool terminated = false;  // and so perhaps not gone yet
};

// The other bridges on the machine, opened to be asked, waited for and
// terminated. One that cannot be opened is logged and counted in |unopened|.
std::vector<RunningBridge> FindOtherBridges(int& unopened) {
    std::vector<RunningBridge> found;
    const core::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid()) {
        LogLine("--end: no list of processes: " + Describe(GetLastError()));
        ++unopened;
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId() || _wcsicmp(entry.szExeFile, kBridgeImageName) != 0) continue;
        core::ScopedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                               FALSE, entry.th32ProcessID));
        const std::string label = "LabelBridge " + std::to_string(entry.th32ProcessID);
        if (!process.IsValid()) {
            const DWORD error = GetLastError();
            // ERROR_INVALID_PARAMETER: it has ended since the snapshot.
            if (error == ERROR_INVALID_PARAMETER) continue;
            LogLine(label + ": not ended, cannot be opened: " + Describe(error));
            ++unopened;
            continue;
        }
        // The process may have ended since the snapshot and its id gone to another program.
        const std::wstring image = ImagePath(process.Get());
        if (!image.empty() && !IsBridgeImage(image)) continue;
        found.push_back({entry.th32ProcessID, std::move(process), {}, false});
    }
    return found;
}

// Terminates |bridge|; false when it goes on running.
bool Terminate(RunningBridge& bridge, const std::string& why) {
    if (TerminateProcess(bridge.process.Get(), kTerminatedExitCode)) {
        bridge.outcome = "terminated (" + why + ")";
        bridge.terminated = true;
        return true;
    }
    const DWORD error = GetLastError();
    if (WaitForSingleObject(bridge.process.Get(), 0) == WAIT_OBJECT_0) {
        bridge.outcome = "ended (" + why + ")";
        return true;
    }
    bridge.outcome = "not ended, cannot be terminated (" + why + "): " + Describe(error);
    return false;
}

// Starts |command| (this executable) detached, with no handle inherited; as
// the user of |token| on that user's desktop when there is one.
bool Launch(const std::wstring& path, std::wstring command, HANDLE token, void* environment) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    wchar_t desktop[] = L"winsta0\\default";
    if (token != nullptr) startup.lpDesktop = desktop;
    PROCESS_INFORMATION started{};
    DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | CREATE_BREAKAWAY_FROM_JOB;
    for (;;) {
        const BOOL done = token != nullptr
                              ? CreateProcessAsUserW(token, path.c_str(), command.data(), nullptr, nullptr, FALSE,
                                                     flags, environment, nullptr, &startup, &started)
                              : CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, flags,
                                               environment, nullptr, &startup, &started);
        if (done) break;
        // A job that lets no process break away (the installer may run us in
        // one) refuses the flag; the bridge then starts inside it.
        if (GetLastError() != ERROR_ACCESS_DENIED || !(flags & CREATE_BREAKAWAY_FROM_JOB)) return false;
        flags &= ~CREATE_BREAKAWAY_FROM_JOB;
    }
    const core::ScopedHandle process(started.hProcess), thread(started.hThread);
    LogLine("--start-for-users: started LabelBridge " + std::to_string(started.dwProcessId));
    return true;
}

// As LocalSystem: a bridge in each session a user is logged on to, as that
// user, with that user's environment.
int StartInUserSessions(const std::wstring& path, const std::wstring& command) {
    SessionList sessions;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.Receive(), &count)) {
        LogLine("--start-for-users: no list of sessions: " + Describe(GetLastError()));
        return 1;
    }
    int failures = 0;
    for (DWORD i = 0; i < count; ++i) {
        const WTS_SESSION_INFOW& session = sessions.Get()[i];
        // A disconnected user comes back to the bridge the logon had started.
        if (session.State != WTSActive && session.State != WTSDisconnected) continue;
        const std::string label = "--start-for-users: session " + std::to_string(session.SessionId);
        core::ScopedHandle token;
        if (!WTSQueryUserToken(session.SessionId, token.Receive())) {
            const DWORD error = GetLastError();
            // No user on it (the services' session, a logon screen).
            if (error != ERROR_NO_TOKEN) LogLine(label + ": no user token: " + Describe(error));
            continue;
        }
        EnvironmentBlock environment;
        if (!CreateEnvironmentBlock(environment.Receive(), token.Get(), FALSE)) {
            const DWORD error = GetLastError();
            LogLine(label + ": no environment: " + Describe(error));
            ++failures;
            continue;
        }
        if (!Launch(path, command, token.Get(), environment.Get())) {
            const DWORD error = GetLastError();
            LogLine(label + ": not started: " + Describe(error));
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

core::ScopedHandle CreateEndRequest() {
    std::vector<BYTE> user = ProcessUser();
    LocalText userSid;
    if (UserSid(user) == nullptr || !ConvertSidToStringSidW(UserSid(user), userSid.Receive())) {
        LogLine("no end request: the bridge's user is unknown: " + Describe(GetLastError()));
        return {};
    }
    // 0x100002: EVENT_MODIFY_STATE | SYNCHRONIZE, to set it and to wait on it.
    const std::wstring sid = userSid.Get();
    const std::wstring rule = L";;0x100002;;;";
    const std::wstring sddl = L"O:" + sid + L"D:P(A" + rule + sid + L")(A" + rule + L"SY)(A" + rule + L"BA)";
    LocalDescriptor descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Receive(),
                                                              nullptr)) {
        LogLine("no end request: " + Describe(GetLastError()));
        return {};
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    core::ScopedHandle request(CreateEventW(&attributes, TRUE, FALSE, EndRequestName(GetCurrentProcessId()).c_str()));
    if (!request.IsValid()) LogLine("no end request: " + Describe(GetLastError()));
    return request;
}

int EndRunningBridges() {
    try {
        int left = 0;
        std::vector<RunningBridge> bridges = FindOtherBridges(left);
        if (bridges.empty() && left == 0) LogLine("--end: no other LabelBridge is running");

        std::vector<RunningBridge*> asked;
        for (RunningBridge& bridge : bridges) {
            const core::ScopedHandle request(OpenEventW(EVENT_MODIFY_STATE, FALSE, EndRequestName(bridge.id).c_str()));
            if (request.IsValid() && SetEvent(request.Get())) {
                asked.push_back(&bridge);
            } else if (!Terminate(bridge, "it has no end request")) {
                ++left;
            }
        }

        const ULONGLONG start = GetTickCount64();
        const ULONGLONG deadline =
            start + static_cast<ULONGLONG>(std::chrono::milliseconds(limits::kEndOthersTime).count());
        for (RunningBridge* bridge : asked) {
            const ULONGLONG now = GetTickCount64();
            const DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(bridge->process.Get(), remaining) == WAIT_OBJECT_0) {
                bridge->outcome = "asked to end, ended after " + std::to_string(GetTickCount64() - start) + " ms";
            } else if (!Terminate(*bridge, "asked to end, still running after " +
                                               std::to_string(std::chrono::seconds(limits::kEndOthersTime).count()) +
                                               " s")) {
                ++left;
            }
        }

        for (RunningBridge& bridge : bridges) {
            if (bridge.terminated && WaitForSingleObject(bridge.process.Get(), kTerminationWaitMs) != WAIT_OBJECT_0) {
                bridge.outcome += ", but still running";
                ++left;
            }
            LogLine("LabelBridge " + std::to_string(bridge.id) + ": " + bridge.outcome);
        }
        return left == 0 ? 0 : 1;
    } catch (...) {
        LogLine("--end: out of memory");
        return 1;
    }
}

int StartForUsers() {
    try {
        const std::wstring path = OwnPath();
        if (path.empty()) {
            LogLine("--start-for-users: no path of its own: " + Describe(GetLastError()));
            return 1;
        }
        // Exactly the command the logon starts: the quoted path, no arguments.
        const std::wstring command = L"\"" + path + L"\"";
        if (RunsAsLocalSystem()) return StartInUserSessions(path, command);
        if (Launch(path, command, nullptr, nullptr)) return 0;
        LogLine("--start-for-users: not started: " + Describe(GetLastError()));
        return 1;
    } catch (...) {
        LogLine("--start-for-users: out of memory");
        return 1;
    }
}

}  // namespace bridge
