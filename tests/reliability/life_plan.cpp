#include "tests/reliability/life_plan.h"

#include <cstdio>
#include <iterator>

namespace lives {
namespace {

constexpr uint8_t Endpoints[] = {0x01, 0x81, 0x02, 0x82};
constexpr uint8_t InEndpoints[] = {0x81, 0x82};

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

Step Fill(Event event, std::mt19937_64& random)
{
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
        step.endpoint = Endpoints[random() % std::size(Endpoints)];
        step.count = 1 + static_cast<uint32_t>(random() % 4);
        break;
    case Event::ShortTransfer:
        step.endpoint = InEndpoints[random() % std::size(InEndpoints)];
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

LifePlan RandomPlan(uint64_t seed)
{
    std::mt19937_64 random(seed);
    LifePlan plan;
    plan.seed = seed;
    plan.checkedStream = random() % 2 == 0;
    plan.threads = 2 + static_cast<int>(random() % 3);
    const int events = 3 + static_cast<int>(random() % 6);
    for (int i = 0; i < events; ++i) {
        plan.steps.push_back(Fill(Draw(random), random));
        plan.steps.push_back(Fill(Event::RunIo, random));
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
