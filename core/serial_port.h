// The port behind the serial port component: COMn opened with its line
// settings, written, and closed once what it queued has left.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "line_settings.h"
#include "scoped.h"

namespace core {

// One serial port over the Win32 comm API. Writes are complete and
// synchronous, bounded by a timeout that follows from the byte count and
// the baud rate, so a stalled printer never holds the host for ever.
class SerialPort {
public:
    static constexpr int16_t kDesignPort = 1;
    static constexpr const wchar_t* kDesignSettings = L"9600,N,8,1";
    static constexpr DWORD kBufferSize = 8096;

    SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort();

    int16_t CommPort() const noexcept { return number_; }
    void SetCommPort(int16_t number);
    const std::wstring& Settings() const noexcept { return settingsText_; }
    void SetSettings(std::wstring_view text);

    bool IsOpen() const noexcept { return handle_.IsValid(); }
    void Open();
    // Waits, bounded, for queued bytes to leave, then closes. Throws when
    // bytes were still queued at the deadline; the port is closed either way.
    void Close();
    void Write(const void* bytes, size_t count);

    std::wstring Name() const;

private:
    DWORD WriteTimeoutMs(size_t count) const noexcept;
    void SetWriteTimeout(DWORD timeoutMs);
    // Sets the open line to |settings|; |text| names them in a refusal.
    void ApplySettings(const LineSettings& settings, std::wstring_view text);

    int16_t number_ = kDesignPort;
    std::wstring settingsText_ = kDesignSettings;
    LineSettings settings_;
    ScopedHandle handle_;
    DWORD writeTimeoutMs_ = 0;
};

}  // namespace core
