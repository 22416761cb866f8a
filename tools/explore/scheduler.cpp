#include "tools/explore/scheduler.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace interleavings {
namespace {

using namespace std::chrono_literals;

// How long the scheduler waits for queued work to be picked up and woken
// waiters to come back before it chooses without them: only a loaded
// machine makes this wait long, and choosing early would change the run.
constexpr auto SettleGrace = 2s;
// How long a run waits for work left from before it to finish.
constexpr auto QuietLimit = 2s;

const std::thread::id Nobody{};

const char* PointName(emu::sched::Point point)
{
    using emu::sched::Point;
    switch (point) {
    case Point::Interlocked: return "interlocked";
    case Point::SpinLockAcquire: return "spin-lock acquire";
    case Point::SpinLockRelease: return "spin-lock release";
    case Point::EventSet: return "event set";
    case Point::EventWait: return "event wait";
    case Point::Complete: return "completion";
    case Point::Call: return "call";
    }
    return "?";
}

}  // namespace

// ---- Explorer ----

void Explorer::Reset()
{
    prefix_.clear();
    trail_.clear();
    sampling_ = false;
}

void Explorer::Sample(uint64_t seed)
{
    sampling_ = true;
    random_.seed(seed);
    prefix_.clear();
}

std::optional<std::vector<size_t>> ParseTrail(std::string_view trail)
{
    std::vector<size_t> choices;
    size_t start = 0;
    while (start <= trail.size()) {
        size_t end = std::min(trail.find(',', start), trail.size());
        size_t choice = 0;
        const char* first = trail.data() + start;
        const auto [stop, failed] = std::from_chars(first, trail.data() + end, choice);
        if (end == start || failed != std::errc() || stop != trail.data() + end || choice > MostChoice) {
            return std::nullopt;
        }
        choices.push_back(choice);
        start = end + 1;
    }
    return choices;
}

void Explorer::Replay(const std::string& trail)
{
    Reset();
    prefix_ = ParseTrail(trail).value_or(std::vector<size_t>{});
}

void Explorer::BeginRun()
{
    trail_.clear();
    preemptions_ = 0;
}

size_t Explorer::Choose(size_t count, bool firstIsContinuation)
{
    size_t allowed = count;
    if (firstIsContinuation && preemptions_ >= preemptionBound_) {
        allowed = 1;
    }
    if (allowed <= 1) {
        return 0;
    }
    const size_t position = trail_.size();
    size_t choice = 0;
    if (position < prefix_.size()) {
        choice = std::min(prefix_[position], allowed - 1);
    } else if (sampling_) {
        choice = static_cast<size_t>(random_() % allowed);
    }
    trail_.push_back({choice, allowed});
    if (firstIsContinuation && choice != 0) {
        preemptions_++;
    }
    return choice;
}

bool Explorer::Advance()
{
    for (size_t i = trail_.size(); i-- > 0;) {
        if (trail_[i].choice + 1 < trail_[i].count) {
            prefix_.clear();
            for (size_t j = 0; j < i; ++j) {
                prefix_.push_back(trail_[j].choice);
            }
            prefix_.push_back(trail_[i].choice + 1);
            return true;
        }
    }
    return false;
}

std::string Explorer::Trail() const
{
    constexpr size_t LongestChoice = 21;  // 20 digits and the comma
    std::string text(trail_.size() * LongestChoice, '\0');
    text.resize(WriteTrail(text.data(), text.size()));
    return text;
}

size_t Explorer::WriteTrail(char* buffer, size_t size) const
{
    size_t length = 0;
    for (const Step& step : trail_) {
        char digits[20];
        size_t count = 0;
        size_t value = step.choice;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (length != 0 && length < size) {
            buffer[length++] = ',';
        }
        while (count != 0 && length < size) {
            buffer[length++] = digits[--count];
        }
    }
    return length;
}

// ---- Scheduler ----

Scheduler& SharedScheduler()
{
    static Scheduler scheduler;
    return scheduler;
}

Scheduler::Scheduler() : loop_([this] { Loop(); })
{
    emu::sched::SetController(this);
}

void Scheduler::SetLimits(Limits limits)
{
    std::lock_guard lock(mutex_);
    limits_ = limits;
}

