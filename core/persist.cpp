// Persistence of the control's properties (MemId): the host's property
// bag, and a stream of our own format.
#include "persist.h"

#include <algorithm>
#include <string>

#include "convert.h"
#include "dispatch_call.h"
#include "errors.h"

namespace core {

namespace {

constexpr wchar_t kMemIdName[] = L"MemId";

// The stream format: a tag, a format version, then MemId as counted UTF-16.
// Stored property sets hold this tag: it never changes.
constexpr DWORD kPropertyStreamTag = 0x47544D4C;
constexpr DWORD kPropertyStreamVersion = 1;
// The longest MemId a stream may hold (32 MiB of text); a longer count is corruption.
constexpr DWORD kMaxStoredMemIdChars = 1u << 24;
// Text is read in pieces of this many characters, so that what is allocated
// follows what the stream really holds, whatever its count says.
constexpr size_t kReadPieceChars = 32 * 1024;

HRESULT ReadExact(IStream* stream, void* buffer, ULONG size) {
    ULONG read = 0;
    const HRESULT hr = stream->Read(buffer, size, &read);
    if (FAILED(hr)) return hr;
    return read == size ? S_OK : STG_E_READFAULT;
}

HRESULT WriteExact(IStream* stream, const void* buffer, ULONG size) {
    ULONG written = 0;
    const HRESULT hr = stream->Write(buffer, size, &written);
    if (FAILED(hr)) return hr;
    return written == size ? S_OK : STG_E_WRITEFAULT;
}

}  // namespace

void ControlPersistence::SetMemIdText(std::wstring_view text) {
    memId_ = ScopedBstr::Copy(text);
    dirty_ = true;
}

STDMETHODIMP ControlPersistence::GetClassID(CLSID* clsid) noexcept {
    if (clsid == nullptr) return E_POINTER;
    *clsid = clsid_;
    return S_OK;
}

STDMETHODIMP ControlPersistence::Load(IStream* stream) noexcept {
    if (stream == nullptr) return E_POINTER;
    DWORD header[3] = {};
    HRESULT hr = ReadExact(stream, header, sizeof(header));
    if (FAILED(hr)) return hr;
    if (header[0] != kPropertyStreamTag || header[1] != kPropertyStreamVersion) return STG_E_OLDFORMAT;
    const size_t count = header[2];
    if (count > kMaxStoredMemIdChars) return STG_E_READFAULT;
    return CatchReturn([&] {
        std::wstring text;
        while (text.size() < count) {
            const size_t done = text.size();
            text.resize(done + std::min(count - done, kReadPieceChars));
            hr = ReadExact(stream, text.data() + done, static_cast<ULONG>((text.size() - done) * sizeof(wchar_t)));
            if (FAILED(hr)) return hr;
        }
        SetMemIdText(text);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP ControlPersistence::Save(IStream* stream, BOOL clearDirty) noexcept {
    if (stream == nullptr) return E_POINTER;
    const std::wstring_view text = memId_.View();
    const DWORD header[3] = {kPropertyStreamTag, kPropertyStreamVersion, static_cast<DWORD>(text.size())};
    HRESULT hr = WriteExact(stream, header, sizeof(header));
    if (SUCCEEDED(hr)) hr = WriteExact(stream, text.data(), static_cast<ULONG>(text.size() * sizeof(wchar_t)));
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
}

STDMETHODIMP ControlPersistence::GetSizeMax(ULARGE_INTEGER* size) noexcept {
    if (size == nullptr) return E_POINTER;
    size->QuadPart = 3 * sizeof(DWORD) + memId_.Length() * sizeof(wchar_t);
    return S_OK;
}

STDMETHODIMP ControlPersistence::Load(IPropertyBag* bag, IErrorLog* log) noexcept {
    if (bag == nullptr) return E_POINTER;
    ScopedVariant value;
    V_VT(value.Ptr()) = VT_BSTR;  // asks for text; a null BSTR is the empty text
    V_BSTR(value.Ptr()) = nullptr;
    const HRESULT hr = bag->Read(kMemIdName, value.Ptr(), log);
    // A bag without the entry says E_INVALIDARG: the value is then the empty text.
    if (hr == E_INVALIDARG) {
        VariantClear(value.Ptr());
    } else if (FAILED(hr)) {
        return hr;
    }
    return CatchReturn([&] {
        SetMemIdText(ToText(value.Get(), kMemIdName).View());
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP ControlPersistence::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) noexcept {
    if (bag == nullptr) return E_POINTER;
    VARIANT value = BorrowedText(memId_.Get());
    const HRESULT hr = bag->Write(kMemIdName, &value);
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
}

}  // namespace core
