#include "serial_port.h"

#include <algorithm>

#include "errors.h"

namespace core {

namespace {

// Extra time granted to every write and drain on top of the line time.
constexpr DWORD kGraceMs = 3000;
// Twice the line time, for slow drivers and flow control pauses.
constexpr unsigned kLineTimeFactor = 2;

}  // namespace

SerialPort::SerialPort() : settings_(LineSettings::Parse(kDesignSettings)) {}

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
    if (!port.IsValid()) ThrowLastError(kPortOpenFailed, Name() + L" could not be opened");
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
    return static_cast<DWORD>(std::min<unsigned long long>(kGraceMs + lineMs, MAXDWORD - 1));
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
    // Let queued bytes leave before the handle goes, within the time the line needs.
    COMSTAT status{};
    DWORD errors = 0;
    DWORD queued = ClearCommError(handle_.Get(), &errors, &status) ? status.cbOutQue : 0;
    const DWORD started = GetTickCount();
    const DWORD limit = WriteTimeoutMs(queued);
    while (queued != 0 && GetTickCount() - started < limit) {
        Sleep(5);
        queued = ClearCommError(handle_.Get(), &errors, &status) ? status.cbOutQue : 0;
    }
    if (queued == 0) FlushFileBuffers(handle_.Get());
    const std::wstring name = Name();
    handle_.Reset();
    if (queued != 0)
        Throw(kWriteTimeout, std::to_wstring(queued) + L" bytes had not gone out when " + name + L" was closed");
}

}  // namespace core
