// The Quennet control: ExecPrint's routing by mode against a recording
// serial port component (the parallel cases print nothing to the harness's
// LPT1), its connection points, and the built Quennet.ocx: registration,
// type library and a window class that survives unloading the library.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "errors.h"
#include "quennet_control.h"
#include "recording_dispatch.h"
#include "serial_port_component.h"
#include "site_lock_fakes.h"

using core::ScopedBstr;
using core::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace core::serial_dispid;

namespace {

const std::vector<DISPID> kSerialPrint = {kCommPort, kSettings, kPortOpen, kOutput, kPortOpen};
const std::vector<DISPID> kNothing = {};

// A value as the test tables write it: "s:<text>", "d:<number>", "null", "empty".
void SetSpec(ScopedVariant& v, const std::wstring& spec) {
    if (spec == L"null") return unit::SetNull(v);
    if (spec == L"empty") return void(v.Receive());
    if (spec.starts_with(L"d:")) return unit::SetR8(v, _wtof(spec.c_str() + 2));
    unit::SetText(v, spec.substr(2));
}

class QuennetPrint : public testing::Test {
protected:
    void SetUp() override {
        fake_ = unit::RecordingDispatch::Create();
        ASSERT_EQ(quennet::QuennetControl::CreateWith(fake_.Get(), IID__lumtag, &control_), S_OK);
        // Empty text: a parallel case opens and closes LPT1 and leaves no bytes behind.
        unit::SetText(text_, L"");
        unit::SetText(setting_, L"9600,N,8,1");
        unit::SetI2(port_, 5);
    }

    HRESULT Print(const std::wstring& mode) {
        SetSpec(mode_, mode);
        unit::SetI4(result_, 42);  // the control must empty it
        const HRESULT hr = control_->ExecPrint(text_.Ptr(), setting_.Ptr(), port_.Ptr(), mode_.Ptr(), result_.Ptr());
        EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
        return hr;
    }

    ComPtr<unit::RecordingDispatch> fake_;
    ComPtr<_lumtag> control_;
    ScopedVariant text_, setting_, port_, mode_, result_;
};

TEST_F(QuennetPrint, OnlyTheWordLptBetweenSpacesSelectsTheParallelPort) {
    const struct {
        const wchar_t* mode;
        bool parallel;
    } cases[] = {
        {L"s:LPT", true},    {L"s:  LPT ", true}, {L"s:lpt", false},     {L"s:Lpt", false},  {L"s:LPT1", false},
        {L"s:LPT\t", false}, {L"s:\tLPT", false}, {L"s:LPT\r\n", false}, {L"s:L PT", false}, {L"s:", false},
        {L"s:   ", false},   {L"empty", false},   {L"null", false},      {L"d:5", false},
    };
    for (const auto& c : cases) {
        SetUp();
        ASSERT_EQ(Print(c.mode), S_OK) << c.mode;
        EXPECT_EQ(fake_->Ids(), c.parallel ? kNothing : kSerialPrint) << c.mode;
    }
}

TEST_F(QuennetPrint, TheParallelPortReadsNeitherPortNorSettings) {
    unit::SetText(port_, L"abc");
    unit::SetNull(setting_);
    EXPECT_EQ(Print(L"s: LPT"), S_OK);
    EXPECT_EQ(fake_->CallCount(), 0u);
}

TEST_F(QuennetPrint, SerialArgumentsConvertOrFailBeforeThePortOpens) {
    const struct {
        const wchar_t* port;
        const wchar_t* setting;
        HRESULT code;
        size_t calls;    // calls the component saw
        short commPort;  // when it saw CommPort
    } cases[] = {
        {L"d:2.5", L"s:9600,N,8,1", S_OK, 5, 2},
        {L"d:3.5", L"s:9600,N,8,1", S_OK, 5, 4},
        {L"s:3", L"s:9600,N,8,1", S_OK, 5, 3},
        {L"empty", L"s:9600,N,8,1", S_OK, 5, 0},
        {L"s:abc", L"s:9600,N,8,1", core::kTypeMismatch, 0, 0},
        {L"d:40000", L"s:9600,N,8,1", core::kOverflow, 0, 0},
        {L"null", L"s:9600,N,8,1", core::kInvalidUseOfNull, 0, 0},
        {L"s:5", L"null", core::kInvalidUseOfNull, 1, 5},
    };
    for (const auto& c : cases) {
        SetUp();
        SetSpec(port_, c.port);
        SetSpec(setting_, c.setting);
        EXPECT_EQ(Print(L"s:COM"), c.code) << c.port << L" " << c.setting;
        ASSERT_EQ(fake_->CallCount(), c.calls) << c.port;
        if (c.calls > 0) {
            EXPECT_EQ(V_I2(&fake_->Call(0).value.Get()), c.commPort) << c.port;
        }
        if (FAILED(c.code)) {
            EXPECT_NE(unit::ThreadErrorDescription(), L"<none>") << c.port;
        }
    }
}

TEST_F(QuennetPrint, TheSerialPortGetsTheTextAsPassedAndIsClosedAfterAFailure) {
    unit::SetText(text_, L"  ^XA^FDa b^FS^XZ \r\n");
    ASSERT_EQ(Print(L"s:serial"), S_OK);
    EXPECT_EQ(fake_->OutputTexts(), std::vector<std::wstring>{L"  ^XA^FDa b^FS^XZ \r\n"});

    SetUp();
    fake_->FailFirstCallTo(kOutput, core::kWriteTimeout, L"the printer stopped");
    EXPECT_EQ(Print(L"s:serial"), core::kWriteTimeout);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"the printer stopped");
    ASSERT_EQ(fake_->Ids(), kSerialPrint) << "the port is closed after the failed write";
    EXPECT_EQ(V_BOOL(&fake_->Call(4).value.Get()), VARIANT_FALSE);
}

