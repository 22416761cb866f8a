#include "driver/device_context.h"
#include "driver/device_names.h"
#include "driver/entry_points.h"
#include "io/read_queue.h"
#include "power/power_drain.h"
#include "power/power_reserve.h"
#include "power/wait_wake.h"

namespace {

// Gives the zeroed context the values a new device starts with.
void InitializeDeviceContext(DeviceContext* Context, PDEVICE_OBJECT PhysicalDevice)
{
    Context->PhysicalDevice = PhysicalDevice;
    KeInitializeSpinLock(&Context->StateLock);
    Context->PnpState = DeviceNew;
    Context->PreviousPnpState = DeviceNew;
    KeInitializeEvent(&Context->FinalReleaseEvent, SynchronizationEvent, FALSE);
    // A notification event: a power drain and a stop or removal query may
    // wait on it at once, and each must see the count reach 1.
    KeInitializeEvent(&Context->QuiesceEvent, NotificationEvent, TRUE);
    Context->IoRefCount = 1;
    KeInitializeSpinLock(&Context->IoRefLock);
    KeInitializeSpinLock(&Context->ReceiveLock);
    Context->ReceiveCount = 0;
    InitializeReadQueue(Context);
    InitializeWakeTracking(Context);
    InitializePowerDrainTracking(Context);
}

// The device starts at full power, and the power manager is told so.
void StartAtFullPower(PDEVICE_OBJECT DeviceObject, DeviceContext* Context)
{
    Context->CurrentDevicePower = PowerDeviceD0;
    Context->CurrentSystemPower = PowerSystemWorking;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(DeviceObject, DevicePowerState, state);
}

// Undoes what AddDevice did before a later step failed: the power reserve,
// the DOS link (only if this call created it, so that another device's link
// is never removed) and the device object.
void UndoCreation(PDEVICE_OBJECT DeviceObject, bool linkCreated)
{
    ReleasePowerResources(ContextOf(DeviceObject));
    if (linkCreated) {
        DeleteDosLink();
    }
    IoDeleteDevice(DeviceObject);
}

}  // namespace

// Creates the driver's device object for a device the PnP manager assigns to
// it: the fixed names, the context with what set-power requests need set
// aside, the attachment above the physical device
// object and the registered (not yet enabled) device interface. PASSIVE_LEVEL.
// On failure nothing of the device is left behind, DOS link included.
extern "C" NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, PONDREL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, PONDREL_DOS_LINK_NAME);

    // FILE_DEVICE_SECURE_OPEN: an open of \\.\pondrel\PIPEn is checked
    // against the device object's security descriptor like an open of the
    // device itself; the driver has no namespace checks of its own.
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DeviceContext), &deviceName,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    const bool linkCreated = NT_SUCCESS(IoCreateSymbolicLink(&linkName, &deviceName));

    DeviceContext* context = ContextOf(deviceObject);
    deviceObject->Flags |= DO_DIRECT_IO;
    InitializeDeviceContext(context, PhysicalDeviceObject);
    status = ReservePowerResources(deviceObject);
    if (!NT_SUCCESS(status)) {
        UndoCreation(deviceObject, linkCreated);
        return status;
    }
    if ((PhysicalDeviceObject->Flags & DO_POWER_PAGABLE) != 0) {
        deviceObject->Flags |= DO_POWER_PAGABLE;
    }
    StartAtFullPower(deviceObject, context);

    context->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (context->LowerDevice == nullptr) {
        UndoCreation(deviceObject, linkCreated);
        return STATUS_NO_SUCH_DEVICE;
    }

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &PondrelInterfaceClass, nullptr,
                                       &context->InterfaceLinkName);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(context->LowerDevice);
        UndoCreation(deviceObject, linkCreated);
        return status;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
