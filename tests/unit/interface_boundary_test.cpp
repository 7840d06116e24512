// At every interface boundary an exception becomes the HRESULT it stands
// for (out of memory as E_OUTOFMEMORY, a ComError as its own code) and
// leaves the object as it was: nothing escapes to the caller, and nothing
// half made stays behind.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <oleidl.h>

#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "counted_fake.h"
#include "enumerator.h"
#include "errors.h"
#include "failing_new.h"
#include "ostrel_control.h"
#include "module.h"
#include "recording_dispatch.h"

using core::ScopedBstr;
using Microsoft::WRL::ComPtr;

namespace {

constexpr DISPID kExecPrint = 0x60030004;
constexpr HRESULT kRefused = E_ACCESSDENIED;

void OutOfMemory() {
    throw std::bad_alloc();
}
void Refused() {
    core::Throw(kRefused, L"refused by the test");
}

// A control of the Ostrel class whose construction, surface and painting
// fail as the test asks; its members are never called.
class FaultyControl final : public core::DualControl<_lumtag> {
public:
    // Run by the constructor of the next control.
    static inline std::function<void()> constructionFault;
    // Run once by the next OnWindowCreated; by every PaintSurface.
    std::function<void()> windowFault, paintFault;
    int windowsCreated = 0;

    FaultyControl() : DualControl(ostrel::kControlClass) {
        if (constructionFault) constructionFault();
    }

    STDMETHODIMP SocConnect(VARIANT*, VARIANT*, VARIANT*) noexcept override { return unit::Unexpected("SocConnect"); }
    STDMETHODIMP SocSts(BSTR*) noexcept override { return unit::Unexpected("SocSts"); }
    STDMETHODIMP SendData(VARIANT*, VARIANT*) noexcept override { return unit::Unexpected("SendData"); }
    STDMETHODIMP ExecPrint(VARIANT*, VARIANT*, VARIANT*, VARIANT*, VARIANT*) noexcept override {
        return unit::Unexpected("ExecPrint");
    }
    STDMETHODIMP dectohex(VARIANT*, VARIANT*) noexcept override { return unit::Unexpected("dectohex"); }

private:
    ~FaultyControl() override = default;
    void OnWindowCreated(HWND) override {
        ++windowsCreated;
        if (windowFault) std::exchange(windowFault, nullptr)();
    }
    void PaintSurface(HDC, const RECT&) override {
        if (paintFault) paintFault();
    }
};

// A new FaultyControl as |object|; the control itself for the test to set up.
FaultyControl* NewFaultyControl(ComPtr<_lumtag>& object) {
    EXPECT_EQ(core::CreateControlWith<FaultyControl>(IID_PPV_ARGS(&object)), S_OK);
    return static_cast<FaultyControl*>(object.Get());
}

HRESULT DrawFailing(void (*fault)()) {
    ComPtr<_lumtag> object;
    NewFaultyControl(object)->paintFault = fault;
    ComPtr<IViewObject2> view;
    EXPECT_EQ(object.As(&view), S_OK);
    const core::UniqueValue<HDC, &DeleteDC> dc(CreateCompatibleDC(nullptr));
    const RECTL bounds{0, 0, 40, 20};
    return view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc.Get(), &bounds, nullptr, nullptr, 0);
}

HRESULT ConstructFailing(void (*fault)()) {
    FaultyControl::constructionFault = fault;
    ComPtr<IUnknown> object;
    const HRESULT hr = core::CreateControlWith<FaultyControl>(IID_PPV_ARGS(&object));
    FaultyControl::constructionFault = nullptr;
    return hr;
}

// An item whose copy fails, and an enumerator interface over such items.
struct RefusedItem {
    RefusedItem() = default;
    RefusedItem(const RefusedItem&) { Refused(); }
    RefusedItem& operator=(const RefusedItem&) = default;
};
void AddItemReference(const RefusedItem&) noexcept {}
void ReleaseItem(const RefusedItem&) noexcept {}

struct IEnumRefusedItems : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, RefusedItem* items, ULONG* fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumRefusedItems** copy) = 0;
};

}  // namespace

