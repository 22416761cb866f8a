// One request of the application side in flight: the IRP the I/O manager
// built for it, the buffers it described (system buffer, MDL), and the
// second stage of completion that copies output back and frees them. The
// I/O manager keeps a stack location of its own in every IRP it builds, so
// its completion routine runs after every driver's and takes the IRP back.
#pragma once

#include "emulator/machine.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace emu::app {

struct OpenFile;

// What the caller asks for; the I/O manager turns it into an IRP for the
// top of the file's device stack.
struct RequestShape {
    UCHAR major = 0;
    ULONG length = 0;            // read/write length
    ULONG code = 0;              // device control
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;      // read buffer, or device-control output buffer
    ULONG outputLength = 0;
    const void* writeData = nullptr;
    bool countsForClose = true;  // IRP_MJ_CLOSE waits for it
};

class AppRequest {
public:
    // The file's requests in flight learn of its completion through this.
    using OnFinished = std::function<void(const std::shared_ptr<OpenFile>&, AppRequest*)>;

    AppRequest(std::shared_ptr<OpenFile> file, RequestShape shape, OnFinished finished);

    // Builds the IRP and calls the top driver from the calling thread.
    // Afterwards the request is done or in flight; it stays alive until its
    // completion even if every owner lets go of it.
    void Send(std::shared_ptr<AppRequest> self);

    bool Done();
    bool WaitFor(std::chrono::milliseconds timeout);  // false on timeout
    // For synchronous requests: reports one that is still in flight after a
    // long time, with the blocked threads' story, and keeps waiting.
    void WaitForever();
    IoResult Result();
    std::vector<uint8_t> Data();
    void Cancel();  // IoCancelIrp while the IRP is live

    const std::shared_ptr<OpenFile>& File() const { return file_; }
    const RequestShape& Shape() const { return shape_; }

    // Owned copies of the caller's buffers, for overlapped requests.
    void OwnBuffers();
    // Ends the request without sending it (an invalid handle).
    void Refuse(NTSTATUS status) { Fail(status); }

private:
    friend NTSTATUS NTAPI AppRequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

    NTSTATUS Build(PDEVICE_OBJECT top, PIRP irp);
    NTSTATUS DescribeReadWrite(PDEVICE_OBJECT top, PIRP irp, PIO_STACK_LOCATION next);
    NTSTATUS DescribeDeviceControl(PIRP irp, PIO_STACK_LOCATION next);
    NTSTATUS AllocateSystemBuffer(PIRP irp, ULONG bytes);
    NTSTATUS LockCallerBuffer(PIRP irp, void* buffer, ULONG length, LOCK_OPERATION operation);
    void FinishBuffers(PIRP irp);  // the second stage of completion
    void Complete(PIRP irp);
    void Fail(NTSTATUS status);
    bool Finished() const { return completed_ && dispatched_; }  // mutex_ held

    std::shared_ptr<OpenFile> file_;
    RequestShape shape_;
    OnFinished finished_;
    std::vector<uint8_t> ownedInput_;
    std::vector<uint8_t> ownedOutput_;

    // Set while building, read by the completion routine.
    PVOID systemBuffer_ = nullptr;
    bool copyBack_ = false;     // buffered output goes back to shape_.output
    bool bufferedControl_ = false;

    std::mutex mutex_;
    std::condition_variable done_;
    std::shared_ptr<AppRequest> self_;  // until completion; guarded by mutex_
    PIRP irp_ = nullptr;                // while it may be cancelled; guarded by mutex_
    int cancellers_ = 0;                // IoCancelIrp calls in progress; guarded by mutex_
    bool finishing_ = false;            // the completion routine has begun; guarded by mutex_
    bool completed_ = false;            // guarded by mutex_
    bool dispatched_ = false;           // IofCallDriver has returned; guarded by mutex_
    NTSTATUS dispatchStatus_ = STATUS_PENDING;  // guarded by mutex_
    IO_STATUS_BLOCK ioStatus_{};        // guarded by mutex_
};

}  // namespace emu::app
