// A machine kept across a target's inputs, so that an input does not pay
// for starting the emulator's threads. It is built, used and torn down on a
// thread of its own: at process exit the exiting thread's thread-local state
// is gone before atexit handlers run, and the machine's teardown needs it.
#pragma once

#include "emulator/machine.h"
#include "fuzz/harness/machine_thread.h"

#include <functional>
#include <memory>
#include <string>

namespace pondrel_fuzz {

class KeptMachine {
public:
    // `prepare` runs once on the new machine (on its thread).
    KeptMachine(std::function<emu::MachineOptions()> options, std::function<void(emu::Machine&)> prepare);

    // Runs `body` on the machine's thread, building the machine first if
    // there is none.
    std::string Run(const std::function<std::string(emu::Machine&)>& body);

    // Tears the machine down and ends its thread; the next Run builds anew.
    void Release();

private:
    std::function<emu::MachineOptions()> options_;
    std::function<void(emu::Machine&)> prepare_;
    std::unique_ptr<MachineThread> thread_;
    std::unique_ptr<emu::Machine> machine_;
};

// Every kept machine of the process, for ReleaseKeptMachine.
void RememberKeptMachine(KeptMachine* kept);

}  // namespace pondrel_fuzz
