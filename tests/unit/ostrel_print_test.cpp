// ExecPrint and the other members of the Ostrel control, called through its
// vtable, against a recording serial port component.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "errors.h"
#include "ostrel_control.h"
#include "recording_dispatch.h"
#include "serial_port_component.h"
#include "serial_print.h"

using core::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace core::serial_dispid;

namespace {

class ExecPrintTest : public testing::Test {
protected:
    void SetUp() override {
        NewControl();
        unit::SetText(pur_, L"^XA^FO50,50^FDlabel^FS^XZ");
        unit::SetI4(wait_, 0);
        unit::SetText(setting_, L"9600,N,8,1");
        unit::SetI2(port_, 3);
    }

    void NewControl() {
        control_.Reset();
        fake_ = unit::RecordingDispatch::Create();
        ASSERT_EQ(ostrel::OstrelControl::CreateWith(fake_.Get(), IID__lumtag, &control_), S_OK);
    }

    HRESULT Print() {
        unit::SetI4(result_, 42);  // the control must empty it
        return control_->ExecPrint(pur_.Ptr(), wait_.Ptr(), setting_.Ptr(), port_.Ptr(), result_.Ptr());
    }

    // A failed member: its code, an empty result, a described error object.
    void ExpectFailure(HRESULT hr, HRESULT code) {
        EXPECT_EQ(hr, code);
        EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
        const std::wstring description = unit::ThreadErrorDescription();
        EXPECT_FALSE(description.empty());
        EXPECT_NE(description, L"<none>");
    }

    // A property put with the one value named DISPID_PROPERTYPUT.
    void ExpectPut(size_t index, DISPID id) { unit::ExpectPropertyPut(*fake_.Get(), index, id); }

    void ExpectPortOpen(size_t index, bool open) {
        ExpectPut(index, kPortOpen);
        const VARIANT& v = fake_->Call(index).value.Get();
        EXPECT_EQ(V_VT(&v), VT_BOOL);
        EXPECT_EQ(V_BOOL(&v), open ? VARIANT_TRUE : VARIANT_FALSE);
    }

