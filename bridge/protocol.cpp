#include "protocol.h"

#include <cwchar>
#include <vector>

#include "errors.h"
#include "log.h"
#include "scoped.h"

namespace bridge {

namespace {

// The only classes a page may create, as script hosts name them.
constexpr const wchar_t* kControls[] = {L"Tessmer.lumtag", L"Quennet.lumtag"};
constexpr wchar_t kBridgeSource[] = L"LabelBridge";

// A failure of a control object, reported under the control's source.
class CallFailure : public core::ComError {
public:
    CallFailure(HRESULT code, std::wstring description, std::wstring source)
        : ComError(code, std::move(description)), source_(std::move(source)) {}
    const std::wstring& Source() const noexcept { return source_; }

private:
    std::wstring source_;
};

[[noreturn]] void Refuse(std::wstring description) {
    core::Throw(E_INVALIDARG, std::move(description));
}

const std::string& TextField(const Json& request, const char* name) {
    const auto found = request.find(name);
    if (found == request.end() || !found->is_string()) Refuse(L"the request has no text \"" + Utf8ToWide(name) + L"\"");
    return found->get_ref<const std::string&>();
}

// The arguments of one call, last first as IDispatch::Invoke takes them.
class Arguments {
public:
    Arguments() = default;
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() {
        for (VARIANT& value : values_) VariantClear(&value);
    }

    // |args[0]| is the first parameter.
    void Fill(const Json& args) {
        if (!args.is_array()) Refuse(L"\"args\" is not an array");
        values_.reserve(args.size());
        for (size_t index = args.size(); index-- > 0;) Add(args[index], L"argument " + std::to_wstring(index + 1));
    }
    void Add(const Json& value, const std::wstring& what) {
        VARIANT& added = values_.emplace_back();
        VariantInit(&added);
        JsonToVariant(value, what, &added);
    }
    VARIANT* Data() noexcept { return values_.data(); }
    UINT Count() const noexcept { return static_cast<UINT>(values_.size()); }

private:
    std::vector<VARIANT> values_;
};

// What the automation layer's own refusals of a call mean, as a script host
// words them. |argumentError| indexes the arguments last first.
std::wstring DescribeRefusal(HRESULT code, const std::wstring& member, UINT argumentError, UINT count) {
    const std::wstring name = L"'" + member + L"'";
    const std::wstring argument =
        argumentError < count ? L"argument " + std::to_wstring(count - argumentError) + L" of " : L"";
    switch (code) {
        case DISP_E_UNKNOWNNAME:
        case DISP_E_MEMBERNOTFOUND:
            return L"Object doesn't support this property or method: " + name;
        case DISP_E_BADPARAMCOUNT:
            return L"Wrong number of arguments or invalid property assignment: " + name;
        case DISP_E_PARAMNOTOPTIONAL:
            return L"Argument not optional: " + name;
        case DISP_E_TYPEMISMATCH:
            return L"Type mismatch: " + argument + name;
        case DISP_E_OVERFLOW:
            return L"Overflow: " + argument + name;
        default:
            return core::DescribeCode(code) + L": " + name;
    }
}

std::wstring Hex(HRESULT code) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

Json ErrorReply(const Json& id, HRESULT code, const std::wstring& description, const std::wstring& source) {
    return {{"id", id},
            {"error",
             {{"number", ErrorNumber(code)},
              {"hresult", static_cast<uint32_t>(code)},
              {"description", WideToUtf8(description.empty() ? core::DescribeCode(code) : description)},
              {"source", WideToUtf8(source)}}}};
}

}  // namespace

std::string HelloMessage() {
    Json controls = Json::array();
    for (const wchar_t* progId : kControls) controls.push_back(WideToUtf8(progId));
    return Json{{"bridge", "LabelBridge"}, {"protocol", kProtocolVersion}, {"controls", controls}}.dump();
}

std::string Session::Handle(std::string_view text) {
    Json id;  // null until the request shows a usable one
    Json reply;
    try {
        const Json request = Json::parse(text, nullptr, false);
        if (request.is_discarded()) Refuse(L"the request is not well-formed JSON text");
        if (!request.is_object()) Refuse(L"the request is not a JSON object");
        const auto found = request.find("id");
        if (found == request.end() || !found->is_number()) Refuse(L"the request has no number \"id\"");
        id = *found;
        const std::string& op = TextField(request, "op");
        if (op == "create") {
            reply = {{"id", id}, {"object", Create(request)}};
        } else {
            Json result;
            if (op == "call")
                result = Call(request, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
            else if (op == "get")
                result = Call(request, DISPATCH_PROPERTYGET);
            else if (op == "set")
                result = Set(request);
            else if (op == "release")
                result = Release(request);
            else
                Refuse(L"unknown op \"" + Utf8ToWide(op) + L"\"");
            reply = {{"id", id}, {"result", std::move(result)}};
        }
    } catch (const CallFailure& failure) {
        reply = ErrorReply(id, failure.Code(), failure.Description(), failure.Source());
    } catch (...) {
        // The bridge's own refusal: its reason names fields and ProgIDs, never argument values.
        const core::Failure failure = core::CurrentFailure();
        LogLine(name_ + ": request refused: " + Printable(WideToUtf8(failure.description)));
        reply = ErrorReply(id, failure.code, failure.description, kBridgeSource);
    }
    return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Session::Create(const Json& request) {
    const std::wstring asked = Utf8ToWide(TextField(request, "progId"));
    const wchar_t* progId = nullptr;
    for (const wchar_t* control : kControls)
        if (CompareStringOrdinal(asked.data(), static_cast<int>(asked.size()), control, -1, TRUE) == CSTR_EQUAL)
            progId = control;
    if (progId == nullptr) core::Throw(E_ACCESSDENIED, L"not a label control: " + asked);
    if (objects_.size() >= kMaxObjects)
        core::Throw(core::ControlCode(7),
                    L"too many objects on this connection (at most " + std::to_wstring(kMaxObjects) + L")");

    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        throw CallFailure(hr, std::wstring(progId) + L" is not installed on this machine (" + Hex(hr) + L")", progId);
    Microsoft::WRL::ComPtr<IDispatch> dispatch;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dispatch));
    if (FAILED(hr))
        throw CallFailure(
            hr, L"Cannot create " + std::wstring(progId) + L" (" + Hex(hr) + L"): " + core::DescribeCode(hr), progId);
    objects_.emplace(++lastId_, Object{std::move(dispatch), progId});
    return lastId_;
}

Session::Object& Session::Find(const Json& request) {
    const auto found = request.find("object");
    if (found == request.end() || !found->is_number()) Refuse(L"the request has no number \"object\"");
    if (found->is_number_integer() && *found >= 0) {
        const auto object = objects_.find(found->get<uint64_t>());
        if (object != objects_.end()) return object->second;
    }
    core::Throw(core::ControlCode(424), L"object " + Utf8ToWide(found->dump()) + L" does not exist on this connection");
}

Json Session::Call(const Json& request, WORD flags) {
    const Object& object = Find(request);
    const std::wstring member = Utf8ToWide(TextField(request, "member"));
    Arguments args;
    const auto given = request.find("args");
    if (given != request.end() && (flags & DISPATCH_METHOD)) args.Fill(*given);
    DISPPARAMS params{args.Data(), nullptr, args.Count(), 0};
    return Invoke(object, member, flags, params);
}

Json Session::Set(const Json& request) {
    const Object& object = Find(request);
    const std::wstring member = Utf8ToWide(TextField(request, "member"));
    const auto value = request.find("value");
    if (value == request.end()) Refuse(L"the request has no \"value\"");
    Arguments args;
    args.Add(*value, L"the value of " + member);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.Data(), &named, 1, 1};
    Invoke(object, member, DISPATCH_PROPERTYPUT, params);
    return nullptr;
}

