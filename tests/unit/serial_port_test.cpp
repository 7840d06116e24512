// The serial port component over real ports: the harness pairs COM5 with
// COM6 and COM7 with COM8, so what goes out of one arrives at the other;
// the far end of COM10 hangs up once it has read a byte.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "dispatch_call.h"
#include "error_code_of.h"
#include "errors.h"
#include "port_reader.h"
#include "scoped.h"
#include "line_settings.h"
#include "serial_port.h"
#include "serial_port_component.h"

namespace {

using core::ComError;
using Microsoft::WRL::ComPtr;
namespace dispid = core::serial_dispid;

class SerialComponent : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(core::CreateSerialPortComponent(&port_), S_OK); }

    void Put(DISPID id, const VARIANT& value) { core::PutProperty(port_.Get(), id, value, L"test"); }
    void PutText(DISPID id, const wchar_t* text) {
        core::ScopedBstr value = core::ScopedBstr::Copy(text);
        Put(id, core::BorrowedText(value.Get()));
    }
    std::wstring SettingsNow() {
        core::ScopedVariant value;
        core::GetProperty(port_.Get(), dispid::kSettings, value, L"Settings");
        return V_BSTR(&value.Get());
    }
    void Open(short number, const wchar_t* settings) {
        Put(dispid::kCommPort, core::Int16Value(number));
        PutText(dispid::kSettings, settings);
        Put(dispid::kPortOpen, core::BoolValue(true));
    }

    ComPtr<IDispatch> port_;
};

TEST_F(SerialComponent, StartsWithTheDesignValues) {
    core::ScopedVariant number, open;
    core::GetProperty(port_.Get(), dispid::kCommPort, number, L"CommPort");
    core::GetProperty(port_.Get(), dispid::kPortOpen, open, L"PortOpen");
    EXPECT_EQ(V_I2(&number.Get()), 1);
    EXPECT_EQ(SettingsNow(), L"9600,N,8,1");
    EXPECT_EQ(V_BOOL(&open.Get()), VARIANT_FALSE);
}

TEST_F(SerialComponent, TextBytesAndByteArraysArriveExactlyAtThePairedPort) {
    PortReader printer(L"COM6");
    ASSERT_TRUE(printer.IsOpen()) << "the harness maps COM6 to the far end of COM5";
    printer.Drain();
    Open(5, L"9600,N,8,1");
    PutText(dispid::kOutput, L"^XA^FDHello^FS^XZ\r\n");
    PutText(dispid::kOutput, L"");                 // nothing goes out, and nothing fails
    PutText(dispid::kOutput, L"Gr\u00f6\u00dfe");  // in the ANSI code page: one byte each

    const unsigned char raw[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, sizeof(raw));
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    memcpy(data, raw, sizeof(raw));
    SafeArrayUnaccessData(array);
    VARIANT bytes;
    V_VT(&bytes) = VT_ARRAY | VT_UI1;
    V_ARRAY(&bytes) = array;
    Put(dispid::kOutput, bytes);
    SafeArrayDestroy(array);

    VARIANT number;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 42;
    Put(dispid::kOutput, number);  // a number goes out as its text
    Put(dispid::kPortOpen, core::BoolValue(false));

    const std::string expected = std::string(
                                     "^XA^FDHello^FS^XZ\r\nGr\xf6\xdf"
                                     "e") +
                                 std::string(reinterpret_cast<const char*>(raw), sizeof(raw)) + "42";
    EXPECT_EQ(printer.Read(expected.size()), expected);
}

TEST_F(SerialComponent, RefusesBadValuesWithoutChangingWhatItHas) {
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kCommPort, core::Int16Value(0)); }), core::kInvalidPropertyValue);
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kCommPort, core::Int16Value(-3)); }), core::kInvalidPropertyValue);
    for (const wchar_t* bad : {L"fast", L"9600,X,8,1", L"9600,N,9,1", L"9600,N,3,1", L"9600,N,8,3", L"0,N,8,1",
                               L"9600,N,8", L"9600,N,8,1,1", L""}) {
        EXPECT_EQ(ErrorCodeOf([&] { PutText(dispid::kSettings, bad); }, &description), core::kInvalidPropertyValue)
            << bad;
        EXPECT_EQ(SettingsNow(), L"9600,N,8,1") << bad;
    }
    EXPECT_NE(description.find(L"Settings"), std::wstring::npos);
    for (const wchar_t* good : {L"19200,e,7,2", L"4800,O,8,1.5", L"115200,M,5,1", L"2400, S ,6,1"}) {
        EXPECT_EQ(ErrorCodeOf([&] { PutText(dispid::kSettings, good); }), S_OK) << good;
        EXPECT_EQ(SettingsNow(), good);
    }
}

