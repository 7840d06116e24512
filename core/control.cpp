// The control object's identity (one QueryInterface over its parts'
// interface lists), its lifetime and the MemId property.
#include "control.h"

#include "module.h"

namespace core {

Control::Control(const ControlClass& controlClass, IDispatch* dual)
    : ControlObject(controlClass, dual), ControlPersistence(*controlClass.clsid), ControlSite(controlClass, dual) {
    LockModule();
}

Control::~Control() {
    UnlockModule();
}

STDMETHODIMP Control::QueryInterface(REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    IUnknown* found = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == *Class().dispatchIid) found = DualInterface();
    if (found == nullptr) found = ControlObject::Find(iid);
    if (found == nullptr) found = ControlPersistence::Find(iid);
    if (found == nullptr) found = ControlSite::Find(iid);
    return HandOutInterface(found, object);
}

STDMETHODIMP_(ULONG) Control::AddRef() noexcept {
    return ++references_;
}

STDMETHODIMP_(ULONG) Control::Release() noexcept {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT Control::GetMemId(BSTR* value) noexcept {
    return CallMember(value, [&](BSTR& out) { out = ScopedBstr::Copy(MemIdText()).Release(); });
}

HRESULT Control::PutMemId(BSTR value) noexcept {
    return CallMember([&] {
        SetMemIdText({value ? value : L"", SysStringLen(value)});
        NotifyPropertyChanged(kMemIdDispid, L"MemId");
    });
}

}  // namespace core
