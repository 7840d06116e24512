#include "parallel_port.h"

#include <algorithm>

#include "errors.h"

namespace core {

namespace {

// Written one piece at a time, so that a stall is noticed within a piece
// and a failure can say how much went out.
constexpr DWORD kPieceBytes = 64 * 1024;

}  // namespace

ParallelPort::ParallelPort(std::wstring device, DWORD stallLimitMs)
    : device_(std::move(device)), stallLimitMs_(stallLimitMs) {
    written_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!written_.IsValid()) ThrowLastError(kPortOpenFailed, device_ + L" could not be prepared");
    // Overlapped, so that a write can be given up when the printer stalls.
    handle_.Reset(
        CreateFileW(device_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!handle_.IsValid()) ThrowOpenFailed(device_ + L" could not be opened");
}

void ParallelPort::Write(const void* bytes, size_t count) {
    if (!handle_.IsValid()) Throw(kPortNotOpen, L"Writing needs an open port: " + device_ + L" is not open");
    const auto* data = static_cast<const char*>(bytes);
    size_t done = 0;
    auto progress = [&] { return BytesWentOut(done, count); };
    while (done < count) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(count - done, kPieceBytes));
        OVERLAPPED overlapped{};
        overlapped.hEvent = written_.Get();
        ResetEvent(written_.Get());
        DWORD written = 0;
        if (!WriteFile(handle_.Get(), data + done, piece, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING)
                ThrowLastError(kDeviceIoError, L"Writing to " + device_ + L" failed after " + progress());
            if (WaitForSingleObject(written_.Get(), stallLimitMs_) != WAIT_OBJECT_0) {
                CancelIoEx(handle_.Get(), &overlapped);
                // Waits for the cancellation, which reports what went out before it.
                GetOverlappedResult(handle_.Get(), &overlapped, &written, TRUE);
                done += written;
                // A slow printer that took part of the piece is still printing:
                // the rest goes out as the next piece, with a new limit.
                if (written > 0) continue;
                ThrowStalled(L"Writing to " + device_, stallLimitMs_, done, count);
            }
        }
        if (!GetOverlappedResult(handle_.Get(), &overlapped, &written, TRUE))
            ThrowLastError(kDeviceIoError, L"Writing to " + device_ + L" failed after " + progress());
        done += written;
        if (written == 0)
            Throw(kDeviceIoError, L"Writing to " + device_ + L" failed: the device took no data; " + progress());
    }
}

}  // namespace core
