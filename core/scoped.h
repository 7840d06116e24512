// Small owning wrappers: BSTR and VARIANT, and one generic owner for the
// platform's other values (handles, GDI objects, keys, task memory, sockets),
// and the descriptions a type info lends. Each owns exactly one value, cannot
// be copied, and frees it on scope exit.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <string_view>
#include <utility>

namespace core {

// Owns a BSTR. A null BSTR is the empty text.
class ScopedBstr {
public:
    ScopedBstr() = default;
    explicit ScopedBstr(BSTR owned) noexcept : bstr_(owned) {}
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    ScopedBstr(ScopedBstr&& other) noexcept : bstr_(other.Release()) {}
    ScopedBstr& operator=(ScopedBstr&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~ScopedBstr() { SysFreeString(bstr_); }

    // Copies |text|; throws std::bad_alloc when memory runs out.
    static ScopedBstr Copy(std::wstring_view text);

    BSTR Get() const noexcept { return bstr_; }
    UINT Length() const noexcept { return SysStringLen(bstr_); }
    std::wstring_view View() const noexcept { return {bstr_ ? bstr_ : L"", Length()}; }

    // Hands ownership to the caller.
    BSTR Release() noexcept { return std::exchange(bstr_, nullptr); }
    void Reset(BSTR owned = nullptr) noexcept {
        if (owned != bstr_) SysFreeString(std::exchange(bstr_, owned));
    }
    // For out-parameters: the wrapper must be empty, since the callee overwrites the pointer.
    BSTR* Receive() noexcept {
        Reset();
        return &bstr_;
    }

private:
    BSTR bstr_ = nullptr;
};
static_assert(sizeof(ScopedBstr) == sizeof(BSTR));

// Owns a VARIANT; clears it on scope exit.
class ScopedVariant {
public:
    ScopedVariant() noexcept { VariantInit(&var_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    // The value moves as it is; the source is left empty.
    ScopedVariant(ScopedVariant&& other) noexcept : var_(other.var_) { VariantInit(&other.var_); }
    ScopedVariant& operator=(ScopedVariant&& other) noexcept {
        if (this != &other) {
            VariantClear(&var_);
            var_ = other.var_;
            VariantInit(&other.var_);
        }
        return *this;
    }
    ~ScopedVariant() { VariantClear(&var_); }

    const VARIANT& Get() const noexcept { return var_; }
    VARIANT* Ptr() noexcept { return &var_; }
    // For out-parameters: clears what was held first.
    VARIANT* Receive() noexcept {
        VariantClear(&var_);
        return &var_;
    }

private:
    VARIANT var_;
};

// Owns one value of a platform type (a handle, a key, a socket, a block of
// task memory) and frees it with |close| on scope exit. |isValid| tells a
// value to free from an empty one; |empty| is what an empty owner holds.
// Each kind of value is a one-line alias below or beside its use.
template <class T>
constexpr bool IsNotNull(T value) noexcept {
    return value != T{};
}

template <class T, auto close, auto isValid = &IsNotNull<T>, T empty = T{}>
class UniqueValue {
public:
    UniqueValue() = default;
    explicit UniqueValue(T owned) noexcept : value_(owned) {}
    UniqueValue(const UniqueValue&) = delete;
    UniqueValue& operator=(const UniqueValue&) = delete;
    UniqueValue(UniqueValue&& other) noexcept : value_(other.Release()) {}
    UniqueValue& operator=(UniqueValue&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~UniqueValue() {
        static_assert(sizeof(UniqueValue) == sizeof(T), "an owner is exactly the value it owns");
        Reset();
    }

    bool IsValid() const noexcept { return isValid(value_); }
    T Get() const noexcept { return value_; }
    // Hands ownership to the caller.
    T Release() noexcept { return std::exchange(value_, empty); }
    void Reset(T owned = empty) noexcept {
        const T old = std::exchange(value_, owned);
        if (old != owned && isValid(old)) close(old);
    }
    // For out-parameters: frees what was held, since the callee overwrites it.
    T* Receive() noexcept {
        Reset();
        return &value_;
    }

private:
    T value_ = empty;
};

inline bool IsValidHandle(HANDLE handle) noexcept {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A kernel HANDLE: both null and INVALID_HANDLE_VALUE count as empty.
using ScopedHandle = UniqueValue<HANDLE, &CloseHandle, &IsValidHandle>;
// A GDI object (font, brush, bitmap).
using ScopedGdiObject = UniqueValue<HGDIOBJ, &DeleteObject>;
// An open registry key.
using ScopedKey = UniqueValue<HKEY, &RegCloseKey>;
// Text the callee allocated with CoTaskMemAlloc.
using TaskMemText = UniqueValue<wchar_t*, &CoTaskMemFree>;

// A description a type info lends (TYPEATTR, FUNCDESC), given back to that
// type info with |giveBack| on scope exit.
template <class Description, auto giveBack>
struct GiveBackToTypeInfo {
    ITypeInfo* info;
    void operator()(Description* description) const noexcept { (info->*giveBack)(description); }
};
using ScopedTypeAttr = std::unique_ptr<TYPEATTR, GiveBackToTypeInfo<TYPEATTR, &ITypeInfo::ReleaseTypeAttr>>;
using ScopedFuncDesc = std::unique_ptr<FUNCDESC, GiveBackToTypeInfo<FUNCDESC, &ITypeInfo::ReleaseFuncDesc>>;

// Hands a newly created COM object (reference count 1) to the caller as
// |iid| and drops the creation reference, so a failed query destroys it.
// (MinGW's ComPtr::Attach adds a reference of its own, unlike Microsoft's.)
template <class T>
HRESULT HandOverNew(T* created, REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (created == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

}  // namespace core
