#include "tools/pondrel-sim/bench.h"

#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/loader/driver_image.h"
#include "emulator/machine.h"
#include "include/pondrel.h"
#include "tools/pondrel-sim/cpu_sampler.h"
#include "tools/pondrel-sim/device_input.h"
#include "tools/pondrel-sim/pipes.h"
#include "tools/session/cli.h"
#include "tools/session/pipe_table.h"
#include "tools/session/printer.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using emu::usb::CompletionMode;

constexpr ULONG kChunk = 65536;
constexpr ULONG kSmallRead = 64;
constexpr uint8_t kSinkOut = 0x02;
constexpr uint8_t kSourceIn = 0x82;
constexpr double kBusThreadTarget = 60.0;     // MB/s, above USB 2.0's line rate
constexpr double kSynchronousTarget = 500.0;  // MB/s, USB 3's line rate

// The built-in device with its second pair split: a sink to write to and a
// source to read from, so that writes and reads can be timed alone.
emu::usb::DeviceModel BuiltinBenchDevice()
{
    auto model = emu::usb::DeviceModel::Builtin();
    model.endpoints[kSinkOut] = {emu::usb::EndpointBehaviour::Sink, std::nullopt};
    model.endpoints[kSourceIn] = {emu::usb::EndpointBehaviour::Source, std::nullopt};
    return model;
}

// The device as measured: no history kept, transfers completed in `mode`.
// The bus takes no time unless a speed is given: the untimed figures are the
// software's cost alone.
emu::usb::DeviceModel BenchModel(emu::usb::DeviceModel model, CompletionMode mode,
                                 std::optional<emu::usb::BusSpeed> speed = std::nullopt)
{
    model.busTiming = speed.has_value();
    if (speed)
        model.speed = *speed;
    for (auto& [address, role] : model.endpoints) {
        role.recordReceived = false;
    }
    model.completion = mode;
    model.recordUrbs = false;
    return model;
}

// The pipes the benchmark uses, where the device has them: a loopback pair,
// a bulk sink and a bulk source among the pipes that can be opened.
struct BenchPipes {
    std::optional<int> loopOut, loopIn, sink, source;
};

BenchPipes FindBenchPipes(const emu::usb::DeviceModel& model)
{
    BenchPipes pipes;
    if (auto loop = FindLoopbackPipes(model, model.configDescriptor)) {
        pipes.loopOut = loop->first;
        pipes.loopIn = loop->second;
    }
    for (const auto& pipe : session::PipeTable(model.configDescriptor)) {
        if (pipe.index > PONDREL_PIPE_INDEX_MAX || pipe.type != 2)
            continue;
        auto behaviour = model.RoleFor(pipe.endpoint).behaviour;
        if (!pipes.sink && !pipe.In() && behaviour == emu::usb::EndpointBehaviour::Sink)
            pipes.sink = pipe.index;
        if (!pipes.source && pipe.In() && behaviour == emu::usb::EndpointBehaviour::Source)
            pipes.source = pipe.index;
    }
    return pipes;
}

uint64_t DriverAllocations()
{
    for (const auto& stats : emu::pool::Stats()) {
        if (stats.tag == PondrelPoolTag)
            return stats.allocations;
    }
    return 0;
}

// A machine with the driver loaded, the device started and its pipes open.
class Rig {
public:
    Rig(const emu::usb::DeviceModel& model, CompletionMode mode, std::optional<emu::usb::BusSpeed> speed = std::nullopt)
        : machine_(Options(model, mode, speed))
    {
        NTSTATUS status = machine_.BringUp(emu::loader::DriverEntryFor(DriverEntry));
        if (!NT_SUCCESS(status)) {
            failure = "bring-up: " + session::StatusName(static_cast<uint32_t>(status));
            return;
        }
        BenchPipes pipes = FindBenchPipes(model);
        for (auto [pipe, handle] : {std::pair{pipes.loopOut, &loopOut}, std::pair{pipes.loopIn, &loopIn},
                                    std::pair{pipes.sink, &sink}, std::pair{pipes.source, &source}}) {
            if (!pipe)
                continue;
            status = machine_.app().Open(PONDREL_DEVICE_PATH PONDREL_PIPE_PREFIX + std::to_string(*pipe), handle);
            if (!NT_SUCCESS(status)) {
                failure = "open pipe " + std::to_string(*pipe) + ": " + session::StatusName(static_cast<uint32_t>(status));
                return;
            }
        }
    }

