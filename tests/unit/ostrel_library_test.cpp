// The built Ostrel.ocx next to the test program: its four entry points,
// its class object, its lock count and its self-registration.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <thread>

#include "ostrel_control.h"
#include "recording_dispatch.h"

using core::ScopedBstr;
using Microsoft::WRL::ComPtr;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using NoArgumentFn = HRESULT(STDAPICALLTYPE*)();

template <class Function>
Function Export(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

bool KeyExists(const std::wstring& path) {
    core::ScopedKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

// The text value |name| (null: the default value) of HKCR\|path|; "<missing>" when absent.
std::wstring ValueOf(const std::wstring& path, const wchar_t* name = nullptr) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return data;
}

class OstrelLibraryTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring path(exe);
        path.resize(path.find_last_of(L"\\/") + 1);
        path += OSTREL_OCX_NAME;
        // Kept loaded for the whole run: COM may hold objects from it.
        library_ = LoadLibraryW(path.c_str());
    }

    void SetUp() override {
        ASSERT_NE(library_, nullptr) << "Ostrel.ocx must sit next to the test program";
        getClassObject_ = Export<GetClassObjectFn>(library_, "DllGetClassObject");
        canUnloadNow_ = Export<NoArgumentFn>(library_, "DllCanUnloadNow");
        register_ = Export<NoArgumentFn>(library_, "DllRegisterServer");
        unregister_ = Export<NoArgumentFn>(library_, "DllUnregisterServer");
        ASSERT_NE(getClassObject_, nullptr);
        ASSERT_NE(canUnloadNow_, nullptr);
        ASSERT_NE(register_, nullptr);
        ASSERT_NE(unregister_, nullptr);
    }

    static HMODULE library_;
    GetClassObjectFn getClassObject_ = nullptr;
    NoArgumentFn canUnloadNow_ = nullptr;
    NoArgumentFn register_ = nullptr;
    NoArgumentFn unregister_ = nullptr;
};

HMODULE OstrelLibraryTest::library_ = nullptr;

TEST_F(OstrelLibraryTest, ClassObjectCreatesControlsAndHoldsTheLibrary) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject_(IID_IDispatch, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(CLSID_lumtag, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_OK) << "no control and no lock yet";

    auto outer = unit::RecordingDispatch::Create();
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(aggregated, nullptr);

    ComPtr<_lumtag> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID__lumtag, &control), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a control lives";
    // The control from the library finds the library's own type library.
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(control->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info), S_OK);
    info.Reset();
    control.Reset();
    EXPECT_EQ(canUnloadNow_(), S_OK) << "after the last release";

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_FALSE) << "while LockServer(TRUE) holds";
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(canUnloadNow_(), S_OK) << "after the unlock";
}

TEST_F(OstrelLibraryTest, RegistersAndUnregistersItself) {
    const std::wstring clsid = GuidText(CLSID_lumtag);
    const std::wstring libid = GuidText(LIBID_Tessmer);
    const std::wstring classKey = L"CLSID\\" + clsid;
    const std::wstring typeLibKey = L"TypeLib\\" + libid + L"\\1.0";
    const std::wstring interfaceKey = L"Interface\\" + GuidText(IID__lumtag);

    ASSERT_EQ(register_(), S_OK);
    EXPECT_NE(ValueOf(classKey + L"\\InprocServer32"), L"<missing>");
    EXPECT_EQ(ValueOf(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ValueOf(classKey + L"\\ProgID"), L"Tessmer.lumtag");
    EXPECT_TRUE(KeyExists(classKey + L"\\Control"));
    EXPECT_EQ(ValueOf(classKey + L"\\MiscStatus\\1"), L"131473");
    const std::wstring bitmap = ValueOf(classKey + L"\\ToolboxBitmap32");
    EXPECT_TRUE(bitmap.size() > 7 && bitmap.ends_with(L", 30000")) << std::string(bitmap.begin(), bitmap.end());
    EXPECT_EQ(ValueOf(classKey + L"\\TypeLib"), libid);
    EXPECT_EQ(ValueOf(L"Tessmer.lumtag\\CLSID"), clsid);
    EXPECT_TRUE(KeyExists(typeLibKey));
    EXPECT_TRUE(KeyExists(interfaceKey)) << "the dual interface is registered with its type library";

    core::TaskMemText userType;
    ASSERT_EQ(OleRegGetUserType(CLSID_lumtag, USERCLASSTYPE_FULL, userType.Receive()), S_OK)
        << "the name containers show";
    EXPECT_STREQ(userType.Get(), L"Tessmer.lumtag");

    CLSID fromProgId{};
    ASSERT_EQ(CLSIDFromProgID(L"Tessmer.lumtag", &fromProgId), S_OK);
    EXPECT_TRUE(fromProgId == CLSID_lumtag);
    ComPtr<_lumtag> created;
    ASSERT_EQ(CoCreateInstance(fromProgId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&created)), S_OK);
    ScopedBstr text(SysAllocString(L"via ProgID"));
    EXPECT_EQ(created->put_MemId(text.Get()), S_OK);
    ScopedBstr read;
    EXPECT_EQ(created->get_MemId(read.Receive()), S_OK);
    EXPECT_EQ(read.View(), L"via ProgID");
    created.Reset();

    ASSERT_EQ(unregister_(), S_OK);
    EXPECT_FALSE(KeyExists(classKey));
    EXPECT_FALSE(KeyExists(L"Tessmer.lumtag"));
    EXPECT_FALSE(KeyExists(typeLibKey));
    EXPECT_FALSE(KeyExists(interfaceKey));
    CLSID gone{};
    EXPECT_NE(CLSIDFromProgID(L"Tessmer.lumtag", &gone), S_OK);

    // Registered again so that later tests of the run (and the end-to-end
    // tests sharing this prefix) find the control as the harness left it.
    ASSERT_EQ(register_(), S_OK);
    EXPECT_EQ(ValueOf(L"Tessmer.lumtag\\CLSID"), clsid);
}

