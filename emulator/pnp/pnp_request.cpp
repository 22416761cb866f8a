#include "emulator/pnp/pnp_request.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

namespace emu::pnp {
namespace {

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
};

// The PnP manager's completion routine, in the location the top driver
// used (the PnP manager has none of its own, so DeviceObject is null).
// Takes the request back from the stack. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI PnpRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    (void)Irp;
    auto* completion = static_cast<Completion*>(Context);
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->completed = true;
    completion->done.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool MustNotFail(UCHAR minor)
{
    return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_STOP_DEVICE ||
           minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE;
}

PIRP AllocateRequest(PDEVICE_OBJECT top, bool mustNotFail)
{
    int attempts = mustNotFail ? 8 : 1;
    PIRP irp = nullptr;
    while (irp == nullptr && attempts-- > 0) {
        irp = IoAllocateIrp(top->StackSize, FALSE);
    }
    return irp;
}

std::string Describe(const char* name, PIRP irp)
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s, IRP %p", name, static_cast<void*>(irp));
    return text;
}

}  // namespace

PnpResult SendPnpRequest(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                         std::chrono::milliseconds timeout)
{
    return SendStackRequest(pdo, IRP_MJ_PNP, minor, PnpMinorName(minor), setup, timeout);
}

PnpResult SendStackRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const char* name,
                           const std::function<void(PIO_STACK_LOCATION)>& setup, std::chrono::milliseconds timeout)
{
    if (CurrentIrql() != PASSIVE_LEVEL) {
        verifier::Report("PnP request sent above PASSIVE_LEVEL", "PnpManager", name);
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = AllocateRequest(top, major == IRP_MJ_PNP && MustNotFail(minor));
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) {
        setup(next);
    }
    auto completion = std::make_shared<Completion>();
    IoSetCompletionRoutine(irp, PnpRequestCompletion, completion.get(), TRUE, TRUE, TRUE);
    IofCallDriver(top, irp);

    std::unique_lock<std::mutex> lock(completion->mutex);
    if (!completion->done.wait_for(lock, timeout, [&] { return completion->completed; })) {
        verifier::Report("PnP request never completed", "PnpManager", Describe(name, irp));
        // The stack still owns the request and may complete it later: the
        // completion record must outlive this frame.
        new std::shared_ptr<Completion>(completion);
        ObDereferenceObject(top);
        return {STATUS_IO_TIMEOUT, 0};
    }
    PnpResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return result;
}

const char* PnpMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "IRP_MN_QUERY_PNP_DEVICE_STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "IRP_MN (other)";
    }
}

}  // namespace emu::pnp
