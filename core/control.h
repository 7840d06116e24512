// The control object: everything a container needs from an ActiveX control
// (siting, in-place and UI activation, keyboard, drawing, persistence,
// connection points, class information, error information) plus the member
// call frame and the MemId property. A deliverable derives
// DualControl<its _lumtag> and writes only its members (and, for a visible
// face, the window hooks).
//
// The implementation is split by reason to change: object.cpp (identity,
// dispatch, call frame, connection points), site.cpp (siting, activation,
// keyboard, the surface window, drawing), persist.cpp (persistence),
// safety.cpp (IObjectSafety and the site lock).
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "connection_point.h"
#include "errors.h"
#include "safety.h"
#include "scoped.h"

namespace core {

// What differs between the deliverables' control classes.
struct ControlClass {
    const CLSID* clsid;
    const IID* dispatchIid;  // the dual interface _lumtag
    const IID* eventsIid;    // the events dispinterface __lumtag
    const GUID* libid;
    const wchar_t* progId;       // e.g. "Tessmer.lumtag"
    const wchar_t* libraryName;  // e.g. "Tessmer"
    SIZEL initialSizeTwips;
    DWORD miscStatus;
};

// OLE status bits of both controls: recompose on resize, can't link inside,
// inside-out, activate when visible, set the client site first.
constexpr DWORD kControlMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                     OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;

// Dispatch identifier of MemId in both deliverables.
constexpr DISPID kMemIdDispid = 0x68030000;

class Control : public IOleObject,
                public IOleInPlaceObject,
                public IOleInPlaceActiveObject,
                public IOleControl,
                public IViewObject2,
                public IPersistStreamInit,
                public IPersistPropertyBag,
                public IProvideClassInfo2,
                public IConnectionPointContainer,
                public ISupportErrorInfo {
public:
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // IUnknown, one identity for every interface.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) noexcept override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) noexcept override;
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) noexcept override { return S_OK; }
    STDMETHODIMP Close(DWORD saveOption) noexcept override;
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) noexcept override;
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) noexcept override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent, LPCRECT position) noexcept override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) noexcept override;
    STDMETHODIMP Update() noexcept override { return S_OK; }
    STDMETHODIMP IsUpToDate() noexcept override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) noexcept override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* name) noexcept override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) noexcept override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) noexcept override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) noexcept override;
    STDMETHODIMP Unadvise(DWORD cookie) noexcept override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advises) noexcept override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) noexcept override;
    STDMETHODIMP SetColorScheme(LOGPALETTE*) noexcept override { return E_NOTIMPL; }

    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    STDMETHODIMP GetWindow(HWND* window) noexcept override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() noexcept override;
    STDMETHODIMP UIDeactivate() noexcept override;
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) noexcept override;
    STDMETHODIMP ReactivateAndUndo() noexcept override { return E_NOTIMPL; }
    // Tab and Shift+Tab move between the surface's tab stops; Enter clicks
    // the focused button.
    STDMETHODIMP TranslateAccelerator(LPMSG message) noexcept override;
    STDMETHODIMP OnFrameWindowActivate(BOOL) noexcept override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) noexcept override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) noexcept override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) noexcept override { return S_OK; }

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) noexcept override;
    STDMETHODIMP OnMnemonic(LPMSG) noexcept override { return S_OK; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) noexcept override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL) noexcept override { return S_OK; }

    // IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC draw, LPCRECTL bounds, LPCRECTL,
                      BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) noexcept override;
    STDMETHODIMP GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) noexcept override;
    STDMETHODIMP Freeze(DWORD, LONG, void*, DWORD*) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP Unfreeze(DWORD) noexcept override { return E_NOTIMPL; }
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) noexcept override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) noexcept override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) noexcept override;

    // IPersist, IPersistStreamInit, IPersistPropertyBag
    STDMETHODIMP GetClassID(CLSID* clsid) noexcept override;
    STDMETHODIMP IsDirty() noexcept override { return dirty_ ? S_OK : S_FALSE; }
    STDMETHODIMP Load(IStream* stream) noexcept override;
    STDMETHODIMP Save(IStream* stream, BOOL clearDirty) noexcept override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) noexcept override;
    STDMETHODIMP InitNew() noexcept override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) noexcept override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) noexcept override;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** info) noexcept override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) noexcept override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) noexcept override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) noexcept override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) noexcept override;

    // The MemId property of both deliverables.
    HRESULT GetMemId(BSTR* value) noexcept;
    HRESULT PutMemId(BSTR value) noexcept;

