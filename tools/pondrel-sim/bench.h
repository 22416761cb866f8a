// pondrel-sim bench: throughput of the whole stack (application, I/O
// manager, driver, bus) with the emulated device, small reads served from
// the receive buffer, the driver's allocations on that path and its share
// of the CPU time; with --timed, loopback throughput on the bus model.
#pragma once

#include <ostream>
#include <string>

namespace sim {

struct BenchOptions {
    bool json = false;
    bool quick = false;       // short runs, for tests
    std::string deviceFile;   // --device: measure this device instead of the built-in one
    // Also loop back on the bus model at full, high and super speed: what an
    // application sees on a real bus. Without it every figure is the
    // software's cost alone, on a bus that takes no time.
    bool timed = false;
};

// The build this program is ("Release", "Debug", ...), from its compile
// definitions.
const char* BuildType();

// Prints the table (or one JSON object); 0 when every request succeeded and
// the verifier found nothing, 1 otherwise, 2 when the device file is bad
// (one line on `err`).
int RunBench(const BenchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace sim
