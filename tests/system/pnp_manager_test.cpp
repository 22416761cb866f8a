// The PnP manager with the pass-through driver: the order of its requests,
// a refused query cancelled for the stack, surprise removal after a
// disconnect and removal once the handles are closed, unload with the last
// device, and the teardown of whatever a test leaves.
#include "tests/system/passthrough_helpers.h"
#include "tests/system/system_fixture.h"

namespace system_test {
namespace {

class PnpManager : public SystemTest {
protected:
    void BeforeBoot() override { ResetPassthroughSeen(); }

    emu::Machine& Start(emu::MachineOptions options = {})
    {
        emu::Machine& m = Boot(std::move(options));
        EXPECT_EQ(m.BringUp(PassthroughDriverEntry), STATUS_SUCCESS);
        return m;
    }

    emu::Handle OpenDevice()
    {
        emu::Handle handle = 0;
        EXPECT_EQ(machine().app().Open(PassthroughPath(), &handle), STATUS_SUCCESS);
        return handle;
    }

    // A read that waits on the bus: nothing ever arrives on the silent IN pipe.
    std::unique_ptr<emu::PendingIo> ReadThatWaits(emu::Handle* handle)
    {
        const int pipe = PipeIndexOf(machine().Device().Model().configDescriptor, 0x82);
        EXPECT_EQ(machine().app().Open(PassthroughPath("\\PIPE" + std::to_string(pipe)), handle), STATUS_SUCCESS);
        auto read = machine().app().ReadAsync(*handle, 64);
        EXPECT_FALSE(read->Done());
        return read;
    }
};

TEST_F(PnpManager, StartIsFollowedByCapabilitiesAndTheDeviceStateEachANewRequest)
{
    emu::Machine& m = Start();
    EXPECT_EQ(m.pnp().Life(), emu::DeviceLife::Started);
    EXPECT_EQ(PnpLog(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                            IRP_MN_QUERY_PNP_DEVICE_STATE}));
    ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().Stop(), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
    EXPECT_EQ(PnpLogTail(4), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                                 IRP_MN_QUERY_CAPABILITIES}))
        << "the device state is asked after the first start only";
    EXPECT_EQ(PassthroughSeen.PnpOddArrivals, 0) << "each at PASSIVE_LEVEL with STATUS_NOT_SUPPORTED and 0";
}

TEST_F(PnpManager, QueryThenCancelReturnsToTheStateBefore)
{
    const struct {
        bool stopFirst;
        NTSTATUS (emu::Pnp::*query)();
        NTSTATUS (emu::Pnp::*cancel)();
        emu::DeviceLife pending;
        UCHAR queryMinor;
        UCHAR cancelMinor;
    } cases[] = {
        {false, &emu::Pnp::QueryStop, &emu::Pnp::CancelStop, emu::DeviceLife::StopPending, IRP_MN_QUERY_STOP_DEVICE,
         IRP_MN_CANCEL_STOP_DEVICE},
        {false, &emu::Pnp::QueryRemove, &emu::Pnp::CancelRemove, emu::DeviceLife::RemovePending,
         IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
        {true, &emu::Pnp::QueryRemove, &emu::Pnp::CancelRemove, emu::DeviceLife::RemovePending,
         IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.queryMinor) + (c.stopFirst ? " from stopped" : " from started"));
        emu::Machine& m = Start();
        if (c.stopFirst) {
            ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS);
            ASSERT_EQ(m.pnp().Stop(), STATUS_SUCCESS);
        }
        const emu::DeviceLife before = m.pnp().Life();
        ASSERT_EQ((m.pnp().*c.query)(), STATUS_SUCCESS);
        EXPECT_EQ(m.pnp().Life(), c.pending);
        ASSERT_EQ((m.pnp().*c.cancel)(), STATUS_SUCCESS);
        EXPECT_EQ(m.pnp().Life(), before);
        EXPECT_EQ(PnpLogTail(2), (std::vector<UCHAR>{c.queryMinor, c.cancelMinor}));
    }
}

