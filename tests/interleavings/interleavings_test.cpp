#include "tests/interleavings/scenarios.h"

#include <gtest/gtest.h>

namespace interleavings {
namespace {

TEST(Interleavings, WaitWakeArbitration)
{
    EXPECT_EQ(Search("wait-wake", WaitWakeArbitration, Budget()).findings, 0u);
}

TEST(Interleavings, DrainRacingReadCompletion)
{
    EXPECT_EQ(Search("drain-vs-read", DrainRacingReadCompletion, Budget()).findings, 0u);
}

TEST(Interleavings, RemovalRacingWrite)
{
    EXPECT_EQ(Search("removal-vs-write", RemovalRacingWrite, Budget()).findings, 0u);
}

TEST(Interleavings, TwoReadsRacingReceiveBuffer)
{
    EXPECT_EQ(Search("two-reads", TwoReadsRacingReceiveBuffer, Budget()).findings, 0u);
}

TEST(Interleavings, PowerDrainAndQueryBeforeRemoval)
{
    EXPECT_EQ(Search("drain-and-query-then-removal", PowerDrainAndQueryBeforeRemoval, Budget()).findings, 0u);
}

}  // namespace
}  // namespace interleavings
