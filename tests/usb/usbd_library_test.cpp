// The bus library routines: finding interfaces in configuration descriptors
// (well formed and lying ones) and building select-configuration URBs.
// Descriptor sets live in heap blocks of exactly their size (so that the
// sanitizer build catches any read past them) or in pool blocks (so that
// the walk is bounded by the block when wTotalLength claims more).
#include "tests/usb/usb_fixture.h"

#include <cstring>
#include <memory>

namespace usb_test {
namespace {

constexpr ULONG UsbdTag = 0x44425355;

// Builders for descriptor sets.
std::vector<uint8_t> Config(uint8_t interfaces, std::vector<uint8_t> body, int totalLength = -1)
{
    const size_t total = totalLength >= 0 ? static_cast<size_t>(totalLength) : body.size() + 9;
    std::vector<uint8_t> bytes = {9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), interfaces, 1, 0, 0x80, 50};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 0xFF,
                               uint8_t sub = 0, uint8_t protocol = 0)
{
    return {9, 4, number, alternate, endpoints, cls, sub, protocol, 0};
}

std::vector<uint8_t> Endpoint(uint8_t address, uint8_t type = 2, uint16_t packet = 512)
{
    return {7, 5, address, type, static_cast<uint8_t>(packet), static_cast<uint8_t>(packet >> 8), 0};
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A heap block of exactly the descriptor's size.
struct ExactCopy {
    explicit ExactCopy(const std::vector<uint8_t>& bytes) : block(new uint8_t[bytes.size()])
    {
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    PUSB_CONFIGURATION_DESCRIPTOR Config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get()); }
    std::unique_ptr<uint8_t[]> block;
};

struct ParseCase {
    const char* name;
    std::vector<uint8_t> descriptor;
    LONG number, alternate, cls, sub, protocol;
    long expectedOffset;  // -1: none
    bool inPool;          // the descriptor lives in a pool block of its exact size
    long start = 0;       // the start position's offset
};

class ParseConfigurationDescriptor : public KernelFixture, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseConfigurationDescriptor, FindsTheMatchingInterfaceWithinTheBytesPresent)
{
    const ParseCase& c = GetParam();
    ExactCopy heap(c.descriptor);
    void* pool = c.inPool ? PoolCopy(c.descriptor) : nullptr;
    auto* config = c.inPool ? static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(pool) : heap.Config();
    auto* found = USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(config) + c.start, c.number, c.alternate, c.cls, c.sub, c.protocol);
    if (c.expectedOffset < 0) {
        EXPECT_EQ(found, nullptr);
    } else {
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(found) - reinterpret_cast<uint8_t*>(config), c.expectedOffset);
    }
    if (pool != nullptr) {
        ExFreePool(pool);
    }
}

const auto kTwoAlternates = Config(1, Join({Interface(0, 0, 1), Endpoint(0x81), Interface(0, 1, 1), Endpoint(0x81)}));
const auto kComposite = Config(2, Join({Interface(0, 0, 0, 3), Interface(2, 0, 1, 0xFF, 1, 2), Endpoint(0x02)}));

INSTANTIATE_TEST_SUITE_P(
    Sets, ParseConfigurationDescriptor,
    ::testing::Values(
        ParseCase{"FirstInterface", kTwoAlternates, 0, 0, -1, -1, -1, 9, false},
        ParseCase{"AlternateSetting", kTwoAlternates, 0, 1, -1, -1, -1, 25, false},
        ParseCase{"AnyNumberAnyAlternate", kTwoAlternates, -1, -1, -1, -1, -1, 9, false},
        ParseCase{"ContinuingAfterTheFirst", kTwoAlternates, -1, -1, -1, -1, -1, 25, false, 18},
        ParseCase{"StartingAtTheEnd", kTwoAlternates, -1, -1, -1, -1, -1, -1, false, 41},
        ParseCase{"NoSuchAlternate", kTwoAlternates, 0, 2, -1, -1, -1, -1, false},
        ParseCase{"InterfaceNumberBeyondCount", kComposite, 2, 0, -1, -1, -1, 18, false},
        ParseCase{"ByClassSubclassProtocol", kComposite, -1, -1, 0xFF, 1, 2, 18, false},
        ParseCase{"ClassMismatch", kComposite, 0, 0, 0xFF, -1, -1, -1, false},
        ParseCase{"ZeroBLengthStopsTheWalk",
                  Config(1, Join({{0, 4, 0, 0}, Interface(0, 0, 0)})), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"BLengthPastTheEnd", Config(1, Join({{40, 4, 0, 0, 0, 0xFF, 0, 0, 0}})), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"InterfaceShorterThanItsStructure", Config(1, {5, 4, 0, 0, 0}), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"TotalLengthBelowNine", Config(1, Interface(0, 0, 0), 4), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"TotalLengthZero", Config(1, Interface(0, 0, 0), 0), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"TotalLengthCutsTheInterfaceOff", Config(1, Interface(0, 0, 0), 12), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"HeaderOnlyInHeapTotalLengthHonest", Config(1, {}, 9), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"TotalLengthBeyondThePoolBlock", Config(1, Interface(0, 0, 0), 400), 0, 0, -1, -1, -1, 9, true},
        ParseCase{"HeaderOnlyPoolBlockClaimingMore", Config(1, {}, 64), 0, 0, -1, -1, -1, -1, true},
        ParseCase{"InterfaceCutByThePoolBlock",
                  std::vector<uint8_t>{9, 2, 64, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0}, 0, 0, -1, -1, -1, -1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KernelFixture, StartPositionOutsideTheDescriptorIsAFinding)
{
    ExactCopy heap(kTwoAlternates);
    auto* config = heap.Config();
    ExpectFinding("start position outside", [&] {
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(config) + 200, 0, 0, -1, -1, -1),
                  nullptr);
    });
}

