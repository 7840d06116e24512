// A connection point held inside its container: it shares the container's
// reference count, keeps its sinks in connection order, and lets the
// container call them.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <functional>
#include <utility>
#include <vector>

#include "com_object.h"

namespace core {

class ConnectionPoint final : public Implements<IConnectionPoint> {
public:
    // |container| owns this point and outlives it.
    ConnectionPoint(IConnectionPointContainer* container, const IID& iid) : container_(container), iid_(iid) {}
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    const IID& Iid() const noexcept { return iid_; }
    // Calls |call| for each sink in connection order; the first failure stops it.
    HRESULT ForEachSink(const std::function<HRESULT(IUnknown*)>& call);

    // IUnknown: identity of its own, lifetime of the container.
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override { return QueryListed(iid, object); }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return container_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override { return container_->Release(); }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) noexcept override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) noexcept override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) noexcept override;
    STDMETHODIMP Unadvise(DWORD cookie) noexcept override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) noexcept override;

private:
    IConnectionPointContainer* const container_;
    const IID iid_;
    DWORD nextCookie_ = 1;
    std::vector<std::pair<DWORD, Microsoft::WRL::ComPtr<IUnknown>>> sinks_;
};

}  // namespace core