std::string Scheduler::Stuck() const
{
    std::lock_guard lock(mutex_);
    return stuck_;
}

Scheduler::~Scheduler()
{
    emu::sched::SetController(nullptr);
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        active_ = false;
    }
    changed_.notify_all();
    loop_.join();
}

// A run starts from a quiet machine: work queued or running before it
// would join at a moment no choice decides.
void Scheduler::Activate(Explorer* explorer)
{
    std::unique_lock lock(mutex_);
    const auto quiet = [this] {
        const auto idle = [](const auto& entry) { return entry.second <= 0; };
        return std::all_of(pending_.begin(), pending_.end(), idle) &&
               std::all_of(running_.begin(), running_.end(), idle);
    };
    if (!changed_.wait_for(lock, QuietLimit, quiet)) {
        quietTimeouts_++;
    }
    pending_.clear();
    running_.clear();
    postings_.clear();
    explorer_ = explorer;
    explorer_->BeginRun();
    actors_.clear();
    lockOwners_.clear();
    holder_ = Nobody;
    last_ = Nobody;
    nextOrder_ = 0;
    spawnedCount_ = 0;
    noChoiceSince_.reset();
    stuck_.clear();
    started_ = false;
    active_ = true;
}

// Spawned actors take their order from the order of the Spawn calls, so that
// the same choices pick the same threads in every run.
void Scheduler::Spawn(std::string name, std::function<void()> action)
{
    const void* key;
    {
        std::lock_guard lock(mutex_);
        key = reinterpret_cast<const void*>(++spawnedCount_);
        pending_[key]++;
    }
    spawned_.emplace_back([this, key, name = std::move(name), action = std::move(action)] {
        emu::threads::SetName(name);
        Enter(key);
        action();
        Leave(key);
    });
}

void Scheduler::Finish(std::chrono::milliseconds settle)
{
    {
        std::lock_guard lock(mutex_);
        started_ = true;
    }
    changed_.notify_all();
    for (auto& thread : spawned_) {
        thread.join();
    }
    spawned_.clear();
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, settle, [this] { return actors_.empty() || !active_; });
    active_ = false;
    explorer_ = nullptr;
    lock.unlock();
    changed_.notify_all();
}

Scheduler::Actor* Scheduler::Self()
{
    auto found = actors_.find(std::this_thread::get_id());
    return found == actors_.end() ? nullptr : &found->second;
}

// Waits for the token. Returns at once when the run ends meanwhile. The
// grace for reaching the next point starts only now that the thread runs:
// on a loaded machine it may wake long after it was chosen.
void Scheduler::Park(std::unique_lock<std::mutex>& lock, Actor& self)
{
    const auto me = std::this_thread::get_id();
    changed_.notify_all();
    changed_.wait(lock, [&] { return !active_ || holder_ == me; });
    if (active_) {
        self.state = State::Running;
        changed_.notify_all();
    }
}

void Scheduler::At(emu::sched::Point point, const void* object)
{
    std::unique_lock lock(mutex_);
    Actor* self = active_ ? Self() : nullptr;
    if (self == nullptr) {
        return;
    }
    self->state = State::Ready;
    self->point = point;
    self->object = object;
    if (holder_ == std::this_thread::get_id()) {
        holder_ = Nobody;
    }
    Park(lock, *self);
}

// Each queue runs its work in the order it was queued, so a piece of work
// takes its order from its posting (a step of a controlled thread, made in
// a decided order) rather than from when its thread picks it up.
void Scheduler::Posted(const void* queue)
{
    std::lock_guard lock(mutex_);
    pending_[queue]++;
    if (active_) {
        postings_[queue].push_back(nextOrder_++);
    }
    changed_.notify_all();
}

