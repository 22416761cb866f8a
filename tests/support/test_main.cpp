// main() for test programs: every test runs with the verifier listener and
// the watchdog installed, whatever fixture it uses.
#include "tests/support/verifier_guard.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class PerTestGuards : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        verifier_ = std::make_unique<emu::test::VerifierGuard>();
        watchdog_ = std::make_unique<emu::test::Watchdog>();
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
    return RUN_ALL_TESTS();
}
