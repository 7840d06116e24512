#include "errors.h"

#include <wrl/client.h>

#include <new>

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

// The page side's own failures (label-bridge.js), numbered as VBScript
// numbers an application's own errors (vbObjectError + 513, ...), so that
// they never meet a control's numbers.
constexpr HRESULT ClientCode(unsigned number) {
    return static_cast<HRESULT>(0x80040000u | number);
}

constexpr CallerError kCallerErrors[] = {
    // The controls' own failures.
    {kOverflow, 6, L"Overflow"},
    {kTypeMismatch, 13, L"Type mismatch"},
    {kDeviceIoError, 57, L"Device I/O error"},
    {kInvalidUseOfNull, 94, L"Invalid use of Null"},
    {kInvalidPropertyValue, 380, L"Invalid property value"},
    {kPortOpenFailed, 8002, L"The port could not be opened"},
    {kPortAlreadyOpen, 8005, L"The port is already open"},
    {kPortNotOpen, 8012, L"The port is not open"},
    {kWriteTimeout, 8020, L"Writing to the port timed out"},
    {kWrongConnectionState, 40006, L"Wrong connection state"},
    // The automation layer's refusals, numbered and worded as a script host does.
    {DISP_E_UNKNOWNNAME, 438, L"Object doesn't support this property or method"},
    {DISP_E_MEMBERNOTFOUND, 438, L"Object doesn't support this property or method"},
    {DISP_E_BADPARAMCOUNT, 450, L"Wrong number of arguments or invalid property assignment"},
    {DISP_E_PARAMNOTOPTIONAL, 449, L"Argument not optional"},
    {DISP_E_TYPEMISMATCH, 13, L"Type mismatch"},
    {DISP_E_OVERFLOW, 6, L"Overflow"},
    // The system's codes the controls and the bridge report.
    {E_OUTOFMEMORY, 7, L"Out of memory"},
    {E_INVALIDARG, 5, L"Invalid procedure call or argument"},
    {E_ACCESSDENIED, 70, L"Permission denied"},
    {E_NOTIMPL, static_cast<int32_t>(E_NOTIMPL), L"Not implemented"},
    {E_POINTER, static_cast<int32_t>(E_POINTER), L"Invalid pointer"},
    // The page side's failures of the connection to the bridge.
    {ClientCode(0x201), static_cast<int32_t>(ClientCode(0x201)), L"No label bridge answers", "NO_BRIDGE"},
    {ClientCode(0x202), static_cast<int32_t>(ClientCode(0x202)), L"The label bridge refused the page",
     "BRIDGE_REFUSED"},
    {ClientCode(0x203), static_cast<int32_t>(ClientCode(0x203)), L"The connection to the label bridge was lost",
     "CONNECTION_LOST"},
    {ClientCode(0x204), static_cast<int32_t>(ClientCode(0x204)), L"Not a label bridge", "NOT_A_BRIDGE"},
    {ClientCode(0x205), static_cast<int32_t>(ClientCode(0x205)), L"The label bridge is busy", "BRIDGE_BUSY"},
    {ClientCode(0x206), static_cast<int32_t>(ClientCode(0x206)),
     L"The browser does not let the page reach programs on this computer", "BROWSER_BLOCKED"},
};

const CallerError* FindCallerError(HRESULT code) noexcept {
    for (const CallerError& known : kCallerErrors)
        if (known.code == code) return &known;
    return nullptr;
}

}  // namespace

Failure CurrentFailure() {
    try {
        throw;
    } catch (const ComError& error) {
        return {error.Code(), error.Description()};
    } catch (...) {
        const HRESULT code = CurrentFailureCode();
        return {code, DescribeCode(code)};
    }
}

