// The bridge's messages: each request of a page becomes one IDispatch call on
// a control object of its connection, and each outcome one reply. A Session
// is one connection's share: its objects live and die on the connection's
// apartment thread, which is the only thread that touches it.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "values.h"

namespace bridge {

// Loads the controls' libraries for the bridge's whole life. COM unloads an
// in-process server with the last apartment that used it: every page's
// connection would load the controls again, and each load leaves memory
// behind (about 5 KiB under Wine). A control that cannot be found is left
// to fail where a page creates it.
void KeepControlsLoaded();

// The message that opens every connection: who answers, the protocol
// versions it speaks, its own version and the controls it creates.
std::string HelloMessage();

// One request as read, before it runs: its JSON, or why it cannot be read,
// and how many binary messages with its label data follow it (protocol 2).
class Request {
public:
    size_t Frames() const noexcept { return textFrames_.size(); }
    // Whether the binary message |index| carries text (UTF-8) or bytes.
    bool IsTextFrame(size_t index) const { return textFrames_.at(index); }

private:
    friend class Session;
    Json json_;
    std::exception_ptr refused_;
    std::vector<bool> textFrames_;
};

class Session {
public:
    // |name| names the connection in the console lines of refused requests.
    explicit Session(std::string name) : name_(std::move(name)) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Reads one request text with bounded work; the text is no longer
    // needed afterwards. Never fails: a request that cannot be read is
    // refused when it runs.
    static Request Read(std::string_view text) noexcept;
    // The reply to |request|, run with the binary messages that followed it.
    // A request the bridge refuses and a call that fails both get an error
    // reply; only memory running out while the reply itself is written throws.
    std::string Run(Request request, Frames frames);

private:
    struct Object {
        Microsoft::WRL::ComPtr<IDispatch> dispatch;
        std::wstring progId;  // the source of its failures when the control names none
    };

    uint64_t Create(const Json& request);
    ReplyJson Call(Json& request, WORD flags, Frames& frames);
    ReplyJson Set(Json& request, Frames& frames);
    ReplyJson Release(const Json& request);
    Object& Find(const Json& request);
    ReplyJson Invoke(const Object& object, const std::wstring& member, WORD flags, DISPPARAMS& params);

    const std::string name_;
    std::map<uint64_t, Object> objects_;
    uint64_t lastId_ = 0;  // ids are never reused on a connection
};

}  // namespace bridge
