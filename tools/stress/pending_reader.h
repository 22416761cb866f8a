// The application thread that keeps several reads pending on a bulk IN
// pipe nobody writes for, across sleep, stop and removal, and sends a new
// read for each one that ends (cancelled or not): the way a program that
// waits for data behaves. The drains before a power-down, a stop or a
// removal must not wait for such reads for ever. Its reads are not counted
// as the crew's progress: the events wait for the other threads' work.
#pragma once

#include "tools/stress/life_context.h"

#include <memory>
#include <string>
#include <vector>

namespace lives {

class AppCrew;

class PendingReader {
public:
    PendingReader(LifeContext& life, AppCrew& crew, int pipe, uint64_t seed);
    void Run();
    void CloseHandles();  // only while the thread is parked

private:
    struct Read {
        std::unique_ptr<emu::PendingIo> io;
        ULONG length;
        LifeContext::Mark mark;
    };

    void Cycle();
    // Checks every read that ended (all of them, waiting, when `wait`).
    void Collect(bool wait);
    // Cancels every read in flight and waits for each.
    void EndAll();

    LifeContext& life_;
    AppCrew& crew_;
    const int pipe_;
    const size_t depth_;  // reads kept pending at once
    std::mt19937_64 random_;
    emu::Handle handle_ = 0;
    bool handleGone_ = false;  // a read found the handle's pipe gone
    bool refused_ = false;     // a read found the device not running
    std::vector<Read> reads_;
};

}  // namespace lives
