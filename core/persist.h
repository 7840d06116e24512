// The control's persisted properties (MemId) in the host's property bag and
// in a stream of our own format. One part of the control object
// (control.h), whose identity it shares.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string_view>

#include "com_object.h"
#include "scoped.h"

namespace core {

class ControlPersistence : public Implements<WithBases<IPersistStreamInit, IPersist>, IPersistPropertyBag> {
public:
    ControlPersistence(const ControlPersistence&) = delete;
    ControlPersistence& operator=(const ControlPersistence&) = delete;

    // IPersist, IPersistStreamInit, IPersistPropertyBag
    STDMETHODIMP GetClassID(CLSID* clsid) noexcept override;
    STDMETHODIMP IsDirty() noexcept override { return dirty_ ? S_OK : S_FALSE; }
    STDMETHODIMP Load(IStream* stream) noexcept override;
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) noexcept override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) noexcept override;
    STDMETHODIMP InitNew() noexcept override { return S_OK; }
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) noexcept override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) noexcept override;

protected:
    explicit ControlPersistence(const CLSID& clsid) noexcept : clsid_(clsid) {}
    ~ControlPersistence() = default;

    std::wstring_view MemIdText() const noexcept { return memId_.View(); }
    // Keeps a copy of |text| as MemId; unsaved from then on.
    void SetMemIdText(std::wstring_view text);

private:
    const CLSID& clsid_;
    ScopedBstr memId_;
    bool dirty_ = false;
};

}  // namespace core
