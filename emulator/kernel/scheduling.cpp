// The scheduling hook and the observer: the two places every interlocked
// operation, lock, event and request step passes, for a deterministic
// scheduler and for pondrel-sim's trace.
#include "emulator/kernel/system.h"
#include "emulator/kernel/observe_internal.h"

#include <atomic>

namespace emu::sched {
namespace {
std::atomic<Hook> hook{nullptr};
std::atomic<Controller*> controller{nullptr};
}

void SetHook(Hook newHook)
{
    hook = newHook;
}

void At(Point point, const void* object)
{
    if (Hook current = hook.load()) {
        current(point, object);
    }
    if (Controller* current = controller.load()) {
        current->At(point, object);
    }
}

void SetController(Controller* newController)
{
    controller = newController;
}

void Posted(const void* queue)
{
    if (Controller* current = controller.load()) {
        current->Posted(queue);
    }
}

void Enter(const void* queue)
{
    if (Controller* current = controller.load()) {
        current->Enter(queue);
    }
}

void Leave(const void* queue)
{
    if (Controller* current = controller.load()) {
        current->Leave(queue);
    }
}

void Blocking(const void* object)
{
    if (Controller* current = controller.load()) {
        current->Blocking(object);
    }
}

void Unblocked()
{
    if (Controller* current = controller.load()) {
        current->Unblocked();
    }
}

}  // namespace emu::sched

namespace emu::observe {
namespace {
std::atomic<Observer> observer{nullptr};
}

void SetObserver(Observer newObserver)
{
    observer = newObserver;
}

// Internal: called by the IRP and work-item code.
void Notify(Point point, const void* object, PDEVICE_OBJECT device)
{
    if (Observer current = observer.load()) {
        current(point, object, device);
    }
}

}  // namespace emu::observe

extern "C" void EmuSchedInterlocked(volatile const void* Target)
{
    emu::sched::At(emu::sched::Point::Interlocked, const_cast<const void*>(Target));
}
