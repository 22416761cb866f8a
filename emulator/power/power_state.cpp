// The power manager's own state inside one machine: its system thread, the
// delivery model, its counters, and the power states drivers report with
// PoSetPowerState.
#include "emulator/power/power_internal.h"
#include "emulator/power/power_manager.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace emu::power {
namespace {

struct ManagerState {
    std::mutex mutex;
    std::unique_ptr<SystemWorker> worker;  // guarded by mutex
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> reported;  // guarded by mutex
    std::atomic<bool> legacy{false};
    std::atomic<bool> addressOnReturn{false};
    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> startNextCalls{0};
};

ManagerState& State()
{
    static ManagerState state;
    return state;
}

POWER_STATE InitialState(POWER_STATE_TYPE type)
{
    POWER_STATE state;
    if (type == SystemPowerState) {
        state.SystemState = PowerSystemWorking;
    } else {
        state.DeviceState = PowerDeviceD0;
    }
    return state;
}

}  // namespace

void Startup()
{
    ManagerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.worker = std::make_unique<SystemWorker>("power manager");
    detail::ForgetRelay();
    detail::CreateRelay();
    state.reported.clear();
    state.legacy = false;
    state.addressOnReturn = false;
    state.started = 0;
    state.startNextCalls = 0;
}

void Shutdown()
{
    ManagerState& state = State();
    std::unique_ptr<SystemWorker> worker;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        worker = std::move(state.worker);
    }
    detail::WaitForRequests(std::chrono::seconds(5));
    if (worker) {
        worker->WaitIdle(std::chrono::seconds(20));
        worker.reset();
    }
    detail::DeleteRelay();
    size_t waiting = detail::ResetDelivery();
    uint64_t outstanding = detail::OutstandingRequests();
    detail::ResetRequests();
    if (waiting != 0 || outstanding != 0) {
        verifier::Report("Power requests still outstanding when the machine stopped", "PowerManager",
                         std::to_string(outstanding) + " outstanding, " + std::to_string(waiting) +
                             " waiting for delivery");
    }
}

void SetLegacySerialization(bool legacy)
{
    State().legacy = legacy;
}

void SetIrpAddressStoredOnReturn(bool onReturn)
{
    State().addressOnReturn = onReturn;
}

bool WaitForRequests(std::chrono::milliseconds timeout)
{
    return detail::WaitForRequests(timeout);
}

bool LegacySerialization()
{
    return State().legacy;
}

uint64_t RequestsStarted()
{
    return State().started;
}

uint64_t StartNextPowerIrpCalls()
{
    return State().startNextCalls;
}

DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device)
{
    ManagerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.reported.find({device, DevicePowerState});
    return it == state.reported.end() ? PowerDeviceD0 : it->second.DeviceState;
}

void ForgetDevice(PDEVICE_OBJECT device)
{
    ManagerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.reported.erase({device, DevicePowerState});
    state.reported.erase({device, SystemPowerState});
}

POWER_STATE RecordReportedState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE newState)
{
    ManagerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto [it, inserted] = state.reported.try_emplace({device, type}, InitialState(type));
    POWER_STATE previous = it->second;
    it->second = newState;
    return previous;
}

}  // namespace emu::power

namespace emu::power::detail {

SystemWorker& Worker()
{
    ManagerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.worker) {
        state.worker = std::make_unique<SystemWorker>("power manager");
    }
    return *state.worker;
}

bool Legacy()
{
    return State().legacy;
}

bool IrpAddressStoredOnReturn()
{
    return State().addressOnReturn;
}

void CountRequestStarted()
{
    ++State().started;
}

void CountStartNextCall()
{
    ++State().startNextCalls;
}

}  // namespace emu::power::detail

using namespace emu;

// Records the power state the driver has put its device in and returns the
// one recorded before. Up to APC_LEVEL, or DISPATCH_LEVEL when entering D0.
extern "C" POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    bool enteringD0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
    KIRQL limit = enteringD0 ? DISPATCH_LEVEL : APC_LEVEL;
    if (CurrentIrql() > limit) {
        verifier::Report("PoSetPowerState above its IRQL", "PoSetPowerState",
                         "IRQL " + std::to_string(static_cast<int>(CurrentIrql())));
    }
    return power::RecordReportedState(DeviceObject, Type, State);
}
