// The Ostrel control as a container and a script see it: late binding
// through its type library, its interfaces, and the type library itself.
#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "errors.h"
#include "ostrel_control.h"
#include "recording_dispatch.h"
#include "serial_port_component.h"

using core::ScopedBstr;
using core::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace core::serial_dispid;

namespace {

constexpr DISPID kExecPrint = 0x60030004;

class LumtagDispatchTest : public testing::Test {
protected:
    void SetUp() override {
        fake_ = unit::RecordingDispatch::Create();
        ASSERT_EQ(ostrel::OstrelControl::CreateWith(fake_.Get(), IID_IDispatch, &dispatch_), S_OK);
    }

    // Invokes |id| with |args| (already last-to-first, as DISPPARAMS wants).
    HRESULT Invoke(DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named = {}) {
        DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
        exception_ = EXCEPINFO{};
        unit::SetI4(result_, 42);
        const HRESULT hr =
            dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                              flags & DISPATCH_PROPERTYPUT ? nullptr : result_.Ptr(), &exception_, &argumentError_);
        description_.Reset(exception_.bstrDescription);
        SysFreeString(exception_.bstrSource);
        SysFreeString(exception_.bstrHelpFile);
        return hr;
    }

    static VARIANT Text(ScopedBstr& holder, const wchar_t* text) {
        holder.Reset(SysAllocString(text));
        VARIANT v;
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = holder.Get();
        return v;
    }
    static VARIANT Ref(ScopedVariant& target) {
        VARIANT v;
        V_VT(&v) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&v) = target.Ptr();
        return v;
    }
    static VARIANT Long(long value) {
        VARIANT v;
        V_VT(&v) = VT_I4;
        V_I4(&v) = value;
        return v;
    }

    ComPtr<unit::RecordingDispatch> fake_;
    ComPtr<IDispatch> dispatch_;
    ScopedVariant result_;
    EXCEPINFO exception_{};
    UINT argumentError_ = 0;
    ScopedBstr description_;
};

// Names map to members in any case. The type library also lists the methods
// of IUnknown and IDispatch (restricted, with ids of their own): no name maps
// to them and no id calls them, or a script could Release the object.
TEST_F(LumtagDispatchTest, NamesMapToMembersOnly) {
    const struct {
        const wchar_t* name;
        DISPID id;  // of a refused name: the one the type library gives it
        HRESULT mapped;
    } rows[] = {{L"ExecPrint", kExecPrint, S_OK},
                {L"execprint", kExecPrint, S_OK},
                {L"SocConnect", 0x60030001, S_OK},
                {L"SocSts", 0x60030002, S_OK},
                {L"SendData", 0x60030003, S_OK},
                {L"dectohex", 0x60030005, S_OK},
                {L"MemId", 0x68030000, S_OK},
                {L"PrintLabel", DISPID_UNKNOWN, DISP_E_UNKNOWNNAME},
                {L"QueryInterface", 0x60000000, DISP_E_UNKNOWNNAME},
                {L"AddRef", 0x60000001, DISP_E_UNKNOWNNAME},
                {L"Release", 0x60000002, DISP_E_UNKNOWNNAME},
                {L"release", 0x60000002, DISP_E_UNKNOWNNAME},
                {L"GetTypeInfoCount", 0x60010000, DISP_E_UNKNOWNNAME},
                {L"GetTypeInfo", 0x60010001, DISP_E_UNKNOWNNAME},
                {L"GetIDsOfNames", 0x60010002, DISP_E_UNKNOWNNAME},
                {L"Invoke", 0x60010003, DISP_E_UNKNOWNNAME}};
    for (const auto& row : rows) {
        LPOLESTR name = const_cast<LPOLESTR>(row.name);
        DISPID id = 0;
        EXPECT_EQ(dispatch_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), row.mapped) << row.name;
        EXPECT_EQ(id, row.mapped == S_OK ? row.id : DISPID_UNKNOWN) << row.name;
        if (row.mapped != S_OK) {
            EXPECT_EQ(Invoke(row.id, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND) << row.name;
        }
    }
}

