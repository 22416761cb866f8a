#include "tools/stress/stream_audit.h"

#include "control/control_codes.h"

#include <algorithm>

namespace lives {
namespace {

using namespace std::chrono_literals;

constexpr ULONG DrainPiece = 8192;
constexpr int DrainAttempts = 6;
constexpr auto DeliveryLimit = 5s;   // bytes the device holds arrive long before this
constexpr auto NothingMore = 20ms;   // a read of a byte nobody sent stays pending this long

// The position of the first byte where `read` and `sent` differ, or
// read.size() when `read` is the start of `sent`.
size_t FirstDifference(const std::vector<uint8_t>& read, const std::vector<uint8_t>& sent)
{
    const size_t common = std::min(read.size(), sent.size());
    return static_cast<size_t>(std::mismatch(read.begin(), read.begin() + static_cast<ptrdiff_t>(common), sent.begin()).first -
                               read.begin());
}

// Reads the `missing` bytes the reader has not had yet and compares them
// with `sent` from `from`; a failed read (a fault still armed) is retried
// after resetting the pipe and the port.
void Drain(LifeContext& life, emu::Handle handle, const std::vector<uint8_t>& sent, size_t from)
{
    emu::App& app = life.machine.app();
    size_t position = from;
    int failures = 0;
    while (position < sent.size()) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(DrainPiece, sent.size() - position));
        auto io = app.ReadAsync(handle, piece);
        if (!io->WaitFor(DeliveryLimit)) {
            io->Cancel();
            io->WaitFor(DeliveryLimit);
            life.Problem(std::to_string(sent.size() - position) + " of the bytes the device echoed never reached a reader");
            return;
        }
        const emu::IoResult result = io->Result();
        if (!NT_SUCCESS(result.status)) {
            if (++failures == DrainAttempts) {
                return;  // faults still armed: nothing more can be said
            }
            app.DeviceIoControl(handle, IOCTL_PIPE_RESET, nullptr, 0, nullptr, 0);
            app.DeviceIoControl(handle, IOCTL_PORT_RESET, nullptr, 0, nullptr, 0);
            continue;
        }
        const std::vector<uint8_t> data = io->Data();
        const std::vector<uint8_t> expected(sent.begin() + static_cast<ptrdiff_t>(position),
                                            sent.begin() + static_cast<ptrdiff_t>(position + piece));
        if (data != expected) {
            life.Problem("bytes " + std::to_string(position) + ".." + std::to_string(position + piece) +
                         " of the echoed stream came back different (first difference at " +
                         std::to_string(position + FirstDifference(data, expected)) + ")");
            return;
        }
        position += piece;
    }
    auto extra = app.ReadAsync(handle, 1);
    if (extra->WaitFor(NothingMore)) {
        if (NT_SUCCESS(extra->Result().status)) {
            life.Problem("a byte nobody wrote was read after the whole stream");
        }
        return;
    }
    extra->Cancel();
    if (!extra->WaitFor(DeliveryLimit)) {
        life.Problem("a cancelled read never completed");
    }
}

}  // namespace

void AuditStream(LifeContext& life, emu::usb::UsbDevice& device)
{
    const std::vector<uint8_t> sent = device.ReceivedOut(life.pipes.pipes[static_cast<size_t>(life.pipes.loopbackOut)].address);
    std::lock_guard lock(life.streamMutex);
    if (!WritesArrivedInOrder(life.writes, sent)) {
        life.Problem("the device did not receive the writer's " + std::to_string(life.writes.size()) +
                     " writes in order, whole where they succeeded");
        return;
    }
    const size_t agreed = FirstDifference(life.read, sent);
    if (agreed != life.read.size()) {
        life.Problem("the reader's byte " + std::to_string(agreed) + " is not the byte the device echoed there (" +
                     std::to_string(life.read.size()) + " read, " + std::to_string(sent.size()) + " sent)");
        return;
    }
    emu::Handle handle = 0;
    if (!NT_SUCCESS(OpenPipe(life.machine.app(), life.pipes.loopbackIn, &handle))) {
        life.Problem("the loopback IN pipe could not be opened on the started device");
        return;
    }
    Drain(life, handle, sent, life.read.size());
    life.machine.app().Close(handle);
    life.read = sent;  // everything is accounted for up to here
}

}  // namespace lives
