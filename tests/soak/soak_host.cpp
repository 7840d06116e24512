#include "soak_host.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

namespace soak {

namespace {

// Copies of a call's arguments, owned by the call.
struct CopiedArguments {
    template <class Iterator>
    CopiedArguments(Iterator first, Iterator last) {
        for (; first != last; ++first) {
            VARIANT& copy = values.emplace_back();
            VariantInit(&copy);
            if (FAILED(VariantCopy(&copy, const_cast<VARIANT*>(&*first)))) throw std::bad_alloc();
        }
    }
    CopiedArguments(const CopiedArguments&) = delete;
    CopiedArguments& operator=(const CopiedArguments&) = delete;
    ~CopiedArguments() {
        for (VARIANT& value : values) VariantClear(&value);
    }
    std::vector<VARIANT> values;
};

}  // namespace

Outcome Call(IDispatch* control, const wchar_t* name, WORD flags, std::initializer_list<VARIANT> arguments) {
    Outcome outcome;
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    outcome.hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(outcome.hr)) return outcome;
    // DISPPARAMS lists arguments last to first. The call gets copies of its
    // own, cleared afterwards: for an [in, out] parameter the type library's
    // Invoke may put another value in the caller's place and free the one it
    // held, which would leave a borrowed text freed under its owner.
    CopiedArguments reversed(std::rbegin(arguments), std::rend(arguments));
    DISPID named = DISPID_PROPERTYPUT;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.values.data(), put ? &named : nullptr, static_cast<UINT>(reversed.values.size()),
                      put ? 1u : 0u};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    core::ScopedVariant result;
    outcome.hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : result.Ptr(),
                                 &exception, &argumentError);
    if (outcome.hr == DISP_E_EXCEPTION && exception.pfnDeferredFillIn != nullptr)
        exception.pfnDeferredFillIn(&exception);
    const core::ScopedBstr source(exception.bstrSource), description(exception.bstrDescription),
        helpFile(exception.bstrHelpFile);
    if (outcome.hr == DISP_E_EXCEPTION) {
        outcome.hr = exception.scode != 0 ? exception.scode : static_cast<HRESULT>(0x800A0000u | exception.wCode);
        outcome.description = description.View();
    }
    core::ScopedVariant text;
    if (SUCCEEDED(outcome.hr) && SUCCEEDED(VariantChangeType(text.Ptr(), result.Ptr(), 0, VT_BSTR)))
        outcome.text = std::wstring(V_BSTR(&text.Get()), SysStringLen(V_BSTR(&text.Get())));
    return outcome;
}

Outcome PutText(IDispatch* control, const wchar_t* name, const std::wstring& text) {
    const core::ScopedBstr value = core::ScopedBstr::Copy(text);
    VARIANT argument;
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = value.Get();
    return Call(control, name, DISPATCH_PROPERTYPUT, {argument});
}

HRESULT CreateByProgId(const wchar_t* progId, IDispatch** control) {
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(control));
}

ProcessFigures MeasureProcess() {
    ProcessFigures figures;
    const core::ScopedHandle probe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    figures.lowestFreeHandle = reinterpret_cast<uintptr_t>(probe.Get());
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof(memory))) {
        figures.workingSet = memory.WorkingSetSize;
        figures.peakPagefile = memory.PeakPagefileUsage;
    }
    const core::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 thread{};
    thread.dwSize = sizeof(thread);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot.Get(), &thread); more; more = Thread32Next(snapshot.Get(), &thread))
        if (thread.th32OwnerProcessID == self) ++figures.threads;
    return figures;
}

void Table::Add(std::string measure, std::string value, std::string bound, bool ok) {
    rows_.push_back({std::move(measure), std::move(value), std::move(bound), ok});
}

void Table::AtMost(std::string measure, long long value, long long most) {
    Add(std::move(measure), std::to_string(value), "<= " + std::to_string(most), value <= most);
}

void Table::AtLeast(std::string measure, long long value, long long least) {
    Add(std::move(measure), std::to_string(value), ">= " + std::to_string(least), value >= least);
}

bool Table::Print() const {
    std::printf("%-64s %14s %16s  %s\n", "measure", "value", "bound", "result");
    bool all = true;
    for (const Row& row : rows_) {
        std::printf("%-64s %14s %16s  %s\n", row.measure.c_str(), row.value.c_str(), row.bound.c_str(),
                    row.ok ? "ok" : "FAIL");
        all = all && row.ok;
    }
    return all;
}

int Settings::Scaled(int full, int least) const {
    return std::max(least, static_cast<int>(full * scale + 0.5));
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());  // the soak's texts are ASCII
}

std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace soak
