// Turns a hung test into a failure: when the test outlives its limit, the
// watchdog prints what each blocked emulator thread waits on, and in which
// routine, and ends the process with a failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace emu::test {

// PONDREL_WATCHDOG_SECONDS overrides the default of 60 seconds.
std::chrono::seconds DefaultWatchdogLimit();

class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit = DefaultWatchdogLimit());
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void Watch(std::chrono::seconds limit, std::string test);

    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace emu::test
