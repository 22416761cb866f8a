#include "tools/stress/life_runner.h"

#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/loader/driver_image.h"
#include "emulator/usb/usb_api.h"
#include "tools/stress/app_crew.h"
#include "tools/stress/device_report.h"
#include "tools/stress/life_watchdog.h"
#include "tools/stress/stream_audit.h"

#include <functional>
#include <iterator>
#include <memory>

namespace lives {
namespace {

using namespace std::chrono_literals;

constexpr auto ProgressLimit = 20s;
constexpr uint32_t IoWhileAsleep = 5;  // application operations between sleep and resume
constexpr LONGLONG QuietLimit100ns = 5LL * 10 * 1000 * 1000;  // 5 s for the last reference to go
constexpr USBD_STATUS TransferFailures[] = {USBD_STATUS_XACT_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_CRC};

// Added up to SurpriseRemoved: the driver's device object is in the stack.
bool HasStack(emu::DeviceLife life)
{
    return life >= emu::DeviceLife::Added && life <= emu::DeviceLife::SurpriseRemoved;
}

class LifeRunner {
public:
    LifeRunner(const LifePlan& plan, const emu::usb::DeviceModel& model);
    LifeResult Run();

private:
    void Execute(const Step& step);
    void RunIo(uint32_t operations);
    NTSTATUS Change(const std::function<NTSTATUS()>& operation);
    void QueryThenCancel(bool stop);
    void SurpriseRemoval();
    void Rebalance(bool restartFails);
    void Sleep(uint32_t state, bool wake);
    void InjectTransferFault(const Step& step);
    // Ends the device's life with `removal` while the application threads
    // go on, then plugs a new device and starts it.
    void RemoveAndReturn(const std::function<void()>& removal);
    // Plugs and starts the device; the status of the first step that failed.
    NTSTATUS Arrive();
    void OpenKeeper();
    void ReleaseKeeper();
    // With the threads paused: nothing in flight, and the checked stream whole.
    void AuditQuietDevice();
    void EndLife();
    emu::Pnp& pnp() { return machine_->pnp(); }

