// The verifier's record of findings. Every rule the emulated kernel checks
// ends here: the finding is kept, counted and handed to the listener (the
// test fixture fails the running test with it).
#include "emulator/kernel/system.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <mutex>

namespace emu::verifier {
namespace {

std::mutex findingsMutex;
std::vector<Finding> findings;                      // guarded by findingsMutex
std::function<void(const Finding&)> listener;      // guarded by findingsMutex

}  // namespace

void Report(std::string rule, std::string routine, std::string detail)
{
    Finding finding{std::move(rule), std::move(routine), std::move(detail), kernel::CurrentThread().id};
    std::function<void(const Finding&)> notify;
    {
        std::lock_guard lock(findingsMutex);
        findings.push_back(finding);
        notify = listener;
    }
    if (notify) {
        notify(finding);
    }
}

std::vector<Finding> Findings()
{
    std::lock_guard lock(findingsMutex);
    return findings;
}

size_t FindingCount()
{
    std::lock_guard lock(findingsMutex);
    return findings.size();
}

void Clear()
{
    std::lock_guard lock(findingsMutex);
    findings.clear();
}

void SetListener(std::function<void(const Finding&)> newListener)
{
    std::lock_guard lock(findingsMutex);
    listener = std::move(newListener);
}

void CheckIrql(const char* routine, KIRQL maximumIrql)
{
    kernel::CheckIrqlAtMost(maximumIrql, routine);
}

void CheckCallOut(const char* routine, KIRQL maximumIrql)
{
    kernel::CheckIrqlAtMost(maximumIrql, routine);
    if (kernel::HoldsDriverLock() || kernel::HoldsCancelLock()) {
        Report("call out of the driver while holding a spin lock", routine);
    }
}

}  // namespace emu::verifier
