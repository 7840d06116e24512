#include "serial_port.h"

#include <algorithm>
#include <memory>

#include "errors.h"

namespace core {

namespace {

// Twice the line time, for slow drivers and flow control pauses.
constexpr unsigned kLineTimeFactor = 2;

// A flush on a thread of its own, which owns the port's handle until the
// flush returns: a driver that ignores the cancellation keeps the handle,
// not the caller.
struct PendingFlush {
    CommDriver* driver;
    ScopedHandle port;
    bool sent = false;
    DWORD error = 0;
};

DWORD WINAPI RunFlush(void* parameter) {
    const std::unique_ptr<std::shared_ptr<PendingFlush>> held(static_cast<std::shared_ptr<PendingFlush>*>(parameter));
    PendingFlush& flush = **held;
    flush.sent = flush.driver->Flush(flush.port.Get());
    flush.error = flush.sent ? 0 : GetLastError();
    return 0;
}

}  // namespace

std::optional<DWORD> CommDriver::QueuedBytes(HANDLE port) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, &status)) return std::nullopt;
    return status.cbOutQue;
}

bool CommDriver::Flush(HANDLE port) {
    return FlushFileBuffers(port) != FALSE;
}

void CommDriver::CancelFlush(HANDLE flushing) {
    CancelSynchronousIo(flushing);
}

CommDriver& SystemCommDriver() {
    static CommDriver system;
    return system;
}

SerialPort::SerialPort(CommDriver& driver, DWORD graceMs)
    : driver_(driver), graceMs_(graceMs), settings_(LineSettings::Parse(kDesignSettings)) {}

SerialPort::~SerialPort() {
    if (!IsOpen()) return;
    try {
        Close();
    } catch (...) {
        // Nothing to report to during teardown; the handle is closed by now.
    }
}

std::wstring SerialPort::Name() const {
    return L"COM" + std::to_wstring(number_);
}

void SerialPort::SetCommPort(int16_t number) {
    if (number < 1)
        Throw(kInvalidPropertyValue,
              L"Invalid property value: CommPort must be 1 or more, not " + std::to_wstring(number));
    if (IsOpen()) Throw(kPortAlreadyOpen, L"CommPort cannot change while " + Name() + L" is open");
    number_ = number;
}

void SerialPort::SetSettings(std::wstring_view text) {
    // Stored only once both the text and, on an open port, the line took them.
    const LineSettings parsed = LineSettings::Parse(text);
    std::wstring copy(text);
    if (IsOpen()) ApplySettings(parsed, text);
    settings_ = parsed;
    settingsText_ = std::move(copy);
}

void SerialPort::ApplySettings(const LineSettings& settings, std::wstring_view text) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle_.Get(), &dcb)) ThrowLastError(kPortOpenFailed, Name() + L" settings could not be read");
    dcb.BaudRate = settings.baud;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != NOPARITY;
    // No handshake: a label printer on a plain three-wire cable.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle_.Get(), &dcb))
        ThrowLastError(kInvalidPropertyValue,
                       L"Settings \"" + std::wstring(text) + L"\" could not be applied to " + Name());
}

void SerialPort::Open() {
    if (IsOpen()) Throw(kPortAlreadyOpen, Name() + L" is already open");
    const std::wstring device = L"\\\\.\\" + Name();
    ScopedHandle port(CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!port.IsValid()) ThrowOpenFailed(Name() + L" could not be opened");
    handle_ = std::move(port);
    writeTimeoutMs_ = 0;
    try {
        SetupComm(handle_.Get(), kBufferSize, kBufferSize);  // a hint; drivers may keep their own sizes
        ApplySettings(settings_, settingsText_);
    } catch (...) {
        handle_.Reset();
        throw;
    }
}

DWORD SerialPort::WriteTimeoutMs(size_t count) const noexcept {
    const unsigned long long lineMs =
        static_cast<unsigned long long>(count) * settings_.BitsPerByte() * 1000ull * kLineTimeFactor / settings_.baud;
    return static_cast<DWORD>(std::min<unsigned long long>(graceMs_ + lineMs, MAXDWORD - 1));
}

