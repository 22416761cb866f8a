// Counting of failable kernel calls, and the rule that fails the n-th one.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/system.h"

#include <atomic>
#include <mutex>

namespace emu::faults {
namespace {
std::mutex faultsMutex;
uint64_t calls = 0;       // guarded by faultsMutex
uint64_t failAt = 0;      // 0: none; guarded by faultsMutex
bool driverOnly = false;  // guarded by faultsMutex
}

uint64_t FailableCalls()
{
    std::lock_guard lock(faultsMutex);
    return calls;
}

void FailNthCall(uint64_t n)
{
    std::lock_guard lock(faultsMutex);
    failAt = n == 0 ? 0 : calls + n;
}

void Clear()
{
    std::lock_guard lock(faultsMutex);
    calls = 0;
    failAt = 0;
    driverOnly = false;
}

void CountDriverCallsOnly(bool only)
{
    std::lock_guard lock(faultsMutex);
    driverOnly = only;
}

bool ShouldFailCall()
{
    const bool fromDriver = kernel::ChargedDriver() != nullptr;
    std::lock_guard lock(faultsMutex);
    if (driverOnly && !fromDriver) {
        return false;
    }
    ++calls;
    if (failAt != 0 && calls == failAt) {
        failAt = 0;
        return true;
    }
    return false;
}

}  // namespace emu::faults
