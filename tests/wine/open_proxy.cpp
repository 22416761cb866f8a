// What Wine 8.0's I/O manager lacks to open a name below a device object.
// An open of the control device that follows a TestBusNameNextOpen carries
// that name in its file object, and it and every later request on its
// handle go on, the same IRP, to the top of the child's stack, as if the
// application had opened \\.\pondrel\NAME on Windows.
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// Names handed to file objects, so that each file object gets its own name
// back before Wine frees it. A record with no file is free.
struct GivenName {
    PFILE_OBJECT file;
    UNICODE_STRING original;
    WCHAR name[PONDREL_TEST_BUS_NAME_CHARS];
};

GivenName g_given[64];
WCHAR g_nextName[PONDREL_TEST_BUS_NAME_CHARS];  // empty once an open took it
NTSTATUS g_lastOpenStatus = STATUS_OBJECT_NAME_NOT_FOUND;

// The name given to `file`, or a free record for null.
GivenName* GivenTo(PFILE_OBJECT file)
{
    for (auto& given : g_given) {
        if (given.file == file)
            return &given;
    }
    return nullptr;
}

// The file object gets its own name back, and the record is free.
void TakeBack(GivenName* given)
{
    given->file->FileName = given->original;
    given->file = nullptr;
}

// The function driver's device on top of the child, referenced; null when
// the child or its driver is gone.
PDEVICE_OBJECT FunctionDevice()
{
    PDEVICE_OBJECT top = g_bus.child != nullptr ? IoGetAttachedDeviceReference(g_bus.child) : nullptr;
    if (top == nullptr || top != g_bus.child)
        return top;
    ObDereferenceObject(top);
    return nullptr;
}

// After the function driver: keeps the status it gave an open; a handle it
// refused is the control device's own from then on.
NTSTATUS Passed(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    bool open = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    if (open)
        g_lastOpenStatus = irp->IoStatus.Status;
    if (open && !NT_SUCCESS(irp->IoStatus.Status))
        TakeBack(static_cast<GivenName*>(context));
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

// An open takes the kept name into its file object, as its FileName, in
// `given` (none when null); the name is used up either way.
GivenName* GiveName(GivenName* given, PFILE_OBJECT file)
{
    if (given != nullptr) {
        *given = {file, file->FileName, {}};
        RtlCopyMemory(given->name, g_nextName, sizeof g_nextName);
        RtlInitUnicodeString(&file->FileName, given->name);
    }
    g_nextName[0] = 0;
    g_lastOpenStatus = STATUS_NO_SUCH_DEVICE;  // until the driver answers
    return given;
}

}  // namespace

// Keeps the name for the next open of the control device, or answers the
// status the driver gave the last open that carried one. PASSIVE_LEVEL.
NTSTATUS OpenVerb(const PondrelTestBusCommand& command)
{
    if (command.verb == TestBusLastOpenStatus)
        return g_lastOpenStatus;
    RtlCopyMemory(g_nextName, command.name, sizeof g_nextName);
    g_nextName[PONDREL_TEST_BUS_NAME_CHARS - 1] = 0;
    return g_nextName[0] != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// Whether a request on the control device is the function driver's: an
// open while a name is kept, or a request on a handle such an open gave.
bool IsProxied(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE)
        return g_nextName[0] != 0;
    return stack->FileObject != nullptr && GivenTo(stack->FileObject) != nullptr;
}

// Every request that IsProxied picks: the same request goes to the
// function driver; with the driver gone, it fails (closing succeeds).
// PASSIVE_LEVEL under Wine, as everything here.
NTSTATUS ProxyDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    PDEVICE_OBJECT target = FunctionDevice();
    GivenName* given = GivenTo(stack->FileObject);
    if (major == IRP_MJ_CREATE)
        given = GiveName(target != nullptr ? GivenTo(nullptr) : nullptr, stack->FileObject);
    if (target == nullptr || given == nullptr) {
        if (target != nullptr)
            ObDereferenceObject(target);
        if (major == IRP_MJ_CLOSE && given != nullptr)
            TakeBack(given);
        bool closing = major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        return CompleteIrp(irp, closing ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
    }
    // Reads and writes are built for this device's I/O method: the driver's.
    constexpr ULONG kMethods = DO_BUFFERED_IO | DO_DIRECT_IO;
    device->Flags = (device->Flags & ~kMethods) | (target->Flags & kMethods);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Passed, given, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(target, irp);
    ObDereferenceObject(target);
    if (major == IRP_MJ_CLOSE)
        TakeBack(given);  // its own name back, before Wine frees it
    return status;
}

}  // namespace testbus
