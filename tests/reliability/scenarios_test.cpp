// Named lives modelled on the platform's device-fundamentals tests, run
// every time with fixed scripts (the threads' timing still varies).
#include "tests/reliability/life_report.h"

#include <gtest/gtest.h>

namespace lives {
namespace {

constexpr uint64_t ScenarioSeed = 7;

Step Io(uint32_t operations = 20)
{
    return {Event::RunIo, operations};
}

LifeResult RunScenario(std::vector<Step> steps, bool checkedStream = true)
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    LifePlan plan;
    plan.seed = ScenarioSeed;
    plan.checkedStream = checkedStream;
    plan.threads = 4;
    plan.steps = std::move(steps);
    return RunAndReport(plan, std::string("pondrel_random_lives --gtest_filter=") + test->test_suite_name() + "." +
                                  test->name());
}

TEST(NamedScenarios, SurpriseRemovalThenNewArrival)
{
    RunScenario({Io(), {Event::SurpriseRemoveAndReturn}, Io(), {Event::DisconnectAndReturn}, Io()});
}

TEST(NamedScenarios, QueryRemoveAndRemovalThenReArrival)
{
    RunScenario({Io(), {Event::QueryRemoveThenCancel}, Io(), {Event::RemoveAndReturn}, Io()});
}

TEST(NamedScenarios, RebalanceWhoseRestartFails)
{
    const LifeResult result = RunScenario({Io(), {Event::Rebalance}, Io(), {Event::RebalanceRestartFails}, Io()});
    EXPECT_EQ(result.faults, 1u);
}

TEST(NamedScenarios, SleepWithIoBeforeDuringAndAfter)
{
    RunScenario({Io(), {Event::SleepAndResume, 1}, Io(), {Event::SleepAndResume, 3}, Io(), {Event::WakeFromSleep, 3},
                 Io(), {Event::DeviceWake}, Io()});
}

TEST(NamedScenarios, AllAtOnceWithFaults)
{
    for (bool checked : {true, false}) {
        SCOPED_TRACE(checked ? "checked stream" : "free application threads");
        const LifeResult result = RunScenario({
            {Event::FailTransfer, 2, 0x01}, Io(10), {Event::ShortTransfer, 1, 0x81}, {Event::SleepAndResume, 2},
            {Event::StallTransfer, 1, 0x81}, Io(10), {Event::PoolFault, 3}, {Event::QueryStopThenCancel},
            {Event::PortOff}, Io(10), {Event::RebalanceRestartFails}, {Event::FailTransfer, 1, 0x82}, Io(10),
            {Event::SurpriseRemoveAndReturn}, {Event::StallTransfer, 2, 0x02}, {Event::WakeFromSleep, 3}, Io(10),
            {Event::QueryRemoveThenCancel}, {Event::PoolFault, 11}, {Event::Rebalance}, Io(10),
            {Event::DisconnectAndReturn}, {Event::DeviceWake}, Io(10), {Event::RemoveAndReturn}, Io(10)},
            checked);
        EXPECT_EQ(result.faults, 10u);
    }
}

}  // namespace
}  // namespace lives
