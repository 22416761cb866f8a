#include "tests/power/power_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace power_test {

emu::usb::DeviceModel WakeModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    for (int system = PowerSystemSleeping1; system <= PowerSystemSleeping3; ++system) {
        model.power.deviceState[system] = kD2;
    }
    return model;
}

emu::usb::DeviceModel DeepS3Model()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.power.deviceState[PowerSystemSleeping3] = kD3;
    return model;
}

emu::usb::DeviceModel WakeFromD3Model()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.power.deviceState[PowerSystemSleeping3] = kD3;
    model.power.deviceWake = kD3;
    return model;
}

emu::usb::DeviceModel PlainModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.configDescriptor[offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes)] &= ~USB_CONFIG_REMOTE_WAKEUP;
    for (int system = PowerSystemSleeping1; system <= PowerSystemShutdown; ++system) {
        model.power.deviceState[system] = kD3;
    }
    return model;
}

emu::usb::DeviceModel Quiet(emu::usb::DeviceModel model)
{
    model.endpoints[0x01] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x02] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[0x81] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    model.endpoints[0x82] = {emu::usb::EndpointBehaviour::Silent, std::nullopt};
    return model;
}

namespace drain_watch {
namespace {

struct WatchState {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<const void*> event{nullptr};
    std::atomic<LONG*> count{nullptr};
    std::vector<LONG> counts;  // guarded by mutex
};

WatchState& State()
{
    static WatchState state;
    return state;
}

// Runs on every thread at every scheduling point: only a wait on the
// watched event is of interest.
void Hook(emu::sched::Point point, const void* object)
{
    WatchState& state = State();
    if (point != emu::sched::Point::EventWait || object == nullptr || object != state.event.load()) {
        return;
    }
    const LONG count = std::atomic_ref<LONG>(*state.count.load()).load();
    {
        std::lock_guard lock(state.mutex);
        state.counts.push_back(count);
    }
    state.changed.notify_all();
}

}  // namespace

void Start(DeviceContext* context)
{
    WatchState& state = State();
    {
        std::lock_guard lock(state.mutex);
        state.counts.clear();
    }
    state.count = &context->IoRefCount;
    state.event = &context->QuiesceEvent;
    emu::sched::SetHook(Hook);
}

void Stop()
{
    emu::sched::SetHook(nullptr);
    State().event = nullptr;
}

size_t Waits()
{
    WatchState& state = State();
    std::lock_guard lock(state.mutex);
    return state.counts.size();
}

std::vector<LONG> CountsAtWait()
{
    WatchState& state = State();
    std::lock_guard lock(state.mutex);
    return state.counts;
}

bool WaitForWaits(size_t count, std::chrono::milliseconds timeout)
{
    WatchState& state = State();
    std::unique_lock lock(state.mutex);
    return state.changed.wait_for(lock, timeout, [&] { return state.counts.size() >= count; });
}

}  // namespace drain_watch

void PowerFixture::SetUp()
{
    emu::MachineOptions options;
    options.device = Model();
    machine_ = std::make_unique<emu::Machine>(options);
    power().SetLegacySerialization(true);
    if (UseProbe()) {
        probe_ = std::make_unique<LowerProbe>(device().Pdo());
    }
    if (StartAtSetUp()) {
        BringUp(true);
    }
}

void PowerFixture::BringUp(bool start)
{
    ASSERT_EQ(machine_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(machine_->pnp().AddDevice(), STATUS_SUCCESS);
    if (probe_) {
        probe_->Watch(Context());
    }
    if (!start) {
        return;
    }
    ASSERT_EQ(machine_->pnp().Start(), STATUS_SUCCESS);
    ASSERT_EQ(Context()->PnpState, DeviceRunning);
    ASSERT_EQ(IoRefCount(), 1);
}

void PowerFixture::TearDown()
{
    drain_watch::Stop();
    emu::faults::Clear();
    emu::pool::ClearFaults();
    if (!HasFatalFailure() && machine_->Driver() != nullptr) {
        if (Fdo() != nullptr && emu::IsDeviceObjectAlive(Fdo()) && Context()->PnpState != DeviceRemoved) {
            GiveBackLeakedReferences();
            machine_->pnp().Remove();
        }
        if (machine_->Driver() != nullptr) {
            machine_->UnloadDriver();
        }
        EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), 0u) << "pool of the driver left behind";
        EXPECT_EQ(emu::LiveIrps(), 0u) << "requests left behind";
    }
    for (const auto& finding : machine_->Findings()) {
        ADD_FAILURE() << "verifier: " << finding.rule << " in " << finding.routine << " " << finding.detail;
    }
    probe_.reset();
    machine_.reset();
}

