#include "tools/stress/stress_run.h"

#include "emulator/kernel/hang_watchdog.h"
#include "tools/stress/life_runner.h"
#include "tools/stress/life_watchdog.h"
#include "tools/stress/named_lives.h"

namespace lives {
namespace {

// A named life whose script says how many faults it injects must inject
// exactly those: fewer means an event did not happen where it should.
void CheckFaultCount(const NamedLife* named, LifeOutcome* outcome)
{
    if (named != nullptr && named->faults && *named->faults != outcome->faults) {
        outcome->problems.push_back("the script injects " + std::to_string(*named->faults) + " faults, the life " +
                                    std::to_string(outcome->faults));
    }
}

}  // namespace

std::vector<std::string> NamedLifeNames()
{
    std::vector<std::string> names;
    for (const NamedLife& life : NamedLives(MapDevice(emu::usb::DeviceModel::Builtin()), true)) {
        names.push_back(life.name);
    }
    return names;
}

std::vector<std::pair<std::string, LifePlan>> PlanLives(const StressOptions& options)
{
    std::vector<std::pair<std::string, LifePlan>> planned;
    const DeviceMap pipes = MapDevice(options.model);
    if (options.scenario.empty()) {
        for (uint64_t seed = options.firstSeed; seed < options.firstSeed + options.lives; ++seed) {
            planned.emplace_back("seed " + std::to_string(seed), RandomPlan(seed, pipes, options.pendingReads));
        }
        return planned;
    }
    for (NamedLife& life : NamedLives(pipes, options.pendingReads)) {
        if (options.scenario == "all" || options.scenario == life.name) {
            planned.emplace_back(life.name, std::move(life.plan));
        }
    }
    return planned;
}

void RunLives(const StressOptions& options, const std::function<std::string(const std::string& name)>& replay,
              const std::function<void(const LifeOutcome&)>& each)
{
    const std::vector<NamedLife> named = NamedLives(MapDevice(options.model), options.pendingReads);
    const std::chrono::seconds limit = LifeLimit();
    emu::HangWatchdog watchdog(limit, [limit](const std::string& life) { return HangReport(life, limit); });
    for (const auto& [name, plan] : PlanLives(options)) {
        LifeOutcome outcome{name, plan, 0, {}};
        watchdog.Arm(name + " (replay: " + replay(name) + ")");
        LifeResult result = RunLife(plan, options.model);
        watchdog.Disarm();
        outcome.faults = result.faults;
        outcome.problems = std::move(result.problems);
        const NamedLife* script = nullptr;
        for (const NamedLife& life : named) {
            script = options.scenario.empty() || life.name != name ? script : &life;
        }
        CheckFaultCount(script, &outcome);
        each(outcome);
    }
}

}  // namespace lives
