// The site lock: the policy read, the page address, the match and the
// IObjectSafety verdict built from them.
#include "safety.h"

#include <mshtml.h>
#include <urlmon.h>
#include <wrl/client.h>

#include <algorithm>
#include <optional>

#include "convert.h"
#include "errors.h"
#include "scoped.h"

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Scheme, host and port of an address, as the platform's URL parser reads them.
struct Origin {
    std::wstring scheme;
    std::wstring host;
    DWORD hostType = Uri_HOST_UNKNOWN;
    DWORD port = 0;
    bool hasUserInfo = false;
};

// Only http and https pages have an origin here: file:, about:, javascript:
// and the like never match.
std::optional<Origin> OriginOf(const std::wstring& address) {
    ComPtr<IUri> uri;
    if (FAILED(CreateUri(address.c_str(), Uri_CREATE_CANONICALIZE, 0, &uri))) return std::nullopt;
    Origin origin;
    ScopedBstr scheme, host;
    BOOL hasUserInfo = FALSE;
    if (uri->GetSchemeName(scheme.Receive()) != S_OK || uri->GetHost(host.Receive()) != S_OK ||
        uri->GetHostType(&origin.hostType) != S_OK || uri->GetPort(&origin.port) != S_OK ||
        FAILED(uri->HasProperty(Uri_PROPERTY_USER_INFO, &hasUserInfo)))
        return std::nullopt;
    origin.scheme = scheme.View();
    origin.host = host.View();
    origin.hasUserInfo = hasUserInfo != FALSE;
    if (!EqualsIgnoringCase(origin.scheme, L"http") && !EqualsIgnoringCase(origin.scheme, L"https"))
        return std::nullopt;
    if (origin.host.empty()) return std::nullopt;
    return origin;
}

// A pattern's origin and whether it stands for the hosts below its host.
struct SitePattern {
    Origin origin;
    bool below = false;
};

std::optional<SitePattern> ReadPattern(std::wstring text) {
    SitePattern pattern;
    const size_t authority = text.find(L"://");
    if (authority != std::wstring::npos && text.compare(authority + 3, 2, L"*.") == 0) {
        text.erase(authority + 3, 2);
        pattern.below = true;
    }
    auto origin = OriginOf(text);
    if (!origin || origin->hasUserInfo) return std::nullopt;
    if (pattern.below && origin->hostType != Uri_HOST_DNS) return std::nullopt;
    pattern.origin = std::move(*origin);
    return pattern;
}

bool Allows(const SitePattern& pattern, const Origin& page) {
    if (!EqualsIgnoringCase(pattern.origin.scheme, page.scheme) || pattern.origin.port != page.port) return false;
    const std::wstring_view host = page.host;
    if (!pattern.below) return EqualsIgnoringCase(host, pattern.origin.host);
    // A host below the pattern's: at least one label, a dot, then the pattern's host.
    const size_t suffix = pattern.origin.host.size() + 1;
    return page.hostType == Uri_HOST_DNS && host.size() > suffix && host[host.size() - suffix] == L'.' &&
           EqualsIgnoringCase(host.substr(host.size() - suffix + 1), pattern.origin.host);
}

}  // namespace

std::vector<std::wstring> SplitSitePatterns(std::wstring_view value) {
    std::vector<std::wstring> patterns;
    while (!value.empty()) {
        const size_t end = value.find(L';');
        std::wstring_view piece = value.substr(0, end);
        value = end == std::wstring_view::npos ? std::wstring_view() : value.substr(end + 1);
        piece = Trim(piece, L" \t");
        if (piece.empty()) continue;
        patterns.emplace_back(piece);
    }
    return patterns;
}

std::vector<std::wstring> ReadAllowedSites(HKEY root, const wchar_t* path) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) return {};
    const ScopedKey key(opened);
    DWORD values = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> patterns;
    std::wstring name(longestName + 1, L'\0');
    std::wstring data(longestData / sizeof(wchar_t) + 1, L'\0');
    for (DWORD index = 0; index < values; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        if (RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        // The stored text need not end in a null; it ends at the first one.
        std::wstring_view text(data.data(), size / sizeof(wchar_t));
        text = text.substr(0, text.find(L'\0'));
        for (auto& pattern : SplitSitePatterns(text)) patterns.push_back(std::move(pattern));
    }
    return patterns;
}

