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
    TransferData transfer{buffer.data(), c.requested, 0, c.shortOk, std::nullopt};
    const StepResult step = Advance(in, nullptr, transfer, c.shortIsError);
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
               true, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A transfer left open keeps what it moved; more data completes it later.
TEST(InTransfer, PartialProgressSurvivesAWaitAndCompletesLater)
{
    EndpointState in = MakeEndpoint(0x81, 64, EndpointBehaviour::Silent);
    const auto data = Bytes(200);
    std::vector<uint8_t> buffer(256);
    TransferData transfer{buffer.data(), 256, 0, true, std::nullopt};
    QueueInPackets(in, data.data(), 128, false);
    EXPECT_FALSE(Advance(in, nullptr, transfer, false).done);
    QueueInPackets(in, data.data() + 128, 72, false);
    EXPECT_TRUE(Advance(in, nullptr, transfer, false).done);
    EXPECT_EQ(transfer.moved, 200u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
}

// Faults planned for the nth submitted transfer (what tests and the stress
// lives plan), or told to an endpoint (a device file's fault lines, the
// session's fault command) in order; then 8-byte OUT transfers one after
// another: how each ends, how many bytes it moved, and how many the device
// took in all. Each told kind alone, and the marks at a transfer's end, are
// driven through the bus (bus_transfer_test.cpp); here, the nth transfer
// only, and a clear ending what was told before it.
struct MisbehaviourCase {
    const char* name;
    std::vector<Fault> planned;
    std::vector<EndpointFault> told;
    std::vector<std::tuple<bool, USBD_STATUS, uint32_t>> sends;  // done, status, moved
    size_t received;
    bool leaving = false;
};

class Misbehaviour : public ::testing::TestWithParam<MisbehaviourCase> {};

TEST_P(Misbehaviour, ShapesEachTransferAsTold)
{
    EndpointState out = MakeEndpoint(0x01, 64, EndpointBehaviour::Sink);
    out.faults = GetParam().planned;
    for (const auto& fault : GetParam().told) {
        ApplyFault(out, fault, std::chrono::steady_clock::now());
    }
    int n = 0;
    for (const auto& [done, status, moved] : GetParam().sends) {
        SCOPED_TRACE("transfer " + std::to_string(++n));
        auto data = Bytes(8);
        TransferData transfer{data.data(), 8, 0, false, out.CountSubmission()};
        const StepResult step = Advance(out, nullptr, transfer, false);
        EXPECT_EQ(std::tuple(step.done, step.done ? step.status : USBD_STATUS_PENDING, transfer.moved),
                  std::tuple(done, status, moved));
    }
    EXPECT_EQ(std::tuple(out.received.size(), out.leaving), std::tuple(GetParam().received, GetParam().leaving));
}

using K = EndpointFault::Kind;
constexpr auto kOk = USBD_STATUS_SUCCESS;
INSTANTIATE_TEST_SUITE_P(
    Kinds, Misbehaviour,
    ::testing::Values(
        MisbehaviourCase{"PlannedHitTheNthOnly",
                         {{Fault::Kind::Fail, 2, static_cast<uint32_t>(USBD_STATUS_CRC)}, {Fault::Kind::Short, 3, 5}, {Fault::Kind::Stall, 4, 0}},
                         {},
                         {{true, kOk, 8}, {true, USBD_STATUS_CRC, 0}, {true, kOk, 5}, {true, USBD_STATUS_STALL_PID, 0},
                          {true, USBD_STATUS_ENDPOINT_HALTED, 0}},
                         8 + 5},
        MisbehaviourCase{"ClearEndsSilenceAndAStallToCome", {}, {{K::Silent}, {K::Stall, 0}, {K::Clear}},
                         {{true, kOk, 8}, {true, kOk, 8}}, 16}),
    [](const auto& info) { return std::string(info.param.name); });

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