void SerialPort::SetWriteTimeout(DWORD timeoutMs) {
    // Pieces of a long print share one size: set the timeout only when it changes.
    if (timeoutMs == writeTimeoutMs_) return;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // reads are never made
    timeouts.WriteTotalTimeoutConstant = timeoutMs;
    if (!SetCommTimeouts(handle_.Get(), &timeouts))
        ThrowLastError(kDeviceIoError, L"The write timeout of " + Name() + L" could not be set");
    writeTimeoutMs_ = timeoutMs;
}

void SerialPort::Write(const void* bytes, size_t count) {
    if (!IsOpen()) Throw(kPortNotOpen, L"Output needs an open port: " + Name() + L" is not open");
    const auto* data = static_cast<const char*>(bytes);
    size_t done = 0;
    while (done < count) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
        // The driver ends a write that outlasts its timeout with fewer bytes written.
        SetWriteTimeout(WriteTimeoutMs(chunk));
        DWORD written = 0;
        if (!WriteFile(handle_.Get(), data + done, chunk, &written, nullptr))
            ThrowLastError(kDeviceIoError,
                           L"Writing to " + Name() + L" failed after " + BytesWentOut(done + written, count));
        done += written;
        if (written < chunk)
            Throw(kWriteTimeout, L"Writing to " + Name() + L" timed out: " + BytesWentOut(done, count));
    }
}

void SerialPort::Close() {
    if (!IsOpen()) return;
    // Windows counts no queue for a handle opened without FILE_FLAG_OVERLAPPED
    // (COMSTAT: cbOutQue is zero for nonoverlapped writes), so a zero proves
    // nothing and the flush below does the waiting. Wine's ports count what
    // they hold; while they do, wait here, within the line time of the buffer.
    const DWORD started = GetTickCount();
    std::optional<DWORD> queued = driver_.QueuedBytes(handle_.Get());
    const DWORD limit = WriteTimeoutMs(std::max(queued.value_or(0), kBufferSize));
    while (queued.value_or(0) != 0 && GetTickCount() - started < limit) {
        Sleep(5);
        queued = driver_.QueuedBytes(handle_.Get());
    }
    if (queued.value_or(0) != 0) {
        const std::wstring name = Name();
        handle_.Reset();
        Throw(kWriteTimeout, std::to_wstring(*queued) + L" bytes had not gone out when " + name + L" was closed");
    }
    FlushAndClose(limit - std::min(limit, GetTickCount() - started));
}

void SerialPort::FlushAndClose(DWORD limitMs) {
    // FlushFileBuffers on a serial port obeys flow control but not the write
    // timeouts and returns only once everything is sent: a USB adapter pulled
    // or wedged mid-print would hold it, and the host, for ever. So it runs on
    // a thread of its own and CancelSynchronousIo ends it at the deadline.
    // Wine's pty ports flush at once, so only the fake driver of the unit
    // tests shows the wait and the cancellation.
    const std::wstring name = Name();
    auto flush = std::make_shared<PendingFlush>(PendingFlush{&driver_, std::move(handle_)});
    auto* held = new std::shared_ptr<PendingFlush>(flush);
    ScopedHandle thread(CreateThread(nullptr, 0, RunFlush, held, 0, nullptr));
    if (!thread.IsValid()) {
        delete held;  // closes the handle unflushed
        ThrowLastError(kDeviceIoError, name + L" could not wait for its bytes to go out");
    }
    if (WaitForSingleObject(thread.Get(), limitMs) != WAIT_OBJECT_0) {
        // Cancelled again until it ends: the thread may not have reached the
        // flush when the first cancellation came, and that one finds nothing.
        const DWORD cancelled = GetTickCount();
        do driver_.CancelFlush(thread.Get());
        while (WaitForSingleObject(thread.Get(), 50) == WAIT_TIMEOUT && GetTickCount() - cancelled < graceMs_);
        const bool ended = WaitForSingleObject(thread.Get(), 0) == WAIT_OBJECT_0;
        if (!ended || !flush->sent)
            Throw(kWriteTimeout, L"The bytes written to " + name + L" had not all gone out within " +
                                     std::to_wstring(limitMs) +
                                     L" ms when it was closed; the driver does not say how "
                                     L"many were left" +
                                     (ended ? L"" : L", and holds the port until it lets go"));
    }
    if (!flush->sent) {
        SetLastError(flush->error);
        ThrowLastError(kDeviceIoError, L"The bytes written to " + name + L" could not be sent before it was closed");
    }
}

}  // namespace core
