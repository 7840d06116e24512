// The MemId property of the Ostrel control: its value, the change
// notifications a container receives, and its persistence in property bags
// and streams.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control.h"
#include "counted_fake.h"
#include "ostrel_control.h"

using core::ScopedBstr;
using core::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

// Records OnChanged into a log shared by all sinks; may read MemId back while called.
class Sink final : public unit::CountedFake<IPropertyNotifySink> {
public:
    STDMETHODIMP OnChanged(DISPID id) noexcept override {
        log->emplace_back(index, id);
        if (readBack != nullptr) {
            ScopedBstr value;
            EXPECT_EQ(readBack->get_MemId(value.Receive()), S_OK);
            seen = value.View();
        }
        return result;
    }
    STDMETHODIMP OnRequestEdit(DISPID) noexcept override { return unit::Unexpected("OnRequestEdit"); }

    int index = 0;
    std::vector<std::pair<int, DISPID>>* log = nullptr;
    HRESULT result = S_OK;
    _lumtag* readBack = nullptr;
    std::wstring seen;
};

class ErrorLog final : public unit::CountedFake<IErrorLog> {
public:
    STDMETHODIMP AddError(LPCOLESTR, EXCEPINFO*) noexcept override { return unit::Unexpected("AddError"); }
};

// A property bag in memory. A missing name reads as E_INVALIDARG, as real bags answer.
class Bag final : public unit::CountedFake<IPropertyBag> {
public:
    void Set(const wchar_t* name, const VARIANT& value) {
        auto& entry = entries[name] = std::make_unique<ScopedVariant>();
        ASSERT_EQ(VariantCopy(entry->Ptr(), const_cast<VARIANT*>(&value)), S_OK);
    }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) noexcept override {
        if (name == nullptr || value == nullptr) {
            ADD_FAILURE() << "Read without a name or a value";
            return E_POINTER;
        }
        reads.emplace_back(name);
        askedType = V_VT(value);
        seenLog = log;
        if (FAILED(readFailure)) return readFailure;
        const auto found = entries.find(name);
        if (found == entries.end()) return E_INVALIDARG;
        VariantClear(value);
        return VariantCopy(value, found->second->Ptr());
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) noexcept override {
        if (name == nullptr || value == nullptr) {
            ADD_FAILURE() << "Write without a name or a value";
            return E_POINTER;
        }
        writes.emplace_back(name);
        Set(name, *value);
        return S_OK;
    }

    HRESULT readFailure = S_OK;
    std::map<std::wstring, std::unique_ptr<ScopedVariant>> entries;
    std::vector<std::wstring> reads, writes;
    VARTYPE askedType = VT_ILLEGAL;
    IErrorLog* seenLog = nullptr;
};

ComPtr<_lumtag> NewControl() {
    ComPtr<_lumtag> control;
    EXPECT_EQ(ostrel::OstrelControl::Create(IID__lumtag, &control), S_OK);
    return control;
}

HRESULT Put(_lumtag* control, const wchar_t* text) {
    ScopedBstr value(text != nullptr ? SysAllocString(text) : nullptr);
    return control->put_MemId(value.Get());
}

std::wstring Get(_lumtag* control) {
    ScopedBstr value;
    EXPECT_EQ(control->get_MemId(value.Receive()), S_OK);
    return std::wstring(value.View());
}

// A stream over bytes of its own; only reads, and remembers the largest one asked for.
class ReadOnlyStream final : public unit::CountedFake<IStream> {
public:
    explicit ReadOnlyStream(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
    ULONG largestRead = 0;

    STDMETHODIMP Read(void* buffer, ULONG size, ULONG* read) noexcept override {
        largestRead = std::max(largestRead, size);
        const ULONG count = static_cast<ULONG>(std::min<size_t>(size, bytes_.size() - at_));
        memcpy(buffer, bytes_.data() + at_, count);
        at_ += count;
        if (read != nullptr) *read = count;
        return count == size ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) noexcept override { return unit::Unexpected("Write"); }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) noexcept override { return unit::Unexpected("Seek"); }
    STDMETHODIMP SetSize(ULARGE_INTEGER) noexcept override { return unit::Unexpected("SetSize"); }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) noexcept override {
        return unit::Unexpected("CopyTo");
    }
    STDMETHODIMP Commit(DWORD) noexcept override { return unit::Unexpected("Commit"); }
    STDMETHODIMP Revert() noexcept override { return unit::Unexpected("Revert"); }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override {
        return unit::Unexpected("LockRegion");
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) noexcept override {
        return unit::Unexpected("UnlockRegion");
    }
    STDMETHODIMP Stat(STATSTG*, DWORD) noexcept override { return unit::Unexpected("Stat"); }
    STDMETHODIMP Clone(IStream**) noexcept override { return unit::Unexpected("Clone"); }

