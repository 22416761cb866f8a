// The fixture of the driver's tests: one emulated machine with the driver
// loaded, optionally the lower spy under the driver's device, and at the end
// of each test the device removed, the driver unloaded, and the test failed
// on any verifier finding, request or pool block of the driver left behind.
#pragma once

#include "driver/device_context.h"
#include "emulator/machine.h"
#include "tests/pnp/support/lower_spy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

namespace pondrel::test {

using namespace std::chrono_literals;

// Generous: only a hang reaches it.
constexpr std::chrono::milliseconds Patience = 20s;

class DriverFixture : public ::testing::Test {
protected:
    void TearDown() override;

    // A machine with `model` plugged and the driver loaded.
    void Load(emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin());
    // The spy between the driver and the PDO; before Add().
    void AddSpy();
    void Add();
    // Load, spy, add: a device not yet started.
    void LoadWithSpy(emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin());
    // AddDevice that may fail; the device is the fixture's when it succeeds.
    NTSTATUS TryAdd();
    // Load, spy, add, start: the usual beginning.
    void BringUp(emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin());
    // Sends IRP_MN_REMOVE_DEVICE; the device object is gone afterwards.
    NTSTATUS Remove();

    emu::Machine& machine() { return *machine_; }
    emu::Pnp& pnp() { return machine_->pnp(); }
    // Cached: the machine's accessor waits for a PnP operation in progress.
    emu::usb::UsbDevice& device() { return *device_; }
    PDRIVER_OBJECT driver() const { return driver_; }
    LowerSpy& spy() { return *spy_; }
    PDEVICE_OBJECT fdo() const { return fdo_; }
    DeviceContext* context() const { return ContextOf(fdo_); }

    DEVICE_PNP_STATE State() const { return CurrentPnpState(context()); }
    LONG IoRefCount() const { return InterlockedCompareExchange(&context()->IoRefCount, 0, 0); }
    // Bulk-tagged pool blocks alive now.
    static uint64_t LiveDriverBlocks();
    // Opens "\\.\pondrel\PIPE<index>", expecting success.
    emu::Handle OpenPipe(int index);

private:
    std::unique_ptr<emu::Machine> machine_;
    std::unique_ptr<LowerSpy> spy_;
    emu::usb::UsbDevice* device_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    bool removed_ = false;
};

// The device the DOS link \DosDevices\pondrel names, if any.
PDEVICE_OBJECT DosLinkTarget();
// Fails the running test on each verifier finding of `machine`.
void FailOnFindings(emu::Machine& machine);

}  // namespace pondrel::test
