// The application threads of one life: a writer and a reader of the checked
// loopback stream (when the life checks it) and threads that open, close,
// read, write, send control codes and cancel at random. The event thread
// pauses them around device arrivals and removals and at the end.
#pragma once

#include "tools/stress/life_context.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lives {

class Worker;
class PendingReader;

class AppCrew {
public:
    explicit AppCrew(LifeContext& life);
    ~AppCrew();
    AppCrew(const AppCrew&) = delete;
    AppCrew& operator=(const AppCrew&) = delete;

    // Starts `count` threads (the first two are the writer and the reader of
    // a checked stream), each with its own generator seeded from `random`,
    // and, when `pendingPipe` is a pipe, one more that keeps reads pending
    // there (its generator seeded from `pendingSeed`).
    void Start(int count, std::mt19937_64& random, int pendingPipe = -1, uint64_t pendingSeed = 0);
    // Waits until every thread has finished what it was doing and parked.
    void Pause();
    // Closes every handle the parked threads hold.
    void CloseHandles();
    void Resume();
    void Stop();
    // Waits until the threads together finished `operations` more
    // operations, and the thread that keeps reads pending (if any) has
    // sent its reads again; false on timeout.
    bool WaitForProgress(uint64_t operations, std::chrono::milliseconds timeout);

    // Called by the threads. Parks while paused (after `beforeParking`,
    // which ends what the thread keeps in flight); false once stopped.
    bool Checkpoint(const std::function<void()>& beforeParking = {});
    void CountOperation();
    void NoteReadsSent();  // the pending reads are all in flight
    // Waits until the others finished one more operation; false on timeout.
    bool WaitForAnotherOperation(std::chrono::milliseconds timeout);

private:
    LifeContext& life_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool pauseRequested_ = false;
    bool stopRequested_ = false;
    int parked_ = 0;
    uint64_t operations_ = 0;
    bool readsSent_ = false;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::unique_ptr<PendingReader> pendingReader_;
    std::vector<std::thread> threads_;
};

}  // namespace lives
