// The power manager as the platform describes it: what PoRequestPowerIrp
// builds, at which IRQL it sends it and when it calls back, the legacy and
// modern delivery models, one device SET per PDO, PoSetPowerState, and
// system sleep and resume.
#include "tests/system/power_probe.h"
#include "tests/system/system_fixture.h"

#include <tuple>

namespace system_test {
namespace {

// The state a request of `minor` names: a wait-wake the deepest system
// state it may wake from, the others a device state.
POWER_STATE StateFor(UCHAR minor, DEVICE_POWER_STATE device = PowerDeviceD2)
{
    POWER_STATE state;
    if (minor == IRP_MN_WAIT_WAKE) {
        state.SystemState = PowerSystemSleeping3;
    } else {
        state.DeviceState = device;
    }
    return state;
}

class PowerManager : public SystemTest {
protected:
    void BeforeBoot() override { PowerProbe::Instance().Reset(config_); }

    void BringUpProbe(ProbeConfig config = {}, bool legacy = false)
    {
        config_ = config;
        emu::Machine& m = Boot();
        m.power().SetLegacySerialization(legacy);
        ASSERT_EQ(m.BringUp(PowerProbe::DriverEntry), STATUS_SUCCESS);
    }

    NTSTATUS Request(UCHAR minor, POWER_STATE state, PIRP* out = nullptr)
    {
        return PoRequestPowerIrp(Pdo(), minor, state, PowerProbe::Callback, nullptr, out);
    }

    // A wait-wake completes once the probe has passed it down (the
    // `forwarded`th request) and the device signals wake.
    void Wake(size_t forwarded)
    {
        ASSERT_TRUE(probe().WaitForForwarded(forwarded, kWait));
        ASSERT_TRUE(machine().Device().WaitWakePending());
        machine().Device().SignalWake();
    }

    PDEVICE_OBJECT Pdo() { return machine().Device().Pdo(); }
    PowerProbe& probe() { return PowerProbe::Instance(); }

    ProbeConfig config_;
};

// A minor code the power manager does not create, or an allocation that
// fails: refused at once, the out-pointer left alone, nothing sent and
// nothing called back.
TEST_F(PowerManager, RefusedRequestSendsNothingAndCallsNothingBack)
{
    // failNthCall 1: the call itself, 2: the IRP it allocates.
    const struct { UCHAR minor; uint64_t failNthCall; NTSTATUS status; } cases[] = {
        {IRP_MN_POWER_SEQUENCE, 0, STATUS_INVALID_PARAMETER_2},
        {0x04, 0, STATUS_INVALID_PARAMETER_2},
        {0xFF, 0, STATUS_INVALID_PARAMETER_2},
        {IRP_MN_WAIT_WAKE, 1, STATUS_INSUFFICIENT_RESOURCES},
        {IRP_MN_WAIT_WAKE, 2, STATUS_INSUFFICIENT_RESOURCES},
    };
    BringUpProbe();
    const uint64_t irps = emu::LiveIrps();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.minor) + " failing call " + std::to_string(c.failNthCall));
        PIRP out = reinterpret_cast<PIRP>(0x1234);
        if (c.failNthCall != 0) {
            emu::faults::FailNthCall(c.failNthCall);
        }
        EXPECT_EQ(Request(c.minor, StateFor(IRP_MN_SET_POWER), &out), c.status);
        emu::faults::Clear();
        EXPECT_EQ(out, reinterpret_cast<PIRP>(0x1234));
    }
    EXPECT_TRUE(probe().Seen().arrivals.empty());
    EXPECT_TRUE(probe().Seen().callbacks.empty());
    EXPECT_EQ(emu::LiveIrps(), irps);
}

