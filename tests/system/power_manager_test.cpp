// The power manager as the platform describes it: what PoRequestPowerIrp
// builds and when it calls back, the legacy and modern delivery models,
// one device SET per PDO, PoSetPowerState, and system sleep and resume.
#include "tests/system/power_probe.h"
#include "tests/system/system_fixture.h"

#include <thread>

namespace system_test {
namespace {

struct Callback {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;

    bool WaitCalls(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return called.wait_for(lock, kWait, [&] { return calls >= count; });
    }
    int Calls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

void RecordCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK ioStatus)
{
    PowerProbe::Instance().Log("callback");
    auto* callback = static_cast<Callback*>(context);
    std::lock_guard<std::mutex> lock(callback->mutex);
    ++callback->calls;
    callback->device = device;
    callback->minor = minor;
    callback->state = state;
    callback->status = ioStatus->Status;
    callback->called.notify_all();
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE state)
{
    POWER_STATE power;
    power.SystemState = state;
    return power;
}

class PowerManager : public SystemTest {
protected:
    void BeforeBoot() override { PowerProbe::Instance().Reset(config_); }

    void BringUpProbe(ProbeConfig config = {}, bool legacy = false)
    {
        config_ = config;
        emu::Machine& m = Boot();
        m.power().SetLegacySerialization(legacy);
        ASSERT_EQ(m.LoadDriver(PowerProbe::DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\probe"),
                  STATUS_SUCCESS);
        ASSERT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
    }

    // Two device requests of `minor` asked for while the probe holds the
    // device requests it gets.
    void RequestTwoWhileHolding(bool legacy, UCHAR minor, Callback* first, Callback* second)
    {
        ProbeConfig config;
        config.holdDeviceRequests = true;
        BringUpProbe(config, legacy);
        ASSERT_EQ(Request(minor, DeviceState(PowerDeviceD2), first), STATUS_PENDING);
        ASSERT_EQ(Request(minor, DeviceState(PowerDeviceD3), second), STATUS_PENDING);
    }

    PDEVICE_OBJECT Pdo() { return machine().Device().Pdo(); }
    PowerProbe& probe() { return PowerProbe::Instance(); }

    ProbeConfig config_;

    NTSTATUS Request(UCHAR minor, POWER_STATE state, Callback* callback, PIRP* out = nullptr)
    {
        return PoRequestPowerIrp(Pdo(), minor, state, RecordCallback, callback, out);
    }
};

TEST_F(PowerManager, RefusesMinorsItDoesNotCreate)
{
    BringUpProbe();
    const uint64_t irps = emu::LiveIrps();
    for (UCHAR minor : {UCHAR(IRP_MN_POWER_SEQUENCE), UCHAR(0x04), UCHAR(0xFF)}) {
        SCOPED_TRACE(int(minor));
        Callback callback;
        PIRP out = reinterpret_cast<PIRP>(0x1234);
        EXPECT_EQ(Request(minor, DeviceState(PowerDeviceD2), &callback, &out), STATUS_INVALID_PARAMETER_2);
        EXPECT_EQ(out, reinterpret_cast<PIRP>(0x1234));
        EXPECT_EQ(callback.Calls(), 0);
    }
    EXPECT_TRUE(probe().Arrivals().empty());
    EXPECT_EQ(emu::LiveIrps(), irps);
}

TEST_F(PowerManager, BuildsTheRequestForTheTopOfTheStackAndCallsBackLast)
{
    BringUpProbe();
    const struct {
        UCHAR minor;
        POWER_STATE state;
    } cases[] = {
        {IRP_MN_WAIT_WAKE, SystemState(PowerSystemSleeping3)},  // first: the device must be in D0 for it
        {IRP_MN_QUERY_POWER, DeviceState(PowerDeviceD2)},
        {IRP_MN_SET_POWER, DeviceState(PowerDeviceD3)},
    };
    const CCHAR topStackSize = probe().Device()->StackSize;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.minor));
        const size_t before = probe().Arrivals().size();
        Callback callback;
        PIRP out = nullptr;
        probe().WatchOutPointer(&out);
        EXPECT_EQ(Request(c.minor, c.state, &callback, &out), STATUS_PENDING);
        ASSERT_TRUE(probe().WaitForArrivals(before + 1, kWait));
        if (c.minor == IRP_MN_WAIT_WAKE) {
            ASSERT_TRUE(probe().WaitForForwarded(1, kWait));
            EXPECT_EQ(callback.Calls(), 0) << "a wait-wake request waits for the device";
            machine().Device().SignalWake();
        }
        ASSERT_TRUE(callback.WaitCalls(1));

