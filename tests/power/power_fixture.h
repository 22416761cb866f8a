// A machine with the driver on an emulated device, for the power tests:
// device models with and without remote wakeup, a probe below the driver,
// power requests built by hand for the cases the power manager does not
// send, and a watch on the drain's wait.
#pragma once

#include "driver/device_context.h"
#include "emulator/machine.h"
#include "tests/power/lower_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace power_test {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;  // a request that has not completed by then has hung

// Device and system power states as the emulated device model writes them.
constexpr int kD0 = PowerDeviceD0, kD2 = PowerDeviceD2, kD3 = PowerDeviceD3;

// The built-in device (remote wakeup, wakes the system from S3, signals
// wake from D2) with S1..S3 mapped to D2, so that a sleep it can wake from
// passes its query.
emu::usb::DeviceModel WakeModel();
// The same with S3 mapped to D3, deeper than the D2 it signals wake from.
emu::usb::DeviceModel DeepS3Model();
// The same with S3 mapped to D3 and wake signalled from D3 too.
emu::usb::DeviceModel WakeFromD3Model();
// The built-in device without remote wakeup (S1..S5 mapped to D3).
emu::usb::DeviceModel PlainModel();
// Both bulk IN endpoints silent and both OUT endpoints sinks: only what a
// test releases arrives.
emu::usb::DeviceModel Quiet(emu::usb::DeviceModel model);

struct RawResult {
    NTSTATUS dispatchStatus = STATUS_PENDING;  // what the driver's dispatch routine returned
    NTSTATUS status = STATUS_PENDING;          // the request's final status
    ULONG_PTR information = 0;
    bool completed = false;
};

// Watches the drain's wait on QuiesceEvent through the kernel's scheduling
// hook: how many waits began and the I/O reference count at each.
namespace drain_watch {
void Start(DeviceContext* context);
void Stop();
size_t Waits();
std::vector<LONG> CountsAtWait();
bool WaitForWaits(size_t count, std::chrono::milliseconds timeout);
}  // namespace drain_watch

// The driver's power states, read as the power path's threads may be
// writing them.
LONG DevicePowerOf(DeviceContext* context);
LONG SystemPowerOf(DeviceContext* context);

class PowerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    virtual emu::usb::DeviceModel Model() { return WakeModel(); }
    virtual bool UseProbe() { return true; }
    virtual bool StartAtSetUp() { return true; }

    emu::Machine& machine() { return *machine_; }
    emu::Power& power() { return machine_->power(); }
    emu::usb::UsbDevice& device() { return machine_->Device(); }
    LowerProbe& probe() { return *probe_; }
    PDEVICE_OBJECT Fdo() { return machine_->pnp().FunctionDevice(); }
    DeviceContext* Context() { return ContextOf(Fdo()); }

    // Loads the driver, adds the device above the probe (if used) and, when
    // `start` is true, starts it.
    void BringUp(bool start);

    LONG IoRefCount();
    LONG DevicePower() { return DevicePowerOf(Context()); }
    PIRP WakeIrp() { return std::atomic_ref<PIRP>(Context()->WakeIrp).load(); }
    LONG SystemPower() { return SystemPowerOf(Context()); }
    LONG WakeOutstanding();
    // Blocks of the driver's pool allocated so far (ever).
    uint64_t PoolAllocations();
    // Waits until the reference count is `count`: the power path gives its
    // reference back just after the request it held has completed.
    bool WaitForIoRefCount(LONG count, std::chrono::milliseconds timeout = kWait);
    // Waits for a condition the driver reaches on another thread.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kWait);

    // A power request built by hand and sent to the top of the stack with
    // PoCallDriver. `beforeSend` runs just before the send (fault injection).
    RawResult SendRaw(UCHAR minor, ULONG type, LONG state, const std::function<void()>& beforeSend = {});

    // Ends the wait-wake request armed at start: the device signals wake in
    // D0, so nothing is re-armed.
    void EndArmedWaitWake();

    // Pipe index of the endpoint at `address`, from the driver's pipe table.
    int PipeOf(uint8_t address);
    // Opens the pipe of the endpoint at `address`; 0 on failure.
    emu::Handle OpenPipe(uint8_t address);

private:
    void GiveBackLeakedReferences();

    std::unique_ptr<emu::Machine> machine_;
    std::unique_ptr<LowerProbe> probe_;
};

// Drives a fixture with another device model.
template <emu::usb::DeviceModel (*ModelFunction)()>
class PowerFixtureWith : public PowerFixture {
protected:
    emu::usb::DeviceModel Model() override { return ModelFunction(); }
};

}  // namespace power_test
