// How long the wire takes: the time a transfer of an emulated device needs
// on a bus of its speed, so that transfers complete no sooner than a real
// bus could have carried them. Packets go out at no more than the bus's
// bulk packets per (micro)frame; the host controller reports a transfer at
// the end of the (micro)frame its last packet went in (its turnaround).
// Pure arithmetic on a clock the caller passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace emu::usb {

enum class BusSpeed { Low, Full, High, Super };

std::string_view BusSpeedName(BusSpeed speed);

// What the model lets one bulk endpoint move per (micro)frame.
struct BusLimits {
    std::chrono::nanoseconds frame;  // 1 ms at low and full speed, 125 us above
    uint32_t packetsPerFrame;        // bulk packets of `packetSize` per frame
    uint32_t packetSize;             // largest bulk packet (low speed: its interrupt packet)
    bool dualSimplex;                // IN and OUT move at the same time (SuperSpeed)
    double BytesPerSecond() const;
};

BusLimits LimitsOf(BusSpeed speed);

class BusClock {
public:
    using Clock = std::chrono::steady_clock;

    explicit BusClock(BusSpeed speed) : limits_(LimitsOf(speed)) {}

    // Books the wire for `bytes` moved in packets of `maxPacket` (a
    // zero-length transfer is one packet) in direction `in`, starting no
    // earlier than `now`; returns when the host controller reports it.
    Clock::time_point Book(Clock::time_point now, uint64_t bytes, uint32_t maxPacket, bool in);

private:
    BusLimits limits_;
    Clock::time_point freeAt_[2]{};  // [in]; both the same unless dual simplex
};

}  // namespace emu::usb
