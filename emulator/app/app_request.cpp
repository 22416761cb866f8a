#include "emulator/app/app_request.h"

#include "emulator/app/open_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu::app {
namespace {

constexpr ULONG SystemBufferTag = 0x62536F49;  // "IoSb"
constexpr auto ReportAfter = std::chrono::seconds(30);

std::string Describe(UCHAR major, PFILE_OBJECT file)
{
    char text[64];
    std::snprintf(text, sizeof(text), "major 0x%02X, file object %p", major, static_cast<void*>(file));
    return text;
}

ULONG IrpFlagsFor(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    case IRP_MJ_CLOSE: return IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    case IRP_MJ_READ: return IRP_READ_OPERATION;
    case IRP_MJ_WRITE: return IRP_WRITE_OPERATION;
    default: return 0;
    }
}

}  // namespace

AppRequest::AppRequest(std::shared_ptr<OpenFile> file, RequestShape shape, OnFinished finished)
    : file_(std::move(file)), shape_(shape), finished_(std::move(finished))
{
}

void AppRequest::OwnBuffers()
{
    if (shape_.writeData != nullptr) {
        auto data = static_cast<const uint8_t*>(shape_.writeData);
        ownedInput_.assign(data, data + shape_.length);
        shape_.writeData = ownedInput_.data();
    }
    if (shape_.input != nullptr) {
        auto data = static_cast<const uint8_t*>(shape_.input);
        ownedInput_.assign(data, data + shape_.inputLength);
        shape_.input = ownedInput_.data();
    }
    ULONG outputBytes = shape_.major == IRP_MJ_READ ? shape_.length : shape_.outputLength;
    if (outputBytes != 0) {
        ownedOutput_.assign(outputBytes, 0);
        shape_.output = ownedOutput_.data();
    }
}

// The I/O manager's completion routine, in its own stack location (no
// device object there, so it runs as the I/O manager's code): the second
// stage of completion, then the IRP is freed unless a cancel is still
// looking at it. Up to DISPATCH_LEVEL, in whatever thread completed it.
NTSTATUS NTAPI AppRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)DeviceObject;
    static_cast<AppRequest*>(Context)->Complete(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void AppRequest::Complete(PIRP irp)
{
    FinishBuffers(irp);
    std::shared_ptr<AppRequest> self;
    bool freeNow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ioStatus_ = irp->IoStatus;
        finishing_ = true;
        freeNow = cancellers_ == 0;
        if (freeNow) {
            irp_ = nullptr;
        }
        self = self_;
    }
    if (freeNow) {
        IoFreeIrp(irp);
    }
    if (finished_) {
        finished_(file_, this);  // before the waiter wakes, so that a close right after sees it done
    }
    std::lock_guard<std::mutex> lock(mutex_);
    completed_ = true;
    self_.reset();
    done_.notify_all();
}

// What the I/O manager does in the requesting thread's APC on Windows:
// copies buffered output back (only for a status that is not an error),
// frees the system buffer, unlocks the caller's pages and frees the MDL.
void AppRequest::FinishBuffers(PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (bufferedControl_ && NT_ERROR(status) && information != 0) {
        verifier::Report("non-zero Information with an error status", "IofCompleteRequest",
                         Describe(shape_.major, file_->file));
    }
    if (systemBuffer_ != nullptr) {
        if (copyBack_ && !NT_ERROR(status)) {
            ULONG capacity = shape_.major == IRP_MJ_READ ? shape_.length : shape_.outputLength;
            if (information > capacity) {
                verifier::Report("Information exceeds the caller's output buffer", "IofCompleteRequest",
                                 Describe(shape_.major, file_->file) + ": " + std::to_string(information) + " > " +
                                     std::to_string(capacity));
                information = capacity;  // copying more would overrun the caller's buffer
            }
            std::memcpy(shape_.output, systemBuffer_, information);
        }
        ExFreePool(systemBuffer_);
        systemBuffer_ = nullptr;
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
    }
}

// A request that never reached a driver: it is finished for the file's
// close accounting too, or the close it holds back would never be sent.
void AppRequest::Fail(NTSTATUS status)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ioStatus_.Status = status;
        ioStatus_.Information = 0;
        dispatchStatus_ = status;
    }
    if (finished_) {
        finished_(file_, this);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    completed_ = true;
    dispatched_ = true;
    done_.notify_all();
}

