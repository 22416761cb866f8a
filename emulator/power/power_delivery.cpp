// How a power request reaches a device object: PoCallDriver and
// PoStartNextPowerIrp. In the legacy model a device object handles one
// system and one device SET/QUERY request at a time; the next one of the
// same kind waits until the driver calls PoStartNextPowerIrp for the one it
// has. A pageable device object gets its requests at PASSIVE_LEVEL even when
// they are passed on from DISPATCH_LEVEL.
#include "emulator/power/power_internal.h"

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace emu::power::detail {
namespace {

enum Kind : int { SystemKind = 0, DeviceKind = 1 };

struct Slot {
    PIRP active = nullptr;       // the request the device object is handling
    std::deque<PIRP> waiting;    // held for their turn, passed through the relay
};

struct DeliveryState {
    std::mutex mutex;
    std::map<std::pair<PDEVICE_OBJECT, int>, Slot> slots;
    std::set<std::pair<PIRP, PDEVICE_OBJECT>> startedNext;  // PoStartNextPowerIrp called
    std::set<std::pair<PIRP, PDEVICE_OBJECT>> delivered;    // reached through PoCallDriver
};

DeliveryState& State()
{
    static DeliveryState state;
    return state;
}

std::optional<int> SerializedKind(PIO_STACK_LOCATION location)
{
    if (location->MajorFunction != IRP_MJ_POWER) {
        return std::nullopt;
    }
    if (location->MinorFunction != IRP_MN_SET_POWER && location->MinorFunction != IRP_MN_QUERY_POWER) {
        return std::nullopt;
    }
    // A driver may pass any 32-bit value in the type; read it as the number it is.
    int32_t type = 0;
    std::memcpy(&type, &location->Parameters.Power.Type, sizeof(type));
    return type == SystemPowerState ? SystemKind : DeviceKind;
}

std::string Describe(PDEVICE_OBJECT device, PIRP irp)
{
    char text[96];
    std::snprintf(text, sizeof(text), "device %p, IRP %p", static_cast<void*>(device), static_cast<void*>(irp));
    return text;
}

PIO_STACK_LOCATION LocationAt(PIRP irp, int location)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

thread_local int deliveringSetOrQuery = 0;

// Counts, for the calling thread, a SET or QUERY request it is handing to
// a dispatch routine.
template <typename Call>
NTSTATUS Delivering(PIRP irp, Call call)
{
    const bool counted = SerializedKind(irp->Tail.Overlay.CurrentStackLocation - 1).has_value();
    deliveringSetOrQuery += counted ? 1 : 0;
    const NTSTATUS status = call();
    deliveringSetOrQuery -= counted ? 1 : 0;
    return status;
}

// Hands a held request to `device` from the power manager's thread, at
// the level the device object's flags ask for.
void DeliverNow(PDEVICE_OBJECT device, PIRP irp)
{
    ScopedIrql at((device->Flags & DO_POWER_PAGABLE) != 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    Delivering(irp, [&] { return HandOnHeldRequest(device, irp); });
}

NTSTATUS DeliverLater(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status = PendThroughRelay(irp);
    Worker().Post([device, irp] { DeliverNow(device, irp); });
    return status;
}

// The slot's request is done with this device object: the next waiting one
// gets its turn. Called with the state's mutex held.
void PassTurn(PDEVICE_OBJECT device, Slot& slot)
{
    slot.active = nullptr;
    if (slot.waiting.empty()) {
        return;
    }
    PIRP next = slot.waiting.front();
    slot.waiting.pop_front();
    slot.active = next;
    Worker().Post([device, next] { DeliverNow(device, next); });
}

void CheckPassedWithPoCallDriver(DeliveryState& state, PIRP irp)
{
    for (int location = 1; location < irp->StackCount; ++location) {
        PIO_STACK_LOCATION stack = LocationAt(irp, location);
        if (stack->DeviceObject == nullptr || stack->MajorFunction != IRP_MJ_POWER) {
            continue;
        }
        if (state.delivered.count({irp, stack->DeviceObject}) == 0) {
            verifier::Report("Power request passed on with IoCallDriver instead of PoCallDriver", "IofCallDriver",
                             Describe(stack->DeviceObject, irp));
        }
    }
}

template <typename Set>
void EraseIrp(Set& set, PIRP irp)
{
    auto it = set.lower_bound({irp, nullptr});
    while (it != set.end() && it->first == irp) {
        it = set.erase(it);
    }
}

}  // namespace

NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp)
{
    auto kind = SerializedKind(irp->Tail.Overlay.CurrentStackLocation - 1);
    bool pageableFromRaisedIrql = (device->Flags & DO_POWER_PAGABLE) != 0 && CurrentIrql() > PASSIVE_LEVEL;
    if (Legacy()) {
        DeliveryState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.delivered.insert({irp, device});
        if (kind) {
            Slot& slot = state.slots[{device, *kind}];
            if (slot.active != nullptr) {
                // Under the lock, so that no PoStartNextPowerIrp hands the
                // request on before the relay has given it back.
                slot.waiting.push_back(irp);
                return PendThroughRelay(irp);
            }
            slot.active = irp;
        }
    }
    if (pageableFromRaisedIrql) {
        return DeliverLater(device, irp);
    }
    return Delivering(irp, [&] { return IofCallDriver(device, irp); });
}

bool DeliveringOnThisThread()
{
    return deliveringSetOrQuery > 0;
}

void RequestFinished(PIRP irp)
{
    if (!Legacy()) {
        return;
    }
    DeliveryState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto& [key, slot] : state.slots) {
        if (slot.active == irp) {
            verifier::Report("PoStartNextPowerIrp was not called for a power request", "PoStartNextPowerIrp",
                             Describe(key.first, irp));
            PassTurn(key.first, slot);
        }
    }
    CheckPassedWithPoCallDriver(state, irp);
    EraseIrp(state.startedNext, irp);
    EraseIrp(state.delivered, irp);
}

