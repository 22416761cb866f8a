// The simulated USB device behind the child PDO, and the URBs the child's
// stack sends it. Transfers wait in their endpoint's queue and are ended by
// the bus thread, as a host controller's interrupt would end them.
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// pondrel-sim's built-in device: VID 0x1209, PID 0x0001, high speed.
const UCHAR kDeviceDescriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1};

// Configuration 1, bus powered with remote wakeup; interface 0 (vendor
// specific) with bulk 0x01/0x81 and 0x02/0x82 loopback pairs and interrupt
// 0x83: one endpoint descriptor a row, each 7 bytes, from byte 18.
const UCHAR kConfigDescriptor[53] = {
    9, 2, 53, 0, 1, 1, 0, 0xA0, 50, 9, 4, 0, 0, 5, 0xFF, 0, 0, 0,
    7, 5, 0x01, 2, 0x00, 0x02, 0,
    7, 5, 0x81, 2, 0x00, 0x02, 0,
    7, 5, 0x83, 3, 0x10, 0x00, 4,
    7, 5, 0x02, 2, 0x00, 0x02, 0,
    7, 5, 0x82, 2, 0x00, 0x02, 0,
};

constexpr ULONG kRingBytes = 256 * 1024;
constexpr ULONG kRingPackets = 2048;

// Marks, in the URB's status while the transfer is queued, the transfer
// that a stall picked.
constexpr USBD_STATUS kStallOnArrival = static_cast<USBD_STATUS>(0x4000ABCD);

// What the device does with a transfer; USBD_STATUS_PENDING: nothing yet.
struct Outcome {
    USBD_STATUS usbd;
    ULONG moved;
    ULONG packets;  // IN: packets consumed
};

// The endpoint with that address, or null.
Endpoint* EndpointAt(ULONG address)
{
    for (auto& endpoint : g_bus.endpoints) {
        if (endpoint.address == address)
            return &endpoint;
    }
    return nullptr;
}

// The IRP status a USB hub gives for a URB status. Any IRQL.
NTSTATUS NtStatusOf(USBD_STATUS usbd)
{
    switch (usbd) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
    }
}

// The URB an internal request carries. Any IRQL.
PURB UrbOf(PIRP irp)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

// Ends a URB with its USB status and the matching IRP status.
// DISPATCH_LEVEL at most.
NTSTATUS CompleteUrb(PIRP irp, USBD_STATUS usbd)
{
    UrbOf(irp)->UrbHeader.Status = usbd;
    return CompleteIrp(irp, NtStatusOf(usbd));
}

// Where a transfer's bytes are in this process. Wine runs every driver in
// one user-mode process: the I/O manager's MDLs are mapped, and a driver's
// own MDL describes memory it can already address, so its virtual address
// is the place (on Windows the bus would map the MDL instead). Any IRQL.
UCHAR* BufferOf(PMDL mdl, PVOID buffer)
{
    if (mdl == nullptr)
        return static_cast<UCHAR*>(buffer);
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return static_cast<UCHAR*>(mdl->MappedSystemVa);
    return static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl));
}

// An OUT transfer on a loopback endpoint comes back on the partner as
// packets of its size, the last one short (zero-length after a full one),
// so that it ends the host's IN transfer there. Returns false when the
// partner has no room yet (the device NAKs until it has). g_bus.lock held.
bool Echo(Endpoint& out, const UCHAR* bytes, ULONG length, bool commit)
{
    Endpoint& in = g_bus.endpoints[out.peer];
    ULONG packets = length / in.maxPacket + 1;
    if (in.ringBytes + length > kRingBytes || in.sizeCount + packets > kRingPackets)
        return false;
    if (!commit)
        return true;
    RtlCopyMemory(in.ring + in.ringBytes, bytes, length);
    in.ringBytes += length;
    for (ULONG i = 0; i < packets; ++i)
        in.sizes[in.sizeCount++] = static_cast<USHORT>(i + 1 < packets ? in.maxPacket : length % in.maxPacket);
    return true;
}

// An IN transfer ends when it is full, at a short packet, or with babble
// when a packet is larger than the room left; until then it waits, and no
// packet is taken. g_bus.lock held.
Outcome PlanIn(const Endpoint& in, ULONG requested)
{
    ULONG moved = 0;
    for (ULONG i = 0;; ++i) {
        if (moved == requested)
            return {USBD_STATUS_SUCCESS, moved, i};
        if (i == in.sizeCount)
            return {USBD_STATUS_PENDING, 0, 0};
        USHORT size = in.sizes[i];
        if (size > requested - moved)
            return {USBD_STATUS_BABBLE_DETECTED, requested, i + 1};
        moved += size;
        if (size < in.maxPacket)
            return {USBD_STATUS_SUCCESS, moved, i + 1};
    }
}

