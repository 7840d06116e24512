#include "protocol.h"

#include <windows.h>
#include <winver.h>

#include <cwchar>
#include <vector>

#include "errors.h"
#include "limits.h"
#include "log.h"
#include "scoped.h"
#include "utf8.h"

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

    // |args[0]| is the first parameter. Converted first to last: the binary
    // messages that follow a request are in that order.
    void Fill(Json& args, Frames& frames) {
        if (!args.is_array()) Refuse(L"\"args\" is not an array");
        values_.resize(args.size());
        for (VARIANT& value : values_) VariantInit(&value);
        for (size_t index = 0; index < args.size(); ++index)
            JsonToVariant(args[index], L"argument " + std::to_wstring(index + 1), frames,
                          &values_[args.size() - 1 - index]);
    }
    void Add(Json& value, const std::wstring& what, Frames& frames) {
        VARIANT& added = values_.emplace_back();
        VariantInit(&added);
        JsonToVariant(value, what, frames, &added);
    }
    VARIANT* Values() noexcept { return values_.data(); }
    // The values by reference, as a script host passes its variables: the
    // type library's Invoke then neither copies a long label for an
    // [in, out] parameter (twice, in and back out) nor replaces it.
    VARIANT* References() {
        references_.resize(values_.size());
        for (size_t index = 0; index < values_.size(); ++index) {
            V_VT(&references_[index]) = VT_VARIANT | VT_BYREF;
            V_VARIANTREF(&references_[index]) = &values_[index];
        }
        return references_.data();
    }
    UINT Count() const noexcept { return static_cast<UINT>(values_.size()); }

private:
    std::vector<VARIANT> values_;
    std::vector<VARIANT> references_;
};

// What the automation layer's own refusal of a call means, in a script
// host's words, naming the member and, where known, the argument.
// |argumentError| indexes the arguments last first.
std::wstring DescribeRefusal(HRESULT code, const std::wstring& member, UINT argumentError, UINT count) {
    const bool namesArgument = (code == DISP_E_TYPEMISMATCH || code == DISP_E_OVERFLOW) && argumentError < count;
    return core::DescribeCode(code) + L": " +
           (namesArgument ? L"argument " + std::to_wstring(count - argumentError) + L" of " : L"") + L"'" + member +
           L"'";
}

std::wstring Hex(HRESULT code) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

ReplyJson ErrorReply(const ReplyJson& id, HRESULT code, const std::wstring& description, const std::wstring& source) {
    return {{"id", id},
            {"error",
             {{"number", core::ErrorNumber(code)},
              {"hresult", static_cast<uint32_t>(code)},
              {"description", WideToUtf8(description.empty() ? core::DescribeCode(code) : description)},
              {"source", WideToUtf8(source)}}}};
}

// The binary messages a request's values name, which follow it: its
// arguments first to last, then a property's value; true for text.
std::vector<bool> FramesNamed(const Json& request) {
    std::vector<bool> text;
    const auto add = [&text](const Json& value) {
        if (IsFramePlaceholder(value)) text.push_back(IsTextFrame(value));
    };
    if (const auto args = request.find("args"); args != request.end() && args->is_array())
        for (const Json& value : *args) add(value);
    if (const auto value = request.find("value"); value != request.end()) add(*value);
    return text;
}

// Reads a request text with bounded work: time in proportion to its size,
// and no deeper or larger a value than a request needs is ever built.
Json ParseRequest(std::string_view text) {
    size_t values = 0;
    const auto bounded = [&values](int depth, Json::parse_event_t event, Json&) {
        const bool opens = event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
        if (opens && depth >= limits::kNestingDepth)
            Refuse(L"the request is nested deeper than " + std::to_wstring(limits::kNestingDepth) + L" levels");
        if ((opens || event == Json::parse_event_t::value) && ++values > limits::kValuesPerRequest)
            Refuse(L"the request holds more than " + std::to_wstring(limits::kValuesPerRequest) + L" values");
        return true;
    };
    Json request = Json::parse(text, bounded, false);
    if (request.is_discarded()) Refuse(L"the request is not well-formed JSON text");
    return request;
}

// The bridge's own version, from its version resource.
std::string BridgeVersion() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = length == 0 || length == MAX_PATH ? 0 : GetFileVersionInfoSizeW(path, &ignored);
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixedSize < sizeof(VS_FIXEDFILEINFO))
        return "unknown";
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

}  // namespace

