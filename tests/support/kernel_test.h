// For tests of the kernel alone: a fresh emulated kernel per test, the
// verifier failing the test on any unexpected finding, and the watchdog.
#pragma once

#include "tests/support/verifier_guard.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

namespace emu::test {

class KernelGuard {
public:
    KernelGuard();
    ~KernelGuard();
    KernelGuard(const KernelGuard&) = delete;
    KernelGuard& operator=(const KernelGuard&) = delete;

private:
    VerifierGuard verifier_;
    Watchdog watchdog_;
};

class KernelTest : public ::testing::Test {
private:
    KernelGuard kernel_;
};

}  // namespace emu::test
