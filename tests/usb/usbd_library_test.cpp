// The bus library routines: finding interfaces in configuration descriptors
// (well formed and lying ones) and building select-configuration URBs.
// Descriptor sets live in heap blocks of exactly their size (so that the
// sanitizer build catches any read past them) or in pool blocks (so that
// the walk is bounded by the block when wTotalLength claims more).
#include "tests/usb/usb_fixture.h"


namespace usb_test {
namespace {

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

std::vector<uint8_t> Endpoint(uint8_t address)  // bulk, 512-byte packets
{
    return {7, 5, address, 2, 0, 2, 0};
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

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
    std::vector<uint8_t> heap = c.descriptor;  // a heap block of exactly its size
    void* pool = c.inPool ? PoolCopy(c.descriptor) : nullptr;
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.inPool ? pool : heap.data());
    auto* found = USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(config) + c.start, c.number, c.alternate, c.cls, c.sub, c.protocol);
    EXPECT_EQ(found == nullptr ? -1 : reinterpret_cast<uint8_t*>(found) - reinterpret_cast<uint8_t*>(config), c.expectedOffset);
    if (pool != nullptr) {
        ExFreePool(pool);
    }
}

const auto kTwoAlternates = Config(1, Join({Interface(0, 0, 1), Endpoint(0x81), Interface(0, 1, 1), Endpoint(0x81)}));
const auto kComposite = Config(2, Join({Interface(0, 0, 0, 3), Interface(2, 0, 1, 0xFF, 1, 2), Endpoint(0x02)}));

INSTANTIATE_TEST_SUITE_P(
    Sets, ParseConfigurationDescriptor,
    ::testing::Values(
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
        ParseCase{"TotalLengthCutsTheInterfaceOff", Config(1, Interface(0, 0, 0), 12), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"HeaderOnlyInHeapTotalLengthHonest", Config(1, {}, 9), 0, 0, -1, -1, -1, -1, false},
        ParseCase{"TotalLengthBeyondThePoolBlock", Config(1, Interface(0, 0, 0), 400), 0, 0, -1, -1, -1, 9, true},
        ParseCase{"HeaderOnlyPoolBlockClaimingMore", Config(1, {}, 64), 0, 0, -1, -1, -1, -1, true},
        ParseCase{"InterfaceCutByThePoolBlock",
                  std::vector<uint8_t>{9, 2, 64, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0}, 0, 0, -1, -1, -1, -1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(KernelFixture, StartPositionOutsideTheDescriptorIsAFinding)
{
    std::vector<uint8_t> heap = kTwoAlternates;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(heap.data());
    ExpectFinding("start position outside", [&] {
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<uint8_t*>(config) + 200, 0, 0, -1, -1, -1),
                  nullptr);
    });
}

// USBD_CreateConfigurationRequestEx, as SelectRequest calls it with every
// interface at alternate 0: one record per list entry, pipes with the
// default maximum transfer size; an empty list still gives a block as large
// as the structure.
TEST_F(KernelFixture, CreateLaysOutOneRecordPerListEntryWithDefaultPipeFields)
{
    SelectRequest two(Config(2, Join({Interface(0, 0, 2), Endpoint(0x01), Endpoint(0x81), Interface(1, 0, 0)})));
    ASSERT_NE(two.urb, nullptr);
    const auto& select = two.urb->UrbSelectConfiguration;
    EXPECT_EQ(std::tuple(select.Hdr.Function, select.Hdr.Length, select.ConfigurationDescriptor),
              std::tuple(URB_FUNCTION_SELECT_CONFIGURATION, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2), two.config));
    auto* first = &two.urb->UrbSelectConfiguration.Interface;
    auto* second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(first) + 72);
    EXPECT_EQ(std::tuple(&two.Interface(0), &two.Interface(1), two.list[2].Interface), std::tuple(first, second, nullptr));
    EXPECT_EQ(std::tuple(first->Length, first->NumberOfPipes, second->Length, second->InterfaceNumber, second->NumberOfPipes),
              std::tuple(72, 2u, 24, 1, 0u));
    for (const auto& pipe : {first->Pipes[0], first->Pipes[1]}) {
        EXPECT_EQ(std::tuple(pipe.MaximumTransferSize, pipe.PipeFlags), std::tuple(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, 0u));
    }
    SelectRequest none(Config(0, {}));
    const void* start = nullptr;
    SIZE_T bytes = 0;
    ASSERT_TRUE(none.urb != nullptr && emu::pool::FindBlock(none.urb, &start, &bytes));
    EXPECT_EQ(std::tuple(none.urb->UrbHeader.Length, bytes >= sizeof(struct _URB_SELECT_CONFIGURATION)),
              std::tuple(GET_SELECT_CONFIGURATION_REQUEST_SIZE(0, 0), true));
}

// A list with no terminating entry in its pool block, and an interface
// descriptor cut by its pool block, are findings and give no URB.
TEST_F(KernelFixture, CreateRefusesAListOrAnInterfaceRunningOutOfItsPoolBlock)
{
    SelectRequest request(Config(1, Interface(0, 0, 0)));
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(PoolCopy(std::vector<uint8_t>(sizeof(USBD_INTERFACE_LIST_ENTRY))));
    list[0] = request.list[0];
    ExpectFinding("not terminated", [&] { EXPECT_EQ(USBD_CreateConfigurationRequestEx(request.config, list), nullptr); });
    USBD_INTERFACE_LIST_ENTRY cut[] = {{static_cast<PUSB_INTERFACE_DESCRIPTOR>(PoolCopy({9, 4, 0, 0, 3})), nullptr}, {}};
    ExpectFinding("runs past its pool block",
                  [&] { EXPECT_EQ(USBD_CreateConfigurationRequestEx(request.config, cut), nullptr); });
    ExFreePool(cut[0].InterfaceDescriptor);
    ExFreePool(list);
}

}  // namespace
}  // namespace usb_test