private:
    std::vector<BYTE> bytes_;
    size_t at_ = 0;
};

template <class I>
ComPtr<I> As(_lumtag* control) {
    ComPtr<I> result;
    EXPECT_EQ(control->QueryInterface(__uuidof(I), &result), S_OK);
    return result;
}

constexpr DISPID kMemId = 0x68030000;
// Texts that persist, null first: a control that never had MemId set.
const wchar_t* const kTexts[] = {nullptr, L"", L"Lager-7 \u00c4", L"\u65e5\u672c-42 \u00df"};

class MemIdTest : public testing::Test {
protected:
    void SetUp() override {
        control_ = NewControl();
        ASSERT_TRUE(control_);
        for (int i = 0; i < 3; ++i) {
            sinks_[i].index = i;
            sinks_[i].log = &calls_;
        }
    }
    // Unadvise releases each sink still connected; the fakes check that when they go away.
    void TearDown() override {
        for (DWORD cookie : cookies_) Disconnect(cookie);
    }

    ComPtr<IConnectionPoint> Point() {
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(As<IConnectionPointContainer>(control_.Get())->FindConnectionPoint(IID_IPropertyNotifySink, &point),
                  S_OK);
        return point;
    }
    void Connect(Sink& sink) {
        DWORD cookie = 0;
        ASSERT_EQ(Point()->Advise(&sink, &cookie), S_OK);
        cookies_.push_back(cookie);
    }
    void Disconnect(DWORD cookie) { EXPECT_EQ(Point()->Unadvise(cookie), S_OK); }
    // Puts |value| through IDispatch as a script would; the description of a failure lands in description_.
    HRESULT DispatchPut(VARIANT value) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        EXCEPINFO exception{};
        UINT argumentError = 0;
        const HRESULT hr = control_->Invoke(kMemId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                                            nullptr, &exception, &argumentError);
        scode_ = exception.scode;
        description_.Reset(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrHelpFile);
        return hr;
    }

    // Sinks are declared before the control so that they outlive it.
    std::vector<std::pair<int, DISPID>> calls_;
    Sink sinks_[3];
    ScopedBstr description_;
    SCODE scode_ = S_OK;
    std::vector<DWORD> cookies_;
    ComPtr<_lumtag> control_;
};

TEST_F(MemIdTest, FreshControlReadsEmptyText) {
    ScopedBstr value;
    ASSERT_EQ(control_->get_MemId(value.Receive()), S_OK);
    EXPECT_EQ(value.Length(), 0u);

    ScopedVariant result;
    DISPPARAMS none{};
    ASSERT_EQ(control_->Invoke(kMemId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.Ptr(),
                               nullptr, nullptr),
              S_OK);
    ASSERT_EQ(V_VT(&result.Get()), VT_BSTR);
    EXPECT_EQ(SysStringLen(V_BSTR(&result.Get())), 0u);
}

TEST_F(MemIdTest, LastReleaseFreesTheControlAndItsSinks) {
    Connect(sinks_[0]);
    cookies_.clear();
    EXPECT_EQ(control_.Reset(), 0u) << "references left on the control after its creator's last Release";
    EXPECT_EQ(sinks_[0].References(), 0u) << "the sink stays referenced by a control nobody holds";
}

TEST_F(MemIdTest, StoresACopyAndHandsOutNewCopies) {
    BSTR callers = SysAllocString(L"Lager-7");
    ASSERT_EQ(control_->put_MemId(callers), S_OK);
    callers[0] = L'X';  // the caller reuses its buffer, then frees it
    SysFreeString(callers);
    ScopedBstr first, second;
    ASSERT_EQ(control_->get_MemId(first.Receive()), S_OK);
    ASSERT_EQ(control_->get_MemId(second.Receive()), S_OK);
    EXPECT_EQ(first.View(), L"Lager-7");
    EXPECT_EQ(second.View(), L"Lager-7");
    EXPECT_NE(first.Get(), second.Get()) << "each get must hand out its own BSTR";
}

