// IObjectSafety with a site lock. A control that opens ports and connections
// tells a browser that it is safe to script and to initialise only on pages
// of the sites that the machine's policy lists; everywhere else the browser
// refuses to script it. Hosts that are not browsers never ask and are not
// affected.
//
// The pieces are separable: the policy read (ReadAllowedSites), the page
// address (PageAddressOf) and the match (AddressMatchesSites); ObjectSafety
// joins them into the verdict.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>

#include <string>
#include <string_view>
#include <vector>

namespace core {

// Under HKEY_LOCAL_MACHINE: each REG_SZ value, whatever its name, holds one
// site pattern or several separated by ';'. The installer package writes its
// allow list here (packaging/make_package.py reads the key from this line).
inline constexpr wchar_t kAllowedSitesKey[] = L"SOFTWARE\\Policies\\Lumtag\\AllowedSites";

// The patterns of one policy value: split at ';', spaces around each
// removed, empty ones dropped.
std::vector<std::wstring> SplitSitePatterns(std::wstring_view value);

// The patterns of every REG_SZ value of |root|\|path| (the 64-bit view where
// there is one); none when the key is missing. Other value types are ignored.
std::vector<std::wstring> ReadAllowedSites(HKEY root = HKEY_LOCAL_MACHINE, const wchar_t* path = kAllowedSitesKey);

// Whether |address| is an http or https address whose origin one of
// |patterns| allows. A pattern is "scheme://host" or "scheme://host:port":
// the same scheme, the same host (case aside), and the port the pattern
// writes or else the scheme's default port. "scheme://*.domain" allows every
// host below domain, not domain itself; a '*' anywhere else is no wildcard.
// Path, query and fragment never take part; a pattern with user information
// allows nothing.
// Both are read with the platform's URL parser (CreateUri).
bool AddressMatchesSites(const std::wstring& address, const std::vector<std::wstring>& patterns);

// The address of the document that holds |site|: the display name of the
// container moniker when GetMoniker answers S_OK with one; where it fails,
// the URL of the container document (IHTMLDocument2 of GetContainer). Empty
// for any other answer (S_FALSE, no document, a failing call): no page.
std::wstring PageAddressOf(IOleClientSite* site);

// The IObjectSafety of a control object. Scripting safety is offered for
// IDispatch and the control's dual interface, initialisation safety for
// IPersistPropertyBag and IPersistStreamInit; an option is enabled only for a
// page that the policy allows. Part of the control object: its IUnknown
// methods are |outer|'s, and the client site is read through |outer|'s
// IOleObject.
class ObjectSafety final : public IObjectSafety {
public:
    ObjectSafety(IUnknown* outer, const IID& dualIid) noexcept : outer_(outer), dualIid_(dualIid) {}
    ObjectSafety(const ObjectSafety&) = delete;
    ObjectSafety& operator=(const ObjectSafety&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        return outer_->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override { return outer_->Release(); }

    STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) noexcept override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) noexcept override;

    // A verdict holds for the page it was given on: the control calls this
    // when it moves to another client site (or none).
    void ForgetVerdicts() noexcept;

private:
    // The options |iid| supports and where its enabled ones are kept (null
    // when it supports none).
    struct Options {
        DWORD supported;
        DWORD* enabled;
    };
    Options OptionsOf(REFIID iid) noexcept;
    bool ObjectHas(REFIID iid) const noexcept;
    // The verdict: the policy lists sites and the page of the control's client site is on one of them.
    bool PageIsAllowed() const;

    IUnknown* const outer_;
    const IID& dualIid_;
    DWORD scripting_ = 0;
    DWORD propertyBag_ = 0;
    DWORD streamInit_ = 0;
};

}  // namespace core
