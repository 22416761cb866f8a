#include "tools/stress/device_report.h"

#include "driver/device_context.h"
#include "emulator/kernel/system.h"

#include <atomic>
#include <cstdio>
#include <iterator>
#include <utility>
#include <vector>

namespace lives {
namespace {

std::atomic<PDEVICE_OBJECT> watched{nullptr};

const char* const PnpStateNames[] = {"New",           "Stopped",          "Running", "StopPending",
                                     "RemovePending", "SurpriseRemoved", "Removed"};

std::string PnpStateName(LONG state)
{
    if (state < 0 || state >= static_cast<LONG>(std::size(PnpStateNames))) {
        return std::to_string(state);
    }
    return PnpStateNames[state];
}

// The context of the watched device while its object exists; null otherwise.
DeviceContext* WatchedContext()
{
    PDEVICE_OBJECT device = watched.load();
    if (device == nullptr || !emu::IsDeviceObjectAlive(device)) {
        return nullptr;
    }
    return ContextOf(device);
}

// The fields are read without the driver's locks: the life is stuck, and a
// value caught in passing is still a clue.
template <typename Field>
LONG Read(const Field& field)
{
    return static_cast<LONG>(*static_cast<const volatile Field*>(&field));
}

std::string Pointer(const void* value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "%p", value);
    return text;
}

// Queued reads, at most a bounded walk in case the list is being changed.
size_t QueuedReads(DeviceContext* context)
{
    constexpr size_t Bound = 256;
    size_t count = 0;
    for (PLIST_ENTRY entry = context->ReadQueue.Flink; entry != nullptr && entry != &context->ReadQueue;
         entry = entry->Flink) {
        if (++count == Bound) {
            break;
        }
    }
    return count;
}

std::vector<std::pair<const char*, const KEVENT*>> Events(DeviceContext* context)
{
    return {{"FinalReleaseEvent", &context->FinalReleaseEvent},
            {"QuiesceEvent", &context->QuiesceEvent},
            {"PowerDrainIdleEvent", &context->PowerDrainIdleEvent},
            {"WakeFollowUpIdleEvent", &context->WakeFollowUpIdleEvent}};
}

}  // namespace

void WatchDevice(PDEVICE_OBJECT device)
{
    watched.store(device);
}

std::string DescribeWatchedDevice()
{
    DeviceContext* context = WatchedContext();
    if (context == nullptr) {
        return {};
    }
    std::string text = "device " + Pointer(watched.load()) + ": PnpState " + PnpStateName(Read(context->PnpState)) +
                       " (previous " + PnpStateName(Read(context->PreviousPnpState)) + "), D" +
                       std::to_string(Read(context->CurrentDevicePower) - 1) + ", S" +
                       std::to_string(Read(context->CurrentSystemPower) - 1) + "\n";
    text += "  IoRefCount " + std::to_string(Read(context->IoRefCount)) + ", PowerDrainCount " +
            std::to_string(Read(context->PowerDrainCount)) + ", SystemPowerWaiting " +
            std::to_string(Read(context->SystemPowerWaiting)) + ", WakeFollowUpCount " +
            std::to_string(Read(context->WakeFollowUpCount)) + ", WakeOutstanding " +
            std::to_string(Read(context->WakeOutstanding)) + ", WakeIrp " + Pointer(context->WakeIrp) + "\n";
    text += "  reads: ActiveRead " + Pointer(context->ActiveRead) + ", BusReadPipe " +
            Pointer(context->BusReadPipe) + ", BusReadsHeld " + std::to_string(Read(context->BusReadsHeld)) +
            ", queued " + std::to_string(QueuedReads(context)) + ", ReceiveCount " +
            std::to_string(Read(context->ReceiveCount)) + "\n";
    for (const auto& [name, event] : Events(context)) {
        text += "  " + std::string(name) + " " + Pointer(event) + " signalled " +
                std::to_string(event->Header.SignalState) + "\n";
    }
    return text;
}

std::string NameDeviceEvents(std::string blocked)
{
    DeviceContext* context = WatchedContext();
    if (context == nullptr) {
        return blocked;
    }
    for (const auto& [name, event] : Events(context)) {
        const std::string address = "event " + Pointer(event);
        for (size_t at = blocked.find(address); at != std::string::npos; at = blocked.find(address, at)) {
            const std::string named = std::string(name) + " (" + Pointer(event) + ")";
            blocked.replace(at, address.size(), named);
            at += named.size();
        }
    }
    return blocked;
}

}  // namespace lives
