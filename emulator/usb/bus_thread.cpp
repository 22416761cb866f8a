// The bus thread; see bus_thread.h.
#include "emulator/usb/bus_thread.h"

#include "emulator/kernel/system.h"

namespace emu::usb {

BusThread::~BusThread()
{
    Stop();
}

void BusThread::Start()
{
    std::lock_guard lock(mutex_);
    if (running_) {
        return;
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    running_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
    threadId_ = thread_.get_id();
}

void BusThread::Stop()
{
    std::thread finishing;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        finishing = std::move(thread_);
    }
    wake_.notify_all();
    if (finishing.joinable()) {
        finishing.join();
    }
}

void BusThread::Post(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            emu::sched::Posted(this);
            queue_.push_back(std::move(work));
            wake_.notify_one();
            return;
        }
    }
    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
    work();
}

void BusThread::PostAt(std::chrono::steady_clock::time_point when, std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        if (running_ && !stopping_) {
            emu::sched::Posted(this);
            timed_.emplace(when, std::move(work));
            wake_.notify_one();
            return;
        }
    }
    Post(std::move(work));
}

// Moves the timed work that is due (all of it once stopping) to the queue. mutex_ held.
void BusThread::TakeDueWork()
{
    const auto now = std::chrono::steady_clock::now();
    while (!timed_.empty() && (stopping_ || timed_.begin()->first <= now)) {
        queue_.push_back(std::move(timed_.begin()->second));
        timed_.erase(timed_.begin());
    }
}

bool BusThread::OnBusThread() const
{
    return std::this_thread::get_id() == threadId_.load();
}

// Each piece of work runs at DISPATCH_LEVEL, as a DPC would, and outside
// the queue's lock so that it may post more work. The thread ends once it
// is asked to stop and nothing is left (timed work runs at once then);
// from then on Post runs work inline.
void BusThread::Run()
{
    emu::threads::SetName("bus");
    std::unique_lock lock(mutex_);
    for (;;) {
        TakeDueWork();
        if (queue_.empty()) {
            if (stopping_) {
                running_ = false;
                return;
            }
            if (timed_.empty()) {
                wake_.wait(lock);
            } else {
                const auto due = timed_.begin()->first;
                wake_.wait_until(lock, due);
            }
            continue;
        }
        auto work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        {
            emu::ScopedIrql dispatch(DISPATCH_LEVEL);
            emu::sched::Enter(this);
            work();
            emu::sched::Leave(this);
        }
        lock.lock();
    }
}

}  // namespace emu::usb
