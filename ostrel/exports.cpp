// The library's four entry points.
#include <windows.h>

#include "../core/module.h"
#include "lumtag.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        core::SetModuleHandle(module);
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return core::CanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    return core::GetClassObject(ostrel::kControlClass, &ostrel::Lumtag::Create, clsid, iid, object);
}

STDAPI DllRegisterServer() {
    return core::RegisterServer(ostrel::kControlClass);
}

STDAPI DllUnregisterServer() {
    return core::UnregisterServer(ostrel::kControlClass);
}

}  // extern "C"
