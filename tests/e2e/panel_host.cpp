// panel_host: a container for the Quennet test panel, driven line by line.
//
// It creates a frame window, hosts Quennet.lumtag in Wine's ATL window host
// (an AtlAxWin child), UI-activates it when the host has not, and then reads
// commands from stdin. Each answer is a few lines on stdout ending in "OK" or
// "ERR <reason>". It knows the control only through its ProgID and the
// standard OLE and automation interfaces, as any container does.
//
//   children                 DPI, natural extent, child count, then one
//                            CHILD line per child in tab order
//   focus                    the focused window
//   key tab|shifttab|enter|space
//                            the key as a container delivers it: through
//                            IOleInPlaceActiveObject::TranslateAccelerator,
//                            dispatched when the control passes it on
//   settext <text>           sets the edit box
//   click com|lpt            BM_CLICK on a button; a box the click shows is
//                            reported (MSGBOX) and closed
//   exec <mode>|<setting>|<port>|<text>
//                            ExecPrint through IDispatch, as a script calls it
//   release-during-click com|lpt
//                            a click whose box is up while the container
//                            window is destroyed, every reference dropped
//                            and unused libraries unloaded
//   resize <width> <height>  the site resized, and SetObjectRects called as a
//                            container calls it; answers the control window's
//                            client size (SURFACE)
//   shot <path>              the frame's client area as a 24-bit BMP
//   ping, quit
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <wrl/client.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scoped.h"

namespace {

using core::ScopedGdiObject;
using core::ScopedHandle;
using core::ScopedVariant;
using Microsoft::WRL::ComPtr;

constexpr wchar_t kProgId[] = L"Quennet.lumtag";
constexpr wchar_t kFrameClass[] = L"PanelHostFrame";
// Posted by the box watcher: lParam is the box; handled inside its modal loop.
constexpr UINT kReleaseMessage = WM_APP + 1;
constexpr int kHimetricPerInch = 2540;

// --- owning wrappers (the generic owner and its aliases: core/scoped.h) ---

using UniqueLibrary = core::UniqueValue<HMODULE, &FreeLibrary>;
using UniqueMemoryDc = core::UniqueValue<HDC, &DeleteDC>;
using UniqueWindow = core::UniqueValue<HWND, &DestroyWindow>;

class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    ~WindowDc() {
        if (dc_ != nullptr) ReleaseDC(window_, dc_);
    }
    HDC Get() const noexcept { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Frees what IDispatch::Invoke put in an EXCEPINFO.
class ExcepInfo {
public:
    ExcepInfo() = default;
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    ~ExcepInfo() {
        SysFreeString(info_.bstrSource);
        SysFreeString(info_.bstrDescription);
        SysFreeString(info_.bstrHelpFile);
    }
    EXCEPINFO* Ptr() noexcept { return &info_; }
    const EXCEPINFO& Get() noexcept {
        if (info_.pfnDeferredFillIn != nullptr) {
            info_.pfnDeferredFillIn(&info_);
            info_.pfnDeferredFillIn = nullptr;
        }
        return info_;
    }

private:
    EXCEPINFO info_{};
};

// --- text ----------------------------------------------------------------------

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// For windows of the calling thread (an edit box keeps its text to itself).
std::wstring WindowText(HWND window) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(window, buffer, 1024);
    return buffer;
}

// The text the window manager holds; sends no message, so the box watcher
// may read the box's texts while the window thread is anywhere.
std::wstring StoredText(HWND window) {
    wchar_t buffer[1024] = {};
    InternalGetWindowText(window, buffer, 1024);
    return buffer;
}

std::wstring ClassName(HWND window) {
    wchar_t buffer[256] = {};
    GetClassNameW(window, buffer, 256);
    return buffer;
}

// Line breaks as \n, so that one answer line stays one line.
std::wstring OneLine(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n')
            out += L"\\n";
        else if (c != L'\r')
            out += c;
    }
    return out;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

class Answer {
public:
    void Line(const std::string& line) { text_ += line + "\n"; }
    void Line(const std::wstring& line) { Line(Utf8(line)); }
    void Send(const std::string& status) {
        text_ += status + "\n";
        fwrite(text_.data(), 1, text_.size(), stdout);
        fflush(stdout);
        text_.clear();
    }

private:
    std::string text_;
};

std::string Hex(HRESULT hr) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

// --- commands from stdin -----------------------------------------------------

// Lines from stdin, read on a thread of their own and taken by the window
// thread only between commands (never inside a modal loop).
class CommandQueue {
public:
    CommandQueue() : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    HANDLE ReadyEvent() const noexcept { return ready_.Get(); }

