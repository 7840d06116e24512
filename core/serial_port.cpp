#include "serial_port.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "component.h"
#include "convert.h"
#include "dispatch_call.h"
#include "errors.h"

namespace core {

namespace {

// Extra time granted to every write and drain on top of the line time.
constexpr DWORD kGraceMs = 3000;
// Twice the line time, for slow drivers and flow control pauses.
constexpr unsigned kLineTimeFactor = 2;

std::wstring_view Trim(std::wstring_view text) {
    while (!text.empty() && text.front() == L' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == L' ') text.remove_suffix(1);
    return text;
}

bool AllDigits(std::wstring_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

[[noreturn]] void RefuseSettings(std::wstring_view text, const wchar_t* why) {
    Throw(kInvalidPropertyValue, L"Invalid property value: Settings \"" + std::wstring(text) + L"\" " + why +
                                     L" (expected baud,parity,data,stop such as 9600,N,8,1)");
}

}  // namespace

LineSettings LineSettings::Parse(std::wstring_view text) {
    std::vector<std::wstring_view> fields;
    for (std::wstring_view rest = text;;) {
        const size_t comma = rest.find(L',');
        fields.push_back(Trim(rest.substr(0, comma)));
        if (comma == std::wstring_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (fields.size() != 4) RefuseSettings(text, L"does not have four fields");
    if (!AllDigits(fields[0]) || fields[0].size() > 9) RefuseSettings(text, L"has no valid baud rate");
    if (fields[1].size() != 1 || std::wstring_view(L"NEOMSneoms").find(fields[1][0]) == std::wstring_view::npos)
        RefuseSettings(text, L"has no valid parity (N, E, O, M or S)");
    if (fields[2].size() != 1 || fields[2][0] < L'4' || fields[2][0] > L'8')
        RefuseSettings(text, L"has no valid data bits (4 to 8)");
    if (fields[3] != L"1" && fields[3] != L"1.5" && fields[3] != L"2")
        RefuseSettings(text, L"has no valid stop bits (1, 1.5 or 2)");

    // The platform reads the checked text into a DCB; what it refuses, we refuse.
    std::wstring canonical;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) canonical += L',';
        canonical += fields[i];
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!BuildCommDCBW(canonical.c_str(), &dcb) || dcb.BaudRate == 0)
        RefuseSettings(text, L"is not accepted by the system");

    LineSettings settings;
    settings.baud = dcb.BaudRate;
    settings.parity = dcb.Parity;
    settings.dataBits = dcb.ByteSize;
    settings.stopBits = dcb.StopBits;
    return settings;
}

unsigned LineSettings::BitsPerByte() const noexcept {
    return 1 + dataBits + (parity == NOPARITY ? 0 : 1) + (stopBits == ONESTOPBIT ? 1 : 2);
}

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

namespace {

constexpr DispatchComponent::Member kMembers[] = {
    {L"CommPort", serial_dispid::kCommPort},
    {L"PortOpen", serial_dispid::kPortOpen},
    {L"Settings", serial_dispid::kSettings},
    {L"Output", serial_dispid::kOutput},
};

class SerialPortComponent final : public DispatchComponent {
public:
    SerialPortComponent() : DispatchComponent(L"MSCOM", kMembers) {}

private:
    HRESULT Put(DISPID id, const VARIANT& value) override {
        switch (id) {
            case serial_dispid::kCommPort:
                port_.SetCommPort(ToInt16(value, L"CommPort"));
                return S_OK;
            case serial_dispid::kSettings:
                port_.SetSettings(ToText(value, L"Settings").View());
                return S_OK;
            case serial_dispid::kPortOpen:
                if (ToInt16(value, L"PortOpen") != 0)
                    port_.Open();
                else
                    port_.Close();
                return S_OK;
            case serial_dispid::kOutput: {
                if (!port_.IsOpen())
                    Throw(kPortNotOpen, L"Output needs an open port: " + port_.Name() + L" is not open");
                ToWireBytes(value, L"Output", outputBuffer_);
                port_.Write(outputBuffer_.data(), outputBuffer_.size());
                return S_OK;
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HRESULT Get(DISPID id, VARIANT* result) override {
        if (result == nullptr) return E_POINTER;
        VariantInit(result);
        switch (id) {
            case serial_dispid::kCommPort:
                *result = Int16Value(port_.CommPort());
                return S_OK;
            case serial_dispid::kSettings:
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = ScopedBstr::Copy(port_.Settings()).Release();
                return S_OK;
            case serial_dispid::kPortOpen:
                V_VT(result) = VT_BOOL;
                V_BOOL(result) = port_.IsOpen() ? VARIANT_TRUE : VARIANT_FALSE;
                return S_OK;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    SerialPort port_;
    std::string outputBuffer_;
};

}  // namespace

HRESULT CreateSerialPortComponent(IDispatch** component) noexcept {
    if (component == nullptr) return E_POINTER;
    *component = nullptr;
    // The port allocates as it is made: every failure of it becomes the caller's code.
    return CatchReturn([&] {
        *component = new SerialPortComponent();
        return S_OK;
    });
}

}  // namespace core
