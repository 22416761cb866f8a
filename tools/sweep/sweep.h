// The low-resource sweep: a scenario runs once on a fresh machine to count
// the failable kernel calls the driver makes in its measured part, then once
// more for every k with the k-th of those calls failing. Each run must end
// with a status its table allows for that call, and then leave nothing
// behind: the device is removed, the driver unloaded, no pool of the driver
// and no request left, no verifier finding.
#pragma once

#include "emulator/machine.h"
#include "tools/stress/data_pattern.h"
#include "tools/stress/device_map.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace low_resources {

// One emulated machine for one run of a scenario, with `model` plugged in.
class Run {
public:
    Run(uint64_t failAt, const emu::usb::DeviceModel& model);
    ~Run();

    emu::Machine& machine() { return *machine_; }
    const emu::usb::DeviceModel& model() const { return model_; }
    const lives::DeviceMap& pipes() const { return pipes_; }
    // The measured part starts here: from now on only the driver's calls
    // count, and the chosen one fails.
    void Arm();
    // The measured part ends here: later calls (checks of the results) are
    // neither counted nor failed.
    void Disarm();
    // Calls the driver made between Arm and Disarm (or now).
    uint64_t Calls() const;
    // Opens pipe `pipe` (or the device, lives::DevicePipe); the handle is
    // closed by Finish.
    NTSTATUS Open(int pipe, emu::Handle* handle);
    // A scenario's own check of what its measured part left (data read
    // back, state kept): when `holds` is false, `what` is a problem.
    void Expect(bool holds, std::string what);

    // Closes the handles, removes the device (if it was added), unloads the
    // driver (if it was loaded) and returns what was wrong on the way.
    std::vector<std::string> Finish();

private:
    const emu::usb::DeviceModel& model_;
    const lives::DeviceMap pipes_;
    std::unique_ptr<emu::Machine> machine_;
    std::vector<std::string> problems_;
    std::vector<emu::Handle> handles_;
    uint64_t failAt_;
    uint64_t base_ = 0;
    uint64_t measured_ = 0;
    bool armed_ = false;
    bool disarmed_ = false;
};

// The statuses a scenario may end with when one call fails.
struct Site {
    std::string call;             // which call it is, for the report
    std::set<NTSTATUS> allowed;
};

// Runs the measured part and returns the status it ended with. It calls
// run.Arm() where the measured part begins and may check its own results
// with run.Expect.
using Scenario = std::function<NTSTATUS(Run& run)>;

// One sweep: a scenario, the table of its failable calls in the order the
// fault-free run makes them, and the status that run ends with.
struct SweepPlan {
    std::string name;
    Scenario scenario;
    std::vector<Site> table;
    NTSTATUS cleanStatus = STATUS_SUCCESS;
};

struct Finding {
    uint64_t failAt;  // the call that failed; 0 for the fault-free run
    std::string problem;
};

struct SweepResult {
    uint64_t calls = 0;        // failable calls of the fault-free run
    uint64_t faultRuns = 0;    // runs with one call failing
    uint64_t findings = 0;     // runs that broke a rule
    std::vector<Finding> problems;
};

// The fault-free run must end with `cleanStatus` and make exactly as many
// calls as the table lists; then one run per call with that call failing
// (only call `onlyAt` when it is not 0), each ending with a status its
// table row allows and leaving nothing behind.
SweepResult Sweep(const SweepPlan& plan, const emu::usb::DeviceModel& model, uint64_t onlyAt = 0);

// Every sweep that applies to `model`, in order (the data paths need a
// loopback pair, wait-wake a device that can wake the system).
std::vector<SweepPlan> SweepPlans(const emu::usb::DeviceModel& model);

using lives::Pattern;

}  // namespace low_resources