    // Reads until "quit" or the end of input (which counts as "quit").
    void ReadStdin() {
        std::string line;
        for (;;) {
            const bool read = static_cast<bool>(std::getline(std::cin, line));
            if (read && !line.empty() && line.back() == '\r') line.pop_back();
            Push(read ? line : "quit");
            if (!read || line == "quit") return;
        }
    }

    bool Pop(std::string* line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.empty()) return false;
        *line = std::move(lines_.front());
        lines_.pop_front();
        return true;
    }

private:
    void Push(std::string line) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(std::move(line));
        }
        SetEvent(ready_.Get());
    }

    ScopedHandle ready_;
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

// --- message boxes -------------------------------------------------------------

struct BoxSeen {
    bool seen = false;
    std::wstring owner;  // "frame", "none" or "other"
    std::wstring title;
    std::wstring text;
};

// Watches the window thread for a dialog box while a click runs on it.
// Closes the first box it sees, or, when |releaseTarget| is set, posts
// kReleaseMessage to it and leaves the closing to its handler.
class BoxWatcher {
public:
    BoxWatcher(DWORD thread, HWND frame, HWND releaseTarget)
        : thread_(thread), frame_(frame), releaseTarget_(releaseTarget), worker_([this] { Run(); }) {}
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;
    ~BoxWatcher() { Finish(); }

    // Ends the watch; the result is complete afterwards.
    const BoxSeen& Finish() {
        stop_ = true;
        if (worker_.joinable()) worker_.join();
        return seen_;
    }

private:
    void Run() {
        while (!stop_) {
            HWND box = FindBox();
            if (box != nullptr) {
                Describe(box);
                if (releaseTarget_ != nullptr)
                    PostMessageW(releaseTarget_, kReleaseMessage, 0, reinterpret_cast<LPARAM>(box));
                else
                    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                return;
            }
            Sleep(10);
        }
    }

    // The first visible dialog box of the watched thread.
    static BOOL CALLBACK TakeBox(HWND window, LPARAM found) {
        if (ClassName(window) != L"#32770" || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    HWND FindBox() const {
        HWND found = nullptr;
        EnumThreadWindows(thread_, &TakeBox, reinterpret_cast<LPARAM>(&found));
        return found;
    }

    void Describe(HWND box) {
        seen_.seen = true;
        const HWND owner = GetWindow(box, GW_OWNER);
        seen_.owner = owner == nullptr ? L"none" : owner == frame_ ? L"frame" : L"other";
        seen_.title = StoredText(box);
        // The message is the box's static text with words; the icon has none.
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
            const std::wstring text = StoredText(child);
            if (lstrcmpiW(ClassName(child).c_str(), L"Static") == 0 && !text.empty())
                seen_.text += seen_.text.empty() ? text : L"\n" + text;
        }
    }

    const DWORD thread_;
    const HWND frame_;
    const HWND releaseTarget_;
    std::atomic<bool> stop_{false};
    BoxSeen seen_;
    std::thread worker_;
};

void ReportBox(const BoxSeen& box, Answer& answer) {
    if (box.seen) answer.Line(L"MSGBOX " + box.owner + L"|" + box.title + L"|" + OneLine(box.text));
}

// --- the container -------------------------------------------------------------

using AtlAxWinInitFunction = BOOL(WINAPI*)();
using AtlAxGetControlFunction = HRESULT(WINAPI*)(HWND, IUnknown**);

class Host {
public:
    // Creates the frame, the hosted control and its UI activation; a failure
    // is returned as the reason.
    std::string Start();
    // Runs one command; false after quit.
    bool Run(const std::string& line);
    // What the frame window does with kReleaseMessage.
    void ReleaseDuringBox(HWND box);
    ~Host();

private:
    void Children(Answer& answer);
    void Focus(Answer& answer);
    void Key(const std::string& key, Answer& answer);
    void SetText(const std::string& text, Answer& answer);
    void Click(const std::string& which, bool release, Answer& answer);
    void Exec(const std::string& arguments, Answer& answer);
    void Shot(const std::string& path, Answer& answer);
    void Resize(const std::string& size, Answer& answer);

    bool Hosted() const { return control_ != nullptr; }
    HWND Surface() const;
    HWND Button(const std::string& which) const;
    HWND Edit() const { return FindWindowExW(Surface(), nullptr, L"Edit", nullptr); }
    void Pump() const;

