// A machine per test, booted again as often as a test needs. The shared test
// main fails the test on every verifier finding, the machine's own teardown
// included, unless the test expects it (ExpectFinding).
#pragma once

#include "emulator/machine.h"
#include "tests/support/verifier_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace system_test {

using namespace std::chrono_literals;
using emu::test::ExpectFinding;

constexpr auto kWait = 10s;  // anything that takes longer has hung

class SystemTest : public ::testing::Test {
protected:
    void TearDown() override { Shutdown(); }

    // A new machine: the previous one (if any) is shut down first, then
    // BeforeBoot() resets the test driver's globals, which that teardown
    // still reaches.
    emu::Machine& Boot(emu::MachineOptions options = {})
    {
        Shutdown();
        BeforeBoot();
        machine_ = std::make_unique<emu::Machine>(std::move(options));
        return *machine_;
    }
    virtual void BeforeBoot() {}
    emu::Machine& machine() { return *machine_; }
    void Shutdown() { machine_.reset(); }

private:
    std::unique_ptr<emu::Machine> machine_;
};

}  // namespace system_test
