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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
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

    // The verifier's findings so far; their rules go to `rules` once each.
    size_t Findings(std::vector<std::string>* rules = nullptr)
    {
        const auto findings = machine_.Findings();
        for (const auto& finding : findings) {
            const std::string line = finding.rule + " in " + finding.routine + " " + finding.detail;
            if (rules != nullptr && std::find(rules->begin(), rules->end(), line) == rules->end())
                rules->push_back(line);
        }
        return findings.size();
    }
    emu::App& app() { return machine_.app(); }
    uint64_t BusRequests() { return machine_.Device().BusRequests(); }
    // Seconds on the bus's own time line (bus_timing.h).
    double BusSeconds() { return std::chrono::duration<double>(machine_.Device().BusNow()).count(); }

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
    uint64_t steps = 0;
};

// Runs `step` again and again for `duration` of wall time (at least four
// times); the rate is figured on `seconds`, the wall clock unless a bus's
// own clock is given.
Rate Measure(std::chrono::duration<double> duration, double bytesPerStep, const std::function<std::string()>& step,
             const std::function<double()>& seconds = {})
{
    Rate rate;
    rate.measured = true;
    uint64_t steps = 0;
    auto begin = Clock::now();
    const double figuredFrom = seconds ? seconds() : 0;
    std::chrono::duration<double> elapsed{0};
    while (elapsed < duration || steps < 4) {
        rate.failure = step();
        if (!rate.failure.empty())
            return rate;
        ++steps;
        elapsed = Clock::now() - begin;
    }
    const double figured = seconds ? seconds() - figuredFrom : elapsed.count();
    rate.steps = steps;
    double perSecond = static_cast<double>(steps) / figured;
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

// One measure on the bus model beside the design's ceiling (MB/s).
struct Bounded {
    Rate rate;
    double ceiling = 0;
    uint64_t designRequests = 0;  // bus requests per step in the ceiling's design
    double busRequests = 0;       // bus requests per step measured
    double Ratio() const { return ceiling > 0 ? rate.perSecond / ceiling : 0; }
};

// The bus model at one speed: each 64 KiB measure beside what the design
// can reach there, and at high speed several writes in flight.
struct BusFigures {
    emu::usb::BusSpeed speed;
    double lineMegabits;
    Bounded write, read, loopback;
    std::vector<std::pair<int, Bounded>> inFlight;  // writes in flight, at high speed
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
    std::vector<std::string> findingRules;  // what the verifier found, once each
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
    figures->findings += rig.Findings(&figures->findingRules);
    return result;
}

// ---- The design's ceilings on the bus model ----
// The driver keeps one bus request in flight per request, WriteChunkLength
// bytes out, at most BusReadLength bytes in; the host controller reports a
// request at the end of the (micro)frame its last packet went in, and the
// driver's next one goes out in the next. So one request in flight takes a
// whole number of (micro)frames per bus request, however fast the software:
// the ceiling is the bus time of those (micro)frames, from the model's own
// limits (bus_timing.h) and the endpoints' packet sizes.

// (Micro)frames a bus request of `bytes` takes when it starts at one's start.
uint64_t FramesFor(const emu::usb::BusLimits& limits, uint64_t bytes, uint32_t packet)
{
    return (limits.PacketsFor(bytes, packet) + limits.packetsPerFrame - 1) / limits.packetsPerFrame;
}

// The write chunks of one request of `total` bytes.
std::vector<uint64_t> WriteRequests(uint64_t total)
{
    std::vector<uint64_t> chunks;
    for (uint64_t left = total; left > 0; left -= std::min<uint64_t>(left, WriteChunkLength))
        chunks.push_back(std::min<uint64_t>(left, WriteChunkLength));
    return chunks;
}

// The bus reads that bring `total` bytes of a source, which always has full packets.
std::vector<uint64_t> SourceReadRequests(uint64_t total)
{
    std::vector<uint64_t> reads;
    for (uint64_t left = total; left > 0; left -= std::min<uint64_t>(left, BusReadLength))
        reads.push_back(std::min<uint64_t>(left, BusReadLength));
    return reads;
}

// The bus reads that bring back what a loopback device echoed of the write
// chunks: each OUT wire packet comes back as IN packets, and a bus read
// ends at BusReadLength bytes or at a short or zero-length packet (one
// a device told to end whole-packet transfers so sends after them).
// The packets of each bus read.
std::vector<uint64_t> LoopbackReadRequests(uint64_t total, uint32_t outPacket, uint32_t inPacket,
                                           bool zeroLengthTerminator)
{
    std::vector<uint64_t> echoed;
    for (uint64_t chunk : WriteRequests(total)) {
        for (uint64_t sent = 0; sent < chunk; sent += std::min<uint64_t>(outPacket, chunk - sent)) {
            const uint64_t wire = std::min<uint64_t>(outPacket, chunk - sent);
            for (uint64_t back = 0; back < wire; back += std::min<uint64_t>(inPacket, wire - back))
                echoed.push_back(std::min<uint64_t>(inPacket, wire - back));
        }
        if (zeroLengthTerminator && echoed.back() == inPacket)
            echoed.push_back(0);  // the device ends a transfer of whole packets with a zero-length one
    }
    std::vector<uint64_t> reads;  // packets each read takes
    uint64_t bytes = 0;           // that the last one brings
    bool open = false;
    for (uint64_t packet : echoed) {
        if (!open || bytes + packet > BusReadLength) {
            reads.push_back(0);
            bytes = 0;
        }
        ++reads.back();
        bytes += packet;
        open = packet == inPacket;
    }
    return reads;
}

// Seconds the bus needs for `requests` one after the other, each from a
// (micro)frame's start.
double SecondsFor(const emu::usb::BusLimits& limits, const std::vector<uint64_t>& requests, uint32_t packet)
{
    uint64_t frames = 0;
    for (uint64_t bytes : requests)
        frames += FramesFor(limits, bytes, packet);
    return static_cast<double>(frames) * std::chrono::duration<double>(limits.frame).count();
}

// `inFlight` write requests of `total` bytes at once: each still takes its
// own (micro)frames one after the other, and all of them share the wire's
// packet slots. The model lets a chunk's packets straddle two (micro)frames
// (bus_timing.cpp), so the slots count as a fraction of a frame; kept in
// one, the wire would carry fewer (the table's note gives both).
double InFlightSeconds(const emu::usb::BusLimits& limits, uint64_t total, uint32_t packet, int inFlight)
{
    const auto chunks = WriteRequests(total);
    uint64_t packets = 0;
    for (uint64_t bytes : chunks)
        packets += limits.PacketsFor(bytes, packet);
    const double frame = std::chrono::duration<double>(limits.frame).count();
    const double wire = static_cast<double>(packets) * inFlight / limits.packetsPerFrame * frame;
    return std::max(SecondsFor(limits, chunks, packet), wire);
}

double MegabytesPerSecond(double bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / 1e6 : 0;
}

// The largest packet of the pipe with `index` in the device's configuration.
uint32_t PacketSize(const emu::usb::DeviceModel& model, std::optional<int> index)
{
    for (const auto& pipe : session::PipeTable(model.configDescriptor)) {
        if (index && pipe.index == *index)
            return pipe.packetSize;
    }
    return 0;
}

uint8_t EndpointOf(const emu::usb::DeviceModel& model, std::optional<int> index)
{
    for (const auto& pipe : session::PipeTable(model.configDescriptor)) {
        if (index && pipe.index == *index)
            return pipe.endpoint;
    }
    return 0;
}

constexpr int kInFlight[] = {1, 2, 4, 8, 16};

double PerStep(uint64_t count, const Rate& rate)
{
    return rate.steps ? static_cast<double>(count) / static_cast<double>(rate.steps) : 0;
}

// Keeps `inFlight` 64 KiB writes on the sink for `duration`, then lets the
// last ones end: MB/s of bus time over every write.
Rate MeasureInFlight(Rig& rig, int inFlight, std::chrono::duration<double> duration)
{
    const std::vector<uint8_t> out = session::CountingPattern(kChunk);
    std::deque<std::unique_ptr<emu::PendingIo>> flying;
    Rate rate;
    rate.measured = true;
    const double busBegin = rig.BusSeconds();
    const auto begin = Clock::now();
    while (rate.failure.empty() && (Clock::now() - begin < duration || rate.steps < 4 || !flying.empty())) {
        const bool more = Clock::now() - begin < duration || rate.steps + flying.size() < 4;
        while (more && static_cast<int>(flying.size()) < inFlight)
            flying.push_back(rig.app().WriteAsync(rig.sink, out));
        auto oldest = std::move(flying.front());
        flying.pop_front();
        if (!oldest->WaitFor(std::chrono::seconds(30)))
            rate.failure = "write in flight: no completion in 30 s";
        else
            rate.failure = Failed("write in flight", oldest->Result(), kChunk);
        ++rate.steps;
    }
    for (auto& left : flying)
        left->WaitFor(std::chrono::seconds(30));
    rate.perSecond = MegabytesPerSecond(static_cast<double>(rate.steps) * kChunk, rig.BusSeconds() - busBegin);
    return rate;
}

// 64 KiB writes, reads and loopbacks through the driver on a timed bus at
// each speed that has bulk endpoints, the device answering at each with the
// descriptors valid there (at SuperSpeed a USB 3 device descriptor,
// 1024-byte bulk endpoints and their companion descriptors); figured on
// the bus's own time, beside the design's ceiling.
void MeasureBusModel(const emu::usb::DeviceModel& model, std::chrono::duration<double> duration, Figures* figures)
{
    using emu::usb::BusSpeed;
    for (auto [speed, megabits] : {std::pair{BusSpeed::Full, 12.0}, std::pair{BusSpeed::High, 480.0},
                                   std::pair{BusSpeed::Super, 5000.0}}) {
        const emu::usb::DeviceModel atSpeed = model.AtSpeed(speed);
        const emu::usb::BusLimits limits = emu::usb::LimitsOf(speed);
        const BenchPipes pipes = FindBenchPipes(atSpeed);
        Rig rig(atSpeed, CompletionMode::BusThread, speed);
        BusFigures bus{speed, megabits, {}, {}, {}, {}};
        auto busSeconds = [&] { return rig.BusSeconds(); };
        if (!rig.failure.empty()) {
            bus.loopback.rate.failure = rig.failure;
            figures->bus.push_back(bus);
            continue;
        }
        std::vector<uint8_t> out = session::CountingPattern(kChunk);
        std::vector<uint8_t> in(kChunk);
        // One row: its ceiling and the design's bus requests beside what
        // the step measured and the bus requests it took.
        auto measureRow = [&](auto& row, double ceiling, size_t designRequests, double bytes, auto step) {
            row.ceiling = ceiling;
            row.designRequests = designRequests;
            const uint64_t before = rig.BusRequests();
            row.rate = Measure(duration, bytes, step, busSeconds);
            row.busRequests = PerStep(rig.BusRequests() - before, row.rate);
        };
        if (rig.sink) {
            const uint32_t packet = PacketSize(atSpeed, pipes.sink);
            measureRow(bus.write, MegabytesPerSecond(kChunk, SecondsFor(limits, WriteRequests(kChunk), packet)),
                       WriteRequests(kChunk).size(), kChunk, [&] {
                           return Failed("write", rig.app().Write(rig.sink, out.data(), kChunk), kChunk);
                       });
        }
        if (rig.source) {
            const uint32_t packet = PacketSize(atSpeed, pipes.source);
            measureRow(bus.read, MegabytesPerSecond(kChunk, SecondsFor(limits, SourceReadRequests(kChunk), packet)),
                       SourceReadRequests(kChunk).size(), kChunk, [&] {
                           return Failed("read", rig.app().Read(rig.source, in.data(), kChunk), kChunk);
                       });
        }
        if (rig.loopOut && rig.loopIn) {
            const uint32_t outPacket = PacketSize(atSpeed, pipes.loopOut);
            const uint32_t inPacket = PacketSize(atSpeed, pipes.loopIn);
            const bool zlp = atSpeed.RoleFor(EndpointOf(atSpeed, pipes.loopOut)).zeroLengthTerminator;
            const auto reads = LoopbackReadRequests(kChunk, outPacket, inPacket, zlp);
            uint64_t readFrames = 0;
            for (uint64_t packets : reads)
                readFrames += (packets + limits.packetsPerFrame - 1) / limits.packetsPerFrame;
            const double seconds = SecondsFor(limits, WriteRequests(kChunk), outPacket) +
                                   static_cast<double>(readFrames) * std::chrono::duration<double>(limits.frame).count();
            measureRow(bus.loopback, MegabytesPerSecond(2.0 * kChunk, seconds),
                       WriteRequests(kChunk).size() + reads.size(), 2.0 * kChunk, [&]() -> std::string {
                           std::string failed =
                               Failed("loopback write", rig.app().Write(rig.loopOut, out.data(), kChunk), kChunk);
                           return failed.empty()
                                      ? Failed("loopback read", rig.app().Read(rig.loopIn, in.data(), kChunk), kChunk)
                                      : failed;
                       });
        }
        if (speed == BusSpeed::High && rig.sink) {
            const uint32_t packet = PacketSize(atSpeed, pipes.sink);
            for (int inFlight : kInFlight) {
                Bounded row;
                row.ceiling = MegabytesPerSecond(static_cast<double>(kChunk) * inFlight,
                                                 InFlightSeconds(limits, kChunk, packet, inFlight));
                row.rate = MeasureInFlight(rig, inFlight, duration);
                bus.inFlight.emplace_back(inFlight, row);
            }
        }
        figures->findings += rig.Findings(&figures->findingRules);
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
    figures->findings += rig.Findings(&figures->findingRules);
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

std::string BoundedCells(const Bounded& b)
{
    if (!b.rate.measured)
        return Pad("-", 14) + Pad("-", 14) + "-";
    if (!b.rate.failure.empty())
        return Pad("failed", 14) + Pad(session::Fixed(b.ceiling, 3) + " MB/s", 14) + "-";
    return Pad(session::Fixed(b.rate.perSecond, 3) + " MB/s", 14) + Pad(session::Fixed(b.ceiling, 3) + " MB/s", 14) +
           Pad(session::Fixed(b.Ratio() * 100, 1) + " %", 10) +
           (b.designRequests ? session::Fixed(b.busRequests, 1) + " (" + std::to_string(b.designRequests) + ")" : "");
}

// What the model does with a chunk whose packets do not fit in what is
// left of a microframe, and what the wire could carry of such chunks.
std::string StraddleNote()
{
    const auto limits = emu::usb::LimitsOf(emu::usb::BusSpeed::High);
    const uint64_t packets = limits.PacketsFor(WriteChunkLength, limits.packetSize);
    const double frame = std::chrono::duration<double>(limits.frame).count();
    const double straddling = static_cast<double>(limits.packetsPerFrame) / packets * WriteChunkLength / frame / 1e6;
    const double sharing = static_cast<double>(limits.packetsPerFrame / packets) * WriteChunkLength / frame / 1e6;
    return "  (a " + std::to_string(WriteChunkLength) + "-byte chunk is " + std::to_string(packets) + " of the " +
           std::to_string(limits.packetsPerFrame) + " packet slots of a microframe; the model lets its packets straddle two"
           " microframes: at most " + session::Fixed(straddling, 1) + " MB/s of chunks, " + session::Fixed(sharing, 1) +
           " MB/s were they kept in one)\n";
}

// The timed measures beside the design's ceiling, on the bus's own time.
void PrintBusModel(const Figures& f, std::ostream& out)
{
    if (f.bus.empty())
        return;
    out << "\n  64 KiB requests on the bus model, bus-thread completions, figured on the bus's own time\n";
    out << "  (write and read count each byte once; loopback counts it on the way out and on the way back;\n"
        << "   ceiling: one bus request in flight per request, each reported at the end of its (micro)frame)\n";
    out << "  " << Pad("speed", 8) << Pad("bulk capacity", 16) << Pad("measure", 22) << Pad("measured", 14)
        << Pad("ceiling", 14) << Pad("ratio", 10) << "bus requests per 64 KiB (design)\n";
    for (const auto& bus : f.bus) {
        const std::string speed(emu::usb::BusSpeedName(bus.speed));
        const std::string capacity = session::Fixed(Capacity(bus.speed), 3) + " MB/s";
        for (auto [name, b] : {std::pair{"write 64 KiB", &bus.write}, std::pair{"read 64 KiB", &bus.read},
                               std::pair{"loopback 64 KiB", &bus.loopback}}) {
            out << "  " << Pad(speed, 8) << Pad(capacity, 16) << Pad(name, 22) << BoundedCells(*b) << "\n";
            if (!b->rate.failure.empty())
                out << "  failed: " << b->rate.failure << "\n";
        }
        for (const auto& [inFlight, b] : bus.inFlight) {
            out << "  " << Pad(speed, 8) << Pad(capacity, 16)
                << Pad(std::to_string(inFlight) + " write" + (inFlight == 1 ? "" : "s") + " in flight", 22)
                << BoundedCells(b) << "\n";
            if (!b.rate.failure.empty())
                out << "  failed: " << b.rate.failure << "\n";
        }
    }
    out << StraddleNote();
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
    for (const auto& rule : f.findingRules)
        out << "    " << rule << "\n";
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
    auto bounded = [](const Bounded& b) {
        return "{\"mb_per_s\":" + JsonRate(b.rate) + ",\"ceiling_mb_per_s\":" + session::Fixed(b.ceiling, 3) +
               ",\"bus_requests\":" + session::Fixed(b.busRequests, 1) + "}";
    };
    std::string bus;
    for (const auto& b : f.bus) {
        std::string inFlight;
        for (const auto& [count, row] : b.inFlight)
            inFlight += std::string(inFlight.empty() ? "" : ",") + "\"" + std::to_string(count) + "\":" + bounded(row);
        bus += std::string(bus.empty() ? "" : ",") + "\"" + std::string(emu::usb::BusSpeedName(b.speed)) +
               "\":{\"capacity_mb_per_s\":" + session::Fixed(Capacity(b.speed), 3) +
               ",\"write\":" + bounded(b.write) + ",\"read\":" + bounded(b.read) +
               ",\"loopback\":" + bounded(b.loopback) + ",\"writes_in_flight\":{" + inFlight + "}}";
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
        for (const Bounded* b : {&bus.write, &bus.read, &bus.loopback}) {
            if (!b->rate.failure.empty())
                return false;
        }
        for (const auto& [count, row] : bus.inFlight) {
            if (!row.rate.failure.empty())
                return false;
        }
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
