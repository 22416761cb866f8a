// DispatchPower's screening by PnP state, for every minor code and power
// type: what it returns, what reaches the lower drivers, the references it
// holds meanwhile and gives back, and its PoStartNextPowerIrp calls.
#include "tests/power/power_fixture.h"

#include <string>

namespace power_test {
namespace {

// What the spy answers for requests the driver only passes on; distinct
// from anything the driver itself would complete with.
constexpr NTSTATUS kLowerStatus = STATUS_DEVICE_BUSY;

struct Request {
    const char* name;
    UCHAR minor;
    ULONG type;
    LONG state;
    bool handled;  // a set or query of a known type: DispatchPower hands it to a handler
    bool system;   // a system set or query: a device request follows
};

const Request kRequests[] = {
    {"wait-wake", IRP_MN_WAIT_WAKE, 0, PowerSystemSleeping3, false, false},
    {"power sequence", IRP_MN_POWER_SEQUENCE, 0, 0, false, false},
    {"system set", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, true, true},
    {"system query", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemWorking, true, true},
    {"device set", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, true, false},
    {"device query", IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0, true, false},
    {"set of power type 2", IRP_MN_SET_POWER, 2, 1, false, false},
    {"query of power type 2", IRP_MN_QUERY_POWER, 2, 1, false, false},
    {"unknown minor 0x07", 0x07, 0, 0, false, false},
};

class ScreeningTest : public PowerFixtureWith<PlainModel> {
protected:
    bool StartAtSetUp() override { return false; }

    // Requests built by hand are not the power manager's: count calls, do
    // not hold turns. The spy completes every request the driver passes on.
    void Bring(bool start)
    {
        Prepare(start);
        power().SetLegacySerialization(false);
        spy().AddRule(When([](const SeenRequest& seen) {
            return seen.major == IRP_MJ_POWER && (seen.minor == IRP_MN_SET_POWER || seen.minor == IRP_MN_QUERY_POWER) &&
                   seen.powerType <= DevicePowerState;
        }, Verdict::CompleteWith(STATUS_SUCCESS)));
        spy().AddRule(When([](const SeenRequest& seen) { return seen.major == IRP_MJ_POWER; },
                           Verdict::CompleteWith(kLowerStatus)));
    }

    void SetPnpState(DEVICE_PNP_STATE state)
    {
        std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->PnpState)).store(state);
    }

    struct Observed {
        RawResult result;
        std::vector<SeenRequest> seen;  // what reached the spy
        uint64_t driverStartNextCalls;
        LONG refsRightAfterDispatch;
    };

    Observed Send(const Request& request)
    {
        const size_t seenBefore = spy().SeenPower().size();
        const uint64_t allCallsBefore = power().StartNextPowerIrpCalls();
        const uint64_t spyCallsBefore = spy().StartNextCalls();
        Observed observed;
        observed.result = SendRaw(request.minor, request.type, request.state);
        observed.refsRightAfterDispatch = IoRefCount();
        EXPECT_TRUE(WaitForIoRefCount(1)) << request.name << ": a reference was not given back";
        observed.seen = PowerSince(seenBefore);
        observed.driverStartNextCalls = (power().StartNextPowerIrpCalls() - allCallsBefore) -
                                        (spy().StartNextCalls() - spyCallsBefore);
        return observed;
    }
};

TEST_F(ScreeningTest, RemovedDeviceCompletesEveryRequestWithDeletePending)
{
    Bring(true);
    SetPnpState(DeviceRemoved);
    for (const Request& request : kRequests) {
        SCOPED_TRACE(request.name);
        Observed observed = Send(request);
        EXPECT_EQ(observed.result.dispatchStatus, STATUS_DELETE_PENDING);
        EXPECT_EQ(observed.result.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(observed.result.information, 0u);
        EXPECT_TRUE(observed.seen.empty()) << "passed down";
        EXPECT_EQ(observed.refsRightAfterDispatch, 1) << "IoRefCount touched";
        EXPECT_EQ(observed.driverStartNextCalls, 1u);
        if (HasFailure()) {
            break;
        }
    }
    SetPnpState(DeviceRunning);
}

TEST_F(ScreeningTest, NewDevicePassesEveryRequestDownWithoutAReference)
{
    Bring(false);
    ASSERT_EQ(State(), DeviceNew);
    for (const Request& request : kRequests) {
        SCOPED_TRACE(request.name);
        Observed observed = Send(request);
        const NTSTATUS lower = request.handled ? STATUS_SUCCESS : kLowerStatus;
        EXPECT_EQ(observed.result.dispatchStatus, lower) << "not the lower driver's status";
        EXPECT_EQ(observed.result.status, lower);
        ASSERT_EQ(observed.seen.size(), 1u) << "exactly the request itself goes down; no device request follows";
        EXPECT_EQ(observed.seen[0].minor, request.minor);
        EXPECT_EQ(observed.seen[0].powerState, request.state);
        EXPECT_EQ(observed.seen[0].ioRefCount, 1) << "a reference was held";
        EXPECT_EQ(observed.refsRightAfterDispatch, 1);
        EXPECT_EQ(observed.driverStartNextCalls, 1u);
        if (HasFailure()) {
            break;
        }
    }
}

TEST_F(ScreeningTest, OtherStatesHoldAReferenceAndHandleOrPassDown)
{
    Bring(true);
    const DEVICE_PNP_STATE states[] = {DeviceStopped, DeviceRunning, DeviceStopPending, DeviceRemovePending,
                                       DeviceSurpriseRemoved};
    for (DEVICE_PNP_STATE state : states) {
        SetPnpState(state);
        for (const Request& request : kRequests) {
            SCOPED_TRACE(std::string(request.name) + " in PnP state " + std::to_string(state));
            Observed observed = Send(request);

            const bool pending = request.handled || request.minor == IRP_MN_WAIT_WAKE;
            EXPECT_EQ(observed.result.dispatchStatus, pending ? STATUS_PENDING : kLowerStatus);
            EXPECT_EQ(observed.result.status, request.handled ? STATUS_SUCCESS : kLowerStatus);
            if (!pending) {
                EXPECT_EQ(observed.refsRightAfterDispatch, 1) << "reference not given back before returning";
            }

            ASSERT_EQ(observed.seen.size(), request.system ? 2u : 1u);
            EXPECT_EQ(observed.seen[0].minor, request.minor);
            EXPECT_EQ(observed.seen[0].powerType, request.type);
            EXPECT_EQ(observed.seen[0].powerState, request.state);
            EXPECT_EQ(observed.seen[0].ioRefCount, 2) << "the request's own reference is held while it is below";
            if (request.system) {
                const SeenRequest& follow = observed.seen[1];
                EXPECT_EQ(follow.minor, request.minor) << "the device request has the system request's minor code";
                EXPECT_EQ(follow.powerType, static_cast<ULONG>(DevicePowerState));
                EXPECT_EQ(follow.powerState, static_cast<LONG>(PowerDeviceD0));
                EXPECT_EQ(follow.ioRefCount, 3) << "the system and the device request each hold one";
            }
            EXPECT_EQ(observed.driverStartNextCalls, request.system ? 2u : 1u);
            if (HasFailure()) {
                SetPnpState(DeviceRunning);
                return;
            }
        }
    }
    SetPnpState(DeviceRunning);
}

}  // namespace
}  // namespace power_test
