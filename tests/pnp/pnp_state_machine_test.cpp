// DispatchPnp over the transition table: every request in every state, with
// the state it leaves, the final status, the reference count, and what the
// lower device saw.
#include "tests/pnp/support/driver_fixture.h"

#include "driver/device_names.h"
#include "emulator/kernel/system.h"

#include <algorithm>
#include <string>
#include <vector>

namespace pondrel::test {
namespace {

class PnpStateMachineTest : public DriverFixture {
protected:
    // A started-or-not device brought to `state` by the usual PnP paths;
    // remove-pending from stopped, so that its cancel goes back there.
    void Reach(DEVICE_PNP_STATE state)
    {
        LoadWithSpy();
        spy().KeepWaitWake(WaitWakeCancel::CompleteAtOnce);
        const bool stopped = state == DeviceStopped || state == DeviceRemovePending;
        if (state != DeviceNew) {
            ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        }
        if (stopped || state == DeviceStopPending) {
            ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
        }
        if (stopped) {
            ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
        }
        if (state == DeviceRemovePending) {
            ASSERT_EQ(pnp().QueryRemove(), STATUS_SUCCESS);
        }
        if (state == DeviceSurpriseRemoved) {
            ASSERT_EQ(pnp().SurpriseRemove(), STATUS_SUCCESS);
        }
        ASSERT_EQ(State(), state);
        spy().ForgetSeen();
    }