// The request carries one stack location for the power manager above the
// top of the stack, arrives at PASSIVE_LEVEL on a pageable stack however it
// was asked for (a wait-wake request is asked for at PASSIVE_LEVEL, the
// only one given an out-pointer, already set on arrival); the callback
// comes after the completion routines.
TEST_F(PowerManager, BuildsTheRequestForTheTopOfTheStackAndCallsBackLast)
{
    BringUpProbe();
    const struct { UCHAR minor; DEVICE_POWER_STATE state; } cases[] = {
        {IRP_MN_WAIT_WAKE, PowerDeviceUnspecified},  // first: the device must be in D0 for it
        {IRP_MN_QUERY_POWER, PowerDeviceD2},
        {IRP_MN_SET_POWER, PowerDeviceD3},
    };
    const CCHAR topStackSize = probe().Device()->StackSize;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.minor));
        const size_t before = probe().Seen().arrivals.size();
        const POWER_STATE state = StateFor(c.minor, c.state);
        PIRP out = nullptr;
        probe().WatchOutPointer(&out);
        const bool waitWake = c.minor == IRP_MN_WAIT_WAKE;
        {
            emu::ScopedIrql at(waitWake ? PASSIVE_LEVEL : DISPATCH_LEVEL);
            EXPECT_EQ(Request(c.minor, state, waitWake ? &out : nullptr), STATUS_PENDING);
        }
        ASSERT_TRUE(probe().WaitForArrivals(before + 1, kWait));
        if (c.minor == IRP_MN_WAIT_WAKE) {
            ASSERT_TRUE(probe().WaitForForwarded(1, kWait));
            EXPECT_TRUE(probe().Seen().callbacks.empty()) << "a wait-wake request waits for the device";
            Wake(1);
        }
        ASSERT_TRUE(probe().WaitForCallbacks(before + 1, kWait));
        const ProbeCallback callback = probe().Seen().callbacks[before];
        const ProbeArrival arrival = probe().Seen().arrivals[before];
        EXPECT_EQ(std::pair(arrival.minor, arrival.irql), std::pair(c.minor, KIRQL{PASSIVE_LEVEL}));
        if (waitWake) {
            EXPECT_EQ(std::pair(arrival.irp, arrival.outPointer), std::pair(out, out));
        }
        EXPECT_EQ(std::pair(arrival.stackCount, arrival.currentLocation),
                  (std::pair<CHAR, CHAR>(topStackSize + 2, topStackSize + 1)));
        EXPECT_EQ(std::pair(arrival.initialStatus.Status, arrival.initialStatus.Information),
                  (std::pair<NTSTATUS, ULONG_PTR>(STATUS_NOT_SUPPORTED, 0)));
        if (c.minor == IRP_MN_WAIT_WAKE) {
            EXPECT_EQ(arrival.waitWakeState, PowerSystemSleeping3);
        } else {
            EXPECT_EQ(std::pair(arrival.type, arrival.state.DeviceState), std::pair(DevicePowerState, c.state));
        }
        EXPECT_EQ(std::tuple(callback.device, callback.minor, callback.state.DeviceState, callback.status),
                  std::tuple(Pdo(), c.minor, state.DeviceState, STATUS_SUCCESS));
        EXPECT_EQ(callback.completionsBefore, before + 1) << "the callback comes after the completion routines";
    }
}

