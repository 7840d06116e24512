#include "errors.h"

#include <wrl/client.h>

#include <new>

using Microsoft::WRL::ComPtr;

namespace core {

namespace {

struct KnownCode {
    HRESULT code;
    const wchar_t* description;
};

constexpr KnownCode kKnownCodes[] = {
    {kOverflow, L"Overflow"},
    {kTypeMismatch, L"Type mismatch"},
    {kDeviceIoError, L"Device I/O error"},
    {kInvalidUseOfNull, L"Invalid use of Null"},
    {kInvalidPropertyValue, L"Invalid property value"},
    {kPortOpenFailed, L"The port could not be opened"},
    {kPortAlreadyOpen, L"The port is already open"},
    {kPortNotOpen, L"The port is not open"},
    {kWriteTimeout, L"Writing to the port timed out"},
    {E_OUTOFMEMORY, L"Out of memory"},
    {E_NOTIMPL, L"Not implemented"},
    {E_POINTER, L"Invalid pointer"},
};

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

std::wstring DescribeCode(HRESULT code) {
    for (const KnownCode& known : kKnownCodes)
        if (known.code == code) return known.description;
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
