// The registered control in a real container: Wine's ATL window host
// creates it by ProgID, sites it, activates it in place and draws it.
#include <windows.h>
#include <ole2.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "ostrel_h.h"
#include "scoped.h"

namespace {

using Microsoft::WRL::ComPtr;

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxGetControlFunction = HRESULT(WINAPI*)(HWND, IUnknown**);
using ScopedLibrary = core::UniqueValue<HMODULE, &FreeLibrary>;
using ScopedWindow = core::UniqueValue<HWND, &DestroyWindow>;
using ScopedMemoryDc = core::UniqueValue<HDC, &DeleteDC>;

int ReleaseScreenDc(HDC dc) {
    return ReleaseDC(nullptr, dc);
}
// A device context of the screen (GetDC(nullptr)).
using ScreenDc = core::UniqueValue<HDC, &ReleaseScreenDc>;

class HostedControl : public testing::Test {
protected:
    void SetUp() override {
        atl_.Reset(LoadLibraryW(L"atl.dll"));
        ASSERT_TRUE(atl_.IsValid()) << "Wine ships atl.dll";
        auto init =
            reinterpret_cast<AtlAxWinInitFunction>(reinterpret_cast<void*>(GetProcAddress(atl_.Get(), "AtlAxWinInit")));
        getControl_ = reinterpret_cast<AtlAxGetControlFunction>(
            reinterpret_cast<void*>(GetProcAddress(atl_.Get(), "AtlAxGetControl")));
        ASSERT_NE(init, nullptr);
        ASSERT_NE(getControl_, nullptr);
        ASSERT_TRUE(init());
        frame_.Reset(CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 200, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_TRUE(frame_.IsValid()) << "a display is needed (the harness starts Xvfb)";
    }
    static void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }

    // The frame goes before the library whose window class hosts the control in it.
    ScopedLibrary atl_;
    AtlAxGetControlFunction getControl_ = nullptr;
    ScopedWindow frame_;
};

TEST_F(HostedControl, TheContainerCreatesSitesAndActivatesItInPlace) {
    ScopedWindow host(CreateWindowExW(0, L"AtlAxWin", L"Tessmer.lumtag", WS_CHILD | WS_VISIBLE, 10, 10, 172, 83,
                                      frame_.Get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(host.IsValid()) << "the control is registered by the harness";
    Pump();

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(getControl_(host.Get(), &unknown), S_OK);
    ComPtr<_lumtag> control;
    ASSERT_EQ(unknown.As(&control), S_OK);

    // Sited: the container is the client site.
    ComPtr<IOleObject> oleObject;
    ASSERT_EQ(unknown.As(&oleObject), S_OK);
    ComPtr<IOleClientSite> site;
    EXPECT_EQ(oleObject->GetClientSite(&site), S_OK);
    EXPECT_NE(site.Get(), nullptr);

    // Active in place: the control's own window sits in the host's window.
    ComPtr<IOleInPlaceObject> inPlace;
    ASSERT_EQ(unknown.As(&inPlace), S_OK);
    HWND surface = nullptr;
    EXPECT_EQ(inPlace->GetWindow(&surface), S_OK);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(GetParent(surface), host.Get());
    EXPECT_TRUE(IsWindowVisible(surface));
    RECT area{};
    GetClientRect(surface, &area);
    EXPECT_GT(area.right, 0);
    EXPECT_GT(area.bottom, 0);

    // Members work on the hosted control as they do unsited.
    core::ScopedBstr text = core::ScopedBstr::Copy(L"hosted");
    EXPECT_EQ(control->put_MemId(text.Get()), S_OK);
    core::ScopedBstr back;
    EXPECT_EQ(control->get_MemId(back.Receive()), S_OK);
    EXPECT_EQ(back.View(), L"hosted");

    // Drawn: the surface paints into a memory picture.
    ComPtr<IViewObject2> view;
    ASSERT_EQ(unknown.As(&view), S_OK);
    {
        const ScreenDc screen(GetDC(nullptr));
        const core::ScopedGdiObject bitmap(CreateCompatibleBitmap(screen.Get(), 50, 20));
        const ScopedMemoryDc memory(CreateCompatibleDC(screen.Get()));
        const HGDIOBJ old = SelectObject(memory.Get(), bitmap.Get());
        const RECTL bounds{0, 0, 50, 20};
        EXPECT_EQ(
            view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, memory.Get(), &bounds, nullptr, nullptr, 0),
            S_OK);
        EXPECT_EQ(GetPixel(memory.Get(), 25, 10), GetSysColor(COLOR_BTNFACE));
        SelectObject(memory.Get(), old);
    }

    unknown.Reset();
    control.Reset();
    oleObject.Reset();
    site.Reset();
    inPlace.Reset();
    view.Reset();
    host.Reset();
    Pump();
    EXPECT_FALSE(IsWindow(surface)) << "the control's window goes with the container's";
}

}  // namespace
