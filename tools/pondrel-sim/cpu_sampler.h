// Samples where the process spends its CPU time, to tell the driver's own
// share: a profiling timer interrupts the running thread about every
// millisecond of CPU time, and each sample counts as the driver's when the
// interrupted instruction lies in the driver's code. pondrel-sim links a
// copy of the driver whose code section is renamed pondrel_text, so the
// linker marks where that code begins and ends.
#pragma once

#include <cstdint>

namespace sim {

struct CpuSamples {
    uint64_t total = 0;
    uint64_t driver = 0;
};

// False when the driver's code cannot be told apart in this build.
bool CanSampleDriver();

class CpuSampler {
public:
    CpuSampler();   // starts sampling
    ~CpuSampler();  // stops
    CpuSampler(const CpuSampler&) = delete;
    CpuSampler& operator=(const CpuSampler&) = delete;

    CpuSamples Samples() const;
};

}  // namespace sim
