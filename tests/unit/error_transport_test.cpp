// How failures travel: a ComError becomes an IErrorInfo at a member's
// boundary or an EXCEPINFO at a component's, and a component's EXCEPINFO
// becomes a ComError again in the calling member, code and text unchanged.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "counted_fake.h"
#include "dispatch_call.h"
#include "errors.h"
#include "scoped.h"

namespace {

using Microsoft::WRL::ComPtr;

const IID kSomeIid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

TEST(ErrorReporting, ACaughtComErrorBecomesTheThreadsErrorObject) {
    HRESULT code = S_OK;
    try {
        core::Throw(core::kOverflow, L"Overflow: PORT must be small");
    } catch (...) {
        code = core::ReportCurrentException({&kSomeIid, L"Tessmer.lumtag"});
    }
    EXPECT_EQ(code, core::kOverflow);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    core::ScopedBstr description, source;
    info->GetDescription(description.Receive());
    info->GetSource(source.Receive());
    GUID guid{};
    info->GetGUID(&guid);
    EXPECT_EQ(description.View(), L"Overflow: PORT must be small");
    EXPECT_EQ(source.View(), L"Tessmer.lumtag");
    EXPECT_EQ(guid, kSomeIid);

    try {
        throw std::bad_alloc();
    } catch (...) {
        code = core::ReportCurrentException({&kSomeIid, L"Tessmer.lumtag"});
    }
    EXPECT_EQ(code, E_OUTOFMEMORY);
}

TEST(ErrorReporting, EveryOwnCodeHasADescription) {
    for (HRESULT code : {core::kOverflow, core::kTypeMismatch, core::kInvalidUseOfNull, core::kInvalidPropertyValue,
                         core::kPortOpenFailed, core::kPortAlreadyOpen, core::kPortNotOpen, core::kWriteTimeout,
                         core::kDeviceIoError}) {
        // Not the system's fallback for a code it does not know.
        EXPECT_EQ(core::DescribeCode(code).find(L"system error"), std::wstring::npos) << std::hex << code;
        EXPECT_EQ(HRESULT_FACILITY(code), FACILITY_CONTROL) << std::hex << code;
    }
    EXPECT_EQ(core::kOverflow & 0xFFFF, 6);
    EXPECT_EQ(core::kTypeMismatch & 0xFFFF, 13);
    EXPECT_EQ(core::kInvalidUseOfNull & 0xFFFF, 94);
}

// A component whose every Invoke fails the way the serial port does.
class FailingComponent final : public unit::DispatchFake<> {
public:
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO* exception,
                        UINT*) noexcept override {
        lastId = id;
        lastFlags = flags;
        lastArgumentCount = params->cArgs;
        if (plainFailure != S_OK) return plainFailure;
        try {
            core::Throw(core::kPortOpenFailed, L"COM9 could not be opened: File not found");
        } catch (...) {
            return core::ExceptionToExcepInfo(L"MSCOM", exception);
        }
    }
    DISPID lastId = 0;
    WORD lastFlags = 0;
    UINT lastArgumentCount = 0;
    HRESULT plainFailure = S_OK;
};

TEST(DispatchCalls, AComponentsFailureComesBackWithItsOwnCodeAndText) {
    FailingComponent component;
    try {
        core::PutProperty(&component, 20, core::BoolValue(true), L"PortOpen");
        ADD_FAILURE() << "the put must fail";
    } catch (const core::ComError& error) {
        EXPECT_EQ(error.Code(), core::kPortOpenFailed);
        EXPECT_EQ(error.Description(), L"COM9 could not be opened: File not found");
    }
    EXPECT_EQ(component.lastId, 20);
    EXPECT_EQ(component.lastFlags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(component.lastArgumentCount, 1u);

    component.plainFailure = DISP_E_MEMBERNOTFOUND;
    try {
        core::ScopedVariant value;
        core::GetProperty(&component, 8, value, L"State");
        ADD_FAILURE() << "the get must fail";
    } catch (const core::ComError& error) {
        EXPECT_EQ(error.Code(), DISP_E_MEMBERNOTFOUND);
        EXPECT_NE(error.Description().find(L"State"), std::wstring::npos);
    }
    EXPECT_EQ(component.References(), 0u) << "no reference is kept or lost";
}

}  // namespace
