// Fixtures for the emulated bus's own tests: a kernel with the verifier
// watched, the bus with one plugged device, and a tiny client that talks to
// the device's PDO the way a function driver would (internal device-control
// requests carrying URBs), synchronously or with the request in flight.
#pragma once

#include "emulator/kernel/system.h"
#include "emulator/usb/usb_api.h"
#include "emulator/usb/usb_device.h"
#include "tests/support/kernel_test.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace usb_test {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // a request not completed by then has hung

// A kernel per test, with the verifier failing the test on any finding it
// did not expect (ExpectFinding) and the watchdog.
using KernelFixture = emu::test::KernelTest;
using emu::test::ExpectFinding;

constexpr ULONG TestPoolTag = 0x74736554;  // "Test"

// Sends one internal device-control request the way SubmitUrbSync does
// (IoBuildDeviceIoControlRequest, wait on the event only when pending).
// PASSIVE_LEVEL.
NTSTATUS SendInternal(PDEVICE_OBJECT pdo, ULONG code, void* argument1 = nullptr);
inline NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PURB urb)
{
    return SendInternal(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// A URB in a zeroed pool block of `size` bytes, as a driver builds one;
// freed with the object. The others fill it as the bus library would.
struct PoolUrb {
    explicit PoolUrb(size_t size);
    ~PoolUrb() { ExFreePool(urb); }
    PURB urb;
};
struct BulkUrb : PoolUrb {
    BulkUrb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags);
    ULONG Transferred() const { return urb->UrbBulkOrInterruptTransfer.TransferBufferLength; }
    USBD_STATUS Status() const { return urb->UrbHeader.Status; }
};
struct PipeUrb : PoolUrb {  // abort or reset
    PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);
};
struct DescriptorUrb : PoolUrb {
    DescriptorUrb(UCHAR type, UCHAR index, void* buffer, ULONG length);
};

// Sends a bulk transfer on `pipe` and waits for it: the request's status
// and the URB's.
std::pair<NTSTATUS, USBD_STATUS> SendBulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length,
                                          ULONG flags = 0);

// A select-configuration URB built by the bus library from a pool copy of
// `descriptor`, with every interface at alternate setting 0.
struct SelectRequest {
    explicit SelectRequest(const std::vector<uint8_t>& descriptor);
    ~SelectRequest();
    USBD_INTERFACE_INFORMATION& Interface(size_t k) { return *list[k].Interface; }

    PUSB_CONFIGURATION_DESCRIPTOR config;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PURB urb;
};

// A kernel, the bus and one plugged device.
class BusFixture : public KernelFixture {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual emu::usb::DeviceModel Model() { return emu::usb::DeviceModel::Builtin(); }

    emu::usb::UsbDevice& device() { return *device_; }
    PDEVICE_OBJECT Pdo() { return device_->Pdo(); }

    // Selects the model's configuration (every interface at alternate 0)
    // and returns the pipes of the first interface; fails the test otherwise.
    std::vector<USBD_PIPE_INFORMATION> Configure();
    USBD_PIPE_HANDLE PipeFor(uint8_t endpoint);
    // Sends a built URB and waits for it: the request's status and the URB's.
    std::pair<NTSTATUS, USBD_STATUS> SendUrb(PURB urb) { return {SubmitUrb(Pdo(), urb), urb->UrbHeader.Status}; }
    std::pair<NTSTATUS, USBD_STATUS> SendUrb(const PoolUrb& built) { return SendUrb(built.urb); }

    std::shared_ptr<emu::usb::UsbDevice> device_;
    std::vector<USBD_PIPE_INFORMATION> pipes_;
};

// The built-in device, configured, with no endpoint behaviour: OUT endpoints
// sink, IN endpoints stay silent until the test queues data.
class QuietDevice : public BusFixture {
protected:
    emu::usb::DeviceModel Model() override;
    void SetUp() override;
};

// A configured device in each completion mode.
template <typename Base>
class InEachMode : public Base, public ::testing::WithParamInterface<emu::usb::CompletionMode> {
protected:
    void SetUp() override
    {
        Base::SetUp();
        this->device().SetCompletionMode(this->GetParam());
        if (this->pipes_.empty()) {
            ASSERT_FALSE(this->Configure().empty());
        }
    }
};
inline std::string ModeName(const ::testing::TestParamInfo<emu::usb::CompletionMode>& info)
{
    return std::array{"BusThread", "Synchronous", "Held"}[static_cast<int>(info.param)];  // in the enum's order
}

// A request the test keeps in flight: allocated with IoAllocateIrp, its
// completion routine records the outcome and keeps the IRP
// (STATUS_MORE_PROCESSING_REQUIRED); freed when the object goes.
class AsyncRequest {
public:
    using Setup = std::function<void(PIO_STACK_LOCATION)>;
    // `fromAbove`: the IRP carries a stack location for a driver above
    // `target` that passes it down.
    AsyncRequest(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, const Setup& setup, bool fromAbove = false);
    static std::unique_ptr<AsyncRequest> Urb(PDEVICE_OBJECT target, PURB urb);
    ~AsyncRequest();

    NTSTATUS Send() { return IofCallDriver(target_, irp_); }
    bool Wait(std::chrono::milliseconds timeout = kWait) { return done_.wait_for(timeout) == std::future_status::ready; }
    bool Completed() { return Wait(0ms); }
    NTSTATUS Status() { return status_; }
    KIRQL CompletionIrql() { return irql_; }
    bool Cancel() { return IoCancelIrp(irp_) != FALSE; }
    PIRP Irp() { return irp_; }

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);

    PDEVICE_OBJECT target_;
    PIRP irp_;
    std::promise<void> completed_;
    std::shared_future<void> done_ = completed_.get_future().share();
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    std::atomic<KIRQL> irql_{0};
};

// 0, 1, 2, ... modulo 256 from `seed`.
std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 0);

// A copy of `bytes` in a pool block of exactly that size.
void* PoolCopy(const std::vector<uint8_t>& bytes);

}  // namespace usb_test