    UniqueLibrary atl_;
    UniqueWindow frame_;
    HWND site_ = nullptr;  // the AtlAxWin window, a child of the frame
    SIZEL naturalExtent_{};
    ComPtr<IUnknown> control_;
    bool releasedDuringBox_ = false;
};

Host* g_host = nullptr;

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kReleaseMessage && g_host != nullptr) {
        g_host->ReleaseDuringBox(reinterpret_cast<HWND>(lparam));
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

std::string Host::Start() {
    atl_.Reset(LoadLibraryW(L"atl.dll"));
    if (!atl_.IsValid()) return "atl.dll not found";
    const auto init =
        reinterpret_cast<AtlAxWinInitFunction>(reinterpret_cast<void*>(GetProcAddress(atl_.Get(), "AtlAxWinInit")));
    const auto getControl = reinterpret_cast<AtlAxGetControlFunction>(
        reinterpret_cast<void*>(GetProcAddress(atl_.Get(), "AtlAxGetControl")));
    if (init == nullptr || getControl == nullptr || !init()) return "AtlAxWinInit unavailable";

    // The control's own extent, asked of a fresh instance as a container
    // asks before it sizes the site (the site's size then becomes the
    // hosted instance's extent).
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) return "ProgID not registered: " + Hex(hr);
    {
        ComPtr<IOleObject> probe;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&probe));
        if (FAILED(hr)) return "CoCreateInstance: " + Hex(hr);
        hr = probe->GetExtent(DVASPECT_CONTENT, &naturalExtent_);
        if (FAILED(hr)) return "GetExtent: " + Hex(hr);
    }

    WNDCLASSEXW frameClass{};
    frameClass.cbSize = sizeof frameClass;
    frameClass.lpfnWndProc = &FrameProc;
    frameClass.hInstance = GetModuleHandleW(nullptr);
    frameClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    frameClass.lpszClassName = kFrameClass;
    if (RegisterClassExW(&frameClass) == 0) return "RegisterClassEx failed";

    SIZE dpi;
    {
        WindowDc screen(nullptr);
        dpi = {GetDeviceCaps(screen.Get(), LOGPIXELSX), GetDeviceCaps(screen.Get(), LOGPIXELSY)};
    }
    const int width = MulDiv(naturalExtent_.cx, dpi.cx, kHimetricPerInch);
    const int height = MulDiv(naturalExtent_.cy, dpi.cy, kHimetricPerInch);
    RECT outer{0, 0, width, height};
    AdjustWindowRectEx(&outer, WS_OVERLAPPEDWINDOW, FALSE, 0);
    frame_.Reset(CreateWindowExW(0, kFrameClass, L"Quennet test panel", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr));
    if (!frame_.IsValid()) return "no frame window (is there a display?)";
    site_ = CreateWindowExW(0, L"AtlAxWin", kProgId, WS_CHILD | WS_VISIBLE, 0, 0, width, height, frame_.Get(), nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    if (site_ == nullptr) return "no AtlAxWin window";
    SetForegroundWindow(frame_.Get());
    Pump();
    hr = getControl(site_, &control_);
    if (FAILED(hr) || !control_) return "the container holds no control: " + Hex(hr);
    if (Surface() == nullptr) return "the control is not active in place";

    // Wine's host activates in place only; a form UI-activates its first control.
    const HWND focus = GetFocus();
    if (focus == nullptr || (focus != Surface() && !IsChild(Surface(), focus))) {
        ComPtr<IOleObject> object;
        ComPtr<IOleClientSite> site;
        if (FAILED(control_.As(&object)) || FAILED(object->GetClientSite(&site)) || !site)
            return "no client site to activate with";
        RECT area;
        GetClientRect(site_, &area);
        hr = object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site.Get(), 0, site_, &area);
        if (FAILED(hr)) return "DoVerb(OLEIVERB_UIACTIVATE): " + Hex(hr);
    }
    Pump();
    return {};
}

Host::~Host() {
    control_.Reset();
    frame_.Reset();
    Pump();
}

HWND Host::Surface() const {
    ComPtr<IOleInPlaceObject> inPlace;
    HWND surface = nullptr;
    if (control_ && SUCCEEDED(control_.As(&inPlace))) inPlace->GetWindow(&surface);
    return surface;
}