        const ProbeArrival arrival = probe().Arrivals()[before];
        EXPECT_EQ(arrival.irp, out);
        EXPECT_EQ(arrival.outPointer, out) << "the out-pointer is set before the request is sent";
        EXPECT_EQ(arrival.stackCount, topStackSize + 2);
        EXPECT_EQ(arrival.currentLocation, topStackSize + 1) << "one location is the power manager's";
        EXPECT_EQ(arrival.initialStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(arrival.initialStatus.Information, 0u);
        EXPECT_EQ(arrival.minor, c.minor);
        if (c.minor == IRP_MN_WAIT_WAKE) {
            EXPECT_EQ(arrival.waitWakeState, PowerSystemSleeping3);
        } else {
            EXPECT_EQ(arrival.type, DevicePowerState);
            EXPECT_EQ(arrival.state.DeviceState, c.state.DeviceState);
        }
        EXPECT_EQ(callback.device, Pdo());
        EXPECT_EQ(callback.minor, c.minor);
        EXPECT_EQ(callback.state.DeviceState, c.state.DeviceState);
        EXPECT_EQ(callback.status, STATUS_SUCCESS);
        const auto events = probe().Events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
                  (std::vector<std::string>{"completion", "callback"}));
    }
}

TEST_F(PowerManager, FailedAllocationSendsNothingAndCallsNothingBack)
{
    BringUpProbe();
    for (uint64_t nth : {1u, 2u}) {  // the call itself, then the IRP it allocates
        SCOPED_TRACE(nth);
        Callback callback;
        emu::faults::FailNthCall(nth);
        EXPECT_EQ(Request(IRP_MN_SET_POWER, DeviceState(PowerDeviceD2), &callback), STATUS_INSUFFICIENT_RESOURCES);
        emu::faults::Clear();
        EXPECT_EQ(callback.Calls(), 0);
    }
    EXPECT_TRUE(probe().Arrivals().empty());
}

// A device request held by the driver, not yet given its PoStartNextPowerIrp:
// in the legacy model the next device request waits, a system request
// does not; in the modern model nothing waits.
TEST_F(PowerManager, LegacyModelHoldsTheNextRequestOfTheSameKind)
{
    for (bool legacy : {true, false}) {
        SCOPED_TRACE(legacy ? "legacy" : "modern");
        Callback first;
        Callback second;
        RequestTwoWhileHolding(legacy, IRP_MN_QUERY_POWER, &first, &second);
        EXPECT_EQ(probe().Arrivals().size(), legacy ? 1u : 2u);

        NTSTATUS systemStatus = STATUS_PENDING;
        std::thread system([&] { systemStatus = machine().power().SendSystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping1); });
        system.join();
        EXPECT_EQ(systemStatus, STATUS_SUCCESS) << "a system request is of the other kind";

        probe().ReleaseHeld();
        ASSERT_TRUE(first.WaitCalls(1));
        ASSERT_TRUE(probe().WaitForArrivals(3, kWait));
        probe().ReleaseHeld();
        ASSERT_TRUE(second.WaitCalls(1));
        EXPECT_EQ(first.status, STATUS_SUCCESS);
        EXPECT_EQ(second.status, STATUS_SUCCESS);
    }
}

// One device SET per PDO in flight, in both models: the second waits until
// the first has completed, not just until PoStartNextPowerIrp.
TEST_F(PowerManager, DeviceSetRequestsForOnePdoGoOneAtATime)
{
    for (bool legacy : {true, false}) {
        SCOPED_TRACE(legacy ? "legacy" : "modern");
        Callback first;
        Callback second;
        RequestTwoWhileHolding(legacy, IRP_MN_SET_POWER, &first, &second);
        EXPECT_EQ(probe().Arrivals().size(), 1u);
        probe().ReleaseHeld();
        ASSERT_TRUE(first.WaitCalls(1));
        ASSERT_TRUE(probe().WaitForArrivals(2, kWait));
        EXPECT_EQ(second.Calls(), 0);
        probe().ReleaseHeld();
        ASSERT_TRUE(second.WaitCalls(1));
        EXPECT_EQ(machine().Device().DevicePowerState(), PowerDeviceD3);
    }
}

TEST_F(PowerManager, LegacyAccountingOfPoStartNextPowerIrp)
{
    const struct {
        const char* what;
        bool legacy;
        StartNext startNext;
        bool ioCallDriver;
        UCHAR minor;
        const char* finding;  // null: none
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
        ProbeConfig config;
        config.startNext = c.startNext;
        config.forwardWithIoCallDriver = c.ioCallDriver;
        BringUpProbe(config, c.legacy);
        for (int round = 0; round < 2; ++round) {  // a missed turn must not block the next request
            Callback callback;
            POWER_STATE state = c.minor == IRP_MN_WAIT_WAKE ? SystemState(PowerSystemSleeping3) : DeviceState(PowerDeviceD2);
            ASSERT_EQ(Request(c.minor, state, &callback), STATUS_PENDING);
            if (c.minor == IRP_MN_WAIT_WAKE) {
                ASSERT_TRUE(probe().WaitForForwarded(round + 1, kWait));
                machine().Device().SignalWake();
            }
            ASSERT_TRUE(callback.WaitCalls(1));
            EXPECT_EQ(callback.status, STATUS_SUCCESS);
        }
        if (c.finding != nullptr) {
            EXPECT_GE(TakeFindings(c.finding), 2u);
        }
    }
}