TEST_F(LumtagDispatchTest, ExecPrintTakesNamedArgumentsInAnyOrder) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"ExecPrint"), const_cast<LPOLESTR>(L"PORT"),
                        const_cast<LPOLESTR>(L"SETTING"), const_cast<LPOLESTR>(L"N_TIME"),
                        const_cast<LPOLESTR>(L"PUR_NO")};
    DISPID ids[5] = {};
    ASSERT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 5, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], kExecPrint);
    EXPECT_EQ(std::vector<DISPID>(ids + 1, ids + 5), (std::vector<DISPID>{3, 2, 1, 0}));

    // Passed as N_TIME, SETTING, PUR_NO, PORT, by reference as a script
    // passes variables. (By value, Wine's ITypeInfo::Invoke copies the
    // [in, out] values back to positional slots and can fail on the way
    // out with DISP_E_TYPEMISMATCH after the call was made.)
    ScopedVariant wait, setting, pur, port;
    unit::SetI4(wait, 0);
    unit::SetText(setting, L"19200,E,7,1");
    unit::SetText(pur, L"^XA named ^XZ");
    unit::SetI4(port, 6);
    ASSERT_EQ(Invoke(kExecPrint, DISPATCH_METHOD, {Ref(wait), Ref(setting), Ref(pur), Ref(port)},
                     {ids[3], ids[2], ids[4], ids[1]}),
              S_OK);
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    ASSERT_EQ(fake_->Ids(), (std::vector<DISPID>{kCommPort, kSettings, kPortOpen, kOutput, kPortOpen}));
    EXPECT_EQ(V_I2(&fake_->Call(0).value.Get()), 6);
    EXPECT_EQ(unit::TextOf(fake_->Call(1).value.Get()), L"19200,E,7,1");
    EXPECT_EQ(unit::TextOf(fake_->Call(3).value.Get()), L"^XA named ^XZ");
}

TEST_F(LumtagDispatchTest, InvokeRefusalsAndMemberFailures) {
    EXPECT_EQ(Invoke(0x60030000, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(0, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);

    // Three of four arguments: the automation layer (Wine) says DISP_E_BADPARAMCOUNT.
    ScopedBstr pur, setting;
    EXPECT_EQ(Invoke(kExecPrint, DISPATCH_METHOD, {Text(setting, L"9600,N,8,1"), Long(0), Text(pur, L"x")}),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(fake_->CallCount(), 0u);

    // PORT 40000 overflows: the member's code and description in EXCEPINFO.
    EXPECT_EQ(
        Invoke(kExecPrint, DISPATCH_METHOD, {Long(40000), Text(setting, L"9600,N,8,1"), Long(0), Text(pur, L"x")}),
        DISP_E_EXCEPTION);
    EXPECT_EQ(exception_.scode, core::kOverflow);
    EXPECT_GT(description_.Length(), 0u);
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
    EXPECT_EQ(fake_->CallCount(), 0u);

    // A component failure keeps the component's code and description.
    fake_->FailFirstCallTo(kOutput, core::kWriteTimeout, L"fake: write timed out");
    EXPECT_EQ(Invoke(kExecPrint, DISPATCH_METHOD, {Long(3), Text(setting, L"9600,N,8,1"), Long(0), Text(pur, L"x")}),
              DISP_E_EXCEPTION);
    EXPECT_EQ(exception_.scode, core::kWriteTimeout);
    EXPECT_EQ(description_.View(), L"fake: write timed out");
    EXPECT_EQ(V_VT(&result_.Get()), VT_EMPTY);
}

TEST_F(LumtagDispatchTest, MemIdStoresANumberAsText) {
    EXPECT_EQ(Invoke(core::kMemIdDispid, DISPATCH_PROPERTYPUT, {Long(12)}, {DISPID_PROPERTYPUT}), S_OK);
    ASSERT_EQ(Invoke(core::kMemIdDispid, DISPATCH_PROPERTYGET, {}), S_OK);
    EXPECT_EQ(V_VT(&result_.Get()), VT_BSTR);
    EXPECT_EQ(unit::TextOf(result_.Get()), L"12");
}

TEST_F(LumtagDispatchTest, EveryInterfaceSharesOneIdentity) {
    ComPtr<IUnknown> identity;
    ASSERT_EQ(dispatch_.As(&identity), S_OK);
    const IID* iids[] = {&IID_IDispatch,          &IID__lumtag,
                         &IID_IOleObject,         &IID_IOleInPlaceObject,
                         &IID_IOleControl,        &IID_IViewObject2,
                         &IID_IPersistStreamInit, &IID_IPersistPropertyBag,
                         &IID_IProvideClassInfo2, &IID_IConnectionPointContainer,
                         &IID_ISupportErrorInfo};
    for (const IID* iid : iids) {
        ComPtr<IUnknown> face;
        ASSERT_EQ(dispatch_->QueryInterface(*iid, &face), S_OK);
        ComPtr<IUnknown> back;
        ASSERT_EQ(face.As(&back), S_OK);
        EXPECT_EQ(back.Get(), identity.Get());
        ComPtr<_lumtag> dual;
        EXPECT_EQ(face.As(&dual), S_OK);
    }
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(dispatch_.As(&support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID__lumtag), S_OK);
}

TEST_F(LumtagDispatchTest, EventSinkIsAcceptedAndNeverCalled) {
    auto sink = unit::RecordingDispatch::Create(unit::RecordingDispatch::Mode::kSink);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(dispatch_.As(&container), S_OK);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(DIID___lumtag, &point), S_OK);
    IID iid{};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(iid == DIID___lumtag);
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.Get(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);

    ScopedBstr pur, setting;
    EXPECT_EQ(Invoke(kExecPrint, DISPATCH_METHOD, {Long(3), Text(setting, L"9600,N,8,1"), Long(0), Text(pur, L"x")}),
              S_OK);
    EXPECT_EQ(
        Invoke(kExecPrint, DISPATCH_METHOD, {Long(40000), Text(setting, L"9600,N,8,1"), Long(0), Text(pur, L"x")}),
        DISP_E_EXCEPTION);
    EXPECT_EQ(Invoke(core::kMemIdDispid, DISPATCH_PROPERTYPUT, {Long(5)}, {DISPID_PROPERTYPUT}), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    point.Reset();
    container.Reset();
    dispatch_.Reset();
    EXPECT_EQ(sink->References(), 1u) << "the control must let go of the sink";
}

TEST_F(LumtagDispatchTest, ClassInformationMiscStatusAndExtent) {
    ComPtr<IProvideClassInfo2> classInfo;
    ASSERT_EQ(dispatch_.As(&classInfo), S_OK);
    GUID events{};
    EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
    EXPECT_TRUE(events == DIID___lumtag);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(classInfo->GetClassInfo(&coclass), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(attr->guid == CLSID_lumtag);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    coclass->ReleaseTypeAttr(attr);

    ComPtr<IOleObject> ole;
    ASSERT_EQ(dispatch_.As(&ole), S_OK);
    DWORD misc = 0;
    EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
    EXPECT_EQ(misc, 0x20191u);
    SIZEL size{};
    EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 4551);  // 2580 twips
    EXPECT_EQ(size.cy, 2196);  // 1245 twips
}

// The type library in the test program's own resources, as in the library.
class TypeLibraryTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH] = {};
        ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
        ASSERT_EQ(LoadTypeLibEx(path, REGKIND_NONE, &lib_), S_OK);
    }

    std::wstring Name(ITypeInfo* info, MEMBERID id, std::wstring* doc = nullptr) {
        ScopedBstr name, docString;
        EXPECT_EQ(info->GetDocumentation(id, name.Receive(), docString.Receive(), nullptr, nullptr), S_OK);
        if (doc != nullptr) *doc = docString.View();
        return std::wstring(name.View());
    }

    struct Attr {
        TYPEKIND kind;
        WORD flags;
        WORD major, minor;
        WORD funcs;
        GUID guid;
    };
    static Attr AttrOf(ITypeInfo* info) {
        TYPEATTR* a = nullptr;
        EXPECT_EQ(info->GetTypeAttr(&a), S_OK);
        const Attr out{a->typekind, a->wTypeFlags, a->wMajorVerNum, a->wMinorVerNum, a->cFuncs, a->guid};
        info->ReleaseTypeAttr(a);
        return out;
    }

    ComPtr<ITypeLib> lib_;
};

