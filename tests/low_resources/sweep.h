// The low-resource sweep: a scenario runs once on a fresh machine to count
// the failable kernel calls the driver makes in its measured part, then once
// more for every k with the k-th of those calls failing. Each run must end
// with a status its table allows for that call, and then leave nothing
// behind: the device is removed, the driver unloaded, no pool of the driver
// and no request left, no verifier finding.
#pragma once

#include "emulator/machine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace low_resources {

// One emulated machine for one run of a scenario.
class Run {
public:
    explicit Run(uint64_t failAt);
    ~Run();

    emu::Machine& machine() { return *machine_; }
    // The measured part starts here: from now on only the driver's calls
    // count, and the chosen one fails.
    void Arm();
    // The measured part ends here: later calls (checks of the results) are
    // neither counted nor failed.
    void Disarm();
    // Calls the driver made between Arm and Disarm (or now).
    uint64_t Calls() const;
    // Opens "\\.\pondrel" + name; the handle is closed by Finish.
    NTSTATUS Open(std::u16string_view name, emu::Handle* handle);

    // Closes the handles, removes the device (if it was added), unloads the
    // driver (if it was loaded) and returns what was wrong on the way.
    std::vector<std::string> Finish();

private:
    std::unique_ptr<emu::Machine> machine_;
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
// with EXPECT_* (data read back, state left).
using Scenario = std::function<NTSTATUS(Run& run)>;

struct SweepResult {
    uint64_t calls = 0;        // failable calls of the fault-free run
    uint64_t faultRuns = 0;    // runs with one call failing
    uint64_t findings = 0;     // runs that broke a rule (reported as test failures too)
};

// `table` names every call in order; the fault-free run must end with
// `cleanStatus` and make exactly as many calls as the table lists. The program prints the
// runs with a fault and the runs that broke a rule, over all sweeps, last.
SweepResult Sweep(const std::string& name, const Scenario& scenario, const std::vector<Site>& table,
                  NTSTATUS cleanStatus = STATUS_SUCCESS);

// Bytes with a recognisable pattern.
std::vector<uint8_t> Pattern(size_t length, uint32_t seed);

}  // namespace low_resources