Json Session::Release(const Json& request) {
    Find(request);
    objects_.erase(request["object"].get<uint64_t>());
    return nullptr;
}

Json Session::Invoke(const Object& object, const std::wstring& member, WORD flags, DISPPARAMS& params) {
    DISPID dispid = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member.c_str());
    HRESULT hr = object.dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) throw CallFailure(hr, DescribeRefusal(hr, member, UINT_MAX, 0), object.progId);

    core::ScopedVariant result;
    EXCEPINFO exception{};
    UINT argumentError = UINT_MAX;
    hr = object.dispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                 (flags & DISPATCH_PROPERTYPUT) ? nullptr : result.Receive(), &exception,
                                 &argumentError);
    if (hr == DISP_E_EXCEPTION && exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
    const core::ScopedBstr source(exception.bstrSource), description(exception.bstrDescription),
        helpFile(exception.bstrHelpFile);
    if (hr == DISP_E_EXCEPTION) {
        const HRESULT code = exception.scode != 0 ? exception.scode : core::ControlCode(exception.wCode);
        throw CallFailure(code, std::wstring(description.View()),
                          source.Length() != 0 ? std::wstring(source.View()) : object.progId);
    }
    if (FAILED(hr)) throw CallFailure(hr, DescribeRefusal(hr, member, argumentError, params.cArgs), object.progId);
    return VariantToJson(result.Get(), L"the result of " + member);
}

}  // namespace bridge
