#include "tools/pondrel-sim/request_observer.h"

#include "emulator/kernel/system.h"
#include "tools/pondrel-sim/trace_writer.h"

#include <atomic>

namespace sim {
namespace {

// The observer is a plain function, so what it feeds lives here.
std::atomic<TraceWriter*> gTrace{nullptr};
std::atomic<PDRIVER_OBJECT> gDriver{nullptr};
std::atomic<PDRIVER_OBJECT> gFilter{nullptr};  // --lower-filter: counted when it passes them on
std::atomic<uint64_t> gTotal{0};
std::atomic<uint64_t> gPnp{0};
std::atomic<uint64_t> gPower{0};
std::atomic<uint64_t> gIo{0};
std::atomic<uint64_t> gBus{0};

void Count(PIRP irp, PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = gDriver.load();
    if (!driver || !device)
        return;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (device->DriverObject != driver) {
        if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && device->DriverObject != gFilter.load())
            ++gBus;
        return;
    }
    ++gTotal;
    if (major == IRP_MJ_PNP)
        ++gPnp;
    else if (major == IRP_MJ_POWER)
        ++gPower;
    else
        ++gIo;
}

void Observe(emu::observe::Point point, const void* object, PDEVICE_OBJECT device)
{
    using emu::observe::Point;
    auto* irp = static_cast<PIRP>(const_cast<void*>(object));
    TraceWriter* trace = gTrace.load();
    switch (point) {
    case Point::CallDriver:
        Count(irp, device);
        if (trace)
            trace->OnCall(irp, device);
        return;
    case Point::LevelCompleted:
        if (trace)
            trace->OnLevelCompleted(irp, device);
        return;
    case Point::WorkItemStart:
    case Point::WorkItemEnd:
        if (trace)
            trace->OnWorkItem(point == Point::WorkItemStart, object, device);
        return;
    }
}

}  // namespace

void StartObserving(TraceWriter* trace)
{
    gTrace = trace;
    gDriver = nullptr;
    gTotal = gPnp = gPower = gIo = gBus = 0;
    emu::observe::SetObserver(Observe);
}

void SetObservedDriver(PDRIVER_OBJECT driver)
{
    gDriver = driver;
}

void SetFilterDriver(PDRIVER_OBJECT filter)
{
    gFilter = filter;
}

DriverRequests CountedRequests()
{
    return {gTotal.load(), gPnp.load(), gPower.load(), gIo.load(), gBus.load()};
}

void StopObserving()
{
    emu::observe::SetObserver(nullptr);
    gTrace = nullptr;
    gDriver = nullptr;
    gFilter = nullptr;
}

}  // namespace sim
