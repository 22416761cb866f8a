// Bulk writes: chunks of at most 768 bytes straight from the caller's
// buffer, the checks in their order, and the resets after a failed send.
#include "tests/io/io_fixture.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/usb_api.h"

namespace io_test {
namespace {

class Writes : public IoFixture {
protected:
    emu::usb::DeviceModel Model() override { return QuietModel(); }

    void SetUp() override
    {
        IoFixture::SetUp();
        out_ = Open(u"\\PIPE0");  // bulk OUT 0x01, a sink
    }

    emu::Handle out_ = 0;
};

TEST_F(Writes, GoToTheBusInChunksOf768)
{
    const struct {
        ULONG length;
        size_t whole;   // chunks of 768
        uint32_t last;  // the short last chunk, if any
    } cases[] = {{1, 0, 1}, {768, 1, 0}, {769, 1, 1}, {1600, 2, 64}, {65536, 85, 256}};
    uint32_t seed = 0;
    // A bus that completes each chunk inside IofCallDriver (as a filter or a
    // virtual host controller may) must not nest one completion per chunk.
    for (const auto mode : {emu::usb::CompletionMode::BusThread, emu::usb::CompletionMode::Synchronous})
    for (const auto& [length, whole, last] : cases) {
        device().SetCompletionMode(mode);
        std::vector<uint32_t> chunks(whole, 768);
        if (last != 0) {
            chunks.push_back(last);
        }
        SCOPED_TRACE("length " + std::to_string(length) +
                     (mode == emu::usb::CompletionMode::Synchronous ? " on a synchronous bus" : ""));
        const size_t urbsBefore = BulkUrbs(0x01).size();
        const size_t bytesBefore = device().ReceivedOut(0x01).size();
        const auto data = Pattern(length, ++seed);

        const auto result = app().Write(out_, data.data(), length);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, length);
        const auto urbs = BulkUrbs(0x01);
        std::vector<uint32_t> sent;
        for (size_t i = urbsBefore; i < urbs.size(); ++i) {
            sent.push_back(urbs[i].requestedLength);
        }
        EXPECT_EQ(sent, chunks);

        const auto received = device().ReceivedOut(0x01);
        ASSERT_EQ(received.size(), bytesBefore + length);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), received.begin() + bytesBefore)) << "bytes changed on the way";
        EXPECT_EQ(IoRefCount(), 1);
    }
}

