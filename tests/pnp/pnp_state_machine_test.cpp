// DispatchPnp over the transition table: every request in every state, with
// the state it leaves, the final status, the reference count, and what the
// lower device saw.
#include "tests/pnp/support/driver_fixture.h"

#include "driver/device_names.h"
#include "emulator/kernel/system.h"

#include <algorithm>

namespace pondrel::test {
namespace {

class PnpStateMachineTest : public DriverFixture {
protected:
    // A started-or-not device brought to `state` by the usual PnP paths.
    void Reach(DEVICE_PNP_STATE state)
    {
        Load();
        AddSpy();
        Add();
        if (state == DeviceNew) {
            return;
        }
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        switch (state) {
        case DeviceStopPending:
            ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
            break;
        case DeviceStopped:
            ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
            ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
            break;
        case DeviceRemovePending:
            ASSERT_EQ(pnp().QueryRemove(), STATUS_SUCCESS);
            break;
        case DeviceSurpriseRemoved:
            ASSERT_EQ(pnp().SurpriseRemove(), STATUS_SUCCESS);
            break;
        default:
            break;
        }
        ASSERT_EQ(State(), state);
        spy().ForgetSeen();
    }

    // Running, wait-wake armed (kept by the spy), pipe 1 flagged open.
    void StartOpenAndArmed()
    {
        Load();
        AddSpy();
        Add();
        spy().KeepWaitWake(WaitWakeCancel::CompleteAtOnce);
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        context()->PipeOpenFlags[1] = 1;
    }

