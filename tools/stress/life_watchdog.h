// Ends the program when one life outlives its limit, after printing the
// command that replays it and what each blocked emulator thread waits on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace lives {

// PONDREL_LIFE_SECONDS overrides the default of 60 seconds.
std::chrono::seconds LifeLimit();

// What the life's own thread is doing, for the report of a hang (a string
// that lives as long as the program).
void SetLifeStage(const char* stage);

class LifeWatchdog {
public:
    LifeWatchdog(std::string what, std::chrono::seconds limit = LifeLimit());
    ~LifeWatchdog();
    LifeWatchdog(const LifeWatchdog&) = delete;
    LifeWatchdog& operator=(const LifeWatchdog&) = delete;

private:
    void Watch(std::chrono::seconds limit);

    const std::string what_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace lives
