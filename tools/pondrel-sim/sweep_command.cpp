// pondrel-sim sweep: systematic low resources. Each scenario (start, the
// data paths, the control codes, sleep and resume) runs once to count the
// driver's failable kernel calls, then once per call with that call
// failing; each run must end with a status its table allows for that call
// and leave no pool, request, I/O reference or verifier finding behind.
#include "tools/pondrel-sim/check_commands.h"
#include "tools/pondrel-sim/check_options.h"
#include "tools/session/cli.h"
#include "tools/session/printer.h"
#include "tools/sweep/sweep.h"

#include <iostream>

namespace sim {
namespace {

constexpr const char* kHelp =
    "usage: pondrel-sim sweep [--scenario NAME [--fail-at K]]\n"
    "Low resources, systematically: each scenario (start, the data paths, the control codes,\n"
    "sleep and resume) runs once to count the driver's kernel calls that can fail, then once\n"
    "per call with that call failing. Each run must end with a status its table allows and\n"
    "leave no pool, request, I/O reference or verifier finding behind.\n"
    "options:\n"
    "  --scenario NAME      only this scenario (a bad name lists them)\n"
    "  --fail-at K          only the run where call K fails, 1 to the scenario's calls\n";

struct Found {
    std::string sweep;
    low_resources::Finding finding;
    std::string replay;
};

void PrintJson(std::ostream& out, const std::vector<std::pair<std::string, low_resources::SweepResult>>& results,
               uint64_t faults, uint64_t findings, const std::vector<Found>& found)
{
    out << "{\"check\":\"sweep\",\"faults\":" << faults << ",\"findings\":" << findings << ",\"sweeps\":[";
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& [name, result] = results[i];
        out << (i ? "," : "") << "{\"name\":" << session::JsonString(name) << ",\"calls\":" << result.calls
            << ",\"runs\":" << result.faultRuns << ",\"findings\":" << result.findings << "}";
    }
    out << "],\"problems\":[";
    for (size_t i = 0; i < found.size(); ++i) {
        out << (i ? "," : "") << "{\"sweep\":" << session::JsonString(found[i].sweep)
            << ",\"call\":" << found[i].finding.failAt << ",\"problem\":" << session::JsonString(found[i].finding.problem)
            << ",\"replay\":" << session::JsonString(found[i].replay) << "}";
    }
    out << "]}\n";
}

}  // namespace

int RunSweepCommand(int argc, char** argv)
{
    CheckArguments arguments({"--scenario", "--fail-at"}, {}, kHelp);
    std::string error;
    const bool json = session::WantsJson(argc, argv);
    uint64_t onlyAt = 0;
    if (!arguments.Parse(argc, argv, &error)) {
        return CheckBadInput("sweep", error, json);
    }
    const std::string scenario = arguments.Value("--scenario");
    std::vector<low_resources::SweepPlan> plans;
    std::string names;
    for (auto& plan : low_resources::SweepPlans(arguments.model())) {
        names += " " + plan.name;
        if (scenario.empty() || scenario == plan.name) {
            plans.push_back(std::move(plan));
        }
    }
    if (plans.empty()) {
        return CheckBadInput("sweep", "no scenario '" + scenario + "' for " + arguments.DeviceName() + "; there are:" + names, json);
    }
    if (arguments.Has("--fail-at") && scenario.empty()) {
        return CheckBadInput("sweep", "--fail-at needs --scenario", json);
    }
    // The table lists every call the scenario makes that can fail; a call
    // beyond it is not one of the driver's.
    if (arguments.Has("--fail-at") && plans.front().table.empty()) {
        return CheckBadInput("sweep", "--fail-at: " + scenario + " makes no calls that can fail", json);
    }
    if (!arguments.Number("--fail-at", 0, 1, plans.front().table.size(), &onlyAt, &error)) {
        return CheckBadInput("sweep", error + " (" + scenario + " makes " + std::to_string(plans.front().table.size()) + " calls that can fail)", json);
    }

    if (!json) {
        std::cout << "sweep: " << plans.size() << " scenarios on " << arguments.DeviceName()
                  << (onlyAt == 0 ? ", each call that can fail failing once" : ", call " + std::to_string(onlyAt) + " failing")
                  << "\n";
    }
    ProgressLine progress(json);
    std::vector<std::pair<std::string, low_resources::SweepResult>> results;
    std::vector<Found> found;
    uint64_t faults = 0, findings = 0;
    std::vector<std::vector<std::string>> table{{"scenario", "failable calls", "faults injected", "findings"}};
    for (const auto& plan : plans) {
        progress.Show("  " + plan.name + "  (" + std::to_string(results.size() + 1) + "/" + std::to_string(plans.size()) +
                      ")  " + std::to_string(faults) + " faults so far  " + std::to_string(findings) + " findings");
        low_resources::SweepResult result = low_resources::Sweep(plan, arguments.model(), onlyAt);
        faults += result.faultRuns;
        findings += result.findings;
        progress.Clear();
        for (const auto& finding : result.problems) {
            std::vector<std::string> replay{"--scenario", plan.name};
            if (finding.failAt != 0) {
                replay.insert(replay.end(), {"--fail-at", std::to_string(finding.failAt)});
            }
            found.push_back({plan.name, finding, arguments.Replay(replay)});
            if (!json) {
                std::cout << "finding: " << plan.name << ", " << finding.problem << "\n  replay: " << found.back().replay
                          << "\n";
            }
        }
        table.push_back({plan.name, std::to_string(result.calls), std::to_string(result.faultRuns),
                         std::to_string(result.findings)});
        results.emplace_back(plan.name, std::move(result));
    }
    progress.Clear();
    if (json) {
        PrintJson(std::cout, results, faults, findings, found);
    } else {
        table.push_back({"total", "", std::to_string(faults), std::to_string(findings)});
        PrintTable(std::cout, table);
    }
    return findings == 0 ? session::ExitSuccess : session::ExitFailed;
}

}  // namespace sim
