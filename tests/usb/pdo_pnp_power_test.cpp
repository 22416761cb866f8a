// The PnP and power requests the emulated bus answers at its PDO: the
// capabilities it reports, the PnP minors it completes, the device power
// state it records, and the WAIT_WAKE it holds until the device wakes.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

using emu::usb::DeviceModel;

// Sends one PnP request and waits for it; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const AsyncRequest::Setup& setup = {})
{
    AsyncRequest request(pdo, IRP_MJ_PNP, minor, setup);
    EXPECT_NE(request.Send(), STATUS_PENDING);
    EXPECT_TRUE(request.Wait());
    return request.Status();
}

DEVICE_CAPABILITIES FreshCapabilities()
{
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    return caps;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps)
{
    return SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
                   [&](PIO_STACK_LOCATION next) { next->Parameters.DeviceCapabilities.Capabilities = &caps; });
}

TEST_F(BusFixture, PnpRequestsTheBusHandlesSucceedAndOthersKeepTheirStatus)
{
    const std::pair<UCHAR, NTSTATUS> cases[] = {
        {IRP_MN_START_DEVICE, STATUS_SUCCESS},        {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},  {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
        {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS}, {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
        {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},    {IRP_MN_QUERY_ID, STATUS_NOT_SUPPORTED},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED}, {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
        {IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS},
    };
    for (const auto& [minor, status] : cases) {
        EXPECT_EQ(SendPnp(Pdo(), minor), status) << "minor " << int(minor);
    }
}

// Removal unconfigures the device; a transfer still pending then is the
// function driver's fault, and it fails as from a device that is gone.
TEST_F(BusFixture, RemovalWithATransferStillPendingIsAFinding)
{
    ASSERT_FALSE(Configure().empty());
    device().SetCompletionMode(emu::usb::CompletionMode::Held);
    std::vector<uint8_t> buffer(64);
    BulkUrb urb(PipeFor(0x81), buffer.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    auto request = AsyncRequest::Urb(Pdo(), urb.urb);
    EXPECT_EQ(request->Send(), STATUS_PENDING);
    ExpectFinding("transfers still pending", [&] { EXPECT_EQ(SendPnp(Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS); });
    EXPECT_FALSE(device().Configured());
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Status(), STATUS_DEVICE_NOT_CONNECTED);
}

// Capabilities come from the model; a request with a bad size or version
// is a finding and nothing is written.
TEST_F(BusFixture, CapabilitiesComeFromTheModel)
{
    DEVICE_CAPABILITIES caps = FreshCapabilities();
    ASSERT_EQ(QueryCapabilities(Pdo(), caps), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(caps.DeviceState, caps.DeviceState + 7, device().Model().power.deviceState));
    EXPECT_EQ(std::tuple(caps.SystemWake, caps.DeviceWake, caps.Size, caps.Version),
              std::tuple(PowerSystemSleeping3, PowerDeviceD2, sizeof caps, 1));
    EXPECT_EQ(std::tuple(+caps.SurpriseRemovalOK, +caps.DeviceD1, +caps.DeviceD2, +caps.WakeFromD2, +caps.WakeFromD3,
                         +caps.Removable),  // bit-fields
              std::tuple(0u, 0u, 1u, 1u, 0u, 1u));
    for (auto spoil : {+[](DEVICE_CAPABILITIES& c) { c.Version = 2; }, +[](DEVICE_CAPABILITIES& c) { c.Size = 32; }}) {
        caps = FreshCapabilities();
        spoil(caps);
        ExpectFinding("QUERY_CAPABILITIES without", [&] { EXPECT_EQ(QueryCapabilities(Pdo(), caps), STATUS_UNSUCCESSFUL); });
        EXPECT_EQ(caps.DeviceState[1], PowerDeviceUnspecified) << "nothing may be written";
    }
}

class NoWakeDevice : public BusFixture {
protected:
    DeviceModel Model() override
    {
        DeviceModel model = DeviceModel::Builtin();
        model.configDescriptor[7] = USB_CONFIG_BUS_POWERED;  // no remote wakeup
        model.power.surpriseRemovalOK = true;
        model.power.deviceState[2] = PowerDeviceD1;
        return model;
    }
};

TEST_F(NoWakeDevice, ReportsNoWakeStatesAndRefusesWaitWake)
{
    DEVICE_CAPABILITIES caps = FreshCapabilities();
    ASSERT_EQ(QueryCapabilities(Pdo(), caps), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(caps.SystemWake, caps.DeviceWake, +caps.SurpriseRemovalOK, +caps.DeviceD1, caps.DeviceState[2]),
              std::tuple(PowerSystemUnspecified, PowerDeviceUnspecified, 1u, 1u, PowerDeviceD1));
    AsyncRequest wake(Pdo(), IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
                      [](PIO_STACK_LOCATION next) { next->Parameters.WaitWake.PowerState = PowerSystemSleeping1; });
    EXPECT_EQ(wake.Send(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(device().WaitWakePending());
}

// Sends one power request for a device state or a system state, as the
// power manager does or as a driver above the PDO passing it down, and
// waits for it; `completionIrql` receives the IRQL it completed at.
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, int state, KIRQL* completionIrql = nullptr,
                   bool fromAbove = false)
{
    KIRQL ignored;
    AsyncRequest request(pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION next) {
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);  // the union's one int
    }, fromAbove);
    PoCallDriver(pdo, request.Irp());
    EXPECT_TRUE(request.Wait());
    *(completionIrql != nullptr ? completionIrql : &ignored) = request.CompletionIrql();
    return request.Status();
}

// A power-down completes from the bus thread at DISPATCH_LEVEL, as a hub's
// DPC would end it; a power-up in the sender's thread.
TEST_F(BusFixture, SetPowerRecordsTheDeviceStateAndQueriesSucceed)
{
    EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(device().DevicePowerState(), PowerDeviceD0) << "a query changes nothing";
    KIRQL irql = PASSIVE_LEVEL;
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2, &irql), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(irql, device().DevicePowerState()), std::tuple(KIRQL(DISPATCH_LEVEL), PowerDeviceD2));
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(device().DevicePowerState(), PowerDeviceD2) << "a system state is not a device state";
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, &irql), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(irql, device().DevicePowerState()), std::tuple(KIRQL(PASSIVE_LEVEL), PowerDeviceD0));
}