TEST_F(TypeLibraryTest, LibraryAndItsThreeTypes) {
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(lib_->GetLibAttr(&libAttr), S_OK);
    EXPECT_TRUE(libAttr->guid == LIBID_Tessmer);
    EXPECT_EQ(libAttr->lcid, 0x409u);
    EXPECT_EQ(libAttr->wMajorVerNum, 1);
    EXPECT_EQ(libAttr->wMinorVerNum, 0);
    EXPECT_TRUE(libAttr->wLibFlags & LIBFLAG_FCONTROL);
    lib_->ReleaseTLibAttr(libAttr);
    ScopedBstr name, doc;
    ASSERT_EQ(lib_->GetDocumentation(-1, name.Receive(), doc.Receive(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.View(), L"Tessmer");
    EXPECT_EQ(doc.View(), L"Tessmer");

    ASSERT_EQ(lib_->GetTypeInfoCount(), 3u);
    ComPtr<ITypeInfo> dual, coclass, events;
    ASSERT_EQ(lib_->GetTypeInfo(0, &dual), S_OK);
    ASSERT_EQ(lib_->GetTypeInfo(1, &coclass), S_OK);
    ASSERT_EQ(lib_->GetTypeInfo(2, &events), S_OK);

    EXPECT_EQ(Name(dual.Get(), MEMBERID_NIL), L"_lumtag");
    const Attr d = AttrOf(dual.Get());
    EXPECT_EQ(d.kind, TKIND_DISPATCH);
    EXPECT_TRUE(d.guid == IID__lumtag);
    EXPECT_EQ(d.flags, TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(d.major, 1);
    EXPECT_EQ(d.minor, 0);
    HREFTYPE interfaceRef = 0;
    ASSERT_EQ(dual->GetRefTypeOfImplType(-1, &interfaceRef), S_OK);
    ComPtr<ITypeInfo> interfaceSide;
    ASSERT_EQ(dual->GetRefTypeInfo(interfaceRef, &interfaceSide), S_OK);
    const Attr i = AttrOf(interfaceSide.Get());
    EXPECT_EQ(i.kind, TKIND_INTERFACE);
    EXPECT_EQ(i.flags, TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE |
                           TYPEFLAG_FOLEAUTOMATION);

    EXPECT_EQ(Name(coclass.Get(), MEMBERID_NIL), L"lumtag");
    const Attr c = AttrOf(coclass.Get());
    EXPECT_EQ(c.kind, TKIND_COCLASS);
    EXPECT_TRUE(c.guid == CLSID_lumtag);
    EXPECT_TRUE(c.flags & TYPEFLAG_FCONTROL);
    EXPECT_FALSE(c.flags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(c.major, 1);
    EXPECT_EQ(c.minor, 0);

    EXPECT_EQ(Name(events.Get(), MEMBERID_NIL), L"__lumtag");
    const Attr e = AttrOf(events.Get());
    EXPECT_EQ(e.kind, TKIND_DISPATCH);
    EXPECT_TRUE(e.guid == DIID___lumtag);
    EXPECT_EQ(e.flags, TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(e.major, 1);
    EXPECT_EQ(e.minor, 0);
    EXPECT_EQ(e.funcs, 0);
}

TEST_F(TypeLibraryTest, MemberTableOfTheDualInterface) {
    ComPtr<ITypeInfo> dual, info;
    ASSERT_EQ(lib_->GetTypeInfoOfGuid(IID__lumtag, &dual), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(dual->GetRefTypeOfImplType(-1, &ref), S_OK);
    ASSERT_EQ(dual->GetRefTypeInfo(ref, &info), S_OK);

    const struct {
        const wchar_t* name;
        MEMBERID id;
        INVOKEKIND kind;
        VARTYPE retval;  // VT_EMPTY: no retval (the property put)
        std::vector<std::wstring> params;
    } expected[] = {
        {L"SocConnect", 0x60030001, INVOKE_FUNC, VT_VARIANT, {L"HOSTIP", L"HOSTPORT"}},
        {L"SocSts", 0x60030002, INVOKE_FUNC, VT_BSTR, {}},
        {L"SendData", 0x60030003, INVOKE_FUNC, VT_VARIANT, {L"BARDATA"}},
        {L"ExecPrint", kExecPrint, INVOKE_FUNC, VT_VARIANT, {L"PUR_NO", L"N_TIME", L"SETTING", L"PORT"}},
        {L"dectohex", 0x60030005, INVOKE_FUNC, VT_VARIANT, {L"dec"}},
        {L"MemId", 0x68030000, INVOKE_PROPERTYGET, VT_BSTR, {}},
        {L"MemId", 0x68030000, INVOKE_PROPERTYPUT, VT_EMPTY, {L"New_MemId"}},
    };
    ASSERT_EQ(AttrOf(info.Get()).funcs, std::size(expected));
    for (UINT index = 0; index < std::size(expected); ++index) {
        const auto& want = expected[index];
        SCOPED_TRACE(testing::Message() << "function " << index);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(index, &f), S_OK);
        EXPECT_EQ(f->memid, want.id);
        EXPECT_EQ(f->invkind, want.kind);
        std::wstring doc = L"?";
        EXPECT_EQ(Name(info.Get(), f->memid, &doc), want.name);
        EXPECT_EQ(doc, L"") << "no help strings on members";

        const bool hasRetval = want.retval != VT_EMPTY;
        ASSERT_EQ(static_cast<size_t>(f->cParams), want.params.size() + (hasRetval ? 1 : 0));
        for (size_t p = 0; p < want.params.size(); ++p) {
            const ELEMDESC& param = f->lprgelemdescParam[p];
            if (want.kind == INVOKE_PROPERTYPUT) {
                EXPECT_EQ(param.tdesc.vt, VT_BSTR);
                continue;
            }
            ASSERT_EQ(param.tdesc.vt, VT_PTR);
            EXPECT_EQ(param.tdesc.lptdesc->vt, VT_VARIANT);
            EXPECT_EQ(param.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
        }
        if (hasRetval) {
            const ELEMDESC& ret = f->lprgelemdescParam[f->cParams - 1];
            EXPECT_TRUE(ret.paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
            ASSERT_EQ(ret.tdesc.vt, VT_PTR);
            EXPECT_EQ(ret.tdesc.lptdesc->vt, want.retval);
        }
        info->ReleaseFuncDesc(f);
    }
}

}  // namespace
