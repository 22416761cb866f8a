// Queries and removal wait for what is in flight; a query does not wait
// forever for a device that never answers.
#include "tests/pnp/support/driver_fixture.h"
#include "tests/pnp/support/wait_until.h"

#include "emulator/kernel/system.h"
#include "emulator/pnp/pnp_request.h"
#include "pnp/handlers.h"
#include "usb/bus_requests.h"

#include <future>

namespace pondrel::test {
namespace {

using QueryDrainTest = DriverFixture;

// A query goes down only once both writes in flight have ended: when the
// device completes them, after the second; when the device never answers,
// after the grace period, once the pipes are aborted and the writes ended.
// (A read waiting for data does not hold a query up at all: it waits for the
// device to come back; see the io tests.)
TEST_F(QueryDrainTest, QueryWaitsForTheWritesInFlight)
{
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "query-remove, the device never answers" : "query-stop, the device answers");
        BringUp();
        const emu::Handle pipe0 = OpenPipe(0);
        const emu::Handle pipe3 = OpenPipe(3);
        device().SetCompletionMode(emu::usb::CompletionMode::Held);
        auto first = machine().app().WriteAsync(pipe0, std::vector<uint8_t>(64, 0x5A));
        auto second = machine().app().WriteAsync(pipe3, std::vector<uint8_t>(64, 0xA5));
        ASSERT_TRUE(device().WaitForHeld(2, Patience));
        ASSERT_EQ(IoRefCount(), 3);
        const uint64_t abortsBefore = device().Aborts();
        const UCHAR minor = silent ? IRP_MN_QUERY_REMOVE_DEVICE : IRP_MN_QUERY_STOP_DEVICE;
        const auto started = std::chrono::steady_clock::now();
        auto query = std::async(std::launch::async, [&] { return silent ? pnp().QueryRemove() : pnp().QueryStop(); });
        if (!silent) {
            ASSERT_TRUE(WaitUntil([&] { return State() == DeviceStopPending; }));
            const std::vector<emu::usb::HeldTransfer> held = device().Held();
            device().Release(held[0].id);
            ASSERT_TRUE(WaitUntil([&] { return IoRefCount() == 2; }));
            EXPECT_EQ(spy().Count(IRP_MJ_PNP, minor), 0u);
            EXPECT_EQ(query.wait_for(0s), std::future_status::timeout);
            device().Release(held[1].id);
        }
        ASSERT_EQ(query.wait_for(Patience), std::future_status::ready);
        EXPECT_EQ(query.get(), STATUS_SUCCESS);
        if (silent) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::nanoseconds(QueryGracePeriod * 100) - 50ms);
        }
        EXPECT_EQ(device().Aborts() > abortsBefore, silent);
        for (auto* write : {&first, &second}) {
            ASSERT_TRUE((*write)->WaitFor(Patience));
            EXPECT_EQ(NT_SUCCESS((*write)->Result().status), !silent);
        }
        const std::vector<SeenRequest> pnpBelow = spy().SeenPnp();
        ASSERT_FALSE(pnpBelow.empty());
        EXPECT_EQ(pnpBelow.back().minor, minor);
        EXPECT_EQ(pnpBelow.back().ioRefCount, 1);
        EXPECT_EQ(IoRefCount(), 1);
        machine().app().Close(pipe0);
        machine().app().Close(pipe3);
        TearDown();
    }
}

// A removal returns only after what is in flight has ended, and only then
// goes down: a bus request its caller holds a reference around (as a
// dispatch routine does), the power-up a wake started just before, or the
// wait-wake request the removal cancelled while the bus still has it; the
// device object stays meanwhile. A PnP request that reaches it then
// still goes down untouched.
TEST_F(QueryDrainTest, RemovalWaitsForWhatIsInFlight)
{
    enum class InFlight { PipeReset, PowerUpAfterWake, WaitWake };
    for (const InFlight what : {InFlight::PipeReset, InFlight::PowerUpAfterWake, InFlight::WaitWake}) {
        SCOPED_TRACE("case " + std::to_string(static_cast<int>(what)));
        LoadWithSpy();
        spy().KeepWaitWake(what == InFlight::WaitWake ? WaitWakeCancel::Later : WaitWakeCancel::CompleteAtOnce);
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        PIRP waitWake = nullptr;
        if (what != InFlight::PipeReset) {
            ASSERT_TRUE(spy().WaitForKeptWaitWake(1, Patience));
            waitWake = spy().KeptWaitWake().at(0);
        }
        std::future<NTSTATUS> reset;
        if (what == InFlight::PipeReset) {
            spy().HoldUrbs(URB_FUNCTION_RESET_PIPE);
            reset = std::async(std::launch::async, [&] {
                emu::DriverScope scope(driver());
                AcquireIoReference(context());
                const NTSTATUS status = SendPipeReset(fdo(), &context()->InterfaceInfo->Pipes[0]);
                ReleaseIoReference(context());
                return status;
            });
            ASSERT_TRUE(spy().WaitForHeld(1, Patience));
        }
        if (what == InFlight::PowerUpAfterWake) {
            spy().HoldPowerUp();
            context()->CurrentDevicePower = PowerDeviceD3;
            spy().FinishWaitWake(waitWake, STATUS_SUCCESS);
            ASSERT_TRUE(spy().WaitForHeld(1, Patience));
        }
        if (what != InFlight::WaitWake) {
            ASSERT_EQ(pnp().SurpriseRemove(), STATUS_SUCCESS);  // what is in flight outlives it
        }
        PDEVICE_OBJECT functionDevice = fdo();
        auto removal = std::async(std::launch::async, [&] { return Remove(); });
        const LONG held = what == InFlight::WaitWake ? 0 : 2;
        ASSERT_TRUE(WaitUntil([&] { return State() == DeviceRemoved && IoRefCount() == held; }));
        // Armed at start, and armed again after a wake only once the
        // power-up has ended: nothing to cancel while it is held.
        const size_t cancels = what == InFlight::PowerUpAfterWake ? 0u : 1u;
        EXPECT_TRUE(WaitUntil([&] { return spy().WaitWakeCancels() == cancels; }));

        spy().ForgetSeen();
        EXPECT_EQ(emu::pnp::SendPnpRequest(device().Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS).status, STATUS_NOT_SUPPORTED);
        const std::optional<SeenRequest> relations = spy().Last(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
        EXPECT_TRUE(relations.has_value() && relations->statusOnArrival == STATUS_NOT_SUPPORTED);
        spy().ForgetSeen();
        EXPECT_EQ(IoRefCount(), held);
        EXPECT_EQ(removal.wait_for(0s), std::future_status::timeout);
        EXPECT_FALSE(emu::IsDeletePending(functionDevice));

        if (what == InFlight::WaitWake) {
            spy().FinishWaitWake(waitWake, STATUS_CANCELLED);
        } else {
            spy().ReleaseHeld();
        }
        ASSERT_EQ(removal.wait_for(Patience), std::future_status::ready);
        EXPECT_EQ(removal.get(), STATUS_SUCCESS);
        EXPECT_TRUE(what != InFlight::PipeReset || reset.get() == STATUS_SUCCESS);
        const std::vector<SeenRequest> pnpBelow = spy().SeenPnp();
        ASSERT_EQ(pnpBelow.size(), 1u);
        EXPECT_EQ(pnpBelow[0].minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(pnpBelow[0].ioRefCount, 0);
        EXPECT_TRUE(!emu::IsDeviceObjectAlive(functionDevice) || emu::IsDeletePending(functionDevice));
        TearDown();
    }
}

}  // namespace
}  // namespace pondrel::test
