// A snapshot enumerator (IEnumConnectionPoints, IEnumConnections): it holds
// a reference on every item for its own lifetime and hands out a further
// one with each item it returns, as the enumeration contract says.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <new>
#include <vector>

#include "com_object.h"
#include "errors.h"
#include "scoped.h"

namespace core {

inline void AddItemReference(IConnectionPoint* point) noexcept {
    point->AddRef();
}
inline void ReleaseItem(IConnectionPoint* point) noexcept {
    point->Release();
}
inline void AddItemReference(const CONNECTDATA& connection) noexcept {
    connection.pUnk->AddRef();
}
inline void ReleaseItem(const CONNECTDATA& connection) noexcept {
    connection.pUnk->Release();
}

template <class Interface, class Item>
class Enumerator final : public SingleInterfaceObject<Interface> {
public:
    // Hands out a new enumerator over |items| as |object|.
    static HRESULT Create(const std::vector<Item>& items, size_t position, Interface** object) noexcept {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        return CatchReturn([&] {
            return HandOverNew(new Enumerator(items, position), __uuidof(Interface), reinterpret_cast<void**>(object));
        });
    }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) noexcept override {
        if (items == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        ULONG done = 0;
        for (; done < count && position_ < items_.size(); ++done, ++position_) {
            items[done] = items_[position_];
            AddItemReference(items[done]);
        }
        if (fetched != nullptr) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) noexcept override {
        const size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() noexcept override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** copy) noexcept override { return Create(items_, position_, copy); }

private:
    Enumerator(const std::vector<Item>& items, size_t position) : items_(items), position_(position) {
        for (const Item& item : items_) AddItemReference(item);
    }
    ~Enumerator() override {
        for (const Item& item : items_) ReleaseItem(item);
    }

    const std::vector<Item> items_;
    size_t position_;
};

}  // namespace core
