#include "log.h"

#include <windows.h>

#include <mutex>

#include "scoped.h"

namespace bridge {

namespace {

std::mutex outputLock;
HANDLE output = nullptr;       // where lines go; null while no console is open
core::ScopedHandle ownOutput;  // the console opened here, when it is one

bool IsUsable(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void OpenConsole() {
    const std::lock_guard lock(outputLock);
    // A program of the windows subsystem still has the standard handles its
    // starter gave it (a pipe, a file); only without them does it need a console.
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!IsUsable(handle)) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) AllocConsole();
        ownOutput.Reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
        handle = ownOutput.Get();
    }
    output = IsUsable(handle) ? handle : nullptr;
}

void LogLine(std::string_view text) noexcept {
    try {
        std::string line(text);
        line += "\r\n";
        const std::lock_guard lock(outputLock);
        if (output == nullptr) return;
        DWORD written = 0;
        WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
