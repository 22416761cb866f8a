// Device power requests over the path table: which sets and queries are
// drained, passed down at once, refused or completed afresh, with the
// references the drain gives back and takes again, and what is recorded.
#include "tests/power/power_fixture.h"

#include "emulator/kernel/system.h"

#include <future>
#include <string>

namespace power_test {
namespace {

std::string Name(LONG state)
{
    return "D" + std::to_string(state - PowerDeviceD0);
}

using PlainDeviceTransitionTest = PowerFixtureWith<PlainModel>;

// Every set over the path table: the target is recorded and reported, and
// only a set leaving D0 is drained. With nothing in flight the drain gives
// back exactly the power path's reference (only the device's own is left
// during the wait) and takes it again before the set goes down; the
// system request's pair is in DrainWithWriteTest.
TEST_F(PlainDeviceTransitionTest, SetsFollowThePathTable)
{
    struct Step {
        LONG target;
        bool drained;
    };
    const Step steps[] = {
        {PowerDeviceD0, false},  // D0 -> D0: passed down at once, recorded again
        {PowerDeviceD2, true},   // D0 -> D2: leaves D0
        {PowerDeviceD3, false},  // D2 -> D3: deeper, but not from D0
        {PowerDeviceD3, false},  // D3 -> D3
        {PowerDeviceD2, false},  // D3 -> D2: towards D0
        {PowerDeviceD0, false},  // D2 -> D0
        {PowerDeviceD1, true},   // D0 -> D1
        {PowerDeviceD0, false},  // D1 -> D0
    };
    drain_watch::Start(context());
    for (const Step& step : steps) {
        const LONG present = DevicePower();
        SCOPED_TRACE(Name(present) + " -> " + Name(step.target));
        const size_t waitsBefore = drain_watch::Waits();
        EXPECT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, static_cast<DEVICE_POWER_STATE>(step.target)),
                  STATUS_SUCCESS);
        ASSERT_EQ(drain_watch::Waits() - waitsBefore, step.drained ? 1u : 0u);
        if (step.drained) {
            EXPECT_EQ(drain_watch::CountsAtWait().back(), 1) << "only the device's own reference during the wait";
            EXPECT_EQ(spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState).back().ioRefCount, 2) << "not taken again";
        }
        EXPECT_EQ(DevicePower(), step.target);
        EXPECT_EQ(static_cast<LONG>(power().ReportedDeviceState(fdo())), step.target);
        EXPECT_EQ(device().DevicePowerState(), step.target) << "the set did not reach the bus";
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
}

// The lower driver succeeds with an informational status and leaves
// Information set: a power-up is completed afresh with success and
// Information 0; a query for a shallower state returns the lower driver's
// status, its reference given back before the handler returns.
TEST_F(PlainDeviceTransitionTest, PowerUpIsCompletedAfreshWithSuccess)
{
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

// A set the lower drivers fail, up or down, leaves the device where it was.
TEST_F(PlainDeviceTransitionTest, FailedSetLeavesTheDeviceWhereItWas)
{
    const struct {
        DEVICE_POWER_STATE from, to;
    } cases[] = {{PowerDeviceD0, PowerDeviceD3}, {PowerDeviceD3, PowerDeviceD0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Name(c.from) + " -> " + Name(c.to));
        spy().ForgetAnswers();
        if (DevicePower() != c.from) {
            ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, c.from), STATUS_SUCCESS);
        }
        AnswerDeviceRequests(Verdict::CompleteWith(STATUS_UNSUCCESSFUL));
        EXPECT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, c.to), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(DevicePower(), c.from);
        EXPECT_EQ(power().ReportedDeviceState(fdo()), c.from);
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
}

// A write holds the drain until it has completed and given back its
// reference. (A read waiting for data does not: it waits for the device to
// come back; see the io tests.)
class DrainWithWriteTest : public PowerFixture {
protected:
    emu::usb::DeviceModel Model() override { return Quiet(PlainModel()); }
};

