// The four entry points of a control library. Each library compiles this
// file into its own image; its control is the one it defines as
// core::kLibraryControl.
#include <windows.h>

#include "module.h"
#include "registration.h"
#include "thread_runtime.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        core::SetModuleHandle(module);
        DisableThreadLibraryCalls(module);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary (not process exit): a reload must find no
        // window class that points into the old image, and a host that loads
        // the library again and again must not run out of what the runtime
        // takes per load.
        core::UnregisterWindowClasses();
        core::ReleaseThreadRuntime(module);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return core::CanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return core::GetClassObject(core::kLibraryControl.controlClass, core::kLibraryControl.create, clsid, iid, object);
}

STDAPI DllRegisterServer() {
    return core::RegisterServer(core::kLibraryControl.controlClass);
}

STDAPI DllUnregisterServer() {
    return core::UnregisterServer(core::kLibraryControl.controlClass);
}

}  // extern "C"
