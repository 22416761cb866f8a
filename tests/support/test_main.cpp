// main() for test programs: every test runs with the verifier listener and
// the hang watchdog installed, whatever fixture it uses.
#include "emulator/kernel/hang_watchdog.h"
#include "emulator/kernel/system.h"
#include "tests/support/verifier_guard.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// PONDREL_WATCHDOG_SECONDS overrides the 60 seconds a test may take before
// the watchdog ends it with what each blocked emulator thread waits on.
const std::chrono::seconds kLimit = emu::SecondsFromEnvironment("PONDREL_WATCHDOG_SECONDS", 60);

class PerTestGuards : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& test) override
    {
        verifier_ = std::make_unique<emu::test::VerifierGuard>();
        watchdog_.Arm(std::string(test.test_suite_name()) + "." + test.name());
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        watchdog_.Disarm();
        verifier_.reset();
    }

private:
    std::unique_ptr<emu::test::VerifierGuard> verifier_;
    emu::HangWatchdog watchdog_{kLimit, [](const std::string& test) {
        const std::string blocked = emu::threads::DescribeBlocked();
        return "\n[watchdog] " + test + " is still running after " + std::to_string(kLimit.count()) +
               " s; blocked emulator threads:\n" + (blocked.empty() ? "(none blocked in a kernel wait)\n" : blocked);
    }};
};

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestGuards);
    return RUN_ALL_TESTS();
}
