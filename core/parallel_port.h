// The first parallel port, reached through its device name. A print opens
// the device, writes the whole stream and closes it again; the destructor
// closes a device that a failure left open, so the next print finds it free.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "scoped.h"

namespace core {

class ParallelPort {
public:
    // A printer that takes no byte for this long fails the write.
    static constexpr DWORD kStallLimitMs = 10000;

    // Opens |device| (e.g. "LPT1:") for output; throws the could-not-open
    // failure naming the device and the system's reason.
    explicit ParallelPort(std::wstring device, DWORD stallLimitMs = kStallLimitMs);
    ParallelPort(const ParallelPort&) = delete;
    ParallelPort& operator=(const ParallelPort&) = delete;
    ~ParallelPort() = default;

    // Writes all |count| bytes or throws: the timeout failure when the
    // printer stops taking data, the device I/O failure when the device
    // refuses; both say how many bytes went out.
    void Write(const void* bytes, size_t count);
    void Close() noexcept { handle_.Reset(); }

private:
    std::wstring device_;
    DWORD stallLimitMs_;
    ScopedHandle handle_;
    ScopedHandle written_;  // signalled when a pending write completes
};

}  // namespace core
