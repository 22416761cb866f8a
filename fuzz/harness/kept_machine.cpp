#include "fuzz/harness/kept_machine.h"

#include "driver/device_context.h"
#include "emulator/kernel/system.h"
#include "fuzz/harness/targets.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace pondrel_fuzz {
namespace {

std::mutex keptMutex;
std::vector<KeptMachine*>* kept = new std::vector<KeptMachine*>;  // never freed: the exit handler uses it

}  // namespace

void ReleaseKeptMachine()
{
    std::lock_guard lock(keptMutex);
    for (KeptMachine* machine : *kept)
        machine->Release();
}

KeptMachine::KeptMachine(bool plugDevice, std::function<void(emu::Machine&)> prepare)
    : plugDevice_(plugDevice), prepare_(std::move(prepare))
{
    std::lock_guard lock(keptMutex);
    kept->push_back(this);
}

std::string KeptMachine::Run(const std::function<std::string(emu::Machine&)>& body)
{
    if (!thread_.joinable()) {
        stopping_ = false;
        thread_ = std::thread([this] { Loop(); });
        OnThread([this] {
            emu::MachineOptions options;
            options.plugDevice = plugDevice_;
            machine_ = std::make_unique<emu::Machine>(options);
            prepare_(*machine_);
        });
        // Registered after the machine was built, the handler runs before
        // exit destroys the emulator's statics that the machine brought
        // into being (handlers and statics go in the reverse order).
        std::atexit(ReleaseKeptMachine);
    }
    std::string report;
    OnThread([&] { report = body(*machine_); });
    return report;
}

void KeptMachine::Release()
{
    if (!thread_.joinable())
        return;
    OnThread([this] { machine_.reset(); });
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void KeptMachine::OnThread(const std::function<void()>& task)
{
    std::unique_lock lock(mutex_);
    task_ = &task;
    changed_.notify_all();
    changed_.wait(lock, [this] { return task_ == nullptr; });
}

void KeptMachine::Loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return task_ != nullptr || stopping_; });
        if (task_ == nullptr)
            return;
        lock.unlock();
        (*task_)();
        lock.lock();
        task_ = nullptr;
        changed_.notify_all();
    }
}

Baseline TakeBaseline()
{
    return Baseline{emu::pool::LiveBlocks(PondrelPoolTag), emu::LiveIrps()};
}

std::string TakeFindings()
{
    std::string report;
    for (const emu::verifier::Finding& finding : emu::verifier::Findings())
        report += "verifier: " + finding.rule + " in " + finding.routine + ": " + finding.detail + "\n";
    emu::verifier::Clear();
    return report;
}

std::string CheckLeftovers(const Baseline& before)
{
    const Baseline after = TakeBaseline();
    std::string report = TakeFindings();
    if (after.driverBlocks != before.driverBlocks)
        report += "pool blocks tagged Bulk: " + std::to_string(before.driverBlocks) + " before, " +
                  std::to_string(after.driverBlocks) + " after\n";
    if (after.irps != before.irps)
        report += "live IRPs: " + std::to_string(before.irps) + " before, " + std::to_string(after.irps) + " after\n";
    return report;
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace pondrel_fuzz
