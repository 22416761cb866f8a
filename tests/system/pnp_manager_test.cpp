// The PnP manager with the pass-through driver: the order of its requests,
// refused queries and their cancels, removal and unload, surprise removal
// after a disconnect, the teardown of whatever a test leaves, and which
// devices a hub enumerates at all.
#include "tests/system/power_probe.h"
#include "tests/system/system_fixture.h"

#include "emulator/usb/usb_api.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace system_test {
namespace {

using Life = emu::DeviceLife;
using Minors = std::vector<UCHAR>;

class PnpManager : public SystemTest {
protected:
    void BeforeBoot() override { probe().Reset(); }
    static PowerProbe& probe() { return PowerProbe::Instance(); }

    emu::Machine& Start(emu::MachineOptions options = {})
    {
        emu::Machine& m = Boot(std::move(options));
        EXPECT_EQ(m.BringUp(PowerProbe::DriverEntry), STATUS_SUCCESS);
        return m;
    }

    // The driver loaded and added, not started.
    emu::Machine& Added(emu::MachineOptions options = {})
    {
        emu::Machine& m = Boot(std::move(options));
        EXPECT_EQ(m.LoadDriver(PowerProbe::DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
        return m;
    }

    emu::Handle Open()
    {
        emu::Handle handle = 0;
        EXPECT_EQ(machine().app().Open(std::string_view(PowerProbe::kPath), &handle), STATUS_SUCCESS);
        return handle;
    }

    // The minor codes of IRP_MJ_PNP in arrival order; the last `count` only
    // when given.
    static Minors PnpLog(size_t count = SIZE_MAX)
    {
        const Minors all = probe().Seen().pnp;
        return Minors(all.end() - std::min(count, all.size()), all.end());
    }
};

// The driver unloads with its last device object: at once, or, with a
// handle still open, when the handle is closed; the device's name goes at
// once. AddDevice loads the driver again. A device added and started while
// the old device object waits for its handle keeps the driver loaded when
// that handle closes (the PnP manager once unloaded it then).
TEST_F(PnpManager, OrderlyRemovalUnloadsTheDriverWithItsLastDeviceObject)
{
    enum class Handle { None, Open, OpenWhileANewDeviceStarts };
    for (Handle kept : {Handle::None, Handle::Open, Handle::OpenWhileANewDeviceStarts}) {
        SCOPED_TRACE(static_cast<int>(kept));
        emu::Machine& m = Start();
        DEVICE_CAPABILITIES capabilities{};
        ASSERT_EQ(m.pnp().QueryCapabilities(&capabilities), STATUS_SUCCESS);
        EXPECT_EQ(capabilities.Size, sizeof capabilities);
        EXPECT_EQ(capabilities.DeviceWake, m.Device().Model().power.deviceWake);
        const emu::Handle handle = kept != Handle::None ? Open() : 0;
        PDEVICE_OBJECT fdo = m.pnp().FunctionDevice();
        ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
        EXPECT_EQ(PnpLog(2), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(m.pnp().Life(), Life::Removed);
        EXPECT_EQ(emu::IsDeviceObjectAlive(fdo), handle != 0);
        EXPECT_EQ(probe().Seen().unloads, handle != 0 ? 0 : 1);
        if (handle != 0) {
            EXPECT_EQ(m.pnp().FunctionDevice(), fdo);
            emu::Handle again = 0;
            EXPECT_NE(m.app().Open(std::string_view(PowerProbe::kPath), &again), STATUS_SUCCESS) << "the name is gone";
            if (kept == Handle::OpenWhileANewDeviceStarts) {
                m.Replug(emu::usb::DeviceModel::Builtin());
                ASSERT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
                ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
            }
            m.app().Close(handle);
            EXPECT_EQ(probe().Seen().handleRequests, (Minors{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
        }
        EXPECT_FALSE(emu::IsDeviceObjectAlive(fdo));
        if (kept == Handle::OpenWhileANewDeviceStarts) {
            EXPECT_EQ(probe().Seen().unloads, 0);
            ASSERT_NE(m.Driver(), nullptr);
            m.app().Close(Open());
            continue;
        }
        EXPECT_EQ(probe().Seen().unloads, 1);
        EXPECT_EQ(m.Driver(), nullptr);
        EXPECT_EQ(m.pnp().FunctionDevice(), nullptr);
        EXPECT_TRUE(emu::IsDeviceObjectAlive(m.Device().Pdo())) << "the device is still on the bus";

        ASSERT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
        EXPECT_NE(m.Driver(), nullptr);
        ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
    }
}

TEST_F(PnpManager, DisconnectBringsSurpriseRemovalThenRemovalOnceHandlesAreClosed)
{
    const struct { const char* what; bool handleOpen; bool removeAfterSurpriseRemoval; } cases[] = {
        {"no handle", false, true},
        {"a handle open", true, true},
        {"the test removes", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Machine& m = Start({.removeAfterSurpriseRemoval = c.removeAfterSurpriseRemoval});
        const emu::Handle handle = c.handleOpen ? Open() : 0;
        m.Device().Disconnect();
        if (c.handleOpen || !c.removeAfterSurpriseRemoval) {
            ASSERT_TRUE(m.pnp().WaitForLife(Life::SurpriseRemoved, kWait));
            EXPECT_EQ(PnpLog().back(), IRP_MN_SURPRISE_REMOVAL);
            EXPECT_EQ(probe().Seen().unloads, 0);
        }
        if (c.handleOpen) {
            EXPECT_EQ(m.pnp().Remove(), STATUS_INVALID_DEVICE_STATE) << "Windows sends it by itself, later";
            EXPECT_EQ(PnpLog().back(), IRP_MN_SURPRISE_REMOVAL);
            m.app().Close(handle);
        }
        if (!c.removeAfterSurpriseRemoval) {
            ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
        }
        ASSERT_TRUE(m.pnp().WaitForLife(Life::Unplugged, kWait));
        EXPECT_EQ(PnpLog(2), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(probe().Seen().unloads, 1);
    }
}

// A failed start is followed by the removal at once: the driver's device
// object and name go, the device stays on the bus without a function driver
// (code 10), and the driver unloads with its last device.
TEST_F(PnpManager, FailedStartIsFollowedByTheRemovalAtOnce)
{
    emu::Machine& m = Added();
    m.Device().FailNextStart(STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(m.pnp().Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(PnpLog(2), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(m.pnp().Life(), Life::Removed);
    EXPECT_EQ(probe().Seen().unloads, 1);
    EXPECT_TRUE(emu::IsDeviceObjectAlive(m.Device().Pdo())) << "the device is still on the bus";
    emu::Handle handle = 0;
    EXPECT_NE(m.app().Open(std::string_view(PowerProbe::kPath), &handle), STATUS_SUCCESS) << "the name is gone";
}

TEST_F(PnpManager, VetoOfQueryRemoveWithHandlesOpenIsAChoice)
{
    for (bool veto : {true, false}) {
        SCOPED_TRACE(veto);
        emu::Machine& m = Start({.vetoQueryRemoveWithOpenHandles = veto});
        const emu::Handle handle = Open();
        const size_t sent = PnpLog().size();
        EXPECT_EQ(m.pnp().QueryRemove(), veto ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
        EXPECT_EQ(PnpLog().size(), veto ? sent : sent + 1);
        m.app().Close(handle);
        if (veto) {
            EXPECT_EQ(m.pnp().QueryRemove(), STATUS_SUCCESS);
        }
        EXPECT_EQ(m.pnp().Life(), Life::RemovePending);
    }
}

// Whatever state a test leaves the device in, the machine's teardown
// removes it as Windows would and unloads the driver with nothing found; a
// device never started is removed without a query. A query the driver
// refuses is cancelled for the whole stack by the PnP manager, as Windows
// does; one agreed to and cancelled returns the device to where it was.
// Every PnP request arrives at PASSIVE_LEVEL with STATUS_NOT_SUPPORTED and
// 0, and the device state is asked after the first start only.
TEST_F(PnpManager, TeardownRemovesWhatTheTestLeft)
{
    const struct { const char* what; bool start; void (*leave)(emu::Pnp&); Minors lastRequests; } cases[] = {
        {"never started", false,
         [](emu::Pnp& pnp) { EXPECT_EQ(pnp.AddDevice(), STATUS_INVALID_DEVICE_STATE) << "one driver per device"; },
         {IRP_MN_REMOVE_DEVICE}},
        {"started", true, [](emu::Pnp&) {},
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_REMOVE_DEVICE,
          IRP_MN_REMOVE_DEVICE}},
        {"stop pending", true, [](emu::Pnp& pnp) { ASSERT_EQ(pnp.QueryStop(), STATUS_SUCCESS); },
         {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"surprise-removed", true, [](emu::Pnp& pnp) { ASSERT_EQ(pnp.SurpriseRemove(), STATUS_SUCCESS); },
         {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
        {"restarted", true,
         [](emu::Pnp& pnp) {
             ASSERT_EQ(pnp.QueryStop(), STATUS_SUCCESS);
             ASSERT_EQ(pnp.Stop(), STATUS_SUCCESS);
             ASSERT_EQ(pnp.Start(), STATUS_SUCCESS);
         },
         {IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_REMOVE_DEVICE,
          IRP_MN_REMOVE_DEVICE}},
        {"query-remove cancelled when stopped", true,
         [](emu::Pnp& pnp) {
             ASSERT_EQ(pnp.QueryStop(), STATUS_SUCCESS);
             ASSERT_EQ(pnp.Stop(), STATUS_SUCCESS);
             ASSERT_EQ(pnp.QueryRemove(), STATUS_SUCCESS);
             ASSERT_EQ(pnp.CancelRemove(), STATUS_SUCCESS);
             EXPECT_EQ(pnp.Life(), Life::Stopped);
         },
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"query-stop refused", true,
         [](emu::Pnp& pnp) {
             probe().RefuseQueries(true);
             EXPECT_EQ(pnp.QueryStop(), STATUS_DEVICE_BUSY);
             EXPECT_EQ(pnp.Life(), Life::Started);
             probe().RefuseQueries(false);
         },
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"removal refused", true, [](emu::Pnp&) { probe().RefuseQueries(true); },
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Pnp& pnp = c.start ? Start().pnp() : Added().pnp();
        c.leave(pnp);
        Shutdown();
        EXPECT_EQ(PnpLog(c.lastRequests.size()), c.lastRequests);
        EXPECT_EQ(probe().Seen().unloads, 1);
        EXPECT_EQ(probe().Seen().oddPnpArrivals, 0);
    }
}

// The PnP manager sends only sequences Windows sends: a request Windows
// never would in the device's state is refused unsent, with the reason. A
// failed start is followed by the removal alone, and a started device is
// removed in order, query first. (The refusals in the states the driver's
// own state machine reaches are in tests/pnp, EachRequestInEachState.)
TEST_F(PnpManager, SendsOnlySequencesWindowsSends)
{
    enum class From { Started, StopPending, FailedStart };
    using Request = NTSTATUS (*)(emu::Pnp&);
    const Request start = [](emu::Pnp& pnp) { return pnp.Start(); };
    const struct { const char* what; From from; Request refused; } cases[] = {
        {"start of a started device", From::Started, start},
        {"removal with a stop pending", From::StopPending, [](emu::Pnp& pnp) { return pnp.Remove(); }},
        {"start after a failed start", From::FailedStart, start},
        {"query after a failed start", From::FailedStart, [](emu::Pnp& pnp) { return pnp.QueryRemove(); }},
        {"surprise removal after a failed start", From::FailedStart,
         [](emu::Pnp& pnp) { return pnp.SurpriseRemove(); }},
    };
    const Minors lastSent[] = {
        {IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
        {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
        {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Machine& m = Added({.removeAfterFailedStart = false});  // the stack stays as the failed start left it
        m.Device().FailNextStart(c.from == From::FailedStart ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS);
        ASSERT_EQ(m.pnp().Start() == STATUS_SUCCESS, c.from != From::FailedStart);
        if (c.from == From::StopPending) {
            ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS);
        }
        const Minors sent = PnpLog();
        EXPECT_EQ(c.refused(m.pnp()), STATUS_INVALID_DEVICE_STATE);
        EXPECT_NE(m.pnp().LastRefusal(), "");
        EXPECT_EQ(PnpLog(), sent);
        if (c.from == From::StopPending) {
            ASSERT_EQ(m.pnp().CancelStop(), STATUS_SUCCESS);
        }
        ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
        EXPECT_EQ(m.pnp().LastRefusal(), "");
        const Minors& expected = lastSent[static_cast<int>(c.from)];
        EXPECT_EQ(PnpLog(expected.size()), expected);
    }
}

// A device whose device descriptor a hub would reject is not enumerated: no
// PDO, nothing for a function driver to be added to. bMaxPacketSize0 must
// suit the device's speed: 8 at low speed, 8, 16, 32 or 64 at full speed, 64
// at high speed, 2^9 at super speed. Above bcdUSB 2.00 the device must give
// a valid BOS descriptor, or Windows fails its enumeration (code 43).
TEST_F(PnpManager, DeviceDescriptorAHubRejectsIsNotEnumerated)
{
    using emu::usb::BusSpeed;
    const std::vector<uint8_t> bos = {5, 15, 12, 0, 1, 7, 16, 2, 2, 0, 0, 0};
    const auto broken = [&bos](size_t offset, uint8_t value) { auto b = bos; return b[offset] = value, b; };
    // changes: (offset, value) in the built-in device descriptor; no BOS: the built-in super-speed one.
    const struct {
        const char* what;
        std::vector<std::pair<size_t, uint8_t>> changes;
        BusSpeed speed;
        bool enumerated;
        std::optional<std::vector<uint8_t>> bos;
    } cases[] = {
        {"the built-in device", {}, BusSpeed::High, true},
        {"bLength 17", {{0, 17}}, BusSpeed::High, false},
        {"bLength 19", {{0, 19}}, BusSpeed::High, false},
        {"a configuration descriptor's type", {{1, USB_CONFIGURATION_DESCRIPTOR_TYPE}}, BusSpeed::High, false},
        {"bMaxPacketSize0 32 at high speed", {{7, 32}}, BusSpeed::High, false},
        {"bMaxPacketSize0 32 at full speed", {{7, 32}}, BusSpeed::Full, true},
        {"bMaxPacketSize0 12 at full speed", {{7, 12}}, BusSpeed::Full, false},
        {"bMaxPacketSize0 8 at low speed", {{7, 8}}, BusSpeed::Low, true},
        {"bMaxPacketSize0 64 at low speed", {}, BusSpeed::Low, false},
        {"bMaxPacketSize0 64 at super speed", {{3, 0x03}}, BusSpeed::Super, false},
        {"bMaxPacketSize0 2^9 at super speed", {{3, 0x03}, {7, 9}}, BusSpeed::Super, true},
        {"no configuration", {{17, 0}}, BusSpeed::High, false},
        {"bcdUSB 2.00 without a BOS", {}, BusSpeed::High, true, std::vector<uint8_t>{}},
        {"bcdUSB 2.01 without a BOS", {{2, 0x01}}, BusSpeed::High, false, std::vector<uint8_t>{}},
        {"bcdUSB 2.10 with a BOS", {{2, 0x10}}, BusSpeed::High, true, bos},
        {"BOS wTotalLength past its bytes", {{2, 0x10}}, BusSpeed::High, false, broken(2, 13)},
        {"BOS with two capabilities announced, one there", {{2, 0x10}}, BusSpeed::High, false, broken(4, 2)},
        {"BOS holding no device capability", {{2, 0x10}}, BusSpeed::High, false, broken(6, 17)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::MachineOptions options;
        for (const auto& [offset, value] : c.changes) {
            options.device.deviceDescriptor[offset] = value;
        }
        options.device.speed = c.speed;
        options.device.bosDescriptor = c.bos.value_or(emu::usb::DeviceModel::Builtin().AtSpeed(BusSpeed::Super).bosDescriptor);
        emu::Machine& m = Boot(options);
        ASSERT_EQ(m.LoadDriver(PowerProbe::DriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(m.Device().Pdo() != nullptr, c.enumerated);
        EXPECT_EQ(m.pnp().AddDevice(), c.enumerated ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(m.pnp().Life(), c.enumerated ? Life::Added : Life::Unplugged);
    }
}

}  // namespace
}  // namespace system_test
