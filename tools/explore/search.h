// The bounded search over the interleavings of one racing scenario. Every
// run starts a fresh machine, sets the scenario up with the scheduler off,
// lets the scheduler run the racing actors under the explorer's choices, and
// then checks what every reliability run must hold: each request completed
// once with a status it may have, the data intact, the I/O references back,
// and after removal and unload no pool, request or verifier finding left.
#pragma once

#include "driver/device_context.h"
#include "emulator/machine.h"
#include "tools/explore/scheduler.h"
#include "tools/stress/data_pattern.h"
#include "tools/stress/device_map.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace interleavings {

// One run's machine and what went wrong in it.
class Bench {
public:
    explicit Bench(const emu::usb::DeviceModel& model);
    ~Bench();

    emu::Machine& machine() { return *machine_; }
    emu::usb::UsbDevice& device() { return *device_; }
    const lives::DeviceMap& pipes() const { return pipes_; }
    DeviceContext* Context();
    Scheduler& scheduler();

    // Opens pipe `pipe` (or the device, lives::DevicePipe), recording a
    // problem when it fails.
    emu::Handle Open(int pipe);
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
    const lives::DeviceMap pipes_;
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

struct Finding {
    uint64_t run;
    std::string problem;
    std::string trail;  // the choices that replay the run
};

struct SearchResult {
    uint64_t runs = 0;
    bool exhaustive = false;
    uint64_t findings = 0;  // runs that broke a rule
    std::vector<Finding> problems;
    uint64_t stalls = 0;    // a thread blocked where the scheduler cannot see, and ran freely
    uint64_t late = 0;      // the scheduler went on without work that was late (runs may vary)
};

struct SearchOptions {
    uint64_t budget = 300;
    std::string replay;  // choices to make first; then one run only
    // The command line that replays a run from its choices; printed when a
    // run crashes the process, which leaves no finding to report otherwise.
    std::function<std::string(const std::string& trail)> replayLine;
};

// At most `budget` runs: depth-first within the preemption bound, and
// seeded random choices for the second half when the depth-first part does
// not finish in the first.
SearchResult Search(const std::function<std::unique_ptr<Scenario>()>& make, const emu::usb::DeviceModel& model,
                    const SearchOptions& options);

using lives::Pattern;
bool WaitUntil(const std::function<bool()>& condition);  // true before the deadline

}  // namespace interleavings