// The system service's part: an IRP with one location more than the stack
// needs (the I/O manager's own), built and handed to the top of the file's
// device stack from the calling thread. A request that cannot be built
// ends at once with the reason, as NtReadFile would return it. Cleanup and
// close cannot fail: like the I/O manager's must-succeed allocation, they
// try again when an injected fault took the first IRP (faults are one-shot).
void AppRequest::Send(std::shared_ptr<AppRequest> self)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file_->named);
    const CCHAR stackSize = static_cast<CCHAR>(top->StackSize + 1);
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    const bool mustSucceed = shape_.major == IRP_MJ_CLEANUP || shape_.major == IRP_MJ_CLOSE;
    if (irp == nullptr && mustSucceed) {
        irp = IoAllocateIrp(stackSize, FALSE);
    }
    if (irp == nullptr) {
        ObDereferenceObject(top);
        Fail(STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    NTSTATUS built = Build(top, irp);
    if (!NT_SUCCESS(built)) {
        FinishBuffers(irp);
        IoFreeIrp(irp);
        ObDereferenceObject(top);
        Fail(built);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        self_ = std::move(self);
        irp_ = irp;
    }
    IoSetCompletionRoutine(irp, AppRequestCompletion, this, TRUE, TRUE, TRUE);
    const NTSTATUS status = IofCallDriver(top, irp);
    ObDereferenceObject(top);

    std::lock_guard<std::mutex> lock(mutex_);
    dispatchStatus_ = status;
    dispatched_ = true;
    if (status != STATUS_PENDING && completed_ && status != ioStatus_.Status) {
        verifier::Report("dispatch routine returned a status other than the one it completed the request with",
                         "IofCallDriver", Describe(shape_.major, file_->file));
    }
    done_.notify_all();
}

// Fills the IRP as the system services do: the I/O manager's own location,
// then the top driver's location with the major function, the file object
// and the buffers as the device object's flags and the control code ask.
NTSTATUS AppRequest::Build(PDEVICE_OBJECT top, PIRP irp)
{
    IoSetNextIrpStackLocation(irp);
    irp->RequestorMode = UserMode;
    irp->Flags = IrpFlagsFor(shape_.major);
    irp->Tail.Overlay.OriginalFileObject = file_->file;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = shape_.major;
    next->FileObject = file_->file;
    switch (shape_.major) {
    case IRP_MJ_CREATE:
        next->Parameters.Create.Options = static_cast<ULONG>(FILE_OPEN) << 24;
        next->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        return STATUS_SUCCESS;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        return DescribeReadWrite(top, irp, next);
    case IRP_MJ_DEVICE_CONTROL:
        return DescribeDeviceControl(irp, next);
    default:
        return STATUS_SUCCESS;
    }
}

NTSTATUS AppRequest::AllocateSystemBuffer(PIRP irp, ULONG bytes)
{
    systemBuffer_ = ExAllocatePoolWithTag(NonPagedPool, bytes, SystemBufferTag);
    if (systemBuffer_ == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->AssociatedIrp.SystemBuffer = systemBuffer_;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return STATUS_SUCCESS;
}

NTSTATUS AppRequest::LockCallerBuffer(PIRP irp, void* buffer, ULONG length, LOCK_OPERATION operation)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(mdl, UserMode, operation);
    return STATUS_SUCCESS;
}

// Buffered devices get a system buffer, direct-I/O devices an MDL for the
// caller's buffer, others the caller's address. A zero length gets neither
// buffer nor MDL.
NTSTATUS AppRequest::DescribeReadWrite(PDEVICE_OBJECT top, PIRP irp, PIO_STACK_LOCATION next)
{
    const bool read = shape_.major == IRP_MJ_READ;
    next->Parameters.Read.Length = shape_.length;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    void* callerBuffer = read ? shape_.output : const_cast<void*>(shape_.writeData);
    irp->UserBuffer = callerBuffer;
    if (shape_.length == 0) {
        return STATUS_SUCCESS;
    }
    if (top->Flags & DO_BUFFERED_IO) {
        NTSTATUS status = AllocateSystemBuffer(irp, shape_.length);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (read) {
            irp->Flags |= IRP_INPUT_OPERATION;
            copyBack_ = true;
        } else {
            std::memcpy(systemBuffer_, shape_.writeData, shape_.length);
        }
        return STATUS_SUCCESS;
    }
    if (top->Flags & DO_DIRECT_IO) {
        return LockCallerBuffer(irp, callerBuffer, shape_.length, read ? IoWriteAccess : IoReadAccess);
    }
    return STATUS_SUCCESS;
}

// By the control code's method: METHOD_BUFFERED shares one system buffer
// of max(in, out) bytes; the direct methods put the input in a system
// buffer and describe the output buffer with an MDL; METHOD_NEITHER passes
// the caller's addresses.
NTSTATUS AppRequest::DescribeDeviceControl(PIRP irp, PIO_STACK_LOCATION next)
{
    next->Parameters.DeviceIoControl.IoControlCode = shape_.code;
    next->Parameters.DeviceIoControl.InputBufferLength = shape_.inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = shape_.outputLength;
    irp->UserBuffer = shape_.output;
    const ULONG method = METHOD_FROM_CTL_CODE(shape_.code);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(shape_.input);
        return STATUS_SUCCESS;
    }
    if (method == METHOD_BUFFERED) {
        bufferedControl_ = true;
        const ULONG bytes = std::max(shape_.inputLength, shape_.outputLength);
        if (bytes == 0) {
            return STATUS_SUCCESS;
        }
        NTSTATUS status = AllocateSystemBuffer(irp, bytes);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::memset(systemBuffer_, 0, bytes);
        if (shape_.inputLength != 0) {
            std::memcpy(systemBuffer_, shape_.input, shape_.inputLength);
        }
        if (shape_.outputLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            copyBack_ = true;
        }
        return STATUS_SUCCESS;
    }
    if (shape_.inputLength != 0) {
        NTSTATUS status = AllocateSystemBuffer(irp, shape_.inputLength);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::memcpy(systemBuffer_, shape_.input, shape_.inputLength);
    }
    if (shape_.outputLength == 0) {
        return STATUS_SUCCESS;
    }
    return LockCallerBuffer(irp, shape_.output, shape_.outputLength,
                            method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess);
}

