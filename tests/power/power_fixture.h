// The driver's fixture set up for the power tests: device models with and
// without remote wakeup, the emulated power manager in its legacy model
// (PoStartNextPowerIrp enforced), power requests built by hand for the
// cases the power manager does not send, and a watch on the drain's wait.
#pragma once

#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include <algorithm>
#include <vector>

namespace power_test {

using namespace std::chrono_literals;
using namespace pondrel::test;

// The built-in device signals wake from D2 and keeps S1..S3 in D2; this one
// maps S3 to D3, and signals wake from D3 too when `wakeFromD3`.
emu::usb::DeviceModel S3InD3(bool wakeFromD3);
// The built-in device without remote wakeup (S1..S5 mapped to D3).
emu::usb::DeviceModel PlainModel();
// The built-in device (remote wakeup in its descriptor) on a bus that
// reports no wake state (a device file's `bus-wake none`).
emu::usb::DeviceModel NoBusWakeModel();
// Bulk IN endpoints silent, OUT endpoints sinks: only what a test releases arrives.
emu::usb::DeviceModel Quiet(emu::usb::DeviceModel model);

struct RawResult {
    NTSTATUS dispatchStatus = STATUS_PENDING;  // what the driver's dispatch routine returned
    NTSTATUS status = STATUS_PENDING;          // the request's final status
    ULONG_PTR information = 0;
};

// A power set or query of `minor` of that power type.
inline bool IsOf(const SeenRequest& seen, UCHAR minor, ULONG type)
{
    return seen.major == IRP_MJ_POWER && seen.minor == minor && seen.powerType == type;
}
inline bool IsSystem(const SeenRequest& seen, UCHAR minor) { return IsOf(seen, minor, SystemPowerState); }
inline bool IsDevice(const SeenRequest& seen, UCHAR minor) { return IsOf(seen, minor, DevicePowerState); }

class PowerFixture : public DriverFixture {
protected:
    void TearDown() override;

    // Loads, adds (above the spy when `spy`) and starts unless `start` is false.
    void Prepare(emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin(), bool start = true, bool spy = true);

    emu::Power& power() { return machine().power(); }
    LONG DevicePower() { return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->CurrentDevicePower)).load(); }
    LONG SystemPower() { return std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->CurrentSystemPower)).load(); }
    PIRP WakeIrp() { return std::atomic_ref<PIRP>(context()->WakeIrp).load(); }
    LONG WakeOutstanding() { return std::atomic_ref<LONG>(context()->WakeOutstanding).load(); }
    // The power path gives its reference back just after its request completed.
    bool WaitForIoRefCount(LONG count) { return WaitUntil([&] { return IoRefCount() == count; }); }
    // The spy completes every device power request as `verdict` says.
    void AnswerDeviceRequests(Verdict verdict);
    // The power requests the spy has seen since the `from`th.
    std::vector<SeenRequest> PowerSince(size_t from)
    {
        const std::vector<SeenRequest> seen = spy().SeenPower();
        return {seen.begin() + static_cast<long>(std::min(from, seen.size())), seen.end()};
    }
    // A power request built by hand, sent to the top of the stack with PoCallDriver.
    RawResult SendRaw(UCHAR minor, ULONG type, LONG state);
    // Ends the wait-wake request armed at start; signalled in D0, nothing is re-armed.
    void EndArmedWaitWake();

    // The drain's waits on QuiesceEvent, seen through the scheduling hook:
    // the I/O reference count at each.
    void WatchDrain();
    std::vector<LONG> CountsAtWait();
    size_t Waits() { return CountsAtWait().size(); }

    bool pageable_ = true;  // the PDO's DO_POWER_PAGABLE, for Prepare
};

// The power tests that run on both kinds of stack: with DO_POWER_PAGABLE
// (requests at PASSIVE_LEVEL) and without (the power manager sends them at
// DISPATCH_LEVEL).
class BothStacks : public PowerFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        PowerFixture::SetUp();
        pageable_ = GetParam();
    }
};

inline std::string StackName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Pageable" : "NotPageable"; }

}  // namespace power_test