TEST_F(QuennetPrint, ConnectionPointsAndTheirConnectionsCanBeEnumerated) {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(control_.As(&container), S_OK);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
    IConnectionPoint* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    std::vector<IID> iids(2);
    for (ULONG i = 0; i < fetched; ++i) {
        got[i]->GetConnectionInterface(&iids[i]);
        got[i]->Release();
    }
    EXPECT_TRUE(iids[0] == DIID___lumtag && iids[1] == IID_IPropertyNotifySink);
    EXPECT_EQ(points->Reset(), S_OK);
    EXPECT_EQ(points->Skip(3), S_FALSE);
    ComPtr<IEnumConnectionPoints> copy;
    EXPECT_EQ(points->Clone(&copy), S_OK);
    EXPECT_EQ(copy->Next(1, got, nullptr), S_FALSE) << "a clone starts where the original stands";

    ComPtr<IConnectionPoint> events;
    ASSERT_EQ(container->FindConnectionPoint(DIID___lumtag, &events), S_OK);
    auto sink = unit::RecordingDispatch::Create(unit::RecordingDispatch::Mode::kSink);
    DWORD cookie = 0;
    ASSERT_EQ(events->Advise(sink.Get(), &cookie), S_OK);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(events->EnumConnections(&connections), S_OK);
    CONNECTDATA data{};
    ASSERT_EQ(connections->Next(1, &data, nullptr), S_OK);
    EXPECT_EQ(data.dwCookie, cookie);
    ComPtr<IUnknown> sinkIdentity;
    sink.As(&sinkIdentity);
    ComPtr<IUnknown> connectedIdentity;
    data.pUnk->QueryInterface(IID_PPV_ARGS(&connectedIdentity));
    EXPECT_EQ(connectedIdentity.Get(), sinkIdentity.Get());
    data.pUnk->Release();
    connectedIdentity.Reset();
    sinkIdentity.Reset();
    connections.Reset();
    EXPECT_EQ(events->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink->References(), 1u) << "enumerators released what they held";
}

// The site lock is Quennet's too: scripting only on a page of a listed site.
TEST(QuennetSafety, OnlyAPageOfAListedSiteMayScriptIt) {
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    ComPtr<IObjectSafety> safety;
    ASSERT_EQ(quennet::QuennetControl::Create(IID_IObjectSafety, &safety), S_OK);
    ComPtr<IOleObject> object;
    ASSERT_EQ(safety.As(&object), S_OK);
    const std::pair<const wchar_t*, HRESULT> cases[] = {{L"https://labels.example.com/", S_OK},
                                                        {L"https://labels.example.com.evil.net/", E_FAIL}};
    for (const auto& [page, verdict] : cases) {
        unit::FakeSite site(page);
        ASSERT_EQ(object->SetClientSite(&site), S_OK);
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID__lumtag, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                    INTERFACESAFE_FOR_UNTRUSTED_CALLER),
                  verdict);
        ASSERT_EQ(object->SetClientSite(nullptr), S_OK);
    }
}

// The built library, loaded from beside the test program.
class QuennetLibrary : public testing::Test {
protected:
    static std::wstring LibraryPath() {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring path(exe);
        path.resize(path.find_last_of(L"\\/") + 1);
        return path + L"Quennet.ocx";
    }
    template <class Function>
    static Function Export(HMODULE library, const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    }
    static std::wstring GuidText(const GUID& guid) {
        wchar_t text[40] = {};
        StringFromGUID2(guid, text, 40);
        return text;
    }
};

