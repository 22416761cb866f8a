// The configuration chain against emulated devices: what is selected, what
// is kept, and what each failure leaves behind.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/configuration.h"

#include <algorithm>
#include <cstring>

namespace pondrel::test {
namespace {

class ConfigurationTest : public DriverFixture {
protected:
    // Loads, puts the spy below, adds; the start is the test's.
    void Prepare(std::vector<uint8_t> config) { LoadWithSpy(ModelWithConfig(std::move(config))); }

    static SIZE_T BlockSize(const void* block)
    {
        const void* start = nullptr;
        SIZE_T bytes = 0;
        return emu::pool::FindBlock(block, &start, &bytes) && start == block ? bytes : 0;
    }

    // A failed start leaves the device new, with no pipes, and keeps the
    // descriptor (one pool block more than `blocksBefore`) or nothing.
    void ExpectFailedStart(bool descriptorKept, uint64_t blocksBefore)
    {
        EXPECT_EQ(State(), DeviceNew);
        EXPECT_EQ(context()->InterfaceInfo, nullptr);
        EXPECT_EQ(context()->PipeOpenFlags, nullptr);
        EXPECT_EQ(context()->ConfigDescriptor != nullptr, descriptorKept);
        EXPECT_EQ(LiveDriverBlocks(), blocksBefore + (descriptorKept ? 1 : 0));
    }

};

// Every interface is selected at alternate setting 0, found by number up to
// 255 with gaps skipped, with the largest transfer size; the driver keeps a
// copy of the whole descriptor and the lowest-numbered interface's bulk
// pipes (none is no failure: one flag all the same), each with its open flag clear. Only a device with remote wakeup (in
// bmAttributes) gets a wait-wake request, and only its stop has one to cancel.
TEST_F(ConfigurationTest, SelectsEveryInterfaceAtAlternateSettingZero)
{
    const struct {
        const char* name;
        UCHAR attributes;
        std::vector<InterfaceDesc> interfaces;
        std::vector<UCHAR> selected;
        UCHAR keptNumber;
        std::vector<UCHAR> keptPipes;  // endpoint addresses
    } cases[] = {
        {"one interface with two pipes", 0x80, {{0, 0, {{0x01}, {0x81}}}}, {0}, 0, {0x01, 0x81}},
        {"interfaces 0 and 2", 0xA0, {{0, 0, {{0x01}}}, {2, 0, {{0x02}, {0x82}}}}, {0, 2}, 0, {0x01}},
        {"alternate settings 0 and 1", 0xE0, {{0, 0, {{0x01}, {0x81}}}, {0, 1, {{0x01}, {0x81}, {0x02}}}}, {0}, 0,
         {0x01, 0x81}},
        {"only interface 255", 0xC0, {{255, 0, {{0x01}}}}, {255}, 255, {0x01}},
        {"interface without pipes", 0x80, {{0, 0, {}}}, {0}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> config = ConfigDescriptor(c.attributes, c.interfaces);
        Prepare(config);
        spy().KeepWaitWake(WaitWakeCancel::CompleteAtOnce);
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        const std::vector<SeenRequest> selects = spy().SeenUrbs(URB_FUNCTION_SELECT_CONFIGURATION);
        ASSERT_EQ(selects.size(), 1u);
        EXPECT_EQ(selects[0].selectedInterfaces, c.selected);
        EXPECT_EQ(selects[0].firstInterfaceMaxTransfer, std::vector<ULONG>(c.keptPipes.size(), 0xFFFFFFFF));
        const size_t remoteWake = (c.attributes & USB_CONFIG_REMOTE_WAKEUP) != 0 ? 1 : 0;
        EXPECT_EQ(context()->RemoteWakeCapable, static_cast<LONG>(remoteWake));
        EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), remoteWake);

        const DeviceContext* ctx = context();
        ASSERT_EQ(BlockSize(ctx->ConfigDescriptor), config.size());
        EXPECT_EQ(std::memcmp(ctx->ConfigDescriptor, config.data(), config.size()), 0);
        ASSERT_NE(ctx->InterfaceInfo, nullptr);
        EXPECT_EQ(BlockSize(ctx->InterfaceInfo), ctx->InterfaceInfo->Length);
        EXPECT_EQ(ctx->InterfaceInfo->InterfaceNumber, c.keptNumber);
        EXPECT_EQ(ctx->InterfaceInfo->AlternateSetting, 0);
        ASSERT_EQ(ctx->InterfaceInfo->NumberOfPipes, c.keptPipes.size());
        for (ULONG pipe = 0; pipe < c.keptPipes.size(); ++pipe) {
            EXPECT_EQ(ctx->InterfaceInfo->Pipes[pipe].EndpointAddress, c.keptPipes[pipe]);
            EXPECT_EQ(ctx->InterfaceInfo->Pipes[pipe].PipeType, UsbdPipeTypeBulk);
            EXPECT_NE(ctx->InterfaceInfo->Pipes[pipe].PipeHandle, nullptr);
        }
        ASSERT_EQ(BlockSize(ctx->PipeOpenFlags), std::max<size_t>(c.keptPipes.size(), 1));
        EXPECT_EQ(std::vector<UCHAR>(ctx->PipeOpenFlags, ctx->PipeOpenFlags + c.keptPipes.size()),
                  std::vector<UCHAR>(c.keptPipes.size(), 0));
        ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
        ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
        EXPECT_EQ(spy().WaitWakeCancels(), remoteWake);
        TearDown();
    }
}

// A failed read ends the chain there: no later read, nothing kept. The full
// read must also agree with the header about wTotalLength: a longer claim
// would send later readers past the block sized from the header, and a
// shorter one leaves bytes the device never sent.
TEST_F(ConfigurationTest, DescriptorChangingBetweenItsTwoReadsFailsTheStart)
{
    const std::vector<uint8_t> good = TwoBulkPipes();
    const struct {
        const char* name;
        uint64_t failedRead;  // 0: none
        int change;           // of wTotalLength in the full read (device, header, then full read)
    } cases[] = {
        {"device descriptor read fails", 1, 0}, {"header read fails", 2, 0}, {"full read fails", 3, 0},
        {"wTotalLength shrinks by 7", 0, -7},   {"wTotalLength grows by 7", 0, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(good);
        const uint64_t blocksBefore = LiveDriverBlocks();
        if (c.failedRead != 0) {
            device().FailDescriptorRead(c.failedRead);
        } else {
            std::vector<uint8_t> changed = good;
            changed.resize(good.size() + 16, 0);
            SetTotalLength(changed, static_cast<uint16_t>(good.size() + c.change));
            device().AnswerDescriptorRead(3, changed);
        }
        const NTSTATUS status = pnp().Start();
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_TRUE(c.failedRead != 0 || status == STATUS_DEVICE_DATA_ERROR) << status;
        ExpectFailedStart(false, blocksBefore);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), c.failedRead != 0 ? c.failedRead : 3u);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
        EXPECT_EQ(context()->RemoteWakeCapable, 0);
        TearDown();
    }
}

