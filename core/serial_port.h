// The serial port component MSCOM: a COM object of the library (not
// registered) that the controls drive only through IDispatch, by the
// dispatch identifiers below, so a unit test can put a recording fake in
// its place.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "scoped.h"

namespace core {

namespace serial_dispid {
constexpr DISPID kCommPort = 4;
constexpr DISPID kPortOpen = 20;
constexpr DISPID kSettings = 23;
constexpr DISPID kOutput = 25;
}  // namespace serial_dispid

// Line settings read from the form "baud,parity,data,stop", e.g. "9600,N,8,1".
struct LineSettings {
    DWORD baud = 9600;
    BYTE parity = NOPARITY;
    BYTE dataBits = 8;
    BYTE stopBits = ONESTOPBIT;

    // Throws ComError (invalid property value) for a text it cannot take.
    static LineSettings Parse(std::wstring_view text);
    // Bits on the line for one byte, start bit included.
    unsigned BitsPerByte() const noexcept;
};

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

// Creates the component with the design values: port 1, "9600,N,8,1",
// 8096-byte buffers.
HRESULT CreateSerialPortComponent(IDispatch** component) noexcept;

}  // namespace core
