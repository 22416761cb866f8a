// The scheduler and its explorer on actors that do nothing but pass
// scheduling points: the depth-first search must produce every interleaving
// of their steps exactly once (and only the non-preemptive ones at bound 0),
// and a printed trail must replay the same interleaving. A run in which no
// thread can be chosen is given up and reported, never waited on.
#include "tools/explore/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>

namespace interleavings {
namespace {

using namespace std::chrono_literals;

constexpr int PointsPerActor = 2;

// One run: two actors each pass PointsPerActor points; the order in which
// their steps ran (one letter per step) is the interleaving.
std::string RunOnce(Explorer& explorer)
{
    Scheduler& scheduler = SharedScheduler();
    std::string order;  // written only by the thread holding the token
    int object = 0;
    scheduler.Activate(&explorer);
    for (char name : {'a', 'b'}) {
        scheduler.Spawn(std::string(1, name), [&order, &object, name] {
            for (int point = 0; point < PointsPerActor; ++point) {
                order += name;
                emu::sched::At(emu::sched::Point::Interlocked, &object);
            }
            order += name;
        });
    }
    scheduler.Finish(5s);
    return order;
}

// Every run of a depth-first search until it is exhausted: its trail and
// its interleaving.
std::vector<std::pair<std::string, std::string>> SearchAll(int preemptionBound)
{
    Explorer explorer(preemptionBound);
    std::vector<std::pair<std::string, std::string>> runs;
    do {
        const std::string order = RunOnce(explorer);
        runs.emplace_back(explorer.Trail(), order);
    } while (runs.size() < 1000 && explorer.Advance());
    return runs;
}

std::set<std::string> Orders(int preemptionBound)
{
    std::set<std::string> orders;
    for (const auto& run : SearchAll(preemptionBound)) {
        orders.insert(run.second);
    }
    return orders;
}

using Steps = std::vector<std::pair<emu::sched::Point, const void*>>;

// One run of one actor per list of steps; returns how many steps ran.
int RunSteps(Explorer& explorer, const std::vector<Steps>& actors)
{
    Scheduler& scheduler = SharedScheduler();
    std::atomic<int> ran = 0;
    scheduler.Activate(&explorer);
    for (const Steps& steps : actors) {
        scheduler.Spawn("actor", [&ran, &steps] {
            for (const auto& [point, object] : steps) {
                emu::sched::At(point, object);
                ran++;
            }
        });
    }
    scheduler.Finish(5s);
    return ran;
}

// Two actors of three steps each: C(6, 3) interleavings, each run once, and
// the trail of each replays it.
TEST(Scheduler, DepthFirstSearchYieldsEachInterleavingOnce)
{
    const auto runs = SearchAll(10);
    EXPECT_EQ(runs.size(), 20u);
    EXPECT_EQ(Orders(10).size(), runs.size()) << "an interleaving was run twice";
    for (const auto& [trail, order] : runs) {
        EXPECT_EQ(order.size(), 6u) << order;
        Explorer replay(10);
        replay.Replay(trail);
        EXPECT_EQ(RunOnce(replay), order) << "trail " << trail;
    }
}

TEST(Scheduler, PreemptionBoundLimitsTheSearch)
{
    // Without preemptions an actor runs to its end once it has the token:
    // only the choice of who starts is left. One preemption: every
    // interleaving with at most one switch away from a thread that could
    // have gone on.
    EXPECT_EQ(Orders(0), (std::set<std::string>{"aaabbb", "bbbaaa"}));
    const auto bounded = Orders(1);
    EXPECT_GT(bounded.size(), 2u);
    EXPECT_LT(bounded.size(), 20u);
}

TEST(Scheduler, AThreadWakingLateForItsTurnStillTakesIt)
{
    // With no grace the token is taken back as soon as it is handed over:
    // a thread chosen but not yet woken must still get its turn. Whether it
    // wakes before the scheduler looks again is up to the machine, hence
    // several runs.
    Scheduler& scheduler = SharedScheduler();
    scheduler.SetLimits({.grace = 0ms, .stuck = 1s});
    int object = 0;
    const Steps steps(20, {emu::sched::Point::Interlocked, &object});
    int stuck = 0;
    for (int run = 0; run < 20; ++run) {
        Explorer explorer(10);
        EXPECT_EQ(RunSteps(explorer, {steps, steps}), 40);
        stuck += !scheduler.Stuck().empty();
    }
    EXPECT_EQ(stuck, 0) << "runs given up, last: " << scheduler.Stuck();
    scheduler.SetLimits({});
}

TEST(Scheduler, ALockCycleIsReportedNotWaitedOn)
{
    // One actor takes x then y, the other y then x: where each holds its
    // first lock the run is given up and reported, and its threads finish.
    using emu::sched::Point;
    int x = 0, y = 0;
    const Steps xy{{Point::SpinLockAcquire, &x}, {Point::SpinLockAcquire, &y}, {Point::SpinLockRelease, &y},
                   {Point::SpinLockRelease, &x}};
    const Steps yx{{Point::SpinLockAcquire, &y}, {Point::SpinLockAcquire, &x}, {Point::SpinLockRelease, &x},
                   {Point::SpinLockRelease, &y}};
    Explorer explorer(10);
    int runs = 0, stuck = 0;
    do {
        EXPECT_EQ(RunSteps(explorer, {xy, yx}), 8);
        stuck += SharedScheduler().Stuck().find("spin lock another holds") != std::string::npos;
        runs++;
    } while (runs < 100 && explorer.Advance());
    EXPECT_GT(stuck, 0);
    EXPECT_LT(stuck, runs);
}

}  // namespace
}  // namespace interleavings
