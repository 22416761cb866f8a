#include "tools/pondrel-sim/watchdog.h"

#include "emulator/kernel/system.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace sim {

Watchdog::Watchdog(std::chrono::milliseconds limit) : limit_(limit), thread_([this] { Run(); }) {}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Watchdog::Arm(const std::string& step)
{
    {
        std::lock_guard lock(mutex_);
        step_ = step;
        deadline_ = std::chrono::steady_clock::now() + limit_;
        armed_ = true;
    }
    changed_.notify_all();
}

void Watchdog::Disarm()
{
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }
    changed_.notify_all();
}

void Watchdog::Run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!armed_) {
            changed_.wait(lock);
            continue;
        }
        auto deadline = deadline_;
        if (changed_.wait_until(lock, deadline) != std::cv_status::timeout || !armed_ || deadline_ != deadline)
            continue;
        std::fflush(stdout);
        std::string report = "pondrel-sim: '" + step_ + "' did not finish within " + std::to_string(limit_.count()) +
                             " ms; the emulator's blocked threads:\n" + emu::threads::DescribeBlocked();
        std::fputs(report.c_str(), stderr);
        std::fflush(stderr);
        _exit(1);
    }
}

}  // namespace sim
