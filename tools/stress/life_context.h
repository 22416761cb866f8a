// What the threads of one life share: the machine, the problems found so
// far, the window in which the device is known not to be started, the
// handles open for cancellation by anyone, and the record of the checked
// loopback stream.
#pragma once

#include "emulator/machine.h"
#include "tools/stress/device_map.h"
#include "tools/stress/request_rules.h"
#include "tools/stress/write_order.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace lives {

// Byte `position` of the stream the checked writer sends, for one seed.
uint8_t StreamByte(uint64_t seed, uint64_t position);

// Opens "\\.\pondrel" (pipe DevicePipe) or "\\.\pondrel\PIPE<n>".
NTSTATUS OpenPipe(emu::App& app, int pipe, emu::Handle* handle);

class LifeContext {
public:
    LifeContext(emu::Machine& machine, const emu::usb::DeviceModel& model, uint64_t seed, bool checkedStream,
                bool pendingReads)
        : machine(machine), model(model), pipes(MapDevice(model)), seed(seed),
          checkedStream(checkedStream && pipes.HasLoopback()),
          pendingPipe(pendingReads && !this->checkedStream ? pipes.SpareBulkIn(false) : -1),
          quietOutPipe(pipes.EchoSourceOf(pendingPipe))
    {
    }

    emu::Machine& machine;
    const emu::usb::DeviceModel& model;  // the device every arrival plugs in
    const DeviceMap pipes;
    const uint64_t seed;
    // One writer and one reader on the loopback pair, and no other reader
    // of any bulk IN pipe but the pending reads: every byte is accounted for.
    const bool checkedStream;
    // The bulk IN pipe where one thread keeps reads pending (-1: none), and
    // the OUT pipe the device echoes there: the other threads leave both
    // alone, so that the reads stay pending until something ends them.
    const int pendingPipe;
    const int quietOutPipe;

    // ---- Problems (any thread) ----
    void Problem(std::string what);
    std::vector<std::string> Problems();
    void CountFault() { ++faults_; }
    uint64_t Faults() const { return faults_; }

    // ---- The window in which the device is not started ----
    // The event thread brackets every PnP operation; a request sees whether
    // the state it was made in lasted until it finished.
    void BeginPnpChange() { window_.fetch_add(1); }
    void EndPnpChange(bool started);
    struct Mark {
        uint64_t window;
        bool started;
    };
    Mark WindowMark() const { return {window_.load(), started_.load()}; }
    // True when no PnP change began since `mark` and the device was not started then.
    bool NotStartedThroughout(Mark mark) const;

    // Checks one finished request; `who` names the thread.
    void Check(const Outcome& outcome, const std::string& who);

    // ---- Handles any thread may cancel requests on ----
    void Publish(emu::Handle handle);
    void Withdraw(emu::Handle handle);
    emu::Handle AnyPublished(std::mt19937_64& random);

    // ---- The checked stream of the current device ----
    std::mutex streamMutex;
    std::vector<WriteRecord> writes;  // the writer's, in order
    std::vector<uint8_t> read;                 // what the reader's successful reads returned, in order
    uint64_t writerPosition = 0;               // in StreamByte's stream
    void ResetStream();

private:
    std::mutex mutex_;
    std::vector<std::string> problems_;
    std::vector<emu::Handle> published_;
    std::atomic<uint64_t> faults_{0};
    std::atomic<uint64_t> window_{0};  // odd while a PnP change is under way
    std::atomic<bool> started_{false};
};

}  // namespace lives
