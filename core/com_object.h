// A COM object's interface list, said once: Implements<I...> derives from
// each interface and finds, in the same list, the one a QueryInterface asks
// for. An entry WithBases<I, B...> also answers for the interfaces B that I
// derives from (IOleWindow through IOleInPlaceObject). Plus IUnknown for the
// core's small heap objects that implement one interface.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <tuple>

namespace core {

template <class Interface, class... Bases>
struct WithBases {};

namespace interface_list {

template <class Entry>
struct Of {
    using Interface = Entry;
    template <class Object>
    static IUnknown* Find(Object* object, REFIID iid) noexcept {
        return iid == __uuidof(Entry) ? static_cast<Entry*>(object) : nullptr;
    }
};

template <class Interface_, class... Bases>
struct Of<WithBases<Interface_, Bases...>> {
    using Interface = Interface_;
    template <class Object>
    static IUnknown* Find(Object* object, REFIID iid) noexcept {
        Interface* const face = static_cast<Interface*>(object);
        if (iid == __uuidof(Interface)) return face;
        IUnknown* found = nullptr;
        ((found = found == nullptr && iid == __uuidof(Bases) ? static_cast<Bases*>(face) : found), ...);
        return found;
    }
};

template <class Entry>
using InterfaceOf = typename Of<Entry>::Interface;

}  // namespace interface_list

// Answers a QueryInterface with |found| (E_NOINTERFACE when null), adding
// the reference the caller receives.
inline HRESULT HandOutInterface(IUnknown* found, void** object) noexcept {
    *object = found;
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    return S_OK;
}

template <class... Entries>
class Implements : public interface_list::InterfaceOf<Entries>... {
protected:
    // The interface of the list that |iid| names, or null. IUnknown is not
    // in the list: which pointer is the object's identity is its own choice.
    IUnknown* Find(REFIID iid) noexcept {
        IUnknown* found = nullptr;
        ((found = found == nullptr ? interface_list::Of<Entries>::Find(this, iid) : found), ...);
        return found;
    }
    // QueryInterface of an object whose identity is the list's first interface.
    HRESULT QueryListed(REFIID iid, void** object) noexcept {
        if (object == nullptr) return E_POINTER;
        using First = std::tuple_element_t<0, std::tuple<interface_list::InterfaceOf<Entries>...>>;
        return HandOutInterface(iid == IID_IUnknown ? static_cast<First*>(this) : Find(iid), object);
    }
};

// IUnknown for one interface: created with one reference, deleted with the last.
template <class Interface>
class SingleInterfaceObject : public Implements<Interface> {
public:
    SingleInterfaceObject(const SingleInterfaceObject&) = delete;
    SingleInterfaceObject& operator=(const SingleInterfaceObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override { return this->QueryListed(iid, object); }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    SingleInterfaceObject() = default;
    virtual ~SingleInterfaceObject() = default;

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace core