// A failed selection keeps the descriptor until the removal that follows
// the failed start frees it (the fixture checks the pool at unload).
TEST_F(ConfigurationTest, FailedSelectionKeepsTheDescriptorUntilReleased)
{
    Prepare(TwoBulkPipes());
    const uint64_t blocksBefore = LiveDriverBlocks();
    spy().FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp().Start(), STATUS_UNSUCCESSFUL);
    ExpectFailedStart(true, blocksBefore);
    EXPECT_EQ(context()->RemoteWakeCapable, 1);
}

// (Each allocation of the start failing in turn is `pondrel-sim sweep
// --scenario start`: the status, the state left and the pool.)

// TwoBulkPipes() with an edit: byte `offset` set to `value`, the block cut
// to `size`, `tail` appended, wTotalLength set to `total` (to the block's
// size when only a tail is given); 0 or empty leaves each alone. Offsets: configuration 0
// (bNumInterfaces at 4), interface 9, endpoints 18 and 25.
std::vector<uint8_t> Malformed(size_t offset, uint8_t value, size_t size = 0, uint16_t total = 0,
                               std::vector<uint8_t> tail = {})
{
    std::vector<uint8_t> config = TwoBulkPipes();
    config[offset] = offset != 0 ? value : config[0];
    config.resize(size != 0 ? size : config.size());
    config.insert(config.end(), tail.begin(), tail.end());
    if (total != 0 || !tail.empty()) {
        SetTotalLength(config, total != 0 ? total : static_cast<uint16_t>(config.size()));
    }
    return config;
}

