#include "tools/sweep/sweep.h"

#include "driver/device_context.h"
#include "emulator/kernel/system.h"
#include "tools/stress/request_rules.h"

#include <cstdio>

namespace low_resources {
namespace {

using namespace std::chrono_literals;

std::string Allowed(const std::set<NTSTATUS>& allowed)
{
    std::string text;
    for (NTSTATUS status : allowed) {
        text += (text.empty() ? "" : " ") + lives::StatusName(status);
    }
    return "{" + text + "}";
}

// A driver that still has its device holds exactly its own I/O reference
// once nothing is in flight. A request may complete to its sender just
// before the driver gives its reference back, so the check waits for
// QuiesceEvent (set at that count) before it reads the count.
void CheckIdleReferences(emu::Machine& machine, std::vector<std::string>* problems)
{
    PDEVICE_OBJECT fdo = machine.pnp().FunctionDevice();
    if (fdo == nullptr || !emu::IsDeviceObjectAlive(fdo)) {
        return;
    }
    DeviceContext* context = ContextOf(fdo);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10;  // 10 s
    const NTSTATUS waited = KeWaitForSingleObject(&context->QuiesceEvent, Executive, KernelMode, FALSE, &timeout);
    const LONG count = InterlockedCompareExchange(&context->IoRefCount, 0, 0);
    if (waited != STATUS_SUCCESS || count != 1) {
        problems->push_back("IoRefCount " + std::to_string(count) + " with nothing in flight");
    }
}

// One run: the status and what Finish found.
struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    uint64_t calls = 0;
    std::vector<std::string> problems;
};

Outcome RunOnce(const Scenario& scenario, uint64_t failAt, const emu::usb::DeviceModel& model)
{
    Outcome outcome;
    Run run(failAt, model);
    outcome.status = scenario(run);
    outcome.calls = run.Calls();
    outcome.problems = run.Finish();
    return outcome;
}

}  // namespace

// The stack stays as a failed start left it (no removal at once), so that
// what the driver left can be checked.
Run::Run(uint64_t failAt, const emu::usb::DeviceModel& model)
    : model_(model), pipes_(lives::MapDevice(model)),
      machine_(std::make_unique<emu::Machine>(emu::MachineOptions{.device = model, .removeAfterFailedStart = false})),
      failAt_(failAt)
{
}

Run::~Run()
{
    emu::faults::Clear();
}

void Run::Arm()
{
    emu::faults::CountDriverCallsOnly(true);
    base_ = emu::faults::FailableCalls();
    if (failAt_ != 0) {
        emu::faults::FailNthCall(failAt_);
    }
    armed_ = true;
}

void Run::Disarm()
{
    if (!armed_ || disarmed_) {
        return;
    }
    measured_ = emu::faults::FailableCalls() - base_;
    emu::faults::FailNthCall(0);
    disarmed_ = true;
}

uint64_t Run::Calls() const
{
    if (disarmed_) {
        return measured_;
    }
    return armed_ ? emu::faults::FailableCalls() - base_ : 0;
}

NTSTATUS Run::Open(int pipe, emu::Handle* handle)
{
    const std::string path = lives::PipePath(pipe);
    *handle = 0;
    const NTSTATUS status = machine_->app().Open(std::string_view(path), handle);
    if (NT_SUCCESS(status)) {
        handles_.push_back(*handle);
    }
    return status;
}

std::vector<std::string> Run::Finish()
{
    // Calls made from here on belong to the teardown, which is not swept.
    Disarm();
    const uint64_t measured = Calls();
    std::vector<std::string> problems = std::move(problems_);
    if (failAt_ != 0 && measured < failAt_) {
        problems.push_back("the run made " + std::to_string(measured) + " calls, fewer than the one to fail");
    }
    CheckIdleReferences(*machine_, &problems);
    for (emu::Handle handle : handles_) {
        machine_->app().Close(handle);
    }
    handles_.clear();
    if (!machine_->app().WaitUntilAllClosed(10s)) {
        problems.push_back("handles still open after close");
    }
    PDEVICE_OBJECT fdo = machine_->pnp().FunctionDevice();
    if (fdo != nullptr && emu::IsDeviceObjectAlive(fdo) && machine_->pnp().Life() != emu::DeviceLife::Removed) {
        const NTSTATUS removed = machine_->pnp().Remove();
        if (removed != STATUS_SUCCESS) {
            problems.push_back("removal ended with " + lives::StatusName(removed));
        }
    }
    if (machine_->Driver() != nullptr) {
        machine_->UnloadDriver();
    }
    if (const uint64_t blocks = emu::pool::LiveBlocks(PondrelPoolTag); blocks != 0) {
        problems.push_back(std::to_string(blocks) + " pool blocks of the driver left after unload");
    }
    if (const uint64_t irps = emu::LiveIrps(); irps != 0) {
        problems.push_back(std::to_string(irps) + " requests left after unload");
    }
    for (const auto& finding : machine_->Findings()) {
        problems.push_back("verifier: " + finding.rule + " in " + finding.routine + " " + finding.detail);
    }
    return problems;
}

void Run::Expect(bool holds, std::string what)
{
    if (!holds) {
        problems_.push_back(std::move(what));
    }
}

SweepResult Sweep(const SweepPlan& plan, const emu::usb::DeviceModel& model, uint64_t onlyAt)
{
    SweepResult result;
    const auto& table = plan.table;
    const Outcome clean = RunOnce(plan.scenario, 0, model);
    result.calls = clean.calls;
    std::vector<std::string> cleanProblems = clean.problems;
    if (clean.status != plan.cleanStatus) {
        cleanProblems.push_back("ended with " + lives::StatusName(clean.status) + ", expected " + lives::StatusName(plan.cleanStatus));
    }
    if (clean.calls != table.size()) {
        cleanProblems.push_back("the driver made " + std::to_string(clean.calls) + " failable calls where the table lists " +
                                std::to_string(table.size()));
    }
    for (const auto& problem : cleanProblems) {
        result.problems.push_back({0, "the run without a fault: " + problem});
    }
    result.findings += !cleanProblems.empty();

    for (uint64_t k = onlyAt != 0 ? onlyAt : 1; k <= (onlyAt != 0 ? onlyAt : clean.calls); ++k) {
        const Outcome faulted = RunOnce(plan.scenario, k, model);
        result.faultRuns++;
        const Site* site = k <= table.size() ? &table[k - 1] : nullptr;
        const std::string call = "call " + std::to_string(k) + (site ? " (" + site->call + ")" : " (not in the table)");
        bool broken = !faulted.problems.empty();
        for (const auto& problem : faulted.problems) {
            result.problems.push_back({k, call + " failing: " + problem});
        }
        if (site == nullptr || site->allowed.count(faulted.status) == 0) {
            broken = true;
            result.problems.push_back({k, call + " failing: ended with " + lives::StatusName(faulted.status) + ", allowed " +
                                              (site ? Allowed(site->allowed) : "nothing")});
        }
        result.findings += broken;
    }
    return result;
}

}  // namespace low_resources
