// For tests of the kernel alone: a fresh emulated kernel per test and the
// verifier failing the test on any unexpected finding (also installed by
// the shared main, with the hang watchdog; they nest).
#pragma once

#include "tests/support/verifier_guard.h"

#include <gtest/gtest.h>

namespace emu::test {

class KernelTest : public ::testing::Test {
protected:
    KernelTest() { KernelStartup(); }
    ~KernelTest() override { KernelShutdown(); }

private:
    VerifierGuard verifier_;
};

}  // namespace emu::test