void KeepControlsLoaded() {
    for (const wchar_t* progId : kControls) {
        CLSID clsid;
        wchar_t clsidText[40];
        wchar_t path[MAX_PATH];
        DWORD size = sizeof(path);
        if (FAILED(CLSIDFromProgID(progId, &clsid)) || StringFromGUID2(clsid, clsidText, 40) == 0 ||
            RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32").c_str(),
                         nullptr, RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS ||
            LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) == nullptr)
            LogLine("not kept loaded: " + WideToUtf8(progId));
    }
}

std::string HelloMessage() {
    static const std::string version = BridgeVersion();
    ReplyJson controls = ReplyJson::array();
    for (const wchar_t* progId : kControls) controls.push_back(WideToUtf8(progId));
    // "protocol" stays 1, which every client checks; "protocols" lists all.
    return ReplyJson{
        {"bridge", "LabelBridge"}, {"protocol", 1}, {"protocols", {1, 2}}, {"version", version}, {"controls", controls}}
        .dump();
}

Request Session::Read(std::string_view text) noexcept {
    Request request;
    try {
        request.json_ = ParseRequest(text);
        if (request.json_.is_object()) request.textFrames_ = FramesNamed(request.json_);
    } catch (...) {
        request.refused_ = std::current_exception();
    }
    return request;
}

std::string Session::Run(Request read, Frames frames) {
    ReplyJson id;  // null until the request shows a usable one
    ReplyJson reply;
    try {
        if (read.refused_) std::rethrow_exception(read.refused_);
        Json& request = read.json_;
        if (!request.is_object()) Refuse(L"the request is not a JSON object");
        const auto found = request.find("id");
        if (found == request.end() || !found->is_number()) Refuse(L"the request has no number \"id\"");
        id = *found;
        const std::string& op = TextField(request, "op");
        if (op == "create") {
            reply = {{"id", id}, {"object", Create(request)}};
        } else {
            ReplyJson result;
            if (op == "call")
                result = Call(request, DISPATCH_METHOD | DISPATCH_PROPERTYGET, frames);
            else if (op == "get")
                result = Call(request, DISPATCH_PROPERTYGET, frames);
            else if (op == "set")
                result = Set(request, frames);
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

uint64_t Session::Create(const Json& request) {
    const std::wstring asked = Utf8ToWide(TextField(request, "progId"));
    const wchar_t* progId = nullptr;
    for (const wchar_t* control : kControls)
        if (CompareStringOrdinal(asked.data(), static_cast<int>(asked.size()), control, -1, TRUE) == CSTR_EQUAL)
            progId = control;
    if (progId == nullptr) core::Throw(E_ACCESSDENIED, L"not a label control: " + asked);
    if (objects_.size() >= limits::kObjects)
        core::Throw(core::ControlCode(7),
                    L"too many objects on this connection (at most " + std::to_wstring(limits::kObjects) + L")");

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

ReplyJson Session::Call(Json& request, WORD flags, Frames& frames) {
    const Object& object = Find(request);
    const std::wstring member = Utf8ToWide(TextField(request, "member"));
    Arguments args;
    const auto given = request.find("args");
    if (given != request.end() && (flags & DISPATCH_METHOD)) args.Fill(*given, frames);
    DISPPARAMS params{args.References(), nullptr, args.Count(), 0};
    return Invoke(object, member, flags, params);
}

ReplyJson Session::Set(Json& request, Frames& frames) {
    const Object& object = Find(request);
    const std::wstring member = Utf8ToWide(TextField(request, "member"));
    const auto value = request.find("value");
    if (value == request.end()) Refuse(L"the request has no \"value\"");
    Arguments args;
    args.Add(*value, L"the value of " + member, frames);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.Values(), &named, 1, 1};
    Invoke(object, member, DISPATCH_PROPERTYPUT, params);
    return nullptr;
}

ReplyJson Session::Release(const Json& request) {
    Find(request);
    objects_.erase(request.at("object").get<uint64_t>());
    return nullptr;
}

ReplyJson Session::Invoke(const Object& object, const std::wstring& member, WORD flags, DISPPARAMS& params) {
    DISPID dispid = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member.c_str());
    // A name holding a null would be cut there, and the shorter name called.
    HRESULT hr = member.find(L'\0') != std::wstring::npos
                     ? DISP_E_UNKNOWNNAME
                     : object.dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid);
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
