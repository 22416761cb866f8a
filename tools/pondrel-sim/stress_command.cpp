// pondrel-sim stress: random lives of the driver on one device. Each life
// is a fresh machine where application threads read, write, send control
// codes, cancel and close while PnP, power and fault events come in the
// order the seed draws; every request's status, the verifier, the pool and
// IRP counts, the I/O reference count and the loopback stream's bytes and
// order are checked.
#include "tools/pondrel-sim/check_commands.h"
#include "tools/pondrel-sim/check_options.h"
#include "tools/session/cli.h"
#include "tools/session/printer.h"
#include "tools/stress/stress_run.h"

#include <cstdlib>
#include <iostream>

namespace sim {
namespace {

constexpr uint64_t DefaultLives = 200;
constexpr uint64_t MostLives = 10'000'000;

constexpr const char* kHelp =
    "usage: pondrel-sim stress [--lives N] [--seed S] [--scenario NAME|all] [--no-pending-reads]\n"
    "Random lives of the driver, each in a fresh emulated machine: application threads read,\n"
    "write, send control codes, cancel and close while PnP, power and bus faults come in the\n"
    "order the seed draws. Every request's status, the verifier, the pool, the I/O references\n"
    "and the loopback stream's bytes and order are checked.\n"
    "options:\n"
    "  --lives N            how many random lives, 1 to 10000000 (200, or $PONDREL_LIVES)\n"
    "  --seed S             the first life's seed (1); life i uses S + i\n"
    "  --scenario NAME|all  the named lives instead of random ones\n"
    "  --no-pending-reads   keep no read pending while the device changes state\n";

struct Found {
    lives::LifeOutcome life;
    std::string replay;
};

// PONDREL_LIVES, when set, replaces the default number of lives (the way
// `make test` sizes the short runs of each build).
uint64_t DefaultLiveCount()
{
    const char* text = std::getenv("PONDREL_LIVES");
    char* end = nullptr;
    const uint64_t lives = text != nullptr ? std::strtoull(text, &end, 10) : 0;
    return text != nullptr && *text != '\0' && *end == '\0' ? lives : DefaultLives;
}

std::vector<std::string> ReplayArguments(const lives::StressOptions& options, const std::string& name)
{
    std::vector<std::string> words;
    if (options.scenario.empty()) {
        words = {"--seed", name.substr(name.find(' ') + 1), "--lives", "1"};
    } else {
        words = {"--scenario", name};
    }
    if (!options.pendingReads) {
        words.push_back("--no-pending-reads");
    }
    return words;
}

void PrintJson(std::ostream& out, uint64_t lives, uint64_t faults, uint64_t findings, const std::vector<Found>& found)
{
    out << "{\"check\":\"stress\",\"lives\":" << lives << ",\"faults\":" << faults << ",\"findings\":" << findings
        << ",\"problems\":[";
    for (size_t i = 0; i < found.size(); ++i) {
        out << (i ? "," : "") << "{\"life\":" << session::JsonString(found[i].life.name)
            << ",\"plan\":" << session::JsonString(lives::DescribePlan(found[i].life.plan)) << ",\"found\":[";
        for (size_t j = 0; j < found[i].life.problems.size(); ++j) {
            out << (j ? "," : "") << session::JsonString(found[i].life.problems[j]);
        }
        out << "],\"replay\":" << session::JsonString(found[i].replay) << "}";
    }
    out << "]}\n";
}

}  // namespace

int RunStressCommand(int argc, char** argv)
{
    CheckArguments arguments({"--lives", "--seed", "--scenario"}, {"--no-pending-reads"}, kHelp);
    std::string error;
    const bool json = session::WantsJson(argc, argv);
    lives::StressOptions options;
    if (!arguments.Parse(argc, argv, &error) ||
        !arguments.Number("--lives", DefaultLiveCount(), 1, MostLives, &options.lives, &error) ||
        !arguments.Number("--seed", 1, 0, UINT64_MAX, &options.firstSeed, &error)) {
        return CheckBadInput("stress", error, json);
    }
    options.model = arguments.model();
    options.scenario = arguments.Value("--scenario");
    options.pendingReads = !arguments.Has("--no-pending-reads");
    const uint64_t planned = lives::PlanLives(options).size();
    if (planned == 0 && !options.scenario.empty()) {
        std::string names;
        for (const auto& name : lives::NamedLifeNames()) {
            names += " " + name;
        }
        return CheckBadInput("stress", "no named life '" + options.scenario + "'; there are: all" + names, json);
    }

    if (!json) {
        std::cout << "stress: " << planned << (options.scenario.empty() ? " random lives from seed " + std::to_string(options.firstSeed) : " named lives")
                  << " on " << arguments.DeviceName() << (options.pendingReads ? "" : ", no reads kept pending") << "\n";
    }
    ProgressLine progress(json);
    uint64_t done = 0, faults = 0, findings = 0;
    std::vector<Found> found;
    const auto replay = [&](const std::string& name) { return arguments.Replay(ReplayArguments(options, name)); };
    lives::RunLives(options, replay, [&](const lives::LifeOutcome& life) {
        ++done;
        faults += life.faults;
        findings += life.problems.size();
        if (!life.problems.empty()) {
            found.push_back({life, replay(life.name)});
            progress.Clear();
            if (!json) {
                std::cout << "finding: " << life.name << " (" << lives::DescribePlan(life.plan) << "):\n";
                for (const auto& problem : life.problems) {
                    std::cout << "  - " << problem << "\n";
                }
                std::cout << "  replay: " << found.back().replay << "\n";
            }
        }
        progress.Show("  " + life.name + "  " + std::to_string(done) + "/" + std::to_string(planned) +
                      " lives  " + std::to_string(faults) + " faults  " + std::to_string(findings) + " findings");
    });
    progress.Clear();
    if (json) {
        PrintJson(std::cout, done, faults, findings, found);
    } else {
        PrintTable(std::cout, {{"lives", "faults injected", "findings"},
                               {std::to_string(done), std::to_string(faults), std::to_string(findings)}});
    }
    return findings == 0 ? session::ExitSuccess : session::ExitFailed;
}

}  // namespace sim