    ComPtr<unit::RecordingDispatch> fake_;
    ComPtr<_lumtag> control_;
    ScopedVariant pur_, wait_, setting_, port_, result_;
};

const std::vector<DISPID> kWholePrint = {kCommPort, kSettings, kPortOpen, kOutput, kPortOpen};

TEST(CutIntoPieces, PiecesOfTheLengthFromTheFirstCharacterWithSpacesTrimmed) {
    const std::wstring full(ostrel::kPieceLength, L'A');
    const std::wstring spaces(ostrel::kPieceLength, L' ');
    const std::wstring padded = L"  " + std::wstring(ostrel::kPieceLength - 4, L'B') + L"  ";
    const struct {
        const char* name;
        std::wstring text;
        std::vector<std::wstring> pieces;
    } cases[] = {
        {"nothing", L"", {}},
        {"shorter than a piece", L" a b ", {L"a b"}},
        {"one whole piece", full, {full}},
        {"a piece and one character", full + L"C", {full, L"C"}},
        {"spaces only", spaces + L"  ", {L"", L""}},
        {"spaces at each piece's ends",
         padded + padded + L" Z",
         {padded.substr(2, padded.size() - 4), padded.substr(2, padded.size() - 4), L"Z"}},
        {"cut before trimming", L"x" + spaces + L"y", {L"x", L"y"}},
        {"only U+0020 is a space", L"\t\u00a0x\r\n", {L"\t\u00a0x\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::wstring_view> pieces = ostrel::CutIntoPieces(c.text);
        EXPECT_EQ(std::vector<std::wstring>(pieces.begin(), pieces.end()), c.pieces);
    }
}

TEST_F(ExecPrintTest, ShortStreamGoesOutOnceAsPassed) {
    unit::SetText(pur_, L"  ^XA hello ^XZ \t ");
    ASSERT_EQ(Print(), S_OK);
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    ASSERT_EQ(fake_->Ids(), kWholePrint);
    ExpectPut(0, kCommPort);
    EXPECT_EQ(V_VT(&fake_->Call(0).value.Get()), VT_I2);
    EXPECT_EQ(V_I2(&fake_->Call(0).value.Get()), 3);
    ExpectPut(1, kSettings);
    EXPECT_EQ(unit::TextOf(fake_->Call(1).value.Get()), L"9600,N,8,1");
    ExpectPortOpen(2, true);
    ExpectPut(3, kOutput);
    EXPECT_EQ(unit::TextOf(fake_->Call(3).value.Get()), L"  ^XA hello ^XZ \t ");
    ExpectPortOpen(4, false);

    // A number stays a number; a numeric SETTING is put as its text.
    NewControl();
    unit::SetI4(pur_, 12345);
    unit::SetI4(setting_, 9600);
    ASSERT_EQ(Print(), S_OK);
    ASSERT_EQ(fake_->Ids(), kWholePrint);
    EXPECT_EQ(unit::TextOf(fake_->Call(1).value.Get()), L"9600");
    EXPECT_EQ(V_VT(&fake_->Call(3).value.Get()), VT_I4);
    EXPECT_EQ(V_I4(&fake_->Call(3).value.Get()), 12345);

    // The empty text: one Output of it, the port still opened and closed.
    NewControl();
    unit::SetText(pur_, L"");
    ASSERT_EQ(Print(), S_OK);
    ASSERT_EQ(fake_->Ids(), kWholePrint);
    EXPECT_EQ(V_VT(&fake_->Call(3).value.Get()), VT_BSTR);
    EXPECT_EQ(unit::TextOf(fake_->Call(3).value.Get()), L"");
    ExpectPortOpen(2, true);
    ExpectPortOpen(4, false);

    // 4047 characters (8094 bytes) is still one untouched Output.
    NewControl();
    const std::wstring longest = L" " + std::wstring(4045, L'x') + L" ";
    unit::SetText(pur_, longest);
    ASSERT_EQ(Print(), S_OK);
    EXPECT_EQ(fake_->OutputTexts(), std::vector<std::wstring>{longest});
}

TEST_F(ExecPrintTest, PortIsConvertedToShortBeforeAnythingElse) {
    struct Case {
        const char* name;
        void (*set)(ScopedVariant&);
        short expected;
    };
    const Case cases[] = {
        {"empty", [](ScopedVariant& v) { v.Receive(); }, 0},
        {"\"3\"", [](ScopedVariant& v) { unit::SetText(v, L"3"); }, 3},
        {"2.5", [](ScopedVariant& v) { unit::SetR8(v, 2.5); }, 2},
        {"3.5", [](ScopedVariant& v) { unit::SetR8(v, 3.5); }, 4},
        {"long 7", [](ScopedVariant& v) { unit::SetI4(v, 7); }, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewControl();
        c.set(port_);
        ASSERT_EQ(Print(), S_OK);
        ASSERT_EQ(fake_->Ids(), kWholePrint);
        EXPECT_EQ(V_VT(&fake_->Call(0).value.Get()), VT_I2);
        EXPECT_EQ(V_I2(&fake_->Call(0).value.Get()), c.expected);
    }

    const struct {
        const char* name;
        void (*set)(ScopedVariant&);
        HRESULT code;
    } failures[] = {
        {"40000", [](ScopedVariant& v) { unit::SetI4(v, 40000); }, core::kOverflow},
        {"\"abc\"", [](ScopedVariant& v) { unit::SetText(v, L"abc"); }, core::kTypeMismatch},
        {"Null", [](ScopedVariant& v) { unit::SetNull(v); }, core::kInvalidUseOfNull},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        NewControl();
        f.set(port_);
        ExpectFailure(Print(), f.code);
        EXPECT_EQ(fake_->CallCount(), 0u) << "nothing may be touched before PORT converts";
    }
}

TEST_F(ExecPrintTest, NullSettingFailsAfterCommPortBeforeOpening) {
    unit::SetNull(setting_);
    ExpectFailure(Print(), core::kInvalidUseOfNull);
    EXPECT_EQ(fake_->Ids(), std::vector<DISPID>{kCommPort});
}

TEST_F(ExecPrintTest, LongStreamGoesOutInSpaceTrimmedPieces) {
    const std::wstring piece1 = L"  " + std::wstring(8086, L'A') + L"  ";
    const std::wstring piece2 = L" \t" + std::wstring(8085, L'B') + L"\r\n ";
    const std::wstring piece3(8090, L' ');
    const std::wstring tail = L"  Z";
    ASSERT_EQ(piece1.size(), 8090u);
    ASSERT_EQ(piece2.size(), 8090u);
    unit::SetText(pur_, piece1 + piece2 + piece3 + tail);
    ASSERT_EQ(Print(), S_OK);
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    EXPECT_EQ(fake_->Ids(),
              (std::vector<DISPID>{kCommPort, kSettings, kPortOpen, kOutput, kOutput, kOutput, kOutput, kPortOpen}));
    const std::vector<std::wstring> expected = {std::wstring(8086, L'A'), L"\t" + std::wstring(8085, L'B') + L"\r\n",
                                                L"", L"Z"};
    EXPECT_EQ(fake_->OutputTexts(), expected);
    for (size_t i = 3; i < 7; ++i) ExpectPut(i, kOutput);
    ExpectPortOpen(7, false);

    // 4048 characters (8096 bytes) already takes the piece path: one trimmed piece.
    NewControl();
    unit::SetText(pur_, L" " + std::wstring(4046, L'x') + L" ");
    ASSERT_EQ(Print(), S_OK);
    EXPECT_EQ(fake_->OutputTexts(), std::vector<std::wstring>{std::wstring(4046, L'x')});
}

TEST_F(ExecPrintTest, ByteArrayGoesOutWholeInOnePut) {
    for (ULONG size : {3ul, 20000ul}) {
        SCOPED_TRACE(size);
        NewControl();
        SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, size);
        ASSERT_NE(bytes, nullptr);
        auto* data = static_cast<BYTE*>(bytes->pvData);
        for (ULONG i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i % 251);
        data[0] = data[size - 1] = 0x20;  // spaces at both ends must stay
        VARIANT* p = pur_.Receive();
        V_VT(p) = VT_ARRAY | VT_UI1;
        V_ARRAY(p) = bytes;

        ASSERT_EQ(Print(), S_OK);
        ASSERT_EQ(fake_->Ids(), kWholePrint);
        const VARIANT& sent = fake_->Call(3).value.Get();
        ASSERT_EQ(V_VT(&sent), VT_ARRAY | VT_UI1);
        ASSERT_EQ(SafeArrayGetDim(V_ARRAY(&sent)), 1u);
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(V_ARRAY(&sent), 1, &lower);
        SafeArrayGetUBound(V_ARRAY(&sent), 1, &upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, static_cast<LONG>(size) - 1);
        EXPECT_EQ(memcmp(V_ARRAY(&sent)->pvData, data, size), 0);
    }
}

TEST_F(ExecPrintTest, WaitFollowsTheWritesAndPrecedesClosing) {
    unit::SetText(wait_, L"1500");
    ASSERT_EQ(Print(), S_OK);
    ASSERT_EQ(fake_->Ids(), kWholePrint);
    EXPECT_GE(fake_->Call(4).tick - fake_->Call(3).tick, 1400u) << "no wait between Output and closing";

    // A negative wait is no wait.
    NewControl();
    unit::SetI4(wait_, -5000);
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(Print(), S_OK);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(fake_->Ids(), kWholePrint);

    // N_TIME converts only after the whole stream went out; the port is closed.
    NewControl();
    unit::SetText(pur_, std::wstring(8090, L'a') + L"b");
    unit::SetText(wait_, L"abc");
    ExpectFailure(Print(), core::kTypeMismatch);
    EXPECT_EQ(fake_->OutputTexts(), (std::vector<std::wstring>{std::wstring(8090, L'a'), L"b"}));
    ASSERT_EQ(fake_->CallCount(), 6u);
    ExpectPortOpen(5, false);
}

TEST_F(ExecPrintTest, FailureAfterOpeningClosesThePortAndKeepsTheOriginalError) {
    fake_->FailFirstCallTo(kOutput, core::kWriteTimeout, L"fake: write timed out");
    EXPECT_EQ(Print(), core::kWriteTimeout);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"fake: write timed out");
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    ASSERT_EQ(fake_->Ids(), kWholePrint);
    ExpectPortOpen(4, false);

    // The second piece fails and so does the close: the caller sees the write's failure.
    NewControl();
    unit::SetText(pur_, std::wstring(8090 * 2, L'q') + L"r");
    fake_->FailCall(5, core::kDeviceIoError, L"fake: device gone");
    fake_->FailCall(6, core::kPortNotOpen, L"fake: close refused");
    EXPECT_EQ(Print(), core::kDeviceIoError);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"fake: device gone");
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    EXPECT_EQ(fake_->Ids(), (std::vector<DISPID>{kCommPort, kSettings, kPortOpen, kOutput, kOutput, kPortOpen}));

    // A Null stream fails after opening and closes too.
    NewControl();
    unit::SetNull(pur_);
    ExpectFailure(Print(), core::kInvalidUseOfNull);
    EXPECT_EQ(fake_->Ids(), (std::vector<DISPID>{kCommPort, kSettings, kPortOpen, kPortOpen}));
    ExpectPortOpen(3, false);
}

TEST_F(ExecPrintTest, ComponentFailureBeforeWritingStopsThere) {
    fake_->FailCall(1, core::kPortAlreadyOpen, L"fake: already open");
    EXPECT_EQ(Print(), core::kPortAlreadyOpen);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"fake: already open");
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    EXPECT_EQ(fake_->Ids(), std::vector<DISPID>{kCommPort});

