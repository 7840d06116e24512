// Replaces the program's operator new so that a test can make every
// allocation of its own thread fail (see failing_new.h). The control code is
// linked into the test program, so its allocations fail too.
#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool g_allocationsFail = false;
}  // namespace

namespace unit {
AllocationsFail::AllocationsFail() noexcept {
    g_allocationsFail = true;
}
AllocationsFail::~AllocationsFail() {
    g_allocationsFail = false;
}
}  // namespace unit

void* operator new(std::size_t size) {
    if (!g_allocationsFail) {
        if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
