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
// asking for `requested` bytes; by default with USBD_SHORT_TRANSFER_OK and
// without the old controllers' policy that a short transfer is an error.
struct InCase {
    const char* name;
    size_t queued;
    uint32_t requested;
    bool zeroLengthAfter;  // a zero-length packet follows the queued data
    bool done;
    uint32_t moved;
    USBD_STATUS status;
    bool halted = false;
    bool shortOk = true;
    bool shortIsError = false;
    size_t queuedLater = 0;  // queued after a first step left the transfer waiting
};

class InTransfer : public ::testing::TestWithParam<InCase> {};

TEST_P(InTransfer, EndsWhereThePacketRulesSay)
{
    const InCase& c = GetParam();
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(c.queued + c.queuedLater);
    if (c.queued != 0) {
        QueueInPackets(in, data.data(), c.queued, c.zeroLengthAfter);
    } else if (c.zeroLengthAfter) {
        QueueInPackets(in, nullptr, 0, false);
    }
    std::vector<uint8_t> buffer(c.requested + 16, 0xEE);
    TransferData transfer{buffer.data(), c.requested, 0, c.shortOk, std::nullopt};
    StepResult step = Advance(in, nullptr, transfer, c.shortIsError);
    if (c.queuedLater != 0) {
        EXPECT_FALSE(step.done);
        QueueInPackets(in, data.data() + c.queued, c.queuedLater, false);
        step = Advance(in, nullptr, transfer, c.shortIsError);
    }
    EXPECT_EQ(step.done, c.done);
    EXPECT_EQ(transfer.moved, c.moved);
    EXPECT_EQ(std::tuple(step.done ? step.status : USBD_STATUS_PENDING, in.halted), std::tuple(c.status, c.halted));
    std::vector<uint8_t> expected(data.begin(), data.begin() + transfer.moved);
    expected.resize(buffer.size(), 0xEE);
    EXPECT_EQ(buffer, expected) << "the bytes moved, and nothing written past them";
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
        InCase{"BabbleOnPacketLargerThanRoom", 64, 40, false, true, 40, USBD_STATUS_BABBLE_DETECTED, true},
        InCase{"BabbleAfterFullPackets", 192, 150, false, true, 150, USBD_STATUS_BABBLE_DETECTED, true},
        InCase{"ShortWithoutTheFlag", 10, 64, false, true, 10, USBD_STATUS_SUCCESS, false, false},
        InCase{"ShortUnderTheOldPolicyWithTheFlag", 10, 64, false, true, 10, USBD_STATUS_SUCCESS, false, true, true},
        InCase{"ShortUnderTheOldPolicyWithoutTheFlagHalts", 10, 64, false, true, 10, USBD_STATUS_ERROR_SHORT_TRANSFER,
               true, false, true},
        InCase{"PartialProgressSurvivesAWait", 128, 256, false, true, 200, USBD_STATUS_SUCCESS, false, true, false, 72}),
    [](const auto& info) { return std::string(info.param.name); });

// A silent endpoint neither takes OUT bytes nor sends IN bytes on its own.
TEST(SilentEndpoint, NeverMovesDataOnItsOwn)
{
    for (uint8_t address : {uint8_t{0x01}, uint8_t{0x81}}) {
        EndpointState endpoint = MakeEndpoint(address, 64, EndpointBehaviour::Silent);
        std::vector<uint8_t> buffer(64);
        TransferData transfer{buffer.data(), 64, 0, false, std::nullopt};
        EXPECT_FALSE(Advance(endpoint, nullptr, transfer, false).done) << int(address);
        EXPECT_EQ(std::tuple(transfer.moved, endpoint.received.size()), std::tuple(0u, size_t{0})) << int(address);
    }
}

// OUT transfer lengths echoed through a loopback pair: the IN side (packets
// of 64) sees the same bytes, in packets of its own size cut from each wire
// packet of the OUT side.
struct EchoCase {
    size_t length;
    bool zeroLengthTerminator;
    std::vector<size_t> packets;  // sizes of the packets queued on the IN side
    uint16_t outPacket = 64;
};

TEST(Loopback, EchoesPacketByPacketWithTheZeroLengthTerminatorAsConfigured)
{
    const std::vector<EchoCase> cases = {
        {0, true, {0}},         {1, true, {1}},          {63, true, {63}},         {64, true, {64, 0}},
        {64, false, {64}},      {65, true, {64, 1}},     {128, true, {64, 64, 0}}, {128, false, {64, 64}},
        {200, false, {64, 64, 64, 8}},
        {600, true, {64, 64, 64, 64, 64, 64, 64, 64, 64, 24}, 512},  // wire packets 512 + 88
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + " zlp " + std::to_string(c.zeroLengthTerminator));
        EndpointState out = MakeEndpoint(0x01, c.outPacket, EndpointBehaviour::Loopback);
        out.role.zeroLengthTerminator = c.zeroLengthTerminator;
        EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Loopback);
        auto data = Bytes(c.length);
        TransferData transfer{data.data(), static_cast<uint32_t>(c.length), 0, false, std::nullopt};
        EXPECT_TRUE(Advance(out, &in, transfer, false).done);
        EXPECT_EQ(transfer.moved, c.length);
        std::vector<size_t> sizes;
        std::vector<uint8_t> echoed;
        for (const auto& packet : in.packets) {
            sizes.push_back(packet.size());
            echoed.insert(echoed.end(), packet.begin(), packet.end());
        }
        EXPECT_EQ(sizes, c.packets);
        EXPECT_EQ(echoed, data);
        EXPECT_EQ(out.received, data);
    }
}

TEST(Faults, ShortInTransferKeepsTheRestOfThePacketForTheNextTransfer)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(64);
    QueueInPackets(in, data.data(), data.size(), false);
    in.faults.push_back({Fault::Kind::Short, 1, 10});
    std::vector<uint8_t> buffer(64);
    for (uint32_t at : {0u, 10u}) {
        TransferData part{buffer.data() + at, 64 - at, 0, true, in.CountSubmission()};
        EXPECT_EQ(Advance(in, nullptr, part, false).status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(part.moved, at == 0 ? 10u : 54u);
    }
    EXPECT_EQ(buffer, data);
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
    EXPECT_EQ(out, data);
    EXPECT_EQ(TakeInBytes(in, out.data(), 10), 0u);
}

}  // namespace
}  // namespace emu::usb
