// Watches the emulated kernel for the whole session: counts the requests
// that reach the driver's own device objects, for the summary, and passes
// every request and work item to the trace when one is being written.
#pragma once

#include "emulator/kernel/wdm.h"

#include <cstdint>

namespace sim {

class TraceWriter;

struct DriverRequests {
    uint64_t total = 0;
    uint64_t pnp = 0;
    uint64_t power = 0;
    uint64_t io = 0;  // create, close, cleanup, read, write, device control
    uint64_t bus = 0; // internal device-control requests (URBs, port requests) the driver sent below it
};

// Installs the observer; `trace` may be null. Requests count once `driver`
// is known (SetObservedDriver).
void StartObserving(TraceWriter* trace);
void SetObservedDriver(PDRIVER_OBJECT driver);
// The lower filter under the driver (--lower-filter): the URBs it passes on
// were counted when the driver sent them.
void SetFilterDriver(PDRIVER_OBJECT filter);
DriverRequests CountedRequests();
void StopObserving();

}  // namespace sim
