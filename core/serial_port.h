// The port behind the serial port component: COMn opened with its line
// settings, written, and closed once what it queued has left.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "line_settings.h"
#include "scoped.h"

namespace core {

// The calls in which the driver has its say on whether written bytes went
// out. A test stands in for a driver that reports no queue, wedges or fails.
class CommDriver {
public:
    virtual ~CommDriver() = default;
    // ClearCommError's cbOutQue; nothing when the driver does not answer.
    virtual std::optional<DWORD> QueuedBytes(HANDLE port);
    // FlushFileBuffers: returns once the transmit buffer is empty.
    virtual bool Flush(HANDLE port);
    // CancelSynchronousIo: ends the flush that |flushing| is in.
    virtual void CancelFlush(HANDLE flushing);
};
CommDriver& SystemCommDriver();

// One serial port over the Win32 comm API. Writes are complete and
// synchronous, bounded by a timeout that follows from the byte count and
// the baud rate, so a stalled printer never holds the host for ever.
class SerialPort {
public:
    static constexpr int16_t kDesignPort = 1;
    static constexpr const wchar_t* kDesignSettings = L"9600,N,8,1";
    static constexpr DWORD kBufferSize = 8096;

    // Extra time granted to every write and drain on top of the line time.
    static constexpr DWORD kGraceMs = 3000;

    // |driver| outlives the port and any flush it leaves behind.
    explicit SerialPort(CommDriver& driver = SystemCommDriver(), DWORD graceMs = kGraceMs);
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort();

    int16_t CommPort() const noexcept { return number_; }
    void SetCommPort(int16_t number);
    const std::wstring& Settings() const noexcept { return settingsText_; }
    void SetSettings(std::wstring_view text);

    bool IsOpen() const noexcept { return handle_.IsValid(); }
    void Open();
    // Waits, bounded by the line time of the driver's buffer, for written
    // bytes to leave, then closes. Throws the timeout failure when they had
    // not all gone out by then, the device I/O failure when the driver could
    // not send them; the port is closed either way.
    void Close();
    void Write(const void* bytes, size_t count);

    std::wstring Name() const;

private:
    DWORD WriteTimeoutMs(size_t count) const noexcept;
    void SetWriteTimeout(DWORD timeoutMs);
    // Sets the open line to |settings|; |text| names them in a refusal.
    void ApplySettings(const LineSettings& settings, std::wstring_view text);
    // Flushes the port's handle, which it takes, within |limitMs|.
    void FlushAndClose(DWORD limitMs);

    CommDriver& driver_;
    DWORD graceMs_;

    int16_t number_ = kDesignPort;
    std::wstring settingsText_ = kDesignSettings;
    LineSettings settings_;
    ScopedHandle handle_;
    DWORD writeTimeoutMs_ = 0;
};

}  // namespace core