TEST_F(SerialComponent, SettingsTheOpenLineRefusesLeaveTheOldOnesInPlace) {
    // The far end of COM10 hangs up after reading one byte; from then on the
    // line takes no settings, and the port keeps the last ones it took.
    Open(10, L"4800,N,8,1");
    PutText(dispid::kSettings, L"2400,E,7,1");
    PutText(dispid::kOutput, L"H");
    HRESULT refused = S_OK;
    std::wstring description;
    for (int attempt = 0; attempt < 200 && refused == S_OK; ++attempt) {
        Sleep(100);
        refused = ErrorCodeOf([&] { PutText(dispid::kSettings, L"19200,O,8,2"); }, &description);
        if (refused == S_OK) PutText(dispid::kSettings, L"2400,E,7,1");
    }
    ASSERT_TRUE(refused == core::kInvalidPropertyValue || refused == core::kPortOpenFailed)
        << std::hex << refused << " after the line hung up";
    EXPECT_EQ(SettingsNow(), L"2400,E,7,1");
    EXPECT_NE(description.find(L"COM10"), std::wstring::npos) << "names the port";
    ErrorCodeOf([&] { Put(dispid::kPortOpen, core::BoolValue(false)); });
}

TEST_F(SerialComponent, RefusesOutputWhenClosedAndOpeningTwice) {
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf([&] { PutText(dispid::kOutput, L"x"); }), core::kPortNotOpen);

    Put(dispid::kCommPort, core::Int16Value(9));  // nothing is mapped to COM9
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kPortOpen, core::BoolValue(true)); }, &description), core::kPortOpenFailed);
    EXPECT_NE(description.find(L"COM9"), std::wstring::npos) << "the description names the port";

    Open(5, L"9600,N,8,1");
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kPortOpen, core::BoolValue(true)); }), core::kPortAlreadyOpen);
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kCommPort, core::Int16Value(7)); }), core::kPortAlreadyOpen);
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    VARIANT notText;
    V_VT(&notText) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&notText) = array;
    EXPECT_EQ(ErrorCodeOf([&] { Put(dispid::kOutput, notText); }), core::kTypeMismatch);
    SafeArrayDestroy(array);
    Put(dispid::kPortOpen, core::BoolValue(false));
    Put(dispid::kPortOpen, core::BoolValue(false));  // closing a closed port is no failure
}

TEST_F(SerialComponent, AWriteToAPrinterThatStopsReadingTimesOutInsteadOfHanging) {
    // Nobody reads COM8: once the buffers along the way are full the write
    // stalls, and the timeout that follows from size and baud rate ends it.
    Open(7, L"4000000,N,8,1");
    const std::string job(1 << 20, 'Z');
    std::wstring description;
    EXPECT_EQ(ErrorCodeOf(
                  [&] {
                      SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(job.size()));
                      void* data = nullptr;
                      SafeArrayAccessData(array, &data);
                      memcpy(data, job.data(), job.size());
                      SafeArrayUnaccessData(array);
                      VARIANT bytes;
                      V_VT(&bytes) = VT_ARRAY | VT_UI1;
                      V_ARRAY(&bytes) = array;
                      try {
                          Put(dispid::kOutput, bytes);
                      } catch (...) {
                          SafeArrayDestroy(array);
                          throw;
                      }
                      SafeArrayDestroy(array);
                  },
                  &description),
              core::kWriteTimeout);
    EXPECT_NE(description.find(L"of 1048576 bytes"), std::wstring::npos) << "says how much went out";
    ErrorCodeOf([&] { Put(dispid::kPortOpen, core::BoolValue(false)); });
    port_.Reset();
    PortReader stalled(L"COM8");
    if (stalled.IsOpen()) stalled.Drain();
}