TEST_F(ConfigurationTest, MalformedDescriptorsFailTheStart)
{
    const struct {
        const char* name;
        std::vector<uint8_t> config;
        bool dataError;  // else a configuration error
    } cases[] = {
        {"header shorter than 9 bytes", Malformed(0, 0, 5), true},
        {"header of another descriptor type", Malformed(1, USB_INTERFACE_DESCRIPTOR_TYPE), true},
        {"wTotalLength below 9", Malformed(0, 0, 0, 7), true},
        {"fewer bytes than wTotalLength", Malformed(0, 0, 0, 40), true},
        {"descriptor with bLength 0", Malformed(0, 0, 0, 0, {0, 0x24, 1, 2}), true},
        {"descriptor with bLength 1", Malformed(0, 0, 0, 0, {1, 0x24}), true},
        {"last descriptor runs past the end", Malformed(0, 0, 0, 29), true},
        {"interface descriptor shorter than 9", Malformed(9, 5), true},
        {"endpoint descriptor shorter than 7", Malformed(18, 4), true},
        {"no interface announced", Malformed(4, 0), false},
        {"more interfaces announced than present", Malformed(4, 2), false},
        {"only the configuration descriptor", Malformed(0, 0, 9, 9), false},
    };
    for (const auto& m : cases) {
        SCOPED_TRACE(m.name);
        Prepare(m.config);
        const uint64_t blocksBefore = LiveDriverBlocks();
        EXPECT_EQ(pnp().Start(), m.dataError ? STATUS_DEVICE_DATA_ERROR : STATUS_DEVICE_CONFIGURATION_ERROR);
        ExpectFailedStart(!m.dataError, blocksBefore);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
        TearDown();
    }
}

using PipeAbortTest = DriverFixture;

// The flagged pipes are aborted in order and their flags cleared; a pipe
// whose abort the bus fails keeps its flag without stopping the others, and
// no pool for the request stops the sweep at once.
TEST_F(PipeAbortTest, AbortsFlaggedPipesInOrder)
{
    BringUp();
    const struct {
        NTSTATUS bus;
        bool noPool;
        NTSTATUS expected;
    } cases[] = {
        {STATUS_SUCCESS, false, STATUS_SUCCESS},
        {STATUS_UNSUCCESSFUL, false, STATUS_SUCCESS},
        {STATUS_SUCCESS, true, STATUS_INSUFFICIENT_RESOURCES},
    };
    const std::vector<UCHAR> flags = {1, 0, 1, 0, 1};
    PUCHAR open = context()->PipeOpenFlags;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "bus " << c.bus << (c.noPool ? ", no pool" : ""));
        spy().ForgetSeen();
        spy().ForgetAnswers();
        std::copy(flags.begin(), flags.end(), open);
        spy().FailUrb(URB_FUNCTION_ABORT_PIPE, c.bus);
        if (c.noPool) {
            emu::pool::FailAllocationsOfSize(sizeof(_URB_PIPE_REQUEST));
        }
        {
            emu::DriverScope scope(driver());
            EXPECT_EQ(AbortOpenPipes(fdo()), c.expected);
        }
        emu::pool::ClearFaults();
        std::vector<USBD_PIPE_HANDLE> aborted, expected;
        for (const SeenRequest& seen : spy().SeenUrbs(URB_FUNCTION_ABORT_PIPE)) {
            aborted.push_back(seen.pipeHandle);
        }
        for (ULONG pipe = 0; pipe < 5 && !c.noPool; pipe += 2) {
            expected.push_back(context()->InterfaceInfo->Pipes[pipe].PipeHandle);
        }
        EXPECT_EQ(aborted, expected);
        const bool kept = c.noPool || !NT_SUCCESS(c.bus);
        EXPECT_EQ(std::vector<UCHAR>(open, open + 5), kept ? flags : std::vector<UCHAR>(5, 0));
    }
    std::fill(open, open + 5, 0);
}

}  // namespace
}  // namespace pondrel::test
