// Failure codes and the one way a failure travels: a ComError carries an
// HRESULT with its description until a COM boundary turns it into a status
// and an IErrorInfo (members) or an EXCEPINFO (contained components).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace core {

// Codes in the control facility, so that a script sees the number after 0x800A.
constexpr HRESULT ControlCode(unsigned number) {
    return static_cast<HRESULT>(0x800A0000u | number);
}
constexpr HRESULT kOverflow = ControlCode(6);
constexpr HRESULT kTypeMismatch = ControlCode(13);
constexpr HRESULT kDeviceIoError = ControlCode(57);
constexpr HRESULT kInvalidUseOfNull = ControlCode(94);
constexpr HRESULT kInvalidPropertyValue = ControlCode(380);
constexpr HRESULT kPortOpenFailed = ControlCode(8002);
constexpr HRESULT kPortAlreadyOpen = ControlCode(8005);
constexpr HRESULT kPortNotOpen = ControlCode(8012);
constexpr HRESULT kWriteTimeout = ControlCode(8020);
constexpr HRESULT kWrongConnectionState = ControlCode(40006);

class ComError : public std::exception {
public:
    ComError(HRESULT code, std::wstring description) : code_(code), description_(std::move(description)) {}
    HRESULT Code() const noexcept { return code_; }
    const std::wstring& Description() const noexcept { return description_; }
    const char* what() const noexcept override { return "COM failure"; }

private:
    HRESULT code_;
    std::wstring description_;
};

[[noreturn]] void Throw(HRESULT code, std::wstring description);
// Throws when |hr| failed; the description names |what| and the system's text for the code.
void ThrowIfFailed(HRESULT hr, std::wstring_view what);
// Throws with the system's text for GetLastError(), prefixed by |what|.
[[noreturn]] void ThrowLastError(HRESULT code, std::wstring_view what);

// The process token's mandatory integrity level (a SECURITY_MANDATORY_*_RID);
// medium when the token does not say.
DWORD ProcessIntegrityLevel() noexcept;
// The could-not-open failure for GetLastError(), prefixed by |what|. A port's
// device counts as medium integrity, so a control at low integrity (a page in
// Protected Mode) is refused: the description then says so and what helps.
[[noreturn]] void ThrowOpenFailed(std::wstring_view what,
                                  const std::function<DWORD()>& integrityLevel = ProcessIntegrityLevel);

// "n of m bytes went out": how far a write got, for failure descriptions.
std::wstring BytesWentOut(size_t done, size_t count);
// The timeout failure of a write whose printer took no data for |limitMs|:
// |action| ("Writing to LPT1:"), the limit and how far the write got.
[[noreturn]] void ThrowStalled(std::wstring_view action, DWORD limitMs, size_t done, size_t count);

// What a caller sees for one failure: its code, the number a script's
// Err.Number shows for it, and its standard description. |clientName| names
// the rows that label-bridge.js exports as its own numbers.
struct CallerError {
    HRESULT code;
    int32_t number;
    const wchar_t* description;
    const char* clientName = nullptr;
};
// Every failure the controls, the bridge and the page side report by name,
// in one table: the descriptions, the numbers and the client's constants
// all come from here.
std::span<const CallerError> CallerErrors() noexcept;

// The standard description of a code: the table's, else the system's.
std::wstring DescribeCode(HRESULT code);
// What VBScript's Err.Number shows for |code|: the control facility's own
// number, the table's, else the code itself.
int32_t ErrorNumber(HRESULT code) noexcept;
// The system's message for a Win32 error, without the trailing line end.
std::wstring SystemMessage(DWORD error);

// Where a failure came from, for the IErrorInfo a script reads.
struct ErrorSource {
    const IID* iid;
    const wchar_t* progId;
};

// A failure as the caller sees it.
struct Failure {
    HRESULT code;
    std::wstring description;
};
// Reads the exception in flight (a ComError as it is, bad_alloc as
// E_OUTOFMEMORY, anything else as E_UNEXPECTED). Call only inside a catch block.
Failure CurrentFailure();
// The code alone of the exception in flight, by the same rules; allocates
// nothing, so it works when memory has run out. Call only inside a catch block.
HRESULT CurrentFailureCode() noexcept;

// Runs |body| (returning an HRESULT) at an interface boundary: no exception
// gets out; one that |body| throws becomes its code by the rules above.
template <class Body>
HRESULT CatchReturn(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return CurrentFailureCode();
    }
}

// Turns the exception in flight into an HRESULT with an IErrorInfo description.
// Call only inside a catch block.
HRESULT ReportCurrentException(const ErrorSource& source) noexcept;
// CatchReturn at a boundary whose caller reads the thread's error object (a
// member, an activation): the failure's description goes there too.
template <class Body>
HRESULT CatchReport(const ErrorSource& source, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ReportCurrentException(source);
    }
}
// Sets the thread's error object; returns |code| for a one-line return.
HRESULT ReportError(const ErrorSource& source, HRESULT code, std::wstring_view description) noexcept;
// Turns the exception in flight into DISP_E_EXCEPTION with |info| filled, for an IDispatch::Invoke.
HRESULT ExceptionToExcepInfo(const wchar_t* source, EXCEPINFO* info) noexcept;

}  // namespace core