// A driver in the drain's place: a queue it reports every time, and a flush
// that sends, fails, or blocks until cancelled (30 s at most, so that a
// drain that waits for it shows as a success).
class FakeCommDriver final : public core::CommDriver {
public:
    enum class Flushing { kSends, kFails, kBlocks };
    FakeCommDriver(std::optional<DWORD> queued, Flushing flushing) : queued_(queued), flushing_(flushing) {}
    std::optional<DWORD> QueuedBytes(HANDLE) override { return queued_; }
    bool Flush(HANDLE) override {
        if (flushing_ == Flushing::kSends) return true;
        if (flushing_ == Flushing::kBlocks && WaitForSingleObject(cancelled_.Get(), 30000) == WAIT_TIMEOUT) return true;
        SetLastError(flushing_ == Flushing::kFails ? ERROR_GEN_FAILURE : ERROR_OPERATION_ABORTED);
        return false;
    }
    void CancelFlush(HANDLE) override { SetEvent(cancelled_.Get()); }
    bool Cancelled() const { return WaitForSingleObject(cancelled_.Get(), 0) == WAIT_OBJECT_0; }

private:
    std::optional<DWORD> queued_;
    Flushing flushing_;
    core::ScopedHandle cancelled_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

TEST(SerialPortDrain, IsBoundedByItsOwnClockWhateverTheDriverSays) {
    using Flushing = FakeCommDriver::Flushing;
    const struct {
        const char* what;
        std::optional<DWORD> queued;
        Flushing flushing;
        HRESULT code;
        const wchar_t* says;
        bool cancelled;
    } cases[] = {
        {"a driver that sends", 0, Flushing::kSends, S_OK, L"", false},
        {"a queue reported as zero with a flush that blocks", 0, Flushing::kBlocks, core::kWriteTimeout,
         L"does not say how many", true},
        {"no queue reported and a flush that fails", std::nullopt, Flushing::kFails, core::kDeviceIoError,
         L"could not be sent", false},
        {"the bound reached with bytes queued", 120, Flushing::kSends, core::kWriteTimeout,
         L"120 bytes had not gone out when COM5", false},
    };
    for (const auto& c : cases) {
        FakeCommDriver driver(c.queued, c.flushing);
        core::SerialPort port(driver, 100);
        port.SetSettings(L"4000000,N,8,1");  // the line time of a full buffer stays short
        port.SetCommPort(5);
        std::wstring description;
        ASSERT_EQ(ErrorCodeOf([&] { port.Open(); }), S_OK) << c.what;
        EXPECT_EQ(ErrorCodeOf([&] { port.Close(); }, &description), c.code) << c.what;
        EXPECT_NE(description.find(c.says), std::wstring::npos)
            << c.what << ": " << std::string(description.begin(), description.end());
        EXPECT_EQ(driver.Cancelled(), c.cancelled) << c.what;
        EXPECT_FALSE(port.IsOpen()) << c.what;
    }
}

TEST(PortOpenRefusal, ExplainsProtectedModeOnlyToALowIntegrityControlThatWasDenied) {
    const struct {
        DWORD error;
        DWORD integrity;
        bool explains;
    } cases[] = {
        {ERROR_ACCESS_DENIED, SECURITY_MANDATORY_LOW_RID, true},
        {ERROR_ACCESS_DENIED, SECURITY_MANDATORY_MEDIUM_RID, false},
        {ERROR_FILE_NOT_FOUND, SECURITY_MANDATORY_LOW_RID, false},
    };
    for (const auto& c : cases) {
        std::wstring description;
        SetLastError(c.error);
        EXPECT_EQ(ErrorCodeOf([&] { core::ThrowOpenFailed(L"COM3 could not be opened", [&] { return c.integrity; }); },
                              &description),
                  core::kPortOpenFailed);
        EXPECT_EQ(description.rfind(L"COM3 could not be opened: ", 0), 0u) << c.error;
        EXPECT_EQ(description.find(L"Protected Mode") != std::wstring::npos, c.explains)
            << c.error << " " << c.integrity;
        EXPECT_EQ(description.find(L"Trusted sites") != std::wstring::npos, c.explains) << c.error;
    }
}

TEST(LineSettings, ReadsTheFourFieldsIntoLineParameters) {
    const core::LineSettings settings = core::LineSettings::Parse(L"19200,E,7,2");
    EXPECT_EQ(settings.baud, 19200u);
    EXPECT_EQ(settings.parity, EVENPARITY);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_EQ(settings.stopBits, TWOSTOPBITS);
    EXPECT_EQ(settings.BitsPerByte(), 11u);
    EXPECT_EQ(core::LineSettings::Parse(L"9600,N,8,1").BitsPerByte(), 10u);
    EXPECT_EQ(core::LineSettings::Parse(L"9600,o,8,1.5").stopBits, ONE5STOPBITS);
}

}  // namespace
