// The script of one life: how many application threads, whether the
// loopback stream is checked, and the PnP, power and fault events in the
// order they come. A random life draws it from its seed; a named scenario
// writes it out.
#pragma once

#include "tools/stress/device_map.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace lives {

enum class Event {
    RunIo,                 // let the application threads finish `count` operations
    QueryStopThenCancel,
    Rebalance,             // query-stop, stop, start
    RebalanceRestartFails, // query-stop, stop, a start the bus fails, surprise removal, removal, a new arrival
    QueryRemoveThenCancel,
    RemoveAndReturn,       // query-remove, removal, the device plugged in again
    SurpriseRemoveAndReturn,
    DisconnectAndReturn,   // the device leaves the bus; surprise removal, removal, a new device
    SleepAndResume,        // system sleep to `count` (S1..S3), then back to S0
    WakeFromSleep,         // system sleep, the device signals wake, resume
    DeviceWake,            // the device signals wake while the system runs
    FailTransfer,          // endpoint `endpoint`, transfer `count` from now
    StallTransfer,
    ShortTransfer,         // an IN endpoint ends transfer `count` early
    PortOff,               // the port is disabled until an application resets it
    PoolFault,             // the `count`-th failable kernel call from now fails
};

struct Step {
    Event event;
    uint32_t count = 0;
    uint8_t endpoint = 0;
};

struct LifePlan {
    uint64_t seed = 0;
    bool checkedStream = true;
    int threads = 3;
    // One more thread keeps reads pending on a spare bulk IN pipe across
    // every event (lives without a checked stream only: the receive buffer
    // is the device's, not the pipe's).
    bool pendingReads = true;
    std::vector<Step> steps;
};

// The plan random life `seed` follows on a device with `pipes`. The seed
// alone decides the plan; `pendingReads` only adds the thread.
LifePlan RandomPlan(uint64_t seed, const DeviceMap& pipes, bool pendingReads);

// The plan in one line, for a report.
std::string DescribePlan(const LifePlan& plan);

std::string Describe(const Step& step);
const char* EventName(Event event);

}  // namespace lives
