#include "tools/pondrel-sim/session_run.h"

#include "driver/entry_points.h"
#include "emulator/loader/driver_image.h"
#include "emulator/kernel/hang_watchdog.h"
#include "emulator/kernel/system.h"
#include "emulator/machine.h"
#include "tools/pondrel-sim/demo.h"
#include "tools/pondrel-sim/device_input.h"
#include "tools/pondrel-sim/emulator_backend.h"
#include "tools/pondrel-sim/request_observer.h"
#include "tools/pondrel-sim/summary.h"
#include "tools/pondrel-sim/trace_writer.h"
#include "tools/session/executor.h"
#include "tools/session/status_names.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include <unistd.h>

namespace sim {
namespace {

// Creates (empties) a file the session will write at its end, so that an
// unwritable path is bad input before anything runs.
bool Writable(const std::string& path, const char* what, std::string* error)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        return true;
    *error = path + ": cannot write the " + what + " (" + std::strerror(errno) + ")";
    return false;
}

// A bar on the terminal while a loopback runs; cleared when it is done.
void DrawProgress(std::ostream& out, uint64_t done, uint64_t total)
{
    constexpr int kWidth = 32;
    if (done >= total) {
        out << "\r\033[K" << std::flush;
        return;
    }
    int filled = static_cast<int>(done * kWidth / total);
    out << "\r  [" << std::string(static_cast<size_t>(filled), '#') << std::string(static_cast<size_t>(kWidth - filled), '.')
        << "] " << done * 100 / total << "%  " << done / 1024 << " KiB" << std::flush;
}

// What a session needs before it starts; any fault here is bad input.
struct Inputs {
    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    std::optional<std::vector<session::Command>> commands;  // none: the demo
};

bool ReadInputs(const SessionOptions& options, Inputs* inputs, std::string* error)
{
    if (!options.deviceFile.empty()) {
        auto loaded = LoadDeviceFile(options.deviceFile, error);
        if (!loaded)
            return false;
        inputs->model = std::move(*loaded);
    }
    if (options.common.hasScript || options.common.hasCommands) {
        inputs->commands = session::LoadSessionCommands(options.common, error);
        if (!inputs->commands)
            return false;
    }
    return (options.pcapFile.empty() || Writable(options.pcapFile, "capture", error)) &&
           (options.traceFile.empty() || Writable(options.traceFile, "trace", error));
}

// As when a process exits, what the session still has in flight is
// cancelled; then its handles are closed, the device removed and the driver
// unloaded. Requests that end on the way are printed.
void EndSession(session::Executor& executor, EmulatorBackend& backend, emu::HangWatchdog& watchdog,
                std::chrono::milliseconds timeout, session::Printer& printer)
{
    watchdog.Arm("cancelling the requests still in flight");
    backend.StopFiltering();
    executor.Drain(std::chrono::milliseconds(0));
    for (auto handle : executor.OpenHandles())
        backend.Cancel(handle);
    executor.Drain(timeout);
    watchdog.Arm("the teardown after the session (close, remove, unload)");
    backend.Teardown(executor.OpenHandles());
    watchdog.Arm("waiting for the requests the removal ended");
    if (executor.Drain(timeout) != 0)
        printer.Text("(requests still in flight after the device was removed)");
    watchdog.Disarm();
}

void Summarize(emu::Machine& machine, EmulatorBackend& backend, const session::Executor& executor, Summary* summary)
{
    DriverRequests requests = CountedRequests();
    summary->requests = requests.total;
    summary->pnpRequests = requests.pnp;
    summary->powerRequests = requests.power;
    summary->ioRequests = requests.io;
    summary->busRequests = requests.bus;
    summary->bytesWritten = backend.Counts().bytesWritten;
    summary->bytesRead = backend.Counts().bytesRead;
    summary->unloaded = backend.EverLoaded() && !backend.Loaded();
    MeasurePoolLeft(summary);
    summary->findings = machine.Findings();
    summary->expectsHeld = executor.ExpectsHeld();
    summary->expectsFailed = executor.ExpectsFailed();
}

void Report(const SessionOptions& options, std::ostream& err, const std::string& error)
{
    session::ReportBadInput(err, "pondrel-sim", options.common.json, error);
}

// Runs the demo or the commands in a fresh machine; returns the exit status
// the session itself earned (bad input met while running included).
int RunInMachine(const SessionOptions& options, const Inputs& inputs, session::Printer& printer, TraceWriter* trace,
                 std::ostream& out, std::ostream& err, Summary* summary)
{
    auto timeout = std::chrono::milliseconds(options.common.timeoutMs);
    emu::threads::SetName("application");
    emu::MachineOptions machineOptions;
    machineOptions.device = inputs.model;
    machineOptions.plugDevice = false;
    emu::Machine machine(std::move(machineOptions));
    EmulatorBackend backend(machine, emu::loader::DriverEntryFor(DriverEntry), timeout, options.pcapFile);
    if (options.lowerFilter)
        backend.UseLowerFilter();

    // A step may take one request timeout, and a cancel as long again.
    const auto limit = timeout * 3;
    emu::HangWatchdog watchdog(limit, [limit](const std::string& step) {
        return "pondrel-sim: '" + step + "' did not finish within " + std::to_string(limit.count()) +
               " ms; the emulator's blocked threads:\n" + emu::threads::DescribeBlocked();
    });
    session::ExecutorOptions executorOptions;
    if (!options.common.json && isatty(STDOUT_FILENO))
        executorOptions.progress = [&out](uint64_t done, uint64_t total) { DrawProgress(out, done, total); };
    executorOptions.beforeCommand = [trace, &watchdog](const session::Command& command) {
        watchdog.Arm(command.Where() + " " + command.text);
        if (trace)
            trace->Mark(command.text);
    };
    session::Executor executor(backend, printer, executorOptions);

    if (!inputs.commands)
        PrintDemoTitle(printer);
    NTSTATUS loaded = backend.Load();
    printer.Text("DriverEntry               " + session::StatusName(static_cast<uint32_t>(loaded)) + " (" +
                 session::StatusHex(static_cast<uint32_t>(loaded)) + ")");
    int exitStatus = session::ExitSuccess;
    std::string error;
    if (!NT_SUCCESS(loaded)) {
        exitStatus = session::ExitFailed;
    } else if (!inputs.commands) {
        if (RunDemo(inputs.model, executor, printer) != 0)
            exitStatus = session::ExitFailed;
    } else if (!executor.Run(*inputs.commands, &error)) {
        Report(options, err, error);
        exitStatus = session::ExitBadInput;
    }
    // Counted before the teardown: what it cancels is not a step of the session.
    // The demo judges its own steps, some of which fail on purpose.
    summary->unexpectedFailures = inputs.commands ? executor.UnexpectedFailures() : 0;
    EndSession(executor, backend, watchdog, timeout, printer);
    Summarize(machine, backend, executor, summary);
    return exitStatus;
}

}  // namespace

int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& err)
{
    Inputs inputs;
    std::string error;
    if (!ReadInputs(options, &inputs, &error)) {
        Report(options, err, error);
        return session::ExitBadInput;
    }
    session::Printer printer(out, options.common.json ? session::Printer::Style::Json : session::Printer::Style::Human,
                             options.common.verbose);
    std::unique_ptr<TraceWriter> trace = options.traceFile.empty() ? nullptr : std::make_unique<TraceWriter>();

    Summary summary;
    StartObserving(trace.get());
    int exitStatus = RunInMachine(options, inputs, printer, trace.get(), out, err, &summary);
    StopObserving();

    PrintSummary(summary, printer);
    if (trace && !trace->Write(options.traceFile, &error)) {
        Report(options, err, error);
        return session::ExitFailed;
    }
    if (exitStatus == session::ExitSuccess && !SummaryIsClean(summary))
        exitStatus = session::ExitFailed;
    return exitStatus;
}

}  // namespace sim
