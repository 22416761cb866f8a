// The PnP and power requests the emulated bus answers at its PDO: the PnP
// minors it completes, the capabilities it refuses to fill, the device power
// state it records and where it completes it, and the WAIT_WAKE it accepts.
#include "tests/usb/usb_fixture.h"

namespace usb_test {
namespace {

// Sends one PnP request and waits for it; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const AsyncRequest::Setup& setup = {})
{
    AsyncRequest request(pdo, IRP_MJ_PNP, minor, setup);
    EXPECT_NE(request.Send(), STATUS_PENDING);
    EXPECT_TRUE(request.Wait());
    return request.Status();
}

// Queries the capabilities into a fresh structure `spoil` may change.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& caps, void (*spoil)(DEVICE_CAPABILITIES&) = nullptr)
{
    caps = DEVICE_CAPABILITIES{.Size = sizeof caps, .Version = 1, .Address = 0xFFFFFFFF, .UINumber = 0xFFFFFFFF};
    if (spoil != nullptr) {
        spoil(caps);
    }
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
        {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS}, {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED},
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

// A capabilities request with a bad size or version is a finding and
// nothing is written. (What a good one reports, the power tests' models
// decide the driver's power policy with.)
TEST_F(BusFixture, CapabilitiesWithABadSizeOrVersionAreAFinding)
{
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(QueryCapabilities(Pdo(), caps), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(caps.SystemWake, caps.DeviceWake), std::tuple(PowerSystemSleeping3, PowerDeviceD2));
    for (auto spoil : {+[](DEVICE_CAPABILITIES& c) { c.Version = 2; }, +[](DEVICE_CAPABILITIES& c) { c.Size = 32; }}) {
        ExpectFinding("QUERY_CAPABILITIES without", [&] { EXPECT_EQ(QueryCapabilities(Pdo(), caps, spoil), STATUS_UNSUCCESSFUL); });
        EXPECT_EQ(caps.DeviceState[1], PowerDeviceUnspecified) << "nothing may be written";
    }
}

// Sends one power request for a device or system state, as the power
// manager does or as a driver above the PDO passing it down, and waits.
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, int state, bool fromAbove = false)
{
    AsyncRequest request(pdo, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION next) {
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);  // the union's one int
    }, fromAbove);
    PoCallDriver(pdo, request.Irp());
    EXPECT_TRUE(request.Wait());
    return request.Status();
}

// A power-down completes from the bus thread at DISPATCH_LEVEL, as a hub's
// DPC would end it; a power-up in the sender's thread. A query or a system
// state changes no device state.
TEST_F(BusFixture, SetPowerRecordsTheDeviceStateAndPowerDownCompletesFromTheBusThread)
{
    const auto irqlOf = [&](int state) {
        AsyncRequest request(Pdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, [&](PIO_STACK_LOCATION next) {
            next->Parameters.Power.Type = DevicePowerState;
            next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        });
        PoCallDriver(Pdo(), request.Irp());
        EXPECT_TRUE(request.Wait());
        return std::tuple(request.Status(), request.CompletionIrql(), device().DevicePowerState());
    };
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(irqlOf(PowerDeviceD2), std::tuple(STATUS_SUCCESS, KIRQL(DISPATCH_LEVEL), PowerDeviceD2));
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(irqlOf(PowerDeviceD0), std::tuple(STATUS_SUCCESS, KIRQL(PASSIVE_LEVEL), PowerDeviceD0));
}

std::unique_ptr<AsyncRequest> WaitWakeRequest(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE from)
{
    return std::make_unique<AsyncRequest>(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE,
                                          [from](PIO_STACK_LOCATION next) { next->Parameters.WaitWake.PowerState = from; });
}

// WAIT_WAKE: from a state the device can wake from (not S4, not while in D3,
// deeper than DeviceWake D2), one at a time, and completed by the bus when
// the device is removed under it, a driver's fault.
TEST_F(BusFixture, WaitWakeOneAtATimeFromAStateItCanWakeFrom)
{
    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemHibernate)->Send(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemSleeping1)->Send(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0), STATUS_SUCCESS);
    auto armed = WaitWakeRequest(Pdo(), PowerSystemSleeping3);
    EXPECT_EQ(armed->Send(), STATUS_PENDING);
    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemSleeping3)->Send(), STATUS_DEVICE_BUSY);
    ExpectFinding("WAIT_WAKE still pending", [&] { EXPECT_EQ(SendPnp(Pdo(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS); });
    ASSERT_TRUE(armed->Wait());
    EXPECT_EQ(armed->Status(), STATUS_NO_SUCH_DEVICE);
}

class NoWakeDevice : public BusFixture {
protected:
    emu::usb::DeviceModel Model() override
    {
        auto model = emu::usb::DeviceModel::Builtin();
        model.configDescriptor[7] = USB_CONFIG_BUS_POWERED;  // no remote wakeup
        return model;
    }
};

TEST_F(NoWakeDevice, ReportsNoWakeStatesAndRefusesWaitWake)
{
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(QueryCapabilities(Pdo(), caps), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(caps.SystemWake, caps.DeviceWake), std::tuple(PowerSystemUnspecified, PowerDeviceUnspecified));
    EXPECT_EQ(WaitWakeRequest(Pdo(), PowerSystemSleeping1)->Send(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(device().WaitWakePending());
}

// Between a removal and the next start no driver is left above the PDO to
// pass it a device power request.
TEST_F(BusFixture, DevicePowerPassedDownAfterRemovalIsAFinding)
{
    auto queryFromAbove = [&] { return SendPower(Pdo(), IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, true); };
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
