// How long the wire takes: the time a transfer of an emulated device needs
// on a bus of its speed, so that transfers complete no sooner than a real
// bus could have carried them. Packets go out at no more than the bus's
// bulk packets per (micro)frame; the host controller reports a transfer at
// the end of the (micro)frame its last packet went in (its turnaround).
//
// Two clocks (docs/benchmarks-bus-model.md): bus time, the bus's own time
// line, on which transfers are booked and throughput is figured; wall time
// (steady_clock), which only paces when completions are handed over and
// keeps every timeout, wait and watchdog. Bus time is tied to wall time at
// each event (a request arriving, a completion handed over) and runs with
// it in between, except that the bus thread's own lateness and the host
// preempting a completion routine are left out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace emu::usb {

enum class BusSpeed { Low, Full, High, Super };

std::string_view BusSpeedName(BusSpeed speed);

// A point on a bus's own time line: time since the bus started.
using BusTime = std::chrono::nanoseconds;

// What the model lets one bulk endpoint move per (micro)frame.
struct BusLimits {
    std::chrono::nanoseconds frame;  // 1 ms at low and full speed, 125 us above
    uint32_t packetsPerFrame;        // bulk packets of `packetSize` per frame
    uint32_t packetSize;             // largest bulk packet (low speed: its interrupt packet)
    bool dualSimplex;                // IN and OUT move at the same time (SuperSpeed)
    double BytesPerSecond() const;
    // The packets a transfer of `bytes` takes in packets of `maxPacket`
    // (a zero-length transfer is one packet; a packet larger than the bus
    // allows still carries only what the bus allows).
    uint64_t PacketsFor(uint64_t bytes, uint32_t maxPacket) const;
};

BusLimits LimitsOf(BusSpeed speed);

class BusClock {
public:
    explicit BusClock(BusSpeed speed) : limits_(LimitsOf(speed)) {}

    // Books the wire for `bytes` moved in packets of `maxPacket` in
    // direction `in`, starting no earlier than bus time `start`; returns
    // the bus time at which the host controller reports it.
    BusTime Book(BusTime start, uint64_t bytes, uint32_t maxPacket, bool in);

private:
    BusLimits limits_;
    BusTime freeAt_[2]{};  // [in]; both the same unless dual simplex
};

// Where a bus's time line stands against the wall clock: the latest event
// and when it happened. Between events bus time runs as wall time does.
class BusTimeline {
public:
    using Wall = std::chrono::steady_clock::time_point;

    explicit BusTimeline(Wall start) : wallAt_(start) {}
    // Bus time of an event at `wall` that no completion of this bus led to
    // on the same thread (an application's request, a work item's).
    BusTime At(Wall wall) const;
    // An event at bus time `bus` happened at `wall`: the line is tied there
    // (an event behind the latest one leaves it). Tying a completion's
    // reported time to when it was handed over leaves out how late the
    // thread handing it over was.
    void Reach(BusTime bus, Wall wall);
    // When to hand over what the bus reports at `bus`: only paces output.
    Wall WallOf(BusTime bus) const;
    BusTime Latest() const { return busAt_; }

private:
    BusTime busAt_{};
    Wall wallAt_;
};

// Marks the calling thread as running the completion of a transfer that
// `bus` reported at bus time `reported`, for as long as it lives: a request
// this thread sends to that bus meanwhile arrives at `reported` plus the
// processor time the thread has spent since (the driver's and the kernel's
// work, not the host's preemption of the thread).
class CompletionOnThisThread {
public:
    CompletionOnThisThread(const void* bus, BusTime reported);
    ~CompletionOnThisThread();
    CompletionOnThisThread(const CompletionOnThisThread&) = delete;
    CompletionOnThisThread& operator=(const CompletionOnThisThread&) = delete;

    // The bus time of a request the calling thread sends to `bus` now, if it
    // is running one of that bus's completions.
    static std::optional<BusTime> SendTime(const void* bus);

private:
    const void* bus_;
    BusTime reported_;
    std::chrono::nanoseconds cpuAtStart_;
    CompletionOnThisThread* outer_;
};

}  // namespace emu::usb
