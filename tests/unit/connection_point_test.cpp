// A connection point inside its container: sinks connect, are called in
// connection order until the first refusal, and disconnect; each reference
// taken is given back.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <vector>

#include "connection_point.h"
#include "counted_fake.h"

namespace {

using Microsoft::WRL::ComPtr;

// The container the point lives in: only its reference count is used.
class Container final : public unit::CountedFake<IConnectionPointContainer> {
public:
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) noexcept override {
        return unit::Unexpected("EnumConnectionPoints");
    }
    STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) noexcept override {
        return unit::Unexpected("FindConnectionPoint");
    }
};

class NotifySink final : public unit::CountedFake<IPropertyNotifySink> {
public:
    STDMETHODIMP OnChanged(DISPID id) noexcept override {
        changed.push_back(id);
        return answer;
    }
    STDMETHODIMP OnRequestEdit(DISPID) noexcept override { return unit::Unexpected("OnRequestEdit"); }
    std::vector<DISPID> changed;
    HRESULT answer = S_OK;
};

// A sink of another kind: dispatch only, never called.
class DispatchSink final : public unit::DispatchFake<> {
public:
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override {
        return unit::Unexpected("Invoke");
    }
};

TEST(ConnectionPoints, AdviseCallAndUnadviseInOrder) {
    Container container;
    NotifySink first, second;
    DispatchSink wrongKind;
    core::ConnectionPoint point(&container, IID_IPropertyNotifySink);
    DWORD firstCookie = 0, secondCookie = 0;
    ASSERT_EQ(point.Advise(&first, &firstCookie), S_OK);
    ASSERT_EQ(point.Advise(&second, &secondCookie), S_OK);
    EXPECT_NE(firstCookie, secondCookie);

    first.answer = E_FAIL;
    const HRESULT hr =
        point.ForEachSink([](IUnknown* sink) { return static_cast<IPropertyNotifySink*>(sink)->OnChanged(7); });
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(first.changed.size(), 1u);
    EXPECT_TRUE(second.changed.empty()) << "the first failure stops the round";

    EXPECT_EQ(point.Unadvise(firstCookie), S_OK);
    EXPECT_EQ(point.Unadvise(firstCookie), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point.Unadvise(secondCookie), S_OK);
    EXPECT_EQ(first.References(), 0u);
    EXPECT_EQ(second.References(), 0u);

    // A sink that is not an IPropertyNotifySink cannot connect.
    DWORD cookie = 99;
    EXPECT_EQ(point.Advise(&wrongKind, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);

    ComPtr<IConnectionPointContainer> owner;
    EXPECT_EQ(point.GetConnectionPointContainer(&owner), S_OK);
    EXPECT_EQ(owner.Get(), &container);
}

}  // namespace
