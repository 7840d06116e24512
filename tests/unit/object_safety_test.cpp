// IObjectSafety of the Ostrel control, as a browser asks it: safe for
// scripting and for initialisation only on a page of a site the policy lists.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <dispex.h>
#include <gtest/gtest.h>
#include <objsafe.h>
#include <ocidl.h>

#include <string>

#include "failing_new.h"
#include "ostrel_control.h"
#include "site_lock_fakes.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kCaller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
constexpr DWORD kData = INTERFACESAFE_FOR_UNTRUSTED_DATA;

class ObjectSafetyTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ostrel::OstrelControl::Create(IID_IObjectSafety, &safety_), S_OK);
        ASSERT_EQ(safety_.As(&object_), S_OK);
    }
    void Site(IOleClientSite* site) { ASSERT_EQ(object_->SetClientSite(site), S_OK); }
    // Asks for scripting on IDispatch and the dual interface, and for
    // initialisation from a property bag or a stream; all four must agree.
    HRESULT AskAll() {
        const HRESULT hr = safety_->SetInterfaceSafetyOptions(IID_IDispatch, kCaller, kCaller);
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID__lumtag, kCaller, kCaller), hr);
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, kData, kData), hr);
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IPersistStreamInit, kData, kData), hr);
        return hr;
    }
    DWORD Enabled(REFIID iid) {
        DWORD supported = 0, enabled = 0;
        EXPECT_EQ(safety_->GetInterfaceSafetyOptions(iid, &supported, &enabled), S_OK);
        return enabled;
    }

    ComPtr<IObjectSafety> safety_;
    ComPtr<IOleObject> object_;
};

TEST_F(ObjectSafetyTest, OnlyPagesOfAListedSiteMayScriptAndInitialiseIt) {
    const unit::ScopedSitePolicy policy(L"https://labels.example.com;https://*.corp.example");
    const struct {
        const wchar_t* page;
        HRESULT verdict;
    } cases[] = {
        {L"https://labels.example.com/print.html", S_OK},
        {L"https://a.corp.example:443/", S_OK},
        {L"https://labels.example.com.evil.net/", E_FAIL},
        {L"https://labels.example.com@evil.net/", E_FAIL},
        {L"https://evil.net/?site=https://labels.example.com/", E_FAIL},
        {L"http://labels.example.com/", E_FAIL},
        {L"https://labels.example.com:8443/", E_FAIL},
        {L"file:///C:/print.html", E_FAIL},
        {L"about:blank", E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.page));
        unit::FakeSite site(c.page);
        Site(&site);
        EXPECT_EQ(AskAll(), c.verdict);
        const DWORD scripting = c.verdict == S_OK ? kCaller : 0, loading = c.verdict == S_OK ? kData : 0;
        EXPECT_EQ(Enabled(IID_IDispatch), scripting);
        EXPECT_EQ(Enabled(IID_IPersistPropertyBag), loading);
        // Turning the options off again is never refused.
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IDispatch, kCaller, 0), S_OK);
        EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IPersistPropertyBag, kData, 0), S_OK);
        EXPECT_EQ(Enabled(IID_IDispatch), 0u);
        Site(nullptr);
    }
}

TEST_F(ObjectSafetyTest, NoListNoSiteOrNoAddressIsRefused) {
    unit::FakeSite listed(L"https://labels.example.com/");
    Site(&listed);
    EXPECT_EQ(AskAll(), E_FAIL) << "no policy key";
    {
        const unit::ScopedSitePolicy empty;
        EXPECT_EQ(AskAll(), E_FAIL) << "a policy key without values";
    }
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    EXPECT_EQ(AskAll(), S_OK);
    unit::FakeSite noAddress(nullptr, true);
    Site(&noAddress);
    EXPECT_EQ(AskAll(), E_FAIL);
    Site(nullptr);
    EXPECT_EQ(AskAll(), E_FAIL);
}

