// The bus's timing model; see bus_timing.h. The figures are the USB 2.0
// and USB 3.x bandwidth rules for bulk endpoints, documented with their
// sources in docs/benchmarks-bus-model.md.
#include "emulator/usb/bus_timing.h"

#include <algorithm>
#include <ctime>

namespace emu::usb {

std::string_view BusSpeedName(BusSpeed speed)
{
    switch (speed) {
    case BusSpeed::Low: return "low";
    case BusSpeed::Full: return "full";
    case BusSpeed::High: return "high";
    case BusSpeed::Super: return "super";
    }
    return "?";
}

BusLimits LimitsOf(BusSpeed speed)
{
    using std::chrono::microseconds;
    switch (speed) {
    case BusSpeed::Low: return {microseconds(1000), 1, 8, false};     // no bulk: one 8-byte packet a frame
    case BusSpeed::Full: return {microseconds(1000), 19, 64, false};  // 19 x 64 B a frame
    case BusSpeed::High: return {microseconds(125), 13, 512, false};  // 13 x 512 B a microframe
    case BusSpeed::Super: break;
    }
    return {microseconds(125), 48, 1024, true};  // 3 bursts of 16 x 1024 B a bus interval, each way
}

double BusLimits::BytesPerSecond() const
{
    return static_cast<double>(packetsPerFrame) * packetSize * 1e9 / static_cast<double>(frame.count());
}

uint64_t BusLimits::PacketsFor(uint64_t bytes, uint32_t maxPacket) const
{
    const uint64_t size = std::clamp<uint64_t>(maxPacket, 1, packetSize);
    return std::max<uint64_t>(1, (bytes + size - 1) / size);
}

// The packets go out back to back at the bus's bulk rate from the moment
// the wire is free, a transfer's packets straddling two (micro)frames when
// the first has too few slots left; the host controller reports the
// transfer at the end of the (micro)frame its last packet went in (its
// interrupt threshold).
BusTime BusClock::Book(BusTime start, uint64_t bytes, uint32_t maxPacket, bool in)
{
    const uint64_t packets = limits_.PacketsFor(bytes, maxPacket);
    const auto frame = limits_.frame;
    auto& freeAt = freeAt_[limits_.dualSimplex && in ? 1 : 0];
    freeAt = std::max(start, freeAt) + frame * static_cast<int64_t>(packets) / static_cast<int64_t>(limits_.packetsPerFrame);
    const auto intoFrame = freeAt % frame;
    return intoFrame == BusTime::zero() ? freeAt : freeAt + (frame - intoFrame);
}

BusTime BusTimeline::At(Wall wall) const
{
    return busAt_ + std::max(Wall::duration::zero(), wall - wallAt_);
}

void BusTimeline::Reach(BusTime bus, Wall wall)
{
    if (bus < busAt_) {
        return;
    }
    busAt_ = bus;
    wallAt_ = std::max(wallAt_, wall);
}

BusTimeline::Wall BusTimeline::WallOf(BusTime bus) const
{
    return wallAt_ + (bus - busAt_);
}

namespace {

thread_local CompletionOnThisThread* running = nullptr;

// The processor time the calling thread has used.
std::chrono::nanoseconds ThreadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

CompletionOnThisThread::CompletionOnThisThread(const void* bus, BusTime reported)
    : bus_(bus), reported_(reported), cpuAtStart_(ThreadCpuTime()), outer_(running)
{
    running = this;
}

CompletionOnThisThread::~CompletionOnThisThread()
{
    running = outer_;
}

std::optional<BusTime> CompletionOnThisThread::SendTime(const void* bus)
{
    for (const CompletionOnThisThread* scope = running; scope != nullptr; scope = scope->outer_) {
        if (scope->bus_ == bus) {
            return scope->reported_ + (ThreadCpuTime() - scope->cpuAtStart_);
        }
    }
    return std::nullopt;
}

}  // namespace emu::usb
