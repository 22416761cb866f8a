#include "tools/stress/life_watchdog.h"

#include "emulator/kernel/system.h"
#include "tools/stress/device_report.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

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
    constexpr long DefaultSeconds = 60;
    const char* text = std::getenv("PONDREL_LIFE_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : DefaultSeconds;
    return std::chrono::seconds(seconds > 0 ? seconds : DefaultSeconds);
}

LifeWatchdog::LifeWatchdog(std::string what, std::chrono::seconds limit)
    : what_(std::move(what)), thread_(&LifeWatchdog::Watch, this, limit)
{
}

LifeWatchdog::~LifeWatchdog()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
    thread_.join();
}

void LifeWatchdog::Watch(std::chrono::seconds limit)
{
    std::unique_lock lock(mutex_);
    if (done_.wait_for(lock, limit, [this] { return finished_; })) {
        return;
    }
    const std::string blocked = NameDeviceEvents(emu::threads::DescribeBlocked());
    const std::string device = DescribeWatchedDevice();
    std::fprintf(stderr, "\n[hang] %s is still running after %lld s, %s; blocked emulator threads:\n%s%s",
                 what_.c_str(), static_cast<long long>(limit.count()), lifeStage.load(),
                 blocked.empty() ? "(none blocked in a kernel wait)\n" : blocked.c_str(),
                 device.empty() ? "(no device object of the driver)\n" : device.c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace lives
