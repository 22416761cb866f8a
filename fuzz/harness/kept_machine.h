// What the targets that run inputs on an emulated machine share: a machine
// kept across a target's inputs, so that an input does not pay for starting
// the emulator's threads, and what every such input must leave behind.
#pragma once

#include "emulator/machine.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pondrel_fuzz {

// The machine is built, used and torn down on a thread of its own: at
// process exit the exiting thread's thread-local state is gone before atexit
// handlers run, and the machine's teardown needs it.
class KeptMachine {
public:
    // `prepare` runs once on each new machine (on its thread).
    KeptMachine(bool plugDevice, std::function<void(emu::Machine&)> prepare);

    // Runs `body` on the machine's thread, building the machine first if
    // there is none.
    std::string Run(const std::function<std::string(emu::Machine&)>& body);

    // Tears the machine down and ends its thread; the next Run builds anew.
    void Release();

private:
    void OnThread(const std::function<void()>& task);  // runs `task` there and waits for it
    void Loop();

    bool plugDevice_;
    std::function<void(emu::Machine&)> prepare_;
    std::unique_ptr<emu::Machine> machine_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const std::function<void()>* task_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

// Counts taken before an input runs.
struct Baseline {
    uint64_t driverBlocks = 0;  // live pool blocks tagged "Bulk"
    uint64_t irps = 0;          // live IRPs
};

Baseline TakeBaseline();

// Empty when nothing leaked since `before` and the verifier found nothing;
// otherwise the leaks and findings, one per line. Clears the findings so
// that the next input starts clean.
std::string CheckLeftovers(const Baseline& before);

// The verifier's findings, one per line, then cleared; empty when none.
std::string TakeFindings();

// A request status as the reports print it.
std::string StatusText(NTSTATUS status);

}  // namespace pondrel_fuzz