// The pass-through refuses a query while a transfer is in flight; the PnP
// manager then cancels the query for the whole stack, as Windows does.
TEST_F(PnpManager, RefusedQueryIsCancelledForTheStack)
{
    const struct {
        NTSTATUS (emu::Pnp::*query)();
        UCHAR queryMinor;
        UCHAR cancelMinor;
    } cases[] = {
        {&emu::Pnp::QueryStop, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
        {&emu::Pnp::QueryRemove, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.queryMinor));
        emu::Machine& m = Start();
        emu::Handle handle = 0;
        auto read = ReadThatWaits(&handle);
        EXPECT_EQ((m.pnp().*c.query)(), STATUS_DEVICE_BUSY);
        EXPECT_EQ(PnpLogTail(2), (std::vector<UCHAR>{c.queryMinor, c.cancelMinor}));
        EXPECT_EQ(m.pnp().Life(), emu::DeviceLife::Started);
        read->Cancel();
        ASSERT_TRUE(read->WaitFor(kWait));
        EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
        m.app().Close(handle);
    }
}

TEST_F(PnpManager, OrderlyRemovalUnloadsTheDriverAndAddDeviceLoadsItAgain)
{
    emu::Machine& m = Start();
    PDEVICE_OBJECT pdo = m.Device().Pdo();
    ASSERT_EQ(m.pnp().QueryRemove(), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
    EXPECT_EQ(m.pnp().Life(), emu::DeviceLife::Removed);
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
    EXPECT_EQ(m.Driver(), nullptr);
    EXPECT_EQ(m.pnp().FunctionDevice(), nullptr);
    EXPECT_EQ(emu::pool::LiveBlocks(PassthroughPoolTag), 0u);
    EXPECT_TRUE(emu::IsDeviceObjectAlive(pdo)) << "the device is still on the bus";

    ASSERT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
    EXPECT_NE(m.Driver(), nullptr);
    ASSERT_EQ(m.pnp().Start(), STATUS_SUCCESS);
    m.app().Close(OpenDevice());
}

// With a handle still open, the removed device object lives on until the
// handle is closed; only then does the driver unload.
TEST_F(PnpManager, DriverUnloadsOnlyWhenItsRemovedDeviceObjectIsGone)
{
    emu::Machine& m = Start();
    const emu::Handle handle = OpenDevice();
    PDEVICE_OBJECT fdo = m.pnp().FunctionDevice();
    ASSERT_EQ(m.pnp().QueryRemove(), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(emu::IsDeviceObjectAlive(fdo));
    EXPECT_EQ(m.pnp().FunctionDevice(), fdo);
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 0);
    m.app().Close(handle);
    EXPECT_FALSE(emu::IsDeviceObjectAlive(fdo));
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
}

TEST_F(PnpManager, DisconnectBringsSurpriseRemovalThenRemovalOnceHandlesAreClosed)
{
    const struct {
        const char* what;
        bool handleOpen;
        bool removeAfterSurpriseRemoval;
    } cases[] = {
        {"no handle", false, true},
        {"a handle open", true, true},
        {"the test removes", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::MachineOptions options;
        options.removeAfterSurpriseRemoval = c.removeAfterSurpriseRemoval;
        emu::Machine& m = Start(options);
        const emu::Handle handle = c.handleOpen ? OpenDevice() : 0;
        m.Device().Disconnect();
        if (c.handleOpen || !c.removeAfterSurpriseRemoval) {
            ASSERT_TRUE(m.pnp().WaitForLife(emu::DeviceLife::SurpriseRemoved, kWait));
            EXPECT_EQ(PnpLog().back(), IRP_MN_SURPRISE_REMOVAL);
            EXPECT_EQ(PassthroughSeen.UnloadCalls, 0);
        }
        if (c.handleOpen) {
            m.app().Close(handle);
        }
        if (!c.removeAfterSurpriseRemoval) {
            ASSERT_EQ(m.pnp().Remove(), STATUS_SUCCESS);
        }
        ASSERT_TRUE(m.pnp().WaitForLife(emu::DeviceLife::Unplugged, kWait));
        EXPECT_EQ(PnpLogTail(2), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
        EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
    }
}

TEST_F(PnpManager, QueryCapabilitiesReturnsWhatTheStackFilledIn)
{
    emu::Machine& m = Start();
    const auto& expected = m.Device().Model().power;
    DEVICE_CAPABILITIES capabilities{};
    ASSERT_EQ(m.pnp().QueryCapabilities(&capabilities), STATUS_SUCCESS);
    EXPECT_EQ(capabilities.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(capabilities.Version, 1);
    for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s) {
        EXPECT_EQ(capabilities.DeviceState[s], expected.deviceState[s]) << s;
    }
    EXPECT_EQ(capabilities.SystemWake, expected.systemWake);
    EXPECT_EQ(capabilities.DeviceWake, expected.deviceWake);
    EXPECT_TRUE(capabilities.SurpriseRemovalOK) << "the pass-through sets it on the way up";
}

TEST_F(PnpManager, VetoOfQueryRemoveWithHandlesOpenIsAChoice)
{
    for (bool veto : {true, false}) {
        SCOPED_TRACE(veto);
        emu::MachineOptions options;
        options.vetoQueryRemoveWithOpenHandles = veto;
        emu::Machine& m = Start(options);
        const emu::Handle handle = OpenDevice();
        const size_t sent = PnpLog().size();
        EXPECT_EQ(m.pnp().QueryRemove(), veto ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
        EXPECT_EQ(PnpLog().size(), veto ? sent : sent + 1);
        m.app().Close(handle);
        if (veto) {
            EXPECT_EQ(m.pnp().QueryRemove(), STATUS_SUCCESS);
        }
        EXPECT_EQ(m.pnp().Life(), emu::DeviceLife::RemovePending);
    }
}

// Whatever state a test leaves the device in, the machine's teardown
// removes it as Windows would and unloads the driver with nothing found.
TEST_F(PnpManager, TeardownRemovesWhatTheTestLeft)
{
    const struct {
        const char* what;
        bool readInFlight;  // the pass-through refuses queries while one is
        void (*leave)(emu::Machine&);
        std::vector<UCHAR> lastRequests;
    } cases[] = {
        {"started", true, [](emu::Machine&) {}, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"stop pending", false, [](emu::Machine& m) { ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS); },
         {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
        {"surprise-removed", true, [](emu::Machine& m) { ASSERT_EQ(m.pnp().SurpriseRemove(), STATUS_SUCCESS); },
         {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}},
        {"stopped", false,
         [](emu::Machine& m) {
             ASSERT_EQ(m.pnp().QueryStop(), STATUS_SUCCESS);
             ASSERT_EQ(m.pnp().Stop(), STATUS_SUCCESS);
         },
         {IRP_MN_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Machine& m = Start();
        emu::Handle handle = 0;
        auto read = c.readInFlight ? ReadThatWaits(&handle) : nullptr;
        c.leave(m);
        Shutdown();
        EXPECT_EQ(PnpLogTail(c.lastRequests.size()), c.lastRequests);
        EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
        if (read) {
            ASSERT_TRUE(read->Done());
            EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
        }
        CheckFindings();
    }
}

TEST_F(PnpManager, NeverStartedDeviceIsRemovedWithoutAQuery)
{
    emu::Machine& m = Boot();
    ASSERT_EQ(m.LoadDriver(PassthroughDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(m.pnp().AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(m.pnp().Life(), emu::DeviceLife::Added);
    EXPECT_EQ(m.pnp().AddDevice(), STATUS_INVALID_DEVICE_STATE) << "one function driver per device";
    Shutdown();
    EXPECT_EQ(PnpLog(), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
    EXPECT_EQ(PassthroughSeen.UnloadCalls, 1);
}

}  // namespace
}  // namespace system_test
