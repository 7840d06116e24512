// make bench: what the bridge adds to a call. The same Tessmer.lumtag calls
// are made in process (IDispatch, as any host makes them) and through
// LabelBridge.exe (a WebSocket client as a page is one), in interleaved
// pairs so that a machine busy for a moment disturbs both sides alike:
//   - a 92-byte ExecPrint to COM5, until its reply and its last byte at COM6;
//   - SendData of 16 MiB of text to a network printer on loopback.
// The bench starts the bridge of its own folder on a free port, allows its
// own origin for the run, and ends both when done. Run under Wine with the
// harness's COM5 <-> COM6 pair.
#include <winsock2.h>
#include <windows.h>
#include <ole2.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_table.h"
#include "safety.h"
#include "scoped.h"
#include "scoped_socket.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;

namespace {

constexpr char kOrigin[] = "http://127.0.0.1:1";
constexpr wchar_t kPolicyValue[] = L"bridge-bench";
constexpr wchar_t kSettings[] = L"115200,N,8,1";
constexpr int kLatencyPairs = 51;
constexpr int kThroughputPairs = 7;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A row of the table, and below it the two sides' median times.
void PrintRow(const char* measure, const std::vector<double>& values, const char* target,
              const std::vector<double>& inProcess, const std::vector<double>& bridge) {
    bench::PrintRow(measure, bench::SpreadOf(values), target);
    std::printf("  (in process %.3f ms, bridge %.3f ms, medians of %zu pairs)\n", bench::SpreadOf(inProcess).median,
                bench::SpreadOf(bridge).median, bridge.size());
}

// A printer that counts what arrives: at a serial port (the far end of the
// one printed to), or given none, at a TCP listener on loopback that serves
// every connection at once.
class Sink {
public:
    explicit Sink(const wchar_t* port) {
        handle_.Reset(CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 50, 0, 0};
        SetCommTimeouts(handle_.Get(), &timeouts);
        reader_ = std::thread([this] {
            std::vector<char> buffer(1 << 16);
            while (!stop_) {
                DWORD read = 0;
                if (ReadFile(handle_.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
                    Add(read);
            }
        });
    }
    Sink() {
        listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        int length = sizeof(address);
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
        tcpPort_ = ntohs(address.sin_port);
        listen(listener_.Get(), 4);
        reader_ = std::thread([this] {
            for (;;) {
                const SOCKET peer = accept(listener_.Get(), nullptr, nullptr);
                if (peer == INVALID_SOCKET) return;
                peers_.emplace_back([this, owned = core::ScopedSocket(peer)] {
                    std::vector<char> buffer(1 << 16);
                    int got;
                    while ((got = recv(owned.Get(), buffer.data(), static_cast<int>(buffer.size()), 0)) > 0) Add(got);
                });
            }
        });
    }
    ~Sink() {
        stop_ = true;
        listener_.Reset();
        reader_.join();
        for (std::thread& peer : peers_) peer.join();  // each ends when its client closes
    }
    bool IsOpen() const { return handle_.IsValid(); }
    int TcpPort() const { return tcpPort_; }
    void Reset() {
        const std::lock_guard lock(lock_);
        received_ = 0;
    }
    // Blocks rather than spins: the bridge and this program share two cores.
    bool WaitFor(size_t total) {
        std::unique_lock lock(lock_);
        return arrived_.wait_for(lock, std::chrono::seconds(60), [&] { return received_ >= total; });
    }

private:
    core::ScopedHandle handle_;
    core::ScopedSocket listener_;
    int tcpPort_ = 0;
    std::atomic<bool> stop_{false};
    void Add(size_t count) {
        {
            const std::lock_guard lock(lock_);
            received_ += count;
        }
        arrived_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable arrived_;
    size_t received_ = 0;
    std::thread reader_;
    std::vector<std::thread> peers_;  // touched by the acceptor only until it is joined
};

// The bench's origin in the AllowedSites policy for as long as it lives.
class AllowedOrigin {
public:
    AllowedOrigin() {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, core::kAllowedSitesKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        key_.reset(key);
        const std::wstring origin(kOrigin, kOrigin + sizeof(kOrigin) - 1);
        RegSetValueExW(key, kPolicyValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(origin.c_str()),
                       static_cast<DWORD>((origin.size() + 1) * sizeof(wchar_t)));
    }
    ~AllowedOrigin() {
        if (key_) RegDeleteValueW(key_.get(), kPolicyValue);
    }

private:
    std::unique_ptr<std::remove_pointer_t<HKEY>, decltype(&RegCloseKey)> key_{nullptr, &RegCloseKey};
};

// LabelBridge.exe of this program's folder on |port|, ended by its handle.
class BridgeProcess {
public:
    explicit BridgeProcess(unsigned short port) {
        std::wstring path(MAX_PATH, L'\0');
        path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
        path = path.substr(0, path.find_last_of(L'\\') + 1) + L"LabelBridge.exe";
        std::wstring command = L"\"" + path + L"\" --port " + std::to_wstring(port);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
            return;
        process_.Reset(info.hProcess);
        core::ScopedHandle thread(info.hThread);
    }
    ~BridgeProcess() {
        if (!process_.IsValid()) return;
        TerminateProcess(process_.Get(), 0);
        WaitForSingleObject(process_.Get(), 10000);
    }
    // Still running: a bridge already running in this session makes it end at once.
    bool IsRunning() const { return process_.IsValid() && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }

private:
    core::ScopedHandle process_;
};

unsigned short FreePort() {
    const core::ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A page's side of the bridge: one connection, one request at a time.
class BridgeClient {
public:
    BridgeClient(net::io_context& io, unsigned short port) : stream_(io) {
        const net::ip::tcp::endpoint bridge(net::ip::address_v4::loopback(), port);
        for (int attempt = 0; attempt < 100; ++attempt) {
            boost::system::error_code ec;
            stream_.next_layer().connect(bridge, ec);
            if (!ec) break;
            stream_.next_layer().close();
            Sleep(100);
        }
        stream_.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set(boost::beast::http::field::origin, kOrigin); }));
        stream_.handshake("127.0.0.1:" + std::to_string(port), "/");
        stream_.text(true);
        stream_.auto_fragment(false);
        // A client masks what it sends through a buffer of this size, one
        // socket write per buffer: 4 KiB pieces would measure this client
        // (a browser masks in large pieces), not the bridge.
        stream_.write_buffer_bytes(1 << 20);
        Receive();  // the hello
    }
    // Sends |request| (JSON text) and returns the reply.
    Json Request(const std::string& request) {
        stream_.write(net::buffer(request));
        return Receive();
    }

private:
    Json Receive() {
        buffer_.clear();
        stream_.read(buffer_);
        return Json::parse(static_cast<const char*>(buffer_.data().data()),
                           static_cast<const char*>(buffer_.data().data()) + buffer_.size());
    }

    websocket::stream<net::ip::tcp::socket, false> stream_;
    boost::beast::flat_buffer buffer_;
};

// A member called in process, as a script host calls it. The automation
// layer may replace and free what it is given for [in, out] parameters, so
// it gets copies of |args| (first first), cleared after the call.
HRESULT Call(IDispatch* object, const wchar_t* member, const std::vector<VARIANT>& args, VARIANT* result) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    struct Copies {
        std::vector<VARIANT> values;
        ~Copies() {
            for (VARIANT& value : values) VariantClear(&value);
        }
    } copies;
    copies.values.resize(args.size());  // last to first, as DISPPARAMS lists them
    for (VARIANT& value : copies.values) VariantInit(&value);
    for (size_t i = 0; i < args.size(); ++i)
        if (FAILED(hr = VariantCopy(&copies.values[args.size() - 1 - i], const_cast<VARIANT*>(&args[i])))) return hr;
    DISPPARAMS params{copies.values.data(), nullptr, static_cast<UINT>(args.size()), 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, result,
                          nullptr, nullptr);
}

VARIANT Text(const core::ScopedBstr& text) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = text.Get();
    return v;
}
VARIANT Number(int value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

std::string CallMessage(const char* member, Json args) {
    return Json{{"id", 1}, {"op", "call"}, {"object", 1}, {"member", member}, {"args", std::move(args)}}.dump();
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    int status = 0;
    try {
        Sink serial(L"\\\\.\\COM6");
        if (!serial.IsOpen()) {
            std::printf("COM6 is not mapped: run through the harness (make bench)\n");
            return 2;
        }
        // Declared before the bridge: it ends first, and with it its connection to this printer.
        Sink network;
        const AllowedOrigin policy;
        const unsigned short port = FreePort();
        const BridgeProcess process(port);
        net::io_context io;
        BridgeClient bridge(io, port);
        if (!process.IsRunning()) {
            std::printf("LabelBridge.exe did not start (another one runs in this session?)\n");
            return 2;
        }
        CLSID clsid;
        ComPtr<IDispatch> local;
        if (FAILED(CLSIDFromProgID(L"Tessmer.lumtag", &clsid)) ||
            FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&local))) ||
            bridge.Request(R"({"id":1,"op":"create","progId":"Tessmer.lumtag"})").value("object", 0) != 1) {
            std::printf("Tessmer.lumtag is not registered: run through the harness (make bench)\n");
            return 2;
        }
        bench::PrintHeader();

        // A 92-byte label (the size of the test label) to COM5.
        const std::wstring label = std::wstring(90, L'L') + L"\r\n";
        const core::ScopedBstr labelText = core::ScopedBstr::Copy(label), settings = core::ScopedBstr::Copy(kSettings);
        const std::string printMessage =
            CallMessage("ExecPrint", {std::string(label.begin(), label.end()), 0, "115200,N,8,1", 5});
        std::vector<double> added, inProcessTimes, bridgeTimes;
        for (int pair = 0; pair < kLatencyPairs; ++pair) {
            serial.Reset();
            auto start = Clock::now();
            core::ScopedVariant result;
            if (FAILED(Call(local.Get(), L"ExecPrint", {Text(labelText), Number(0), Text(settings), Number(5)},
                            result.Receive())))
                status = 1;
            serial.WaitFor(92);
            const double inProcess = Milliseconds(Clock::now() - start);
            serial.Reset();
            start = Clock::now();
            if (bridge.Request(printMessage).contains("error")) status = 1;
            serial.WaitFor(92);
            inProcessTimes.push_back(inProcess);
            bridgeTimes.push_back(Milliseconds(Clock::now() - start));
            added.push_back(bridgeTimes.back() - inProcess);
        }
        PrintRow("ExecPrint 92 bytes round trip, bridge - in process, ms", added, "< 1", inProcessTimes, bridgeTimes);

        // 16 MiB of text to a network printer on loopback, over a connection each.
        const size_t size = 16u << 20;
        const core::ScopedBstr host = core::ScopedBstr::Copy(L"127.0.0.1"),
                               big = core::ScopedBstr::Copy(std::wstring(size, L'N'));
        core::ScopedVariant ignored;
        Call(local.Get(), L"SocConnect", {Text(host), Number(network.TcpPort())}, ignored.Receive());
        bridge.Request(CallMessage("SocConnect", {"127.0.0.1", network.TcpPort()}));
        for (int poll = 0; poll < 500; ++poll) {
            core::ScopedVariant state;
            Call(local.Get(), L"SocSts", {}, state.Receive());
            const VARIANT& text = state.Get();
            if (V_VT(&text) == VT_BSTR && SysStringLen(V_BSTR(&text)) == 1 && V_BSTR(&text)[0] == L'7' &&
                bridge.Request(CallMessage("SocSts", Json::array())).value("result", "") == "7")
                break;
            Sleep(10);
        }
        const std::string sendMessage = CallMessage("SendData", {std::string(size, 'N')});
        std::vector<double> ratios;
        inProcessTimes.clear();
        bridgeTimes.clear();
        for (int pair = 0; pair < kThroughputPairs; ++pair) {
            network.Reset();
            auto start = Clock::now();
            core::ScopedVariant result;
            if (FAILED(Call(local.Get(), L"SendData", {Text(big)}, result.Receive()))) status = 1;
            network.WaitFor(size);
            const double inProcess = Milliseconds(Clock::now() - start);
            network.Reset();
            start = Clock::now();
            if (bridge.Request(sendMessage).contains("error")) status = 1;
            network.WaitFor(size);
            inProcessTimes.push_back(inProcess);
            bridgeTimes.push_back(Milliseconds(Clock::now() - start));
            ratios.push_back(inProcess / bridgeTimes.back());
        }
        PrintRow("SendData 16 MiB, in process / bridge throughput", ratios, ">= 0.8", inProcessTimes, bridgeTimes);
        local.Reset();  // closes the in-process connection; the bridge's closes with the bridge
    } catch (const std::exception& error) {
        std::printf("bridge bench failed: %s\n", error.what());
        status = 2;
    }
    WSACleanup();
    CoUninitialize();
    if (status == 1) std::printf("a call failed during the bench\n");
    return status;
}
