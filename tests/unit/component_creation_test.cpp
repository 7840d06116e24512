// The contained components when memory runs out: whichever allocation of a
// creation fails, the creator answers E_OUTOFMEMORY with no component, and
// no exception reaches the host.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "failing_new.h"
#include "serial_port_component.h"
#include "socket_component.h"

namespace {

TEST(ComponentCreation, AnyFailingAllocationIsOutOfMemory) {
    const struct {
        const char* name;
        HRESULT (*create)(IDispatch** component);
    } creators[] = {
        {"serial port component", &core::CreateSerialPortComponent},
        {"socket component", [](IDispatch** component) { return ostrel::CreateSocketComponentWith(1000, component); }},
    };
    for (const auto& creator : creators) {
        SCOPED_TRACE(creator.name);
        // The first allocation fails, then the second, ... until the creation got all it needs.
        HRESULT hr = E_OUTOFMEMORY;
        size_t succeeding = 0;
        for (; hr == E_OUTOFMEMORY && succeeding < 200; ++succeeding) {
            Microsoft::WRL::ComPtr<IDispatch> component;
            {
                unit::AllocationsFail fail(succeeding);
                hr = creator.create(&component);
            }
            if (hr == E_OUTOFMEMORY) {
                EXPECT_EQ(component.Get(), nullptr) << succeeding << " allocations succeeded";
            }
        }
        EXPECT_EQ(hr, S_OK) << "after " << succeeding << " allocations";
    }
}

}  // namespace
