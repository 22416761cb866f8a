// Ends pondrel-sim with a report instead of a hang: a step that does not
// finish in time (a request the driver never completes, a PnP or power
// request stuck in the driver) gets the emulator's story of every blocked
// thread on stderr and exit status 1.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

class Watchdog {
public:
    explicit Watchdog(std::chrono::milliseconds limit);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Starts the clock for `step`; the previous step is over.
    void Arm(const std::string& step);
    void Disarm();

private:
    void Run();

    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string step_;                                   // guarded by mutex_
    std::chrono::steady_clock::time_point deadline_{};   // guarded by mutex_
    bool armed_ = false;                                 // guarded by mutex_
    bool stopping_ = false;                              // guarded by mutex_
    std::thread thread_;
};

}  // namespace sim
