#include "tests/power/power_fixture.h"

#include "emulator/kernel/system.h"

#include <cstring>
#include <mutex>

namespace power_test {

emu::usb::DeviceModel S3InD3(bool wakeFromD3)
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.power.deviceState[PowerSystemSleeping3] = PowerDeviceD3;
    model.power.deviceWake = wakeFromD3 ? PowerDeviceD3 : model.power.deviceWake;
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

emu::usb::DeviceModel NoBusWakeModel()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.power.systemWake = model.power.deviceWake = 0;
    return model;
}

emu::usb::DeviceModel Quiet(emu::usb::DeviceModel model)
{
    for (uint8_t address : {0x01, 0x02, 0x81, 0x82}) {
        model.endpoints[address] = {address < 0x80 ? emu::usb::EndpointBehaviour::Sink
                                                   : emu::usb::EndpointBehaviour::Silent, std::nullopt};
    }
    return model;
}

namespace {

// The drain watch's state: the event waited on, the count read at each wait.
struct {
    std::mutex mutex;
    std::atomic<const void*> event{nullptr};
    std::atomic<LONG*> count{nullptr};
    std::vector<LONG> counts;
} drain;

void DrainHook(emu::sched::Point point, const void* object)
{
    if (point != emu::sched::Point::EventWait || object == nullptr || object != drain.event.load()) {
        return;
    }
    const LONG count = std::atomic_ref<LONG>(*drain.count.load()).load();
    std::lock_guard lock(drain.mutex);
    drain.counts.push_back(count);
}

}  // namespace

void PowerFixture::WatchDrain()
{
    std::lock_guard lock(drain.mutex);
    drain.counts.clear();
    drain.count = &context()->IoRefCount;
    drain.event = &context()->QuiesceEvent;
    emu::sched::SetHook(DrainHook);
}

std::vector<LONG> PowerFixture::CountsAtWait()
{
    std::lock_guard lock(drain.mutex);
    return drain.counts;
}

void PowerFixture::Prepare(emu::usb::DeviceModel model, bool start, bool spy)
{
    model.power.pageable = pageable_;
    Load(std::move(model));
    power().SetLegacySerialization(true);
    if (spy) {
        AddSpy();
    }
    Add();
    if (start) {
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    }
}

// A reference never given back would hold the removal for ever: the test
// has failed by then, and the reference is given back for the machine to
// come down.
void PowerFixture::TearDown()
{
    emu::sched::SetHook(nullptr);
    drain.event = nullptr;
    emu::faults::Clear();
    if (fdo() != nullptr && State() != DeviceRemoved && !WaitUntil([&] { return IoRefCount() == 1; }, 2s)) {
        ADD_FAILURE() << "references never given back: IoRefCount " << IoRefCount();
        while (IoRefCount() > 1) {
            ReleaseIoReference(context());
        }
    }
    DriverFixture::TearDown();
}

void PowerFixture::AnswerDeviceRequests(Verdict verdict)
{
    spy().AddRule(When([](const SeenRequest& seen) {
        return seen.major == IRP_MJ_POWER && seen.powerType == DevicePowerState;
    }, verdict));
}

RawResult PowerFixture::SendRaw(UCHAR minor, ULONG type, LONG state)
{
    struct Completion {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<IO_STATUS_BLOCK> status;
    };
    PIRP irp = IoAllocateIrp(fdo()->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 77;  // whoever completes the request must clear it
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    // Copied: a test may send values outside the enumerations' ranges.
    std::memcpy(minor == IRP_MN_WAIT_WAKE ? static_cast<void*>(&next->Parameters.WaitWake.PowerState)
                                          : &next->Parameters.Power.State, &state, sizeof(state));
    std::memcpy(&next->Parameters.Power.Type, &type, sizeof(type));
    // The record is kept if the request hangs (its completion routine may
    // still run); the routine notifies under the lock, since the record goes
    // as soon as the status is seen. It keeps the request for IoFreeIrp.
    auto* completion = new Completion;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP done, PVOID context) NTAPI -> NTSTATUS {
        auto* record = static_cast<Completion*>(context);
        std::lock_guard lock(record->mutex);
        record->status = done->IoStatus;
        record->done.notify_all();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, completion, TRUE, TRUE, TRUE);
    RawResult result;
    result.dispatchStatus = PoCallDriver(fdo(), irp);
    std::unique_lock lock(completion->mutex);
    if (!completion->done.wait_for(lock, Patience, [&] { return completion->status.has_value(); })) {
        ADD_FAILURE() << "power request minor " << int(minor) << " never completed";
        return result;
    }
    result.status = completion->status->Status;
    result.information = completion->status->Information;
    lock.unlock();
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

}  // namespace power_test