// Two device requests while the probe holds the first, not yet given its
// PoStartNextPowerIrp. In the legacy model the second waits; in the modern
// one a QUERY does not, but in both one device SET per PDO is in flight:
// the second waits until the first has completed, not just until
// PoStartNextPowerIrp. A system request, of the other kind, never waits.
TEST_F(PowerManager, DeviceRequestsWaitTheirTurn)
{
    const struct { const char* what; bool legacy; UCHAR minor; size_t arrivedAtOnce; } cases[] = {
        {"legacy query", true, IRP_MN_QUERY_POWER, 1},
        {"modern query", false, IRP_MN_QUERY_POWER, 2},
        {"legacy set", true, IRP_MN_SET_POWER, 1},
        {"modern set", false, IRP_MN_SET_POWER, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BringUpProbe({.holdDeviceRequests = true}, c.legacy);
        ASSERT_EQ(Request(c.minor, StateFor(c.minor, PowerDeviceD2)), STATUS_PENDING);
        ASSERT_EQ(Request(c.minor, StateFor(c.minor, PowerDeviceD3)), STATUS_PENDING);
        EXPECT_EQ(probe().Seen().arrivals.size(), c.arrivedAtOnce);
        EXPECT_EQ(machine().power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);

        probe().ReleaseHeld();
        ASSERT_TRUE(probe().WaitForCallbacks(1, kWait));
        ASSERT_TRUE(probe().WaitForArrivals(3, kWait));
        EXPECT_EQ(probe().Seen().callbacks.size(), 1u);
        probe().ReleaseHeld();
        ASSERT_TRUE(probe().WaitForCallbacks(2, kWait));
        for (const ProbeCallback& callback : probe().Seen().callbacks) {
            EXPECT_EQ(callback.status, STATUS_SUCCESS);
        }
        EXPECT_EQ(machine().Device().DevicePowerState(), c.minor == IRP_MN_SET_POWER ? PowerDeviceD3 : PowerDeviceD0);
    }
}

// The verifier flags a missing, a second, or a PoStartNextPowerIrp-less
// forward in the legacy model only; a missed turn never blocks the next
// request, and a wait-wake takes no turn.
TEST_F(PowerManager, LegacyAccountingOfPoStartNextPowerIrp)
{
    // finding: null when none is expected.
    const struct {
        const char* what;
        bool legacy;
        StartNext startNext;
        bool ioCallDriver;
        UCHAR minor;
        const char* finding;
    } cases[] = {
        {"missing", true, StartNext::Never, false, IRP_MN_QUERY_POWER, "was not called"},
        {"second call", true, StartNext::Twice, false, IRP_MN_QUERY_POWER, "called twice"},
        {"IoCallDriver", true, StartNext::Once, true, IRP_MN_QUERY_POWER, "instead of PoCallDriver"},
        {"correct", true, StartNext::Once, false, IRP_MN_QUERY_POWER, nullptr},
        {"wait-wake takes no turn", true, StartNext::Twice, false, IRP_MN_WAIT_WAKE, nullptr},
        {"modern, missing", false, StartNext::Never, false, IRP_MN_QUERY_POWER, nullptr},
        {"modern, second call", false, StartNext::Twice, false, IRP_MN_QUERY_POWER, nullptr},
        {"modern, IoCallDriver", false, StartNext::Once, true, IRP_MN_QUERY_POWER, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto twoRequests = [&] {
            BringUpProbe({.startNext = c.startNext, .forwardWithIoCallDriver = c.ioCallDriver}, c.legacy);
            for (int round = 1; round <= 2; ++round) {
                ASSERT_EQ(Request(c.minor, StateFor(c.minor)), STATUS_PENDING);
                if (c.minor == IRP_MN_WAIT_WAKE) {
                    Wake(round);
                }
                ASSERT_TRUE(probe().WaitForCallbacks(round, kWait));
                EXPECT_EQ(probe().Seen().callbacks.back().status, STATUS_SUCCESS);
            }
        };
        if (c.finding == nullptr) {
            twoRequests();
        } else {
            EXPECT_GE(ExpectFinding(c.finding, twoRequests).size(), 2u);
        }
    }
}

// A stack that is not pageable gets a request where it was asked for (a
// function driver that does not inherit DO_POWER_PAGABLE is itself flagged).
TEST_F(PowerManager, StackNotPageableGetsRequestsAtTheCallersIrql)
{
    ExpectFinding("DO_POWER_PAGABLE not inherited", [&] { BringUpProbe({.copyPagable = false}); });
    ASSERT_TRUE(Pdo()->Flags & DO_POWER_PAGABLE);
    {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        ASSERT_EQ(Request(IRP_MN_SET_POWER, StateFor(IRP_MN_SET_POWER)), STATUS_PENDING);
    }
    ASSERT_TRUE(probe().WaitForCallbacks(1, kWait));
    EXPECT_EQ(probe().Seen().arrivals[0].irql, DISPATCH_LEVEL);
}

TEST_F(PowerManager, PoSetPowerStateReturnsThePreviousStateAndKeepsItsIrqlRule)
{
    BringUpProbe();
    PDEVICE_OBJECT device = probe().Device();
    const struct { DEVICE_POWER_STATE state; KIRQL irql; DEVICE_POWER_STATE previous; bool finding; } steps[] = {
        {PowerDeviceD3, PASSIVE_LEVEL, PowerDeviceD0, false},
        {PowerDeviceD2, APC_LEVEL, PowerDeviceD3, false},
        {PowerDeviceD0, DISPATCH_LEVEL, PowerDeviceD2, false},
        {PowerDeviceD3, DISPATCH_LEVEL, PowerDeviceD0, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.state);
        POWER_STATE previous;
        const auto set = [&] {
            emu::ScopedIrql at(step.irql);
            previous = PoSetPowerState(device, DevicePowerState, StateFor(IRP_MN_SET_POWER, step.state));
        };
        if (step.finding) {
            ExpectFinding("PoSetPowerState above its IRQL", set);
        } else {
            set();
        }
        EXPECT_EQ(previous.DeviceState, step.previous);
        EXPECT_EQ(machine().power().ReportedDeviceState(device), step.state);
    }
}

// Sleep queries then sets the sleep state, resume sets the working state;
// a refused query is followed by a set of the working state instead. A
// state that is not a sleep state sends nothing.
TEST_F(PowerManager, SleepQueriesThenSetsAndResumeSetsWorking)
{
    const struct { SYSTEM_POWER_STATE state; POWER_ACTION action; bool refuseQuery; } cases[] = {
        {PowerSystemSleeping1, PowerActionSleep, false},
        {PowerSystemSleeping3, PowerActionSleep, false},
        {PowerSystemHibernate, PowerActionHibernate, false},
        {PowerSystemSleeping3, PowerActionSleep, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + (c.refuseQuery ? " refused" : ""));
        BringUpProbe({.failSystemQuery = c.refuseQuery});
        emu::Power& power = machine().power();
        std::vector<std::pair<UCHAR, SYSTEM_POWER_STATE>> expected = {{IRP_MN_QUERY_POWER, c.state}};
        if (c.refuseQuery) {
            EXPECT_EQ(power.Sleep(c.state), STATUS_UNSUCCESSFUL);
        } else {
            ASSERT_EQ(power.Sleep(c.state), STATUS_SUCCESS);
            EXPECT_EQ(power.SystemState(), c.state);
            ASSERT_EQ(power.Resume(), STATUS_SUCCESS);
            expected.emplace_back(IRP_MN_SET_POWER, c.state);
        }
        expected.emplace_back(IRP_MN_SET_POWER, PowerSystemWorking);
        EXPECT_EQ(power.SystemState(), PowerSystemWorking);

        const auto arrivals = probe().Seen().arrivals;
        ASSERT_EQ(arrivals.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const ProbeArrival& a = arrivals[i];
            EXPECT_EQ(std::tuple(a.minor, a.type, a.state.SystemState, a.irql),
                      std::tuple(expected[i].first, SystemPowerState, expected[i].second, KIRQL{PASSIVE_LEVEL})) << i;
            if (expected[i].second != PowerSystemWorking) {
                EXPECT_EQ(a.action, c.action) << i;
            }
        }
    }
    EXPECT_EQ(machine().power().Sleep(PowerSystemWorking), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(probe().Seen().arrivals.size(), 2u) << "nothing is sent for a state that is not a sleep state";
}

}  // namespace
}  // namespace system_test