    ~Rig()
    {
        for (emu::Handle handle : {loopOut, loopIn, sink, source}) {
            if (handle)
                machine_.app().Close(handle);
        }
        machine_.pnp().Remove();
        machine_.UnloadDriver();
    }

    size_t Findings() { return machine_.Findings().size(); }
    emu::App& app() { return machine_.app(); }
    uint64_t BusRequests() { return machine_.Device().BusRequests(); }

    std::string failure;
    emu::Handle loopOut = 0, loopIn = 0, sink = 0, source = 0;  // 0: the device has no such pipe

private:
    static emu::MachineOptions Options(const emu::usb::DeviceModel& model, CompletionMode mode,
                                       std::optional<emu::usb::BusSpeed> speed)
    {
        emu::MachineOptions options;
        options.device = BenchModel(model, mode, speed);
        return options;
    }

    emu::Machine machine_;
};

struct Rate {
    double perSecond = 0;  // steps, or bytes (as MB/s) when bytesPerStep is set
    std::string failure;
    bool measured = false;  // false: the device has no pipe for it
};

// Runs `step` again and again for `duration` (at least four times).
Rate Measure(std::chrono::duration<double> duration, double bytesPerStep, const std::function<std::string()>& step)
{
    Rate rate;
    rate.measured = true;
    uint64_t steps = 0;
    auto begin = Clock::now();
    std::chrono::duration<double> elapsed{0};
    while (elapsed < duration || steps < 4) {
        rate.failure = step();
        if (!rate.failure.empty())
            return rate;
        ++steps;
        elapsed = Clock::now() - begin;
    }
    double perSecond = static_cast<double>(steps) / elapsed.count();
    rate.perSecond = bytesPerStep > 0 ? perSecond * bytesPerStep / 1e6 : perSecond;
    return rate;
}

std::string Failed(const char* what, const emu::IoResult& result, ULONG wanted)
{
    if (NT_SUCCESS(result.status) && result.information == wanted)
        return {};
    return std::string(what) + ": " + session::StatusName(static_cast<uint32_t>(result.status)) + ", " +
           std::to_string(result.information) + " of " + std::to_string(wanted) + " bytes";
}

struct ModeFigures {
    Rate write;
    Rate read;
    Rate loopback;
};

// Loopback on the bus model at one speed, beside what the model lets the
// bus carry.
struct BusFigures {
    emu::usb::BusSpeed speed;
    double lineMegabits;
    Rate loopback;
};

struct Figures {
    ModeFigures busThread;
    ModeFigures synchronous;
    Rate smallReads;
    double allocationsPerBufferedRead = -1;
    uint64_t bufferedReadsChecked = 0;
    double driverShare = -1;  // of the CPU time, 0..1; negative when not measured
    uint64_t cpuSamples = 0;
    size_t findings = 0;
    std::string failure;
    std::vector<BusFigures> bus;  // with --timed
};

// Runs `step` under the sampler until enough samples are in (or a few
// seconds have passed): the driver's share of the CPU time while it runs.
void SampleDriverShare(const std::function<std::string()>& step, bool quick, Figures* figures)
{
    const uint64_t enoughSamples = quick ? 200 : 2000;  // about a millisecond of CPU time each
    const auto limit = std::chrono::seconds(quick ? 5 : 15);
    CpuSampler sampler;
    auto begin = Clock::now();
    while (sampler.Samples().total < enoughSamples && Clock::now() - begin < limit) {
        if (!step().empty())
            return;
    }
    CpuSamples samples = sampler.Samples();
    figures->cpuSamples = samples.total;
    if (samples.total)
        figures->driverShare = static_cast<double>(samples.driver) / static_cast<double>(samples.total);
}

