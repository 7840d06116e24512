// While an AllocationsFail lives, every operator new on its thread throws
// std::bad_alloc (after the first |succeeding| ones, which still succeed): for
// proving that no exception crosses an interface boundary, whichever
// allocation of a call is the one that fails.
// While a FreedBlocksWatch lives, blocks deleted on its thread are filled with
// a pattern and kept: Written() tells whether any was written to after it was
// deleted (an object that went on using itself after its last release).
#pragma once

#include <cstddef>

namespace unit {

class AllocationsFail {
public:
    explicit AllocationsFail(std::size_t succeeding = 0) noexcept;
    AllocationsFail(const AllocationsFail&) = delete;
    AllocationsFail& operator=(const AllocationsFail&) = delete;
    ~AllocationsFail();
};

class FreedBlocksWatch {
public:
    FreedBlocksWatch() noexcept;
    FreedBlocksWatch(const FreedBlocksWatch&) = delete;
    FreedBlocksWatch& operator=(const FreedBlocksWatch&) = delete;
    // Frees the blocks it kept.
    ~FreedBlocksWatch();

    // How many blocks were deleted while it watched, and whether any of them
    // was written to afterwards.
    std::size_t Deleted() const noexcept;
    bool Written() const noexcept;
};

}  // namespace unit
