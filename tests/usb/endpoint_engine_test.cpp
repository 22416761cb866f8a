// The data rules of the emulated device and host controller, without any
// request around them: packets, short and zero-length packets, transfers that
// are exact multiples of the packet size, babble, the short-transfer policy,
// loopback echo and injected faults.
#include "emulator/usb/endpoint_engine.h"

#include <gtest/gtest.h>

#include <numeric>

namespace emu::usb {
namespace {

EndpointState MakeEndpoint(uint8_t address, uint16_t maxPacket, EndpointBehaviour behaviour)
{
    EndpointState endpoint;
    endpoint.address = address;
    endpoint.maxPacket = maxPacket;
    endpoint.role.behaviour = behaviour;
    return endpoint;
}

std::vector<uint8_t> Bytes(size_t length, uint8_t first = 1)
{
    std::vector<uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Queued IN data of `queued` bytes (packets of 64), read by one transfer
// asking for `requested` bytes.
struct InCase {
    const char* name;
    size_t queued;
    uint32_t requested;
    bool zeroLengthAfter;  // a zero-length packet follows the queued data
    bool done;
    uint32_t moved;
    USBD_STATUS status;
};

class InTransfer : public ::testing::TestWithParam<InCase> {};

TEST_P(InTransfer, EndsWhereThePacketRulesSay)
{
    const InCase& c = GetParam();
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(c.queued);
    if (c.queued != 0) {
        QueueInPackets(in, data.data(), data.size(), c.zeroLengthAfter);
    } else if (c.zeroLengthAfter) {
        QueueInPackets(in, nullptr, 0, false);
    }
    std::vector<uint8_t> buffer(c.requested + 16, 0xEE);
    TransferData transfer{buffer.data(), c.requested, 0, true, std::nullopt};
    const StepResult step = Advance(in, nullptr, transfer, false);
    EXPECT_EQ(step.done, c.done);
    EXPECT_EQ(transfer.moved, c.moved);
    if (c.done) {
        EXPECT_EQ(step.status, c.status);
    }
    for (uint32_t i = 0; i < transfer.moved; ++i) {
        ASSERT_EQ(buffer[i], data[i]) << "byte " << i;
    }
    for (size_t i = transfer.moved; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " written past the bytes moved";
    }
}

INSTANTIATE_TEST_SUITE_P(
    PacketRules, InTransfer,
    ::testing::Values(
        InCase{"ShortPacketEndsEarly", 100, 512, false, true, 100, USBD_STATUS_SUCCESS},
        InCase{"ExactMultipleWaitsForMore", 128, 512, false, false, 128, USBD_STATUS_PENDING},
        InCase{"ExactMultipleEndsAtZeroLengthPacket", 128, 512, true, true, 128, USBD_STATUS_SUCCESS},
        InCase{"AskedForBytesMetExactly", 128, 128, false, true, 128, USBD_STATUS_SUCCESS},
        InCase{"ShortPacketFillingTheRequest", 100, 100, false, true, 100, USBD_STATUS_SUCCESS},
        InCase{"ZeroLengthPacketAlone", 0, 64, true, true, 0, USBD_STATUS_SUCCESS},
        InCase{"NothingQueued", 0, 64, false, false, 0, USBD_STATUS_PENDING},
        InCase{"ZeroLengthRequest", 64, 0, false, true, 0, USBD_STATUS_SUCCESS},
        InCase{"BabbleOnPacketLargerThanRoom", 64, 40, false, true, 40, USBD_STATUS_BABBLE_DETECTED},
        InCase{"BabbleAfterFullPackets", 192, 150, false, true, 150, USBD_STATUS_BABBLE_DETECTED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InTransferPolicy, ShortTransferIsAnErrorOnlyWithoutTheFlagUnderTheOldPolicy)
{
    struct Case {
        bool shortOk;
        bool shortIsError;
        USBD_STATUS status;
        bool halted;
    };
    for (const Case c : {Case{true, false, USBD_STATUS_SUCCESS, false}, Case{false, false, USBD_STATUS_SUCCESS, false},
                         Case{true, true, USBD_STATUS_SUCCESS, false},
                         Case{false, true, USBD_STATUS_ERROR_SHORT_TRANSFER, true}}) {
        EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
        const auto data = Bytes(10);
        QueueInPackets(in, data.data(), data.size(), false);
        std::vector<uint8_t> buffer(64);
        TransferData transfer{buffer.data(), 64, 0, c.shortOk, std::nullopt};
        const StepResult step = Advance(in, nullptr, transfer, c.shortIsError);
        EXPECT_TRUE(step.done);
        EXPECT_EQ(step.status, c.status) << "shortOk " << c.shortOk << " shortIsError " << c.shortIsError;
        EXPECT_EQ(transfer.moved, 10u);
        EXPECT_EQ(in.halted, c.halted);
    }
}

TEST(InTransfer, PartialProgressSurvivesAWaitAndCompletesLater)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(200);
    std::vector<uint8_t> buffer(256);
    TransferData transfer{buffer.data(), 256, 0, true, std::nullopt};
    QueueInPackets(in, data.data(), 128, false);
    EXPECT_FALSE(Advance(in, nullptr, transfer, false).done);
    EXPECT_EQ(transfer.moved, 128u);
    QueueInPackets(in, data.data() + 128, 72, false);
    const StepResult step = Advance(in, nullptr, transfer, false);
    EXPECT_TRUE(step.done);
    EXPECT_EQ(transfer.moved, 200u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
}

TEST(SourceEndpoint, SendsTheCountingPatternContinuouslyAcrossTransfers)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Source);
    uint64_t offset = 0;
    for (uint32_t length : {64u, 256u, 512u}) {
        std::vector<uint8_t> buffer(length);
        TransferData transfer{buffer.data(), length, 0, false, std::nullopt};
        const StepResult step = Advance(in, nullptr, transfer, false);
        ASSERT_TRUE(step.done);
        ASSERT_EQ(transfer.moved, length);
        for (uint32_t i = 0; i < length; ++i) {
            ASSERT_EQ(buffer[i], SourcePatternByte(offset + i)) << "length " << length << " byte " << i;
        }
        offset += length;
    }
}

TEST(SourceEndpoint, BabblesWhenAskedForLessThanAPacket)
{
    EndpointState in = MakeEndpoint(0x81, 512, EndpointBehaviour::Source);
    std::vector<uint8_t> buffer(100);
    TransferData transfer{buffer.data(), 100, 0, true, std::nullopt};
    const StepResult step = Advance(in, nullptr, transfer, false);
    EXPECT_EQ(step.status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_TRUE(in.halted);
}

// OUT transfer lengths echoed through a loopback pair (packets of 64 on
// both sides): the IN side sees the same bytes, split the same way.
struct EchoCase {
    size_t length;
    bool zeroLengthTerminator;
    std::vector<size_t> packets;  // sizes of the packets queued on the IN side
};

TEST(Loopback, EchoesPacketByPacketWithTheZeroLengthTerminatorAsConfigured)
{
    const std::vector<EchoCase> cases = {
        {0, true, {0}},         {1, true, {1}},          {63, true, {63}},         {64, true, {64, 0}},
        {64, false, {64}},      {65, true, {64, 1}},     {128, true, {64, 64, 0}}, {128, false, {64, 64}},
        {200, false, {64, 64, 64, 8}},
    };
    for (const auto& c : cases) {
        EndpointState out = MakeEndpoint(0x01, 64, EndpointBehaviour::Loopback);
        out.role.zeroLengthTerminator = c.zeroLengthTerminator;
        EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Loopback);
        auto data = Bytes(c.length);
        TransferData transfer{data.data(), static_cast<uint32_t>(c.length), 0, false, std::nullopt};
        const StepResult step = Advance(out, &in, transfer, false);
        EXPECT_TRUE(step.done);
        EXPECT_EQ(transfer.moved, c.length);
        std::vector<size_t> sizes;
        std::vector<uint8_t> echoed;
        for (const auto& packet : in.packets) {
            sizes.push_back(packet.size());
            echoed.insert(echoed.end(), packet.begin(), packet.end());
        }
        EXPECT_EQ(sizes, c.packets) << "length " << c.length << " zlp " << c.zeroLengthTerminator;
        EXPECT_EQ(echoed, data);
        EXPECT_EQ(out.received, data);
    }
}

TEST(Loopback, RepacketizesForASmallerInEndpoint)
{
    EndpointState out = MakeEndpoint(0x01, 512, EndpointBehaviour::Loopback);
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Loopback);
    auto data = Bytes(600);
    TransferData transfer{data.data(), 600, 0, false, std::nullopt};
    ASSERT_TRUE(Advance(out, &in, transfer, false).done);
    std::vector<size_t> sizes;
    for (const auto& packet : in.packets) {
        sizes.push_back(packet.size());
    }
    // wire packets 512 + 88, each split into 64-byte packets
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 64, 64, 64, 64, 64, 64, 64, 24}));
}

