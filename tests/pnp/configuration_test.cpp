// The configuration chain against emulated devices: what is selected, what
// is kept, and what each failure leaves behind.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/configuration.h"

#include <cstring>
#include <set>

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

    SeenRequest SelectRequest()
    {
        const std::vector<SeenRequest> selects = spy().SeenUrbs(URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(selects.size(), 1u);
        return selects.empty() ? SeenRequest{} : selects[0];
    }
};

// Every interface is selected at alternate setting 0, found by number up to
// 255 with gaps skipped, with the largest transfer size; the driver keeps a
// copy of the whole descriptor and the lowest-numbered interface's bulk
// pipes, each with its open flag clear.
TEST_F(ConfigurationTest, SelectsEveryInterfaceAtAlternateSettingZero)
{
    const struct {
        const char* name;
        std::vector<InterfaceDesc> interfaces;
        std::vector<UCHAR> selected;
        UCHAR keptNumber;
        std::vector<UCHAR> keptPipes;  // endpoint addresses
    } cases[] = {
        {"one interface with two pipes", {{0, 0, {{0x01}, {0x81}}}}, {0}, 0, {0x01, 0x81}},
        {"interfaces 0 and 2", {{0, 0, {{0x01}}}, {2, 0, {{0x02}, {0x82}}}}, {0, 2}, 0, {0x01}},
        {"alternate settings 0 and 1", {{0, 0, {{0x01}, {0x81}}}, {0, 1, {{0x01}, {0x81}, {0x02}}}}, {0}, 0,
         {0x01, 0x81}},
        {"only interface 255", {{255, 0, {{0x01}}}}, {255}, 255, {0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> config = ConfigDescriptor(0x80, c.interfaces);
        Prepare(config);
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        const SeenRequest select = SelectRequest();
        EXPECT_EQ(select.selectedInterfaces, c.selected);
        EXPECT_EQ(select.firstInterfaceMaxTransfer, std::vector<ULONG>(c.keptPipes.size(), 0xFFFFFFFF));

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
        ASSERT_EQ(BlockSize(ctx->PipeOpenFlags), c.keptPipes.size());
        EXPECT_EQ(std::vector<UCHAR>(ctx->PipeOpenFlags, ctx->PipeOpenFlags + c.keptPipes.size()),
                  std::vector<UCHAR>(c.keptPipes.size(), 0));
        TearDown();
    }
}

// Only a device with remote wakeup gets a wait-wake request, and only its
// stop has one to cancel.
TEST_F(ConfigurationTest, RemoteWakeupAttributeDecidesWaitWake)
{
    const struct {
        UCHAR attributes;
        LONG remoteWake;
    } cases[] = {{0xA0, 1}, {0x80, 0}, {0xE0, 1}, {0xC0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("bmAttributes " + std::to_string(c.attributes));
        Prepare(TwoBulkPipes(c.attributes));
        spy().KeepWaitWake(WaitWakeCancel::CompleteAtOnce);
        ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
        EXPECT_EQ(context()->RemoteWakeCapable, c.remoteWake);
        EXPECT_EQ(spy().Count(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), static_cast<size_t>(c.remoteWake));
        ASSERT_EQ(pnp().QueryStop(), STATUS_SUCCESS);
        ASSERT_EQ(pnp().Stop(), STATUS_SUCCESS);
        EXPECT_EQ(spy().WaitWakeCancels(), static_cast<size_t>(c.remoteWake));
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

// A failed selection keeps the descriptor until the next release; the
// removal that follows a failed start frees it rather than losing it.
TEST_F(ConfigurationTest, FailedSelectionKeepsTheDescriptorUntilReleased)
{
    Prepare(TwoBulkPipes());
    const uint64_t blocksBefore = LiveDriverBlocks();
    spy().FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, STATUS_UNSUCCESSFUL);

    EXPECT_EQ(pnp().Start(), STATUS_UNSUCCESSFUL);
    ExpectFailedStart(true, blocksBefore);
    EXPECT_EQ(context()->RemoteWakeCapable, 1);

    EXPECT_EQ(pnp().Start(), STATUS_INVALID_DEVICE_STATE) << "only the removal follows a failed start";
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_EQ(LiveDriverBlocks(), 0u) << "the driver unloads with its last device, the descriptor freed";
}

// Each allocation of the chain fails in turn. The start fails, and what is
// left is one of the failure table's rows; between them the sweep reaches
// every row. Nothing leaks (the fixture checks the pool at unload).
TEST_F(ConfigurationTest, EachFailedAllocationLeavesWhatTheTableSays)
{
    enum class Left { Nothing, Descriptor, DescriptorAndFlags, DescriptorAndInfo };
    std::set<Left> seen;
    for (uint64_t nth = 1;; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " fails");
        ASSERT_LT(nth, 40u) << "the start never succeeded";
        Prepare(TwoBulkPipes());
        emu::pool::FailNthAllocation(nth);
        const NTSTATUS status = pnp().Start();
        emu::pool::ClearFaults();
        if (NT_SUCCESS(status)) {
            break;
        }
        EXPECT_EQ(State(), DeviceNew);
        const DeviceContext* c = context();
        if (c->ConfigDescriptor == nullptr) {
            EXPECT_EQ(c->InterfaceInfo, nullptr);
            EXPECT_EQ(c->PipeOpenFlags, nullptr);
            seen.insert(Left::Nothing);
        } else if (c->InterfaceInfo == nullptr && c->PipeOpenFlags == nullptr) {
            seen.insert(Left::Descriptor);
        } else if (c->InterfaceInfo == nullptr) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(c->PipeOpenFlags[0] | c->PipeOpenFlags[1], 0);
            seen.insert(Left::DescriptorAndFlags);
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(c->PipeOpenFlags, nullptr);
            seen.insert(Left::DescriptorAndInfo);
        }
        TearDown();
    }
    EXPECT_EQ(seen, (std::set<Left>{Left::Nothing, Left::Descriptor, Left::DescriptorAndFlags,
                                    Left::DescriptorAndInfo}));
}

enum class Expect { DataError, ConfigurationError };

struct Malformed {
    const char* name;
    std::vector<uint8_t> config;
    Expect expect;
};

std::vector<uint8_t> Edited(std::vector<uint8_t> config, size_t offset, uint8_t value)
{
    config[offset] = value;
    return config;
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> config, size_t size)
{
    config.resize(size);
    return config;
}

std::vector<uint8_t> WithTotal(std::vector<uint8_t> config, uint16_t total)
{
    SetTotalLength(config, total);
    return config;
}

std::vector<uint8_t> WithTrailing(std::vector<uint8_t> config, std::vector<uint8_t> tail)
{
    config.insert(config.end(), tail.begin(), tail.end());
    SetTotalLength(config, static_cast<uint16_t>(config.size()));
    return config;
}

// Offsets in TwoBulkPipes(): configuration 0 (bNumInterfaces at 4),
// interface 9, endpoints 18 and 25.
std::vector<Malformed> MalformedSets()
{
    const std::vector<uint8_t> good = TwoBulkPipes();
    return {
        {"header shorter than 9 bytes", Truncated(good, 5), Expect::DataError},
        {"header of another descriptor type", Edited(good, 1, USB_INTERFACE_DESCRIPTOR_TYPE), Expect::DataError},
        {"wTotalLength below 9", WithTotal(good, 7), Expect::DataError},
        {"fewer bytes than wTotalLength", WithTotal(good, 40), Expect::DataError},
        {"descriptor with bLength 0", WithTrailing(good, {0, 0x24, 1, 2}), Expect::DataError},
        {"descriptor with bLength 1", WithTrailing(good, {1, 0x24}), Expect::DataError},
        {"last descriptor runs past the end", WithTotal(good, 29), Expect::DataError},
        {"interface descriptor shorter than 9", Edited(good, 9, 5), Expect::DataError},
        {"endpoint descriptor shorter than 7", Edited(good, 18, 4), Expect::DataError},
        {"no interface announced", Edited(good, 4, 0), Expect::ConfigurationError},
        {"more interfaces announced than present", Edited(good, 4, 2), Expect::ConfigurationError},
        {"only the configuration descriptor", WithTotal(Truncated(good, 9), 9), Expect::ConfigurationError},
    };
}

TEST_F(ConfigurationTest, MalformedDescriptorsFailTheStart)
{
    for (const Malformed& m : MalformedSets()) {
        SCOPED_TRACE(m.name);
        Prepare(m.config);
        const uint64_t blocksBefore = LiveDriverBlocks();

        const bool dataError = m.expect == Expect::DataError;
        EXPECT_EQ(pnp().Start(), dataError ? STATUS_DEVICE_DATA_ERROR : STATUS_DEVICE_CONFIGURATION_ERROR);
        ExpectFailedStart(!dataError, blocksBefore);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
        TearDown();
    }
}

// An interface without endpoints starts; there is simply no pipe to open.
TEST_F(ConfigurationTest, InterfaceWithoutPipesStarts)
{
    Prepare(ConfigDescriptor(0x80, {{0, 0, {}}}));
    ASSERT_EQ(pnp().Start(), STATUS_SUCCESS);
    EXPECT_EQ(context()->InterfaceInfo->NumberOfPipes, 0u);
    EXPECT_NE(context()->PipeOpenFlags, nullptr);

    emu::Handle handle = 0;
    EXPECT_FALSE(NT_SUCCESS(machine().app().Open("\\\\.\\pondrel\\PIPE0", &handle)));
    ASSERT_EQ(machine().app().Open("\\\\.\\pondrel", &handle), STATUS_SUCCESS);
    machine().app().Close(handle);
}

class PipeAbortTest : public DriverFixture {
protected:
    NTSTATUS Abort()
    {
        emu::DriverScope scope(driver());
        return AbortOpenPipes(fdo());
    }

    void SetFlags(std::vector<UCHAR> flags)
    {
        for (size_t pipe = 0; pipe < flags.size(); ++pipe) {
            context()->PipeOpenFlags[pipe] = flags[pipe];
        }
    }

    std::vector<UCHAR> Flags()
    {
        const ULONG count = context()->InterfaceInfo->NumberOfPipes;
        return std::vector<UCHAR>(context()->PipeOpenFlags, context()->PipeOpenFlags + count);
    }

    std::vector<USBD_PIPE_HANDLE> AbortedPipes()
    {
        std::vector<USBD_PIPE_HANDLE> handles;
        for (const SeenRequest& seen : spy().SeenUrbs(URB_FUNCTION_ABORT_PIPE)) {
            handles.push_back(seen.pipeHandle);
        }
        return handles;
    }

    USBD_PIPE_HANDLE Handle(ULONG pipe) { return context()->InterfaceInfo->Pipes[pipe].PipeHandle; }
};

// The flagged pipes are aborted in order and their flags cleared; a pipe
// whose abort the bus fails keeps its flag without stopping the others, and
// no pool for the request stops the sweep at once.
TEST_F(PipeAbortTest, AbortsFlaggedPipesInOrder)
{
    BringUp();
    const struct {
        const char* name;
        std::vector<UCHAR> flags;
        std::vector<ULONG> aborted;
        NTSTATUS bus;
        bool noPool;
        NTSTATUS expected;
    } cases[] = {
        {"pipes 0 and 2", {1, 0, 1, 0, 0}, {0, 2}, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"none", {0, 0, 0, 0, 0}, {}, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"all", {1, 1, 1, 1, 1}, {0, 1, 2, 3, 4}, STATUS_SUCCESS, false, STATUS_SUCCESS},
        {"the bus fails them", {1, 0, 1, 0, 0}, {0, 2}, STATUS_UNSUCCESSFUL, false, STATUS_SUCCESS},
        {"no pool for the request", {1, 0, 1, 0, 0}, {}, STATUS_SUCCESS, true, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spy().ForgetSeen();
        spy().ForgetAnswers();
        SetFlags(c.flags);
        spy().FailUrb(URB_FUNCTION_ABORT_PIPE, c.bus);
        if (c.noPool) {
            emu::pool::FailAllocationsOfSize(sizeof(_URB_PIPE_REQUEST));
        }
        EXPECT_EQ(Abort(), c.expected);
        emu::pool::ClearFaults();
        std::vector<USBD_PIPE_HANDLE> expected;
        for (ULONG pipe : c.aborted) {
            expected.push_back(Handle(pipe));
        }
        EXPECT_EQ(AbortedPipes(), expected);
        const bool kept = c.noPool || !NT_SUCCESS(c.bus);
        EXPECT_EQ(Flags(), kept ? c.flags : std::vector<UCHAR>(5, 0));
    }
    SetFlags({0, 0, 0, 0, 0});
}

}  // namespace
}  // namespace pondrel::test
