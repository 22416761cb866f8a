#include "tools/sweep/scenarios.h"

#include "tools/stress/request_rules.h"

#include "control/control_codes.h"
#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/loader/driver_image.h"
#include "tools/stress/request_rules.h"

#include <cstdio>

namespace low_resources {
namespace {

constexpr ULONG TransferLength = 1000;  // one full write chunk and a part: two bus transfers

// Brings the driver up outside the measured part.
bool BringUp(Run& run)
{
    const NTSTATUS started = run.machine().BringUp(emu::loader::DriverEntryFor(DriverEntry));
    run.Expect(started == STATUS_SUCCESS, "bring-up outside the measured part ended with " + lives::StatusName(started));
    return started == STATUS_SUCCESS;
}

// A started driver with a write handle on the loopback OUT pipe and a read
// handle on its partner.
bool StartWithLoopback(Run& run, emu::Handle* out, emu::Handle* in)
{
    if (!BringUp(run)) {
        return false;
    }
    run.Expect(run.Open(run.pipes().loopbackOut, out) == STATUS_SUCCESS, "the loopback OUT pipe did not open");
    run.Expect(run.Open(run.pipes().loopbackIn, in) == STATUS_SUCCESS, "the loopback IN pipe did not open");
    return *out != 0 && *in != 0;
}

void ExpectReadBack(Run& run, emu::Handle in, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> buffer(expected.size());
    const emu::IoResult read = run.machine().app().Read(in, buffer.data(), static_cast<ULONG>(buffer.size()));
    run.Expect(read.status == STATUS_SUCCESS && read.information == expected.size() && buffer == expected,
               "bytes written were not read back intact (read ended with " + lives::StatusName(read.status) + ")");
}

NTSTATUS Write(Run& run, emu::Handle out, const std::vector<uint8_t>& data)
{
    return run.machine().app().Write(out, data.data(), static_cast<ULONG>(data.size())).status;
}

NTSTATUS Control(Run& run, int pipe, ULONG code, ULONG outLength)
{
    if (!BringUp(run)) {
        return STATUS_UNSUCCESSFUL;
    }
    emu::Handle handle = 0;
    run.Expect(run.Open(pipe, &handle) == STATUS_SUCCESS, "the handle for the control code did not open");
    std::vector<uint8_t> out(outLength);
    run.Arm();
    const emu::IoResult result =
        run.machine().app().DeviceIoControl(handle, code, nullptr, 0, out.empty() ? nullptr : out.data(), outLength);
    run.Disarm();
    run.Expect(NT_SUCCESS(result.status) || result.information == 0, "a failed control code reported bytes");
    return result.status;
}

}  // namespace

NTSTATUS StartPath(Run& run)
{
    run.Arm();
    NTSTATUS status = run.machine().LoadDriver(emu::loader::DriverEntryFor(DriverEntry));
    if (NT_SUCCESS(status)) {
        status = run.machine().pnp().AddDevice();
    }
    if (NT_SUCCESS(status)) {
        status = run.machine().pnp().Start();
    }
    run.Disarm();
    PDEVICE_OBJECT fdo = run.machine().pnp().FunctionDevice();
    if (fdo != nullptr) {
        run.Expect(ContextOf(fdo)->PnpState == (NT_SUCCESS(status) ? DeviceRunning : DeviceNew),
                   "a failed start must leave the device where it was");
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
        run.Expect(write.information == TransferLength, "a successful write reported a part");
    } else {
        // Both calls come before the first bus transfer: nothing was sent,
        // and the same write succeeds once resources are back.
        run.Expect(write.information == 0, "a failed write reported bytes");
        run.Expect(Write(run, out, data) == STATUS_SUCCESS, "the write failed again with resources back");
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
    run.Expect(Write(run, out, data) == STATUS_SUCCESS, "the write before the read failed");
    std::vector<uint8_t> buffer(TransferLength);
    run.Arm();
    const emu::IoResult read = run.machine().app().Read(in, buffer.data(), TransferLength);
    run.Disarm();
    if (read.status == STATUS_SUCCESS) {
        run.Expect(read.information == TransferLength && buffer == data, "bytes read differ from those written");
    } else {
        // The failure came before any bus read: no byte was taken, so the
        // next read gets all of them.
        run.Expect(read.information == 0, "a failed read reported bytes");
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
    const uint8_t outEndpoint = run.pipes().pipes[static_cast<size_t>(run.pipes().loopbackOut)].address;
    // Only a send the bus fails at once is followed by a pipe reset.
    run.machine().Device().SetCompletionMode(emu::usb::CompletionMode::Synchronous);
    run.machine().Device().FailTransfer(outEndpoint, 1, USBD_STATUS_XACT_ERROR);
    run.Arm();
    const emu::IoResult write = run.machine().app().Write(out, data.data(), TransferLength);
    run.Disarm();
    run.Expect(write.information == 0, "a failed write reported bytes");
    if (write.status == STATUS_INSUFFICIENT_RESOURCES) {
        // Failed before the bus: the device's fault is still waiting for a transfer.
        run.Expect(Write(run, out, data) == STATUS_UNSUCCESSFUL, "the device's armed failure did not come");
    }
    // Whether or not the reset after the failure could be sent, the pipe works again.
    run.Expect(Write(run, out, data) == STATUS_SUCCESS, "the pipe did not work again after the failure");
    ExpectReadBack(run, in, data);
    return write.status;
}

NTSTATUS FetchConfiguration(Run& run)
{
    return Control(run, lives::DevicePipe, IOCTL_FETCH_CONFIGURATION,
                   static_cast<ULONG>(run.model().configDescriptor.size()));
}

NTSTATUS PortReset(Run& run)
{
    return Control(run, lives::DevicePipe, IOCTL_PORT_RESET, 0);
}

NTSTATUS PipeReset(Run& run)
{
    return Control(run, 0, IOCTL_PIPE_RESET, 0);
}

NTSTATUS SleepPath(Run& run)
{
    if (!BringUp(run)) {
        return STATUS_UNSUCCESSFUL;
    }
    run.Arm();
    const NTSTATUS status = run.machine().power().Sleep(PowerSystemSleeping3);
    run.Disarm();
    return status;
}

NTSTATUS ResumePath(Run& run)
{
    if (!BringUp(run)) {
        return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS slept = run.machine().power().Sleep(PowerSystemSleeping3);
    run.Expect(slept == STATUS_SUCCESS, "the sleep before the resume ended with " + lives::StatusName(slept));
    run.Arm();
    const NTSTATUS status = run.machine().power().Resume();
    run.Disarm();
    return status;
}

}  // namespace low_resources
