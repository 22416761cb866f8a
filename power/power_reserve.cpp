#include "power/power_reserve.h"

#include "driver/pool.h"
#include "power/power_drain.h"
#include "power/system_power.h"

NTSTATUS ReservePowerResources(PDEVICE_OBJECT DeviceObject)
{
    DeviceContext* context = ContextOf(DeviceObject);
    context->ReservedSystemPower = static_cast<SystemPowerContext*>(AllocateFromPool(sizeof(SystemPowerContext)));
    context->ReservedDrain = static_cast<PowerDrainContext*>(AllocateFromPool(sizeof(PowerDrainContext)));
    context->WakeArmWorkItem = IoAllocateWorkItem(DeviceObject);
    if (context->ReservedDrain != nullptr) {
        context->ReservedDrain->Reserved = true;
        context->ReservedDrain->WorkItem = IoAllocateWorkItem(DeviceObject);
    }
    if (context->ReservedSystemPower == nullptr || context->ReservedDrain == nullptr ||
        context->ReservedDrain->WorkItem == nullptr || context->WakeArmWorkItem == nullptr) {
        ReleasePowerResources(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->ReservedSystemPower->Reserved = true;
    return STATUS_SUCCESS;
}

void ReleasePowerResources(DeviceContext* Context)
{
    if (Context->ReservedSystemPower != nullptr) {
        ExFreePool(Context->ReservedSystemPower);
        Context->ReservedSystemPower = nullptr;
    }
    if (Context->ReservedDrain != nullptr) {
        if (Context->ReservedDrain->WorkItem != nullptr) {
            IoFreeWorkItem(Context->ReservedDrain->WorkItem);
        }
        ExFreePool(Context->ReservedDrain);
        Context->ReservedDrain = nullptr;
    }
    if (Context->WakeArmWorkItem != nullptr) {
        IoFreeWorkItem(Context->WakeArmWorkItem);
        Context->WakeArmWorkItem = nullptr;
    }
}

SystemPowerContext* TakeReservedSystemPower(DeviceContext* Context)
{
    return static_cast<SystemPowerContext*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->ReservedSystemPower), nullptr));
}

PowerDrainContext* TakeReservedDrain(DeviceContext* Context)
{
    return static_cast<PowerDrainContext*>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->ReservedDrain), nullptr));
}

void GiveBackSystemPower(DeviceContext* Context, SystemPowerContext* Record)
{
    if (Record->Reserved) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->ReservedSystemPower), Record);
        return;
    }
    ExFreePool(Record);
}

void GiveBackDrain(DeviceContext* Context, PowerDrainContext* Record)
{
    if (Record->Reserved) {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->ReservedDrain), Record);
        return;
    }
    IoFreeWorkItem(Record->WorkItem);
    ExFreePool(Record);
}