// What the device does now with the transfer at the head of the queue;
// without `commit` only whether it would end, with nothing moved. The
// interrupt endpoint (no peer, no ring) has nothing to say. g_bus.lock held.
Outcome Advance(Endpoint& endpoint, PURB urb, bool commit)
{
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    if (endpoint.halted)
        return {USBD_STATUS_ENDPOINT_HALTED, 0, 0};
    if (urb->UrbHeader.Status == kStallOnArrival) {
        endpoint.halted = commit;
        return {USBD_STATUS_STALL_PID, 0, 0};
    }
    if (endpoint.silent)
        return {USBD_STATUS_PENDING, 0, 0};
    UCHAR* buffer = BufferOf(transfer.TransferBufferMDL, transfer.TransferBuffer);
    if (endpoint.peer >= 0) {
        bool taken = Echo(endpoint, buffer, transfer.TransferBufferLength, commit);
        return {taken ? USBD_STATUS_SUCCESS : USBD_STATUS_PENDING, taken ? transfer.TransferBufferLength : 0, 0};
    }
    Outcome outcome = endpoint.ring != nullptr ? PlanIn(endpoint, transfer.TransferBufferLength)
                                                : Outcome{USBD_STATUS_PENDING, 0, 0};
    if (!commit || outcome.usbd == USBD_STATUS_PENDING)
        return outcome;
    ULONG consumed = 0;
    for (ULONG i = 0; i < outcome.packets; ++i)
        consumed += endpoint.sizes[i];
    RtlCopyMemory(buffer, endpoint.ring, outcome.moved);
    endpoint.ringBytes -= consumed;
    RtlMoveMemory(endpoint.ring, endpoint.ring + consumed, endpoint.ringBytes);
    endpoint.sizeCount -= outcome.packets;
    RtlMoveMemory(endpoint.sizes, endpoint.sizes + outcome.packets, endpoint.sizeCount * sizeof(USHORT));
    endpoint.halted = outcome.usbd == USBD_STATUS_BABBLE_DETECTED;
    return outcome;
}

// A held request's sender cancels it: it leaves its queue and ends as
// cancelled (a transfer with nothing moved). DISPATCH_LEVEL, cancel spin
// lock held.
void NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        Locked locked;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
    }
    CompleteIrp(irp, STATUS_CANCELLED);
    Changed();
}

// The bus thread: ends whatever transfers the device can end, each time
// something changed. PASSIVE_LEVEL. It lives as long as the driver host does.
void BusThread(PVOID)
{
    for (;;) {
        KeWaitForSingleObject(&g_bus.work, Executive, KernelMode, FALSE, nullptr);
        EndTransfers(nullptr, USBD_STATUS_PENDING);
    }
}

// The endpoint a pipe handle of the configuration (its address) names, or
// null. g_bus.lock held.
Endpoint* EndpointOfHandle(PVOID handle)
{
    for (auto& endpoint : g_bus.endpoints) {
        if (&endpoint == handle && g_bus.configured)
            return &endpoint;
    }
    return nullptr;
}