bool AppRequest::Done()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return Finished();
}

bool AppRequest::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return done_.wait_for(lock, timeout, [this] { return Finished(); });
}

// A synchronous request: the caller's buffers are described by the IRP, so
// the caller may not go on before it completes, however long that takes.
void AppRequest::WaitForever()
{
    if (WaitFor(ReportAfter)) {
        return;
    }
    verifier::Report("request never completed", "App", Describe(shape_.major, file_->file) + "\n" +
                                                          threads::DescribeBlocked());
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return Finished(); });
}

// The status a caller sees: the dispatch routine's, unless it returned
// STATUS_PENDING, then the one the request completed with.
IoResult AppRequest::Result()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Finished()) {
        return {STATUS_PENDING, 0};
    }
    NTSTATUS status = dispatchStatus_ == STATUS_PENDING ? ioStatus_.Status : dispatchStatus_;
    return {status, ioStatus_.Information};
}

// Information bytes of the caller's output buffer. Buffered output was not
// copied back for an error status; with direct I/O the driver wrote the
// caller's memory itself, whatever the status.
std::vector<uint8_t> AppRequest::Data()
{
    IoResult result = Result();
    if (shape_.output == nullptr || (copyBack_ && NT_ERROR(result.status))) {
        return {};
    }
    ULONG capacity = shape_.major == IRP_MJ_READ ? shape_.length : shape_.outputLength;
    size_t bytes = std::min<ULONG_PTR>(result.information, capacity);
    auto data = static_cast<const uint8_t*>(shape_.output);
    return std::vector<uint8_t>(data, data + bytes);
}

// CancelIoEx on this request: IoCancelIrp while the IRP still exists. The
// completion routine leaves the freeing to a cancel in progress.
void AppRequest::Cancel()
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (irp_ == nullptr || finishing_) {
            return;
        }
        irp = irp_;
        ++cancellers_;
    }
    IoCancelIrp(irp);
    bool freeNow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --cancellers_;
        freeNow = finishing_ && cancellers_ == 0 && irp_ != nullptr;
        if (freeNow) {
            irp_ = nullptr;
        }
    }
    if (freeNow) {
        IoFreeIrp(irp);
    }
}

}  // namespace emu::app
