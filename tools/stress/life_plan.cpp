#include "tools/stress/life_plan.h"

#include <cstdio>
#include <iterator>

namespace lives {
namespace {

// Every event with its name and how often it is drawn, against the others.
struct Weighted {
    Event event;
    const char* name;
    int weight;
};
constexpr Weighted Events[] = {
    {Event::RunIo, "run-io", 6},
    {Event::QueryStopThenCancel, "query-stop+cancel", 2},
    {Event::Rebalance, "rebalance", 2},
    {Event::RebalanceRestartFails, "rebalance-restart-fails", 1},
    {Event::QueryRemoveThenCancel, "query-remove+cancel", 2},
    {Event::RemoveAndReturn, "remove+return", 1},
    {Event::SurpriseRemoveAndReturn, "surprise-remove+return", 1},
    {Event::DisconnectAndReturn, "disconnect+return", 1},
    {Event::SleepAndResume, "sleep+resume", 2},
    {Event::WakeFromSleep, "wake-from-sleep", 1},
    {Event::DeviceWake, "device-wake", 1},
    {Event::FailTransfer, "fail-transfer", 2},
    {Event::StallTransfer, "stall-transfer", 2},
    {Event::ShortTransfer, "short-transfer", 2},
    {Event::PortOff, "port-off", 1},
    {Event::PoolFault, "pool-fault", 2},
};

Event Draw(std::mt19937_64& random)
{
    int total = 0;
    for (const auto& entry : Events) {
        total += entry.weight;
    }
    int pick = static_cast<int>(random() % static_cast<uint64_t>(total));
    for (const auto& entry : Events) {
        if (pick < entry.weight) {
            return entry.event;
        }
        pick -= entry.weight;
    }
    return Event::RunIo;
}

// Device faults go to the bulk endpoints (IN ones only for a short
// transfer), in pipe order; a device without one gets more I/O instead.
struct Endpoints {
    std::vector<uint8_t> all;
    std::vector<uint8_t> in;
};

Step Fill(Event event, std::mt19937_64& random, const Endpoints& endpoints)
{
    const bool transferFault = event == Event::FailTransfer || event == Event::StallTransfer;
    if ((transferFault && endpoints.all.empty()) || (event == Event::ShortTransfer && endpoints.in.empty())) {
        event = Event::RunIo;
    }
    Step step{event};
    switch (event) {
    case Event::RunIo:
        step.count = 5 + static_cast<uint32_t>(random() % 20);
        break;
    case Event::SleepAndResume:
    case Event::WakeFromSleep:
        step.count = 1 + static_cast<uint32_t>(random() % 3);
        break;
    case Event::FailTransfer:
    case Event::StallTransfer:
        step.endpoint = endpoints.all[random() % endpoints.all.size()];
        step.count = 1 + static_cast<uint32_t>(random() % 4);
        break;
    case Event::ShortTransfer:
        step.endpoint = endpoints.in[random() % endpoints.in.size()];
        step.count = 1 + static_cast<uint32_t>(random() % 4);
        break;
    case Event::PoolFault:
        step.count = 1 + static_cast<uint32_t>(random() % 30);
        break;
    default:
        break;
    }
    return step;
}

}  // namespace

LifePlan RandomPlan(uint64_t seed, const DeviceMap& pipes, bool pendingReads)
{
    const Endpoints endpoints{pipes.BulkEndpoints(false), pipes.BulkEndpoints(true)};
    std::mt19937_64 random(seed);
    LifePlan plan;
    plan.seed = seed;
    plan.pendingReads = pendingReads;
    plan.checkedStream = random() % 2 == 0;
    plan.threads = 2 + static_cast<int>(random() % 3);
    const int events = 3 + static_cast<int>(random() % 6);
    for (int i = 0; i < events; ++i) {
        plan.steps.push_back(Fill(Draw(random), random, endpoints));
        plan.steps.push_back(Fill(Event::RunIo, random, endpoints));
    }
    return plan;
}

const char* EventName(Event event)
{
    for (const auto& entry : Events) {
        if (entry.event == event) {
            return entry.name;
        }
    }
    return "?";
}

std::string DescribePlan(const LifePlan& plan)
{
    std::string text = std::to_string(plan.threads) + " application threads, " +
                       (plan.checkedStream ? "checked loopback stream" : "no stream check") +
                       (plan.pendingReads && !plan.checkedStream ? ", reads kept pending" : "") + "; events:";
    for (const Step& step : plan.steps) {
        if (step.event != Event::RunIo) {
            text += " " + Describe(step) + ",";
        }
    }
    text.pop_back();
    return text;
}

std::string Describe(const Step& step)
{
    std::string text = EventName(step.event);
    if (step.endpoint != 0) {
        char endpoint[8];
        std::snprintf(endpoint, sizeof(endpoint), "%02x", step.endpoint);
        text += std::string(" ep=0x") + endpoint;
    }
    if (step.count != 0) {
        text += " n=" + std::to_string(step.count);
    }
    return text;
}

}  // namespace lives