TEST(SilentEndpoint, NeverMovesDataOnItsOwn)
{
    for (uint8_t address : {uint8_t{0x01}, uint8_t{0x81}}) {
        EndpointState endpoint = MakeEndpoint(address, 64, EndpointBehaviour::Silent);
        std::vector<uint8_t> buffer(64);
        TransferData transfer{buffer.data(), 64, 0, false, std::nullopt};
        EXPECT_FALSE(Advance(endpoint, nullptr, transfer, false).done) << int(address);
        EXPECT_EQ(transfer.moved, 0u);
    }
}

TEST(Faults, HitTheNthSubmittedTransferOnly)
{
    EndpointState out = MakeEndpoint(0x01, 64, EndpointBehaviour::Sink);
    out.faults.push_back({Fault::Kind::Fail, 3, static_cast<uint32_t>(USBD_STATUS_CRC)});
    std::vector<USBD_STATUS> statuses;
    for (int i = 0; i < 4; ++i) {
        auto data = Bytes(8);
        TransferData transfer{data.data(), 8, 0, false, out.CountSubmission()};
        statuses.push_back(Advance(out, nullptr, transfer, false).status);
    }
    EXPECT_EQ(statuses, (std::vector<USBD_STATUS>{USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS, USBD_STATUS_CRC,
                                                  USBD_STATUS_SUCCESS}));
    EXPECT_FALSE(out.halted);
    EXPECT_EQ(out.received.size(), 24u);
}

