// The scheduler and its explorer on actors that do nothing but pass
// scheduling points: the depth-first search must produce every interleaving
// of their steps exactly once (and only the non-preemptive ones at bound 0),
// and a printed trail must replay the same interleaving.
#include "tools/explore/scheduler.h"

#include <gtest/gtest.h>

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

// Every run of a depth-first search until it is exhausted.
std::vector<std::string> SearchAll(int preemptionBound)
{
    Explorer explorer(preemptionBound);
    std::vector<std::string> orders;
    do {
        orders.push_back(RunOnce(explorer));
    } while (orders.size() < 1000 && explorer.Advance());
    return orders;
}

TEST(Scheduler, DepthFirstSearchYieldsEachInterleavingOnce)
{
    // Two actors of three steps each: C(6, 3) interleavings.
    const auto orders = SearchAll(10);
    const std::set<std::string> distinct(orders.begin(), orders.end());
    EXPECT_EQ(orders.size(), 20u);
    EXPECT_EQ(distinct.size(), orders.size()) << "an interleaving was run twice";
    for (const auto& order : distinct) {
        EXPECT_EQ(order.size(), 6u) << order;
    }
}

TEST(Scheduler, PreemptionBoundLimitsTheSearch)
{
    // Without preemptions an actor runs to its end once it has the token:
    // only the choice of who starts is left.
    const auto orders = SearchAll(0);
    EXPECT_EQ(std::set<std::string>(orders.begin(), orders.end()), (std::set<std::string>{"aaabbb", "bbbaaa"}));
    // One preemption: every interleaving with at most one switch away from
    // a thread that could have gone on.
    const auto bounded = SearchAll(1);
    EXPECT_GT(bounded.size(), orders.size());
    EXPECT_LT(bounded.size(), 20u);
}

TEST(Scheduler, ATrailReplaysItsInterleaving)
{
    Explorer explorer(10);
    std::vector<std::pair<std::string, std::string>> seen;  // trail, order
    do {
        const std::string order = RunOnce(explorer);
        seen.emplace_back(explorer.Trail(), order);
    } while (explorer.Advance());
    for (const auto& [trail, order] : seen) {
        Explorer replay(10);
        replay.Replay(trail);
        EXPECT_EQ(RunOnce(replay), order) << "trail " << trail;
    }
}

}  // namespace
}  // namespace interleavings
