// The benchmarks' table: a measure's median and range over interleaved
// pairs of runs, one row each, under one header, each row followed by the
// limit it is measured against.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

struct Spread {
    double median, lowest, highest;
};

inline Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

inline void PrintHeader() {
    std::printf("%-52s %22s %10s\n", "measure", "median (lowest-highest)", "target");
}

inline void PrintRow(const char* measure, const Spread& spread, const char* target) {
    char range[64];
    std::snprintf(range, sizeof(range), "%.3f (%.3f-%.3f)", spread.median, spread.lowest, spread.highest);
    std::printf("%-52s %22s %10s\n", measure, range, target);
}

// Under a row: what the limit it is measured against does, in one line.
inline void PrintLimit(const char* limit) {
    std::printf("  limit: %s\n", limit);
}

}  // namespace bench