// The device and configuration descriptors; the device stalls any other.
// PASSIVE_LEVEL under Wine (DISPATCH_LEVEL at most on Windows), as every
// URB below.
NTSTATUS GetDescriptor(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    bool device = request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE;
    bool known = request.Index == 0 && (device || request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE);
    ULONG size = !known ? 0 : device ? sizeof kDeviceDescriptor : sizeof kConfigDescriptor;
    if (request.TransferBufferLength > size)
        request.TransferBufferLength = size;
    RtlCopyMemory(BufferOf(request.TransferBufferMDL, request.TransferBuffer),
                  device ? kDeviceDescriptor : kConfigDescriptor, request.TransferBufferLength);
    return CompleteUrb(irp, known ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
}

// Fills the caller's interface record for interface 0, which USBD's
// request builder laid out from the descriptor, and opens its pipes; the
// record must fit in the URB. g_bus.lock held.
USBD_STATUS Configure(PURB urb)
{
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    ULONG needed = 24 + 24 * kEndpointCount;
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    if (info->Length < needed || reinterpret_cast<UCHAR*>(info) + info->Length > end)
        return USBD_STATUS_BUFFER_TOO_SMALL;
    info->Class = 0xFF;
    info->NumberOfPipes = kEndpointCount;
    info->Length = needed;
    info->InterfaceHandle = urb->UrbSelectConfiguration.ConfigurationHandle = &g_bus;
    for (int i = 0; i < kEndpointCount; ++i) {
        const UCHAR* descriptor = kConfigDescriptor + 18 + 7 * i;
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.MaximumPacketSize = g_bus.endpoints[i].maxPacket;
        pipe.EndpointAddress = descriptor[2];
        pipe.Interval = descriptor[6];
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(descriptor[3] & 3);
        pipe.PipeHandle = &g_bus.endpoints[i];
    }
    return USBD_STATUS_SUCCESS;
}

// A new configuration (or none), like a port reset (no URB), ends every
// transfer in flight and clears every halt. PASSIVE_LEVEL.
NTSTATUS Restart(PIRP irp, PURB urb)
{
    EndTransfers(nullptr, USBD_STATUS_CANCELED);
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    {
        Locked locked;
        for (auto& endpoint : g_bus.endpoints)
            endpoint.halted = false;
        if (urb != nullptr) {
            bool none = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
            usbd = none ? USBD_STATUS_SUCCESS : Configure(urb);
            g_bus.configured = !none && USBD_SUCCESS(usbd);
        }
    }
    Changed();
    return urb == nullptr ? CompleteIrp(irp, STATUS_SUCCESS) : CompleteUrb(irp, usbd);
}

// A bulk or interrupt transfer: queued, pending until the device ends it
// (a stall picked now belongs to it), or refused at once, as on a halted
// endpoint.
NTSTATUS SubmitTransfer(PIRP irp, PURB urb)
{
    USBD_STATUS refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    {
        Locked locked;
        Endpoint* endpoint = EndpointOfHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle);
        if (endpoint != nullptr && endpoint->halted) {
            refusal = USBD_STATUS_ENDPOINT_HALTED;
        } else if (endpoint != nullptr) {
            urb->UrbHeader.Status = endpoint->stallNext ? kStallOnArrival : USBD_STATUS_PENDING;
            endpoint->stallNext = false;
            if (Hold(irp, &endpoint->queue)) {
                Changed();
                return STATUS_PENDING;
            }
            refusal = USBD_STATUS_CANCELED;
        }
    }
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    NTSTATUS status = CompleteUrb(irp, refusal);
    return refusal == USBD_STATUS_CANCELED ? STATUS_PENDING : status;
}

