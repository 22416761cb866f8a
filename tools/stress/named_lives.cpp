#include "tools/stress/named_lives.h"

namespace lives {
namespace {

constexpr uint64_t ScenarioSeed = 7;

Step Io(uint32_t operations = 20)
{
    return {Event::RunIo, operations};
}

// The device faults of the everything-at-once life go to the first bulk OUT
// and IN endpoints and the last bulk IN and OUT ones (0x01, 0x81, 0x82 and
// 0x02 on the built-in device).
struct FaultEndpoints {
    uint8_t firstOut = 0;
    uint8_t firstIn = 0;
    uint8_t lastIn = 0;
    uint8_t lastOut = 0;
};

FaultEndpoints PickEndpoints(const DeviceMap& pipes)
{
    FaultEndpoints endpoints;
    for (const PipeInfo& pipe : pipes.pipes) {
        if (!pipe.bulk) {
            continue;
        }
        uint8_t& first = pipe.in ? endpoints.firstIn : endpoints.firstOut;
        first = first != 0 ? first : pipe.address;
        (pipe.in ? endpoints.lastIn : endpoints.lastOut) = pipe.address;
    }
    return endpoints;
}

NamedLife Named(std::string name, std::vector<Step> steps, bool checked, bool pendingReads,
                std::optional<uint64_t> faults = std::nullopt)
{
    NamedLife life{std::move(name), {}, faults};
    life.plan.seed = ScenarioSeed;
    life.plan.checkedStream = checked;
    life.plan.threads = 4;
    life.plan.pendingReads = pendingReads;
    life.plan.steps = std::move(steps);
    return life;
}

std::vector<Step> AllAtOnce(const FaultEndpoints& e)
{
    return {{Event::FailTransfer, 2, e.firstOut}, Io(10), {Event::ShortTransfer, 1, e.firstIn},
            {Event::SleepAndResume, 2}, {Event::StallTransfer, 1, e.firstIn}, Io(10), {Event::PoolFault, 3},
            {Event::QueryStopThenCancel}, {Event::PortOff}, Io(10), {Event::RebalanceRestartFails},
            {Event::FailTransfer, 1, e.lastIn}, Io(10), {Event::SurpriseRemoveAndReturn},
            {Event::StallTransfer, 2, e.lastOut}, {Event::WakeFromSleep, 3}, Io(10), {Event::QueryRemoveThenCancel},
            {Event::PoolFault, 11}, {Event::Rebalance}, Io(10), {Event::DisconnectAndReturn}, {Event::DeviceWake},
            Io(10), {Event::RemoveAndReturn}, Io(10)};
}

}  // namespace

std::vector<NamedLife> NamedLives(const DeviceMap& pipes, bool pendingReads)
{
    std::vector<NamedLife> lives{
        Named("surprise-removal-then-new-arrival",
              {Io(), {Event::SurpriseRemoveAndReturn}, Io(), {Event::DisconnectAndReturn}, Io()}, true, pendingReads),
        Named("query-remove-and-removal-then-re-arrival",
              {Io(), {Event::QueryRemoveThenCancel}, Io(), {Event::RemoveAndReturn}, Io()}, true, pendingReads),
        Named("rebalance-whose-restart-fails",
              {Io(), {Event::Rebalance}, Io(), {Event::RebalanceRestartFails}, Io()}, true, pendingReads, 1),
        Named("sleep-with-io-before-during-and-after",
              {Io(), {Event::SleepAndResume, 1}, Io(), {Event::SleepAndResume, 3}, Io(), {Event::WakeFromSleep, 3},
               Io(), {Event::DeviceWake}, Io()},
              true, pendingReads),
        // An application that keeps reads pending on a quiet pipe and sends
        // a new one for each that ends: no drain may wait for it for ever.
        Named("reads-kept-pending-across-sleep-stop-and-removal",
              {Io(), {Event::SleepAndResume, 3}, Io(), {Event::QueryStopThenCancel}, Io(), {Event::Rebalance}, Io(),
               {Event::QueryRemoveThenCancel}, Io(), {Event::RemoveAndReturn}, Io()},
              false, pendingReads),
    };
    // Device faults need the endpoints they name; the count covers them all.
    const FaultEndpoints endpoints = PickEndpoints(pipes);
    if (endpoints.firstOut != 0 && endpoints.firstIn != 0) {
        lives.push_back(Named("all-at-once-checked", AllAtOnce(endpoints), true, pendingReads, 10));
        lives.push_back(Named("all-at-once-free", AllAtOnce(endpoints), false, pendingReads, 10));
    }
    return lives;
}

}  // namespace lives
