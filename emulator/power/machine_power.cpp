// The machine's side of power management: system sleep and resume as the
// power manager sequences them, and single requests for tests.
#include "emulator/power/machine_power.h"

#include "emulator/power/power_manager.h"

#include <mutex>

namespace emu::power {
namespace {

constexpr auto WaitLimit = std::chrono::seconds(20);

class MachinePower final : public Power {
public:
    explicit MachinePower(std::function<PDEVICE_OBJECT()> pdo) : pdo_(std::move(pdo)) {}

    // Query first; a refused query is followed by a SET for the state the
    // system stays in, as Windows does.
    NTSTATUS Sleep(SYSTEM_POWER_STATE state) override
    {
        if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) {
            return STATUS_INVALID_PARAMETER;
        }
        POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
        NTSTATUS status = SendSystemPower(IRP_MN_QUERY_POWER, state, action);
        if (!NT_SUCCESS(status)) {
            SendSystemPower(IRP_MN_SET_POWER, SystemState(), PowerActionNone);
            return status;
        }
        return SendSystemPower(IRP_MN_SET_POWER, state, action);
    }

    NTSTATUS Resume() override
    {
        return SendSystemPower(IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
    }

    // One system SET at a time, system-wide.
    NTSTATUS SendSystemPower(UCHAR minor, SYSTEM_POWER_STATE state, POWER_ACTION action) override
    {
        PDEVICE_OBJECT pdo = pdo_();
        if (pdo == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        std::lock_guard<std::mutex> lock(systemSet_);
        POWER_STATE powerState;
        powerState.SystemState = state;
        NTSTATUS status = SendAndWait(pdo, minor, SystemPowerState, powerState, action, WaitLimit);
        if (minor == IRP_MN_SET_POWER) {
            std::lock_guard<std::mutex> stateLock(stateMutex_);
            systemState_ = state;
        }
        return status;
    }

    NTSTATUS SendDevicePower(UCHAR minor, DEVICE_POWER_STATE state) override
    {
        PDEVICE_OBJECT pdo = pdo_();
        if (pdo == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        POWER_STATE powerState;
        powerState.DeviceState = state;
        return SendAndWait(pdo, minor, DevicePowerState, powerState, PowerActionNone, WaitLimit);
    }

    uint64_t PowerIrpsStarted() override { return RequestsStarted(); }
    uint64_t StartNextPowerIrpCalls() override { return power::StartNextPowerIrpCalls(); }
    void SetLegacySerialization(bool legacy) override { power::SetLegacySerialization(legacy); }
    DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) override { return power::ReportedDeviceState(device); }

    SYSTEM_POWER_STATE SystemState() override
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        return systemState_;
    }

private:
    std::function<PDEVICE_OBJECT()> pdo_;
    std::mutex systemSet_;  // one system SET request at a time
    std::mutex stateMutex_;
    SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;  // guarded by stateMutex_
};

}  // namespace

std::unique_ptr<Power> CreateMachinePower(std::function<PDEVICE_OBJECT()> pdo)
{
    return std::make_unique<MachinePower>(std::move(pdo));
}

}  // namespace emu::power
