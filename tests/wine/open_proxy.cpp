// The open device: what Wine 8.0's I/O manager lacks to open a name below a
// device object. A handle opened here carries the name the control device
// was last given in its file object, and every request on it goes on, the
// same IRP, to the top of the child's stack, as if the application had
// opened \\.\pondrel\NAME on Windows.
#include "tests/wine/test_bus.h"

namespace testbus {
namespace {

// Names handed to file objects, so that the file object gets its own name
// back before Wine frees it.
struct GivenName {
    PFILE_OBJECT file;
    UNICODE_STRING original;
    WCHAR name[PONDREL_TEST_BUS_NAME_CHARS];
    NTSTATUS openStatus;
};

GivenName g_given[64];
WCHAR g_nextName[PONDREL_TEST_BUS_NAME_CHARS];  // empty once an open took it
NTSTATUS g_lastOpenStatus = STATUS_OBJECT_NAME_NOT_FOUND;

// The name given to `file`, or null.
GivenName* GivenTo(PFILE_OBJECT file)
{
    for (auto& given : g_given) {
        if (given.file == file)
            return &given;
    }
    return nullptr;
}

// Keeps the status the driver gave the open.
NTSTATUS OpenDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    static_cast<GivenName*>(context)->openStatus = irp->IoStatus.Status;
    g_lastOpenStatus = irp->IoStatus.Status;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

// Gives the kept name to the new file object, as its FileName, and sends
// the open on, keeping its status.
NTSTATUS Open(PDEVICE_OBJECT device, PDEVICE_OBJECT target, PIRP irp)
{
    // Reads and writes are built for this device's I/O method: the driver's.
    device->Flags = (device->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) |
                    (target->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO));
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    GivenName* given = g_nextName[0] != 0 ? GivenTo(nullptr) : nullptr;
    if (given != nullptr) {
        *given = {file, file->FileName, {}, STATUS_PENDING};
        RtlCopyMemory(given->name, g_nextName, sizeof g_nextName);
        RtlInitUnicodeString(&file->FileName, given->name);
    }
    g_nextName[0] = 0;
    if (given == nullptr) {
        g_lastOpenStatus = STATUS_OBJECT_NAME_INVALID;
        return CompleteIrp(irp, STATUS_OBJECT_NAME_INVALID);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OpenDone, given, TRUE, TRUE, TRUE);
    return IoCallDriver(target, irp);
}

}  // namespace

// Keeps the name for the next open of the open device, or answers the
// status the driver gave the last open there. PASSIVE_LEVEL.
NTSTATUS OpenVerb(const PondrelTestBusCommand& command)
{
    if (command.verb == TestBusLastOpenStatus)
        return g_lastOpenStatus;
    RtlCopyMemory(g_nextName, command.name, sizeof g_nextName);
    g_nextName[PONDREL_TEST_BUS_NAME_CHARS - 1] = 0;
    return g_nextName[0] != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// Every request on the open device. PASSIVE_LEVEL under Wine, as everything
// here.
NTSTATUS ProxyDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    PFILE_OBJECT file = stack->FileObject;
    GivenName* given = GivenTo(file);
    bool opened = major == IRP_MJ_CREATE || (given != nullptr && NT_SUCCESS(given->openStatus));
    // The function driver's device on top of the child, referenced; none
    // when the child or its driver is gone.
    PDEVICE_OBJECT target = opened && g_bus.child != nullptr ? IoGetAttachedDeviceReference(g_bus.child) : nullptr;
    if (target != nullptr && target == g_bus.child) {
        ObDereferenceObject(target);
        target = nullptr;
    }
    NTSTATUS status;
    if (target == nullptr) {
        bool closing = major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        if (major == IRP_MJ_CREATE)
            g_lastOpenStatus = STATUS_NO_SUCH_DEVICE;
        status = CompleteIrp(irp, closing ? STATUS_SUCCESS : opened ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_HANDLE);
    } else if (major == IRP_MJ_CREATE) {
        status = Open(device, target, irp);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(target, irp);
    }
    if (target != nullptr)
        ObDereferenceObject(target);
    if (major == IRP_MJ_CLOSE && given != nullptr) {
        file->FileName = given->original;  // its own name back, before Wine frees it
        given->file = nullptr;
    }
    return status;
}

}  // namespace testbus
