// The pass-through driver through a whole life on the emulated machine:
// start, transfers, query-stop, stop, restart, sleep and resume, surprise
// removal with transfers pending, removal and unload, in the legacy and in
// the modern power model, with nothing found and nothing left behind.
#include "tests/system/passthrough_helpers.h"

namespace system_test {
namespace {

class FullLife : public PassthroughTest, public ::testing::WithParamInterface<bool> {
protected:
    // Writes on the OUT pipe and reads the same bytes back on the IN pipe
    // of the loopback pair.
    void RoundTrip(emu::Handle out, emu::Handle in, ULONG length, uint8_t seed)
    {
        std::vector<uint8_t> data(length);
        for (ULONG i = 0; i < length; ++i) {
            data[i] = static_cast<uint8_t>(seed + i * 13);
        }
        const auto written = machine().app().Write(out, data.data(), length);
        EXPECT_EQ(written.status, STATUS_SUCCESS);
        EXPECT_EQ(written.information, length);
        std::vector<uint8_t> back(length);
        const auto read = machine().app().Read(in, back.data(), length);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.information, length);
        EXPECT_EQ(back, data);
    }
};

TEST_P(FullLife, PassthroughDriverLivesAndLeavesNothing)
{
    emu::Machine& m = Boot();
    m.power().SetLegacySerialization(GetParam());
    ASSERT_EQ(m.BringUp(PassthroughDriverEntry), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = m.pnp().FunctionDevice();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DriverObject, m.Driver());

    const emu::Handle out = Open(kOutPipe);
    const emu::Handle in = Open(kInPipe);
    const emu::Handle silentIn = Open(kSilentPipe);
    RoundTrip(out, in, 1500, 1);

    ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(m.Device().Configured());
    ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
    RoundTrip(out, in, 700, 2);

    // The bus keeps a remote-wake device in D2 in S3.
    ASSERT_EQ(m.power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(m.Device().DevicePowerState(), PowerDeviceD2);
    EXPECT_EQ(m.power().ReportedDeviceState(fdo), PowerDeviceD2);
    ASSERT_EQ(m.power().Resume(), STATUS_SUCCESS);
    EXPECT_EQ(m.Device().DevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(m.power().ReportedDeviceState(fdo), PowerDeviceD0);
    RoundTrip(out, in, 512, 3);

    auto pending = m.app().ReadAsync(silentIn, 64);
    auto pendingToo = m.app().ReadAsync(silentIn, 1024);
    EXPECT_FALSE(pending->Done());
    m.Device().Disconnect();
    for (auto* io : {pending.get(), pendingToo.get()}) {
        ASSERT_TRUE(io->WaitFor(kWait));
        EXPECT_TRUE(NT_ERROR(io->Result().status)) << std::hex << io->Result().status;
        EXPECT_EQ(io->Result().information, 0u);
    }
    ASSERT_TRUE(m.pnp().WaitForLife(emu::DeviceLife::SurpriseRemoved, kWait));
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 0) << "removal must wait for the open handles";

    for (emu::Handle handle : {out, in, silentIn}) {
        m.app().Close(handle);
    }
    ASSERT_TRUE(m.pnp().WaitForLife(emu::DeviceLife::Unplugged, kWait));
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
    EXPECT_EQ(m.Driver(), nullptr);
    EXPECT_EQ(emu::pool::LiveBlocks(PassthroughPoolTag), 0u);
    EXPECT_EQ(emu::LiveIrps(), 0u);

    // The device state is asked after the first start only; each request
    // arrives at PASSIVE_LEVEL with STATUS_NOT_SUPPORTED and 0.
    const std::vector<UCHAR> expected = {
        IRP_MN_START_DEVICE,      IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
        IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,        IRP_MN_START_DEVICE,
        IRP_MN_QUERY_CAPABILITIES, IRP_MN_SURPRISE_REMOVAL,  IRP_MN_REMOVE_DEVICE,
    };
    EXPECT_EQ(PnpLog(), expected);
    EXPECT_EQ(PassthroughSeen.PnpOddArrivals, 0);
    EXPECT_EQ(PassthroughSeen.SystemPowerRequests, 3);  // query S3, set S3, set S0
    EXPECT_EQ(PassthroughSeen.DevicePowerRequests, 2);  // set D3, set D0
    EXPECT_EQ(PassthroughSeen.DeviceRequestsFailed, 0);
    EXPECT_EQ(PassthroughSeen.WrongPowerIrql, 0);
    // Query and set S3, set S0, and the device requests for each: D3 query,
    // D3 set, D0 set; each handled by the pass-through and by the bus driver.
    EXPECT_EQ(m.power().PowerIrpsStarted(), 6u);
    EXPECT_EQ(m.power().StartNextPowerIrpCalls(), 12u);
}

INSTANTIATE_TEST_SUITE_P(PowerModels, FullLife, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Legacy" : "Modern"; });

}  // namespace
}  // namespace system_test