    // The last PnP request of `minor` the spy saw, if any.
    std::optional<SeenRequest> SeenBelow(UCHAR minor)
    {
        std::optional<SeenRequest> found;
        for (const SeenRequest& seen : spy().SeenPnp()) {
            if (seen.minor == minor) {
                found = seen;
            }
        }
        return found;
    }
};

const DEVICE_PNP_STATE AllStates[] = {DeviceNew, DeviceRunning, DeviceStopped, DeviceStopPending,
                                      DeviceRemovePending, DeviceSurpriseRemoved};

const char* NameOf(DEVICE_PNP_STATE state)
{
    switch (state) {
    case DeviceNew: return "DeviceNew";
    case DeviceStopped: return "DeviceStopped";
    case DeviceRunning: return "DeviceRunning";
    case DeviceStopPending: return "DeviceStopPending";
    case DeviceRemovePending: return "DeviceRemovePending";
    case DeviceSurpriseRemoved: return "DeviceSurpriseRemoved";
    case DeviceRemoved: return "DeviceRemoved";
    }
    return "?";
}

// How a request ends, seen from below and from the PnP manager.
enum class Below {
    Not,           // never reaches the lower device; completed here with STATUS_SUCCESS
    Untouched,     // passed down with the status block as the PnP manager set it
    WithSuccess,   // passed down with STATUS_SUCCESS in the status block
};

struct Transition {
    UCHAR minor;
    const char* name;
    // The state after the request, from the state before it.
    DEVICE_PNP_STATE (*after)(DEVICE_PNP_STATE before, DEVICE_PNP_STATE previous);
    Below (*below)(DEVICE_PNP_STATE before);
    LONG referencesBelow;  // IoRefCount while the lower device has the request
};

DEVICE_PNP_STATE Unchanged(DEVICE_PNP_STATE before, DEVICE_PNP_STATE) { return before; }
DEVICE_PNP_STATE ToStopPending(DEVICE_PNP_STATE, DEVICE_PNP_STATE) { return DeviceStopPending; }
DEVICE_PNP_STATE ToRemovePending(DEVICE_PNP_STATE, DEVICE_PNP_STATE) { return DeviceRemovePending; }
DEVICE_PNP_STATE ToStopped(DEVICE_PNP_STATE, DEVICE_PNP_STATE) { return DeviceStopped; }
DEVICE_PNP_STATE ToSurpriseRemoved(DEVICE_PNP_STATE, DEVICE_PNP_STATE) { return DeviceSurpriseRemoved; }
DEVICE_PNP_STATE CancelStop(DEVICE_PNP_STATE before, DEVICE_PNP_STATE previous)
{
    return before == DeviceStopPending ? previous : before;
}
DEVICE_PNP_STATE CancelRemove(DEVICE_PNP_STATE before, DEVICE_PNP_STATE previous)
{
    return before == DeviceRemovePending ? previous : before;
}

Below AlwaysWithSuccess(DEVICE_PNP_STATE) { return Below::WithSuccess; }
Below AlwaysUntouched(DEVICE_PNP_STATE) { return Below::Untouched; }
Below CancelStopBelow(DEVICE_PNP_STATE before) { return before == DeviceStopPending ? Below::Untouched : Below::Not; }
Below CancelRemoveBelow(DEVICE_PNP_STATE before)
{
    return before == DeviceRemovePending ? Below::Untouched : Below::Not;
}

const Transition Transitions[] = {
    {IRP_MN_QUERY_STOP_DEVICE, "query-stop", ToStopPending, AlwaysWithSuccess, 1},
    {IRP_MN_QUERY_REMOVE_DEVICE, "query-remove", ToRemovePending, AlwaysWithSuccess, 1},
    {IRP_MN_CANCEL_STOP_DEVICE, "cancel-stop", CancelStop, CancelStopBelow, 2},
    {IRP_MN_CANCEL_REMOVE_DEVICE, "cancel-remove", CancelRemove, CancelRemoveBelow, 2},
    {IRP_MN_STOP_DEVICE, "stop", ToStopped, AlwaysWithSuccess, 2},
    {IRP_MN_SURPRISE_REMOVAL, "surprise removal", ToSurpriseRemoved, AlwaysWithSuccess, 2},
    {IRP_MN_QUERY_CAPABILITIES, "query-capabilities", Unchanged, AlwaysWithSuccess, 2},
    {IRP_MN_QUERY_DEVICE_RELATIONS, "an unhandled code", Unchanged, AlwaysUntouched, 2},
};

TEST_F(PnpStateMachineTest, EachRequestInEachState)
{
    for (const Transition& t : Transitions) {
        for (const DEVICE_PNP_STATE before : AllStates) {
            SCOPED_TRACE(std::string(t.name) + " in " + NameOf(before));
            Reach(before);
            const DEVICE_PNP_STATE previous = context()->PreviousPnpState;

            DEVICE_CAPABILITIES capabilities{};
            const NTSTATUS status = t.minor == IRP_MN_QUERY_CAPABILITIES
                                        ? pnp().QueryCapabilities(&capabilities)
                                        : pnp().Send(t.minor);

            const DEVICE_PNP_STATE expected = t.after(before, previous);
            EXPECT_EQ(State(), expected);
            if (expected != before) {
                EXPECT_EQ(context()->PreviousPnpState, t.minor == IRP_MN_CANCEL_STOP_DEVICE ||
                                                               t.minor == IRP_MN_CANCEL_REMOVE_DEVICE
                                                           ? previous
                                                           : before);
            }
            EXPECT_EQ(IoRefCount(), 1);

            const std::optional<SeenRequest> below = SeenBelow(t.minor);
            switch (t.below(before)) {
            case Below::Not:
                EXPECT_FALSE(below.has_value());
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            case Below::Untouched:
            case Below::WithSuccess:
                ASSERT_TRUE(below.has_value());
                EXPECT_EQ(below->statusOnArrival,
                          t.below(before) == Below::WithSuccess ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
                EXPECT_EQ(below->ioRefCount, t.referencesBelow);
                EXPECT_EQ(status, below->lowerReturned);
                break;
            }
            TearDown();
        }
    }
}

// Removal from every state: passed down with success after every reference
// is back, before the stack is taken apart; the device object goes.
TEST_F(PnpStateMachineTest, RemovalInEachState)
{
    for (const DEVICE_PNP_STATE before : AllStates) {
        SCOPED_TRACE(NameOf(before));
        Reach(before);
        PDEVICE_OBJECT functionDevice = fdo();

        const NTSTATUS status = Remove();

        const std::optional<SeenRequest> below = SeenBelow(IRP_MN_REMOVE_DEVICE);
        ASSERT_TRUE(below.has_value());
        EXPECT_EQ(below->statusOnArrival, STATUS_SUCCESS);
        EXPECT_EQ(below->driverState, DeviceRemoved);
        EXPECT_EQ(below->ioRefCount, 0);
        EXPECT_TRUE(below->driverAttached);
        EXPECT_FALSE(below->driverDeletePending);
        EXPECT_EQ(status, below->lowerReturned);
        EXPECT_TRUE(!emu::IsDeviceObjectAlive(functionDevice) || emu::IsDeletePending(functionDevice));
        EXPECT_EQ(spy().Device()->AttachedDevice, nullptr);
        TearDown();
    }
}

// A start in the states the PnP manager starts from. The lower drivers start
// first; the device runs once configured and its interface enabled.
TEST_F(PnpStateMachineTest, StartFromNewAndStopped)
{
    for (const DEVICE_PNP_STATE before : {DeviceNew, DeviceStopped}) {
        SCOPED_TRACE(NameOf(before));
        Reach(before);
        EXPECT_TRUE(NT_SUCCESS(pnp().Start()));
        EXPECT_EQ(State(), DeviceRunning);
        EXPECT_EQ(context()->PreviousPnpState, before);
        EXPECT_EQ(IoRefCount(), 1);

        const std::vector<SeenRequest> seen = spy().Seen();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen[0].major, IRP_MJ_PNP);
        EXPECT_EQ(seen[0].minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(seen[0].ioRefCount, 2);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
        TearDown();
    }
}

TEST_F(PnpStateMachineTest, StartFailedBelowTouchesNothing)
{
    for (const DEVICE_PNP_STATE before : {DeviceNew, DeviceStopped}) {
        SCOPED_TRACE(NameOf(before));
        Reach(before);
        spy().FailPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);

        EXPECT_EQ(pnp().Send(IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(State(), before);
        EXPECT_EQ(spy().Seen().size(), 1u);
        EXPECT_EQ(context()->ConfigDescriptor, nullptr);
        EXPECT_EQ(IoRefCount(), 1);
        spy().ForgetAnswers();
        TearDown();
    }
}

// A cancel the lower drivers fail leaves the pending state.
TEST_F(PnpStateMachineTest, CancelFailedBelowStaysPending)
{
    const struct {
        DEVICE_PNP_STATE pending;
        UCHAR cancel;
    } cases[] = {{DeviceStopPending, IRP_MN_CANCEL_STOP_DEVICE}, {DeviceRemovePending, IRP_MN_CANCEL_REMOVE_DEVICE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(NameOf(c.pending));
        Reach(c.pending);
        spy().FailPnp(c.cancel, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(pnp().Send(c.cancel), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(State(), c.pending);
        EXPECT_EQ(IoRefCount(), 1);
        spy().ForgetAnswers();
        TearDown();
    }
}

// PreviousPnpState holds one level of history.
TEST_F(PnpStateMachineTest, QueriesAndCancelsKeepOneLevelOfHistory)
{
    Reach(DeviceStopped);
    EXPECT_EQ(pnp().QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(pnp().CancelRemove(), STATUS_SUCCESS);
    EXPECT_EQ(State(), DeviceStopped);
    TearDown();

    Reach(DeviceRunning);
    EXPECT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(context()->PreviousPnpState, DeviceStopPending);
    EXPECT_EQ(pnp().CancelStop(), STATUS_SUCCESS);
    EXPECT_EQ(State(), DeviceStopPending);
}

// A stop whose deconfiguration block cannot be allocated still stops and
// releases the configuration, and tells the lower drivers.
TEST_F(PnpStateMachineTest, StopWithoutDeconfigurationBlock)
{
    Reach(DeviceStopPending);
    emu::pool::FailAllocationsOfSize(sizeof(_URB_SELECT_CONFIGURATION));
    const NTSTATUS status = pnp().Stop();
    emu::pool::ClearFaults();

    const std::optional<SeenRequest> below = SeenBelow(IRP_MN_STOP_DEVICE);
    ASSERT_TRUE(below.has_value());
    EXPECT_EQ(below->statusOnArrival, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(status, below->lowerReturned);
    EXPECT_EQ(State(), DeviceStopped);
    EXPECT_EQ(context()->ConfigDescriptor, nullptr);
    EXPECT_EQ(context()->InterfaceInfo, nullptr);
    EXPECT_EQ(context()->PipeOpenFlags, nullptr);
    EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
}

TEST_F(PnpStateMachineTest, StopDeconfiguresTheDevice)
{
    Reach(DeviceStopPending);
    ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
    const std::vector<SeenRequest> seen = spy().Seen();
    auto deconfigure = std::find_if(seen.begin(), seen.end(), [](const SeenRequest& r) { return r.deconfigure; });
    ASSERT_NE(deconfigure, seen.end());
    EXPECT_EQ(deconfigure->driverState, DeviceStopped);
    EXPECT_FALSE(device().Configured());
    EXPECT_EQ(LiveDriverBlocks(), 1u);
}

// After a surprise removal, the removal repeats none of the teardown: no
// second abort of a pipe whose abort failed, no second wait-wake cancel.
TEST_F(PnpStateMachineTest, RemovalAfterSurpriseRemovalRepeatsNothing)
{
    StartOpenAndArmed();
    spy().FailUrb(URB_FUNCTION_ABORT_PIPE, STATUS_UNSUCCESSFUL);

    ASSERT_EQ(pnp().SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);
    EXPECT_EQ(spy().WaitWakeCancels(), 1u);
    EXPECT_TRUE(emu::EnabledInterfaces(PondrelInterfaceClass).empty());

    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);
    EXPECT_EQ(spy().WaitWakeCancels(), 1u);
}

TEST_F(PnpStateMachineTest, RemovalFromRunningTearsDownOnce)
{
    StartOpenAndArmed();
    EXPECT_FALSE(emu::EnabledInterfaces(PondrelInterfaceClass).empty());

    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_ABORT_PIPE), 1u);
    EXPECT_EQ(spy().WaitWakeCancels(), 1u);
    EXPECT_TRUE(emu::EnabledInterfaces(PondrelInterfaceClass).empty());
}

}  // namespace
}  // namespace pondrel::test
