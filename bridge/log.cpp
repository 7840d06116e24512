#include "log.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <mutex>

#include "limits.h"
#include "scoped.h"

namespace bridge {

namespace {

std::mutex outputLock;
HANDLE console = nullptr;       // where lines go with --console; null otherwise
core::ScopedHandle ownConsole;  // the console opened here, when it is one
std::wstring logPath;           // the log file's path; empty while there is none

bool IsUsable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

// "2026-12-08 21:56:52 [1234] " before each line of the file: an
// administrator reads several runs, and the lines of --end, in one file.
std::string LinePrefix() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char prefix[48];
    std::snprintf(prefix, sizeof(prefix), "%04u-%02u-%02u %02u:%02u:%02u [%lu] ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    return prefix;
}

// Appends |line| to the log file, rolling it over first when it would pass
// the limit. The file is opened for each line: another process (a second
// start, --end) may write and roll it over too.
void AppendToLogFile(const std::string& line) {
    const auto open = [] {
        return core::ScopedHandle(CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    };
    core::ScopedHandle file = open();
    if (!file.IsValid()) return;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0 &&
        static_cast<ULONGLONG>(size.QuadPart) + line.size() > limits::kLogBytes) {
        file.Reset();
        const std::wstring older = logPath.substr(0, logPath.size() - 4) + L".old.log";
        MoveFileExW(logPath.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
        file = open();
        if (!file.IsValid()) return;
    }
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

void OpenConsole() {
    const std::lock_guard lock(outputLock);
    // A program of the windows subsystem still has the standard handles its
    // starter gave it (a pipe, a file); only without them does it need a console.
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!IsUsable(handle)) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) AllocConsole();
        ownConsole.Reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
        handle = ownConsole.Get();
    }
    console = IsUsable(handle) ? handle : nullptr;
}

void OpenLogFile() {
    core::TaskMemText folder;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, folder.Receive()))) return;
    std::wstring path = std::wstring(folder.Get()) + L"\\Lumtag";
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return;
    const std::lock_guard lock(outputLock);
    logPath = path + L"\\LabelBridge.log";
}

void LogLine(std::string_view text) noexcept {
    try {
        std::string line(text);
        line += "\r\n";
        const std::lock_guard lock(outputLock);
        if (console != nullptr) {
            DWORD written = 0;
            WriteFile(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        } else if (!logPath.empty()) {
            AppendToLogFile(LinePrefix() + line);
        }
    } catch (...) {
    }
}

std::string Printable(std::string_view text) {
    constexpr size_t kLongest = 200;
    std::string printable(text.substr(0, kLongest));
    for (char& c : printable)
        if (c < 0x20 || c > 0x7E) c = '?';
    if (text.size() > kLongest) printable += "...";
    return printable;
}

}  // namespace bridge
