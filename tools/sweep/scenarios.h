// The measured scenarios of the low-resource sweeps. Each builds what it
// needs on the run's machine, arms the fault at the start of its measured
// part and returns the status that part ended with.
#pragma once

#include "tools/sweep/sweep.h"

namespace low_resources {

NTSTATUS StartPath(Run& run);         // load, AddDevice, start
NTSTATUS WritePath(Run& run);         // one write of two chunks, read back unmeasured
NTSTATUS ReadPath(Run& run);          // one read that needs two bus reads
NTSTATUS FailedWritePath(Run& run);   // a write the device fails, and the pipe reset after it
NTSTATUS FetchConfiguration(Run& run);
NTSTATUS PortReset(Run& run);
NTSTATUS PipeReset(Run& run);
NTSTATUS SleepPath(Run& run);         // system sleep to S3
NTSTATUS ResumePath(Run& run);        // resume to S0 after a sleep

}  // namespace low_resources
