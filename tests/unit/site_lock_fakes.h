// Stand-ins for the site lock's tests: a client site whose container moniker
// is a URL moniker and whose container may be a document, and the site policy written into HKLM of the test's Wine
// prefix for the length of a test.
#pragma once

#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <servprov.h>
#include <urlmon.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "container_document.h"
#include "counted_fake.h"
#include "safety.h"
#include "scoped.h"

namespace unit {

// A client site on the page |page| (no moniker when null). With |services|
// it is also a service provider that offers nothing and records what it was
// asked for. Calls the site lock does not make fail the test.
// GetMoniker answers |monikerAnswer| (S_OK with the page's moniker, E_FAIL
// without a page, unless set), after calling |onGetMoniker|; GetContainer
// gives a container document when SetDocument gave it an address.
class FakeSite final : public CountedFake<IOleClientSite, IServiceProvider> {
public:
    explicit FakeSite(const wchar_t* page, bool services = false)
        : monikerAnswer(page != nullptr ? S_OK : E_FAIL),
          page_(page != nullptr ? page : L""),
          hasPage_(page != nullptr),
          services_(services) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        if (iid == IID_IServiceProvider && !services_) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return CountedFake::QueryInterface(iid, object);
    }

    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) noexcept override {
        *moniker = nullptr;
        EXPECT_EQ(assign, static_cast<DWORD>(OLEGETMONIKER_ONLYIFTHERE));
        EXPECT_EQ(which, static_cast<DWORD>(OLEWHICHMK_CONTAINER));
        if (onGetMoniker) onGetMoniker();
        if (hasPage_) {
            EXPECT_EQ(CreateURLMonikerEx(nullptr, page_.c_str(), moniker, URL_MK_UNIFORM), S_OK);
        }
        return monikerAnswer;
    }
    STDMETHODIMP GetContainer(IOleContainer** container) noexcept override {
        *container = nullptr;
        if (!hasDocument_) return E_NOINTERFACE;
        return core::HandOverNew(CreateContainerDocument(document_.data(), static_cast<UINT>(document_.size())),
                                 IID_IOleContainer, reinterpret_cast<void**>(container));
    }
    void SetDocument(std::wstring address) {
        document_ = std::move(address);
        hasDocument_ = true;
    }
    STDMETHODIMP QueryService(REFGUID service, REFIID iid, void** object) noexcept override {
        asked.emplace_back(service, iid);
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP SaveObject() noexcept override { return Unexpected("IOleClientSite::SaveObject"); }
    STDMETHODIMP ShowObject() noexcept override { return Unexpected("IOleClientSite::ShowObject"); }
    STDMETHODIMP OnShowWindow(BOOL) noexcept override { return Unexpected("IOleClientSite::OnShowWindow"); }
    STDMETHODIMP RequestNewObjectLayout() noexcept override {
        return Unexpected("IOleClientSite::RequestNewObjectLayout");
    }

    // The services asked for, with the interface asked of each.
    std::vector<std::pair<GUID, IID>> asked;
    HRESULT monikerAnswer;
    std::function<void()> onGetMoniker;

private:
    const std::wstring page_;
    const bool hasPage_;
    const bool services_;
    std::wstring document_;
    bool hasDocument_ = false;
};

// The site policy key with the given values while it lives; removed with its parent afterwards.
class ScopedSitePolicy {
public:
    ScopedSitePolicy() {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, core::kAllowedSitesKey, 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key_.Receive(), nullptr),
                  ERROR_SUCCESS);
    }
    explicit ScopedSitePolicy(const wchar_t* text) : ScopedSitePolicy() { Set(L"sites", REG_SZ, text); }
    ScopedSitePolicy(const ScopedSitePolicy&) = delete;
    ScopedSitePolicy& operator=(const ScopedSitePolicy&) = delete;
    ~ScopedSitePolicy() {
        key_.Reset();
        EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, core::kAllowedSitesKey, KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Lumtag", KEY_WOW64_64KEY, 0);
    }

    // Stores |text| with its terminating null as a value of |type|.
    void Set(const wchar_t* name, DWORD type, const wchar_t* text) {
        const DWORD size = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
        EXPECT_EQ(RegSetValueExW(key_.Get(), name, 0, type, reinterpret_cast<const BYTE*>(text), size), ERROR_SUCCESS);
    }

private:
    core::ScopedKey key_;
};

}  // namespace unit
