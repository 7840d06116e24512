// Label jobs with their number inside, and the comparison of what a far end
// received with what the sender was told, job by job.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace soak {

// "^XA^FDjob 000123 <filler>^FS^XZ\r\n", |size| bytes long (at least the
// frame); "^XA" appears only at the start, so a far end can split jobs.
std::string JobText(int number, size_t size, std::mt19937_64& random);

// How each job arrived at the far end.
struct Arrivals {
    std::vector<int> whole;  // per job: times it arrived complete
    std::vector<int> cut;    // per job: times a proper beginning of it arrived
    size_t strayBytes = 0;   // bytes that belong to no job
};

// Splits |received| into jobs of |jobs| (indexed by job number). A piece
// too short to carry its number is taken for the job after the last one
// identified: jobs go out in order.
Arrivals Compare(const std::string& received, const std::vector<std::string>& jobs);

}  // namespace soak