// A caller on a thread of the multithreaded apartment reaches the control
// through a proxy built from the registered type library: the dual interface
// must be found there too, not only IDispatch.
TEST_F(OstrelLibraryTest, AnotherApartmentCallsThroughTheDualInterface) {
    ASSERT_EQ(register_(), S_OK);
    ScopedBstr path;
    EXPECT_EQ(QueryPathOfRegTypeLib(LIBID_Tessmer, 1, 0, LOCALE_NEUTRAL, path.Receive()), S_OK)
        << "the marshaller looks the library up for the neutral locale";

    ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(CLSID_lumtag, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&control)), S_OK);
    IStream* marshalled = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IDispatch, control.Get(), &marshalled), S_OK);

    HRESULT queried = E_FAIL, put = E_FAIL, got = E_FAIL;
    std::wstring read;
    core::ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread caller([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ComPtr<IDispatch> proxy;
            if (SUCCEEDED(CoGetInterfaceAndReleaseStream(marshalled, IID_PPV_ARGS(&proxy)))) {
                ComPtr<_lumtag> dual;
                queried = proxy->QueryInterface(IID__lumtag, &dual);
                if (SUCCEEDED(queried)) {
                    ScopedBstr text(SysAllocString(L"from another apartment"));
                    put = dual->put_MemId(text.Get());
                    ScopedBstr value;
                    got = dual->get_MemId(value.Receive());
                    read = value.View();
                }
            }
        }
        CoUninitialize();
        SetEvent(done.Get());
    });
    // The control lives in this apartment: its calls arrive as messages.
    const HANDLE waitFor = done.Get();
    while (MsgWaitForMultipleObjects(1, &waitFor, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    caller.join();
    EXPECT_EQ(queried, S_OK);
    EXPECT_EQ(put, S_OK);
    EXPECT_EQ(got, S_OK);
    EXPECT_EQ(read, L"from another apartment");
}

}  // namespace

namespace {

// The lowest free thread-local storage index and handle value: both rise
// when something is taken and not given back.
DWORD LowestFreeTlsIndex() {
    const DWORD index = TlsAlloc();
    TlsFree(index);
    return index;
}

uintptr_t LowestFreeHandle() {
    const core::ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return reinterpret_cast<uintptr_t>(event.Get());
}

}  // namespace

TEST(OstrelReload, EachUnloadGivesBackWhatTheRuntimeTookForTheLoad) {
    // A copy under another name loads as a module of its own, which the
    // suite's loaded library does not hold.
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring folder(exe);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const std::wstring copy = folder + L"ostrel_reload_copy.ocx";
    ASSERT_TRUE(CopyFileW((folder + OSTREL_OCX_NAME).c_str(), copy.c_str(), FALSE));

    // Each round throws a failure inside the library (dectohex of nine
    // digits overflows), which sets up the runtime's per-thread state.
    const auto round = [&] {
        core::UniqueValue<HMODULE, &FreeLibrary> library(LoadLibraryW(copy.c_str()));
        ASSERT_TRUE(library.IsValid());
        {
            ComPtr<IClassFactory> factory;
            ASSERT_EQ(
                Export<GetClassObjectFn>(library.Get(), "DllGetClassObject")(CLSID_lumtag, IID_PPV_ARGS(&factory)),
                S_OK);
            ComPtr<IDispatch> control;
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&control)), S_OK);
            ScopedBstr digits = ScopedBstr::Copy(L"FFFFFFFFF");
            VARIANT argument;
            V_VT(&argument) = VT_BSTR;
            V_BSTR(&argument) = digits.Get();
            DISPPARAMS parameters{&argument, nullptr, 1, 0};
            EXCEPINFO error{};
            EXPECT_EQ(control->Invoke(0x60030005, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr,
                                      &error, nullptr),
                      DISP_E_EXCEPTION);
            const ScopedBstr source(error.bstrSource), description(error.bstrDescription), help(error.bstrHelpFile);
        }
        library.Reset();
        ASSERT_EQ(GetModuleHandleW(copy.c_str()), nullptr) << "the copy unloaded";
    };

    round();  // one-time costs of the first load
    const DWORD tlsIndex = LowestFreeTlsIndex();
    const uintptr_t handle = LowestFreeHandle();
    for (int i = 0; i < 30 && !HasFatalFailure(); ++i) round();
    EXPECT_EQ(LowestFreeTlsIndex(), tlsIndex) << "thread-local storage indexes after 30 loads";
    EXPECT_LE(LowestFreeHandle(), handle + 4 * 4) << "handles (values step by 4) after 30 loads";
    DeleteFileW(copy.c_str());
}
