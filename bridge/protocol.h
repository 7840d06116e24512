// The bridge's messages: each request of a page becomes one IDispatch call on
// a control object of its connection, and each outcome one reply. A Session
// is one connection's share: its objects live and die on the connection's
// apartment thread, which is the only thread that touches it.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "values.h"

namespace bridge {

inline constexpr int kProtocolVersion = 1;
// Live objects one connection may hold at once.
inline constexpr size_t kMaxObjects = 64;

// The message that opens every connection: who answers, the protocol
// version and the controls it creates.
std::string HelloMessage();

class Session {
public:
    // |name| names the connection in the console lines of refused requests.
    explicit Session(std::string name) : name_(std::move(name)) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The reply to one request text. A request the bridge refuses and a call
    // that fails both get an error reply; only memory running out while the
    // reply itself is written throws.
    std::string Handle(std::string_view request);

private:
    struct Object {
        Microsoft::WRL::ComPtr<IDispatch> dispatch;
        std::wstring progId;  // the source of its failures when the control names none
    };

    Json Create(const Json& request);
    Json Call(const Json& request, WORD flags);
    Json Set(const Json& request);
    Json Release(const Json& request);
    Object& Find(const Json& request);
    Json Invoke(const Object& object, const std::wstring& member, WORD flags, DISPPARAMS& params);

    const std::string name_;
    std::map<uint64_t, Object> objects_;
    uint64_t lastId_ = 0;  // ids are never reused on a connection
};

}  // namespace bridge
