// The built Ostrel.ocx unloaded by COM while a connection to a name is being
// made: the host creates a control, connects it to "localhost", releases it
// and lets COM free unused libraries at once, many times over. The name
// lookup runs beside the host's thread; the library must stay mapped until
// that thread has left it. A program of its own, so that nothing else holds
// the library. A crash ends the program with exit code 3.
#include <winsock2.h>
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

// Enough rounds that the library without its own reference in the lookup
// thread crashed in every run seen under Wine.
constexpr int kRounds = 200;
volatile int g_round = -1;

std::wstring LibraryPath() {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + L"Ostrel.ocx";
}

// A port on 127.0.0.1 where nothing listens: bound by the system's choice,
// then let go. Winsock is released again, so only the control holds it.
u_short ClosedPort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    u_short port = 0;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(a);
    if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    return port;
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "crash in round %d: exception %08lx at %p\n", g_round, info->ExceptionRecord->ExceptionCode,
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

HRESULT SocConnect(IDispatch* control, const wchar_t* host, u_short port) {
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"SocConnect");
    HRESULT hr = control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    VARIANT arguments[2];  // in reverse order
    V_VT(&arguments[0]) = VT_I4;
    V_I4(&arguments[0]) = port;
    V_VT(&arguments[1]) = VT_BSTR;
    V_BSTR(&arguments[1]) = SysAllocString(host);
    DISPPARAMS parameters{arguments, nullptr, 2, 0};
    hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr, nullptr, nullptr);
    VariantClear(&arguments[1]);
    return hr;
}

TEST(OstrelUnload, UnloadingWhileALookupRunsNeitherCrashesNorKeepsTheLibrary) {
    SetUnhandledExceptionFilter(ReportCrash);
    HMODULE library = LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(library, nullptr) << "Ostrel.ocx must sit next to the test program";
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    FreeLibrary(library);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Tessmer.lumtag", &clsid), S_OK);
    const u_short closed = ClosedPort();
    ASSERT_NE(closed, 0);

    for (int round = 0; round < kRounds; ++round) {
        g_round = round;
        ComPtr<IDispatch> control;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&control)), S_OK) << round;
        ASSERT_EQ(SocConnect(control.Get(), L"localhost", closed), S_OK) << round;
        control.Reset();
        CoFreeUnusedLibrariesEx(0, 0);
    }
    // Every lookup ends and lets go of the library.
    const ULONGLONG end = GetTickCount64() + 10000;
    while (GetModuleHandleW(LibraryPath().c_str()) != nullptr && GetTickCount64() < end) {
        CoFreeUnusedLibrariesEx(0, 0);
        Sleep(20);
    }
    EXPECT_EQ(GetModuleHandleW(LibraryPath().c_str()), nullptr) << "the library is still loaded";
}

}  // namespace
