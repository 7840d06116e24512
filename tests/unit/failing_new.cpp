// Replaces the program's operator new so that a test can make every
// allocation of its own thread fail (see failing_new.h). The control code is
// linked into the test program, so its allocations fail too.
#include "failing_new.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace {
thread_local bool g_allocationsFail = false;
thread_local std::size_t g_allocationsLeft = 0;  // that still succeed while failing

// The blocks a FreedBlocksWatch keeps; a fixed table, since the watch must
// not allocate through the operator it replaces.
// Low bits clear, so that a flag written into a freed block shows.
constexpr unsigned char kFreedPattern = 0xA8;
struct FreedBlocks {
    bool watching = false;
    std::size_t count = 0;
    void* blocks[1024];
};
thread_local FreedBlocks g_freed;

void Delete(void* block) noexcept {
    if (block != nullptr && g_freed.watching && g_freed.count < std::size(g_freed.blocks)) {
        std::memset(block, kFreedPattern, _msize(block));
        g_freed.blocks[g_freed.count++] = block;
        return;
    }
    std::free(block);
}
}  // namespace

namespace unit {
AllocationsFail::AllocationsFail(std::size_t succeeding) noexcept {
    g_allocationsFail = true;
    g_allocationsLeft = succeeding;
}
AllocationsFail::~AllocationsFail() {
    g_allocationsFail = false;
}

FreedBlocksWatch::FreedBlocksWatch() noexcept {
    g_freed.watching = true;
}
FreedBlocksWatch::~FreedBlocksWatch() {
    g_freed.watching = false;
    for (std::size_t i = 0; i < g_freed.count; ++i) std::free(g_freed.blocks[i]);
    g_freed.count = 0;
}
std::size_t FreedBlocksWatch::Deleted() const noexcept {
    return g_freed.count;
}
bool FreedBlocksWatch::Written() const noexcept {
    return std::any_of(g_freed.blocks, g_freed.blocks + g_freed.count, [](void* block) {
        const auto* bytes = static_cast<const unsigned char*>(block);
        return std::any_of(bytes, bytes + _msize(block), [](unsigned char b) { return b != kFreedPattern; });
    });
}
}  // namespace unit

void* operator new(std::size_t size) {
    if (g_allocationsFail) {
        if (g_allocationsLeft == 0) throw std::bad_alloc();
        --g_allocationsLeft;
    }
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    Delete(block);
}

void operator delete(void* block, std::size_t) noexcept {
    Delete(block);
}