protected:
    // |dual| is the deliverable's _lumtag of the same object.
    Control(const ControlClass& controlClass, IDispatch* dual);
    virtual ~Control();

    // The member call frame: holds the object, empties the value, runs
    // |body|, and on a failure empties the value again and returns the
    // failure's code with its description as the thread's error object.
    template <class Value, class Body>
    HRESULT CallMember(Value* value, Body&& body) noexcept {
        if (value == nullptr) return E_POINTER;
        MemberScope scope(*this);
        InitValue(value);
        const HRESULT hr = CatchReport(ErrorSourceOf(), [&] {
            body(*value);
            return S_OK;
        });
        if (FAILED(hr)) ClearValue(value);
        return hr;
    }
    // The same for a member without a value (a property put).
    template <class Body>
    HRESULT CallMember(Body&& body) noexcept {
        VARIANT unused;
        return CallMember(&unused, [&](VARIANT&) { body(); });
    }

    // IDispatch through the type library, for DualControl.
    HRESULT DispatchTypeInfoCount(UINT* count) noexcept;
    HRESULT DispatchTypeInfo(UINT index, ITypeInfo** info) noexcept;
    HRESULT DispatchIdsOfNames(LPOLESTR* names, UINT count, DISPID* ids) noexcept;
    HRESULT DispatchInvoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           UINT* argumentError) noexcept;

    // Fails the member with E_POINTER when an argument is missing.
    static void RequireArguments(std::initializer_list<const VARIANT*> arguments, const wchar_t* member);

    // The control's own window, once it is active in place; null before.
    HWND Window() const noexcept { return window_; }
    // Called when the control's window has been created, to create child
    // controls. Children with WS_TABSTOP are tab stops in creation order.
    virtual void OnWindowCreated(HWND) {}
    // Called when the control's window has changed size, to place child controls.
    virtual void OnWindowResized(HWND) {}
    // Paints the control's surface into |bounds| of |dc|.
    virtual void PaintSurface(HDC dc, const RECT& bounds);
    // Commands from child controls. The control is held for the call, so a
    // container may release it meanwhile; the window may be gone afterwards.
    virtual void OnCommand(WPARAM, LPARAM) {}

    ErrorSource ErrorSourceOf() const noexcept { return {controlClass_.dispatchIid, controlClass_.progId}; }

private:
    class MemberScope {
    public:
        explicit MemberScope(Control& control) : control_(control) {
            control_.AddRef();
            SetErrorInfo(0, nullptr);
        }
        ~MemberScope() { control_.Release(); }

    private:
        Control& control_;
    };
    static void InitValue(VARIANT* value) noexcept { VariantInit(value); }
    static void InitValue(BSTR* value) noexcept { *value = nullptr; }
    static void ClearValue(VARIANT* value) noexcept { VariantClear(value); }
    static void ClearValue(BSTR* value) noexcept { SysFreeString(std::exchange(*value, nullptr)); }

    ITypeInfo* TypeInfoOf(const GUID& guid);
    HRESULT ActivateInPlace(IOleClientSite* site, HWND parentHint, LPCRECT positionHint);
    HRESULT ActivateUI(IOleClientSite* site, HWND parentHint, LPCRECT positionHint);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void SetMemIdText(std::wstring_view text);
    void NotifyMemIdChanged();
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    const ControlClass& controlClass_;
    IDispatch* const dual_;
    std::atomic<ULONG> references_{1};

    Microsoft::WRL::ComPtr<ITypeLib> typeLib_;
    Microsoft::WRL::ComPtr<ITypeInfo> dispatchTypeInfo_;
    Microsoft::WRL::ComPtr<ITypeInfo> classTypeInfo_;

    Microsoft::WRL::ComPtr<IOleClientSite> clientSite_;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> inPlaceSite_;
    Microsoft::WRL::ComPtr<IOleInPlaceFrame> frame_;
    Microsoft::WRL::ComPtr<IOleInPlaceUIWindow> document_;
    bool uiActive_ = false;
    Microsoft::WRL::ComPtr<IOleAdviseHolder> oleAdviseHolder_;
    Microsoft::WRL::ComPtr<IAdviseSink> viewAdviseSink_;
    DWORD viewAdviseAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    SIZEL extentHimetric_{};
    HWND window_ = nullptr;

    ConnectionPoint eventsPoint_;
    ConnectionPoint propertyNotifyPoint_;

    ScopedBstr memId_;
    bool dirty_ = false;

    ObjectSafety safety_;
};

// Joins the deliverable's dual interface to the control: the IUnknown and
// IDispatch entries of _lumtag go to the shared implementation.
template <class Dual>
class DualControl : public Dual, public Control {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        return Control::QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return Control::AddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override { return Control::Release(); }

    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override { return DispatchTypeInfoCount(count); }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) noexcept override {
        return DispatchTypeInfo(index, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) noexcept override {
        return DispatchIdsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                        UINT* argumentError) noexcept override {
        return DispatchInvoke(id, flags, params, result, exception, argumentError);
    }

    STDMETHODIMP get_MemId(BSTR* value) noexcept override { return GetMemId(value); }
    STDMETHODIMP put_MemId(BSTR value) noexcept override { return PutMemId(value); }

protected:
    explicit DualControl(const ControlClass& controlClass)
        : Control(controlClass, static_cast<IDispatch*>(static_cast<Dual*>(this))) {}
};

}  // namespace core
