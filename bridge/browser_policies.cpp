// The browsers' allow lists: the translation of our patterns and the
// numbered values that hold them.
#include "browser_policies.h"

#include <windows.h>
#include <urlmon.h>
#include <wrl/client.h>

#include <cwchar>
#include <vector>

#include "log.h"
#include "safety.h"
#include "scoped.h"
#include "utf8.h"

using Microsoft::WRL::ComPtr;

namespace bridge {

namespace {

struct Policy {
    const wchar_t* key;  // under HKEY_LOCAL_MACHINE
    std::wstring BrowserPatterns::*entry;
};

constexpr Policy kPolicies[] = {
    {L"SOFTWARE\\Policies\\Google\\Chrome\\LoopbackNetworkAllowedForUrls", &BrowserPatterns::chromium},
    {L"SOFTWARE\\Policies\\Google\\Chrome\\LocalNetworkAccessAllowedForUrls", &BrowserPatterns::chromium},
    {L"SOFTWARE\\Policies\\Microsoft\\Edge\\LoopbackNetworkAllowedForUrls", &BrowserPatterns::chromium},
    {L"SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls", &BrowserPatterns::chromium},
    {L"SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains", &BrowserPatterns::firefox},
};

// Policies are read from the 64-bit view.
constexpr REGSAM kView = KEY_WOW64_64KEY;

bool IsDefaultPort(std::wstring_view scheme, DWORD port) {
    return (scheme == L"http" && port == 80) || (scheme == L"https" && port == 443);
}

struct Value {
    std::wstring name, text;
};

// The REG_SZ values of |key|.
std::vector<Value> ReadValues(HKEY key) {
    std::vector<Value> values;
    DWORD count = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName, &longestData,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return values;
    std::wstring name(longestName + 1, L'\0'), data(longestData / sizeof(wchar_t) + 1, L'\0');
    for (DWORD index = 0; index < count; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size()), type = REG_NONE;
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                          &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        values.push_back({name.substr(0, nameLength), std::wstring(data.c_str())});
    }
    return values;
}

core::ScopedKey OpenKey(const wchar_t* path, bool create) {
    HKEY opened = nullptr;
    const LONG status = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE | kView,
                                                 nullptr, &opened, nullptr)
                               : RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE | kView, &opened);
    return core::ScopedKey(status == ERROR_SUCCESS ? opened : nullptr);
}

bool SetText(HKEY key, const std::wstring& name, const std::wstring& text) {
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// A key we may have created goes when nothing is left in it.
void DeleteIfEmpty(const std::wstring& path) {
    const core::ScopedKey key = OpenKey(path.c_str(), false);
    DWORD subkeys = 1, values = 1;
    if (!key.Get() ||
        RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0 || values != 0)
        return;
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0);
}

void Log(std::string_view what, const std::wstring& detail) {
    LogLine(std::string(what) + WideToUtf8(detail));
}

}  // namespace

std::optional<BrowserPatterns> TranslateSitePattern(const std::wstring& pattern) {
    // Read as the site lock reads it (core/safety.cpp): "*." after the scheme
    // stands for the hosts below, the rest is an http or https origin.
    std::wstring text = pattern;
    const size_t authority = text.find(L"://");
    const bool below = authority != std::wstring::npos && text.compare(authority + 3, 2, L"*.") == 0;
    if (below) text.erase(authority + 3, 2);
    ComPtr<IUri> uri;
    core::ScopedBstr scheme, host;
    DWORD hostType = Uri_HOST_UNKNOWN, port = 0;
    BOOL hasUserInfo = FALSE;
    if (FAILED(CreateUri(text.c_str(), Uri_CREATE_CANONICALIZE, 0, &uri)) ||
        uri->GetSchemeName(scheme.Receive()) != S_OK || uri->GetHost(host.Receive()) != S_OK ||
        uri->GetHostType(&hostType) != S_OK || uri->GetPort(&port) != S_OK ||
        FAILED(uri->HasProperty(Uri_PROPERTY_USER_INFO, &hasUserInfo)) || hasUserInfo)
        return std::nullopt;
    const std::wstring schemeName(scheme.View()), hostName(host.View());
    if ((schemeName != L"http" && schemeName != L"https") || hostName.empty() || (below && hostType != Uri_HOST_DNS))
        return std::nullopt;
    BrowserPatterns out;
    // Chrome's patterns write an IPv6 address in brackets and, without a
    // port, mean the scheme's default one.
    const std::wstring name = hostType == Uri_HOST_IPV6 ? L"[" + hostName + L"]" : hostName;
    out.chromium = schemeName + L"://" + (below ? L"[*.]" : L"") + name;
    if (!IsDefaultPort(schemeName, port)) out.chromium += L":" + std::to_wstring(port);
    // Firefox's list holds host names and addresses as they are written in
    // an address, without brackets for IPv6: ours cannot be told apart there.
    if (hostType != Uri_HOST_IPV6) out.firefox = (below ? L"*." : L"") + hostName;
    return out;
}

