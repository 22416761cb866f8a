// Fixtures and client for the emulated bus's tests; see usb_fixture.h.
#include "tests/usb/usb_fixture.h"

#include <cstring>
#include <numeric>

namespace usb_test {

void BusFixture::SetUp()
{
    emu::usb::BusStartup();
    device_ = emu::usb::Bus::Instance().Plug(Model());
    ASSERT_NE(device_, nullptr);
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
    SelectRequest request(device_->Model().configDescriptor);
    pipes_.clear();
    if (request.urb != nullptr && request.list.size() > 1 && SubmitUrb(Pdo(), request.urb) == STATUS_SUCCESS) {
        const auto& interface = request.Interface(0);
        pipes_.assign(interface.Pipes, interface.Pipes + interface.NumberOfPipes);
    }
    EXPECT_FALSE(pipes_.empty()) << "the model's configuration was not selected";
    return pipes_;
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

emu::usb::DeviceModel QuietDevice::Model()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.endpoints.clear();
    return model;
}

void QuietDevice::SetUp()
{
    BusFixture::SetUp();
    ASSERT_FALSE(Configure().empty());
}

PoolUrb::PoolUrb(size_t size) : urb(static_cast<PURB>(PoolCopy(std::vector<uint8_t>(size)))) {}

BulkUrb::BulkUrb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags)
    : PoolUrb(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
{
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           length, flags, nullptr);
}

std::pair<NTSTATUS, USBD_STATUS> SendBulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                                          ULONG flags)
{
    BulkUrb urb(pipe, buffer, length, flags);
    return {SubmitUrb(pdo, urb.urb), urb.Status()};
}

PipeUrb::PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) : PoolUrb(sizeof(struct _URB_PIPE_REQUEST))
{
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
}

DescriptorUrb::DescriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length)
    : PoolUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
{
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer, nullptr,
                                 length, nullptr);
}

SelectRequest::SelectRequest(const std::vector<uint8_t>& descriptor)
    : config(static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolCopy(descriptor)))
{
    for (LONG number = 0; number < 256 && list.size() < config->bNumInterfaces; ++number) {
        if (auto* found = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1)) {
            list.push_back({found, nullptr});
        }
    }
    list.push_back({nullptr, nullptr});
    urb = USBD_CreateConfigurationRequestEx(config, list.data());
}

SelectRequest::~SelectRequest()
{
    if (urb != nullptr) {
        ExFreePool(urb);
    }
    ExFreePool(config);
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
    const NTSTATUS status = IofCallDriver(pdo, irp);
    if (status != STATUS_PENDING) {
        return status;
    }
    LARGE_INTEGER timeout{.QuadPart = -10'000LL * std::chrono::duration_cast<std::chrono::milliseconds>(kWait).count()};
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        ADD_FAILURE() << "internal request 0x" << std::hex << code << " never completed";
        return STATUS_TIMEOUT;
    }
    return iosb.Status;
}

AsyncRequest::AsyncRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const Setup& setup, bool fromAbove)
    : target_(target), irp_(IoAllocateIrp(static_cast<CCHAR>(target->StackSize + (fromAbove ? 1 : 0)), FALSE))
{
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (fromAbove) {
        IoSetNextIrpStackLocation(irp_);
        IoGetCurrentIrpStackLocation(irp_)->DeviceObject = target;
    }
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

// Records the outcome before waking a waiter, and keeps the IRP for the
// object to free.
NTSTATUS AsyncRequest::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<AsyncRequest*>(context);
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    self->completed_.set_value();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), seed);
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