std::unique_ptr<AsyncRequest> WaitWakeRequest(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE from)
{
    return std::make_unique<AsyncRequest>(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
                                          [from](PIO_STACK_LOCATION next) { next->Parameters.WaitWake.PowerState = from; });
}

// WAIT_WAKE waits for the wake signal and completes at DISPATCH_LEVEL;
// one at a time, from a state it can wake from; it is cancellable.
TEST_F(BusFixture, WaitWakeWaitsForTheWakeSignalOneAtATime)
{
    auto armed = WaitWakeRequest(Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(armed->Send(), STATUS_PENDING);
    EXPECT_TRUE(device().WaitWakePending());
    EXPECT_FALSE(armed->Wait(50ms));
    device().SignalWake();
    ASSERT_TRUE(armed->Wait());
    EXPECT_EQ(std::tuple(armed->Status(), armed->CompletionIrql(), device().WaitWakePending()),
              std::tuple(STATUS_SUCCESS, KIRQL(DISPATCH_LEVEL), false));

    auto again = WaitWakeRequest(Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(again->Send(), STATUS_PENDING);
    auto second = WaitWakeRequest(Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(second->Send(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second->Status(), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(again->Cancel());
    ASSERT_TRUE(again->Wait());
    EXPECT_EQ(again->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(device().WaitWakePending());
    device().SignalWake();  // nothing is waiting any more: no effect

    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemHibernate)->Send(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemSleeping1)->Send(), STATUS_INVALID_DEVICE_STATE)
        << "D3 is deeper than DeviceWake (D2)";
}

TEST_F(BusFixture, RemovalWithWaitWakePendingIsAFinding)
{
    auto wake = WaitWakeRequest(Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(wake->Send(), STATUS_PENDING);
    ExpectFinding("WAIT_WAKE still pending", [&] { EXPECT_EQ(SendPnp(Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS); });
    ASSERT_TRUE(wake->Wait());
    EXPECT_EQ(wake->Status(), STATUS_NO_SUCH_DEVICE);
}

// Between a removal and the next start no driver is left above the PDO to
// pass it a device power request.
TEST_F(BusFixture, DevicePowerPassedDownAfterRemovalIsAFinding)
{
    auto queryFromAbove = [&] { return SendPower(Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, nullptr, true); };
    EXPECT_EQ(queryFromAbove(), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ExpectFinding("device power request reached the PDO after IRP_MN_REMOVE_DEVICE",
                  [&] { EXPECT_EQ(queryFromAbove(), STATUS_SUCCESS); });
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2), STATUS_SUCCESS)
        << "sent to the bare PDO by the power manager";
    EXPECT_EQ(SendPnp(Pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(queryFromAbove(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usb_test