TEST_F(MemIdTest, EveryPutNotifiesEachSinkInConnectionOrder) {
    // Connected out of index order so that the order of the calls means something.
    Connect(sinks_[2]);
    Connect(sinks_[0]);
    Connect(sinks_[1]);
    const std::vector<std::pair<int, DISPID>> expected = {{2, kMemId}, {0, kMemId}, {1, kMemId}};
    // A new value, the same value again, empty text and a null BSTR each notify.
    for (const wchar_t* text : {L"A", L"A", L"", static_cast<const wchar_t*>(nullptr)}) {
        SCOPED_TRACE(text ? text : L"(null)");
        calls_.clear();
        EXPECT_EQ(Put(control_.Get(), text), S_OK);
        EXPECT_EQ(calls_, expected);
    }
    for (DWORD cookie : std::exchange(cookies_, {})) Disconnect(cookie);
    for (const Sink& sink : sinks_) EXPECT_EQ(sink.References(), 0u) << "Unadvise keeps sink " << sink.index;
    calls_.clear();
    EXPECT_EQ(Put(control_.Get(), L"B"), S_OK);
    EXPECT_TRUE(calls_.empty());
}

TEST_F(MemIdTest, SinkReadsTheNewValueInsideOnChanged) {
    sinks_[0].readBack = control_.Get();
    Connect(sinks_[0]);
    for (const wchar_t* text : {L"neu", L""}) {
        sinks_[0].seen = L"(not called)";
        ASSERT_EQ(Put(control_.Get(), text), S_OK);
        EXPECT_EQ(sinks_[0].seen, text);
    }
}

TEST_F(MemIdTest, RefusingSinkFailsThePutWithItsCodeAndTheValueStays) {
    Connect(sinks_[0]);
    for (HRESULT code : {E_FAIL, static_cast<HRESULT>(0x80040200)}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        sinks_[0].result = code;
        SetErrorInfo(0, nullptr);
        const std::wstring text = L"refused " + std::to_wstring(code);
        EXPECT_EQ(Put(control_.Get(), text.c_str()), code);
        ComPtr<IErrorInfo> error;
        ASSERT_EQ(GetErrorInfo(0, &error), S_OK);
        ScopedBstr description;
        ASSERT_EQ(error->GetDescription(description.Receive()), S_OK);
        EXPECT_GT(description.Length(), 0u);
        EXPECT_EQ(Get(control_.Get()), text);
    }
}

TEST_F(MemIdTest, DispatchPutStoresANumberAsTextAndNotifies) {
    Connect(sinks_[0]);
    VARIANT number;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 12;
    EXPECT_EQ(DispatchPut(number), S_OK);
    EXPECT_EQ(Get(control_.Get()), L"12");
    EXPECT_EQ(calls_, (std::vector<std::pair<int, DISPID>>{{0, kMemId}}));

    // A refusal reaches a script as an exception carrying the sink's code.
    sinks_[0].result = E_FAIL;
    V_I4(&number) = 13;
    EXPECT_EQ(DispatchPut(number), DISP_E_EXCEPTION);
    EXPECT_EQ(scode_, E_FAIL);
    EXPECT_GT(description_.Length(), 0u);
    EXPECT_EQ(Get(control_.Get()), L"13");
}

class PersistTest : public MemIdTest {};

