// The bus's timing model; see bus_timing.h. The figures are the USB 2.0
// and USB 3.x bandwidth rules for bulk endpoints, documented with their
// sources in docs/benchmarks-bus-model.md.
#include "emulator/usb/bus_timing.h"

#include <algorithm>

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

// The packets go out back to back at the bus's bulk rate from the moment
// the wire is free; the host controller reports the transfer at the end of
// the (micro)frame its last packet went in (its interrupt threshold).
BusClock::Clock::time_point BusClock::Book(Clock::time_point now, uint64_t bytes, uint32_t maxPacket, bool in)
{
    // A packet larger than the bus allows still carries only what the bus allows.
    const uint64_t size = std::clamp<uint64_t>(maxPacket, 1, limits_.packetSize);
    const uint64_t packets = std::max<uint64_t>(1, (bytes + size - 1) / size);
    const auto frame = limits_.frame;
    auto& freeAt = freeAt_[limits_.dualSimplex && in ? 1 : 0];
    const auto start = std::max(now, freeAt);
    freeAt = start + frame * static_cast<int64_t>(packets) / static_cast<int64_t>(limits_.packetsPerFrame);
    const auto intoFrame = freeAt.time_since_epoch() % frame;
    return intoFrame == Clock::duration::zero() ? freeAt : freeAt + (frame - intoFrame);
}

}  // namespace emu::usb
