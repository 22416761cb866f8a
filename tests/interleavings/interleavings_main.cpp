// main() of the interleaving searches: --budget=N (after gtest's own flags)
// caps the runs per scenario, --replay=<choices> repeats one failing run; every test runs with the verifier listener
// and a watchdog long enough for a whole search; the program ends with its
// summary line for the reliability table.
#include "tests/interleavings/search.h"
#include "tests/support/verifier_guard.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::chrono::seconds SearchWatchdogLimit{280};

class PerTestGuards : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        verifier_ = std::make_unique<emu::test::VerifierGuard>();
        watchdog_ = std::make_unique<emu::test::Watchdog>(SearchWatchdogLimit);
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
    for (int i = 1; i < argc; ++i) {
        constexpr const char* BudgetFlag = "--budget=";
        constexpr const char* ReplayFlag = "--replay=";
        if (std::strncmp(argv[i], ReplayFlag, std::strlen(ReplayFlag)) == 0) {
            interleavings::SetReplay(argv[i] + std::strlen(ReplayFlag));
            continue;
        }
        if (std::strncmp(argv[i], BudgetFlag, std::strlen(BudgetFlag)) != 0) {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
        const long long value = std::atoll(argv[i] + std::strlen(BudgetFlag));
        if (value <= 0) {
            std::fprintf(stderr, "--budget needs a positive number\n");
            return 2;
        }
        interleavings::SetBudget(static_cast<uint64_t>(value));
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestGuards);
    const int result = RUN_ALL_TESTS();
    const auto totals = interleavings::Totals();
    std::printf("reliability: interleavings total=%llu findings=%llu\n",
                static_cast<unsigned long long>(totals.runs), static_cast<unsigned long long>(totals.findings));
    return result;
}