size_t ResetDelivery()
{
    DeliveryState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    size_t waiting = 0;
    for (auto& [key, slot] : state.slots) {
        waiting += slot.waiting.size();
    }
    state.slots.clear();
    state.startedNext.clear();
    state.delivered.clear();
    return waiting;
}

}  // namespace emu::power::detail

using namespace emu;
using namespace emu::power::detail;

// Passes a power request to the next-lower driver. Up to DISPATCH_LEVEL.
// Returns the lower driver's status, or STATUS_PENDING when the request is
// held for its turn or for PASSIVE_LEVEL; the request is the lower
// drivers' in every case.
extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    verifier::CheckCallOut("PoCallDriver", DISPATCH_LEVEL);
    if (!CheckLocationToHandOver(Irp, "PoCallDriver")) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((Irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction != IRP_MJ_POWER) {
        verifier::Report("PoCallDriver with a request that is not a power request", "PoCallDriver",
                         Describe(DeviceObject, Irp));
    }
    return Deliver(DeviceObject, Irp);
}

// Tells the power manager that the calling driver's device object may get
// the next request of this kind. Up to DISPATCH_LEVEL, while the current
// stack location is still the caller's.
extern "C" void NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    CountStartNextCall();
    if (CurrentIrql() > DISPATCH_LEVEL) {
        verifier::Report("IRQL too high for the routine", "PoStartNextPowerIrp");
    }
    if (!Legacy()) {
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        verifier::Report("PoStartNextPowerIrp on a request in which the caller has no stack location",
                         "PoStartNextPowerIrp", Describe(nullptr, Irp));
        return;
    }
    PIO_STACK_LOCATION current = Irp->Tail.Overlay.CurrentStackLocation;
    auto kind = SerializedKind(current);
    if (!kind) {
        return;  // wait-wake and power-sequence requests take no turn
    }
    DeliveryState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.startedNext.insert({Irp, current->DeviceObject}).second) {
        verifier::Report("PoStartNextPowerIrp called twice for one power request", "PoStartNextPowerIrp",
                         Describe(current->DeviceObject, Irp));
        return;
    }
    Slot& slot = state.slots[{current->DeviceObject, *kind}];
    if (slot.active != Irp && state.delivered.count({Irp, current->DeviceObject}) == 0) {
        return;  // reached through IoCallDriver: reported when the request comes back
    }
    if (slot.active != Irp) {
        verifier::Report("PoStartNextPowerIrp for a power request the device object is not handling",
                         "PoStartNextPowerIrp", Describe(current->DeviceObject, Irp));
        return;
    }
    PassTurn(current->DeviceObject, slot);
}
