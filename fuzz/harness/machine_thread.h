// One thread of the harness's own that runs tasks one at a time, for a
// machine kept across inputs: the machine is built, used and torn down on
// that thread, so that tearing it down at process exit does not depend on
// the exiting thread's thread-local state, which is already gone by then.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pondrel_fuzz {

class MachineThread {
public:
    MachineThread();
    ~MachineThread();  // runs what is queued, then joins
    MachineThread(const MachineThread&) = delete;
    MachineThread& operator=(const MachineThread&) = delete;

    // Runs `task` on the thread and waits for it to return.
    void Run(const std::function<void()>& task);

private:
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* task_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the fields above exist
};

}  // namespace pondrel_fuzz
