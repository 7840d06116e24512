#include "module.h"

#include <atomic>
#include <cwchar>
#include <new>

#include "com_object.h"
#include "errors.h"
#include "resource_ids.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

HINSTANCE g_module = reinterpret_cast<HINSTANCE>(&__ImageBase);
std::atomic<LONG> g_locks{0};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// Writes |value| (or no value when null) as the default or named value of |path|.
LSTATUS SetValue(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    if (value != nullptr)
        status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

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
bool ModuleInUse() noexcept {
    return g_locks.load() != 0;
}

HRESULT LoadModuleTypeLib(ComPtr<ITypeLib>& typeLib) noexcept {
    return CatchReturn(
        [&] { return LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, typeLib.ReleaseAndGetAddressOf()); });
}

HRESULT GetClassObject(const ControlClass& controlClass, CreateControlFunction create, REFCLSID clsid, REFIID iid,
                       void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != *controlClass.clsid) return CLASS_E_CLASSNOTAVAILABLE;
    return HandOverNew(new (std::nothrow) ClassFactory(create), iid, object);
}

HRESULT CanUnloadNow() noexcept {
    return ModuleInUse() ? S_FALSE : S_OK;
}

// The attributes of a loaded type library, released on scope exit.
class TypeLibAttributes {
public:
    explicit TypeLibAttributes(ITypeLib* typeLib) : typeLib_(typeLib) {
        ThrowIfFailed(typeLib_->GetLibAttr(&attributes_), L"The type library's attributes");
    }
    TypeLibAttributes(const TypeLibAttributes&) = delete;
    TypeLibAttributes& operator=(const TypeLibAttributes&) = delete;
    ~TypeLibAttributes() { typeLib_->ReleaseTLibAttr(attributes_); }
    const TLIBATTR* operator->() const noexcept { return attributes_; }

private:
    ITypeLib* typeLib_;
    TLIBATTR* attributes_ = nullptr;
};

// The type library is registered for its own locale; the automation
// marshaller of calls from other apartments asks for the neutral locale
// (0), so the library is also entered there.
std::wstring NeutralLocaleKey(const TypeLibAttributes& attributes) {
    wchar_t version[16] = {};
    swprintf(version, 16, L"%x.%x", attributes->wMajorVerNum, attributes->wMinorVerNum);
    return L"TypeLib\\" + GuidText(attributes->guid) + L"\\" + version + L"\\0";
}

HRESULT RegisterServer(const ControlClass& controlClass) noexcept {
    return CatchReturn([&] {
        const std::wstring path = ModulePath();
        ComPtr<ITypeLib> typeLib;
        HRESULT hr = LoadModuleTypeLib(typeLib);
        if (FAILED(hr)) return hr;
        hr = RegisterTypeLib(typeLib.Get(), const_cast<wchar_t*>(path.c_str()), nullptr);
        if (FAILED(hr)) return hr;
        const TypeLibAttributes attributes(typeLib.Get());
        if (attributes->lcid != LOCALE_NEUTRAL) {
            const wchar_t* system = attributes->syskind == SYS_WIN64 ? L"\\win64" : L"\\win32";
            const LSTATUS status = SetValue(NeutralLocaleKey(attributes) + system, nullptr, path.c_str());
            if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        }

        const std::wstring clsidKey = L"CLSID\\" + GuidText(*controlClass.clsid);
        const std::wstring clsidText = GuidText(*controlClass.clsid);
        const std::wstring libidText = GuidText(*controlClass.libid);
        const std::wstring bitmap = path + L", " + std::to_wstring(TOOLBOX_BITMAP_ID);
        const std::wstring misc = std::to_wstring(controlClass.miscStatus);
        const std::wstring progId = controlClass.progId;
        const struct {
            std::wstring key;
            const wchar_t* name;
            const wchar_t* value;
        } entries[] = {
            // The name containers show for the class (OleRegGetUserType).
            {clsidKey, nullptr, progId.c_str()},
            {clsidKey + L"\\InprocServer32", nullptr, path.c_str()},
            {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
            {clsidKey + L"\\ProgID", nullptr, progId.c_str()},
            {clsidKey + L"\\TypeLib", nullptr, libidText.c_str()},
            {clsidKey + L"\\Version", nullptr, L"1.0"},
            {clsidKey + L"\\Control", nullptr, nullptr},
            {clsidKey + L"\\ToolboxBitmap32", nullptr, bitmap.c_str()},
            {clsidKey + L"\\MiscStatus", nullptr, L"0"},
            {clsidKey + L"\\MiscStatus\\1", nullptr, misc.c_str()},
            {progId, nullptr, progId.c_str()},
            {progId + L"\\CLSID", nullptr, clsidText.c_str()},
        };
        for (const auto& entry : entries) {
            const LSTATUS status = SetValue(entry.key, entry.name, entry.value);
            if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        }
        return S_OK;
    });
}

HRESULT UnregisterServer(const ControlClass& controlClass) noexcept {
    return CatchReturn([&] {
        HRESULT result = S_OK;
        ComPtr<ITypeLib> typeLib;
        if (SUCCEEDED(LoadModuleTypeLib(typeLib))) {
            const TypeLibAttributes attributes(typeLib.Get());
            if (attributes->lcid != LOCALE_NEUTRAL) {
                const std::wstring neutral = NeutralLocaleKey(attributes);
                if (RegDeleteTreeW(HKEY_CLASSES_ROOT, neutral.c_str()) == ERROR_SUCCESS)
                    RegDeleteKeyW(HKEY_CLASSES_ROOT, neutral.c_str());
            }
            const HRESULT hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                                 attributes->lcid, attributes->syskind);
            if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS) result = hr;
        }
        for (const std::wstring& key :
             {L"CLSID\\" + GuidText(*controlClass.clsid), std::wstring(controlClass.progId)}) {
            const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
                result = HRESULT_FROM_WIN32(status);
            if (status == ERROR_SUCCESS) RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        }
        return result;
    });
}

}  // namespace core