    NewControl();
    fake_->FailFirstCallTo(kPortOpen, core::kPortOpenFailed, L"fake: no such port");
    EXPECT_EQ(Print(), core::kPortOpenFailed);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"fake: no such port");
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    for (DISPID id : fake_->Ids()) EXPECT_NE(id, kOutput) << "nothing may be written to an unopened port";
}

TEST_F(ExecPrintTest, MemIdKeepsItsText) {
    core::ScopedBstr text(SysAllocString(L"LINE-7 \x00e9"));
    ASSERT_EQ(control_->put_MemId(text.Get()), S_OK);
    core::ScopedBstr read;
    ASSERT_EQ(control_->get_MemId(read.Receive()), S_OK);
    EXPECT_EQ(read.View(), L"LINE-7 \x00e9");
    ASSERT_EQ(control_->put_MemId(nullptr), S_OK);
    ASSERT_EQ(control_->get_MemId(read.Receive()), S_OK);
    EXPECT_EQ(read.Length(), 0u);
}

TEST_F(ExecPrintTest, ControlReleasesTheComponentItHolds) {
    control_.Reset();
    EXPECT_EQ(fake_->References(), 1u) << "a control released unused";

    NewControl();
    ASSERT_EQ(Print(), S_OK);
    fake_->FailFirstCallTo(kOutput, core::kWriteTimeout, L"fake");
    EXPECT_EQ(Print(), core::kWriteTimeout);
    EXPECT_GT(fake_->References(), 1u) << "the control must hold the component";
    control_.Reset();
    EXPECT_EQ(fake_->References(), 1u) << "only the test's own reference may be left";
}

}  // namespace
