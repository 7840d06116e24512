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

class HostedControl : public testing::Test {
protected:
    void SetUp() override {
        atl_ = LoadLibraryW(L"atl.dll");
        ASSERT_NE(atl_, nullptr) << "Wine ships atl.dll";
        auto init =
            reinterpret_cast<AtlAxWinInitFunction>(reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxWinInit")));
        getControl_ =
            reinterpret_cast<AtlAxGetControlFunction>(reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxGetControl")));
        ASSERT_NE(init, nullptr);
        ASSERT_NE(getControl_, nullptr);
        ASSERT_TRUE(init());
        frame_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 200, nullptr,
                                 nullptr, nullptr, nullptr);
        ASSERT_NE(frame_, nullptr) << "a display is needed (the harness starts Xvfb)";
    }
    void TearDown() override {
        if (frame_ != nullptr) DestroyWindow(frame_);
        if (atl_ != nullptr) FreeLibrary(atl_);
    }
    static void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }

    HMODULE atl_ = nullptr;
    AtlAxGetControlFunction getControl_ = nullptr;
    HWND frame_ = nullptr;
};

TEST_F(HostedControl, TheContainerCreatesSitesAndActivatesItInPlace) {
    HWND host = CreateWindowExW(0, L"AtlAxWin", L"Tessmer.lumtag", WS_CHILD | WS_VISIBLE, 10, 10, 172, 83, frame_,
                                nullptr, nullptr, nullptr);
    ASSERT_NE(host, nullptr) << "the control is registered by the harness";
    Pump();

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(getControl_(host, &unknown), S_OK);
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
    EXPECT_EQ(GetParent(surface), host);
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
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 50, 20);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const RECTL bounds{0, 0, 50, 20};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, memory, &bounds, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(GetPixel(memory, 25, 10), GetSysColor(COLOR_BTNFACE));
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    unknown.Reset();
    control.Reset();
    oleObject.Reset();
    site.Reset();
    inPlace.Reset();
    view.Reset();
    DestroyWindow(host);
    Pump();
    EXPECT_FALSE(IsWindow(surface)) << "the control's window goes with the container's";
}

}  // namespace