HWND Host::Button(const std::string& which) const {
    const wchar_t* caption = which == "com" ? L"COM PORT TEST" : which == "lpt" ? L"LPT PORT TEST" : nullptr;
    return caption == nullptr ? nullptr : FindWindowExW(Surface(), nullptr, L"Button", caption);
}

void Host::Pump() const {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool Host::Run(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    Answer answer;
    if (verb == "quit") {
        answer.Send("OK");
        return false;
    }
    if (verb == "ping") {
        answer.Send("OK");
        return true;
    }
    if (!Hosted()) {
        answer.Send("ERR no control hosted");
        return true;
    }
    if (verb == "children")
        Children(answer);
    else if (verb == "focus")
        Focus(answer);
    else if (verb == "key")
        Key(rest, answer);
    else if (verb == "settext")
        SetText(rest, answer);
    else if (verb == "click")
        Click(rest, false, answer);
    else if (verb == "release-during-click")
        Click(rest, true, answer);
    else if (verb == "exec")
        Exec(rest, answer);
    else if (verb == "shot")
        Shot(rest, answer);
    else if (verb == "resize")
        Resize(rest, answer);
    else
        answer.Send("ERR unknown command: " + verb);
    return true;
}

void Host::Children(Answer& answer) {
    const HWND surface = Surface();
    SIZE dpi;
    {
        WindowDc container(site_);
        dpi = {GetDeviceCaps(container.Get(), LOGPIXELSX), GetDeviceCaps(container.Get(), LOGPIXELSY)};
    }
    answer.Line("DPI " + std::to_string(dpi.cx) + " " + std::to_string(dpi.cy));
    answer.Line("EXTENT " + std::to_string(naturalExtent_.cx) + " " + std::to_string(naturalExtent_.cy));
    int count = 0;
    for (HWND child = GetWindow(surface, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) ++count;
    answer.Line("COUNT " + std::to_string(count));

    const HWND first = GetNextDlgTabItem(surface, nullptr, FALSE);
    HWND child = first;
    for (int i = 0; child != nullptr && child != surface && i < count; ++i) {
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, surface, reinterpret_cast<POINT*>(&rect), 2);
        LOGFONTW font{};
        const auto handle = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
        if (handle != nullptr) GetObjectW(handle, sizeof font, &font);
        answer.Line(L"CHILD " + ClassName(child) + L"|" + WindowText(child) + L"|" + std::to_wstring(rect.left) + L"," +
                    std::to_wstring(rect.top) + L"," + std::to_wstring(rect.right - rect.left) + L"," +
                    std::to_wstring(rect.bottom - rect.top) + L"|" + std::to_wstring(font.lfHeight) + L"," +
                    std::to_wstring(font.lfWeight) + L"," + std::to_wstring(font.lfCharSet) + L"," + font.lfFaceName);
        child = GetNextDlgTabItem(surface, child, FALSE);
        if (child == first) break;
    }
    answer.Send("OK");
}

void Host::Focus(Answer& answer) {
    const HWND focus = GetFocus();
    if (focus != nullptr && IsChild(Surface(), focus))
        answer.Line(L"FOCUS " + WindowText(focus));
    else
        answer.Line(L"FOCUS outside the panel: " + (focus == nullptr ? L"none" : ClassName(focus)));
    answer.Send("OK");
}

// The key as a container's message loop hands it on: the active object's
// TranslateAccelerator first, the window's own procedure otherwise.
void Host::Key(const std::string& key, Answer& answer) {
    const WPARAM virtualKey = key == "tab" || key == "shifttab" ? VK_TAB
                              : key == "enter"                  ? VK_RETURN
                              : key == "space"                  ? VK_SPACE
                                                                : 0;
    if (virtualKey == 0) return answer.Send("ERR unknown key: " + key);
    ComPtr<IOleInPlaceActiveObject> active;
    if (FAILED(control_.As(&active))) return answer.Send("ERR no IOleInPlaceActiveObject");

    BYTE keys[256];
    GetKeyboardState(keys);
    const BYTE shiftWas = keys[VK_SHIFT];
    keys[VK_SHIFT] = key == "shifttab" ? 0x80 : 0;
    SetKeyboardState(keys);

    std::string handled;
    BoxSeen box;
    {
        BoxWatcher watcher(GetCurrentThreadId(), frame_.Get(), nullptr);
        for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
            MSG msg{};
            msg.hwnd = GetFocus();
            msg.message = message;
            msg.wParam = virtualKey;
            msg.lParam = message == WM_KEYUP ? static_cast<LPARAM>(0xC0000001u) : 1;
            msg.time = GetMessageTime();
            const HRESULT hr = active->TranslateAccelerator(&msg);
            if (message == WM_KEYDOWN) handled = hr == S_OK ? "handled" : "passed";
            if (hr != S_OK && msg.hwnd != nullptr) DispatchMessageW(&msg);
        }
        Pump();
        box = watcher.Finish();
    }

    GetKeyboardState(keys);
    keys[VK_SHIFT] = shiftWas;
    SetKeyboardState(keys);

    answer.Line("ACCELERATOR " + handled);
    ReportBox(box, answer);
    Focus(answer);
}

