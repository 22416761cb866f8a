// What every input run on an emulated machine must leave behind: no
// verifier finding, and no pool block, IRP or open file object more than
// before it ran.
#pragma once

#include "emulator/machine.h"

#include <cstdint>
#include <string>

namespace pondrel_fuzz {

// Counts taken before an input runs.
struct Baseline {
    uint64_t driverBlocks = 0;  // live pool blocks tagged "Bulk"
    uint64_t irps = 0;          // live IRPs
};

Baseline TakeBaseline();

// Empty when nothing leaked since `before` and the verifier found nothing;
// otherwise the leaks and findings, one per line. Clears the findings so
// that the next input starts clean.
std::string CheckLeftovers(const Baseline& before);

// The verifier's findings, one per line, then cleared; empty when none.
std::string TakeFindings();

}  // namespace pondrel_fuzz