// The verdict is for the document that holds the control, whatever window
// (or frame parent) it is shown in, and whatever the site's answers hide.
TEST_F(ObjectSafetyTest, TheDocumentThatHoldsTheControlIsJudged) {
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    using namespace std::string_literals;
    const struct {
        const wchar_t* moniker;
        HRESULT monikerAnswer;
        std::wstring document;
        HRESULT verdict;
    } cases[] = {
        {nullptr, E_FAIL, L"https://labels.example.com/frame.html", S_OK},
        {nullptr, E_FAIL, L"https://evil.net/framed-by-a-listed-page.html", E_FAIL},
        {L"https://labels.example.com/", S_FALSE, L"https://labels.example.com/", E_FAIL},
        {nullptr, E_FAIL, L"https://labels.example.com\0.evil.net/"s, E_FAIL},
        {nullptr, E_FAIL, L"https://labels.example.com/\x01", E_FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.document));
        unit::FakeSite site(c.moniker, true);
        site.monikerAnswer = c.monikerAnswer;
        site.SetDocument(c.document);
        Site(&site);
        EXPECT_EQ(AskAll(), c.verdict);
        EXPECT_TRUE(site.asked.empty()) << "the browser's location is never asked for";
        Site(nullptr);
    }
}

TEST_F(ObjectSafetyTest, AVerdictEndsWhenTheControlMovesToAnotherSite) {
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    unit::FakeSite listed(L"https://labels.example.com/"), other(L"https://labels.example.com/other.html");
    for (IOleClientSite* next : {static_cast<IOleClientSite*>(&other), static_cast<IOleClientSite*>(nullptr)}) {
        Site(&listed);
        ASSERT_EQ(AskAll(), S_OK);
        Site(&listed);
        EXPECT_EQ(Enabled(IID_IDispatch), kCaller) << "the same site again is no move";
        Site(next);
        EXPECT_EQ(Enabled(IID_IDispatch), 0u);
        EXPECT_EQ(Enabled(IID__lumtag), 0u);
        EXPECT_EQ(Enabled(IID_IPersistPropertyBag), 0u);
        EXPECT_EQ(Enabled(IID_IPersistStreamInit), 0u);
    }
}

TEST_F(ObjectSafetyTest, TheControlOutlivesASiteThatDropsItsLastReference) {
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    unit::FakeSite listed(L"https://labels.example.com/");
    Site(&listed);
    object_.Reset();
    IObjectSafety* const safety = safety_.Detach();
    bool dropped = false;
    listed.onGetMoniker = [&] {
        if (!std::exchange(dropped, true)) safety->Release();
    };
    const unit::FreedBlocksWatch watch;
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, kCaller, kCaller), S_OK);
    EXPECT_TRUE(dropped);
    EXPECT_GT(watch.Deleted(), 0u) << "the control is gone after the call";
    EXPECT_FALSE(watch.Written()) << "the verdict went into a freed control";
}

TEST_F(ObjectSafetyTest, ReportsEachInterfacesOptionsAndRefusesOthers) {
    const struct {
        const IID* iid;
        HRESULT result;
        DWORD supported;
    } cases[] = {
        {&IID_IDispatch, S_OK, kCaller},
        {&IID__lumtag, S_OK, kCaller},
        {&IID_IPersistPropertyBag, S_OK, kData},
        {&IID_IPersistStreamInit, S_OK, kData},
        {&IID_IOleObject, S_OK, 0},
        {&__uuidof(IDispatchEx), E_NOINTERFACE, 0},
        {&IID_IPersistStorage, E_NOINTERFACE, 0},
    };
    for (const auto& c : cases) {
        DWORD supported = 0xFF, enabled = 0xFF;
        EXPECT_EQ(safety_->GetInterfaceSafetyOptions(*c.iid, &supported, &enabled), c.result);
        EXPECT_EQ(supported, c.supported);
        EXPECT_EQ(enabled, 0u) << "nothing is enabled before a call enables it";
    }
    EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IPersistStorage, kData, kData), E_NOINTERFACE);
    const unit::ScopedSitePolicy policy(L"https://labels.example.com");
    unit::FakeSite listed(L"https://labels.example.com/");
    Site(&listed);
    // Options an interface does not offer are refused even on a listed page.
    EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IDispatch, kCaller | kData, kCaller | kData), E_FAIL);
    EXPECT_EQ(safety_->SetInterfaceSafetyOptions(IID_IOleObject, kCaller, kCaller), E_FAIL);
    EXPECT_EQ(Enabled(IID_IDispatch), 0u);
    Site(nullptr);
}

}  // namespace
