#include "tests/low_resources/scenarios.h"

#include "control/control_codes.h"
#include "driver/device_context.h"
#include "driver/entry_points.h"

#include <gtest/gtest.h>

namespace low_resources {
namespace {

constexpr ULONG TransferLength = 1000;  // one full write chunk and a part: two bus transfers
constexpr ULONG ConfigurationBytes = 9 + 9 + 5 * 7;
constexpr uint8_t OutEndpoint = 0x01;  // pipe 0

// A started driver with a write handle on pipe 0 and a read handle on its
// loopback partner, pipe 1. Returns false (with a test failure) otherwise.
bool StartWithLoopback(Run& run, emu::Handle* out, emu::Handle* in)
{
    const NTSTATUS started = run.machine().BringUp(DriverEntry);
    EXPECT_EQ(started, STATUS_SUCCESS) << "bring-up outside the measured part";
    if (started != STATUS_SUCCESS) {
        return false;
    }
    EXPECT_EQ(run.Open(u"\\PIPE0", out), STATUS_SUCCESS);
    EXPECT_EQ(run.Open(u"\\PIPE1", in), STATUS_SUCCESS);
    return *out != 0 && *in != 0;
}

void ExpectReadBack(Run& run, emu::Handle in, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> buffer(expected.size());
    const emu::IoResult read = run.machine().app().Read(in, buffer.data(), static_cast<ULONG>(buffer.size()));
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, expected.size());
    EXPECT_EQ(buffer, expected) << "bytes written were not read back intact";
}

NTSTATUS Control(Run& run, std::u16string_view name, ULONG code, ULONG outLength)
{
    if (run.machine().BringUp(DriverEntry) != STATUS_SUCCESS) {
        ADD_FAILURE() << "bring-up outside the measured part";
        return STATUS_UNSUCCESSFUL;
    }
    emu::Handle handle = 0;
    EXPECT_EQ(run.Open(name, &handle), STATUS_SUCCESS);
    std::vector<uint8_t> out(outLength);
    run.Arm();
    const emu::IoResult result =
        run.machine().app().DeviceIoControl(handle, code, nullptr, 0, out.empty() ? nullptr : out.data(), outLength);
    run.Disarm();
    if (!NT_SUCCESS(result.status)) {
        EXPECT_EQ(result.information, 0u) << "a failed control code reported bytes";
    }
    return result.status;
}

}  // namespace

NTSTATUS StartPath(Run& run)
{
    run.Arm();
    NTSTATUS status = run.machine().LoadDriver(DriverEntry);
    if (NT_SUCCESS(status)) {
        status = run.machine().pnp().AddDevice();
    }
    if (NT_SUCCESS(status)) {
        status = run.machine().pnp().Start();
    }
    run.Disarm();
    PDEVICE_OBJECT fdo = run.machine().pnp().FunctionDevice();
    if (fdo != nullptr) {
        EXPECT_EQ(ContextOf(fdo)->PnpState, NT_SUCCESS(status) ? DeviceRunning : DeviceNew)
            << "a failed start must leave the device where it was";
    }
    return status;
}

NTSTATUS WritePath(Run& run)
{
    emu::Handle out = 0;
    emu::Handle in = 0;
    if (!StartWithLoopback(run, &out, &in)) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto data = Pattern(TransferLength, 1);
    run.Arm();
    const emu::IoResult write = run.machine().app().Write(out, data.data(), TransferLength);
    run.Disarm();
    if (write.status == STATUS_SUCCESS) {
        EXPECT_EQ(write.information, TransferLength);
    } else {
        // Both calls come before the first bus transfer: nothing was sent,
        // and the same write succeeds once resources are back.
        EXPECT_EQ(write.information, 0u) << "a failed write reported bytes";
        EXPECT_EQ(run.machine().app().Write(out, data.data(), TransferLength).status, STATUS_SUCCESS);
    }
    ExpectReadBack(run, in, data);
    return write.status;
}

NTSTATUS ReadPath(Run& run)
{
    emu::Handle out = 0;
    emu::Handle in = 0;
    if (!StartWithLoopback(run, &out, &in)) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto data = Pattern(TransferLength, 2);
    EXPECT_EQ(run.machine().app().Write(out, data.data(), TransferLength).status, STATUS_SUCCESS);
    std::vector<uint8_t> buffer(TransferLength);
    run.Arm();
    const emu::IoResult read = run.machine().app().Read(in, buffer.data(), TransferLength);
    run.Disarm();
    if (read.status == STATUS_SUCCESS) {
        EXPECT_EQ(read.information, TransferLength);
        EXPECT_EQ(buffer, data) << "bytes read differ from those written";
    } else {
        // The failure came before any bus read: no byte was taken, so the
        // next read gets all of them.
        EXPECT_EQ(read.information, 0u) << "a failed read reported bytes";
        ExpectReadBack(run, in, data);
    }
    return read.status;
}

NTSTATUS FailedWritePath(Run& run)
{
    emu::Handle out = 0;
    emu::Handle in = 0;
    if (!StartWithLoopback(run, &out, &in)) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto data = Pattern(TransferLength, 3);
    // Only a send the bus fails at once is followed by a pipe reset.
    run.machine().Device().SetCompletionMode(emu::usb::CompletionMode::Synchronous);
    run.machine().Device().FailTransfer(OutEndpoint, 1, USBD_STATUS_XACT_ERROR);
    run.Arm();
    const emu::IoResult write = run.machine().app().Write(out, data.data(), TransferLength);
    run.Disarm();
    EXPECT_EQ(write.information, 0u) << "a failed write reported bytes";
    if (write.status == STATUS_INSUFFICIENT_RESOURCES) {
        // Failed before the bus: the device's fault is still waiting for a transfer.
        EXPECT_EQ(run.machine().app().Write(out, data.data(), TransferLength).status, STATUS_UNSUCCESSFUL);
    }
    // Whether or not the reset after the failure could be sent, the pipe works again.
    EXPECT_EQ(run.machine().app().Write(out, data.data(), TransferLength).status, STATUS_SUCCESS);
    ExpectReadBack(run, in, data);
    return write.status;
}

NTSTATUS FetchConfiguration(Run& run)
{
    return Control(run, u"", IOCTL_FETCH_CONFIGURATION, ConfigurationBytes);
}

NTSTATUS PortReset(Run& run)
{
    return Control(run, u"", IOCTL_PORT_RESET, 0);
}

NTSTATUS PipeReset(Run& run)
{
    return Control(run, u"\\PIPE0", IOCTL_PIPE_RESET, 0);
}

NTSTATUS SleepPath(Run& run)
{
    if (run.machine().BringUp(DriverEntry) != STATUS_SUCCESS) {
        ADD_FAILURE() << "bring-up outside the measured part";
        return STATUS_UNSUCCESSFUL;
    }
    run.Arm();
    const NTSTATUS status = run.machine().power().Sleep(PowerSystemSleeping3);
    run.Disarm();
    return status;
}

NTSTATUS ResumePath(Run& run)
{
    if (run.machine().BringUp(DriverEntry) != STATUS_SUCCESS) {
        ADD_FAILURE() << "bring-up outside the measured part";
        return STATUS_UNSUCCESSFUL;
    }
    EXPECT_EQ(run.machine().power().Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    run.Arm();
    const NTSTATUS status = run.machine().power().Resume();
    run.Disarm();
    return status;
}

}  // namespace low_resources