ModeFigures MeasureMode(const emu::usb::DeviceModel& model, CompletionMode mode,
                        std::chrono::duration<double> duration, Figures* figures, bool sampleCpu, bool quick)
{
    ModeFigures result;
    Rig rig(model, mode);
    if (!rig.failure.empty()) {
        figures->failure = rig.failure;
        return result;
    }
    std::vector<uint8_t> out = session::CountingPattern(kChunk);
    std::vector<uint8_t> in(kChunk);
    if (rig.sink)
        result.write = Measure(duration, kChunk, [&] { return Failed("write", rig.app().Write(rig.sink, out.data(), kChunk), kChunk); });
    if (rig.source)
        result.read = Measure(duration, kChunk, [&] { return Failed("read", rig.app().Read(rig.source, in.data(), kChunk), kChunk); });
    uint64_t round = 0;
    auto loopback = [&]() -> std::string {
        std::memcpy(out.data(), &++round, sizeof round);
        std::string failed = Failed("loopback write", rig.app().Write(rig.loopOut, out.data(), kChunk), kChunk);
        if (failed.empty())
            failed = Failed("loopback read", rig.app().Read(rig.loopIn, in.data(), kChunk), kChunk);
        if (failed.empty() && in != out)
            failed = "loopback: the bytes read differ from those written";
        return failed;
    };
    if (rig.loopOut && rig.loopIn)
        result.loopback = Measure(duration, 2.0 * kChunk, loopback);
    if (sampleCpu && CanSampleDriver() && result.loopback.measured && result.loopback.failure.empty())
        SampleDriverShare(loopback, quick, figures);
    figures->findings += rig.Findings();
    return result;
}

// 64 KiB loopbacks through the driver on a timed bus at each speed that
// has bulk endpoints, the device answering at each with the descriptors
// valid there (at SuperSpeed a USB 3 device descriptor, 1024-byte bulk
// endpoints and their companion descriptors).
void MeasureBusModel(const emu::usb::DeviceModel& model, std::chrono::duration<double> duration, Figures* figures)
{
    using emu::usb::BusSpeed;
    for (auto [speed, megabits] : {std::pair{BusSpeed::Full, 12.0}, std::pair{BusSpeed::High, 480.0},
                                   std::pair{BusSpeed::Super, 5000.0}}) {
        Rig rig(model.AtSpeed(speed), CompletionMode::BusThread, speed);
        BusFigures bus{speed, megabits, {}};
        if (!rig.failure.empty()) {
            bus.loopback.failure = rig.failure;
        } else if (!rig.loopOut || !rig.loopIn) {
            continue;
        } else {
            std::vector<uint8_t> out = session::CountingPattern(kChunk);
            std::vector<uint8_t> in(kChunk);
            bus.loopback = Measure(duration, 2.0 * kChunk, [&]() -> std::string {
                std::string failed = Failed("loopback write", rig.app().Write(rig.loopOut, out.data(), kChunk), kChunk);
                return failed.empty() ? Failed("loopback read", rig.app().Read(rig.loopIn, in.data(), kChunk), kChunk)
                                      : failed;
            });
            figures->findings += rig.Findings();
        }
        figures->bus.push_back(bus);
    }
}

// Small reads from the source: how many per second, and how many pool
// allocations the driver makes for one served from its buffer.
void MeasureSmallReads(const emu::usb::DeviceModel& model, std::chrono::duration<double> duration, Figures* figures)
{
    Rig rig(model, CompletionMode::Synchronous);
    if (!rig.failure.empty()) {
        figures->failure = rig.failure;
        return;
    }
    if (!rig.source)
        return;
    std::vector<uint8_t> in(kSmallRead);
    auto read = [&] { return Failed("small read", rig.app().Read(rig.source, in.data(), kSmallRead), kSmallRead); };
    figures->smallReads = Measure(duration, 0, read);

    uint64_t allocations = 0;
    uint64_t buffered = 0;
    for (int i = 0; i < 2000 && figures->smallReads.failure.empty(); ++i) {
        uint64_t busBefore = rig.BusRequests();
        uint64_t allocationsBefore = DriverAllocations();
        figures->smallReads.failure = read();
        if (rig.BusRequests() != busBefore)
            continue;
        ++buffered;
        allocations += DriverAllocations() - allocationsBefore;
    }
    figures->bufferedReadsChecked = buffered;
    if (buffered)
        figures->allocationsPerBufferedRead = static_cast<double>(allocations) / static_cast<double>(buffered);
    figures->findings += rig.Findings();
}

std::string Cell(const Rate& rate, const char* unit)
{
    if (!rate.measured)
        return "-";
    if (!rate.failure.empty())
        return "failed";
    return session::Fixed(rate.perSecond, 1) + " " + unit;
}

std::string Pad(std::string text, size_t width)
{
    text.append(text.size() < width ? width - text.size() : 1, ' ');
    return text;
}

