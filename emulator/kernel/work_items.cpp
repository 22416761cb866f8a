// Work items, run one at a time on the kernel's worker thread at
// PASSIVE_LEVEL. A queued item holds a reference on its device object until
// its routine has returned, which is what keeps a deleted device object
// (and its driver) alive meanwhile.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/observe_internal.h"
#include "emulator/kernel/thread_state.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT owner;  // charged for it at unload
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace emu::kernel {
namespace {

struct Queued {
    PIO_WORKITEM item;
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;  // the device's, taken while the device is surely alive
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
};

std::mutex workMutex;
std::condition_variable workSignal;
std::deque<Queued> queue;                 // guarded by workMutex
std::set<PIO_WORKITEM> items;             // allocated, not freed; guarded by workMutex
std::map<PDRIVER_OBJECT, uint64_t> running;  // routines in progress per driver; guarded
bool stopping = false;
std::thread worker;

// Runs one routine as the system worker thread does, and checks that it
// returns the thread as it found it.
void Run(const Queued& work)
{
    ThreadState& self = CurrentThread();
    observe::Notify(observe::Point::WorkItemStart, work.item, work.device);
    {
        DriverScope scope(work.driver);
        RoutineScope routine("work item routine");
        work.routine(work.device, work.context);
    }
    observe::Notify(observe::Point::WorkItemEnd, work.item, work.device);
    if (self.irql != PASSIVE_LEVEL) {
        verifier::Report("work item returned at raised IRQL", "IoQueueWorkItem", "IRQL " + std::to_string(self.irql));
        SetIrql(PASSIVE_LEVEL);
    }
    if (!self.held.empty()) {
        verifier::Report("work item returned holding a spin lock", "IoQueueWorkItem");
        self.held.clear();
    }
    DereferenceDeviceKernel(work.device);
}

void WorkerLoop()
{
    threads::SetName("system worker");
    for (;;) {
        Queued work;
        {
            std::unique_lock lock(workMutex);
            workSignal.wait(lock, [] { return stopping || !queue.empty(); });
            if (queue.empty()) {
                return;
            }
            work = queue.front();
            queue.pop_front();
            running[work.driver]++;
            if (items.count(work.item) != 0) {
                work.item->queued = false;
            }
        }
        sched::Enter(&queue);
        Run(work);
        sched::Leave(&queue);
        {
            std::lock_guard lock(workMutex);
            running[work.driver]--;
        }
        workSignal.notify_all();
    }
}

}  // namespace

void StartWorker()
{
    std::lock_guard lock(workMutex);
    stopping = false;
    worker = std::thread(WorkerLoop);
}

void StopWorker()
{
    {
        std::lock_guard lock(workMutex);
        if (!worker.joinable()) {
            return;
        }
        stopping = true;
        queue.clear();
    }
    workSignal.notify_all();
    worker.join();
    std::lock_guard lock(workMutex);
    for (PIO_WORKITEM item : items) {
        delete item;
    }
    items.clear();
    running.clear();
}

bool WaitForDriverWork(PDRIVER_OBJECT driver, std::chrono::milliseconds limit)
{
    std::unique_lock lock(workMutex);
    return workSignal.wait_for(lock, limit, [driver] {
        if (running[driver] != 0) {
            return false;
        }
        for (const auto& work : queue) {
            if (work.driver == driver) {
                return false;
            }
        }
        return true;
    });
}

void ReportWorkItemLeaks(PDRIVER_OBJECT driver)
{
    uint64_t queued = 0;
    uint64_t notFreed = 0;
    uint64_t inProgress = 0;
    {
        std::lock_guard lock(workMutex);
        for (PIO_WORKITEM item : items) {
            if (item->owner == driver) {
                ++notFreed;
                queued += item->queued ? 1 : 0;
            }
        }
        inProgress = running[driver];
    }
    if (queued != 0 || inProgress != 0) {
        verifier::Report("work item outstanding at unload", "DriverUnload",
                         std::to_string(queued) + " queued, " + std::to_string(inProgress) + " running");
    }
    if (notFreed != queued) {
        verifier::Report("work item outstanding at unload", "DriverUnload",
                         std::to_string(notFreed - queued) + " allocated and never freed");
    }
}

}  // namespace emu::kernel

using namespace emu::kernel;

extern "C" {

// <= DISPATCH_LEVEL. Null when resources are short.
PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!IsLiveDevice(DeviceObject)) {
        emu::verifier::Report("work item for an invalid device object", "IoAllocateWorkItem", Hex(DeviceObject));
        return nullptr;
    }
    if (emu::faults::ShouldFailCall()) {
        return nullptr;
    }
    auto item = new _IO_WORKITEM{DeviceObject, ChargedDriver(), nullptr, nullptr, false};
    std::lock_guard lock(workMutex);
    items.insert(item);
    return item;
}

// <= DISPATCH_LEVEL. The routine runs later at PASSIVE_LEVEL on the worker
// thread; the device object stays referenced until it has returned.
void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (QueueType != DelayedWorkQueue && QueueType != CriticalWorkQueue && QueueType != HyperCriticalWorkQueue) {
        emu::verifier::Report("unknown work queue type", "IoQueueWorkItem", std::to_string(int(QueueType)));
        return;
    }
    {
        std::lock_guard lock(workMutex);
        if (items.count(IoWorkItem) == 0) {
            emu::verifier::Report("IoQueueWorkItem of an item that is not allocated", "IoQueueWorkItem",
                                  Hex(IoWorkItem));
            return;
        }
        if (IoWorkItem->queued) {
            emu::verifier::Report("work item queued twice", "IoQueueWorkItem", Hex(IoWorkItem));
            return;
        }
        if (!worker.joinable()) {
            emu::verifier::Report("work item queued with no worker thread", "IoQueueWorkItem",
                                  "the kernel is not started");
            return;
        }
        IoWorkItem->queued = true;
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
    }
    ReferenceDeviceKernel(IoWorkItem->device);
    emu::sched::Posted(&queue);
    {
        std::lock_guard lock(workMutex);
        queue.push_back({IoWorkItem, IoWorkItem->device, IoWorkItem->device->DriverObject, WorkerRoutine, Context});
    }
    workSignal.notify_all();
}

// <= DISPATCH_LEVEL; never while the item is queued (inside its own routine
// is fine: it is no longer queued then).
void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    std::lock_guard lock(workMutex);
    if (items.count(IoWorkItem) == 0) {
        emu::verifier::Report("IoFreeWorkItem of an item that is not allocated", "IoFreeWorkItem", Hex(IoWorkItem));
        return;
    }
    if (IoWorkItem->queued) {
        emu::verifier::Report("work item freed while queued", "IoFreeWorkItem", Hex(IoWorkItem));
        return;
    }
    items.erase(IoWorkItem);
    delete IoWorkItem;
}

}  // extern "C"
