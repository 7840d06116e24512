// The comparison of a far end's bytes with the jobs sent: every way a job
// can arrive wrong must be counted as such.
#include <gtest/gtest.h>

#include "job_ledger.h"

namespace {

using soak::Compare;
using soak::JobText;

TEST(JobLedger, JobTextHasItsSizeAndNumberAndOneStart) {
    std::mt19937_64 random(7);
    const std::string job = JobText(42, 300, random);
    EXPECT_EQ(job.size(), 300u);
    EXPECT_EQ(job.rfind("^XA^FDjob 000042 ", 0), 0u);
    EXPECT_EQ(job.find("^XA", 1), std::string::npos);
    EXPECT_EQ(job.substr(job.size() - 8), "^FS^XZ\r\n");
}

TEST(JobLedger, CountsEachWayAJobArrives) {
    std::mt19937_64 random(1);
    const std::vector<std::string> jobs = {JobText(0, 80, random), JobText(1, 80, random), JobText(2, 80, random)};
    const std::string& a = jobs[0];
    const std::string& b = jobs[1];
    const std::string& c = jobs[2];
    struct Case {
        const char* name;
        std::string received;
        std::vector<int> whole, cut;
        size_t stray;
    };
    const Case cases[] = {
        {"in order", a + b + c, {1, 1, 1}, {0, 0, 0}, 0},
        {"one missing", a + c, {1, 0, 1}, {0, 0, 0}, 0},
        {"twice", a + b + b + c, {1, 2, 1}, {0, 0, 0}, 0},
        {"cut inside the text", a + b.substr(0, 40) + c, {1, 0, 1}, {0, 1, 0}, 0},
        {"cut before the number", a + b.substr(0, 12) + c, {1, 0, 1}, {0, 1, 0}, 0},
        {"cut after two bytes", a + b.substr(0, 2) + c, {1, 0, 1}, {0, 1, 0}, 0},
        {"noise before the first", "xy" + a, {1, 0, 0}, {0, 0, 0}, 2},
        {"a middle byte lost", a + b.substr(0, 30) + b.substr(31) + c, {1, 0, 1}, {0, 0, 0}, b.size() - 1},
        {"a byte added at the end", a + b + "!" + c, {1, 0, 1}, {0, 0, 0}, b.size() + 1},
        {"an unknown job", a + "^XA^FDjob 000007 x^FS^XZ\r\n", {1, 0, 0}, {0, 0, 0}, 26},
    };
    for (const Case& test : cases) {
        const soak::Arrivals arrivals = Compare(test.received, jobs);
        EXPECT_EQ(arrivals.whole, test.whole) << test.name;
        EXPECT_EQ(arrivals.cut, test.cut) << test.name;
        EXPECT_EQ(arrivals.strayBytes, test.stray) << test.name;
    }
}

}  // namespace