std::string Percent(double share)
{
    return session::Fixed(share * 100, 2) + " %";
}

std::string JsonRate(const Rate& rate)
{
    return rate.measured && rate.failure.empty() ? session::Fixed(rate.perSecond, 3) : "null";
}

double Capacity(emu::usb::BusSpeed speed)
{
    return emu::usb::LimitsOf(speed).BytesPerSecond() / 1e6;
}

// The timed loopbacks beside the line rate and the model's bulk capacity
// (a loopback moves every byte twice over the bus).
void PrintBusModel(const Figures& f, std::ostream& out)
{
    if (f.bus.empty())
        return;
    out << "\n  loopback 64 KiB (write, read) on the bus model, bus-thread completions\n";
    out << "  " << Pad("speed", 10) << Pad("line rate", 16) << Pad("bulk capacity", 18) << "loopback\n";
    for (const auto& bus : f.bus) {
        out << "  " << Pad(std::string(emu::usb::BusSpeedName(bus.speed)), 10)
            << Pad(session::Fixed(bus.lineMegabits, 0) + " Mbit/s", 16) << Pad(session::Fixed(Capacity(bus.speed), 3) + " MB/s", 18)
            << Cell(bus.loopback, "MB/s") << "\n";
        if (!bus.loopback.failure.empty())
            out << "  failed: " << bus.loopback.failure << "\n";
    }
}

void PrintTable(const Figures& f, const std::string& device, std::ostream& out)
{
    out << "pondrel-sim bench: 64 KiB requests through the application side, the I/O manager, the driver and the bus\n";
    out << "  " << BuildType() << " build, " << device << "\n";
    out << "(untimed: the software's cost on a bus that takes no time; --timed adds the bus model)\n\n";
    out << Pad("", 34) << Pad("bus-thread completions", 26) << "synchronous completions\n";
    auto row = [&](const char* name, const Rate& busThread, const Rate& synchronous, const std::string& note) {
        out << "  " << Pad(name, 32) << Pad(Cell(busThread, "MB/s"), 26) << Pad(Cell(synchronous, "MB/s"), 20) << note
            << "\n";
    };
    row("write 64 KiB", f.busThread.write, f.synchronous.write, "");
    row("read 64 KiB", f.busThread.read, f.synchronous.read, "");
    row("loopback 64 KiB (write, read)", f.busThread.loopback, f.synchronous.loopback,
        "targets " + std::to_string(static_cast<int>(kBusThreadTarget)) + " and " +
            std::to_string(static_cast<int>(kSynchronousTarget)) + " MB/s");
    out << "  " << Pad("small reads (64 B) per second", 32) << Cell(f.smallReads, "") << "   (synchronous; most served from the receive buffer)\n";
    out << "  " << Pad("allocations per buffered read", 32)
        << (f.allocationsPerBufferedRead < 0 ? std::string("not measured") : session::Fixed(f.allocationsPerBufferedRead, 3))
        << "   (over " << f.bufferedReadsChecked << " reads served from the buffer; target 0)\n";
    out << "  " << Pad("driver's share of CPU time", 32)
        << (f.driverShare < 0 ? std::string("not measured") : Percent(f.driverShare))
        << "   (" << f.cpuSamples << " samples over the synchronous loopback)\n";
    for (const Rate* rate : {&f.busThread.write, &f.busThread.read, &f.busThread.loopback, &f.synchronous.write,
                             &f.synchronous.read, &f.synchronous.loopback, &f.smallReads}) {
        if (!rate->failure.empty())
            out << "  failed: " << rate->failure << "\n";
    }
    PrintBusModel(f, out);
    if (!f.failure.empty())
        out << "  failed: " << f.failure << "\n";
    out << "  verifier findings: " << f.findings << "\n";
    if (std::string_view(BuildType()) != "Release")
        out << "  (the targets are for the Release build: make bench)\n";
    for (const Rate* rate : {&f.busThread.write, &f.busThread.read, &f.busThread.loopback, &f.smallReads}) {
        if (!rate->measured && f.failure.empty()) {
            out << "  (-: the device has no pipe for that measure)\n";
            break;
        }
    }
}

