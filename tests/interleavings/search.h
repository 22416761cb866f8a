// The bounded search over the interleavings of one racing scenario. Every
// run starts a fresh machine, sets the scenario up with the scheduler off,
// lets the scheduler run the racing actors under the explorer's choices, and
// then checks what every reliability run must hold: each request completed
// once with a status it may have, the data intact, the I/O references back,
// and after removal and unload no pool, request or verifier finding left.
#pragma once

#include "driver/device_context.h"
#include "emulator/machine.h"
#include "tests/interleavings/scheduler.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace interleavings {

// One run's machine and what went wrong in it.
class Bench {
public:
    Bench();
    ~Bench();

    emu::Machine& machine() { return *machine_; }
    emu::usb::UsbDevice& device() { return *device_; }
    DeviceContext* Context();
    Scheduler& scheduler();

    // Opens "\\.\pondrel" + name (recording a problem when it fails).
    emu::Handle Open(std::u16string_view name);
    void CloseAll();
    void Problem(std::string text);
    const std::vector<std::string>& Problems() const { return problems_; }

    // Waits for QuiesceEvent and checks that only the device's own
    // reference is left.
    void ExpectIdleReferences();
    // Closes the handles, removes the device unless it is gone, unloads
    // the driver and records whatever was left behind.
    void TearDown();

private:
    std::unique_ptr<emu::Machine> machine_;
    emu::usb::UsbDevice* device_ = nullptr;
    std::vector<emu::Handle> handles_;
    std::vector<std::string> problems_;
};

class Scenario {
public:
    virtual ~Scenario() = default;
    virtual void SetUp(Bench& bench) = 0;  // scheduler off
    virtual void Race(Bench& bench) = 0;   // spawns the actors
    virtual void Check(Bench& bench) = 0;  // scheduler off again
};

struct SearchResult {
    uint64_t runs = 0;
    bool exhaustive = false;
    uint64_t findings = 0;
};

// At most `budget` runs: depth-first within the preemption bound, and
// seeded random choices for the second half when the depth-first part does
// not finish in the first.
SearchResult Search(const std::string& name, const std::function<std::unique_ptr<Scenario>()>& make, uint64_t budget);

// The program's flags, after gtest's own: --budget=N (runs per scenario)
// and --replay=<choices> (one run per scenario with those choices first).
// The program prints the runs and the runs that broke a rule, over all
// scenarios, last.
uint64_t Budget();

std::vector<uint8_t> Pattern(size_t length, uint32_t seed);
bool WaitUntil(const std::function<bool()>& condition);  // true before the deadline

}  // namespace interleavings
