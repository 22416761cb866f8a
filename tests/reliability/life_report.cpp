#include "tests/reliability/life_report.h"

#include "tests/reliability/life_settings.h"
#include "tests/reliability/life_watchdog.h"

#include <gtest/gtest.h>

namespace lives {
namespace {

std::string DescribePlan(const LifePlan& plan)
{
    std::string text = std::to_string(plan.threads) + " application threads, " +
                       (plan.checkedStream ? "checked loopback stream" : "no stream check") + "; events:";
    for (const Step& step : plan.steps) {
        if (step.event != Event::RunIo) {
            text += " " + Describe(step) + ",";
        }
    }
    text.pop_back();
    return text;
}

}  // namespace

LifeResult RunAndReport(const LifePlan& plan, const std::string& replay)
{
    LifeResult result;
    {
        LifeWatchdog watchdog("the life of seed " + std::to_string(plan.seed) + " (replay: " + replay + ")");
        result = RunLife(plan);
    }
    RunTotals().faults += result.faults;
    RunTotals().findings += result.problems.size();
    if (!result.problems.empty()) {
        std::string list;
        for (const auto& problem : result.problems) {
            list += "\n  - " + problem;
        }
        ADD_FAILURE() << "seed " << plan.seed << " (" << DescribePlan(plan) << ") found:" << list
                      << "\nreplay: " << replay;
    }
    return result;
}

}  // namespace lives