// Only a first send that fails at once, for a reason other than
// cancellation or a device that is gone, is followed by a pipe reset; only a
// pipe reset that fails is followed by a port reset, and that only for a
// port that is connected but not enabled. A failed send ends the write: no
// chunk goes out after it.
TEST_F(Writes, FirstSendFailingAtOnceResetsThePipeThenThePort)
{
    const struct {
        const char* what;
        emu::usb::CompletionMode mode;
        uint64_t failingSend;
        USBD_STATUS usbdStatus;
        bool pipeResetFails;
        uint64_t pipeResets;
        uint64_t portResets;
    } cases[] = {
        {"at once, stall", emu::usb::CompletionMode::Synchronous, 1, USBD_STATUS_STALL_PID, false, 1, 0},
        {"at once, not responding", emu::usb::CompletionMode::Synchronous, 1, USBD_STATUS_DEV_NOT_RESPONDING, false, 1, 0},
        {"at once, pipe reset failing", emu::usb::CompletionMode::Synchronous, 1, USBD_STATUS_DEV_NOT_RESPONDING, true, 0, 1},
        {"at once, cancelled", emu::usb::CompletionMode::Synchronous, 1, USBD_STATUS_CANCELED, false, 0, 0},
        {"at once, device gone", emu::usb::CompletionMode::Synchronous, 1, USBD_STATUS_DEVICE_GONE, false, 0, 0},
        {"later", emu::usb::CompletionMode::BusThread, 1, USBD_STATUS_DEV_NOT_RESPONDING, false, 0, 0},
        {"second chunk, later", emu::usb::CompletionMode::BusThread, 2, USBD_STATUS_DEV_NOT_RESPONDING, false, 0, 0},
    };
    const auto data = Pattern(1600, 4);  // three chunks
    uint64_t callsOfAResetWrite = 0;  // failable kernel calls of a write whose send fails and whose pipe reset works
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        device().SetCompletionMode(c.mode);
        if (c.pipeResetFails) {
            // A disabled port fails the transfer at once. The last failable
            // call of a write with a reset builds the pipe reset's request.
            ASSERT_GT(callsOfAResetWrite, 0u);
            device().SetPortEnabled(false);
            emu::faults::FailNthCall(callsOfAResetWrite);
        } else {
            device().FailTransfer(0x01, c.failingSend, static_cast<uint32_t>(c.usbdStatus));
        }
        const uint64_t calls = emu::faults::FailableCalls();
        const uint64_t pipeResets = device().PipeResets();
        const uint64_t portResets = device().PortResets();
        const size_t urbs = BulkUrbs(0x01).size();

        const auto result = app().Write(out_, data.data(), 1600);
        if (c.pipeResets == 1) {
            callsOfAResetWrite = emu::faults::FailableCalls() - calls;
        }
        emu::faults::Clear();

        EXPECT_FALSE(NT_SUCCESS(result.status));
        const auto sent = BulkUrbs(0x01);
        if (!c.pipeResetFails) {
            ASSERT_EQ(sent.size(), urbs + c.failingSend);
            EXPECT_EQ(result.status, sent.back().status) << "the request's status is the bus driver's";
        }
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(device().PipeResets() - pipeResets, c.pipeResets);
        EXPECT_EQ(device().PortResets() - portResets, c.portResets);
        EXPECT_EQ(IoRefCount(), 1);
        device().SetPortEnabled(true);
    }
}

// Each refusal ends the request at once with Information 0, takes no
// reference and sends nothing; each case also breaks the checks that come
// after its own, so the status shows which check came first. (A buffer the
// system cannot map is among the failures of `pondrel-sim sweep`'s write.)
TEST_F(Writes, RefusalsComeInTheirCheckOrder)
{
    const emu::Handle deviceHandle = Open(u"");
    const emu::Handle interruptPipe = Open(u"\\PIPE2");
    std::vector<uint8_t> big(65537);
    const size_t urbs = device().Urbs().size();

    const auto expectRefused = [&](const char* what, emu::IoResult result, NTSTATUS status) {
        SCOPED_TRACE(what);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(device().Urbs().size(), urbs) << "something was sent";
        EXPECT_EQ(IoRefCount(), 1);
    };

    emu::pool::FailAllocationsWithTag(PondrelPoolTag);
    expectRefused("device handle, too long", app().Write(deviceHandle, big.data(), 65537), STATUS_INVALID_HANDLE);
    expectRefused("interrupt pipe, too long", app().Write(interruptPipe, big.data(), 65537), STATUS_INVALID_HANDLE);
    const auto noMdl = [](PIO_STACK_LOCATION location) { location->Parameters.Write.Length = 10; };
    expectRefused("no MDL", SendRaw(IRP_MJ_WRITE, app().FileObjectOf(out_), noMdl), STATUS_UNSUCCESSFUL);
    expectRefused("too long, no pool", app().Write(out_, big.data(), 65537), STATUS_INVALID_PARAMETER);
    expectRefused("length 0, no pool", app().Write(out_, big.data(), 0), STATUS_SUCCESS);
    expectRefused("no pool for the context", app().Write(out_, big.data(), 65536), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::ClearFaults();


    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    expectRefused("stop pending, device handle, too long", app().Write(deviceHandle, big.data(), 65537),
                  STATUS_INVALID_DEVICE_STATE);
    expectRefused("stop pending", app().Write(out_, big.data(), 10), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace io_test
