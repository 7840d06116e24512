#include "recording_dispatch.h"

#include <gtest/gtest.h>

#include "serial_port_component.h"

using Microsoft::WRL::ComPtr;

namespace unit {

ComPtr<RecordingDispatch> RecordingDispatch::Create(Mode mode) {
    return NewFake<RecordingDispatch>(mode);
}

void RecordingDispatch::FailCall(size_t callNumber, HRESULT code, std::wstring description) {
    failures_.push_back({callNumber, 0, code, std::move(description)});
}

void RecordingDispatch::FailFirstCallTo(DISPID id, HRESULT code, std::wstring description) {
    failures_.push_back({0, id, code, std::move(description)});
}

std::vector<DISPID> RecordingDispatch::Ids() const {
    std::vector<DISPID> ids;
    for (const auto& call : calls_) ids.push_back(call->id);
    return ids;
}

std::vector<std::wstring> RecordingDispatch::OutputTexts() const {
    std::vector<std::wstring> texts;
    for (const auto& call : calls_)
        if (call->id == core::serial_dispid::kOutput) texts.push_back(TextOf(call->value.Get()));
    return texts;
}

STDMETHODIMP RecordingDispatch::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                       EXCEPINFO* exception, UINT*) noexcept {
    if (mode_ == Mode::kSink) return Unexpected(("a call of the event sink, dispid " + std::to_string(id)).c_str());
    EXPECT_TRUE(iid == IID_NULL) << "Invoke with a non-null riid";
    if (params == nullptr) {
        ADD_FAILURE() << "Invoke without DISPPARAMS";
        return E_POINTER;
    }
    auto call = std::make_unique<RecordedCall>();
    call->id = id;
    call->flags = flags;
    call->tick = GetTickCount64();
    call->argumentCount = params->cArgs;
    call->namedCount = params->cNamedArgs;
    if (params->cNamedArgs > 0 && params->rgdispidNamedArgs != nullptr) call->firstNamed = params->rgdispidNamedArgs[0];
    if (params->cArgs > 0) {
        const HRESULT hr = VariantCopyInd(call->value.Ptr(), &params->rgvarg[0]);
        EXPECT_EQ(hr, S_OK) << "VariantCopyInd of the argument";
    }
    calls_.push_back(std::move(call));
    if (result != nullptr) VariantInit(result);

    for (Failure& failure : failures_) {
        const bool matches = failure.callNumber != 0 ? failure.callNumber == calls_.size() : failure.id == id;
        if (!matches || failure.used) continue;
        failure.used = true;
        if (exception != nullptr) {
            *exception = EXCEPINFO{};
            exception->scode = failure.code;
            exception->bstrSource = SysAllocString(L"RecordingDispatch");
            exception->bstrDescription = SysAllocString(failure.description.c_str());
        }
        return DISP_E_EXCEPTION;
    }
    return S_OK;
}

void SetText(core::ScopedVariant& v, std::wstring_view text) {
    VARIANT* p = v.Receive();
    V_VT(p) = VT_BSTR;
    V_BSTR(p) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void SetI2(core::ScopedVariant& v, short value) {
    VARIANT* p = v.Receive();
    V_VT(p) = VT_I2;
    V_I2(p) = value;
}

void SetI4(core::ScopedVariant& v, long value) {
    VARIANT* p = v.Receive();
    V_VT(p) = VT_I4;
    V_I4(p) = value;
}

void SetR8(core::ScopedVariant& v, double value) {
    VARIANT* p = v.Receive();
    V_VT(p) = VT_R8;
    V_R8(p) = value;
}

void SetNull(core::ScopedVariant& v) {
    V_VT(v.Receive()) = VT_NULL;
}

std::wstring TextOf(const VARIANT& v) {
    if (V_VT(&v) != VT_BSTR) return L"<not text>";
    return std::wstring(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v)));
}

std::wstring ThreadErrorDescription() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"<none>";
    core::ScopedBstr description;
    info->GetDescription(description.Receive());
    return std::wstring(description.View());
}

void ExpectPropertyPut(const RecordingDispatch& fake, size_t index, DISPID id) {
    ASSERT_LT(index, fake.CallCount());
    const RecordedCall& call = fake.Call(index);
    EXPECT_EQ(call.id, id) << "call " << index;
    EXPECT_EQ(call.flags, DISPATCH_PROPERTYPUT) << "call " << index;
    EXPECT_EQ(call.argumentCount, 1u) << "call " << index;
    EXPECT_EQ(call.namedCount, 1u) << "call " << index;
    EXPECT_EQ(call.firstNamed, DISPID_PROPERTYPUT) << "call " << index;
}

}  // namespace unit
