// main() of the low-resource sweeps: every test runs with the verifier
// listener and a watchdog long enough for a whole sweep, and the program
// ends with its summary line for the reliability table.
#include "tests/low_resources/sweep.h"
#include "tests/support/verifier_guard.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

constexpr std::chrono::seconds SweepWatchdogLimit{280};

class PerTestGuards : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        verifier_ = std::make_unique<emu::test::VerifierGuard>();
        watchdog_ = std::make_unique<emu::test::Watchdog>(SweepWatchdogLimit);
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        watchdog_.reset();
        verifier_.reset();
    }

private:
    std::unique_ptr<emu::test::VerifierGuard> verifier_;
    std::unique_ptr<emu::test::Watchdog> watchdog_;
};

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestGuards);
    const int result = RUN_ALL_TESTS();
    const auto totals = low_resources::Totals();
    std::printf("reliability: low-resources faults=%llu findings=%llu\n",
                static_cast<unsigned long long>(totals.faultRuns), static_cast<unsigned long long>(totals.findings));
    return result;
}
