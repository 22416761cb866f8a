// The bus's own thread: it plays the host controller's DPC, running the
// work posted to it (transfer completions, wake signals) one at a time at
// DISPATCH_LEVEL, in the order it was posted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
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
    // True on the bus thread itself.
    bool OnBusThread() const;

private:
    void Run();

    std::mutex mutex_;  // guards queue_, running_ and stopping_
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

}  // namespace emu::usb