LONG DevicePowerOf(DeviceContext* context)
{
    return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context->CurrentDevicePower)).load();
}

LONG SystemPowerOf(DeviceContext* context)
{
    return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context->CurrentSystemPower)).load();
}

// A reference the driver never gave back would make the removal wait
// forever; the test has failed by then, so it is given back here for the
// machine to come down.
void PowerFixture::GiveBackLeakedReferences()
{
    if (WaitForIoRefCount(1, 2s)) {
        return;
    }
    ADD_FAILURE() << "references never given back: IoRefCount " << IoRefCount();
    while (IoRefCount() > 1) {
        ReleaseIoReference(Context());
    }
}

LONG PowerFixture::IoRefCount()
{
    return std::atomic_ref<LONG>(Context()->IoRefCount).load();
}

LONG PowerFixture::WakeOutstanding()
{
    return std::atomic_ref<LONG>(Context()->WakeOutstanding).load();
}

uint64_t PowerFixture::PoolAllocations()
{
    for (const auto& stats : emu::pool::Stats()) {
        if (stats.tag == PondrelPoolTag) {
            return stats.allocations;
        }
    }
    return 0;
}

bool PowerFixture::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // polling interval
    }
    return true;
}

bool PowerFixture::WaitForIoRefCount(LONG count, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return IoRefCount() == count; }, timeout);
}

namespace {

struct RawCompletion {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// The creator's completion routine: it has no stack location of its own
// and keeps the request to free it.
NTSTATUS RawCompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* completion = static_cast<RawCompletion*>(context);
    // Notified under the lock: the sender destroys the record as soon as it sees completed.
    std::lock_guard lock(completion->mutex);
    completion->status = irp->IoStatus.Status;
    completion->information = irp->IoStatus.Information;
    completion->completed = true;
    completion->done.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

RawResult PowerFixture::SendRaw(UCHAR minor, ULONG type, LONG state, const std::function<void()>& beforeSend)
{
    PDEVICE_OBJECT top = Fdo();
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return {};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 77;  // whoever completes the request must clear it
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    // Copied: a test may send values outside the enumerations' ranges.
    if (minor == IRP_MN_WAIT_WAKE) {
        std::memcpy(&next->Parameters.WaitWake.PowerState, &state, sizeof(state));
    } else {
        std::memcpy(&next->Parameters.Power.Type, &type, sizeof(type));
        std::memcpy(&next->Parameters.Power.State, &state, sizeof(state));
    }

    // Kept alive if the request hangs: its completion routine may still run.
    auto* completion = new RawCompletion;
    IoSetCompletionRoutine(irp, RawCompletionRoutine, completion, TRUE, TRUE, TRUE);
    if (beforeSend) {
        beforeSend();
    }
    RawResult result;
    result.dispatchStatus = PoCallDriver(top, irp);

    {
        std::unique_lock lock(completion->mutex);
        result.completed = completion->done.wait_for(lock, kWait, [&] { return completion->completed; });
        result.status = completion->status;
        result.information = completion->information;
    }
    EXPECT_TRUE(result.completed) << "power request minor " << int(minor) << " never completed";
    if (!result.completed) {
        return result;  // the request is still in someone's hands: neither it nor its record can go
    }
    delete completion;
    IoFreeIrp(irp);
    return result;
}

void PowerFixture::EndArmedWaitWake()
{
    ASSERT_TRUE(device().WaitWakePending());
    device().SignalWake();
    ASSERT_TRUE(WaitUntil([&] { return !device().WaitWakePending() && WakeOutstanding() == 0; }));
    ASSERT_TRUE(WaitForIoRefCount(1));
}

int PowerFixture::PipeOf(uint8_t address)
{
    PUSBD_INTERFACE_INFORMATION info = Context()->InterfaceInfo;
    for (ULONG i = 0; info != nullptr && i < info->NumberOfPipes; ++i) {
        if (info->Pipes[i].EndpointAddress == address) {
            return static_cast<int>(i);
        }
    }
    ADD_FAILURE() << "no pipe for endpoint " << int(address);
    return -1;
}

emu::Handle PowerFixture::OpenPipe(uint8_t address)
{
    const int pipe = PipeOf(address);
    std::u16string path = u"\\\\.\\pondrel\\PIPE";
    for (char digit : std::to_string(pipe)) {
        path += static_cast<char16_t>(digit);
    }
    emu::Handle handle = 0;
    EXPECT_EQ(machine_->app().Open(std::u16string_view(path), &handle), STATUS_SUCCESS);
    return handle;
}

}  // namespace power_test