HRESULT CurrentFailureCode() noexcept {
    try {
        throw;
    } catch (const ComError& error) {
        return error.Code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

void Throw(HRESULT code, std::wstring description) {
    throw ComError(code, std::move(description));
}

std::wstring BytesWentOut(size_t done, size_t count) {
    return std::to_wstring(done) + L" of " + std::to_wstring(count) + L" bytes went out";
}

void ThrowStalled(std::wstring_view action, DWORD limitMs, size_t done, size_t count) {
    const std::wstring limit =
        limitMs % 1000 == 0 ? std::to_wstring(limitMs / 1000) + L" s" : std::to_wstring(limitMs) + L" ms";
    Throw(kWriteTimeout, std::wstring(action) + L" timed out: the printer took no more data within " + limit + L"; " +
                             BytesWentOut(done, count));
}

void ThrowIfFailed(HRESULT hr, std::wstring_view what) {
    if (SUCCEEDED(hr)) return;
    std::wstring description(what);
    description += L": ";
    description += DescribeCode(hr);
    Throw(hr, std::move(description));
}

void ThrowLastError(HRESULT code, std::wstring_view what) {
    const DWORD error = GetLastError();
    std::wstring description(what);
    description += L": ";
    description += SystemMessage(error);
    Throw(code, std::move(description));
}

DWORD ProcessIntegrityLevel() noexcept {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return SECURITY_MANDATORY_MEDIUM_RID;
    alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    DWORD level = SECURITY_MANDATORY_MEDIUM_RID;
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof(buffer), &size)) {
        PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(label);
        if (count != 0) level = *GetSidSubAuthority(label, count - 1u);
    }
    CloseHandle(token);
    return level;
}

void ThrowOpenFailed(std::wstring_view what, const std::function<DWORD()>& integrityLevel) {
    const DWORD error = GetLastError();
    std::wstring description(what);
    description += L": ";
    description += SystemMessage(error);
    // Windows only: Wine runs every process at one level and labels no device.
    if (error == ERROR_ACCESS_DENIED && integrityLevel() < SECURITY_MANDATORY_MEDIUM_RID)
        description +=
            L". The page's zone runs controls in Protected Mode, which may not open ports: the label site "
            L"belongs in the Local intranet or Trusted sites zone";
    Throw(kPortOpenFailed, std::move(description));
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) {
        text.assign(buffer, length);
        while (!text.empty() &&
               (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
            text.pop_back();
    }
    LocalFree(buffer);
    if (text.empty()) text = L"system error " + std::to_wstring(error);
    return text;
}

std::span<const CallerError> CallerErrors() noexcept {
    return kCallerErrors;
}

int32_t ErrorNumber(HRESULT code) noexcept {
    if ((static_cast<uint32_t>(code) & 0xFFFF0000u) == 0x800A0000u) return code & 0xFFFF;
    const CallerError* known = FindCallerError(code);
    return known != nullptr ? known->number : static_cast<int32_t>(code);
}

std::wstring DescribeCode(HRESULT code) {
    if (const CallerError* known = FindCallerError(code)) return known->description;
    if (HRESULT_FACILITY(code) == FACILITY_WIN32) return SystemMessage(HRESULT_CODE(code));
    return SystemMessage(static_cast<DWORD>(code));
}

HRESULT ReportError(const ErrorSource& source, HRESULT code, std::wstring_view description) noexcept {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(&create))) return code;
    create->SetGUID(*source.iid);
    create->SetSource(const_cast<wchar_t*>(source.progId));
    // Without memory for the text the code still goes out, undescribed.
    CatchReturn([&] {
        const std::wstring text(description);
        return create->SetDescription(const_cast<wchar_t*>(text.c_str()));
    });
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
    return code;
}

// Both read the exception in flight; when memory runs out while they do,
// CatchReturn answers E_OUTOFMEMORY.
HRESULT ReportCurrentException(const ErrorSource& source) noexcept {
    return CatchReturn([&] {
        const Failure failure = CurrentFailure();
        return ReportError(source, failure.code, failure.description);
    });
}

HRESULT ExceptionToExcepInfo(const wchar_t* source, EXCEPINFO* info) noexcept {
    return CatchReturn([&] {
        const Failure failure = CurrentFailure();
        if (info == nullptr) return failure.code;
        *info = EXCEPINFO{};
        info->scode = failure.code;
        info->bstrSource = SysAllocString(source);
        info->bstrDescription =
            SysAllocStringLen(failure.description.data(), static_cast<UINT>(failure.description.size()));
        return DISP_E_EXCEPTION;
    });
}

}  // namespace core
