// DllRegisterServer and DllUnregisterServer: the library's type library
// and the rows of registration.h.
#include "registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.h"
#include "module.h"
#include "resource_ids.h"
#include "scoped.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// Writes |value| (or no value when null) as the default or named value of |path|.
LSTATUS SetValue(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    HKEY created = nullptr;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const ScopedKey key(created);
    if (value != nullptr)
        status = RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
    return status;
}

// What the placeholders of the registration rows stand for, for one class.
class RowText {
public:
    RowText(const ControlClass& controlClass, std::wstring file)
        : values_{{L"clsid", GuidText(*controlClass.clsid)},
                  {L"libid", GuidText(*controlClass.libid)},
                  {L"progid", controlClass.progId},
                  {L"file", std::move(file)},
                  {L"misc", std::to_wstring(controlClass.miscStatus)},
                  {L"bitmap", std::to_wstring(TOOLBOX_BITMAP_ID)}} {}

    // |pattern| with each {name} replaced.
    std::wstring operator()(std::wstring_view pattern) const {
        std::wstring text;
        for (size_t open; (open = pattern.find(L'{')) != std::wstring_view::npos;) {
            const size_t close = pattern.find(L'}', open);
            text.append(pattern.substr(0, open));
            text.append(ValueOf(pattern.substr(open + 1, close - open - 1)));
            pattern.remove_prefix(close + 1);
        }
        return text.append(pattern);
    }

private:
    const std::wstring& ValueOf(std::wstring_view name) const {
        for (const auto& [placeholder, value] : values_)
            if (placeholder == name) return value;
        Throw(E_UNEXPECTED, L"The registration names an unknown placeholder: " + std::wstring(name));
    }

    const std::pair<std::wstring_view, std::wstring> values_[6];
};

// The keys RegisterServer creates with everything below them: those rows
// whose key lies below no other row's.
std::vector<std::wstring> RegisteredTrees(const RowText& text) {
    std::vector<std::wstring> keys, trees;
    for (const RegistrationRow& row : kClassRegistration) keys.push_back(text(row.key));
    for (const std::wstring& key : keys) {
        const auto below = [&](const std::wstring& other) { return key.starts_with(other + L"\\"); };
        if (std::none_of(keys.begin(), keys.end(), below) && std::find(trees.begin(), trees.end(), key) == trees.end())
            trees.push_back(key);
    }
    return trees;
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

}  // namespace

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
        const RowText text(controlClass, path);
        for (const RegistrationRow& row : kClassRegistration) {
            const std::wstring value = row.value != nullptr ? text(row.value) : std::wstring();
            const LSTATUS status = SetValue(text(row.key), row.name, row.value != nullptr ? value.c_str() : nullptr);
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
        // Keys never name the library's file.
        for (const std::wstring& key : RegisteredTrees(RowText(controlClass, std::wstring()))) {
            const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
                result = HRESULT_FROM_WIN32(status);
            if (status == ERROR_SUCCESS) RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        }
        return result;
    });
}

}  // namespace core
