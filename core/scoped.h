// Small owning wrappers for the platform's BSTR, VARIANT and HANDLE.
// Each owns exactly one value, cannot be copied, and frees it on scope exit.
#pragma once

#include <windows.h>
#include <oleauto.h>

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
    ~ScopedVariant() { VariantClear(&var_); }

    const VARIANT& Get() const noexcept { return var_; }
    VARIANT* Ptr() noexcept { return &var_; }
    // For out-parameters: clears what was held first.
    VARIANT* Receive() noexcept {
        VariantClear(&var_);
        return &var_;
    }
    // Moves the value into |out|, which the caller owns and has not initialised.
    void Release(VARIANT* out) noexcept {
        *out = var_;
        VariantInit(&var_);
    }

private:
    VARIANT var_;
};

// Owns a kernel HANDLE. Both null and INVALID_HANDLE_VALUE count as empty.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE owned) noexcept : handle_(owned) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        Reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~ScopedHandle() { Reset(); }

    bool IsValid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const noexcept { return handle_; }
    void Reset(HANDLE owned = nullptr) noexcept {
        HANDLE old = std::exchange(handle_, owned);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns a GDI object (font, brush, bitmap); deletes it on scope exit.
class ScopedGdiObject {
public:
    ScopedGdiObject() = default;
    explicit ScopedGdiObject(HGDIOBJ owned) noexcept : object_(owned) {}
    ScopedGdiObject(const ScopedGdiObject&) = delete;
    ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
    ~ScopedGdiObject() { Reset(); }

    HGDIOBJ Get() const noexcept { return object_; }
    void Reset(HGDIOBJ owned = nullptr) noexcept {
        HGDIOBJ old = std::exchange(object_, owned);
        if (old != nullptr) DeleteObject(old);
    }

private:
    HGDIOBJ object_ = nullptr;
};

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