__CRT_UUID_DECL(IEnumRefusedItems, 0x5d1f3a52, 0x8c1e, 0x4f0b, 0x9a, 0x61, 0x2e, 0x7c, 0x4b, 0x90, 0x13, 0xd8)

namespace {

TEST(InterfaceBoundaries, AFailureReachesTheCallerWithItsOwnCode) {
    const struct {
        const char* name;
        std::function<HRESULT()> call;
        HRESULT expected;
    } cases[] = {
        {"the module's type library, out of memory",
         [] {
             ComPtr<ITypeLib> library;
             const unit::AllocationsFail fail;
             return core::LoadModuleTypeLib(library);
         },
         E_OUTOFMEMORY},
        {"a member's error object, out of memory",
         [] {
             const unit::AllocationsFail fail;
             return core::ReportError(ostrel::kControlClass.ErrorSourceOf(), kRefused, L"refused by the test");
         },
         kRefused},
        {"Draw, out of memory", [] { return DrawFailing(&OutOfMemory); }, E_OUTOFMEMORY},
        {"Draw, refused", [] { return DrawFailing(&Refused); }, kRefused},
        {"a control's construction, refused", [] { return ConstructFailing(&Refused); }, kRefused},
        {"an enumerator's items, refused",
         [] {
             ComPtr<IEnumRefusedItems> enumerator;
             return core::Enumerator<IEnumRefusedItems, RefusedItem>::Create(std::vector<RefusedItem>(1), 0,
                                                                             &enumerator);
         },
         kRefused},
    };
    for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.name;
}

// A container's site for in-place activation, in the window it is given.
class InPlaceSite final : public unit::CountedFake<IOleClientSite, core::WithBases<IOleInPlaceSite, IOleWindow>> {
public:
    explicit InPlaceSite(HWND window) : window_(window) {}
    int activations = 0, deactivations = 0;

    STDMETHODIMP GetWindow(HWND* window) noexcept override {
        *window = window_;
        return S_OK;
    }
    STDMETHODIMP CanInPlaceActivate() noexcept override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() noexcept override {
        ++activations;
        return S_OK;
    }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO) noexcept override {
        *frame = nullptr;
        *document = nullptr;
        *position = *clip = RECT{0, 0, 100, 40};
        return S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivate() noexcept override {
        ++deactivations;
        return S_OK;
    }

    STDMETHODIMP ContextSensitiveHelp(BOOL) noexcept override { return unit::Unexpected("ContextSensitiveHelp"); }
    STDMETHODIMP OnUIActivate() noexcept override { return unit::Unexpected("OnUIActivate"); }
    STDMETHODIMP Scroll(SIZE) noexcept override { return unit::Unexpected("Scroll"); }
    STDMETHODIMP OnUIDeactivate(BOOL) noexcept override { return unit::Unexpected("OnUIDeactivate"); }
    STDMETHODIMP DiscardUndoState() noexcept override { return unit::Unexpected("DiscardUndoState"); }
    STDMETHODIMP DeactivateAndUndo() noexcept override { return unit::Unexpected("DeactivateAndUndo"); }
    STDMETHODIMP OnPosRectChange(LPCRECT) noexcept override { return unit::Unexpected("OnPosRectChange"); }
    STDMETHODIMP SaveObject() noexcept override { return unit::Unexpected("SaveObject"); }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) noexcept override {
        *moniker = nullptr;
        return unit::Unexpected("GetMoniker");
    }
    STDMETHODIMP GetContainer(IOleContainer** container) noexcept override {
        *container = nullptr;
        return unit::Unexpected("GetContainer");
    }
    STDMETHODIMP ShowObject() noexcept override { return unit::Unexpected("ShowObject"); }
    STDMETHODIMP OnShowWindow(BOOL) noexcept override { return unit::Unexpected("OnShowWindow"); }
    STDMETHODIMP RequestNewObjectLayout() noexcept override { return unit::Unexpected("RequestNewObjectLayout"); }

private:
    const HWND window_;
};