// ABORT_PIPE ends the pipe's transfers as cancelled; RESET_PIPE clears its halt.
NTSTATUS PipeRequest(PIRP irp, PURB urb)
{
    bool abort = urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE;
    Endpoint* endpoint = nullptr;
    {
        Locked locked;
        endpoint = EndpointOfHandle(urb->UrbPipeRequest.PipeHandle);
        if (endpoint != nullptr && !abort)
            endpoint->halted = false;
    }
    if (endpoint == nullptr)
        return CompleteUrb(irp, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (abort)
        EndTransfers(endpoint, USBD_STATUS_CANCELED);
    Changed();
    return CompleteUrb(irp, USBD_STATUS_SUCCESS);
}

// IOCTL_INTERNAL_USB_SUBMIT_URB: a gone device answers every URB at once;
// the URBs the function driver never sends are not supported.
NTSTATUS SubmitUrb(PIRP irp)
{
    PURB urb = UrbOf(irp);
    if (!g_bus.present)
        return CompleteUrb(irp, USBD_STATUS_DEVICE_GONE);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return Restart(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return SubmitTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: return PipeRequest(irp, urb);
    default: return CompleteUrb(irp, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

}  // namespace

// Completes an IRP the bus owns. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Passes on the status the request came with. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS KeepStatus(PIRP irp)
{
    return CompleteIrp(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

// Holds a request, pending, at the tail of `queue` until it ends or its
// sender cancels it; false when its sender has cancelled it already, and
// then it is not held. g_bus.lock held.
bool Hold(PIRP irp, LIST_ENTRY* queue)
{
    IoMarkIrpPending(irp);
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(irp, CancelHeld);
    if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr)
        return true;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return false;
}

// Ends the pending transfers (of one endpoint, or all), in order: all with
// `forced`, or with USBD_STATUS_PENDING those the device ends now. One being
// cancelled stays: its cancel routine takes it off the queue. Out of
// g_bus.lock; the transfers complete out of it too.
void EndTransfers(Endpoint* only, USBD_STATUS forced)
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    {
        Locked locked;
        for (auto& endpoint : g_bus.endpoints) {
            LIST_ENTRY* entry = only == nullptr || only == &endpoint ? endpoint.queue.Flink : &endpoint.queue;
            while (entry != &endpoint.queue) {
                PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
                PURB urb = UrbOf(irp);
                entry = entry->Flink;
                bool byDevice = forced == USBD_STATUS_PENDING;
                if (byDevice && Advance(endpoint, urb, false).usbd == USBD_STATUS_PENDING)
                    break;
                if (IoSetCancelRoutine(irp, nullptr) == nullptr)
                    continue;
                Outcome outcome = byDevice ? Advance(endpoint, urb, true) : Outcome{forced, 0, 0};
                RemoveEntryList(&irp->Tail.Overlay.ListEntry);
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.moved;
                urb->UrbHeader.Status = outcome.usbd;
                InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
            }
        }
    }
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        CompleteIrp(irp, NtStatusOf(UrbOf(irp)->UrbHeader.Status));
    }
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL on the child; the control codes the
// function driver never sends are not supported. PASSIVE_LEVEL under Wine.
NTSTATUS ChildInternalIoctl(PIRP irp)
{
    auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters;
    switch (parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *static_cast<ULONG*>(parameters.Others.Argument1) = g_bus.present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        return CompleteIrp(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return g_bus.present ? Restart(irp, nullptr) : CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    default: return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The device as it comes out of the box: unconfigured, nothing queued, no
// stall to come. PASSIVE_LEVEL.
void ResetDevice()
{
    Locked locked;
    g_bus.configured = false;
    g_bus.devicePowerState = PowerDeviceD0;
    for (auto& endpoint : g_bus.endpoints) {
        endpoint.halted = endpoint.stallNext = endpoint.silent = false;
        endpoint.ringBytes = endpoint.sizeCount = 0;
    }
}

// A fault of the endpoint at `address` (a TestBusStall, TestBusSilent or
// TestBusClearFault verb): its next transfer stalls, the one waiting if
// any; it NAKs until cleared; or it behaves again, a halt staying until a
// pipe reset. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS SetFault(ULONG verb, ULONG address)
{
    {
        Locked locked;
        Endpoint* endpoint = EndpointAt(address);
        if (endpoint == nullptr)
            return STATUS_INVALID_PARAMETER;
        LIST_ENTRY* waiting = IsListEmpty(&endpoint->queue) ? nullptr : endpoint->queue.Flink;
        if (verb == TestBusClearFault)
            endpoint->stallNext = endpoint->silent = false;
        else if (verb == TestBusSilent)
            endpoint->silent = true;
        else if (waiting != nullptr)
            UrbOf(CONTAINING_RECORD(waiting, IRP, Tail.Overlay.ListEntry))->UrbHeader.Status = kStallOnArrival;
        else
            endpoint->stallNext = true;
    }
    Changed();
    return STATUS_SUCCESS;
}

// Lays out the endpoints from the configuration descriptor, with packet
// buffers on each bulk IN endpoint that its OUT partner (listed before it)
// fills, and starts the bus thread. PASSIVE_LEVEL, from DriverEntry.
NTSTATUS StartDevice()
{
    KeInitializeSpinLock(&g_bus.lock);
    KeInitializeEvent(&g_bus.work, SynchronizationEvent, FALSE);
    KeInitializeEvent(&g_bus.changed, SynchronizationEvent, FALSE);
    InitializeListHead(&g_bus.waitWake);
    for (int i = 0; i < kEndpointCount; ++i) {
        const UCHAR* descriptor = kConfigDescriptor + 18 + 7 * i;
        Endpoint& endpoint = g_bus.endpoints[i];
        endpoint.address = descriptor[2];
        endpoint.maxPacket = static_cast<USHORT>(descriptor[4] | (descriptor[5] & 0x07) << 8);
        endpoint.peer = -1;
        InitializeListHead(&endpoint.queue);
        Endpoint* out = (descriptor[3] & 3) == USB_ENDPOINT_TYPE_BULK ? EndpointAt(endpoint.address & 0x7F) : nullptr;
        if ((endpoint.address & 0x80) == 0 || out == nullptr)
            continue;
        out->peer = i;
        endpoint.ring = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kRingBytes, kTag));
        endpoint.sizes = static_cast<USHORT*>(ExAllocatePoolWithTag(NonPagedPool, kRingPackets * sizeof(USHORT), kTag));
        if (endpoint.ring == nullptr || endpoint.sizes == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    ResetDevice();
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, BusThread, nullptr);
    if (NT_SUCCESS(status))
        ZwClose(thread);  // the thread runs on without the handle
    return status;
}

}  // namespace testbus
