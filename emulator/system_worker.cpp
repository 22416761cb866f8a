#include "emulator/system_worker.h"

#include "emulator/kernel/system.h"

namespace emu {

SystemWorker::SystemWorker(std::string name) : name_(std::move(name)), thread_([this] { Run(); }) {}

SystemWorker::~SystemWorker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SystemWorker::Post(std::function<void()> task)
{
    sched::Posted(this);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

bool SystemWorker::WaitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return tasks_.empty() && !running_; });
}

bool SystemWorker::OnWorkerThread() const
{
    return std::this_thread::get_id() == thread_.get_id();
}

// The thread's loop. Each task starts and must end at PASSIVE_LEVEL; one
// that returns raised is reported, and the level is put back for the next.
void SystemWorker::Run()
{
    threads::SetName(name_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return;
        }
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        lock.unlock();
        {
            ScopedIrql passive(PASSIVE_LEVEL);
            sched::Enter(this);
            task();
            sched::Leave(this);
            if (CurrentIrql() != PASSIVE_LEVEL) {
                verifier::Report("System thread task returned at a raised IRQL", name_,
                                 "IRQL " + std::to_string(static_cast<int>(CurrentIrql())));
            }
        }
        lock.lock();
        running_ = false;
        if (tasks_.empty()) {
            idle_.notify_all();
        }
    }
}

}  // namespace emu