TEST_F(DrainWithWriteTest, WaitsForTheWriteInFlight)
{
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    const emu::Handle handle = OpenEndpoint(0x01);
    ASSERT_NE(handle, 0u);
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    auto write = machine().app().WriteAsync(handle, data);
    ASSERT_TRUE(device().WaitForHeld(1, Patience));
    ASSERT_EQ(IoRefCount(), 2);

    drain_watch::Start(context());
    auto systemSet = std::async(std::launch::async, [&] {
        return power().SendSystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3);
    });
    ASSERT_TRUE(drain_watch::WaitForWaits(1, Patience));
    EXPECT_EQ(drain_watch::CountsAtWait()[0], 2) << "the write's reference keeps the drain waiting";
    EXPECT_TRUE(spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState).empty()) << "passed down with a write in flight";
    EXPECT_FALSE(write->Done());

    device().ReleaseWith(device().Held()[0].id, STATUS_SUCCESS, 100);
    ASSERT_TRUE(write->WaitFor(Patience));
    EXPECT_EQ(write->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(device().ReceivedOut(0x01), data);

    ASSERT_EQ(systemSet.wait_for(Patience), std::future_status::ready);
    EXPECT_EQ(systemSet.get(), STATUS_SUCCESS);
    const auto sets = spy().SeenPower(IRP_MN_SET_POWER, DevicePowerState);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].ioRefCount, 3) << "the drain took its references again";
    EXPECT_EQ(DevicePower(), PowerDeviceD3);
    machine().app().Close(handle);
    EXPECT_TRUE(WaitForIoRefCount(1));
}

// Queries over the path table. Remote wakeup refuses what is deeper than
// DeviceWake (D2 here; a plain device's D3 query is in the system query
// table); a query at least as deep as the present state is drained; a
// shallower one goes down at once.
using RemoteWakeQueryPathTest = PowerFixture;  // DeviceWake D2

TEST_F(RemoteWakeQueryPathTest, QueriesFollowThePathTable)
{
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
    drain_watch::Start(context());
    for (const auto& c : cases) {
        SCOPED_TRACE(Name(c.present) + ", query " + Name(c.target));
        if (DevicePower() != c.present) {
            ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, c.present), STATUS_SUCCESS);
        }
        const size_t waitsBefore = drain_watch::Waits();
        const size_t queriesBefore = spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size();
        EXPECT_EQ(power().SendDevicePower(IRP_MN_QUERY_POWER, c.target), c.status);
        EXPECT_EQ(drain_watch::Waits() - waitsBefore, c.drained ? 1u : 0u);
        EXPECT_EQ(spy().SeenPower(IRP_MN_QUERY_POWER, DevicePowerState).size() - queriesBefore, c.passedDown ? 1u : 0u);
        EXPECT_EQ(DevicePower(), c.present) << "a query changed the state";
        EXPECT_TRUE(WaitForIoRefCount(1));
    }
    ASSERT_EQ(power().SendDevicePower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
}

// No pool for the drain's record, or no work item: the set or query fails
// at once with its reference given back and nothing passed down.
TEST_F(PlainDeviceTransitionTest, NoDrainAvailableFailsTheRequestAtOnce)
{
    power().SetLegacySerialization(false);  // requests built by hand
    struct Case {
        const char* name;
        uint64_t failingCall;      // 1: the record's allocation, 2: IoAllocateWorkItem
        uint64_t blocksAllocated;  // records allocated (and freed)
    };
    const Case cases[] = {{"no pool", 1, 0}, {"no work item", 2, 1}};
    drain_watch::Start(context());
    for (const Case& test : cases) {
        for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}) {
            SCOPED_TRACE(std::string(test.name) + (minor == IRP_MN_SET_POWER ? ", set D3" : ", query D3"));
            const uint64_t allocationsBefore = PoolAllocations();
            const uint64_t liveBefore = emu::pool::LiveBlocks(PondrelPoolTag);
            const size_t seenBefore = spy().SeenPower().size();
            RawResult result = SendRaw(minor, DevicePowerState, PowerDeviceD3,
                                       [&] { emu::faults::FailNthCall(test.failingCall); });
            emu::faults::Clear();
            EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
            EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(IoRefCount(), 1) << "the reference is given back at once";
            EXPECT_EQ(spy().SeenPower().size(), seenBefore) << "passed down without a drain";
            EXPECT_EQ(drain_watch::Waits(), 0u);
            EXPECT_EQ(PoolAllocations() - allocationsBefore, test.blocksAllocated);
            EXPECT_EQ(emu::pool::LiveBlocks(PondrelPoolTag), liveBefore);
            EXPECT_EQ(DevicePower(), PowerDeviceD0);
        }
    }
}

}  // namespace
}  // namespace power_test
