#include "tools/stress/app_crew.h"

#include "tools/stress/app_worker.h"
#include "tools/stress/pending_reader.h"

namespace lives {

AppCrew::AppCrew(LifeContext& life) : life_(life) {}

AppCrew::~AppCrew()
{
    Stop();
}

void AppCrew::Start(int count, std::mt19937_64& random, int pendingPipe, uint64_t pendingSeed)
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
    if (pendingPipe >= 0) {
        pendingReader_ = std::make_unique<PendingReader>(life_, *this, pendingPipe, pendingSeed);
        threads_.emplace_back([this] { pendingReader_->Run(); });
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
    if (pendingReader_) {
        pendingReader_->CloseHandles();
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
    readsSent_ = false;
    return changed_.wait_for(lock, timeout, [&] {
        return (operations_ >= target && (readsSent_ || !pendingReader_)) || threads_.empty();
    });
}

bool AppCrew::Checkpoint(const std::function<void()>& beforeParking)
{
    std::unique_lock lock(mutex_);
    if (pauseRequested_ && !stopRequested_ && beforeParking) {
        lock.unlock();
        beforeParking();
        lock.lock();
    }
    if (pauseRequested_ && !stopRequested_) {
        ++parked_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pauseRequested_ || stopRequested_; });
        --parked_;
    }
    return !stopRequested_;
}

bool AppCrew::WaitForAnotherOperation(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const uint64_t target = operations_ + 1;
    return changed_.wait_for(lock, timeout, [&] { return operations_ >= target || stopRequested_ || pauseRequested_; });
}

void AppCrew::NoteReadsSent()
{
    std::lock_guard lock(mutex_);
    readsSent_ = true;
    changed_.notify_all();
}

void AppCrew::CountOperation()
{
    std::lock_guard lock(mutex_);
    ++operations_;
    changed_.notify_all();
}

}  // namespace lives
