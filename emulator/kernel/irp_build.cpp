// IoBuildDeviceIoControlRequest: a threaded IRP for the caller's thread,
// with the buffers laid out as the transfer method says. The I/O manager
// frees it at the end of completion; the caller never does.
#include "emulator/kernel/built_request_events.h"
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

#include <map>

namespace emu::kernel {
namespace {

constexpr ULONG SystemBufferTag = 0x66427249;  // 'IrBf'

// Copies the input into a nonpaged system buffer of `bytes` bytes.
bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG bytes)
{
    PVOID buffer = AllocatePool(NonPagedPool, bytes, SystemBufferTag, nullptr, false);
    if (buffer == nullptr) {
        return false;
    }
    if (input != nullptr && inputLength != 0) {
        memcpy(buffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

bool LayOutBuffers(PIRP irp, ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength)
{
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        const ULONG bytes = inputLength > outputLength ? inputLength : outputLength;
        if (bytes != 0 && !AttachSystemBuffer(irp, input, inputLength, bytes)) {
            return false;
        }
        if (output != nullptr) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = output;
        return true;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        if (input != nullptr && inputLength != 0 && !AttachSystemBuffer(irp, input, inputLength, inputLength)) {
            return false;
        }
        if (output != nullptr && outputLength != 0) {
            PMDL mdl = IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                return false;
            }
            MmProbeAndLockPages(mdl, KernelMode,
                                METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        }
        return true;
    }
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        return true;
    }
}

// Undoes a half-built IRP when a buffer could not be had.
void DiscardIrp(PIRP irp)
{
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
        FreePool(irp->AssociatedIrp.SystemBuffer, "IoBuildDeviceIoControlRequest");
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    ReleaseIrp(irp, false, "IoBuildDeviceIoControlRequest");
}

// Built requests by the event they were given; an entry whose request has
// been completed or freed is dropped when next looked at.
std::mutex builtEventsMutex;
std::multimap<const KEVENT*, PIRP> builtEvents;

}  // namespace

void NoteBuiltRequestEvent(PIRP irp, PKEVENT event)
{
    std::lock_guard lock(builtEventsMutex);
    builtEvents.emplace(event, irp);
}

bool IsEventOfOutstandingBuiltRequest(const KEVENT* event)
{
    std::lock_guard lock(builtEventsMutex);
    auto [first, last] = builtEvents.equal_range(event);
    bool outstanding = false;
    for (auto entry = first; entry != last;) {
        auto record = FindIrp(entry->second);
        bool live = false;
        if (record != nullptr) {
            std::lock_guard irpLock(IrpMutex());
            live = record->state == IrpState::Live && record->threaded && entry->second->UserEvent == event;
        }
        outstanding = outstanding || live;
        entry = live ? std::next(entry) : builtEvents.erase(entry);
    }
    return outstanding;
}

}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// PASSIVE_LEVEL. Null when resources are short. The IRP belongs to the
// calling thread; its status block and event are written at completion.
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (!IsLiveDevice(DeviceObject)) {
        emu::verifier::Report("request built for an invalid device object", "IoBuildDeviceIoControlRequest",
                              Hex(DeviceObject));
        return nullptr;
    }
    if (emu::faults::ShouldFailCall()) {
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, ChargedDriver(), CurrentDriver());
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (!LayOutBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength)) {
        DiscardIrp(irp);
        return nullptr;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    if (Event != nullptr) {
        NoteBuiltRequestEvent(irp, Event);
    }
    irp->RequestorMode = KernelMode;
    ThreadState& self = CurrentThread();
    irp->Tail.Overlay.Thread = HandleOf(self);
    auto record = FindIrp(irp);
    {
        std::lock_guard lock(IrpMutex());
        record->threaded = true;
        record->thread = FindThread(HandleOf(self));
        record->outputLength = OutputBufferLength;
    }
    std::lock_guard lock(DispatcherMutex());
    self.threadedIrps++;
    return irp;
}

}  // extern "C"
