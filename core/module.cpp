#include "module.h"

#include <atomic>
#include <mutex>

#include "com_object.h"
#include "errors.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

HINSTANCE g_module = reinterpret_cast<HINSTANCE>(&__ImageBase);
std::atomic<LONG> g_locks{0};
// The library's type library, loaded once and held until the library may
// unload: Wine's cache of type libraries frees one whose last reference goes
// while another thread loads it (a host with an apartment thread per
// connection crashed so), and a load per object left memory behind.
// Never destroyed: unloading the library must not call into oleaut32.
std::mutex g_typeLibLock;
ComPtr<ITypeLib>& g_typeLib = *new ComPtr<ITypeLib>;

class ClassFactory final : public SingleInterfaceObject<IClassFactory> {
public:
    explicit ClassFactory(CreateControlFunction create) : create_(create) {}

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return create_(iid, object);
    }
    STDMETHODIMP LockServer(BOOL lock) noexcept override {
        if (lock)
            LockModule();
        else
            UnlockModule();
        return S_OK;
    }

private:
    const CreateControlFunction create_;
};

}  // namespace

HINSTANCE ModuleHandle() noexcept {
    return g_module;
}
void SetModuleHandle(HINSTANCE module) noexcept {
    g_module = module;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) ThrowLastError(E_FAIL, L"The library's path could not be read");
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void LockModule() noexcept {
    ++g_locks;
}
void UnlockModule() noexcept {
    --g_locks;
}

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& typeLib) noexcept {
    return CatchReturn([&] {
        const std::lock_guard hold(g_typeLibLock);
        if (!g_typeLib) {
            const HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &g_typeLib);
            if (FAILED(hr)) return hr;
        }
        typeLib = g_typeLib;
        return S_OK;
    });
}

HRESULT GetClassObject(const ControlClass& controlClass, CreateControlFunction create, REFCLSID clsid, REFIID iid,
                       void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != *controlClass.clsid) return CLASS_E_CLASSNOTAVAILABLE;
    return CatchReturn([&] { return HandOverNew(new ClassFactory(create), iid, object); });
}

HRESULT CanUnloadNow() noexcept {
    if (g_locks.load() != 0) return S_FALSE;
    // Nothing of the library runs now: the type library goes back here, not
    // while the loader unloads the library.
    return CatchReturn([] {
        const std::lock_guard hold(g_typeLibLock);
        if (g_locks.load() != 0) return S_FALSE;
        g_typeLib.Reset();
        return S_OK;
    });
}

}  // namespace core
