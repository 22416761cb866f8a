// The hang watchdog of the test harness.
#include "tests/support/watchdog.h"

#include "emulator/kernel/system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace emu::test {
namespace {

std::string CurrentTestName()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? "(no test)" : std::string(info->test_suite_name()) + "." + info->name();
}

}  // namespace

std::chrono::seconds DefaultWatchdogLimit()
{
    constexpr long DefaultSeconds = 60;
    const char* text = std::getenv("PONDREL_WATCHDOG_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : DefaultSeconds;
    return std::chrono::seconds(seconds > 0 ? seconds : DefaultSeconds);
}

Watchdog::Watchdog(std::chrono::seconds limit) : thread_(&Watchdog::Watch, this, limit, CurrentTestName())
{
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
    thread_.join();
}

void Watchdog::Watch(std::chrono::seconds limit, std::string test)
{
    std::unique_lock lock(mutex_);
    if (done_.wait_for(lock, limit, [this] { return finished_; })) {
        return;
    }
    const std::string blocked = threads::DescribeBlocked();
    std::fprintf(stderr, "\n[watchdog] %s is still running after %lld s; blocked emulator threads:\n%s", test.c_str(),
                 static_cast<long long>(limit.count()), blocked.empty() ? "(none blocked in a kernel wait)\n"
                                                                         : blocked.c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace emu::test