int RemoveBrowserPolicies() {
    const core::ScopedKey written = OpenKey(kWrittenKey, false);
    if (!written.Get()) return 0;
    int failures = 0;
    for (const Value& ours : ReadValues(written.Get())) {
        // The name is "<policy key>\<value name>".
        const size_t split = ours.name.rfind(L'\\');
        if (split == std::wstring::npos) continue;
        const std::wstring path = ours.name.substr(0, split), name = ours.name.substr(split + 1);
        if (const core::ScopedKey key = OpenKey(path.c_str(), false); key.Get()) {
            for (const Value& value : ReadValues(key.Get()))
                if (value.name == name && value.text == ours.text &&
                    RegDeleteValueW(key.Get(), name.c_str()) != ERROR_SUCCESS)
                    ++failures;
        }
        DeleteIfEmpty(path);
    }
    if (failures) {
        LogLine("browser policies: some values the package wrote could not be removed");
        return 1;
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kWrittenKey, kView, 0);
    return 0;
}

int WriteBrowserPolicies(std::wstring_view sites) {
    if (RemoveBrowserPolicies() != 0) return 1;
    std::vector<BrowserPatterns> patterns;
    for (const std::wstring& pattern : core::SplitSitePatterns(sites)) {
        auto translated = TranslateSitePattern(pattern);
        if (!translated) {
            Log("browser policies: not a site pattern, left out: ", pattern);
            continue;
        }
        if (translated->firefox.empty()) Log("browser policies: Firefox cannot list this site, left out: ", pattern);
        patterns.push_back(std::move(*translated));
    }
    const core::ScopedKey written = OpenKey(kWrittenKey, true);
    if (!written.Get()) {
        LogLine("browser policies: cannot create the key that keeps what the package wrote");
        return 1;
    }
    int failures = 0;
    for (const Policy& policy : kPolicies) {
        const core::ScopedKey key = OpenKey(policy.key, true);
        if (!key.Get()) {
            ++failures;
            continue;
        }
        std::vector<Value> present = ReadValues(key.Get());
        unsigned long highest = 0;
        for (const Value& value : present) {
            wchar_t* end = nullptr;
            const unsigned long number = std::wcstoul(value.name.c_str(), &end, 10);
            if (!value.name.empty() && *end == L'\0' && number > highest) highest = number;
        }
        for (const BrowserPatterns& pattern : patterns) {
            const std::wstring& entry = pattern.*policy.entry;
            bool listed = entry.empty();
            for (const Value& value : present) listed = listed || value.text == entry;
            if (listed) continue;  // an administrator's entry, or one of ours twice
            const std::wstring name = std::to_wstring(++highest);
            if (!SetText(key.Get(), name, entry) ||
                !SetText(written.Get(), std::wstring(policy.key) + L"\\" + name, entry)) {
                ++failures;
                continue;
            }
            present.push_back({name, entry});
        }
    }
    if (failures) LogLine("browser policies: some values could not be written");
    return failures ? 1 : 0;
}

}  // namespace bridge
