// The configuration chain against emulated devices: what is selected, what
// is kept, and what each failure leaves behind.
#include "tests/pnp/support/driver_fixture.h"

#include "emulator/kernel/system.h"
#include "usb/configuration.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace pondrel::test {
namespace {

struct InterfaceDesc {
    uint8_t number;
    uint8_t alternate = 0;
    std::vector<uint8_t> endpoints;  // addresses of bulk endpoints, 512-byte packets
};

void SetTotalLength(std::vector<uint8_t>& config, uint16_t totalLength)
{
    config[2] = static_cast<uint8_t>(totalLength & 0xFF);
    config[3] = static_cast<uint8_t>(totalLength >> 8);
}

// A configuration descriptor of those interfaces: bNumInterfaces counts the
// alternate-setting-0 ones, wTotalLength is the size of the block.
std::vector<uint8_t> ConfigDescriptor(uint8_t attributes, const std::vector<InterfaceDesc>& interfaces)
{
    const auto count = std::count_if(interfaces.begin(), interfaces.end(), [](const auto& i) { return i.alternate == 0; });
    std::vector<uint8_t> block = {9, 2, 0, 0, static_cast<uint8_t>(count), 1, 0, attributes, 50};
    for (const InterfaceDesc& interface : interfaces) {
        const auto endpointCount = static_cast<uint8_t>(interface.endpoints.size());
        block.insert(block.end(), {9, 4, interface.number, interface.alternate, endpointCount, 0xFF, 0, 0, 0});
        for (const uint8_t address : interface.endpoints) {
            block.insert(block.end(), {7, 5, address, 2, 0x00, 0x02, 0});
        }
    }
    SetTotalLength(block, static_cast<uint16_t>(block.size()));
    return block;
}

// One interface 0 with a bulk OUT 0x01 and a bulk IN 0x81 endpoint.
std::vector<uint8_t> TwoBulkPipes() { return ConfigDescriptor(0xA0, {{0, 0, {{0x01}, {0x81}}}}); }

class ConfigurationTest : public DriverFixture {
protected:
    // Loads, puts the spy below, adds; the start is the test's.
    void Prepare(std::vector<uint8_t> config)
    {
        emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
        model.configDescriptor = std::move(config);
        LoadWithSpy(std::move(model));
    }

    static SIZE_T BlockSize(const void* block)
    {
        const void* start = nullptr;
        SIZE_T bytes = 0;
        return emu::pool::FindBlock(block, &start, &bytes) && start == block ? bytes : 0;
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

// A failed start leaves the device new with no pipes. A failed read ends the
// chain there, keeping nothing. The full read must agree with the header
// about wTotalLength: a longer claim would send later readers past the block
// sized from the header, and a shorter one leaves bytes the device never
// sent. A descriptor that reads whole but cannot be configured, or whose
// selection fails, is kept until the removal that follows the failed start
// frees it (the fixture checks the pool at unload).
TEST_F(ConfigurationTest, FailedStartLeavesTheDeviceNew)
{
    constexpr NTSTATUS Data = STATUS_DEVICE_DATA_ERROR, Config = STATUS_DEVICE_CONFIGURATION_ERROR;
    const std::vector<uint8_t> good = TwoBulkPipes();
    std::vector<uint8_t> padded = good;
    padded.resize(good.size() + 16, 0);
    const auto fullReadClaims = [&](int change) {
        return [&, change] {
            std::vector<uint8_t> changed = padded;
            SetTotalLength(changed, static_cast<uint16_t>(good.size() + change));
            device().AnswerDescriptorRead(3, changed);
        };
    };
    const auto readFails = [&](uint64_t nth) { return [&, nth] { device().FailDescriptorRead(nth); }; };
    const struct {
        const char* name;
        std::vector<uint8_t> config;
        std::function<void()> arrange;
        NTSTATUS status;
        uint64_t reads;  // of descriptors; 0: not counted
        bool selected = false;
    } cases[] = {
        {"device descriptor read fails", good, readFails(1), STATUS_UNSUCCESSFUL, 1},
        {"header read fails", good, readFails(2), STATUS_UNSUCCESSFUL, 2},
        {"full read fails", good, readFails(3), STATUS_UNSUCCESSFUL, 3},
        {"wTotalLength shrinks by 7", good, fullReadClaims(-7), Data, 3},
        {"wTotalLength grows by 7", good, fullReadClaims(7), Data, 3},
        {"selection fails", good, [&] { spy().FailUrb(URB_FUNCTION_SELECT_CONFIGURATION, STATUS_UNSUCCESSFUL); },
         STATUS_UNSUCCESSFUL, 3, true},
        {"header shorter than 9 bytes", Malformed(0, 0, 5), {}, Data, 0},
        {"header of another descriptor type", Malformed(1, USB_INTERFACE_DESCRIPTOR_TYPE), {}, Data, 0},
        {"wTotalLength below 9", Malformed(0, 0, 0, 7), {}, Data, 0},
        {"fewer bytes than wTotalLength", Malformed(0, 0, 0, 40), {}, Data, 0},
        {"descriptor with bLength 0", Malformed(0, 0, 0, 0, {0, 0x24, 1, 2}), {}, Data, 0},
        {"descriptor with bLength 1", Malformed(0, 0, 0, 0, {1, 0x24}), {}, Data, 0},
        {"last descriptor runs past the end", Malformed(0, 0, 0, 29), {}, Data, 0},
        {"interface descriptor shorter than 9", Malformed(9, 5), {}, Data, 0},
        {"endpoint descriptor shorter than 7", Malformed(18, 4), {}, Data, 0},
        {"no interface announced", Malformed(4, 0), {}, Config, 0},
        {"more interfaces announced than present", Malformed(4, 2), {}, Config, 0},
        {"only the configuration descriptor", Malformed(0, 0, 9, 9), {}, Config, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.config);
        const uint64_t blocksBefore = LiveDriverBlocks();
        if (c.arrange) {
            c.arrange();
        }
        const bool kept = c.selected || c.status == Config;
        EXPECT_EQ(pnp().Start(), c.status);
        EXPECT_EQ(State(), DeviceNew);
        EXPECT_EQ(context()->InterfaceInfo, nullptr);
        EXPECT_EQ(context()->PipeOpenFlags, nullptr);
        EXPECT_EQ(context()->ConfigDescriptor != nullptr, kept);
        EXPECT_EQ(LiveDriverBlocks(), blocksBefore + (kept ? 1 : 0));
        EXPECT_TRUE(c.reads == 0 || spy().CountUrbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) == c.reads);
        EXPECT_EQ(spy().CountUrbs(URB_FUNCTION_SELECT_CONFIGURATION), c.selected ? 1u : 0u);
        EXPECT_EQ(context()->RemoteWakeCapable, kept ? 1 : 0);
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
