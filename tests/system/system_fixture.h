// A machine per test, and the verifier's findings checked at its end: a
// test that expects a finding takes it; any other finding, including those
// of the machine's own teardown, fails the test.
#pragma once

#include "emulator/machine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string_view>

namespace system_test {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;  // anything that takes longer has hung

class SystemTest : public ::testing::Test {
protected:
    void TearDown() override;

    // A new machine; the previous one (if any) is shut down and checked
    // first, then BeforeBoot() runs.
    emu::Machine& Boot(emu::MachineOptions options = {});
    // For resetting a test driver's globals once the previous machine, whose
    // teardown still reaches the driver, is gone.
    virtual void BeforeBoot() {}
    emu::Machine& machine() { return *machine_; }
    // Ends the machine now (its teardown's findings count for the test).
    void Shutdown();
    // Fails the test for every finding it has not taken; then forgets them.
    void CheckFindings();

    // The findings so far whose rule contains `rule`, which the test thereby
    // expects; they no longer fail it.
    size_t TakeFindings(std::string_view rule);

private:
    std::unique_ptr<emu::Machine> machine_;
    bool booted_ = false;     // findings belong to this test only once it has booted
    std::set<size_t> taken_;  // indexes into the verifier's findings
};

// The pipe index of `endpoint` in the first interface of a configuration
// descriptor: the order of its endpoint descriptors. -1 if absent.
int PipeIndexOf(const std::vector<uint8_t>& configDescriptor, uint8_t endpoint);

}  // namespace system_test