void Host::SetText(const std::string& text, Answer& answer) {
    const HWND edit = Edit();
    if (edit == nullptr) return answer.Send("ERR no edit box");
    SetWindowTextW(edit, Wide(text).c_str());
    Pump();
    answer.Line(L"TEXT " + WindowText(edit));
    answer.Send("OK");
}

void Host::Click(const std::string& which, bool release, Answer& answer) {
    const HWND button = Button(which);
    if (button == nullptr) return answer.Send("ERR no button for " + which);
    releasedDuringBox_ = false;
    BoxSeen box;
    {
        BoxWatcher watcher(GetCurrentThreadId(), frame_.Get(), release ? frame_.Get() : nullptr);
        SendMessageW(button, BM_CLICK, 0, 0);
        Pump();
        box = watcher.Finish();
    }
    ReportBox(box, answer);
    if (release) {
        if (!releasedDuringBox_) return answer.Send("ERR the container was not released while the box was up");
        answer.Line("RELEASED");
    }
    answer.Send("OK");
}

// While the click's box is up: the container window goes, with it the
// container's references, and then the host's own. Then, as a container
// does in idle time, libraries without live objects are unloaded: a control
// that is not kept alive until its click ends loses its code under the
// click. Then the box is closed.
void Host::ReleaseDuringBox(HWND box) {
    releasedDuringBox_ = IsWindow(box) && IsWindowVisible(box);
    DestroyWindow(site_);
    site_ = nullptr;
    control_.Reset();
    CoFreeUnusedLibrariesEx(0, 0);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

void Host::Exec(const std::string& arguments, Answer& answer) {
    const std::vector<std::string> parts = Split(arguments, '|');
    if (parts.size() != 4) return answer.Send("ERR exec <mode>|<setting>|<port>|<text>");
    ComPtr<IDispatch> dispatch;
    if (FAILED(control_.As(&dispatch))) return answer.Send("ERR no IDispatch");
    const std::wstring nameText = L"ExecPrint";
    LPOLESTR name = const_cast<LPOLESTR>(nameText.c_str());
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) return answer.Send("ERR GetIDsOfNames: " + Hex(hr));

    // Script variables: each argument a reference to a variant holding the value.
    ScopedVariant text, setting, port, mode;
    V_VT(text.Ptr()) = VT_BSTR;
    V_BSTR(text.Ptr()) = SysAllocString(Wide(parts[3]).c_str());
    V_VT(setting.Ptr()) = VT_BSTR;
    V_BSTR(setting.Ptr()) = SysAllocString(Wide(parts[1]).c_str());
    V_VT(port.Ptr()) = VT_I4;
    char* end = nullptr;
    V_I4(port.Ptr()) = strtol(parts[2].c_str(), &end, 10);
    if (parts[2].empty() || *end != '\0') return answer.Send("ERR the port is no number: " + parts[2]);
    V_VT(mode.Ptr()) = VT_BSTR;
    V_BSTR(mode.Ptr()) = SysAllocString(Wide(parts[0]).c_str());
    VARIANT references[4];  // in reverse order: the last argument first
    VARIANT* values[4] = {mode.Ptr(), port.Ptr(), setting.Ptr(), text.Ptr()};
    for (int i = 0; i < 4; ++i) {
        VariantInit(&references[i]);
        V_VT(&references[i]) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&references[i]) = values[i];
    }
    DISPPARAMS params{references, nullptr, 4, 0};
    ScopedVariant result;
    ExcepInfo exception;
    UINT argumentError = 0;
    hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Ptr(),
                          exception.Ptr(), &argumentError);
    std::wstring description;
    if (hr == DISP_E_EXCEPTION) {
        const EXCEPINFO& info = exception.Get();
        if (info.scode != 0) hr = info.scode;
        if (info.bstrDescription != nullptr) description = info.bstrDescription;
    }
    Pump();
    answer.Line("HRESULT " + Hex(hr));
    answer.Line(L"DESCRIPTION " + OneLine(description));
    answer.Send("OK");
}

