// The Ostrel control's network print connection: SocConnect, SocSts and
// SendData against a recording socket component, and against listeners of
// the test's own on 127.0.0.1 (ports chosen by the system).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors.h"
#include "ostrel_control.h"
#include "recording_dispatch.h"
#include "scoped_socket.h"
#include "socket_component.h"

using core::ScopedBstr;
using core::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace ostrel::socket_dispid;

namespace {

constexpr DWORD kStateWaitMs = 5000;

using Socket = core::ScopedSocket;

struct Wsa {
    Wsa() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Wsa() {
        if (ok) WSACleanup();
    }
    bool ok = false;
};

// A socket bound to 127.0.0.1:|port| (0: the system chooses); 0 when binding failed.
u_short Bind(Socket& s, u_short port) {
    s = Socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!s.IsValid() || bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 0;
    int length = sizeof(a);
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A listener on 127.0.0.1 with a thread that accepts, and reads, closes or
// holds each connection. The thread stops when the listener goes.
class Listener {
public:
    // kReadSlowly: a printer with a small receive buffer that takes at most
    // kSlowBytes, then pauses kSlowPauseMs, and so on (at most 3.2 MiB a second).
    enum class Mode { kRead, kReadSlowly, kCloseAtOnce, kNeverRead };
    static constexpr DWORD kSlowPauseMs = 20;
    static constexpr int kSlowBytes = 64 * 1024;

    explicit Listener(Mode mode, u_short port = 0) : mode_(mode) {
        port_ = Bind(listen_, port);
        const int small = 256 * 1024;
        if (mode == Mode::kReadSlowly)
            setsockopt(listen_.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof(small));
        if (port_ == 0 || listen(listen_.Get(), 4) != 0) {
            port_ = 0;
            return;
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~Listener() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

    u_short Port() const { return port_; }
    int Accepted() const { return accepted_; }
    std::string Bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    bool WaitAccepted(int n = 1) const {
        return Wait(kStateWaitMs, [&] { return accepted_ >= n; });
    }
    bool WaitBytes(size_t n, DWORD ms = kStateWaitMs) const {
        return Wait(ms, [&] { return Bytes().size() >= n; });
    }
    // Every connection accepted so far has been closed by the control.
    bool WaitEnd(DWORD ms) const {
        return Wait(ms, [&] { return accepted_ > 0 && ended_ == accepted_; });
    }
    // Closes what it holds from now on (a kNeverRead peer that was waited on too long).
    void Drop() { drop_ = true; }
    // Reads without pauses from now on.
    void Hurry() { hurry_ = true; }

private:
    template <typename Done>
    static bool Wait(DWORD ms, Done done) {
        const ULONGLONG end = GetTickCount64() + ms;
        while (!done()) {
            if (GetTickCount64() > end) return false;
            Sleep(10);
        }
        return true;
    }

    void Run() {
        std::vector<Socket> open;
        std::vector<char> chunk(mode_ == Mode::kReadSlowly ? kSlowBytes : 64 * 1024);
        const bool reads = mode_ == Mode::kRead || mode_ == Mode::kReadSlowly;
        while (!stop_) {
            if (drop_) open.clear();
            if (mode_ == Mode::kReadSlowly && !hurry_) Sleep(kSlowPauseMs);
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listen_.Get(), &set);
            if (reads)
                for (const Socket& s : open) FD_SET(s.Get(), &set);
            timeval wait{0, 20000};
            if (select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
            if (FD_ISSET(listen_.Get(), &set)) {
                Socket s(accept(listen_.Get(), nullptr, nullptr));
                if (s.IsValid()) {
                    ++accepted_;
                    if (mode_ != Mode::kCloseAtOnce) open.push_back(std::move(s));
                }
            }
            for (auto it = open.begin(); reads && it != open.end();) {
                if (!FD_ISSET(it->Get(), &set)) {
                    ++it;
                    continue;
                }
                const int got = recv(it->Get(), chunk.data(), static_cast<int>(chunk.size()), 0);
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    bytes_.append(chunk.data(), static_cast<size_t>(got));
                    ++it;
                } else {
                    ++ended_;
                    it = open.erase(it);
                }
            }
        }
    }

    const Mode mode_;
    Wsa wsa_;
    Socket listen_;
    u_short port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false}, drop_{false}, hurry_{false};
    std::atomic<int> accepted_{0}, ended_{0};
    mutable std::mutex mutex_;
    std::string bytes_;
};

// A port where nothing listens: bound by the system's choice, then let go.
u_short ClosedPort() {
    Wsa wsa;
    Socket s;
    return Bind(s, 0);
}

void SetBytes(ScopedVariant& v, const std::string& bytes) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    ASSERT_NE(array, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    VARIANT* p = v.Receive();
    V_VT(p) = VT_ARRAY | VT_UI1;
    V_ARRAY(p) = array;
}

// A pattern that does not repeat with any power-of-two chunk size.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Calls on one control, as a host page would make them.
class NetworkTestBase : public testing::Test {
protected:
    HRESULT Connect(_lumtag* control, const VARIANT& host, const VARIANT& port) {
        ScopedVariant h, p;
        VariantCopy(h.Ptr(), const_cast<VARIANT*>(&host));
        VariantCopy(p.Ptr(), const_cast<VARIANT*>(&port));
        unit::SetI4(result_, 42);  // the control must empty it
        return control->SocConnect(h.Ptr(), p.Ptr(), result_.Ptr());
    }
    HRESULT Connect(_lumtag* control, std::wstring_view host, u_short port) {
        ScopedVariant h, p;
        unit::SetText(h, host);
        unit::SetI4(p, port);
        return Connect(control, h.Get(), p.Get());
    }
    HRESULT Send(_lumtag* control, ScopedVariant& data) {
        unit::SetI4(result_, 42);
        return control->SendData(data.Ptr(), result_.Ptr());
    }
    HRESULT SendText(_lumtag* control, std::wstring_view text) {
        ScopedVariant data;
        unit::SetText(data, text);
        return Send(control, data);
    }
    std::wstring State(_lumtag* control) {
        ScopedBstr state;
        const HRESULT hr = control->SocSts(state.Receive());
        EXPECT_EQ(hr, S_OK) << "SocSts: " << unit::ThreadErrorDescription();
        return std::wstring(state.View());
    }
    // Polls SocSts until it reads |want|, or a state that does not move on
    // by itself, or 5 s passed; gives the last reading.
    std::wstring WaitState(_lumtag* control, const std::wstring& want) {
        const ULONGLONG end = GetTickCount64() + kStateWaitMs;
        std::wstring state = State(control);
        while (state != want && state != L"9" && state != L"0" && GetTickCount64() < end) {
            Sleep(10);
            state = State(control);
        }
        return state;
    }
    // A failed member: its code, an empty result, a described error object
    // (whose description it gives; reading it clears the thread's error object).
    std::wstring ExpectFailure(HRESULT hr, HRESULT code) {
        EXPECT_EQ(hr, code) << std::hex << hr;
        EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
        const std::wstring description = unit::ThreadErrorDescription();
        EXPECT_FALSE(description.empty());
        EXPECT_NE(description, L"<none>");
        return description;
    }

    ScopedVariant result_;
};

// ---- Against a recording socket component ----

class NetworkFakeSocketTest : public NetworkTestBase {
protected:
    void SetUp() override {
        serial_ = unit::RecordingDispatch::Create(unit::RecordingDispatch::Mode::kSink);
        socket_ = unit::RecordingDispatch::Create();
        ASSERT_EQ(ostrel::OstrelControl::CreateWith(serial_.Get(), socket_.Get(), IID__lumtag, &control_), S_OK);
    }
    void ExpectPut(size_t index, DISPID id) { unit::ExpectPropertyPut(*socket_.Get(), index, id); }

    ComPtr<unit::RecordingDispatch> serial_, socket_;
    ComPtr<_lumtag> control_;
};

TEST_F(NetworkFakeSocketTest, ConnectSetsHostThenPortThenConnects) {
    ScopedVariant host, port;
    unit::SetText(host, L"127.0.0.1");
    unit::SetText(port, L"9100");
    ASSERT_EQ(Connect(control_.Get(), host.Get(), port.Get()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    ASSERT_EQ(socket_->Ids(), (std::vector<DISPID>{kRemoteHost, kRemotePort, kConnect}));
    ExpectPut(0, kRemoteHost);
    EXPECT_EQ(unit::TextOf(socket_->Call(0).value.Get()), L"127.0.0.1");
    ExpectPut(1, kRemotePort);
    const VARIANT& p = socket_->Call(1).value.Get();
    EXPECT_EQ(V_VT(&p), VT_I4);
    EXPECT_EQ(V_I4(&p), 9100);
    EXPECT_EQ(socket_->Call(2).flags, DISPATCH_METHOD);
    EXPECT_EQ(socket_->Call(2).argumentCount, 0u);
}

TEST_F(NetworkFakeSocketTest, HalfPortsRoundToEven) {
    const std::pair<double, long> cases[] = {{9100.5, 9100}, {9101.5, 9102}, {9100.49, 9100}, {9100.51, 9101}};
    for (const auto& [given, expected] : cases) {
        SetUp();
        ScopedVariant host, port;
        unit::SetText(host, L"127.0.0.1");
        unit::SetR8(port, given);
        ASSERT_EQ(Connect(control_.Get(), host.Get(), port.Get()), S_OK) << given;
        ASSERT_EQ(socket_->Ids(), (std::vector<DISPID>{kRemoteHost, kRemotePort, kConnect})) << given;
        const VARIANT& p = socket_->Call(1).value.Get();
        EXPECT_EQ(V_VT(&p), VT_I4) << given;
        EXPECT_EQ(V_I4(&p), expected) << given;
    }
}

TEST_F(NetworkFakeSocketTest, UnconvertiblePortFailsAfterHostWasSet) {
    ScopedVariant host, port;
    unit::SetText(host, L"127.0.0.1");
    unit::SetText(port, L"abc");
    ExpectFailure(Connect(control_.Get(), host.Get(), port.Get()), core::kTypeMismatch);
    EXPECT_EQ(socket_->Ids(), std::vector<DISPID>{kRemoteHost});
}

TEST_F(NetworkFakeSocketTest, NullHostFailsBeforeAnythingIsSet) {
    ScopedVariant host, port;
    unit::SetNull(host);
    unit::SetI4(port, 9100);
    ExpectFailure(Connect(control_.Get(), host.Get(), port.Get()), core::kInvalidUseOfNull);
    EXPECT_EQ(socket_->CallCount(), 0u);
}

TEST_F(NetworkFakeSocketTest, FailingConnectFailsSocConnectWithItsCodeAndText) {
    socket_->FailFirstCallTo(kConnect, core::kDeviceIoError, L"the fake cannot reach 127.0.0.1");
    EXPECT_EQ(ExpectFailure(Connect(control_.Get(), L"127.0.0.1", 9100), core::kDeviceIoError),
              L"the fake cannot reach 127.0.0.1");
    EXPECT_EQ(socket_->Ids(), (std::vector<DISPID>{kRemoteHost, kRemotePort, kConnect}));
}

TEST_F(NetworkFakeSocketTest, SendDataHandsOverTheCallersValue) {
    ScopedVariant text, number, byRef;
    unit::SetText(text, L" ^XA Gr\u00f6\u00dfe\r\n");
    unit::SetI4(number, 42);
    VARIANT* r = byRef.Ptr();
    V_VT(r) = VT_BYREF | VT_BSTR;
    V_BSTRREF(r) = &V_BSTR(text.Ptr());  // borrowed: clearing a by-reference variant frees nothing
    ASSERT_EQ(Send(control_.Get(), text), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    ASSERT_EQ(Send(control_.Get(), number), S_OK) << unit::ThreadErrorDescription();
    ASSERT_EQ(Send(control_.Get(), byRef), S_OK) << unit::ThreadErrorDescription();
    ASSERT_EQ(socket_->Ids(), (std::vector<DISPID>{kSendData, kSendData, kSendData}));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(socket_->Call(i).flags, DISPATCH_METHOD) << i;
        EXPECT_EQ(socket_->Call(i).argumentCount, 1u) << i;
    }
    EXPECT_EQ(unit::TextOf(socket_->Call(0).value.Get()), L" ^XA Gr\u00f6\u00dfe\r\n");
    EXPECT_EQ(V_VT(&socket_->Call(1).value.Get()), VT_I4);  // not turned into text
    EXPECT_EQ(V_I4(&socket_->Call(1).value.Get()), 42);
    EXPECT_EQ(unit::TextOf(socket_->Call(2).value.Get()), L" ^XA Gr\u00f6\u00dfe\r\n");
}

TEST_F(NetworkFakeSocketTest, ReleasingTheControlLetsGoOfTheSocketComponent) {
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", 9100), S_OK) << unit::ThreadErrorDescription();
    EXPECT_GT(socket_->References(), 1u) << "the control must hold the component";
    control_.Reset();
    EXPECT_EQ(socket_->References(), 1u) << "only the test's own reference may be left";
}

// A socket component that only answers State, with a value the test sets.
class StateDispatch final : public unit::DispatchFake<> {
public:
    ScopedVariant state;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) noexcept override {
        if (id != kState || !(flags & DISPATCH_PROPERTYGET) || result == nullptr) return unit::Unexpected("Invoke");
        VariantInit(result);
        return VariantCopy(result, state.Ptr());
    }
};

TEST(NetworkFakeStateTest, SocStsShowsTheComponentsStateAsDecimalText) {
    ComPtr<StateDispatch> socket = unit::NewFake<StateDispatch>();
    ComPtr<unit::RecordingDispatch> serial = unit::RecordingDispatch::Create(unit::RecordingDispatch::Mode::kSink);
    ComPtr<_lumtag> control;
    ASSERT_EQ(ostrel::OstrelControl::CreateWith(serial.Get(), socket.Get(), IID__lumtag, &control), S_OK);
    const auto expect = [&](const wchar_t* want) {
        ScopedBstr text;
        ASSERT_EQ(control->SocSts(text.Receive()), S_OK) << unit::ThreadErrorDescription();
        EXPECT_EQ(text.View(), want);
    };
    unit::SetI4(socket->state, 7);
    expect(L"7");
    unit::SetR8(socket->state, 8);
    expect(L"8");
    unit::SetText(socket->state, L"-1");
    expect(L"-1");
    unit::SetI2(socket->state, 9);
    expect(L"9");
}

// ---- Against listeners on 127.0.0.1 ----

class NetworkLoopbackTest : public NetworkTestBase {
protected:
    void SetUp() override { control_ = NewControl(); }
    ComPtr<_lumtag> NewControl() {
        ComPtr<_lumtag> control;
        EXPECT_EQ(ostrel::OstrelControl::Create(IID__lumtag, &control), S_OK);
        return control;
    }
    ComPtr<_lumtag> NewControl(DWORD sendIdleLimitMs) {
        ComPtr<IDispatch> socket;
        EXPECT_EQ(ostrel::CreateSocketComponentWith(sendIdleLimitMs, &socket), S_OK);
        ComPtr<_lumtag> control;
        EXPECT_EQ(ostrel::OstrelControl::CreateWith(
                      unit::RecordingDispatch::Create(unit::RecordingDispatch::Mode::kSink).Get(), socket.Get(),
                      IID__lumtag, &control),
                  S_OK);
        return control;
    }
    // Connects a new control to a new listener, sends |data|, lets the control go
    // and gives what the listener read up to the close.
    std::string SendAndCollect(ScopedVariant& data) {
        Listener listener(Listener::Mode::kRead);
        EXPECT_NE(listener.Port(), 0);
        ComPtr<_lumtag> control = NewControl();
        EXPECT_EQ(Connect(control.Get(), L"127.0.0.1", listener.Port()), S_OK) << unit::ThreadErrorDescription();
        EXPECT_EQ(WaitState(control.Get(), L"7"), L"7");
        EXPECT_EQ(Send(control.Get(), data), S_OK) << unit::ThreadErrorDescription();
        control.Reset();
        EXPECT_TRUE(listener.WaitEnd(kStateWaitMs)) << "the control was let go but the connection never closed";
        return listener.Bytes();
    }

    ComPtr<_lumtag> control_;
};

TEST_F(NetworkLoopbackTest, SocStsIsZeroThroughIDispatchBeforeAnyConnect) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(control_.As(&dispatch), S_OK);
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"SocSts");
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    DISPPARAMS none{};
    ScopedVariant result;
    ASSERT_EQ(dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                               result.Ptr(), nullptr, nullptr),
              S_OK);
    ASSERT_EQ(V_VT(&result.Get()), VT_BSTR);
    EXPECT_EQ(unit::TextOf(result.Get()), L"0");
}

