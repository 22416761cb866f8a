// The emulated kernel's life within one test: a clean start (no objects,
// no pool, no findings, no faults, the worker thread running) and a
// shutdown that stops the worker and releases everything left.
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

namespace emu {
namespace {

void ReleaseEverything()
{
    kernel::StopKeptMonitor();
    kernel::ReportKeptAtEnd(nullptr, "at shutdown");
    kernel::StopWorker();
    kernel::ResetMdls();
    kernel::ResetIrps();
    kernel::ResetInterfaces();
    kernel::ResetNames();
    kernel::ResetFileObjects();
    kernel::ResetDevices();
    kernel::ResetDrivers();
    kernel::ResetPool();
    kernel::ResetWaiters();
    kernel::ResetStackEvents();
    kernel::ResetThreads();
    faults::Clear();
}

// The calling thread starts at PASSIVE_LEVEL, holding nothing, in no driver.
void ResetCallingThread()
{
    auto& self = kernel::CurrentThread();
    self.held.clear();
    self.drivers.clear();
    self.scopes.clear();
    self.irql = PASSIVE_LEVEL;
}

}  // namespace

void KernelStartup()
{
    ReleaseEverything();
    ResetCallingThread();
    verifier::Clear();
    kernel::StartWorker();
    kernel::StartKeptMonitor();
}

void KernelShutdown()
{
    ReleaseEverything();
    ResetCallingThread();
}

}  // namespace emu
