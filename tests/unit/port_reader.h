// The far end of a harness port pair (COM6 for COM5, COM8 for COM7), opened
// for reading what a test wrote at the other end.
#pragma once

#include <windows.h>

#include <string>

#include "scoped.h"

// The far end of a pair, opened for reading.
class PortReader {
public:
    explicit PortReader(const wchar_t* name) {
        const std::wstring device = std::wstring(L"\\\\.\\") + name;
        handle_.Reset(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 100;
        if (handle_.IsValid()) SetCommTimeouts(handle_.Get(), &timeouts);
    }
    bool IsOpen() const { return handle_.IsValid(); }

    // Reads until |count| bytes came or nothing more came for a while; a
    // slow printer reads at most |perRead| bytes and then pauses |pauseMs|.
    std::string Read(size_t count, DWORD perRead = 65536, DWORD pauseMs = 0) {
        std::string bytes;
        const DWORD deadline = GetTickCount() + 10000;
        std::string buffer(perRead, '\0');
        while (bytes.size() < count && static_cast<LONG>(deadline - GetTickCount()) > 0) {
            DWORD read = 0;
            if (!ReadFile(handle_.Get(), buffer.data(), perRead, &read, nullptr)) break;
            bytes.append(buffer.data(), read);
            if (read != 0) Sleep(pauseMs);
        }
        return bytes;
    }
    // Empties what is waiting, so a later test starts clean.
    void Drain() {
        char buffer[65536];
        DWORD read = 0;
        do {
            read = 0;
            ReadFile(handle_.Get(), buffer, sizeof(buffer), &read, nullptr);
        } while (read != 0);
    }

private:
    core::ScopedHandle handle_;
};
