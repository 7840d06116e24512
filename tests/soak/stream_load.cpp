// Mutated and cut property streams loaded into a control that holds "keep":
// no crash, a refused stream leaves MemId as it was, an accepted one sets
// exactly the text the stream holds, and no count in a stream makes the
// control take memory the stream does not back.
#include <ocidl.h>
#include <wrl/client.h>

#include <cstring>

#include "phases.h"

using Microsoft::WRL::ComPtr;

namespace soak {

namespace {

constexpr int kStreamsFull = 4000;
constexpr SIZE_T kPeakGrowthLimit = 4u << 20;
constexpr size_t kHeaderBytes = 12;  // tag, version, count of UTF-16 characters

// A stream as a control saves it, holding |text|.
std::string SavedStream(IDispatch* control, const std::wstring& text) {
    PutText(control, L"MemId", text);
    ComPtr<IPersistStreamInit> persist;
    ComPtr<IStream> stream;
    if (FAILED(control->QueryInterface(IID_PPV_ARGS(&persist))) ||
        FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)) || FAILED(persist->Save(stream.Get(), TRUE)))
        return {};
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::string bytes(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
    const LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    return bytes;
}

// Flips bytes, changes the count, cuts: one, two or all three.
std::string Mutate(std::string bytes, std::mt19937_64& random) {
    const int kinds = std::uniform_int_distribution<int>(1, 7)(random);
    if ((kinds & 1) && !bytes.empty()) {
        const int flips = std::uniform_int_distribution<int>(1, 4)(random);
        for (int i = 0; i < flips; ++i) {
            const size_t at = std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(random);
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << std::uniform_int_distribution<int>(0, 7)(random)));
        }
    }
    if ((kinds & 2) && bytes.size() >= kHeaderBytes) {
        DWORD count = 0;
        std::memcpy(&count, bytes.data() + 8, sizeof(count));
        const DWORD choices[] = {0,          count + 1,  count - 1,
                                 count * 2,  1u << 24,   1u << 23,
                                 0x7FFFFFFF, 0xFFFFFFFF, static_cast<DWORD>(random())};
        count = choices[std::uniform_int_distribution<size_t>(0, std::size(choices) - 1)(random)];
        std::memcpy(bytes.data() + 8, &count, sizeof(count));
    }
    if (kinds & 4) bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size())(random));
    return bytes;
}

// The text an accepted |bytes| must give: the count's characters after the header.
bool ExpectedText(const std::string& bytes, std::wstring& text) {
    if (bytes.size() < kHeaderBytes) return false;
    DWORD count = 0;
    std::memcpy(&count, bytes.data() + 8, sizeof(count));
    if ((bytes.size() - kHeaderBytes) / sizeof(wchar_t) < count) return false;
    text.resize(count);
    std::memcpy(text.data(), bytes.data() + kHeaderBytes, count * sizeof(wchar_t));
    return true;
}

}  // namespace

void StreamLoad(const Settings& settings, Table& table) {
    auto random = settings.Random(5);
    const int streams = settings.Scaled(kStreamsFull, 400);
    ComPtr<IDispatch> control;
    ComPtr<IPersistStreamInit> persist;
    if (FAILED(CreateByProgId(L"Tessmer.lumtag", &control)) || FAILED(control.As(&persist))) {
        table.Add("stream load: control created", "no", "yes", false);
        return;
    }
    const SIZE_T peakBefore = MeasureProcess().peakPagefile;
    long long accepted = 0, keptAfterRefusal = 0, changedByRefusal = 0, wrongText = 0;
    for (int i = 0; i < streams; ++i) {
        std::wstring original(std::uniform_int_distribution<size_t>(0, 3000)(random), L'x');
        for (wchar_t& c : original) c = static_cast<wchar_t>(std::uniform_int_distribution<int>(0x20, 0x7E)(random));
        const std::string bytes = Mutate(SavedStream(control.Get(), original), random);

        PutText(control.Get(), L"MemId", L"keep");
        ComPtr<IStream> stream;
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size() + 1);
        if (memory == nullptr) continue;
        std::memcpy(GlobalLock(memory), bytes.data(), bytes.size());
        GlobalUnlock(memory);
        if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
            GlobalFree(memory);
            continue;
        }
        ULARGE_INTEGER size;
        size.QuadPart = bytes.size();
        stream->SetSize(size);
        const HRESULT hr = persist->Load(stream.Get());
        const std::wstring memId = Call(control.Get(), L"MemId", DISPATCH_PROPERTYGET).text;
        std::wstring expected;
        if (SUCCEEDED(hr)) {
            ++accepted;
            if (!ExpectedText(bytes, expected) || memId != expected) ++wrongText;
        } else if (memId == L"keep") {
            ++keptAfterRefusal;
        } else {
            ++changedByRefusal;
        }
    }
    const SIZE_T peakAfter = MeasureProcess().peakPagefile;
    table.AtLeast("stream load: mutated or cut streams loaded", accepted + keptAfterRefusal + changedByRefusal,
                  streams);
    table.Add("stream load: accepted / refused",
              std::to_string(accepted) + " / " + std::to_string(keptAfterRefusal + changedByRefusal), "both > 0",
              accepted > 0 && keptAfterRefusal + changedByRefusal > 0);
    table.AtMost("stream load: refused loads that changed MemId", changedByRefusal, 0);
    table.AtMost("stream load: accepted loads with another text than the stream's", wrongText, 0);
    table.AtMost("stream load: peak private memory growth, KiB",
                 (static_cast<long long>(peakAfter) - static_cast<long long>(peakBefore)) / 1024,
                 kPeakGrowthLimit / 1024);
}

}  // namespace soak