TEST(InterfaceBoundaries, AFailedActivationLeavesNoHalfMadeControl) {
    const core::UniqueValue<HWND, &DestroyWindow> container(CreateWindowExW(
        0, L"STATIC", L"container", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(container.IsValid()) << "a display is needed (the harness starts Xvfb)";
    InPlaceSite site(container.Get());
    ComPtr<_lumtag> object;
    FaultyControl* const control = NewFaultyControl(object);
    ComPtr<IOleObject> ole;
    ComPtr<IOleInPlaceObject> inPlace;
    ASSERT_EQ(object.As(&ole), S_OK);
    ASSERT_EQ(object.As(&inPlace), S_OK);

    control->windowFault = [] { core::Throw(kRefused, L"the surface could not be made"); };
    EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.Get(), nullptr), kRefused);
    EXPECT_EQ(unit::ThreadErrorDescription(), L"the surface could not be made");
    HWND window = container.Get();
    EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL) << "the window of a failed activation stays";
    EXPECT_EQ(window, nullptr);
    EXPECT_EQ(site.deactivations, site.activations) << "the site is not told that the activation ended";
    EXPECT_EQ(site.References(), 0u) << "the control holds a site it is not active in";

    // The next activation makes the surface anew.
    EXPECT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, container.Get(), nullptr), S_OK);
    EXPECT_EQ(control->windowsCreated, 2);
    EXPECT_EQ(inPlace->GetWindow(&window), S_OK);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_EQ(site.deactivations, site.activations);
}

// Out of memory at every interface a container or script calls first: the
// call fails with E_OUTOFMEMORY; no exception reaches the caller.
TEST(InterfaceBoundaries, RunningOutOfMemoryIsAnErrorNotACrash) {
    // A fresh control's interfaces, and a saved stream long enough to need
    // memory when it loads.
    struct Control {
        ComPtr<IDispatch> dispatch;
        ComPtr<IProvideClassInfo> classInfo;
        ComPtr<IConnectionPointContainer> points;
        ComPtr<IPersistStreamInit> persist;
        ComPtr<IStream> saved;
    };
    const struct {
        const char* name;
        HRESULT (*call)(Control& c);
    } cases[] = {
        {"GetIDsOfNames",
         [](Control& c) {
             LPOLESTR name = const_cast<LPOLESTR>(L"ExecPrint");
             DISPID id = 0;
             return c.dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
         }},
        {"GetTypeInfo",
         [](Control& c) {
             ComPtr<ITypeInfo> info;
             return c.dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info);
         }},
        {"Invoke",
         [](Control& c) {
             DISPPARAMS none{};
             return c.dispatch->Invoke(kExecPrint, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                                       nullptr, nullptr);
         }},
        {"GetClassInfo",
         [](Control& c) {
             ComPtr<ITypeInfo> info;
             return c.classInfo->GetClassInfo(&info);
         }},
        {"EnumConnectionPoints",
         [](Control& c) {
             ComPtr<IEnumConnectionPoints> points;
             return c.points->EnumConnectionPoints(&points);
         }},
        {"Load(IStream)", [](Control& c) { return c.persist->Load(c.saved.Get()); }},
    };
    for (const auto& testCase : cases) {
        ComPtr<_lumtag> lumtag;
        ASSERT_EQ(ostrel::OstrelControl::CreateWith(unit::RecordingDispatch::Create().Get(), IID__lumtag, &lumtag),
                  S_OK);
        Control c;
        ASSERT_EQ(lumtag.As(&c.dispatch), S_OK);
        ASSERT_EQ(lumtag.As(&c.classInfo), S_OK);
        ASSERT_EQ(lumtag.As(&c.points), S_OK);
        ASSERT_EQ(lumtag.As(&c.persist), S_OK);
        ScopedBstr text(SysAllocString(L"Lager 7, shelf B, row 12, the second bin"));
        ASSERT_EQ(lumtag->put_MemId(text.Get()), S_OK);
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &c.saved), S_OK);
        ASSERT_EQ(c.persist->Save(c.saved.Get(), FALSE), S_OK);
        ASSERT_EQ(c.saved->Seek({}, STREAM_SEEK_SET, nullptr), S_OK);
        HRESULT hr = S_OK;
        {
            unit::AllocationsFail fail;
            hr = testCase.call(c);
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY) << testCase.name;
    }
}

}  // namespace
