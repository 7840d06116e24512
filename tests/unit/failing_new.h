// While an AllocationsFail lives, every operator new on its thread throws
// std::bad_alloc: for proving that no exception crosses an interface boundary.
#pragma once

namespace unit {

class AllocationsFail {
public:
    AllocationsFail() noexcept;
    AllocationsFail(const AllocationsFail&) = delete;
    AllocationsFail& operator=(const AllocationsFail&) = delete;
    ~AllocationsFail();
};

}  // namespace unit
