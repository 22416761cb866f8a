#include "tests/power/power_fixture.h"

#include "emulator/kernel/system.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace power_test {

emu::usb::DeviceModel WakeModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    for (int system = PowerSystemSleeping1; system <= PowerSystemSleeping3; ++system) {
        model.power.deviceState[system] = PowerDeviceD2;
    }
    return model;
}

emu::usb::DeviceModel DeepS3Model()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.power.deviceState[PowerSystemSleeping3] = PowerDeviceD3;
    return model;
}

emu::usb::DeviceModel WakeFromD3Model()
{
    auto model = DeepS3Model();
    model.power.deviceWake = PowerDeviceD3;
    return model;
}

emu::usb::DeviceModel PlainModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.configDescriptor[offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes)] &= ~USB_CONFIG_REMOTE_WAKEUP;
    for (int system = PowerSystemSleeping1; system <= PowerSystemShutdown; ++system) {
        model.power.deviceState[system] = PowerDeviceD3;
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
    std::atomic<const void*> event{nullptr};
    std::atomic<LONG*> count{nullptr};
    std::vector<LONG> counts;  // guarded by mutex
} watch;

// Runs on every thread at every scheduling point: only a wait on the
// watched event is of interest.
void Hook(emu::sched::Point point, const void* object)
{
    if (point != emu::sched::Point::EventWait || object == nullptr || object != watch.event.load()) {
        return;
    }
    const LONG count = std::atomic_ref<LONG>(*watch.count.load()).load();
    std::lock_guard lock(watch.mutex);
    watch.counts.push_back(count);
}

}  // namespace

void Start(DeviceContext* context)
{
    {
        std::lock_guard lock(watch.mutex);
        watch.counts.clear();
    }
    watch.count = &context->IoRefCount;
    watch.event = &context->QuiesceEvent;
    emu::sched::SetHook(Hook);
}

void Stop()
{
    emu::sched::SetHook(nullptr);
    watch.event = nullptr;
}

std::vector<LONG> CountsAtWait()
{
    std::lock_guard lock(watch.mutex);
    return watch.counts;
}

}  // namespace drain_watch

bool IsSystem(const SeenRequest& seen, UCHAR minor)
{
    return seen.major == IRP_MJ_POWER && seen.minor == minor && seen.powerType == SystemPowerState;
}

bool IsDevice(const SeenRequest& seen, UCHAR minor)
{
    return seen.major == IRP_MJ_POWER && seen.minor == minor && seen.powerType == DevicePowerState;
}

void PowerFixture::SetUp()
{
    if (StartAtSetUp()) {
        Prepare(true);
    }
}

void PowerFixture::Prepare(bool start)
{
    Load(Model());
    power().SetLegacySerialization(true);
    if (UseSpy()) {
        AddSpy();
    }
    Add();
    if (!start) {
        return;
    }
    ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    ASSERT_EQ(State(), DeviceRunning);
    ASSERT_EQ(IoRefCount(), 1);
}

void PowerFixture::TearDown()
{
    drain_watch::Stop();
    emu::faults::Clear();
    emu::pool::ClearFaults();
    if (!HasFatalFailure() && fdo() != nullptr && State() != DeviceRemoved) {
        GiveBackLeakedReferences();
    }
    DriverFixture::TearDown();
}

LONG PowerFixture::DevicePower()
{
    return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->CurrentDevicePower)).load();
}

LONG PowerFixture::SystemPower()
{
    return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->CurrentSystemPower)).load();
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
        ReleaseIoReference(context());
    }
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

bool PowerFixture::WaitForIoRefCount(LONG count, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return IoRefCount() == count; }, timeout);
}

void PowerFixture::AnswerDeviceRequests(Verdict verdict)
{
    spy().AddRule(When([](const SeenRequest& seen) {
        return seen.major == IRP_MJ_POWER && seen.powerType == DevicePowerState;
    }, verdict));
}

std::vector<SeenRequest> PowerFixture::PowerSince(size_t from)
{
    std::vector<SeenRequest> seen = spy().SeenPower();
    seen.erase(seen.begin(), seen.begin() + static_cast<long>(std::min(from, seen.size())));
    return seen;
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
    PDEVICE_OBJECT top = fdo();
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
        result.completed = completion->done.wait_for(lock, Patience, [&] { return completion->completed; });
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

emu::Handle PowerFixture::OpenEndpoint(uint8_t address)
{
    PUSBD_INTERFACE_INFORMATION info = context()->InterfaceInfo;
    for (ULONG pipe = 0; info != nullptr && pipe < info->NumberOfPipes; ++pipe) {
        if (info->Pipes[pipe].EndpointAddress == address) {
            return OpenPipe(static_cast<int>(pipe));
        }
    }
    ADD_FAILURE() << "no pipe for endpoint " << int(address);
    return 0;
}

}  // namespace power_test