void Scheduler::Enter(const void* queue)
{
    std::unique_lock lock(mutex_);
    if (auto found = pending_.find(queue); found != pending_.end() && found->second > 0) {
        found->second--;
    }
    running_[queue]++;
    if (!active_) {
        changed_.notify_all();
        return;
    }
    if (Actor* self = Self()) {
        self->depth++;
        return;
    }
    const uintptr_t spawnedIndex = reinterpret_cast<uintptr_t>(queue);
    Actor actor;
    // Spawned actors (keys 1, 2, ...) come first; pieces of work follow in
    // the order they were queued (work queued before the run, last).
    auto& postings = postings_[queue];
    if (spawnedIndex <= spawnedCount_) {
        actor.order = spawnedIndex;
    } else if (!postings.empty()) {
        actor.order = 1000 + postings.front();
        postings.pop_front();
    } else {
        actor.order = 1000000 + nextOrder_++;
    }
    actor.queue = queue;
    Actor& self = actors_[std::this_thread::get_id()] = actor;
    Park(lock, self);
}

void Scheduler::Leave(const void* queue)
{
    std::unique_lock lock(mutex_);
    running_[queue]--;
    changed_.notify_all();
    Actor* self = active_ ? Self() : nullptr;
    if (self == nullptr) {
        return;
    }
    if (self->depth > 0) {
        self->depth--;
        return;
    }
    const auto me = std::this_thread::get_id();
    if (holder_ == me) {
        holder_ = Nobody;
    }
    for (auto it = lockOwners_.begin(); it != lockOwners_.end();) {
        it = it->second == me ? lockOwners_.erase(it) : std::next(it);
    }
    actors_.erase(me);
    changed_.notify_all();
}

void Scheduler::Blocking(const void* object)
{
    std::lock_guard lock(mutex_);
    Actor* self = active_ ? Self() : nullptr;
    if (self == nullptr) {
        return;
    }
    self->state = State::Blocked;
    self->object = object;
    if (holder_ == std::this_thread::get_id()) {
        holder_ = Nobody;
    }
    changed_.notify_all();
}

void Scheduler::Unblocked()
{
    std::unique_lock lock(mutex_);
    Actor* self = active_ ? Self() : nullptr;
    if (self == nullptr) {
        return;
    }
    self->state = State::Ready;
    self->point = emu::sched::Point::EventWait;
    Park(lock, *self);
}

// Nothing the next choice depends on is still on its way: no woken waiter
// has yet to come back, and every queue with work waiting has its thread
// busy inside an earlier piece (so it cannot start the new one now).
bool Scheduler::Settled() const
{
    for (const auto& [id, actor] : actors_) {
        if (actor.state == State::Waking) {
            return false;
        }
    }
    for (const auto& [queue, count] : pending_) {
        if (count == 0) {
            continue;
        }
        const bool busy = std::any_of(actors_.begin(), actors_.end(),
                                      [queue = queue](const auto& entry) { return entry.second.queue == queue; });
        if (!busy) {
            return false;
        }
    }
    return true;
}

// A thread about to take a spin lock that another controlled thread holds
// would only spin: it waits until that one has passed its release.
bool Scheduler::Enabled(const Actor& actor) const
{
    if (actor.state != State::Ready) {
        return false;
    }
    if (actor.point != emu::sched::Point::SpinLockAcquire) {
        return true;
    }
    const auto owner = lockOwners_.find(actor.object);
    return owner == lockOwners_.end() || actors_.count(owner->second) == 0 ||
           &actors_.at(owner->second) == &actor;
}

// Every thread waits for a spin lock another of them holds: none will
// ever be chosen.
bool Scheduler::Deadlocked() const
{
    return !actors_.empty() && std::all_of(actors_.begin(), actors_.end(), [this](const auto& entry) {
        return entry.second.state == State::Ready && !Enabled(entry.second);
    });
}