void Host::Resize(const std::string& size, Answer& answer) {
    const std::vector<std::string> parts = Split(size, ' ');
    if (parts.size() != 2) return answer.Send("ERR resize <width> <height>");
    const int width = atoi(parts[0].c_str()), height = atoi(parts[1].c_str());
    if (width <= 0 || height <= 0) return answer.Send("ERR no size: " + size);
    MoveWindow(site_, 0, 0, width, height, TRUE);
    ComPtr<IOleInPlaceObject> inPlace;
    if (FAILED(control_.As(&inPlace))) return answer.Send("ERR no IOleInPlaceObject");
    const RECT area{0, 0, width, height};
    const HRESULT hr = inPlace->SetObjectRects(&area, &area);
    if (FAILED(hr)) return answer.Send("ERR SetObjectRects: " + Hex(hr));
    Pump();
    RECT client;
    GetClientRect(Surface(), &client);
    answer.Line("SURFACE " + std::to_string(client.right) + " " + std::to_string(client.bottom));
    answer.Send("OK");
}

void Host::Shot(const std::string& path, Answer& answer) {
    RedrawWindow(frame_.Get(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump();
    RECT client;
    GetClientRect(frame_.Get(), &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return answer.Send("ERR the frame has no client area");

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files are
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    info.bmiHeader.biSizeImage = stride * static_cast<DWORD>(height);

    WindowDc frameDc(frame_.Get());
    UniqueMemoryDc memory(CreateCompatibleDC(frameDc.Get()));
    void* bits = nullptr;
    ScopedGdiObject bitmap(CreateDIBSection(frameDc.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!memory.IsValid() || !bitmap.IsValid() || bits == nullptr) return answer.Send("ERR no bitmap");
    const HGDIOBJ old = SelectObject(memory.Get(), bitmap.Get());
    const BOOL copied = BitBlt(memory.Get(), 0, 0, width, height, frameDc.Get(), 0, 0, SRCCOPY);
    SelectObject(memory.Get(), old);
    GdiFlush();
    if (!copied) return answer.Send("ERR BitBlt failed");

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + info.bmiHeader.biSizeImage;
    ScopedHandle out(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out.IsValid()) return answer.Send("ERR cannot create " + path);
    DWORD written = 0;
    bool ok = WriteFile(out.Get(), &file, sizeof file, &written, nullptr) && written == sizeof file;
    ok = ok && WriteFile(out.Get(), &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
         written == sizeof info.bmiHeader;
    ok = ok && WriteFile(out.Get(), bits, info.bmiHeader.biSizeImage, &written, nullptr) &&
         written == info.bmiHeader.biSizeImage;
    if (!ok) return answer.Send("ERR writing " + path + " failed");
    answer.Line("SHOT " + std::to_string(width) + " " + std::to_string(height));
    answer.Send("OK");
}

class OleSession {
public:
    OleSession() : hr_(OleInitialize(nullptr)) {}
    OleSession(const OleSession&) = delete;
    OleSession& operator=(const OleSession&) = delete;
    ~OleSession() {
        if (SUCCEEDED(hr_)) OleUninitialize();
    }
    HRESULT Result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    OleSession ole;
    if (FAILED(ole.Result())) {
        Answer().Send("ERR OleInitialize: " + Hex(ole.Result()));
        return 1;
    }
    int status = 0;
    {
        Host host;
        g_host = &host;
        const std::string failure = host.Start();
        if (!failure.empty()) {
            Answer().Send("ERR " + failure);
            status = 1;
        } else {
            Answer ready;
            ready.Line("READY");
            ready.Send("OK");
            CommandQueue commands;
            std::thread reader([&commands] { commands.ReadStdin(); });
            bool running = true;
            while (running) {
                const HANDLE ready = commands.ReadyEvent();
                const DWORD woke = MsgWaitForMultipleObjects(1, &ready, FALSE, INFINITE, QS_ALLINPUT);
                if (woke == WAIT_OBJECT_0) {
                    std::string line;
                    while (running && commands.Pop(&line)) running = host.Run(line);
                } else {
                    MSG message;
                    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                        TranslateMessage(&message);
                        DispatchMessageW(&message);
                    }
                }
            }
            reader.join();
        }
        g_host = nullptr;
    }
    return status;
}
