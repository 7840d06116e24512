// The far end of a harness port pair (COM6 for COM5, COM8 for COM7), opened
// for reading what a test wrote at the other end.
#pragma once

#include <windows.h>

#include <string>

#include "scoped.h"

class PortReader {
public:
    // A read that finds nothing waiting gives up after |quietMs| without a byte.
    explicit PortReader(const wchar_t* name, DWORD quietMs = 100) {
        const std::wstring device = std::wstring(L"\\\\.\\") + name;
        handle_.Reset(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = quietMs;
        if (handle_.IsValid()) SetCommTimeouts(handle_.Get(), &timeouts);
    }
    bool IsOpen() const { return handle_.IsValid(); }

    // Reads until |count| bytes came or nothing more came for a while; a
    // slow printer reads at most |perRead| bytes and then pauses |pauseMs|.
    std::string Read(size_t count, DWORD perRead = 65536, DWORD pauseMs = 0) {
        std::string bytes;
        const DWORD deadline = GetTickCount() + 10000;
        while (bytes.size() < count && static_cast<LONG>(deadline - GetTickCount()) > 0) {
            const size_t before = bytes.size();
            if (!ReadSome(perRead, bytes)) break;
            if (bytes.size() != before) Sleep(pauseMs);
        }
        return bytes;
    }
    // One read of at most |most| bytes, appended to |bytes|: what is waiting,
    // else the first bytes within the quiet time. False when the read failed.
    bool ReadSome(size_t most, std::string& bytes) {
        const size_t before = bytes.size();
        bytes.resize(before + most);
        DWORD read = 0;
        const bool ok = ReadFile(handle_.Get(), bytes.data() + before, static_cast<DWORD>(most), &read, nullptr);
        bytes.resize(before + read);
        return ok;
    }
    // Everything until the line stays quiet for the quiet time.
    std::string ReadAll() {
        std::string bytes;
        for (size_t before = ~size_t{0}; bytes.size() != before;) {
            before = bytes.size();
            if (!ReadSome(65536, bytes)) break;
        }
        return bytes;
    }
    // Empties what is waiting, so a later test starts clean.
    void Drain() { ReadAll(); }

private:
    core::ScopedHandle handle_;
};