TEST_F(PowerManager, PageableStackGetsRequestsAtPassiveLevel)
{
    const struct {
        bool pageable;
        UCHAR minor;
        KIRQL expected;
    } cases[] = {
        {true, IRP_MN_SET_POWER, PASSIVE_LEVEL},
        {true, IRP_MN_WAIT_WAKE, PASSIVE_LEVEL},
        {false, IRP_MN_SET_POWER, DISPATCH_LEVEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pageable) + " " + std::to_string(c.minor));
        ProbeConfig config;
        config.copyPagable = c.pageable;
        BringUpProbe(config);
        if (!c.pageable) {
            EXPECT_EQ(TakeFindings("DO_POWER_PAGABLE not inherited"), 1u);
        }
        ASSERT_TRUE(Pdo()->Flags & DO_POWER_PAGABLE);
        Callback callback;
        {
            emu::ScopedIrql dispatch(DISPATCH_LEVEL);
            POWER_STATE state = c.minor == IRP_MN_WAIT_WAKE ? SystemState(PowerSystemSleeping3) : DeviceState(PowerDeviceD2);
            ASSERT_EQ(Request(c.minor, state, &callback), STATUS_PENDING);
        }
        ASSERT_TRUE(probe().WaitForForwarded(1, kWait));
        EXPECT_EQ(probe().Arrivals()[0].irql, c.expected);
        if (c.minor == IRP_MN_WAIT_WAKE) {
            ASSERT_TRUE(machine().Device().WaitWakePending());
            machine().Device().SignalWake();
        }
        ASSERT_TRUE(callback.WaitCalls(1));
    }
}

TEST_F(PowerManager, PoSetPowerStateReturnsThePreviousStateAndKeepsItsIrqlRule)
{
    BringUpProbe();
    PDEVICE_OBJECT device = probe().Device();
    const struct {
        DEVICE_POWER_STATE state;
        KIRQL irql;
        DEVICE_POWER_STATE previous;
        bool finding;
    } steps[] = {
        {PowerDeviceD3, PASSIVE_LEVEL, PowerDeviceD0, false},
        {PowerDeviceD2, APC_LEVEL, PowerDeviceD3, false},
        {PowerDeviceD0, DISPATCH_LEVEL, PowerDeviceD2, false},
        {PowerDeviceD3, DISPATCH_LEVEL, PowerDeviceD0, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.state);
        POWER_STATE previous;
        {
            emu::ScopedIrql at(step.irql);
            previous = PoSetPowerState(device, DevicePowerState, DeviceState(step.state));
        }
        EXPECT_EQ(previous.DeviceState, step.previous);
        EXPECT_EQ(machine().power().ReportedDeviceState(device), step.state);
        EXPECT_EQ(TakeFindings("PoSetPowerState above its IRQL"), step.finding ? 1u : 0u);
    }
}

TEST_F(PowerManager, SleepQueriesThenSetsAndResumeSetsWorking)
{
    const struct {
        SYSTEM_POWER_STATE state;
        POWER_ACTION action;
    } cases[] = {
        {PowerSystemSleeping1, PowerActionSleep},
        {PowerSystemSleeping3, PowerActionSleep},
        {PowerSystemHibernate, PowerActionHibernate},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        BringUpProbe();
        emu::Power& power = machine().power();
        ASSERT_EQ(power.Sleep(c.state), STATUS_SUCCESS);
        EXPECT_EQ(power.SystemState(), c.state);
        ASSERT_EQ(power.Resume(), STATUS_SUCCESS);
        EXPECT_EQ(power.SystemState(), PowerSystemWorking);

        const auto arrivals = probe().Arrivals();
        ASSERT_EQ(arrivals.size(), 3u);
        const UCHAR minors[] = {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, IRP_MN_SET_POWER};
        const SYSTEM_POWER_STATE states[] = {c.state, c.state, PowerSystemWorking};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(arrivals[i].minor, minors[i]) << i;
            EXPECT_EQ(arrivals[i].type, SystemPowerState) << i;
            EXPECT_EQ(arrivals[i].state.SystemState, states[i]) << i;
            EXPECT_EQ(arrivals[i].irql, PASSIVE_LEVEL) << i;
        }
        EXPECT_EQ(arrivals[0].action, c.action);
        EXPECT_EQ(arrivals[1].action, c.action);
    }
}

TEST_F(PowerManager, RefusedSleepQueryIsFollowedByASetForTheWorkingState)
{
    ProbeConfig config;
    config.failSystemQuery = true;
    BringUpProbe(config);
    EXPECT_EQ(machine().power().Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(machine().power().SystemState(), PowerSystemWorking);
    const auto arrivals = probe().Arrivals();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0].minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(arrivals[0].state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(arrivals[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(arrivals[1].state.SystemState, PowerSystemWorking);

    EXPECT_EQ(machine().power().Sleep(PowerSystemWorking), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(probe().Arrivals().size(), 2u) << "nothing is sent for a state that is not a sleep state";
}

}  // namespace
}  // namespace system_test