bool AddressMatchesSites(const std::wstring& address, const std::vector<std::wstring>& patterns) {
    // The URL parser stops at a null and would judge the text before it as
    // the page ("https://listed.example" NUL ".evil.net/"); an address with a
    // null or any other control character in it is no address.
    if (std::any_of(address.begin(), address.end(), [](wchar_t c) { return c < L' '; })) return false;
    const auto page = OriginOf(address);
    if (!page) return false;
    for (const auto& text : patterns) {
        const auto pattern = ReadPattern(text);
        if (pattern && Allows(*pattern, *page)) return true;
    }
    return false;
}

std::wstring PageAddressOf(IOleClientSite* site) {
    if (site == nullptr) return {};
    ComPtr<IMoniker> moniker;
    const HRESULT named = site->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, &moniker);
    if (named == S_OK && moniker) {
        ComPtr<IBindCtx> context;
        wchar_t* name = nullptr;
        if (FAILED(CreateBindCtx(0, &context)) || FAILED(moniker->GetDisplayName(context.Get(), nullptr, &name)))
            return {};
        const TaskMemText owned(name);
        return owned.IsValid() ? std::wstring(owned.Get()) : std::wstring();
    }
    // S_FALSE, or success without a moniker, is an answer that names no page.
    if (SUCCEEDED(named)) return {};
    // No moniker: the address of the document that contains the control. Never
    // the browser's location, which in a frame is the top window's page.
    ComPtr<IOleContainer> container;
    ComPtr<IHTMLDocument2> document;
    ScopedBstr address;
    if (FAILED(site->GetContainer(&container)) || !container || FAILED(container.As(&document)) ||
        FAILED(document->get_URL(address.Receive())))
        return {};
    return std::wstring(address.View());
}

// IObjectSafety ------------------------------------------------------------------

void ObjectSafety::ForgetVerdicts() noexcept {
    scripting_ = propertyBag_ = streamInit_ = 0;
}

ObjectSafety::Options ObjectSafety::OptionsOf(REFIID iid) noexcept {
    if (iid == IID_IDispatch || iid == dualIid_) return {INTERFACESAFE_FOR_UNTRUSTED_CALLER, &scripting_};
    if (iid == IID_IPersistPropertyBag) return {INTERFACESAFE_FOR_UNTRUSTED_DATA, &propertyBag_};
    if (iid == IID_IPersistStreamInit) return {INTERFACESAFE_FOR_UNTRUSTED_DATA, &streamInit_};
    return {0, nullptr};
}

bool ObjectSafety::ObjectHas(REFIID iid) const noexcept {
    ComPtr<IUnknown> probe;
    return SUCCEEDED(outer_->QueryInterface(iid, &probe));
}

bool ObjectSafety::PageIsAllowed() const {
    const auto patterns = ReadAllowedSites();
    if (patterns.empty()) return false;
    ComPtr<IOleObject> object;
    ComPtr<IOleClientSite> site;
    if (FAILED(outer_->QueryInterface(IID_PPV_ARGS(&object))) || FAILED(object->GetClientSite(&site))) return false;
    return AddressMatchesSites(PageAddressOf(site.Get()), patterns);
}

STDMETHODIMP ObjectSafety::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) noexcept {
    if (supported == nullptr || enabled == nullptr) return E_POINTER;
    *supported = *enabled = 0;
    if (!ObjectHas(iid)) return E_NOINTERFACE;
    const Options options = OptionsOf(iid);
    *supported = options.supported;
    *enabled = options.enabled != nullptr ? *options.enabled : 0;
    return S_OK;
}

// Turning options off always succeeds; turning any on needs a page the
// policy allows, asked anew on every call.
STDMETHODIMP ObjectSafety::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) noexcept {
    if (!ObjectHas(iid)) return E_NOINTERFACE;
    const Options options = OptionsOf(iid);
    if ((mask & ~options.supported) != 0) return E_FAIL;
    if (options.enabled == nullptr) return S_OK;
    const DWORD wanted = mask & enabled;
    // The site asked for the page may drop the caller's last reference; the
    // verdict is still written into a living object.
    const ComPtr<IUnknown> hold(outer_);
    return CatchReturn([&] {
        if (wanted != 0 && !PageIsAllowed()) return E_FAIL;
        *options.enabled = (*options.enabled & ~mask) | wanted;
        return S_OK;
    });
}

}  // namespace core