// ---- USBD_CreateConfigurationRequestEx ----

// Builds a select-configuration URB from a pool copy of `descriptor` for
// the interface descriptors at `offsets` in it.
struct CreateFixture : KernelFixture {
    PURB Create(const std::vector<uint8_t>& descriptor, std::initializer_list<size_t> offsets)
    {
        config_ = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolCopy(descriptor));
        list_.clear();
        for (size_t offset : offsets) {
            list_.push_back({reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(reinterpret_cast<uint8_t*>(config_) + offset)});
        }
        list_.push_back({});
        return USBD_CreateConfigurationRequestEx(config_, list_.data());
    }
    void TearDown() override
    {
        ExFreePool(config_);
        KernelFixture::TearDown();
    }
    PUSB_CONFIGURATION_DESCRIPTOR config_ = nullptr;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list_;
};

TEST_F(CreateFixture, LaysOutOneRecordPerListEntryWithDefaultPipeFields)
{
    PURB urb = Create(Config(2, Join({Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x81), Interface(1, 0, 0)})), {9, 32});
    const auto& list = list_;
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(emu::pool::LiveBlocks(UsbdTag), 1u);
    const auto& select = urb->UrbSelectConfiguration;
    EXPECT_EQ(std::tuple(select.Hdr.Function, select.Hdr.Length, select.ConfigurationDescriptor, select.ConfigurationHandle),
              std::tuple(URB_FUNCTION_SELECT_CONFIGURATION, 136, config_, nullptr));
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2), 136);

    auto* first = &urb->UrbSelectConfiguration.Interface;
    auto* second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + 72);
    EXPECT_EQ(std::tuple(list[0].Interface, list[1].Interface, list[2].Interface), std::tuple(first, second, nullptr));
    EXPECT_EQ(std::tuple(first->Length, first->InterfaceNumber, first->NumberOfPipes), std::tuple(72, 0, 2u));
    EXPECT_EQ(std::tuple(second->Length, second->InterfaceNumber, second->NumberOfPipes), std::tuple(24, 1, 0u));
    for (const auto& pipe : {first->Pipes[0], first->Pipes[1]}) {
        EXPECT_EQ(std::tuple(pipe.MaximumTransferSize, pipe.PipeFlags, pipe.PipeHandle),
                  std::tuple(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, 0u, nullptr));
    }
    ExFreePool(urb);
    EXPECT_EQ(emu::pool::LiveBlocks(UsbdTag), 0u);
}

TEST_F(CreateFixture, AnEmptyListStillGivesABlockAsLargeAsTheStructure)
{
    PURB urb = Create(Config(0, {}), {});
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(0, 0));
    const void* start = nullptr;
    SIZE_T bytes = 0;
    ASSERT_TRUE(emu::pool::FindBlock(urb, &start, &bytes));
    EXPECT_GE(bytes, sizeof(struct _URB_SELECT_CONFIGURATION));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Length, 0);
    ExFreePool(urb);
}

TEST_F(CreateFixture, ReturnsNullWhenThePoolIsExhausted)
{
    emu::pool::FailNthAllocation(2);  // the first is the descriptor's copy
    EXPECT_EQ(Create(Config(1, Interface(0, 0, 0)), {9}), nullptr);
    emu::pool::ClearFaults();
    EXPECT_EQ(list_[0].Interface, nullptr);
}

// A list with no terminating entry in its pool block, and an interface
// descriptor cut by its pool block, are findings and give no URB.
TEST_F(CreateFixture, RefusesAListOrAnInterfaceRunningOutOfItsPoolBlock)
{
    Create(Config(1, Interface(0, 0, 0)), {});
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(PoolCopy(std::vector<uint8_t>(sizeof(USBD_INTERFACE_LIST_ENTRY))));
    list[0] = {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(reinterpret_cast<uint8_t*>(config_) + 9), nullptr};
    ExpectFinding("not terminated", [&] { EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, list), nullptr); });
    list[0].InterfaceDescriptor = static_cast<PUSB_INTERFACE_DESCRIPTOR>(PoolCopy({9, 4, 0, 0, 3}));
    list_ = {list[0], {}};
    ExpectFinding("runs past its pool block",
                  [&] { EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, list_.data()), nullptr); });
    ExFreePool(list_[0].InterfaceDescriptor);
    ExFreePool(list);
}

}  // namespace
}  // namespace usb_test
