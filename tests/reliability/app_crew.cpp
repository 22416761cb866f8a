#include "tests/reliability/app_crew.h"

#include "tests/reliability/app_worker.h"

namespace lives {

AppCrew::AppCrew(LifeContext& life) : life_(life) {}

AppCrew::~AppCrew()
{
    Stop();
}

void AppCrew::Start(int count, std::mt19937_64& random)
{
    for (int i = 0; i < count; ++i) {
        Role role = Role::Chaos;
        if (life_.checkedStream && i < 2) {
            role = i == 0 ? Role::Writer : Role::Reader;
        }
        workers_.push_back(std::make_unique<Worker>(life_, *this, role, i, random()));
    }
    for (auto& worker : workers_) {
        threads_.emplace_back([&worker] { worker->Run(); });
    }
}

void AppCrew::Pause()
{
    std::unique_lock lock(mutex_);
    pauseRequested_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return parked_ == static_cast<int>(threads_.size()); });
}

void AppCrew::CloseHandles()
{
    std::lock_guard lock(mutex_);
    for (auto& worker : workers_) {
        worker->CloseHandles();
    }
}

void AppCrew::Resume()
{
    std::lock_guard lock(mutex_);
    pauseRequested_ = false;
    changed_.notify_all();
}

void AppCrew::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
        changed_.notify_all();
    }
    for (auto& thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

bool AppCrew::WaitForProgress(uint64_t operations, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const uint64_t target = operations_ + operations;
    return changed_.wait_for(lock, timeout, [&] { return operations_ >= target || threads_.empty(); });
}

bool AppCrew::Checkpoint()
{
    std::unique_lock lock(mutex_);
    if (pauseRequested_ && !stopRequested_) {
        ++parked_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pauseRequested_ || stopRequested_; });
        --parked_;
    }
    return !stopRequested_;
}

void AppCrew::CountOperation()
{
    std::lock_guard lock(mutex_);
    ++operations_;
    changed_.notify_all();
}

}  // namespace lives
