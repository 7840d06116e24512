// make bench: what the bridge adds to a call. The same Tessmer.lumtag calls
// are made in process (IDispatch, as any host makes them) and through
// LabelBridge.exe (a WebSocket client as a page is one, sending long label
// data beside the request as label-bridge.js does), in interleaved pairs so
// that a machine busy for a moment disturbs both sides alike:
//   - a 92-byte ExecPrint to COM5, until its reply and its last byte at COM6;
//   - SendData of 16 MiB of text to a network printer on loopback;
//   - ExecPrint of a 16 MiB byte array to COM5;
// and the bridge's peak memory over those 16 MiB labels.
// The bench starts the bridge of its own folder on a free port, allows its
// own origin for the run, and ends both when done. Run under Wine with the
// harness's COM5 <-> COM6 pair.
#include <winsock2.h>
#include <windows.h>
#include <ole2.h>
#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "bench_sink.h"
#include "bench_table.h"
#include "convert.h"
#include "safety.h"
#include "scoped.h"
#include "scoped_socket.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
namespace net = boost::asio;
namespace websocket = boost::beast::websocket;

namespace {

using bench::Sink;

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
    // The most memory the bridge has held so far, and what it holds now.
    PROCESS_MEMORY_COUNTERS Memory() const {
        PROCESS_MEMORY_COUNTERS counters{};
        GetProcessMemoryInfo(process_.Get(), &counters, sizeof(counters));
        return counters;
    }

private:
    core::ScopedHandle process_;
};