    std::optional<SeenRequest> SeenBelow(UCHAR minor) { return spy().Last(IRP_MJ_PNP, minor); }
};

const DEVICE_PNP_STATE AllStates[] = {DeviceNew, DeviceRunning, DeviceStopped, DeviceStopPending,
                                      DeviceRemovePending, DeviceSurpriseRemoved};

// What a request does: the state it moves to (a cancel: back from the
// pending state it cancels, and unchanged in any other state, though it
// goes down all the same), whether it goes down with
// STATUS_SUCCESS in its status block or with the block as the PnP manager
// set it, and the references held while the lower device has it. Its final
// status is the lower drivers' (a start's is the driver's own, after the
// lower drivers started first and the device was configured). In the
// states Windows never sends it in, the PnP manager refuses to send it.
struct Transition {
    UCHAR minor;
    const char* name;
    std::optional<DEVICE_PNP_STATE> to;  // none: unchanged
    std::optional<DEVICE_PNP_STATE> cancels;
    bool downWithSuccess;
    LONG referencesBelow;
    std::vector<DEVICE_PNP_STATE> sentIn;  // empty: every state but surprise-removed
};

const Transition Transitions[] = {
    {IRP_MN_START_DEVICE, "start", DeviceRunning, {}, false, 2, {DeviceNew, DeviceStopped}},
    {IRP_MN_QUERY_STOP_DEVICE, "query-stop", DeviceStopPending, {}, true, 1, {DeviceRunning}},
    {IRP_MN_QUERY_REMOVE_DEVICE, "query-remove", DeviceRemovePending, {}, true, 1,
     {DeviceNew, DeviceRunning, DeviceStopped}},
    {IRP_MN_CANCEL_STOP_DEVICE, "cancel-stop", {}, DeviceStopPending, false, 2, {}},
    {IRP_MN_CANCEL_REMOVE_DEVICE, "cancel-remove", {}, DeviceRemovePending, false, 2, {}},
    {IRP_MN_STOP_DEVICE, "stop", DeviceStopped, {}, true, 2, {DeviceStopPending}},
    {IRP_MN_SURPRISE_REMOVAL, "surprise removal", DeviceSurpriseRemoved, {}, true, 2, {}},
    {IRP_MN_QUERY_CAPABILITIES, "query-capabilities", {}, {}, true, 2, {}},
    {IRP_MN_QUERY_DEVICE_RELATIONS, "an unhandled code", {}, {}, false, 2, {}},
};

bool SentIn(const Transition& t, DEVICE_PNP_STATE state)
{
    if (t.sentIn.empty()) {
        return state != DeviceSurpriseRemoved;
    }
    return std::find(t.sentIn.begin(), t.sentIn.end(), state) != t.sentIn.end();
}

TEST_F(PnpStateMachineTest, EachRequestInEachState)
{
    for (const Transition& t : Transitions) {
        for (const DEVICE_PNP_STATE before : AllStates) {
            SCOPED_TRACE(std::string(t.name) + " in PnP state " + std::to_string(before));
            Reach(before);
            const DEVICE_PNP_STATE previous = context()->PreviousPnpState;

            DEVICE_CAPABILITIES capabilities{};
            const NTSTATUS status = t.minor == IRP_MN_QUERY_CAPABILITIES
                                        ? pnp().QueryCapabilities(&capabilities)
                                        : pnp().Send(t.minor);
            if (!SentIn(t, before)) {
                EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
                EXPECT_FALSE(pnp().LastRefusal().empty());
                EXPECT_FALSE(SeenBelow(t.minor).has_value());
                EXPECT_EQ(State(), before);
                TearDown();
                continue;
            }

            const bool cancelling = t.cancels == before;
            const DEVICE_PNP_STATE expected = cancelling ? previous : t.to.value_or(before);
            EXPECT_EQ(State(), expected);
            if (expected != before) {
                EXPECT_EQ(context()->PreviousPnpState, cancelling ? previous : before);
            }
            EXPECT_EQ(IoRefCount(), 1);

            const std::optional<SeenRequest> below = SeenBelow(t.minor);
            ASSERT_TRUE(below.has_value());
            EXPECT_EQ(below->statusOnArrival, t.downWithSuccess ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
            EXPECT_EQ(below->ioRefCount, t.referencesBelow);
            if (t.minor != IRP_MN_START_DEVICE) {
                EXPECT_EQ(status, below->lowerReturned);
            } else {
                EXPECT_EQ(spy().Seen().at(0).minor, IRP_MN_START_DEVICE) << "the lower drivers start first";
                EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
                EXPECT_TRUE(NT_SUCCESS(status));
            }
            TearDown();
        }
    }
}

// Removal from every state: passed down with success after every reference
// is back, before the stack is taken apart; the device object, its DOS link
// and its interface go. It tears down once: after a surprise removal (or a
// stop) it aborts no pipe and cancels no wait-wake request again.
TEST_F(PnpStateMachineTest, RemovalInEachState)
{
    for (const DEVICE_PNP_STATE before : AllStates) {
        SCOPED_TRACE("PnP state " + std::to_string(before));
        Reach(before);
        PDEVICE_OBJECT functionDevice = fdo();
        if (context()->PipeOpenFlags != nullptr) {
            context()->PipeOpenFlags[1] = 1;
        }
        EXPECT_EQ(emu::EnabledInterfaces(PondrelInterfaceClass).empty(), before == DeviceNew || before == DeviceSurpriseRemoved);

        const NTSTATUS status = Remove();
        const bool configured = before == DeviceRunning || before == DeviceStopPending;
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_ABORT_PIPE), configured ? 1u : 0u) << "a pipe aborted twice";
        EXPECT_EQ(spy().WaitWakeCancels(), before == DeviceNew ? 0u : 1u) << "wait-wake cancelled twice";
        EXPECT_TRUE(emu::EnabledInterfaces(PondrelInterfaceClass).empty());

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
        EXPECT_EQ(DosLinkTarget(), nullptr);
        TearDown();
    }
}

// A start the lower drivers fail touches nothing: the device stays where it
// was, unconfigured. A cancel the lower drivers fail (after the bus driver
// has seen it) leaves the pending state.
TEST_F(PnpStateMachineTest, RequestFailedBelowLeavesTheState)
{
    const struct {
        DEVICE_PNP_STATE before;
        UCHAR minor;
        NTSTATUS status;
    } cases[] = {
        {DeviceNew, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY},
        {DeviceStopped, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY},
        {DeviceStopPending, IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL},
        {DeviceRemovePending, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("PnP state " + std::to_string(c.before));
        Reach(c.before);
        if (c.minor == IRP_MN_START_DEVICE) {
            spy().FailPnp(c.minor, c.status);
        } else {
            spy().FailPnpOnTheWayUp(c.minor, c.status);
        }
        EXPECT_EQ(pnp().Send(c.minor), c.status);
        EXPECT_EQ(State(), c.before);
        EXPECT_EQ(IoRefCount(), 1);
        EXPECT_EQ(spy().Seen().size(), 1u);
        EXPECT_TRUE(c.minor != IRP_MN_START_DEVICE || context()->ConfigDescriptor == nullptr);
        spy().ForgetAnswers();
        TearDown();
    }
}

// A stop releases the configuration and deconfigures the device once it is
// stopped; without a block for the deconfiguration it still stops, and the
// stop goes down with success all the same: a stop is never failed.
TEST_F(PnpStateMachineTest, StopReleasesTheConfigurationAndDeconfigures)
{
    for (const bool noBlock : {false, true}) {
        SCOPED_TRACE(noBlock ? "no deconfiguration block" : "deconfigured");
        Reach(DeviceStopPending);
        if (noBlock) {
            emu::pool::FailAllocationsOfSize(sizeof(_URB_SELECT_CONFIGURATION));
        }
        const NTSTATUS status = pnp().Stop();
        emu::pool::ClearFaults();

        const std::optional<SeenRequest> below = SeenBelow(IRP_MN_STOP_DEVICE);
        ASSERT_TRUE(below.has_value());
        EXPECT_EQ(below->statusOnArrival, STATUS_SUCCESS);
        EXPECT_EQ(status, below->lowerReturned);
        EXPECT_EQ(State(), DeviceStopped);
        EXPECT_EQ(context()->ConfigDescriptor, nullptr);
        EXPECT_EQ(context()->InterfaceInfo, nullptr);
        EXPECT_EQ(context()->PipeOpenFlags, nullptr);
        EXPECT_EQ(LiveDriverBlocks(), 3u) << "the registry path and the power reserve's two records";
        const std::vector<SeenRequest> selects = spy().SeenUrbs(URB_FUNCTION_SELECT_CONFIGURATION);
        ASSERT_EQ(selects.size(), noBlock ? 0u : 1u);
        EXPECT_EQ(device().Configured(), noBlock);
        if (!selects.empty()) {
            EXPECT_TRUE(selects[0].deconfigure);
            EXPECT_EQ(selects[0].driverState, DeviceStopped);
        }
        TearDown();
    }
}

}  // namespace
}  // namespace pondrel::test
