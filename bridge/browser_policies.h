// The browsers' own allow lists, written from the list the controls and the
// bridge read. Chrome, Edge and Firefox ask the user before a page of a public
// site may reach a program on this computer's loopback address; the installer
// package lets the sites of ALLOWED_SITES through without the question:
//
//   LabelBridge.exe --browser-policies <list>   (install, repair, upgrade)
//   LabelBridge.exe --remove-browser-policies   (removal)
//
// List policies on Windows are keys whose REG_SZ values are named 1, 2, 3...
// An administrator's entries there, from Group Policy or by hand, are never
// changed or renumbered: ours go after the highest number in use, and the
// names and texts written are kept under kWrittenKey, so that the next run
// and the removal take out exactly those (a value someone has changed since
// stays).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bridge {

inline constexpr wchar_t kWrittenKey[] = L"SOFTWARE\\Lumtag\\LabelBridge\\BrowserPolicies";

// One site pattern of the allow list (core/safety.h) in each browser's syntax;
// empty where that browser cannot say it.
struct BrowserPatterns {
    std::wstring chromium;  // Chrome and Edge: https://host:port, https://[*.]domain:port
    std::wstring firefox;   // Firefox: a host or *.domain, no scheme or port
};

// Nothing when |pattern| is not one the site lock accepts.
std::optional<BrowserPatterns> TranslateSitePattern(const std::wstring& pattern);

// --browser-policies: takes out what the last run wrote, then writes every
// pattern of |sites| ("a;b;c", as ALLOWED_SITES) that the browsers can say
// into Chrome's and Edge's LoopbackNetworkAllowedForUrls and
// LocalNetworkAccessAllowedForUrls and Firefox's LocalNetworkAccess
// SkipDomains. A pattern left out gets a log line. Returns the exit code.
int WriteBrowserPolicies(std::wstring_view sites);

// --remove-browser-policies: takes out what the last run wrote.
int RemoveBrowserPolicies();

}  // namespace bridge
