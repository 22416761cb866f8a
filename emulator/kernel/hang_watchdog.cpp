#include "emulator/kernel/hang_watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace emu {

std::chrono::seconds SecondsFromEnvironment(const char* variable, long fallback)
{
    const char* text = std::getenv(variable);
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
    return std::chrono::seconds(seconds > 0 ? seconds : fallback);
}

HangWatchdog::HangWatchdog(std::chrono::milliseconds limit, Report report)
    : limit_(limit), report_(std::move(report)), thread_([this] { Run(); })
{
}

HangWatchdog::~HangWatchdog()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void HangWatchdog::Arm(const std::string& step)
{
    {
        std::lock_guard lock(mutex_);
        step_ = step;
        deadline_ = std::chrono::steady_clock::now() + limit_;
        armed_ = true;
    }
    changed_.notify_all();
}

void HangWatchdog::Disarm()
{
    {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }
    changed_.notify_all();
}

// The watchdog's own thread: sleeps until the armed step's deadline, and
// ends the process if the same step is still armed then.
void HangWatchdog::Run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!armed_) {
            changed_.wait(lock);
            continue;
        }
        const auto deadline = deadline_;
        if (changed_.wait_until(lock, deadline) != std::cv_status::timeout || !armed_ || deadline_ != deadline)
            continue;
        std::fflush(stdout);
        std::fputs(report_(step_).c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(EXIT_FAILURE);
    }
}

}  // namespace emu
