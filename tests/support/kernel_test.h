// For tests of the kernel alone: a fresh emulated kernel per test, the
// verifier failing the test on any unexpected finding, and the watchdog
// (each also installed by the shared main; they nest).
#pragma once

#include "tests/support/verifier_guard.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

namespace emu::test {

class KernelTest : public ::testing::Test {
protected:
    KernelTest() { KernelStartup(); }
    ~KernelTest() override { KernelShutdown(); }

private:
    VerifierGuard verifier_;
    Watchdog watchdog_;
};

}  // namespace emu::test
