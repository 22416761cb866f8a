// A machine with the driver started on an emulated device, for the tests of
// pipe handles, reads, writes and control codes. Everything goes through the
// application side; the few requests an application cannot make (odd name
// lengths, a read without its buffer, a create on a removed device) are sent
// as raw requests to the top of the device stack.
#pragma once

#include "driver/device_context.h"
#include "emulator/machine.h"
#include "tools/stress/data_pattern.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace io_test {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;  // a request that does not complete in this time has hung

using lives::Pattern;  // the same bytes for the same seed

// The built-in device with both OUT endpoints sinks and both bulk IN
// endpoints silent: only what a test queues or releases arrives.
emu::usb::DeviceModel QuietModel();

class IoFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The device the machine starts with; false from StartAtSetUp: the test
    // loads and starts the driver itself.
    virtual emu::usb::DeviceModel Model() { return emu::usb::DeviceModel::Builtin(); }
    virtual bool StartAtSetUp() { return true; }

    emu::Machine& machine() { return *machine_; }
    emu::App& app() { return machine_->app(); }
    emu::usb::UsbDevice& device() { return *device_; }
    PDEVICE_OBJECT Fdo() { return machine_->pnp().FunctionDevice(); }
    DeviceContext* Context() { return ContextOf(Fdo()); }
    LONG IoRefCount() { return InterlockedCompareExchange(&Context()->IoRefCount, 0, 0); }
    // Read while no read is in flight: its completion ordered the last change before this.
    LONG ReceiveCount() { return Context()->ReceiveCount; }
    // Allocations the driver ever made from its pool.
    static uint64_t DriverAllocations();

    // Opens "\\.\pondrel" followed by `name`, expecting `expected`.
    emu::Handle Open(std::u16string_view name, NTSTATUS expected = STATUS_SUCCESS);
    void Close(emu::Handle handle)
    {
        std::erase(open_, handle);
        app().Close(handle);
    }

    // The bulk transfers the bus saw on `endpoint`, in order.
    std::vector<emu::usb::UrbRecord> BulkUrbs(uint8_t endpoint);

    // A raw request to the top of the device stack, with `setup` filling its
    // stack location, for one the driver completes in its dispatch routine.
    emu::IoResult SendRaw(UCHAR major, PFILE_OBJECT file, const std::function<void(PIO_STACK_LOCATION)>& setup = {});

private:
    std::unique_ptr<emu::Machine> machine_;
    // Kept from the start: Machine::Device() waits for a PnP operation in
    // progress, and a test must answer transfers while a query drains them.
    emu::usb::UsbDevice* device_ = nullptr;
    std::vector<emu::Handle> open_;
};

// Reads answered by hand: the bulk IN endpoints are silent and every
// transfer is held, so that each bus read is answered with exactly the bytes
// a test gives it, taken in order from one stream. `in_` is a handle to
// pipe 1 (bulk IN 0x81).
class HeldReads : public IoFixture {
protected:
    emu::usb::DeviceModel Model() override { return QuietModel(); }
    void SetUp() override;

    // Waits for the one bus read in flight, checks that it asks for
    // `expectedLength` bytes on a bulk IN endpoint, and answers it with the
    // next `bytes` of the stream and `status`.
    void Answer(uint32_t expectedLength, size_t bytes, NTSTATUS status = STATUS_SUCCESS);
    std::vector<uint8_t> Stream(size_t from, size_t length) const;
    static void ExpectDone(emu::PendingIo& read, NTSTATUS status, size_t information);
    // Waits for the device to hold `count` transfers and returns them.
    std::vector<emu::usb::HeldTransfer> WaitHeld(size_t count);

    const std::vector<uint8_t> stream_ = Pattern(200000, 11);
    size_t sent_ = 0;  // bytes of the stream the device has sent
    emu::Handle in_ = 0;
};

}  // namespace io_test
