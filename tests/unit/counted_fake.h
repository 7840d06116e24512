// The fake COM object of the unit tests: CountedFake<I...> implements the
// interfaces I (the fake writes their methods), answers QueryInterface for
// them, and counts the references it is given. A Release without a
// reference fails the test, and so does a fake that goes away while still
// referenced. A fake made with NewFake lives on the heap and goes with its
// last Release; one still alive when its test ends fails that test (a
// reference was kept or lost). Methods a test does not expect to be called
// return Unexpected("...").
#pragma once

#include <windows.h>
// windows.h first: the headers below need its types.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <utility>

#include "com_object.h"

namespace unit {

// Fails the running test: a fake got a call it does not expect.
HRESULT Unexpected(const char* method);

// Counts the fakes alive; each test must end with as many as it began with.
void CountFake(int change) noexcept;

template <class... Interfaces>
class CountedFake : public core::Implements<Interfaces...> {
public:
    CountedFake(const CountedFake&) = delete;
    CountedFake& operator=(const CountedFake&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override { return this->QueryListed(iid, object); }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        if (references_ == 0) {
            ADD_FAILURE() << "Release of a fake without a reference";
            return 0;
        }
        const ULONG left = --references_;
        if (left == 0 && onHeap_) delete this;
        return left;
    }
    ULONG References() const noexcept { return references_; }

protected:
    CountedFake() noexcept { CountFake(+1); }
    virtual ~CountedFake() {
        CountFake(-1);
        EXPECT_EQ(references_, 0u) << "a fake went away while still referenced";
    }

private:
    template <class Fake, class... Arguments>
    friend Microsoft::WRL::ComPtr<Fake> NewFake(Arguments&&... arguments);

    ULONG references_ = 0;
    bool onHeap_ = false;
};

// A fake on the heap with one reference, the returned one's.
template <class Fake, class... Arguments>
Microsoft::WRL::ComPtr<Fake> NewFake(Arguments&&... arguments) {
    Fake* const fake = new Fake(std::forward<Arguments>(arguments)...);
    fake->onHeap_ = true;
    return Microsoft::WRL::ComPtr<Fake>(fake);
}

// A dispatch fake: type information and names are unexpected (the controls
// call components and sinks by dispatch identifier); Invoke is the fake's.
template <class... More>
class DispatchFake : public CountedFake<IDispatch, More...> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override {
        if (count != nullptr) *count = 0;
        return Unexpected("GetTypeInfoCount");
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept override {
        if (info != nullptr) *info = nullptr;
        return Unexpected("GetTypeInfo");
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override {
        return Unexpected("GetIDsOfNames");
    }
};

}  // namespace unit
