// The bus's own thread: it plays the host controller's DPC, running the
// work posted to it (transfer completions, wake signals) one at a time at
// DISPATCH_LEVEL, in the order it was posted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace emu::usb {

class BusThread {
public:
    ~BusThread();
    void Start();
    // Runs what is still queued, then ends the thread.
    void Stop();
    // Queues `work`; once the thread has stopped, runs it at once in the
    // caller's thread (raised to DISPATCH_LEVEL). Never call it while
    // holding a lock that `work` takes.
    void Post(std::function<void()> work);
    // Queues `work` to run no sooner than `when` (the bus model's clock):
    // work due at the same time runs in the order it was posted. Once the
    // thread is stopping, what is still waiting runs without waiting.
    void PostAt(std::chrono::steady_clock::time_point when, std::function<void()> work);
    // True on the bus thread itself.
    bool OnBusThread() const;

private:
    void Run();
    void TakeDueWork();

    std::mutex mutex_;  // guards queue_, timed_, running_ and stopping_
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timed_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

}  // namespace emu::usb
