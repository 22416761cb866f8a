// A deterministic scheduler for the emulator's threads. While a run is
// active, the threads it controls (the actors a test spawns, and every piece
// of work the bus thread, the work-item thread and the managers' system
// threads run) take turns: one holds the token and runs until its next
// scheduling point (interlocked operation, spin lock, event, completion,
// call), a real wait, or the end of its work; then the scheduler picks who
// goes on. Threads it does not control run freely.
//
// The choices come from an Explorer: replayed from a prefix, then the first
// alternative (depth-first) or a seeded random one, within a preemption bound.
#pragma once

#include "emulator/kernel/system.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace interleavings {

// The largest choice a replayed trail may hold: far more threads than a run has.
constexpr size_t MostChoice = 255;

// The choices of a trail ("0,2,1"); null when it is not numbers from 0 to
// MostChoice separated by single commas.
std::optional<std::vector<size_t>> ParseTrail(std::string_view trail);

// Makes the choices of one run and finds the prefix of the next.
class Explorer {
public:
    explicit Explorer(int preemptionBound) : preemptionBound_(preemptionBound) {}

    // Depth-first from the start.
    void Reset();
    // The next run replays the prefix; false once every run within the bound is done.
    bool Advance();
    // From now on every choice past the prefix is random.
    void Sample(uint64_t seed);
    // The next run makes these choices first (a trail printed by a failure,
    // checked with ParseTrail).
    void Replay(const std::string& trail);

    void BeginRun();
    // Picks one of `count` alternatives (the first continues the running
    // thread when it can go on; the others preempt it unless `free`).
    size_t Choose(size_t count, bool firstIsContinuation);
    int PreemptionBound() const { return preemptionBound_; }
    std::string Trail() const;  // the choices of the current run, for a replay
    // The same into `buffer`, cut at `size`, allocating nothing (a crash
    // handler calls it); returns the length written.
    size_t WriteTrail(char* buffer, size_t size) const;

private:
    struct Step {
        size_t choice;
        size_t count;
    };
    int preemptionBound_;
    int preemptions_ = 0;
    std::vector<size_t> prefix_;
    std::vector<Step> trail_;
    bool sampling_ = false;
    std::mt19937_64 random_;
};

class Scheduler final : public emu::sched::Controller {
public:
    // How long a thread holding the token may go without reaching a point
    // before it is let run freely, and how long the scheduler may find no
    // thread to choose before it gives the run up as stuck.
    struct Limits {
        std::chrono::milliseconds grace{100};
        std::chrono::milliseconds stuck{30000};
    };

    Scheduler();
    ~Scheduler();

    void SetLimits(Limits limits);

    // Starts controlling: choices come from `explorer`.
    void Activate(Explorer* explorer);
    // Runs `action` on a new controlled thread.
    void Spawn(std::string name, std::function<void()> action);
    // Lets the actors go (the first choice waits until every spawned actor
    // has reached its first point), waits for them, then for the controlled work they set off
    // to end (up to `settle`), then lets every thread run freely again.
    void Finish(std::chrono::milliseconds settle);
    // Why the last run was given up (no thread could be chosen and the
    // threads were let run freely), or empty when it was not.
    std::string Stuck() const;

    uint64_t Decisions() const { return decisions_; }
    // Times a controlled thread kept the token without reaching a point
    // (blocked somewhere the scheduler cannot see) and was let run freely.
    uint64_t Stalls() const { return stalls_; }
    // Runs that started with earlier work still queued or running, and
    // choices made before queued work or a woken waiter had arrived.
    uint64_t QuietTimeouts() const { return quietTimeouts_; }
    uint64_t SettleTimeouts() const { return settleTimeouts_; }

    void At(emu::sched::Point point, const void* object) override;
    void Posted(const void* queue) override;
    void Enter(const void* queue) override;
    void Leave(const void* queue) override;
    void Blocking(const void* object) override;
    void Unblocked() override;

private:
    // Granted: chosen, but its thread has not yet woken to take the token.
    enum class State { Granted, Running, Ready, Blocked, Waking, Free };
    struct Actor {
        uint64_t order;          // stable across runs that made the same choices
        State state = State::Ready;
        emu::sched::Point point = emu::sched::Point::Call;
        const void* object = nullptr;
        const void* queue = nullptr;
        int depth = 0;           // nested Enter on a thread already controlled
    };

    Actor* Self();
    void Park(std::unique_lock<std::mutex>& lock, Actor& self);
    void Loop();
    void WatchHolder(std::unique_lock<std::mutex>& lock);
    void WaitForChoice(std::unique_lock<std::mutex>& lock);
    void GiveUp(std::string why);
    std::string DescribeActors() const;
    bool Settled() const;
    bool Enabled(const Actor& actor) const;
    bool Deadlocked() const;
    void Decide();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool active_ = false;
    bool quitting_ = false;
    bool started_ = false;  // every actor spawned: decisions may begin
    Limits limits_;
    std::optional<std::chrono::steady_clock::time_point> noChoiceSince_;
    std::string stuck_;
    Explorer* explorer_ = nullptr;
    std::map<std::thread::id, Actor> actors_;
    std::thread::id holder_;
    std::thread::id last_;
    std::map<const void*, int> pending_;  // queued, not yet entered (counted even while off)
    std::map<const void*, int> running_;  // entered, not yet left (counted even while off)
    std::map<const void*, std::deque<uint64_t>> postings_;  // order of each queued piece of work
    std::map<const void*, std::thread::id> lockOwners_;
    uint64_t nextOrder_ = 0;
    uint64_t decisions_ = 0;
    uint64_t stalls_ = 0;
    uint64_t quietTimeouts_ = 0;
    uint64_t settleTimeouts_ = 0;
    std::vector<std::thread> spawned_;  // the test thread only
    uintptr_t spawnedCount_ = 0;
    std::thread loop_;
};

// The one scheduler of the program (it installs itself as the emulator's
// scheduling controller).
Scheduler& SharedScheduler();

}  // namespace interleavings
