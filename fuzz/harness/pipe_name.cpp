// Fuzz target: file names opened on the device. The machine is started once
// and kept; every input opens "\\.\pondrel\<name>" (or the device itself
// for an empty input), closes it again, and must leave the device as it
// found it.
#include "fuzz/harness/kept_machine.h"
#include "fuzz/harness/targets.h"

#include "driver/device_context.h"
#include "driver/entry_points.h"

#include <cstdlib>
#include <memory>

namespace pondrel_fuzz {
namespace {

constexpr size_t LongestName = 512;  // characters; longer inputs are cut there
constexpr ULONG NamedPipeLimit = 6;  // pipe indexes 0 to 5 can be opened by name
constexpr long NoPipe = -1;          // what ExpectedPipe gives for a name that names none
constexpr long WholeDevice = -2;     // the empty name: the device itself

// Two input bytes per 16-bit character, low byte first; an odd last byte
// is dropped.
std::u16string NameFrom(const uint8_t* data, size_t size)
{
    std::u16string name;
    for (size_t at = 0; at + 1 < size && name.size() < LongestName; at += 2)
        name.push_back(static_cast<char16_t>(data[at] | (data[at + 1] << 8)));
    return name;
}

// The pipe a file name stands for, worked out independently of the driver:
// the last run of decimal digits read as a 32-bit number that wraps;
// NoPipe when the name names no pipe the device has.
long ExpectedPipe(std::u16string_view fileName, ULONG pipeCount)
{
    size_t end = fileName.size();
    while (end > 0 && !(fileName[end - 1] >= u'0' && fileName[end - 1] <= u'9'))
        --end;
    size_t begin = end;
    while (begin > 0 && fileName[begin - 1] >= u'0' && fileName[begin - 1] <= u'9')
        --begin;
    if (begin == end)
        return NoPipe;
    uint32_t value = 0;
    for (size_t at = begin; at < end; ++at)
        value = value * 10u + static_cast<uint32_t>(fileName[at] - u'0');
    return value < NamedPipeLimit && value < pipeCount ? static_cast<long>(value) : NoPipe;
}

// Opens the name and checks the status, the handle's pipe and the open
// flag against the expected pipe (or NoPipe, or WholeDevice).
std::string OpenAndClose(emu::Machine& machine, const DeviceContext* context, std::u16string_view path,
                         long expected)
{
    emu::Handle handle = 0;
    const NTSTATUS status = machine.app().Open(path, &handle);
    if (expected == NoPipe) {
        return status == STATUS_INVALID_PARAMETER
                   ? std::string{}
                   : "a name that names no pipe was opened with status " + StatusText(status) + "\n";
    }
    if (status != STATUS_SUCCESS)
        return "a valid name failed with status " + StatusText(status) + "\n";
    std::string report;
    const PFILE_OBJECT file = machine.app().FileObjectOf(handle);
    const void* expectedContext = expected >= 0 ? context->InterfaceInfo->Pipes + expected : nullptr;
    if (file == nullptr || file->FsContext != expectedContext)
        report += "the handle does not stand for the expected pipe\n";
    if (expected >= 0 && context->PipeOpenFlags[expected] != 1)
        report += "the open pipe's flag is not set\n";
    machine.app().Close(handle);
    return report;
}

std::string CheckName(emu::Machine& machine, const uint8_t* data, size_t size)
{
    const auto* context = ContextOf(machine.pnp().FunctionDevice());
    const Baseline before = TakeBaseline();

    const std::u16string name = NameFrom(data, size);
    std::u16string path = u"\\\\.\\pondrel";
    long expected = WholeDevice;
    if (!name.empty()) {
        path += u"\\" + name;
        expected = ExpectedPipe(u"\\" + name, context->InterfaceInfo->NumberOfPipes);
    }

    std::string report = OpenAndClose(machine, context, path, expected);
    if (!machine.app().WaitUntilAllClosed(std::chrono::seconds(10)))
        report += "the file object was not closed\n";
    for (ULONG pipe = 0; pipe < context->InterfaceInfo->NumberOfPipes; ++pipe)
        report += context->PipeOpenFlags[pipe] != 0 ? "PipeOpenFlags[" + std::to_string(pipe) + "] is still set\n" : "";
    report += CheckLeftovers(before);
    return report;
}

}  // namespace

std::string CheckPipeName(const uint8_t* data, size_t size)
{
    static KeptMachine& kept = *new KeptMachine(true, [](emu::Machine& machine) {
        if (!NT_SUCCESS(machine.BringUp(DriverEntry)))
            std::abort();  // nothing to fuzz without a started device
        TakeFindings();
    });
    return kept.Run([&](emu::Machine& machine) { return CheckName(machine, data, size); });
}

}  // namespace pondrel_fuzz
