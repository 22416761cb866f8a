// Fuzz target: a device whose configuration descriptor is the input, taken
// through its whole life: plug, load, add, start; on a
// successful start the configuration is checked, the device and its pipes
// opened and the descriptor fetched back; then removal (after a failed
// start the PnP manager's own), which unloads the driver. Nothing may leak and the verifier must find nothing.
#include "fuzz/harness/kept_machine.h"
#include "fuzz/harness/targets.h"

#include "control/control_codes.h"
#include "driver/device_context.h"
#include "driver/entry_points.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pondrel_fuzz {
namespace {

constexpr size_t LongestDescriptor = 4096;
constexpr ULONG NamedPipeLimit = 6;

// Statuses a start may fail with when the device's configuration is bad:
// the driver's own checks, and what the bus answers a select request it
// cannot carry out.
bool IsDocumentedStartFailure(NTSTATUS status)
{
    const NTSTATUS documented[] = {STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_CONFIGURATION_ERROR,
                                   STATUS_INSUFFICIENT_RESOURCES, STATUS_INVALID_PARAMETER, STATUS_UNSUCCESSFUL};
    return std::find(std::begin(documented), std::end(documented), status) != std::end(documented);
}

// True when `address` is the bEndpointAddress of an endpoint descriptor in
// the block, walked by bLength.
bool HasEndpoint(const std::vector<uint8_t>& block, UCHAR address)
{
    for (size_t at = 0; at + 2 < block.size() && block[at] >= 2; at += block[at]) {
        if (block[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && block[at + 2] == address)
            return true;
    }
    return false;
}

// What a successful start must have stored: the descriptor as the device
// sent it, the remote-wakeup bit, and a pipe table whose block holds every
// entry it counts, each an endpoint of the descriptor, with every flag clear.
std::string CheckStoredConfiguration(const DeviceContext* context, const std::vector<uint8_t>& input)
{
    const auto* descriptor = reinterpret_cast<const uint8_t*>(context->ConfigDescriptor);
    if (descriptor == nullptr || context->InterfaceInfo == nullptr || context->PipeOpenFlags == nullptr)
        return "a start that succeeded left a configuration block null\n";
    const size_t total = context->ConfigDescriptor->wTotalLength;
    if (total > input.size() || std::memcmp(descriptor, input.data(), total) != 0)
        return "the stored descriptor is not what the device sent\n";
    std::string report;
    if (context->RemoteWakeCapable != ((input[7] & 0x20) != 0 ? 1 : 0))
        report += "RemoteWakeCapable does not follow bmAttributes\n";
    const PUSBD_INTERFACE_INFORMATION info = context->InterfaceInfo;
    const size_t needed = offsetof(USBD_INTERFACE_INFORMATION, Pipes) + info->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION);
    if (info->Length < needed)
        return report + "InterfaceInfo is shorter than its pipe entries\n";
    for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
        if (!HasEndpoint(input, info->Pipes[pipe].EndpointAddress))
            report += "pipe " + std::to_string(pipe) + " is no endpoint of the descriptor\n";
        if (context->PipeOpenFlags[pipe] != 0)
            report += "PipeOpenFlags[" + std::to_string(pipe) + "] is set after the start\n";
    }
    return report;
}

// The device opens, every pipe it has up to index 5 opens by name and the
// others are refused; the descriptor comes back whole.
std::string UseConfiguration(emu::Machine& machine, const DeviceContext* context)
{
    std::string report;
    emu::Handle device = 0;
    NTSTATUS status = machine.app().Open(u"\\\\.\\pondrel", &device);
    if (status != STATUS_SUCCESS)
        return "opening the started device failed with " + StatusText(status) + "\n";
    std::vector<uint8_t> fetched(65536);
    const emu::IoResult result = machine.app().DeviceIoControl(device, IOCTL_FETCH_CONFIGURATION, nullptr, 0,
                                                               fetched.data(), static_cast<ULONG>(fetched.size()));
    const ULONG total = context->ConfigDescriptor->wTotalLength;
    if (result.status != STATUS_SUCCESS || result.information != total ||
        std::memcmp(fetched.data(), context->ConfigDescriptor, total) != 0) {
        report += "fetching the configuration gave " + StatusText(result.status) + " and " +
                  std::to_string(result.information) + " bytes\n";
    }
    machine.app().Close(device);

    for (ULONG pipe = 0; pipe < NamedPipeLimit; ++pipe) {
        emu::Handle handle = 0;
        const std::u16string path = u"\\\\.\\pondrel\\PIPE" + std::u16string(1, static_cast<char16_t>(u'0' + pipe));
        status = machine.app().Open(path, &handle);
        const NTSTATUS expected = pipe < context->InterfaceInfo->NumberOfPipes ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        if (status != expected)
            report += "opening pipe " + std::to_string(pipe) + " gave " + StatusText(status) + "\n";
        if (NT_SUCCESS(status))
            machine.app().Close(handle);
    }
    return report;
}

std::string RunLife(emu::Machine& machine, const std::vector<uint8_t>& input)
{
    NTSTATUS status = machine.LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status))
        return "DriverEntry failed with " + StatusText(status) + "\n";
    status = machine.pnp().AddDevice();
    if (!NT_SUCCESS(status))
        return "AddDevice failed with " + StatusText(status) + "\n";
    std::string report;
    status = machine.pnp().Start();
    if (NT_SUCCESS(status)) {
        const DeviceContext* context = ContextOf(machine.pnp().FunctionDevice());
        report += CheckStoredConfiguration(context, input);
        if (report.empty())
            report += UseConfiguration(machine, context);
    } else if (!IsDocumentedStartFailure(status)) {
        report += "the start failed with an undocumented status " + StatusText(status) + "\n";
    }
    if (!machine.app().WaitUntilAllClosed(std::chrono::seconds(10)))
        report += "file objects were not closed\n";
    if (machine.pnp().Life() == emu::DeviceLife::Started) {
        status = machine.pnp().Remove();
        if (!NT_SUCCESS(status))
            report += "the removal failed with " + StatusText(status) + "\n";
    } else if (machine.pnp().Life() != emu::DeviceLife::Removed) {
        report += "no removal followed the failed start\n";  // the PnP manager sends it by itself
    }
    machine.UnloadDriver();  // nothing when the removal unloaded it already
    return report;
}

}  // namespace

// One machine serves every input: each plugs a new device in place of the
// last one, and the driver is loaded again for it (its removal unloaded it).
std::string CheckConfigDescriptor(const uint8_t* data, size_t size)
{
    if (size > LongestDescriptor)
        return {};
    static KeptMachine& kept = *new KeptMachine(false, [](emu::Machine&) {});

    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    model.configDescriptor.assign(data, data + size);
    model.completion = emu::usb::CompletionMode::Synchronous;
    const std::vector<uint8_t> input(data, data + size);
    return kept.Run([&](emu::Machine& machine) {
        machine.Replug(model);
        const Baseline before = TakeBaseline();
        std::string report = RunLife(machine, input);
        return report + CheckLeftovers(before);
    });
}

}  // namespace pondrel_fuzz
