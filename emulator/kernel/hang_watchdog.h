// Turns a hang into a report: while a step is armed and outlives its limit,
// the watchdog prints what its owner says about the step (typically what
// each blocked emulator thread waits on) and ends the process with status 1.
// One watchdog serves pondrel-sim's commands, the random lives and the
// tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace emu {

// The seconds an environment variable names, or `fallback` when it is not
// set or not a positive number.
std::chrono::seconds SecondsFromEnvironment(const char* variable, long fallback);

class HangWatchdog {
public:
    // Given the step that hung; returns the report to print.
    using Report = std::function<std::string(const std::string& step)>;

    HangWatchdog(std::chrono::milliseconds limit, Report report);
    ~HangWatchdog();
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

    // Starts the clock for `step`; the previous step is over.
    void Arm(const std::string& step);
    void Disarm();

private:
    void Run();

    const std::chrono::milliseconds limit_;
    const Report report_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string step_;                                  // guarded by mutex_
    std::chrono::steady_clock::time_point deadline_{};  // guarded by mutex_
    bool armed_ = false;                                // guarded by mutex_
    bool stopping_ = false;                             // guarded by mutex_
    std::thread thread_;
};

}  // namespace emu
