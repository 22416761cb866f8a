// Device power requests over the path table: which sets and queries are
// drained, passed down at once, refused or completed afresh, with the
// references the drain gives back and takes again, and what is recorded.
// (The drain waiting for a write in flight is in the power cycle test; the
// drain without pool or work item is `pondrel-sim sweep --scenario sleep`.)
#include "tests/power/power_fixture.h"

namespace power_test {
namespace {

using DevicePowerTest = BothStacks;
INSTANTIATE_TEST_SUITE_P(Stacks, DevicePowerTest, ::testing::Bool(), StackName);

// Every set and query over the path table, on a device with remote wakeup
// (DeviceWake D2). A set's target is recorded and reported, and only a set
// leaving D0 is drained; a set the lower drivers fail, up or down, leaves the
// device where it was. A query deeper than DeviceWake is refused without
// going down (a plain device's D3 query is in the system request table); one
// at least as deep as the present state is drained, a shallower one goes
// down at once; a query changes nothing. With nothing in flight the drain
// gives back exactly the power path's reference (only the device's own is
// left during the wait) and takes it again before the request goes down.
TEST_P(DevicePowerTest, SetsAndQueriesFollowThePathTable)
{
    Prepare();
    ASSERT_EQ(context()->Capabilities.DeviceWake, PowerDeviceD2);
    constexpr UCHAR S = IRP_MN_SET_POWER, Q = IRP_MN_QUERY_POWER;
    const struct {
        UCHAR minor;
        LONG target;
        bool drained;
        NTSTATUS status;  // STATUS_UNSUCCESSFUL: the lower drivers fail it
    } steps[] = {
        {S, PowerDeviceD0, false, STATUS_SUCCESS},        // D0 -> D0: passed down at once, recorded again
        {Q, PowerDeviceD3, false, STATUS_INVALID_DEVICE_STATE},
        {Q, PowerDeviceD2, true, STATUS_SUCCESS},
        {Q, PowerDeviceD0, true, STATUS_SUCCESS},         // the present state is drained too
        {S, PowerDeviceD3, true, STATUS_UNSUCCESSFUL},    // stays in D0
        {S, PowerDeviceD2, true, STATUS_SUCCESS},         // leaves D0
        {Q, PowerDeviceD0, false, STATUS_SUCCESS},        // shallower
        {Q, PowerDeviceD2, true, STATUS_SUCCESS},
        {S, PowerDeviceD3, false, STATUS_SUCCESS},        // deeper, but not from D0
        {S, PowerDeviceD3, false, STATUS_SUCCESS},
        {S, PowerDeviceD0, false, STATUS_UNSUCCESSFUL},   // stays in D3
        {S, PowerDeviceD2, false, STATUS_SUCCESS},        // towards D0
        {S, PowerDeviceD0, false, STATUS_SUCCESS},
        {S, PowerDeviceD1, true, STATUS_SUCCESS},
        {S, PowerDeviceD0, false, STATUS_SUCCESS},
    };
    WatchDrain();
    for (const auto& step : steps) {
        const LONG present = DevicePower();
        SCOPED_TRACE(::testing::Message() << "D" << present - 1 << (step.minor == S ? ", set D" : ", query D")
                                          << step.target - 1);
        spy().ForgetAnswers();
        if (step.status == STATUS_UNSUCCESSFUL) {
            AnswerDeviceRequests(Verdict::CompleteWith(step.status));
        }
        const size_t waitsBefore = Waits();
        const size_t seenBefore = spy().SeenPower(step.minor, DevicePowerState).size();
        EXPECT_EQ(power().SendDevicePower(step.minor, static_cast<DEVICE_POWER_STATE>(step.target)), step.status);
        ASSERT_EQ(Waits() - waitsBefore, step.drained ? 1u : 0u);
        const std::vector<SeenRequest> seen = spy().SeenPower(step.minor, DevicePowerState);
        ASSERT_EQ(seen.size() - seenBefore, step.status == STATUS_INVALID_DEVICE_STATE ? 0u : 1u);
        if (step.drained) {
            EXPECT_EQ(CountsAtWait().back(), 1) << "only the device's own reference during the wait";
            EXPECT_EQ(seen.back().ioRefCount, 2) << "not taken again";
        }
        const LONG now = step.minor == S && NT_SUCCESS(step.status) ? step.target : present;
        EXPECT_EQ(DevicePower(), now);
        EXPECT_EQ(static_cast<LONG>(power().ReportedDeviceState(fdo())), now);
        EXPECT_EQ(device().DevicePowerState(), now) << "the set did not reach the bus";
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
}

// The lower driver succeeds with an informational status and leaves
// Information set: a power-up is completed afresh with success and
// Information 0; a query for a shallower state returns the lower driver's
// status, its reference given back before the handler returns.
TEST_P(DevicePowerTest, PowerUpIsCompletedAfreshWithSuccess)
{
    Prepare(PlainModel());
    ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    power().SetLegacySerialization(false);  // requests built by hand
    AnswerDeviceRequests(Verdict::CompleteWith(STATUS_OBJECT_NAME_EXISTS, 5));
    RawResult query = SendRaw(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(query.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(query.status, STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoRefCount(), 1) << "the reference is given back before the handler returns";
    EXPECT_EQ(DevicePower(), PowerDeviceD3);

    RawResult set = SendRaw(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(set.dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.information, 0u);
    EXPECT_EQ(DevicePower(), PowerDeviceD0);
    EXPECT_EQ(power().ReportedDeviceState(fdo()), PowerDeviceD0);
    EXPECT_TRUE(WaitForIoRefCount(1));
}

}  // namespace
}  // namespace power_test
