// Fixtures and client for the emulated bus's tests; see usb_fixture.h.
#include "tests/usb/usb_fixture.h"

#include "emulator/usb/descriptor_walk.h"

#include <cstring>

namespace usb_test {

constexpr ULONG TestPoolTag = 0x74736554;  // "Test"

void BusFixture::SetUp()
{
    emu::usb::BusStartup();
    device_ = emu::usb::Bus::Instance().Plug(Model());
    ASSERT_NE(device_, nullptr);
    ASSERT_NE(device_->Pdo(), nullptr);
}

void BusFixture::TearDown()
{
    if (device_ != nullptr) {
        emu::usb::Bus::Instance().Unplug(device_);
    }
    emu::usb::BusShutdown();
    device_.reset();
}

std::vector<USBD_PIPE_INFORMATION> BusFixture::Configure()
{
    const auto& bytes = device_->Model().configDescriptor;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolCopy(bytes));
    auto parsed = emu::usb::ParseConfiguration(bytes.data(), bytes.size());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (UCHAR number = 0; parsed && list.size() < parsed->header.bNumInterfaces; ++number) {
        auto* found = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1);
        if (found != nullptr) {
            list.push_back({found, nullptr});
        }
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    EXPECT_NE(urb, nullptr);
    std::vector<USBD_PIPE_INFORMATION> pipes;
    if (urb != nullptr) {
        EXPECT_EQ(SubmitUrb(Pdo(), urb), STATUS_SUCCESS);
        const auto& interface = urb->UrbSelectConfiguration.Interface;
        pipes.assign(interface.Pipes, interface.Pipes + interface.NumberOfPipes);
        ExFreePool(urb);
    }
    ExFreePool(config);
    pipes_ = pipes;
    return pipes;
}

USBD_PIPE_HANDLE BusFixture::PipeFor(uint8_t endpoint)
{
    for (const auto& pipe : pipes_) {
        if (pipe.EndpointAddress == endpoint) {
            return pipe.PipeHandle;
        }
    }
    ADD_FAILURE() << "no pipe for endpoint " << int(endpoint);
    return nullptr;
}

BulkUrb::BulkUrb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags)
{
    urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TestPoolTag));
    std::memset(urb, 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           length, flags, nullptr);
}

BulkUrb::~BulkUrb()
{
    ExFreePool(urb);
}

PipeUrb::PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe)
{
    urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), TestPoolTag));
    std::memset(urb, 0, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

PipeUrb::~PipeUrb()
{
    ExFreePool(urb);
}

NTSTATUS SendInternal(PDEVICE_OBJECT pdo, ULONG code, void* argument1)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10'000LL * std::chrono::duration_cast<std::chrono::milliseconds>(kWait).count();
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ADD_FAILURE() << "internal request 0x" << std::hex << code << " never completed";
            return STATUS_TIMEOUT;
        }
        status = iosb.Status;
    }
    return status;
}

AsyncRequest::AsyncRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const Setup& setup) : target_(target)
{
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) {
        setup(next);
    }
    IoSetCompletionRoutine(irp_, &AsyncRequest::OnComplete, this, TRUE, TRUE, TRUE);
}

std::unique_ptr<AsyncRequest> AsyncRequest::Urb(PDEVICE_OBJECT target, PURB urb)
{
    return std::make_unique<AsyncRequest>(target, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [urb](PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
    });
}

AsyncRequest::~AsyncRequest()
{
    if (!Wait(kWait)) {
        ADD_FAILURE() << "request still in flight at the end of the test";
        return;  // never free an IRP someone else still owns
    }
    IoFreeIrp(irp_);
}

NTSTATUS AsyncRequest::Send()
{
    return IofCallDriver(target_, irp_);
}

NTSTATUS AsyncRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<AsyncRequest*>(context);
    std::lock_guard lock(self->mutex_);
    self->completed_ = true;
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    self->done_.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool AsyncRequest::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, timeout, [this] { return completed_; });
}

bool AsyncRequest::Completed()
{
    std::lock_guard lock(mutex_);
    return completed_;
}

NTSTATUS AsyncRequest::Status()
{
    std::lock_guard lock(mutex_);
    return status_;
}

KIRQL AsyncRequest::CompletionIrql()
{
    std::lock_guard lock(mutex_);
    return irql_;
}

bool AsyncRequest::Cancel()
{
    return IoCancelIrp(irp_) != FALSE;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i);
    }
    return bytes;
}

void* PoolCopy(const std::vector<uint8_t>& bytes)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, bytes.empty() ? 1 : bytes.size(), TestPoolTag);
    if (!bytes.empty()) {
        std::memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

}  // namespace usb_test
