// pondrel-sim explore: the interleaving search. A deterministic scheduler
// takes turns among the emulator's threads at every scheduling point, and a
// bounded search (depth-first within two preemptions, then a seeded sample)
// runs the interleavings of racing scenarios; each run must complete every
// request once with a status it may have, keep the data intact and give the
// I/O references back, and leave nothing behind at removal and unload.
#include "tools/explore/scenarios.h"
#include "tools/pondrel-sim/check_commands.h"
#include "tools/pondrel-sim/check_options.h"
#include "tools/session/cli.h"
#include "tools/session/printer.h"
#include "tools/session/text.h"

#include <iostream>

namespace sim {
namespace {

constexpr uint64_t DefaultBudget = 300;
constexpr uint64_t MostBudget = 10'000'000;

constexpr const char* kHelp =
    "usage: pondrel-sim explore [--budget N] [--scenario NAME [--replay CHOICES]]\n"
    "The interleaving search: a deterministic scheduler takes turns among the emulator's\n"
    "threads, and each racing scenario runs every interleaving within two preemptions (then a\n"
    "seeded sample) up to the budget. Each run must complete every request once with a status\n"
    "it may have, keep the data intact and leave nothing behind at removal and unload.\n"
    "options:\n"
    "  --budget N           at most N runs per scenario, 1 to 10000000 (300)\n"
    "  --scenario NAME      only this scenario (a bad name lists them)\n"
    "  --replay CHOICES     one run making these choices first, as a finding printed them:\n"
    "                       numbers from 0 to 255 separated by commas (0,2,1)\n";

struct Found {
    std::string scenario;
    interleavings::Finding finding;
    std::string replay;
};

bool Applies(const interleavings::ScenarioEntry& entry, const emu::usb::DeviceModel& model)
{
    return entry.needs == interleavings::Needs::RemoteWake ? model.RemoteWakeCapable()
                                                           : lives::MapDevice(model).HasLoopback();
}

void PrintJson(std::ostream& out, const std::vector<std::pair<std::string, interleavings::SearchResult>>& results,
               uint64_t runs, uint64_t findings, const std::vector<Found>& found)
{
    out << "{\"check\":\"explore\",\"runs\":" << runs << ",\"findings\":" << findings << ",\"scenarios\":[";
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& [name, result] = results[i];
        out << (i ? "," : "") << "{\"name\":" << session::JsonString(name) << ",\"runs\":" << result.runs
            << ",\"exhaustive\":" << (result.exhaustive ? "true" : "false") << ",\"findings\":" << result.findings << "}";
    }
    out << "],\"problems\":[";
    for (size_t i = 0; i < found.size(); ++i) {
        out << (i ? "," : "") << "{\"scenario\":" << session::JsonString(found[i].scenario)
            << ",\"run\":" << found[i].finding.run << ",\"problem\":" << session::JsonString(found[i].finding.problem)
            << ",\"replay\":" << session::JsonString(found[i].replay) << "}";
    }
    out << "]}\n";
}

}  // namespace

int RunExploreCommand(int argc, char** argv)
{
    CheckArguments arguments({"--budget", "--scenario", "--replay"}, {}, kHelp);
    std::string error;
    const bool json = session::WantsJson(argc, argv);
    interleavings::SearchOptions search;
    if (!arguments.Parse(argc, argv, &error) ||
        !arguments.Number("--budget", DefaultBudget, 1, MostBudget, &search.budget, &error)) {
        return CheckBadInput("explore", error, json);
    }
    if (arguments.Has("--replay") && !interleavings::ParseTrail(arguments.Value("--replay"))) {
        return CheckBadInput("explore", "--replay takes the choices a finding printed, numbers from 0 to " +
                                            std::to_string(interleavings::MostChoice) +
                                            " separated by commas, not '" + session::Printable(arguments.Value("--replay")) + "'", json);
    }
    search.replay = arguments.Value("--replay");
    const std::string scenario = arguments.Value("--scenario");
    std::vector<const interleavings::ScenarioEntry*> chosen;
    std::string names;
    for (const auto& entry : interleavings::Scenarios()) {
        if (!Applies(entry, arguments.model())) {
            continue;
        }
        names += std::string(" ") + entry.name;
        if (scenario.empty() || scenario == entry.name) {
            chosen.push_back(&entry);
        }
    }
    if (chosen.empty()) {
        return CheckBadInput("explore", "no scenario '" + scenario + "' for " + arguments.DeviceName() + "; there are:" + names, json);
    }
    if (!search.replay.empty() && scenario.empty()) {
        return CheckBadInput("explore", "--replay needs --scenario", json);
    }

    if (!json) {
        std::cout << "explore: " << chosen.size() << " racing scenarios on " << arguments.DeviceName()
                  << (search.replay.empty() ? ", at most " + std::to_string(search.budget) + " runs each"
                                            : ", one run with the choices " + search.replay)
                  << "\n";
    }
    ProgressLine progress(json);
    std::vector<std::pair<std::string, interleavings::SearchResult>> results;
    std::vector<Found> found;
    uint64_t runs = 0, findings = 0;
    std::vector<std::vector<std::string>> table{{"scenario", "runs", "search", "findings"}};
    for (const auto* entry : chosen) {
        progress.Show(std::string("  ") + entry->name + " (" + entry->races + ")");
        search.replayLine = [&arguments, entry](const std::string& trail) {
            return arguments.Replay({"--scenario", entry->name, "--replay", trail});
        };
        interleavings::SearchResult result = interleavings::Search(entry->make, arguments.model(), search);
        progress.Clear();
        runs += result.runs;
        findings += result.findings;
        for (const auto& finding : result.problems) {
            found.push_back({entry->name, finding, arguments.Replay({"--scenario", entry->name, "--replay", finding.trail})});
            if (!json) {
                std::cout << "finding: " << entry->name << " run " << finding.run << ": " << finding.problem
                          << "\n  replay: " << found.back().replay << "\n";
            }
        }
        if (!json && result.stalls + result.late != 0) {
            std::cout << "note: " << entry->name << ": " << result.stalls << " times a thread blocked out of the scheduler's"
                      << " sight, " << result.late << " times it went on without late work (runs may vary)\n";
        }
        table.push_back({entry->name, std::to_string(result.runs),
                         result.exhaustive ? "every interleaving" : "budget reached", std::to_string(result.findings)});
        results.emplace_back(entry->name, std::move(result));
    }
    if (json) {
        PrintJson(std::cout, results, runs, findings, found);
    } else {
        table.push_back({"total", std::to_string(runs), "", std::to_string(findings)});
        PrintTable(std::cout, table);
    }
    return findings == 0 ? session::ExitSuccess : session::ExitFailed;
}

}  // namespace sim
