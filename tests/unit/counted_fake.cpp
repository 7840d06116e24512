#include "counted_fake.h"

#include <atomic>

namespace unit {

namespace {

std::atomic<int> g_liveFakes{0};

// Fails a test that leaves a fake behind. A fixture's fakes are gone by
// then, so are the control objects that held them.
class LeftFakesCheck final : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo&) override { atStart_ = g_liveFakes; }
    void OnTestEnd(const testing::TestInfo&) override {
        EXPECT_EQ(g_liveFakes, atStart_) << "fakes outlived the test: a reference to them was kept";
        atStart_ = g_liveFakes;
    }

private:
    int atStart_ = 0;
};

// Listeners hear of a test's end in the reverse order of their adding: this
// check speaks before the result printer prints the test's verdict.
const bool g_checkAdded = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new LeftFakesCheck);
    return true;
}();

}  // namespace

HRESULT Unexpected(const char* method) {
    ADD_FAILURE() << "a fake got a call the test does not expect: " << method;
    return E_NOTIMPL;
}

void CountFake(int change) noexcept {
    g_liveFakes += change;
}

}  // namespace unit