void PrintJson(const Figures& f, const std::string& device, std::ostream& out)
{
    auto mode = [](const ModeFigures& m) {
        return "{\"write_mb_per_s\":" + JsonRate(m.write) + ",\"read_mb_per_s\":" + JsonRate(m.read) +
               ",\"loopback_mb_per_s\":" + JsonRate(m.loopback) + "}";
    };
    bool busThreadMet = f.busThread.loopback.measured && f.busThread.loopback.failure.empty() &&
                        f.busThread.loopback.perSecond >= kBusThreadTarget;
    bool synchronousMet = f.synchronous.loopback.measured && f.synchronous.loopback.failure.empty() &&
                          f.synchronous.loopback.perSecond >= kSynchronousTarget;
    std::string bus;
    for (const auto& b : f.bus) {
        bus += std::string(bus.empty() ? "" : ",") + "\"" + std::string(emu::usb::BusSpeedName(b.speed)) +
               "\":{\"capacity_mb_per_s\":" + session::Fixed(Capacity(b.speed), 3) +
               ",\"loopback_mb_per_s\":" + JsonRate(b.loopback) + "}";
    }
    out << "{\"bench\":{\"build\":" << session::JsonString(BuildType()) << ",\"device\":" << session::JsonString(device)
        << ",\"transfer_bytes\":" << kChunk << ",\"timed\":" << (f.bus.empty() ? "false" : "true")
        << ",\"bus_model\":{" << bus << "},\"bus_thread\":" << mode(f.busThread)
        << ",\"synchronous\":" << mode(f.synchronous) << ",\"small_read_bytes\":" << kSmallRead
        << ",\"small_reads_per_s\":" << JsonRate(f.smallReads) << ",\"allocations_per_buffered_read\":"
        << (f.allocationsPerBufferedRead < 0 ? "null" : session::Fixed(f.allocationsPerBufferedRead, 3))
        << ",\"buffered_reads_checked\":" << f.bufferedReadsChecked << ",\"driver_cpu_share\":"
        << (f.driverShare < 0 ? "null" : session::Fixed(f.driverShare, 3)) << ",\"cpu_samples\":" << f.cpuSamples
        << ",\"targets\":{\"bus_thread_loopback_mb_per_s\":" << kBusThreadTarget
        << ",\"synchronous_loopback_mb_per_s\":" << kSynchronousTarget
        << ",\"bus_thread_met\":" << (busThreadMet ? "true" : "false")
        << ",\"synchronous_met\":" << (synchronousMet ? "true" : "false")
        << ",\"zero_allocations_met\":" << (f.allocationsPerBufferedRead == 0 ? "true" : "false")
        << "},\"findings\":" << f.findings << ",\"failure\":"
        << (f.failure.empty() ? "null" : session::JsonString(f.failure)) << "}}\n";
}

bool AllSucceeded(const Figures& f)
{
    for (const Rate* rate : {&f.busThread.write, &f.busThread.read, &f.busThread.loopback, &f.synchronous.write,
                             &f.synchronous.read, &f.synchronous.loopback, &f.smallReads}) {
        if (!rate->failure.empty())
            return false;
    }
    for (const auto& bus : f.bus) {
        if (!bus.loopback.failure.empty())
            return false;
    }
    return f.failure.empty() && f.findings == 0;
}

}  // namespace

const char* BuildType()
{
    return PONDREL_BUILD_TYPE;
}

int RunBench(const BenchOptions& options, std::ostream& out, std::ostream& err)
{
    emu::usb::DeviceModel model = BuiltinBenchDevice();
    std::string device = "built-in device";
    if (!options.deviceFile.empty()) {
        std::string error;
        auto loaded = LoadDeviceFile(options.deviceFile, &error);
        if (!loaded)
            return session::ReportBadInput(err, "pondrel-sim", options.json, "bench: " + error);
        model = std::move(*loaded);
        device = options.deviceFile;
    }
    std::chrono::duration<double> duration(options.quick ? 0.05 : 0.5);
    Figures figures;
    figures.busThread = MeasureMode(model, CompletionMode::BusThread, duration, &figures, false, options.quick);
    figures.synchronous = MeasureMode(model, CompletionMode::Synchronous, duration, &figures, true, options.quick);
    MeasureSmallReads(model, duration, &figures);
    if (options.timed)
        MeasureBusModel(model, duration, &figures);
    if (options.json)
        PrintJson(figures, device, out);
    else
        PrintTable(figures, device, out);
    return AllSucceeded(figures) ? 0 : 1;
}

}  // namespace sim
