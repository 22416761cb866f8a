// Device power requests over the path table: which sets and queries are
// drained, passed down at once, refused or completed afresh, with the
// references the drain gives back and takes again, and what is recorded.
// (The drain waiting for a write in flight is in the power cycle test; the
// drain without pool or work item is `pondrel-sim sweep --scenario sleep`.)
#include "tests/power/power_fixture.h"

namespace power_test {
namespace {

using PlainDeviceTransitionTest = PowerFixture;

// Every set over the path table: the target is recorded and reported, and
// only a set leaving D0 is drained. With nothing in flight the drain gives
// back exactly the power path's reference (only the device's own is left
// during the wait) and takes it again before the set goes down. A set the
// lower drivers fail, up or down, leaves the device where it was.
TEST_F(PlainDeviceTransitionTest, SetsFollowThePathTable)
{
    Prepare(PlainModel());
    const struct {
        LONG target;
        bool drained;
        NTSTATUS lower;  // STATUS_PENDING: the bus serves it
    } steps[] = {
        {PowerDeviceD0, false, STATUS_PENDING},       // D0 -> D0: passed down at once, recorded again
        {PowerDeviceD3, true, STATUS_UNSUCCESSFUL},   // D0 -> D3 failed below: stays in D0
        {PowerDeviceD2, true, STATUS_PENDING},        // D0 -> D2: leaves D0
        {PowerDeviceD3, false, STATUS_PENDING},       // D2 -> D3: deeper, but not from D0
        {PowerDeviceD3, false, STATUS_PENDING},       // D3 -> D3
        {PowerDeviceD0, false, STATUS_UNSUCCESSFUL},  // D3 -> D0 failed below: stays in D3
        {PowerDeviceD2, false, STATUS_PENDING},       // D3 -> D2: towards D0
        {PowerDeviceD0, false, STATUS_PENDING},       // D2 -> D0
        {PowerDeviceD1, true, STATUS_PENDING},        // D0 -> D1
        {PowerDeviceD0, false, STATUS_PENDING},       // D1 -> D0
    };
    WatchDrain();
    for (const auto& step : steps) {
        const LONG present = DevicePower();
        SCOPED_TRACE(::testing::Message() << "D" << present - 1 << " -> D" << step.target - 1);
        spy().ForgetAnswers();
        if (step.lower != STATUS_PENDING) {
            AnswerDeviceRequests(Verdict::CompleteWith(step.lower));
        }
        const size_t waitsBefore = Waits();
        const bool fails = step.lower != STATUS_PENDING;
        EXPECT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, static_cast<DEVICE_POWER_STATE>(step.target)),
                  fails ? step.lower : STATUS_SUCCESS);
        ASSERT_EQ(Waits() - waitsBefore, step.drained ? 1u : 0u);
        if (step.drained) {
            EXPECT_EQ(CountsAtWait().back(), 1) << "only the device's own reference during the wait";
            EXPECT_EQ(spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState).back().ioRefCount, 2) << "not taken again";
        }
        const LONG now = fails ? present : step.target;
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
TEST_F(PlainDeviceTransitionTest, PowerUpIsCompletedAfreshWithSuccess)
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

// Queries over the path table. Remote wakeup refuses what is deeper than
// DeviceWake (D2 here; a plain device's D3 query is in the system query
// table); a query at least as deep as the present state is drained; a
// shallower one goes down at once.
using RemoteWakeQueryPathTest = PowerFixture;

TEST_F(RemoteWakeQueryPathTest, QueriesFollowThePathTable)
{
    Prepare();
    ASSERT_EQ(context()->Capabilities.DeviceWake, PowerDeviceD2);
    const struct {
        DEVICE_POWER_STATE present, target;
        NTSTATUS status;
        bool drained, passedDown;
    } cases[] = {
        {PowerDeviceD0, PowerDeviceD3, STATUS_INVALID_DEVICE_STATE, false, false},
        {PowerDeviceD0, PowerDeviceD2, STATUS_SUCCESS, true, true},
        {PowerDeviceD0, PowerDeviceD0, STATUS_SUCCESS, true, true},  // the present state is drained too
        {PowerDeviceD2, PowerDeviceD0, STATUS_SUCCESS, false, true},
        {PowerDeviceD2, PowerDeviceD2, STATUS_SUCCESS, true, true},
    };
    WatchDrain();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "D" << c.present - 1 << ", query D" << c.target - 1);
        if (DevicePower() != c.present) {
            ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, c.present), STATUS_SUCCESS);
        }
        const size_t waitsBefore = Waits();
        const size_t queriesBefore = spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size();
        EXPECT_EQ(power().SendDevicePower(IRP_MN_QUERY_POWER, c.target), c.status);
        EXPECT_EQ(Waits() - waitsBefore, c.drained ? 1u : 0u);
        EXPECT_EQ(spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size() - queriesBefore, c.passedDown ? 1u : 0u);
        EXPECT_EQ(DevicePower(), c.present) << "a query changed the state";
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
    ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
}

}  // namespace
}  // namespace power_test
