// A system thread of the emulated machine: runs posted tasks one after the
// other at PASSIVE_LEVEL, as the PnP manager's, the power manager's and the
// I/O manager's own threads do on Windows. Tasks posted from a completion
// routine or a callback at DISPATCH_LEVEL run here, where they may wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace emu {

class SystemWorker {
public:
    explicit SystemWorker(std::string name);
    ~SystemWorker();  // runs the tasks already posted, then stops
    SystemWorker(const SystemWorker&) = delete;
    SystemWorker& operator=(const SystemWorker&) = delete;

    void Post(std::function<void()> task);
    // Waits until every task posted so far has run; false on timeout.
    bool WaitIdle(std::chrono::milliseconds timeout);
    bool OnWorkerThread() const;
    const std::string& Name() const { return name_; }

private:
    void Run();

    std::string name_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;  // guarded by mutex_
    bool running_ = false;                     // a task is running; guarded by mutex_
    bool stopping_ = false;                    // guarded by mutex_
    std::thread thread_;
};

}  // namespace emu
