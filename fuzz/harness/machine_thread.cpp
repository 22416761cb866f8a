#include "fuzz/harness/machine_thread.h"

namespace pondrel_fuzz {

MachineThread::MachineThread() : thread_([this] { Loop(); }) {}

MachineThread::~MachineThread()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void MachineThread::Run(const std::function<void()>& task)
{
    std::unique_lock lock(mutex_);
    task_ = &task;
    changed_.notify_all();
    changed_.wait(lock, [this] { return task_ == nullptr; });
}

void MachineThread::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return task_ != nullptr || stopping_; });
        if (task_ == nullptr) {
            return;
        }
        lock.unlock();
        (*task_)();
        lock.lock();
        task_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace pondrel_fuzz
