// pondrel-sim bench: throughput of the whole stack (application, I/O
// manager, driver, bus) with the emulated device, small reads served from
// the receive buffer, the driver's allocations on that path and its share
// of the CPU time; with --timed, loopback throughput on the bus model.
#pragma once

#include <ostream>

namespace sim {

struct BenchOptions {
    bool json = false;
    bool quick = false;  // short runs, for tests
    // Also loop back on the bus model at full, high and super speed: what an
    // application sees on a real bus. Without it every figure is the
    // software's cost alone, on a bus that takes no time.
    bool timed = false;
};

// Prints the table (or one JSON object); 0 when every request succeeded and
// the verifier found nothing, 1 otherwise.
int RunBench(const BenchOptions& options, std::ostream& out);

}  // namespace sim
