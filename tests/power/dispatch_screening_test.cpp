// DispatchPower's screening by PnP state, for every minor code and power
// type: what it returns, what reaches the lower drivers, the references it
// holds meanwhile and gives back, and its PoStartNextPowerIrp calls.
#include "tests/power/power_fixture.h"

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

using ScreeningTest = PowerFixture;

// A removed device completes every request with STATUS_DELETE_PENDING and
// passes nothing down; a new one passes each down without a reference; in
// every other state a reference is held while the request is below, and a
// set or query goes to its handler (a system one asking for its device
// request).
TEST_F(ScreeningTest, EachRequestInEachState)
{
    for (const bool start : {false, true}) {
        Prepare(PlainModel(), start);
        // Requests built by hand are not the power manager's: count calls,
        // do not hold turns. The spy completes every request passed on.
        power().SetLegacySerialization(false);
        spy().AddRule([](const SeenRequest& seen) -> std::optional<Verdict> {
            const bool handled = (seen.minor == IRP_MN_SET_POWER || seen.minor == IRP_MN_QUERY_POWER) && seen.powerType <= DevicePowerState;
            return seen.major != IRP_MJ_POWER ? std::nullopt : std::optional(Verdict::CompleteWith(handled ? STATUS_SUCCESS : kLowerStatus));
        });
        const std::vector<DEVICE_PNP_STATE> states =
            start ? std::vector{DeviceRemoved, DeviceStopped, DeviceRunning, DeviceStopPending, DeviceRemovePending,
                                DeviceSurpriseRemoved}
                  : std::vector{DeviceNew};
        for (const DEVICE_PNP_STATE state : states) {
            std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->PnpState)).store(state);
            for (const Request& request : kRequests) {
                SCOPED_TRACE(std::string(request.name) + " in PnP state " + std::to_string(state));
                const size_t seenBefore = spy().SeenPower().size();
                const uint64_t allCallsBefore = power().StartNextPowerIrpCalls();
                const uint64_t spyCallsBefore = spy().StartNextCalls();
                const RawResult result = SendRaw(request.minor, request.type, request.state);
                const LONG refsRightAfterDispatch = IoRefCount();
                EXPECT_TRUE(WaitForIoRefCount(1)) << "a reference was not given back";
                const std::vector<SeenRequest> seen = PowerSince(seenBefore);
                const uint64_t driverCalls = (power().StartNextPowerIrpCalls() - allCallsBefore) -
                                             (spy().StartNextCalls() - spyCallsBefore);

                if (state == DeviceRemoved) {
                    EXPECT_EQ(result.dispatchStatus, STATUS_DELETE_PENDING);
                    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
                    EXPECT_EQ(result.information, 0u);
                    EXPECT_TRUE(seen.empty()) << "passed down";
                    EXPECT_EQ(refsRightAfterDispatch, 1) << "IoRefCount touched";
                    EXPECT_EQ(driverCalls, 1u);
                    continue;
                }
                const bool screened = state != DeviceNew;
                const bool followed = screened && request.system;
                const bool pending = screened && (request.handled || request.minor == IRP_MN_WAIT_WAKE);
                const NTSTATUS lower = request.handled ? STATUS_SUCCESS : kLowerStatus;
                EXPECT_EQ(result.dispatchStatus, pending ? STATUS_PENDING : lower) << "not the lower driver's status";
                EXPECT_EQ(result.status, lower);
                if (!pending) {
                    EXPECT_EQ(refsRightAfterDispatch, 1) << "reference not given back before returning";
                }
                ASSERT_EQ(seen.size(), followed ? 2u : 1u);
                EXPECT_EQ(seen[0].minor, request.minor);
                EXPECT_EQ(seen[0].powerType, request.type);
                EXPECT_EQ(seen[0].powerState, request.state);
                EXPECT_EQ(seen[0].ioRefCount, screened ? 2 : 1) << "the request's own reference while it is below";
                if (followed) {
                    EXPECT_EQ(seen[1].minor, request.minor) << "the device request has the system request's minor";
                    EXPECT_EQ(seen[1].powerType, static_cast<ULONG>(DevicePowerState));
                    EXPECT_EQ(seen[1].powerState, static_cast<LONG>(PowerDeviceD0));
                    EXPECT_EQ(seen[1].ioRefCount, 3) << "the system and the device request each hold one";
                }
                EXPECT_EQ(driverCalls, followed ? 2u : 1u);
            }
        }
        std::atomic_ref<LONG>(reinterpret_cast<LONG&>(context()->PnpState)).store(start ? DeviceRunning : DeviceNew);
        if (HasFailure()) {
            return;
        }
        TearDown();
    }
}

}  // namespace
}  // namespace power_test
