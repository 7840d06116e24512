// The library around the control: its module handle and lock count, its
// type library and the class object (self-registration: registration.h).
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <utility>

#include "control_class.h"
#include "errors.h"
#include "scoped.h"

namespace core {

// Recorded by the library's load notification; the image itself before that.
HINSTANCE ModuleHandle() noexcept;
void SetModuleHandle(HINSTANCE module) noexcept;
std::wstring ModulePath();

// Live control objects plus class-object locks: while any is counted, the library stays loaded.
void LockModule() noexcept;
void UnlockModule() noexcept;

// The type library carried in this module's resources ("TYPELIB" 1).
HRESULT LoadModuleTypeLib(Microsoft::WRL::ComPtr<ITypeLib>& typeLib) noexcept;

using CreateControlFunction = HRESULT (*)(REFIID iid, void** object);

// The one control class of a library and how it is created; each library
// defines kLibraryControl once, and its entry points serve it.
struct LibraryControl {
    const ControlClass& controlClass;
    CreateControlFunction create;
};
extern const LibraryControl kLibraryControl;

// Unregisters the window classes this module registered, for its unload.
void UnregisterWindowClasses() noexcept;

// A new control of class |T| around the contained components |components|
// (each an IDispatch*, none null), handed to the caller as |iid|.
template <class T, class... Components>
HRESULT CreateControlWith(REFIID iid, void** object, Components*... components) noexcept {
    if (((components == nullptr) || ...)) return E_POINTER;
    return CatchReturn([&] { return HandOverNew(new T(components...), iid, object); });
}

// The same with components of its own, each made by its creation function
// (HRESULT(IDispatch**)), in the order given.
template <class T, class... Makers>
HRESULT CreateControl(REFIID iid, void** object, Makers... makers) noexcept {
    Microsoft::WRL::ComPtr<IDispatch> components[sizeof...(Makers)];
    HRESULT hr = S_OK;
    size_t next = 0;
    ((hr = SUCCEEDED(hr) ? makers(&components[next++]) : hr), ...);
    if (FAILED(hr)) return hr;
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return CreateControlWith<T>(iid, object, components[I].Get()...);
    }
    (std::index_sequence_for<Makers...>{});
}

// DllGetClassObject and DllCanUnloadNow, for one control class.
HRESULT GetClassObject(const ControlClass& controlClass, CreateControlFunction create, REFCLSID clsid, REFIID iid,
                       void** object) noexcept;
HRESULT CanUnloadNow() noexcept;

}  // namespace core
