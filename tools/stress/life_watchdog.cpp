#include "tools/stress/life_watchdog.h"

#include "emulator/kernel/hang_watchdog.h"
#include "emulator/kernel/system.h"
#include "tools/stress/device_report.h"

#include <atomic>

namespace lives {
namespace {
std::atomic<const char*> lifeStage{"starting"};
}

void SetLifeStage(const char* stage)
{
    lifeStage.store(stage);
}

std::chrono::seconds LifeLimit()
{
    return emu::SecondsFromEnvironment("PONDREL_LIFE_SECONDS", 60);
}

std::string HangReport(const std::string& life, std::chrono::seconds limit)
{
    const std::string blocked = NameDeviceEvents(emu::threads::DescribeBlocked());
    const std::string device = DescribeWatchedDevice();
    return "\n[hang] " + life + " is still running after " + std::to_string(limit.count()) + " s, " +
           lifeStage.load() + "; blocked emulator threads:\n" +
           (blocked.empty() ? "(none blocked in a kernel wait)\n" : blocked) +
           (device.empty() ? "(no device object of the driver)\n" : device);
}

}  // namespace lives
