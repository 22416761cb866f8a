// The driver's fixture set up for the power tests: device models with and
// without remote wakeup, the emulated power manager in its legacy model,
// power requests built by hand for the cases the power manager does not
// send, and a watch on the drain's wait.
#pragma once

#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace power_test {

using namespace std::chrono_literals;
using pondrel::test::Patience;
using pondrel::test::SeenRequest;
using pondrel::test::Verdict;
using pondrel::test::WaitUntil;

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
std::vector<LONG> CountsAtWait();
inline size_t Waits() { return CountsAtWait().size(); }
inline bool WaitForWaits(size_t count, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return Waits() >= count; }, timeout);
}
}  // namespace drain_watch

using pondrel::test::When;

// A power set or query of `minor` of that power type.
bool IsSystem(const SeenRequest& seen, UCHAR minor);
bool IsDevice(const SeenRequest& seen, UCHAR minor);

class PowerFixture : public pondrel::test::DriverFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    virtual emu::usb::DeviceModel Model() { return WakeModel(); }
    virtual bool UseSpy() { return true; }
    virtual bool StartAtSetUp() { return true; }

    // Loads the driver, adds the device above the spy (if used) and, when
    // `start` is true, starts it.
    void Prepare(bool start);

    emu::Power& power() { return machine().power(); }
    LONG DevicePower();
    LONG SystemPower();
    PIRP WakeIrp() { return std::atomic_ref<PIRP>(context()->WakeIrp).load(); }
    LONG WakeOutstanding() { return std::atomic_ref<LONG>(context()->WakeOutstanding).load(); }
    // Blocks of the driver's pool allocated so far (ever).
    static uint64_t PoolAllocations();
    // Waits until the reference count is `count`: the power path gives its
    // reference back just after the request it held has completed.
    bool WaitForIoRefCount(LONG count, std::chrono::milliseconds timeout = Patience);
    // The spy completes every device power request as `verdict` says.
    void AnswerDeviceRequests(Verdict verdict);
    // The power requests the spy has seen since the `from`th.
    std::vector<SeenRequest> PowerSince(size_t from);

    // A power request built by hand and sent to the top of the stack with
    // PoCallDriver. `beforeSend` runs just before the send (fault injection).
    RawResult SendRaw(UCHAR minor, ULONG type, LONG state, const std::function<void()>& beforeSend = {});

    // Ends the wait-wake request armed at start: the device signals wake in
    // D0, so nothing is re-armed.
    void EndArmedWaitWake();

    // Opens the pipe of the endpoint at `address`; 0 on failure.
    emu::Handle OpenEndpoint(uint8_t address);

private:
    void GiveBackLeakedReferences();
};

// Drives a fixture with another device model.
template <emu::usb::DeviceModel (*ModelFunction)()>
class PowerFixtureWith : public PowerFixture {
protected:
    emu::usb::DeviceModel Model() override { return ModelFunction(); }
};

}  // namespace power_test