TEST(Faults, StallHaltsTheEndpointUntilTheHaltIsCleared)
{
    EndpointState out = MakeEndpoint(0x01, 64, EndpointBehaviour::Sink);
    out.faults.push_back({Fault::Kind::Stall, 1, 0});
    auto data = Bytes(8);
    TransferData first{data.data(), 8, 0, false, out.CountSubmission()};
    EXPECT_EQ(Advance(out, nullptr, first, false).status, USBD_STATUS_STALL_PID);
    TransferData second{data.data(), 8, 0, false, out.CountSubmission()};
    EXPECT_EQ(Advance(out, nullptr, second, false).status, USBD_STATUS_ENDPOINT_HALTED);
    out.halted = false;
    TransferData third{data.data(), 8, 0, false, out.CountSubmission()};
    EXPECT_EQ(Advance(out, nullptr, third, false).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(out.received.size(), 8u);
}

TEST(Faults, ShortInTransferKeepsTheRestOfThePacketForTheNextTransfer)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(64);
    QueueInPackets(in, data.data(), data.size(), false);
    in.faults.push_back({Fault::Kind::Short, 1, 10});
    std::vector<uint8_t> buffer(64);
    TransferData first{buffer.data(), 64, 0, true, in.CountSubmission()};
    StepResult step = Advance(in, nullptr, first, false);
    EXPECT_TRUE(step.done);
    EXPECT_EQ(step.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(first.moved, 10u);
    TransferData second{buffer.data() + 10, 54, 0, true, in.CountSubmission()};
    step = Advance(in, nullptr, second, false);
    EXPECT_TRUE(step.done);
    EXPECT_EQ(second.moved, 54u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
}

TEST(Faults, ShortOutTransferAcceptsOnlyTheGivenBytes)
{
    EndpointState out = MakeEndpoint(0x01, 64, EndpointBehaviour::Sink);
    out.faults.push_back({Fault::Kind::Short, 1, 5});
    auto data = Bytes(40);
    TransferData transfer{data.data(), 40, 0, false, out.CountSubmission()};
    EXPECT_EQ(Advance(out, nullptr, transfer, false).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(transfer.moved, 5u);
    EXPECT_EQ(out.received, std::vector<uint8_t>(data.begin(), data.begin() + 5));
}

TEST(TakeInBytes, SplitsAPacketAndStopsAfterAShortOne)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(200);
    QueueInPackets(in, data.data(), data.size(), false);  // 64 + 64 + 64 + 8
    std::vector<uint8_t> out(200);
    EXPECT_EQ(TakeInBytes(in, out.data(), 100), 100u);  // 64 + 36 of the second
    // the rest of a split packet goes out later as a (short) packet of its own
    EXPECT_EQ(TakeInBytes(in, out.data() + 100, 200), 28u);
    EXPECT_EQ(TakeInBytes(in, out.data() + 128, 200), 72u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    EXPECT_EQ(TakeInBytes(in, out.data(), 10), 0u);
}

}  // namespace
}  // namespace emu::usb
