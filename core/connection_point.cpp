#include "connection_point.h"

#include <algorithm>

#include "enumerator.h"
#include "errors.h"

using Microsoft::WRL::ComPtr;

namespace core {

HRESULT ConnectionPoint::ForEachSink(const std::function<HRESULT(IUnknown*)>& call) {
    // A sink may unadvise itself while it is called: work on a copy.
    const auto sinks = sinks_;
    for (const auto& [cookie, sink] : sinks) {
        const HRESULT hr = call(sink.Get());
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) noexcept {
    if (iid == nullptr) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) noexcept {
    if (container == nullptr) return E_POINTER;
    *container = container_;
    container_->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) noexcept {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    // A sink for a dispinterface may answer only for IDispatch.
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, &typed))) {
        ComPtr<IDispatch> dispatch;
        if (FAILED(sink->QueryInterface(IID_PPV_ARGS(&dispatch))) || iid_ == IID_IPropertyNotifySink)
            return CONNECT_E_CANNOTCONNECT;
        typed = dispatch;
    }
    const HRESULT added = CatchReturn([&] {
        sinks_.emplace_back(nextCookie_, typed);
        return S_OK;
    });
    if (FAILED(added)) return added;
    *cookie = nextCookie_++;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) noexcept {
    const auto found =
        std::find_if(sinks_.begin(), sinks_.end(), [cookie](const auto& entry) { return entry.first == cookie; });
    if (found == sinks_.end()) return CONNECT_E_NOCONNECTION;
    sinks_.erase(found);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections) noexcept {
    if (connections == nullptr) return E_POINTER;
    *connections = nullptr;
    return CatchReturn([&] {
        std::vector<CONNECTDATA> items;
        for (const auto& [cookie, sink] : sinks_) items.push_back({sink.Get(), cookie});
        return Enumerator<IEnumConnections, CONNECTDATA>::Create(items, 0, connections);
    });
}

}  // namespace core
