#include "tests/reliability/life_plan.h"

#include <cstdio>
#include <iterator>

namespace lives {
namespace {

constexpr uint8_t Endpoints[] = {0x01, 0x81, 0x02, 0x82};
constexpr uint8_t InEndpoints[] = {0x81, 0x82};

// How often each event is drawn, against the others.
struct Weighted {
    Event event;
    int weight;
};
constexpr Weighted Events[] = {
    {Event::RunIo, 6},
    {Event::QueryStopThenCancel, 2},
    {Event::Rebalance, 2},
    {Event::RebalanceRestartFails, 1},
    {Event::QueryRemoveThenCancel, 2},
    {Event::RemoveAndReturn, 1},
    {Event::SurpriseRemoveAndReturn, 1},
    {Event::DisconnectAndReturn, 1},
    {Event::SleepAndResume, 2},
    {Event::WakeFromSleep, 1},
    {Event::DeviceWake, 1},
    {Event::FailTransfer, 2},
    {Event::StallTransfer, 2},
    {Event::ShortTransfer, 2},
    {Event::PortOff, 1},
    {Event::PoolFault, 2},
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
    static const char* const names[] = {
        "run-io", "query-stop+cancel", "rebalance", "rebalance-restart-fails", "query-remove+cancel",
        "remove+return", "surprise-remove+return", "disconnect+return", "sleep+resume", "wake-from-sleep",
        "device-wake", "fail-transfer", "stall-transfer", "short-transfer", "port-off", "pool-fault",
    };
    return names[static_cast<int>(event)];
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