TEST_F(PersistTest, BagLoadReadsMemIdAsText) {
    struct Case {
        const char* name;
        VARTYPE type;  // VT_EMPTY: no entry
        HRESULT readFailure;
        HRESULT expected;
        const wchar_t* text;  // MemId afterwards; the earlier value is "old"
    };
    const Case cases[] = {
        {"text", VT_BSTR, S_OK, S_OK, L"A-17"},
        {"long", VT_I4, S_OK, S_OK, L"5"},
        {"double", VT_R8, S_OK, S_OK, L"2.5"},
        {"missing", VT_EMPTY, S_OK, S_OK, L""},
        {"denied", VT_BSTR, E_ACCESSDENIED, E_ACCESSDENIED, L"old"},
        {"null", VT_NULL, S_OK, static_cast<HRESULT>(0x800A005E), L"old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<_lumtag> control = NewControl();
        ASSERT_EQ(Put(control.Get(), L"old"), S_OK);
        Bag bag;
        ErrorLog log;
        bag.readFailure = c.readFailure;
        ScopedVariant entry;
        V_VT(entry.Ptr()) = c.type;
        if (c.type == VT_BSTR) V_BSTR(entry.Ptr()) = SysAllocString(L"A-17");
        if (c.type == VT_I4) V_I4(entry.Ptr()) = 5;
        if (c.type == VT_R8) V_R8(entry.Ptr()) = 2.5;
        if (c.type != VT_EMPTY) bag.Set(L"MemId", entry.Get());

        EXPECT_EQ(As<IPersistPropertyBag>(control.Get())->Load(&bag, &log), c.expected);
        EXPECT_EQ(Get(control.Get()), c.text);
        EXPECT_EQ(bag.reads, std::vector<std::wstring>{L"MemId"});
        EXPECT_EQ(bag.askedType, VT_BSTR) << "the control asks for text";
        EXPECT_EQ(bag.seenLog, &log);
        if (SUCCEEDED(c.expected)) {
            EXPECT_EQ(As<IPersistStreamInit>(control.Get())->IsDirty(), S_FALSE);
        }
        control.Reset();
        EXPECT_EQ(bag.References(), 0u);
        EXPECT_EQ(log.References(), 0u);
    }
    Bag bag;  // and without an error log
    ASSERT_EQ(As<IPersistPropertyBag>(control_.Get())->Load(&bag, nullptr), S_OK);
    EXPECT_EQ(bag.seenLog, nullptr);
}

TEST_F(PersistTest, InitNewLeavesMemIdEmptyAndClean) {
    EXPECT_EQ(As<IPersistPropertyBag>(control_.Get())->InitNew(), S_OK);
    EXPECT_EQ(Get(control_.Get()), L"");
    ComPtr<_lumtag> other = NewControl();
    EXPECT_EQ(As<IPersistStreamInit>(other.Get())->InitNew(), S_OK);
    EXPECT_EQ(Get(other.Get()), L"");
    EXPECT_EQ(As<IPersistStreamInit>(other.Get())->IsDirty(), S_FALSE);
}

TEST_F(PersistTest, BagSaveWritesOneTextEntryThatLoadsIntoANewControl) {
    for (const wchar_t* text : kTexts) {
        SCOPED_TRACE(text ? text : L"(never set)");
        const std::wstring expected = text ? text : L"";
        ComPtr<_lumtag> control = NewControl();
        if (text != nullptr) {
            ASSERT_EQ(Put(control.Get(), text), S_OK);
        }
        Bag bag;
        ASSERT_EQ(As<IPersistPropertyBag>(control.Get())->Save(&bag, TRUE, TRUE), S_OK);
        EXPECT_EQ(bag.writes, std::vector<std::wstring>{L"MemId"});
        const VARIANT& written = bag.entries.at(L"MemId")->Get();
        ASSERT_EQ(V_VT(&written), VT_BSTR);
        EXPECT_EQ(std::wstring(V_BSTR(&written) ? V_BSTR(&written) : L"", SysStringLen(V_BSTR(&written))), expected);
        EXPECT_EQ(As<IPersistStreamInit>(control.Get())->IsDirty(), S_FALSE);

        ComPtr<_lumtag> loaded = NewControl();
        ASSERT_EQ(Put(loaded.Get(), L"other"), S_OK);
        ASSERT_EQ(As<IPersistPropertyBag>(loaded.Get())->Load(&bag, nullptr), S_OK);
        EXPECT_EQ(Get(loaded.Get()), expected);
        control.Reset();
        loaded.Reset();
        EXPECT_EQ(bag.References(), 0u);
    }
}

TEST_F(PersistTest, StreamSaveLoadsIntoANewControlWithinSizeMax) {
    for (const wchar_t* text : kTexts) {
        SCOPED_TRACE(text ? text : L"(never set)");
        ComPtr<_lumtag> control = NewControl();
        if (text != nullptr) {
            ASSERT_EQ(Put(control.Get(), text), S_OK);
        }
        ComPtr<IStream> stream;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
        ULARGE_INTEGER sizeMax{}, written{};
        ASSERT_EQ(As<IPersistStreamInit>(control.Get())->GetSizeMax(&sizeMax), S_OK);
        ASSERT_EQ(As<IPersistStreamInit>(control.Get())->Save(stream.Get(), TRUE), S_OK);
        ASSERT_EQ(stream->Seek({}, STREAM_SEEK_CUR, &written), S_OK);
        EXPECT_GT(written.QuadPart, 0u);
        EXPECT_GE(sizeMax.QuadPart, written.QuadPart);

        ComPtr<_lumtag> loaded = NewControl();
        ASSERT_EQ(Put(loaded.Get(), L"other"), S_OK);
        ASSERT_EQ(stream->Seek({}, STREAM_SEEK_SET, nullptr), S_OK);
        ASSERT_EQ(As<IPersistStreamInit>(loaded.Get())->Load(stream.Get()), S_OK);
        EXPECT_EQ(Get(loaded.Get()), text ? text : L"");
        EXPECT_EQ(As<IPersistStreamInit>(loaded.Get())->IsDirty(), S_FALSE);
    }
}

TEST_F(PersistTest, IsDirtyFollowsPutsAndSaves) {
    const ComPtr<IPersistStreamInit> persist = As<IPersistStreamInit>(control_.Get());
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(Put(control_.Get(), L"A"), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    ASSERT_EQ(persist->Save(stream.Get(), FALSE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK) << "a save that keeps the flag";
    ASSERT_EQ(persist->Save(stream.Get(), TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    ASSERT_EQ(Put(control_.Get(), L"A"), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK) << "putting the same text again";
}

TEST_F(PersistTest, StreamLoadRejectsForeignAndTruncatedContent) {
    const ComPtr<IPersistStreamInit> persist = As<IPersistStreamInit>(control_.Get());
    ASSERT_EQ(Put(control_.Get(), L"keep"), S_OK);

    ComPtr<IStream> foreign;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &foreign), S_OK);
    const std::vector<BYTE> junk(12, 0xAB);
    ASSERT_EQ(foreign->Write(junk.data(), static_cast<ULONG>(junk.size()), nullptr), S_OK);
    ASSERT_EQ(foreign->Seek({}, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_TRUE(FAILED(persist->Load(foreign.Get())));
    EXPECT_EQ(Get(control_.Get()), L"keep");

    // A good save of a longer text, cut at several places.
    ComPtr<_lumtag> source = NewControl();
    ASSERT_EQ(Put(source.Get(), L"Lager-7 \u00c4"), S_OK);
    ComPtr<IStream> saved;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &saved), S_OK);
    ASSERT_EQ(As<IPersistStreamInit>(source.Get())->Save(saved.Get(), TRUE), S_OK);
    ULARGE_INTEGER full{};
    ASSERT_EQ(saved->Seek({}, STREAM_SEEK_CUR, &full), S_OK);
    ASSERT_GT(full.QuadPart, 14u);
    for (ULONGLONG size : {full.QuadPart - 2, 14ull, 8ull, 0ull}) {  // shrinking only
        SCOPED_TRACE(testing::Message() << "cut to " << size << " of " << full.QuadPart << " bytes");
        ULARGE_INTEGER cut{};
        cut.QuadPart = size;
        ASSERT_EQ(saved->SetSize(cut), S_OK);
        ASSERT_EQ(saved->Seek({}, STREAM_SEEK_SET, nullptr), S_OK);
        EXPECT_TRUE(FAILED(persist->Load(saved.Get())));
        EXPECT_EQ(Get(control_.Get()), L"keep");
    }
}

TEST_F(PersistTest, AStreamIsReadOnlyAsFarAsItReallyGoes) {
    const ComPtr<IPersistStreamInit> persist = As<IPersistStreamInit>(control_.Get());
    ASSERT_EQ(Put(control_.Get(), L"keep"), S_OK);
    // The tag and version of a saved stream, then a character count that the
    // twenty bytes of text after it do not bear out.
    const std::vector<BYTE> saved = [&] {
        ComPtr<IStream> stream;
        EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
        EXPECT_EQ(persist->Save(stream.Get(), FALSE), S_OK);
        std::vector<BYTE> bytes(8);
        EXPECT_EQ(stream->Seek({}, STREAM_SEEK_SET, nullptr), S_OK);
        EXPECT_EQ(stream->Read(bytes.data(), 8, nullptr), S_OK);
        return bytes;
    }();
    const struct {
        DWORD count;
        HRESULT code;
    } cases[] = {{1u << 28, STG_E_READFAULT}, {(1u << 24) + 1, STG_E_READFAULT}, {50000, STG_E_READFAULT}};
    for (const auto& c : cases) {
        std::vector<BYTE> bytes = saved;
        bytes.insert(bytes.end(), reinterpret_cast<const BYTE*>(&c.count), reinterpret_cast<const BYTE*>(&c.count + 1));
        bytes.insert(bytes.end(), 20, 'x');
        ReadOnlyStream stream(bytes);
        EXPECT_EQ(persist->Load(&stream), c.code) << c.count;
        EXPECT_LE(stream.largestRead, 1u << 20) << c.count << ": a read far beyond what the stream holds";
        EXPECT_EQ(Get(control_.Get()), L"keep") << c.count;
    }
}

}  // namespace
