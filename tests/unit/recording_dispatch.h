// A recording IDispatch that stands in for the serial port component (or
// for an event sink), plus small helpers shared by the Ostrel unit tests.
#pragma once

#include <windows.h>
// windows.h first: the headers below need its types.
#include <oaidl.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "counted_fake.h"
#include "scoped.h"

namespace unit {

// One Invoke as the fake saw it; |value| is a deep copy (VariantCopyInd) of
// the first argument in DISPPARAMS, or VT_EMPTY when there was none.
struct RecordedCall {
    DISPID id = 0;
    WORD flags = 0;
    UINT argumentCount = 0;
    UINT namedCount = 0;
    DISPID firstNamed = 0;
    ULONGLONG tick = 0;  // GetTickCount64 when the call arrived
    core::ScopedVariant value;
};

class RecordingDispatch final : public DispatchFake<> {
public:
    // kSink: every call except QueryInterface/AddRef/Release fails the test.
    enum class Mode { kRecorder, kSink };

    // A new fake on the heap (NewFake).
    static Microsoft::WRL::ComPtr<RecordingDispatch> Create(Mode mode = Mode::kRecorder);
    explicit RecordingDispatch(Mode mode) : mode_(mode) {}

    // The |callNumber|-th Invoke (1-based) fails with DISP_E_EXCEPTION
    // carrying |code| and |description|.
    void FailCall(size_t callNumber, HRESULT code, std::wstring description);
    // The first Invoke of |id| fails the same way.
    void FailFirstCallTo(DISPID id, HRESULT code, std::wstring description);

    size_t CallCount() const { return calls_.size(); }
    const RecordedCall& Call(size_t index) const { return *calls_.at(index); }
    // Dispatch identifiers of all calls in order.
    std::vector<DISPID> Ids() const;
    // The text of every Output put (VT_BSTR values only) in order.
    std::vector<std::wstring> OutputTexts() const;

    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) noexcept override;

private:
    struct Failure {
        size_t callNumber;  // 0: match by id
        DISPID id;
        HRESULT code;
        std::wstring description;
        bool used = false;
    };

    const Mode mode_;
    std::vector<std::unique_ptr<RecordedCall>> calls_;
    std::vector<Failure> failures_;
};

// Value helpers: each replaces what |v| held.
void SetText(core::ScopedVariant& v, std::wstring_view text);
void SetI2(core::ScopedVariant& v, short value);
void SetI4(core::ScopedVariant& v, long value);
void SetR8(core::ScopedVariant& v, double value);
void SetNull(core::ScopedVariant& v);

// The text of a VT_BSTR value (empty for a null BSTR); "<not text>" otherwise.
std::wstring TextOf(const VARIANT& v);
// The description of the thread's error object; "<none>" when there is none.
std::wstring ThreadErrorDescription();

// Expects call |index| of |fake| to be a property put of |id| with its one
// value named DISPID_PROPERTYPUT.
void ExpectPropertyPut(const RecordingDispatch& fake, size_t index, DISPID id);

}  // namespace unit