TEST_F(NetworkLoopbackTest, TextPortConnectsAndLocalhostResolves) {
    Listener listener(Listener::Mode::kRead);
    ASSERT_NE(listener.Port(), 0);
    ScopedVariant host, port;
    unit::SetText(host, L"127.0.0.1");
    unit::SetText(port, std::to_wstring(listener.Port()));
    ASSERT_EQ(Connect(control_.Get(), host.Get(), port.Get()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    EXPECT_EQ(WaitState(control_.Get(), L"7"), L"7");
    EXPECT_TRUE(listener.WaitAccepted());

    ComPtr<_lumtag> byName = NewControl();
    ASSERT_EQ(Connect(byName.Get(), L"localhost", listener.Port()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(byName.Get(), L"7"), L"7");
    EXPECT_TRUE(listener.WaitAccepted(2)) << listener.Accepted();
}

TEST_F(NetworkLoopbackTest, HalfPortsReachTheEvenListener) {
    // Three listeners on an even port Q and the two above it, when they are free.
    std::vector<std::unique_ptr<Listener>> at;
    for (int attempt = 0; attempt < 20 && at.size() < 3; ++attempt) {
        at.clear();
        auto first = std::make_unique<Listener>(Listener::Mode::kRead);
        u_short q = first->Port();
        if (q == 0 || q > 65532) continue;
        if (q % 2 != 0) first = std::make_unique<Listener>(Listener::Mode::kRead, ++q);
        if (first->Port() != q) continue;
        at.push_back(std::move(first));
        for (u_short next : {u_short(q + 1), u_short(q + 2)}) {
            auto l = std::make_unique<Listener>(Listener::Mode::kRead, next);
            if (l->Port() != next) break;
            at.push_back(std::move(l));
        }
    }
    if (at.size() < 3) GTEST_SKIP() << "no three adjacent free ports; HalfPortsRoundToEven covers the rounding";
    const u_short q = at[0]->Port();
    ScopedVariant host, down, up;
    unit::SetText(host, L"127.0.0.1");
    unit::SetR8(down, q + 0.5);  // to Q
    unit::SetR8(up, q + 1.5);    // to Q + 2
    ASSERT_EQ(Connect(control_.Get(), host.Get(), down.Get()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(control_.Get(), L"7"), L"7");
    ComPtr<_lumtag> second = NewControl();
    ASSERT_EQ(Connect(second.Get(), host.Get(), up.Get()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(second.Get(), L"7"), L"7");
    EXPECT_TRUE(at[0]->WaitAccepted() && at[2]->WaitAccepted());
    EXPECT_EQ(at[0]->Accepted(), 1) << "port " << q << " for " << q << ".5";
    EXPECT_EQ(at[1]->Accepted(), 0) << "port " << q + 1;
    EXPECT_EQ(at[2]->Accepted(), 1) << "port " << q + 2 << " for " << q + 1 << ".5";
}

TEST_F(NetworkLoopbackTest, BytesArriveExactlyAsSent) {
    ScopedVariant data;
    unit::SetText(data, L"^XA^FO50,50^FDlabel^FS^XZ");
    EXPECT_EQ(SendAndCollect(data), "^XA^FO50,50^FDlabel^FS^XZ") << "no line end may be added";

    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    SetBytes(data, all);
    EXPECT_EQ(SendAndCollect(data), all);

    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
    unit::SetText(data, L"Gr\u00f6\u00dfe");
    EXPECT_EQ(SendAndCollect(data),
              "Gr\xF6\xDF"
              "e");
}

TEST_F(NetworkLoopbackTest, RefusedConnectionEndsInErrorThenReconnects) {
    const u_short closed = ClosedPort();
    ASSERT_NE(closed, 0);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", closed), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(control_.Get(), L"9"), L"9");

    Listener listener(Listener::Mode::kRead);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", listener.Port()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(control_.Get(), L"7"), L"7");
    EXPECT_TRUE(listener.WaitAccepted());
}

TEST_F(NetworkLoopbackTest, PeerCloseShowsPeerClosingThenReconnects) {
    Listener closer(Listener::Mode::kCloseAtOnce);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", closer.Port()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(control_.Get(), L"8"), L"8");

    Listener reader(Listener::Mode::kRead);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", reader.Port()), S_OK) << unit::ThreadErrorDescription();
    EXPECT_EQ(WaitState(control_.Get(), L"7"), L"7");
    ASSERT_EQ(SendText(control_.Get(), L"after"), S_OK) << unit::ThreadErrorDescription();
    EXPECT_TRUE(reader.WaitBytes(5));
    EXPECT_EQ(reader.Bytes(), "after");
}

TEST_F(NetworkLoopbackTest, ConnectWhileConnectingOrConnectedIsRefused) {
    Listener listener(Listener::Mode::kRead);
    Listener other(Listener::Mode::kRead);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", listener.Port()), S_OK) << unit::ThreadErrorDescription();
    // At once, before any SocSts: connecting (or already connected).
    ExpectFailure(Connect(control_.Get(), L"127.0.0.1", other.Port()), ostrel::kSocketWrongState);
    EXPECT_EQ(WaitState(control_.Get(), L"7"), L"7");
    ExpectFailure(Connect(control_.Get(), L"127.0.0.1", other.Port()), ostrel::kSocketWrongState);
    EXPECT_EQ(State(control_.Get()), L"7");

    ASSERT_EQ(SendText(control_.Get(), L"still up"), S_OK) << unit::ThreadErrorDescription();
    EXPECT_TRUE(listener.WaitBytes(8));
    EXPECT_EQ(listener.Bytes(), "still up");
    EXPECT_EQ(listener.Accepted(), 1);
    EXPECT_EQ(other.Accepted(), 0);
}

TEST_F(NetworkLoopbackTest, SendDataWithoutConnectionIsRefused) {
    ExpectFailure(SendText(control_.Get(), L"^XA^XZ"), ostrel::kSocketWrongState);
    EXPECT_EQ(State(control_.Get()), L"0");
}

TEST_F(NetworkLoopbackTest, ReleaseRightAfterLargeSendLosesNothing) {
    const std::string sent = Pattern(1 << 20);
    ScopedVariant data;
    SetBytes(data, sent);
    const std::string got = SendAndCollect(data);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "content differs first at byte "
                             << std::mismatch(got.begin(), got.end(), sent.begin()).first - got.begin();
}

TEST_F(NetworkLoopbackTest, SendFailsOnlyWhenThePrinterTakesNoDataForTheIdleLimit) {
    constexpr DWORD kLimitMs = 300;
    ComPtr<_lumtag> control = NewControl(kLimitMs);
    ScopedVariant data;

    // A printer that takes nothing: the send fails once the system's buffers
    // are full and the limit has passed, and says how much they took.
    const std::string big = Pattern(16u << 20);
    const std::wstring ofBig = L" of " + std::to_wstring(big.size()) + L" bytes went out";
    Listener stopped(Listener::Mode::kNeverRead);
    ASSERT_EQ(Connect(control.Get(), L"127.0.0.1", stopped.Port()), S_OK) << unit::ThreadErrorDescription();
    ASSERT_EQ(WaitState(control.Get(), L"7"), L"7");
    SetBytes(data, big);
    const std::wstring description = ExpectFailure(Send(control.Get(), data), core::kWriteTimeout);
    const size_t at = description.find(ofBig);
    ASSERT_NE(at, std::wstring::npos) << std::string(description.begin(), description.end());
    const size_t digits = description.find_last_not_of(L"0123456789", at - 1) + 1;
    const size_t buffered = std::stoull(description.substr(digits, at - digits));
    ASSERT_LT(buffered, big.size());
    EXPECT_EQ(State(control.Get()), L"9");
    stopped.Drop();

    // The same control connects again, to a printer that pauses far less than
    // the limit but is slow: 3 MiB beyond what the buffers hold take it about
    // a second, over three times the limit.
    Listener slow(Listener::Mode::kReadSlowly);
    ASSERT_EQ(Connect(control.Get(), L"127.0.0.1", slow.Port()), S_OK) << unit::ThreadErrorDescription();
    ASSERT_EQ(WaitState(control.Get(), L"7"), L"7");
    const std::string job = Pattern(buffered + (3u << 20));
    SetBytes(data, job);
    EXPECT_EQ(Send(control.Get(), data), S_OK) << unit::ThreadErrorDescription();
    slow.Hurry();  // what the buffers still hold need not take seconds more
    EXPECT_TRUE(slow.WaitBytes(job.size())) << slow.Bytes().size() << " of " << job.size();
    EXPECT_TRUE(slow.Bytes() == job);
}

TEST_F(NetworkLoopbackTest, SendToAPeerThatNeverReadsEnds) {
    Listener listener(Listener::Mode::kNeverRead);
    ASSERT_EQ(Connect(control_.Get(), L"127.0.0.1", listener.Port()), S_OK) << unit::ThreadErrorDescription();
    ASSERT_EQ(WaitState(control_.Get(), L"7"), L"7");
    ScopedVariant data;
    SetBytes(data, std::string(64u << 20, 'x'));
    // A watchdog drops the peer if the call still runs after 40 s, so the
    // test ends even when the control would wait for ever.
    std::atomic<bool> returned{false}, dropped{false};
    std::thread watchdog([&] {
        const ULONGLONG end = GetTickCount64() + 40000;
        while (!returned && GetTickCount64() < end) Sleep(20);
        if (!returned) {
            dropped = true;
            listener.Drop();
        }
    });
    const HRESULT hr = Send(control_.Get(), data);
    returned = true;
    watchdog.join();
    EXPECT_FALSE(dropped) << "SendData returned only after the peer was dropped, with " << std::hex << hr;
    EXPECT_TRUE(hr == S_OK || hr == core::kWriteTimeout) << std::hex << hr << " " << unit::ThreadErrorDescription();
    if (hr == core::kWriteTimeout) {
        EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    }
    listener.Drop();
}

}  // namespace