void Scheduler::Decide()
{
    std::vector<std::pair<uint64_t, std::thread::id>> ready;
    bool continuation = false;
    for (const auto& [id, actor] : actors_) {
        if (!Enabled(actor)) {
            continue;
        }
        if (id == last_) {
            continuation = true;
        } else {
            ready.emplace_back(actor.order, id);
        }
    }
    std::sort(ready.begin(), ready.end());
    if (continuation) {
        ready.insert(ready.begin(), {0, last_});
    }
    if (ready.empty()) {
        return;
    }
    const size_t choice = ready.size() > 1 ? explorer_->Choose(ready.size(), continuation) : 0;
    decisions_ += ready.size() > 1;
    const std::thread::id chosen = ready[choice].second;
    Actor& actor = actors_.at(chosen);
    if (actor.point == emu::sched::Point::SpinLockAcquire) {
        lockOwners_[actor.object] = chosen;
    } else if (actor.point == emu::sched::Point::SpinLockRelease) {
        lockOwners_.erase(actor.object);
    } else if (actor.point == emu::sched::Point::EventSet) {
        for (auto& [id, other] : actors_) {
            if (other.state == State::Blocked && other.object == actor.object) {
                other.state = State::Waking;
            }
        }
    }
    holder_ = chosen;
    last_ = chosen;
    actor.state = State::Granted;
    noChoiceSince_.reset();
    changed_.notify_all();
}

// Waits until the thread holding the token has woken to take it, then
// takes the token back if it does not reach a point within the grace.
void Scheduler::WatchHolder(std::unique_lock<std::mutex>& lock)
{
    const auto holder = holder_;
    const auto moved = [&] { return holder_ != holder || !active_ || quitting_; };
    changed_.wait(lock, [&] { return moved() || actors_.at(holder).state != State::Granted; });
    if (moved()) {
        return;
    }
    if (!changed_.wait_for(lock, limits_.grace, moved)) {
        actors_.at(holder).state = State::Free;
        holder_ = Nobody;
        stalls_++;
    }
}

// No thread can be chosen now. A lock cycle among the threads will never
// resolve; otherwise a blocked or freely running thread may still come
// back, for up to the stuck limit.
void Scheduler::WaitForChoice(std::unique_lock<std::mutex>& lock)
{
    if (actors_.empty()) {
        noChoiceSince_.reset();
        changed_.wait(lock);
        return;
    }
    if (Deadlocked()) {
        GiveUp("every thread waits for a spin lock another holds:" + DescribeActors());
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!noChoiceSince_) {
        noChoiceSince_ = now;
    }
    const auto deadline = *noChoiceSince_ + limits_.stuck;
    if (now >= deadline) {
        GiveUp("no thread could be chosen for " + std::to_string(limits_.stuck.count()) + " ms:" + DescribeActors());
        return;
    }
    changed_.wait_until(lock, deadline);
}

// Ends the run's control so that its threads finish on their own; the
// search reports the run as a finding.
void Scheduler::GiveUp(std::string why)
{
    stuck_ = "scheduler stuck: " + std::move(why);
    active_ = false;
    changed_.notify_all();
}

std::string Scheduler::DescribeActors() const
{
    static const char* const states[] = {"granted", "running", "ready", "blocked", "waking", "free"};
    std::string text;
    for (const auto& [id, actor] : actors_) {
        char object[32];
        snprintf(object, sizeof(object), "%p", actor.object);
        text += " [#" + std::to_string(actor.order) + " " + states[static_cast<int>(actor.state)] + " at " +
                PointName(actor.point) + " " + object;
        if (const auto owner = lockOwners_.find(actor.object);
            actor.point == emu::sched::Point::SpinLockAcquire && owner != lockOwners_.end() &&
            actors_.count(owner->second) != 0) {
            text += " held by #" + std::to_string(actors_.at(owner->second).order);
        }
        text += "]";
    }
    return text;
}

// The scheduler's own thread: hands the token on whenever it is free, and
// takes it back from a thread that holds it without reaching a point.
void Scheduler::Loop()
{
    std::unique_lock lock(mutex_);
    while (!quitting_) {
        if (!active_ || !started_) {
            changed_.wait(lock);
            continue;
        }
        if (holder_ != Nobody) {
            WatchHolder(lock);
            continue;
        }
        if (!Settled() && !changed_.wait_for(lock, SettleGrace, [&] {
                return Settled() || holder_ != Nobody || !active_ || quitting_;
            })) {
            settleTimeouts_++;
            for (auto& [id, actor] : actors_) {
                if (actor.state == State::Waking) {
                    actor.state = State::Blocked;
                }
            }
        }
        if (!active_ || quitting_ || holder_ != Nobody) {
            continue;
        }
        Decide();
        if (holder_ == Nobody) {
            WaitForChoice(lock);
        }
    }
}

}  // namespace interleavings
