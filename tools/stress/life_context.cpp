#include "tools/stress/life_context.h"

#include <algorithm>

namespace lives {

uint8_t StreamByte(uint64_t seed, uint64_t position)
{
    // splitmix64 of (seed, position): no period a packet or chunk size could line up with.
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + position + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint8_t>(z ^ (z >> 31));
}

NTSTATUS OpenPipe(emu::App& app, int pipe, emu::Handle* handle)
{
    const std::string path = PipePath(pipe);
    return app.Open(std::string_view(path), handle);
}

void LifeContext::Problem(std::string what)
{
    std::lock_guard lock(mutex_);
    problems_.push_back(std::move(what));
}

std::vector<std::string> LifeContext::Problems()
{
    std::lock_guard lock(mutex_);
    return problems_;
}

void LifeContext::EndPnpChange(bool started)
{
    started_.store(started);
    window_.fetch_add(1);
}

bool LifeContext::NotStartedThroughout(Mark mark) const
{
    return mark.window % 2 == 0 && !mark.started && window_.load() == mark.window;
}

void LifeContext::Check(const Outcome& outcome, const std::string& who)
{
    if (auto problem = CheckOutcome(outcome)) {
        Problem(who + ": " + *problem);
    }
}

void LifeContext::Publish(emu::Handle handle)
{
    std::lock_guard lock(mutex_);
    published_.push_back(handle);
}

void LifeContext::Withdraw(emu::Handle handle)
{
    std::lock_guard lock(mutex_);
    std::erase(published_, handle);
}

emu::Handle LifeContext::AnyPublished(std::mt19937_64& random)
{
    std::lock_guard lock(mutex_);
    if (published_.empty()) {
        return 0;
    }
    return published_[random() % published_.size()];
}

void LifeContext::ResetStream()
{
    std::lock_guard lock(streamMutex);
    writes.clear();
    read.clear();
}

}  // namespace lives
