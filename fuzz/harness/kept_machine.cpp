#include "fuzz/harness/kept_machine.h"

#include "fuzz/harness/targets.h"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace pondrel_fuzz {
namespace {

std::mutex keptMutex;
std::vector<KeptMachine*>* kept = nullptr;  // never freed: used by the exit handler

}  // namespace

void RememberKeptMachine(KeptMachine* machine)
{
    std::lock_guard lock(keptMutex);
    if (kept == nullptr) {
        kept = new std::vector<KeptMachine*>;
    }
    kept->push_back(machine);
}

void ReleaseKeptMachine()
{
    std::vector<KeptMachine*> machines;
    {
        std::lock_guard lock(keptMutex);
        if (kept != nullptr) {
            machines = *kept;
        }
    }
    for (KeptMachine* machine : machines) {
        machine->Release();
    }
}

KeptMachine::KeptMachine(std::function<emu::MachineOptions()> options, std::function<void(emu::Machine&)> prepare)
    : options_(std::move(options)), prepare_(std::move(prepare))
{
    RememberKeptMachine(this);
}

std::string KeptMachine::Run(const std::function<std::string(emu::Machine&)>& body)
{
    if (!thread_) {
        thread_ = std::make_unique<MachineThread>();
        thread_->Run([this] {
            machine_ = std::make_unique<emu::Machine>(options_());
            prepare_(*machine_);
        });
        // Registered after the machine was built, the handler runs before
        // exit destroys the emulator's statics that the machine brought
        // into being (handlers and statics go in the reverse order).
        std::atexit(ReleaseKeptMachine);
    }
    std::string report;
    thread_->Run([&] { report = body(*machine_); });
    return report;
}

void KeptMachine::Release()
{
    if (!thread_) {
        return;
    }
    thread_->Run([this] { machine_.reset(); });
    thread_.reset();
}

}  // namespace pondrel_fuzz
