#include "fuzz/harness/machine_checks.h"

#include "driver/device_context.h"
#include "emulator/kernel/system.h"

namespace pondrel_fuzz {

Baseline TakeBaseline()
{
    return Baseline{emu::pool::LiveBlocks(PondrelPoolTag), emu::LiveIrps()};
}

std::string TakeFindings()
{
    std::string report;
    for (const emu::verifier::Finding& finding : emu::verifier::Findings()) {
        report += "verifier: " + finding.rule + " in " + finding.routine + ": " + finding.detail + "\n";
    }
    emu::verifier::Clear();
    return report;
}

std::string CheckLeftovers(const Baseline& before)
{
    const Baseline after = TakeBaseline();
    std::string report = TakeFindings();
    if (after.driverBlocks != before.driverBlocks) {
        report += "pool blocks tagged Bulk: " + std::to_string(before.driverBlocks) + " before, " +
                  std::to_string(after.driverBlocks) + " after\n";
    }
    if (after.irps != before.irps) {
        report += "live IRPs: " + std::to_string(before.irps) + " before, " + std::to_string(after.irps) +
                  " after\n";
    }
    return report;
}

}  // namespace pondrel_fuzz
