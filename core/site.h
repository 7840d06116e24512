// The control in its container: siting (IOleObject), in-place and UI
// activation, the site lock's verdict (IObjectSafety), and the surface: the
// control's window, its keyboard and its drawing. One part of the control
// object (control.h), whose identity it shares.
//
// site.cpp holds the container's side (siting and activation), surface.cpp
// the window's (messages, keyboard, painting).
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include "com_object.h"
#include "control_class.h"
#include "safety.h"

namespace core {

class ControlSite : public Implements<IOleObject, WithBases<IOleInPlaceObject, IOleWindow>, IOleInPlaceActiveObject,
                                      IOleControl, WithBases<IViewObject2, IViewObject>> {
public:
    ControlSite(const ControlSite&) = delete;
    ControlSite& operator=(const ControlSite&) = delete;

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

protected:
    // |identity| is the control object's IUnknown, which IObjectSafety shares.
    ControlSite(const ControlClass& controlClass, IUnknown* identity);
    ~ControlSite();

    // The interfaces of this part, IObjectSafety among them.
    IUnknown* Find(REFIID iid) noexcept;

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

private:
    // A hook's failure is reported with its description, and the activation undone.
    HRESULT ActivateInPlace(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) noexcept;
    HRESULT ActivateUI(IOleClientSite* site, HWND parentHint, LPCRECT positionHint) noexcept;
    // The surface window at |position| in |parent| (surface.cpp); null when it could not be made.
    HWND CreateSurface(HWND parent, const RECT& position) noexcept;
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept;

    const ControlClass& controlClass_;
    IUnknown* const identity_;

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

    ObjectSafety safety_;
};

}  // namespace core