    const LifePlan& plan_;
    const emu::usb::DeviceModel& model_;
    std::mt19937_64 random_;
    std::unique_ptr<emu::Machine> machine_;
    std::unique_ptr<LifeContext> life_;
    std::unique_ptr<AppCrew> crew_;
    emu::usb::UsbDevice* device_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    emu::Handle keeper_ = 0;  // keeps the device object readable after its removal
    bool poolFaultArmed_ = false;
};

LifeRunner::LifeRunner(const LifePlan& plan, const emu::usb::DeviceModel& model)
    : plan_(plan), model_(model), random_(plan.seed ^ 0x5eed5eed5eedull)
{
}

LifeResult LifeRunner::Run()
{
    // This thread sends the life's PnP, power and fault events, as the PnP
    // and power managers would.
    emu::threads::SetName("life events (PnP, power, faults)");
    emu::MachineOptions options;
    options.device = model_;
    options.removeAfterSurpriseRemoval = false;
    machine_ = std::make_unique<emu::Machine>(options);
    life_ = std::make_unique<LifeContext>(*machine_, model_, plan_.seed, plan_.checkedStream, plan_.pendingReads);
    crew_ = std::make_unique<AppCrew>(*life_);
    const NTSTATUS loaded = machine_->LoadDriver(emu::loader::DriverEntryFor(DriverEntry));
    const NTSTATUS started = NT_SUCCESS(loaded) ? Arrive() : loaded;
    if (!NT_SUCCESS(started)) {
        life_->Problem(std::string(NT_SUCCESS(loaded) ? "the device did not start: " : "DriverEntry failed: ") +
                       StatusName(started));
    } else {
        // The pending reads have a generator of their own: the plan's
        // draws stay the same with or without them.
        crew_->Start(plan_.threads, random_, life_->pendingPipe, plan_.seed * 0x9E3779B97F4A7C15ull + 13);
        for (const Step& step : plan_.steps) {
            Execute(step);
        }
    }
    EndLife();

    LifeResult result;
    result.faults = life_->Faults();
    result.problems = life_->Problems();
    for (const auto& finding : machine_->Findings()) {
        result.problems.push_back("verifier: " + finding.rule + " in " + finding.routine +
                                  (finding.detail.empty() ? "" : " (" + finding.detail + ")"));
    }
    WatchDevice(nullptr);
    crew_.reset();
    life_.reset();
    machine_.reset();
    return result;
}

void LifeRunner::Execute(const Step& step)
{
    SetLifeStage(EventName(step.event));
    const bool started = pnp().Life() == emu::DeviceLife::Started;
    switch (step.event) {
    case Event::RunIo:
        return RunIo(step.count);
    case Event::QueryStopThenCancel:
    case Event::QueryRemoveThenCancel:
        if (started) {
            QueryThenCancel(step.event == Event::QueryStopThenCancel);
        }
        return;
    case Event::Rebalance:
    case Event::RebalanceRestartFails:
        if (started) {
            Rebalance(step.event == Event::RebalanceRestartFails);
        }
        return;
    case Event::RemoveAndReturn:
        return RemoveAndReturn([this] {
            if (!NT_SUCCESS(pnp().QueryRemove())) {
                pnp().SurpriseRemove();
            }
            pnp().Remove();
        });
    case Event::SurpriseRemoveAndReturn:
        return RemoveAndReturn([this] { SurpriseRemoval(); });
    case Event::DisconnectAndReturn:
        life_->CountFault();
        return RemoveAndReturn([this] {
            device_->Disconnect();
            if (!pnp().WaitForLife(emu::DeviceLife::SurpriseRemoved, ProgressLimit)) {
                life_->Problem("no surprise removal followed the device's disconnect");
            }
            pnp().Remove();
        });
    case Event::SleepAndResume:
    case Event::WakeFromSleep:
        return Sleep(step.count, step.event == Event::WakeFromSleep);
    case Event::DeviceWake:
        return device_->SignalWake();
    case Event::FailTransfer:
    case Event::StallTransfer:
    case Event::ShortTransfer:
        return InjectTransferFault(step);
    case Event::PortOff:
        life_->CountFault();
        return device_->SetPortEnabled(false);
    case Event::PoolFault:
        life_->CountFault();
        poolFaultArmed_ = true;
        return emu::faults::FailNthCall(step.count);
    }
}

void LifeRunner::RunIo(uint32_t operations)
{
    if (!crew_->WaitForProgress(operations, ProgressLimit)) {
        life_->Problem("the application threads stopped making progress");
    }
    if (poolFaultArmed_) {
        emu::faults::Clear();
        poolFaultArmed_ = false;
    }
}

// A PnP operation, bracketed so that requests can tell they saw one state throughout.
NTSTATUS LifeRunner::Change(const std::function<NTSTATUS()>& operation)
{
    life_->BeginPnpChange();
    const NTSTATUS status = operation();
    life_->EndPnpChange(pnp().Life() == emu::DeviceLife::Started);
    return status;
}

// A query-stop or query-remove that the PnP manager then cancels.
void LifeRunner::QueryThenCancel(bool stop)
{
    if (NT_SUCCESS(Change([&] { return stop ? pnp().QueryStop() : pnp().QueryRemove(); }))) {
        Change([&] { return stop ? pnp().CancelStop() : pnp().CancelRemove(); });
    }
}

void LifeRunner::SurpriseRemoval()
{
    pnp().SurpriseRemove();
    pnp().Remove();
}

// A rebalance: the device stops and starts again. When the restart fails,
// the PnP manager gives the device up as Windows does: the removal alone,
// and (here) a new arrival.
void LifeRunner::Rebalance(bool restartFails)
{
    if (!NT_SUCCESS(Change([this] { return pnp().QueryStop(); }))) {
        return;
    }
    Change([this] { return pnp().Stop(); });
    if (restartFails) {
        life_->CountFault();
        device_->FailNextStart(STATUS_UNSUCCESSFUL);
    }
    const NTSTATUS started = Change([this] { return pnp().Start(); });
    if (restartFails && NT_SUCCESS(started)) {
        life_->Problem("the restart succeeded although the bus failed its start");
    }
    if (!NT_SUCCESS(started)) {
        RemoveAndReturn([this] { pnp().Remove(); });
    }
}

void LifeRunner::Sleep(uint32_t state, bool wake)
{
    const auto target = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + state);
    const NTSTATUS slept = machine_->power().Sleep(target);
    if (!NT_SUCCESS(slept) && !poolFaultArmed_) {
        life_->Problem("sleep to S" + std::to_string(state) + " failed with " + StatusName(slept));
    }
    RunIo(IoWhileAsleep);
    if (wake) {
        device_->SignalWake();
    }
    const NTSTATUS resumed = machine_->power().Resume();
    if (!NT_SUCCESS(resumed) && !poolFaultArmed_) {
        life_->Problem("resume failed with " + StatusName(resumed));
    }
}

void LifeRunner::InjectTransferFault(const Step& step)
{
    life_->CountFault();
    if (step.event == Event::FailTransfer) {
        device_->FailTransfer(step.endpoint, step.count, TransferFailures[random_() % std::size(TransferFailures)]);
    } else if (step.event == Event::StallTransfer) {
        device_->StallTransfer(step.endpoint, step.count);
    } else {
        device_->ShortTransfer(step.endpoint, step.count, static_cast<uint32_t>(random_() % 1024));
    }
}

void LifeRunner::RemoveAndReturn(const std::function<void()>& removal)
{
    SetLifeStage("pausing the application threads before a removal");
    crew_->Pause();
    SetLifeStage("auditing the device before a removal");
    AuditQuietDevice();
    crew_->Resume();

    SetLifeStage("removing the device");
    Change([&] {
        removal();
        return STATUS_SUCCESS;
    });

    SetLifeStage("pausing the application threads after a removal");
    crew_->Pause();
    SetLifeStage("closing the handles after a removal");
    crew_->CloseHandles();
    ReleaseKeeper();
    SetLifeStage("plugging a new device");
    if (const NTSTATUS started = Arrive(); !NT_SUCCESS(started)) {
        life_->Problem("the new device did not start: " + StatusName(started));
    }
    life_->ResetStream();
    crew_->Resume();
}

// Plugs a new device (after the first) and starts it, with no fault armed.
NTSTATUS LifeRunner::Arrive()
{
    emu::faults::Clear();
    poolFaultArmed_ = false;
    const bool first = device_ == nullptr;
    const NTSTATUS status = Change([&] {
        if (!first) {
            machine_->Replug(model_);
        }
        const NTSTATUS added = pnp().AddDevice();
        return NT_SUCCESS(added) ? pnp().Start() : added;
    });
    device_ = &machine_->Device();
    fdo_ = pnp().FunctionDevice();
    WatchDevice(fdo_);
    if (NT_SUCCESS(status)) {
        OpenKeeper();
    }
    return status;
}

void LifeRunner::OpenKeeper()
{
    if (!NT_SUCCESS(OpenPipe(machine_->app(), DevicePipe, &keeper_))) {
        life_->Problem("the device could not be opened right after its start");
        keeper_ = 0;
    }
}

// The removed device object is still there while the keeper's handle is
// open: every request, and the device's own reference, must be gone.
void LifeRunner::ReleaseKeeper()
{
    if (keeper_ == 0) {
        return;
    }
    if (fdo_ != nullptr && emu::IsDeviceObjectAlive(fdo_)) {
        const LONG count = InterlockedCompareExchange(&ContextOf(fdo_)->IoRefCount, 0, 0);
        if (HasStack(pnp().Life())) {
            if (count != 1) {
                life_->Problem("IoRefCount is " + std::to_string(count) + " with nothing in flight");
            }
        } else if (count != 0) {
            life_->Problem("IoRefCount is " + std::to_string(count) + " after removal");
        }
    }
    machine_->app().Close(keeper_);
    keeper_ = 0;
}

void LifeRunner::AuditQuietDevice()
{
    if (pnp().Life() != emu::DeviceLife::Started) {
        return;
    }
    // A close held back behind its handle's last request is sent by the I/O
    // manager's own thread and may still hold its reference for a moment.
    DeviceContext* context = ContextOf(fdo_);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -QuietLimit100ns;
    if (KeWaitForSingleObject(&context->QuiesceEvent, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
        const LONG count = InterlockedCompareExchange(&context->IoRefCount, 0, 0);
        life_->Problem("IoRefCount stays " + std::to_string(count) + " with every application thread idle");
    }
    if (life_->checkedStream) {
        device_->SetPortEnabled(true);
        AuditStream(*life_, *device_);
    }
}

void LifeRunner::EndLife()
{
    SetLifeStage("pausing the application threads at the end");
    crew_->Pause();
    SetLifeStage("auditing the device at the end");
    AuditQuietDevice();
    SetLifeStage("stopping the application threads");
    crew_->Stop();
    crew_->CloseHandles();
    emu::faults::Clear();
    SetLifeStage("removing the device and unloading the driver");
    if (HasStack(pnp().Life())) {
        Change([this] { return pnp().Remove(); });
    }
    ReleaseKeeper();
    if (!machine_->app().WaitUntilAllClosed(ProgressLimit)) {
        life_->Problem("file objects were never closed");
    }
    if (machine_->Driver() != nullptr) {
        machine_->UnloadDriver();
    }
    if (const uint64_t blocks = emu::pool::LiveBlocks(PondrelPoolTag)) {
        life_->Problem(std::to_string(blocks) + " pool blocks of the driver left after unload");
    }
    if (const uint64_t irps = emu::LiveIrps()) {
        life_->Problem(std::to_string(irps) + " IRPs left after unload");
    }
}

}  // namespace

LifeResult RunLife(const LifePlan& plan, const emu::usb::DeviceModel& model)
{
    return LifeRunner(plan, model).Run();
}

}  // namespace lives
