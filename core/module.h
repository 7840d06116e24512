// The library around the control: its module handle and lock count, its
// type library, the class object and self-registration.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "control.h"

namespace core {

// Recorded by the library's load notification; the image itself before that.
HINSTANCE ModuleHandle() noexcept;
void SetModuleHandle(HINSTANCE module) noexcept;
std::wstring ModulePath();

// Live control objects plus class-object locks.
void LockModule() noexcept;
void UnlockModule() noexcept;
bool ModuleInUse() noexcept;

// The type library carried in this module's resources ("TYPELIB" 1).
HRESULT LoadModuleTypeLib(Microsoft::WRL::ComPtr<ITypeLib>& typeLib) noexcept;

using CreateControlFunction = HRESULT (*)(REFIID iid, void** object);

// The four library entry points, for one control class.
HRESULT GetClassObject(const ControlClass& controlClass, CreateControlFunction create, REFCLSID clsid, REFIID iid,
                       void** object) noexcept;
HRESULT CanUnloadNow() noexcept;
HRESULT RegisterServer(const ControlClass& controlClass) noexcept;
HRESULT UnregisterServer(const ControlClass& controlClass) noexcept;

}  // namespace core