unsigned short FreePort() {
    const core::ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    return bench::BindLoopback(s.Get());
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
    // Sends |request| (JSON text), then |frame| as the binary message its
    // value {"frame": ...} names, and returns the reply.
    Json Request(const std::string& request, const std::string* frame = nullptr) {
        stream_.write(net::buffer(request));
        if (frame != nullptr) {
            stream_.binary(true);
            stream_.write(net::buffer(*frame));
            stream_.text(true);
        }
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

// A member called in process, as a script host calls it: its arguments by
// reference, copies of |args| made before the clock starts.
class InProcessCall {
public:
    // |args| first first; they stay the caller's.
    InProcessCall(IDispatch* object, const wchar_t* member, const std::vector<VARIANT>& args)
        : object_(object), copies_(args.size()), references_(args.size()) {
        LPOLESTR name = const_cast<LPOLESTR>(member);
        object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id_);
        // Last to first, as DISPPARAMS lists them.
        for (size_t i = 0; i < args.size(); ++i) {
            VARIANT& copy = copies_[args.size() - 1 - i];
            VariantInit(&copy);
            VariantCopy(&copy, const_cast<VARIANT*>(&args[i]));
            V_VT(&references_[args.size() - 1 - i]) = VT_VARIANT | VT_BYREF;
            V_VARIANTREF(&references_[args.size() - 1 - i]) = &copy;
        }
    }
    InProcessCall(const InProcessCall&) = delete;
    InProcessCall& operator=(const InProcessCall&) = delete;
    ~InProcessCall() {
        for (VARIANT& value : copies_) VariantClear(&value);
    }
    HRESULT Invoke() {
        core::ScopedVariant result;
        DISPPARAMS params{references_.data(), nullptr, static_cast<UINT>(references_.size()), 0};
        return object_->Invoke(id_, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params,
                               result.Receive(), nullptr, nullptr);
    }

private:
    IDispatch* object_;
    DISPID id_ = DISPID_UNKNOWN;
    std::vector<VARIANT> copies_;
    std::vector<VARIANT> references_;
};

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

// The bridge's 16 MiB rows: |call| in process against |request| with
// |frame| beside it through the bridge, each until |sink| has |size| bytes.
std::vector<double> ThroughputRatios(const std::function<InProcessCall*()>& call, BridgeClient& bridge,
                                     const std::string& request, const std::string& frame, Sink& sink, size_t size,
                                     int& status, std::vector<double>& inProcessTimes,
                                     std::vector<double>& bridgeTimes) {
    std::vector<double> ratios;
    inProcessTimes.clear();
    bridgeTimes.clear();
    for (int pair = 0; pair < kThroughputPairs; ++pair) {
        sink.Reset();
        const std::unique_ptr<InProcessCall> prepared(call());
        auto start = Clock::now();
        if (FAILED(prepared->Invoke())) status = 1;
        sink.WaitFor(size);
        const double inProcess = Milliseconds(Clock::now() - start);
        sink.Reset();
        start = Clock::now();
        if (bridge.Request(request, &frame).contains("error")) status = 1;
        sink.WaitFor(size);
        inProcessTimes.push_back(inProcess);
        bridgeTimes.push_back(Milliseconds(Clock::now() - start));
        ratios.push_back(inProcess / bridgeTimes.back());
    }
    return ratios;
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
            InProcessCall print(local.Get(), L"ExecPrint", {Text(labelText), Number(0), Text(settings), Number(5)});
            auto start = Clock::now();
            if (FAILED(print.Invoke())) status = 1;
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
        PrintRow("ExecPrint 92 bytes round trip, bridge - in process, ms", added, "< 0.5", inProcessTimes, bridgeTimes);
        bench::PrintLimit("the same ExecPrint called in process, as a script host calls it");

        // 16 MiB labels: what the bridge holds beyond its quiet size while it
        // passes them (the label as it arrives, as the control takes it).
        const SIZE_T quietBytes = process.Memory().WorkingSetSize;
        const size_t size = 16u << 20;

        // 16 MiB of text to a network printer on loopback, over a connection each.
        const core::ScopedBstr host = core::ScopedBstr::Copy(L"127.0.0.1"),
                               big = core::ScopedBstr::Copy(std::wstring(size, L'N'));
        InProcessCall(local.Get(), L"SocConnect", {Text(host), Number(network.TcpPort())}).Invoke();
        bridge.Request(CallMessage("SocConnect", {"127.0.0.1", network.TcpPort()}));
        for (int poll = 0; poll < 500; ++poll) {
            if (bridge.Request(CallMessage("SocSts", Json::array())).value("result", "") == "7") break;
            Sleep(10);
        }
        const std::string text(size, 'N');
        std::vector<double> ratios = ThroughputRatios(
            [&] { return new InProcessCall(local.Get(), L"SendData", {Text(big)}); }, bridge,
            CallMessage("SendData", {{{"frame", "text"}}}), text, network, size, status, inProcessTimes, bridgeTimes);
        PrintRow("SendData 16 MiB, in process / bridge throughput", ratios, ">= 0.8", inProcessTimes, bridgeTimes);
        bench::PrintLimit("the same SendData in process; the bridge's text goes beside the request (protocol 2)");

        // A 16 MiB byte array to COM5.
        const std::string bytes(size, '\x5A');
        core::ScopedVariant array;
        V_VT(array.Ptr()) = VT_ARRAY | VT_UI1;
        V_ARRAY(array.Ptr()) = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
        {
            const core::ArrayAccess data(V_ARRAY(&array.Get()), L"the bench's label");
            std::memcpy(data.Data(), bytes.data(), size);
        }
        ratios = ThroughputRatios(
            [&] {
                return new InProcessCall(local.Get(), L"ExecPrint",
                                         {array.Get(), Number(0), Text(settings), Number(5)});
            },
            bridge, CallMessage("ExecPrint", {{{"frame", "bytes"}}, 0, "115200,N,8,1", 5}), bytes, serial, size, status,
            inProcessTimes, bridgeTimes);
        PrintRow("ExecPrint 16 MiB bytes, in process / bridge throughput", ratios, ">= 0.8", inProcessTimes,
                 bridgeTimes);
        bench::PrintLimit("the same ExecPrint in process; the bridge's bytes go beside the request (protocol 2)");

        const double peak = static_cast<double>(process.Memory().PeakWorkingSetSize - quietBytes) / size;
        bench::PrintRow("bridge peak memory over its quiet size / 16 MiB label", {peak, peak, peak}, "< 3");
        bench::PrintLimit("the label itself; text is held as UTF-16 (twice its size) where the control takes it");
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