TEST_F(QuennetLibrary, RegistersItsOwnClassWithANameContainersShow) {
    HMODULE library = LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(library, nullptr);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = Export<Entry>(library, "DllRegisterServer");
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);

    LPOLESTR name = nullptr;
    ASSERT_EQ(OleRegGetUserType(CLSID_lumtag, USERCLASSTYPE_FULL, &name), S_OK);
    EXPECT_STREQ(name, L"Quennet.lumtag");
    CoTaskMemFree(name);
    CLSID fromProgId{};
    ASSERT_EQ(CLSIDFromProgID(L"Quennet.lumtag", &fromProgId), S_OK);
    EXPECT_TRUE(fromProgId == CLSID_lumtag);

    // Late binding through the registered type library.
    ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(CLSID_lumtag, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&control)), S_OK);
    const struct {
        const wchar_t* name;
        DISPID id;
    } names[] = {{L"ExecPrint", 0x60030001}, {L"execprint", 0x60030001}, {L"MemId", 0x68030000}};
    for (const auto& n : names) {
        DISPID id = 0;
        LPOLESTR asked = const_cast<LPOLESTR>(n.name);
        EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &asked, 1, LOCALE_USER_DEFAULT, &id), S_OK) << n.name;
        EXPECT_EQ(id, n.id) << n.name;
    }
    for (DISPID missing : {0, 0x60030000, 0x60030002}) {
        DISPPARAMS none{};
        EXPECT_EQ(
            control->Invoke(missing, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND)
            << missing;
    }
    control.Reset();

    // The version resource: 1.0.0.104.
    DWORD ignored = 0;
    std::vector<BYTE> version(GetFileVersionInfoSizeW(LibraryPath().c_str(), &ignored));
    ASSERT_TRUE(GetFileVersionInfoW(LibraryPath().c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 104u);
}

TEST_F(QuennetLibrary, AReloadedLibraryDrawsItsPanelAgain) {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    ASSERT_NE(atl, nullptr);
    using InitFunction = BOOL(WINAPI*)();
    using GetControlFunction = HRESULT(WINAPI*)(HWND, IUnknown**);
    const auto init = Export<InitFunction>(atl, "AtlAxWinInit");
    const auto getControl = Export<GetControlFunction>(atl, "AtlAxGetControl");
    ASSERT_NE(init, nullptr);
    ASSERT_NE(getControl, nullptr);
    ASSERT_TRUE(init());

    // Wine's container hosts the registered control; returns the panel's child count.
    auto hostOnce = [&]() -> int {
        HWND host = CreateWindowExW(0, L"AtlAxWin", L"Quennet.lumtag", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 500, 100,
                                    nullptr, nullptr, nullptr, nullptr);
        if (host == nullptr) return -1;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        int children = -1;
        ComPtr<IUnknown> control;
        ComPtr<IOleInPlaceObject> inPlace;
        HWND surface = nullptr;
        if (SUCCEEDED(getControl(host, &control)) && SUCCEEDED(control.As(&inPlace)) &&
            SUCCEEDED(inPlace->GetWindow(&surface))) {
            children = 0;
            for (HWND child = GetWindow(surface, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
                ++children;
            UpdateWindow(surface);  // the window procedure runs
        }
        inPlace.Reset();
        control.Reset();
        DestroyWindow(host);
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        return children;
    };

    EXPECT_EQ(hostOnce(), 3);
    const HMODULE first = GetModuleHandleW(LibraryPath().c_str());
    ASSERT_NE(first, nullptr) << "the container loaded the library from beside the test";
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    EXPECT_TRUE(GetClassInfoExW(first, L"ControlSurface", &windowClass)) << "registered in the library's name";
    // COM lets the library go once nothing of it is alive; the earlier
    // tests' loads are dropped too.
    CoFreeUnusedLibraries();
    while (GetModuleHandleW(LibraryPath().c_str()) != nullptr && FreeLibrary(first)) {
    }
    ASSERT_EQ(GetModuleHandleW(LibraryPath().c_str()), nullptr) << "the library unloaded";
    EXPECT_FALSE(GetClassInfoExW(first, L"ControlSurface", &windowClass)) << "its window class went with it";

    EXPECT_EQ(hostOnce(), 3) << "the reloaded library creates its panel";
    FreeLibrary(atl);
}

}  // namespace
