// The hand-over point for a power request that PoCallDriver cannot deliver
// now (its turn has not come, or its device wants PASSIVE_LEVEL): the
// request is called down into the power manager's own relay device, which
// marks it pending and gives its location back. To the caller and to the
// kernel's accounting this is a lower driver that returned STATUS_PENDING;
// the power manager delivers the request to its real target later.
#include "emulator/power/power_internal.h"

#include <mutex>

namespace emu::power::detail {
namespace {

struct Relay {
    std::mutex mutex;
    PDRIVER_OBJECT driver = nullptr;  // guarded by mutex
    PDEVICE_OBJECT device = nullptr;  // guarded by mutex
};

Relay& TheRelay()
{
    static Relay relay;
    return relay;
}

// The relay's dispatch routine: the request stays where it was, marked
// pending in the location its lower driver will own. At the caller's IRQL.
NTSTATUS NTAPI RelayDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoMarkIrpPending(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    return STATUS_PENDING;
}

PDEVICE_OBJECT RelayDevice()
{
    Relay& relay = TheRelay();
    std::lock_guard<std::mutex> lock(relay.mutex);
    if (relay.device != nullptr) {
        return relay.device;
    }
    // Normally made at machine start; made here only for a kernel started
    // without the power manager, as the power manager's own object.
    ScopedIrql passive(PASSIVE_LEVEL);
    relay.driver = CreateSystemDriver(u"PowerManager", [](PDRIVER_OBJECT driver) {
        driver->MajorFunction[IRP_MJ_POWER] = RelayDispatch;
    });
    IoCreateDevice(relay.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &relay.device);
    relay.device->Flags &= ~DO_DEVICE_INITIALIZING;
    return relay.device;
}

}  // namespace

void CreateRelay()
{
    RelayDevice();
}

NTSTATUS PendThroughRelay(PIRP irp)
{
    return IofCallDriver(RelayDevice(), irp);
}

void ForgetRelay()
{
    Relay& relay = TheRelay();
    std::lock_guard<std::mutex> lock(relay.mutex);
    relay.device = nullptr;
    relay.driver = nullptr;
}

void DeleteRelay()
{
    Relay& relay = TheRelay();
    std::lock_guard<std::mutex> lock(relay.mutex);
    if (relay.device != nullptr) {
        IoDeleteDevice(relay.device);
        DeleteSystemDriver(relay.driver);
    }
    relay.device = nullptr;
    relay.driver = nullptr;
}

}  // namespace emu::power::detail
