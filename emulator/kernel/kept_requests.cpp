// Requests a driver keeps by returning STATUS_MORE_PROCESSING_REQUIRED from
// a completion routine. The driver then owes the request an end: complete
// it, pass it on or free it. One that is never ended hangs its sender (the
// usual cause: a completion routine that keeps a request someone waits for
// without signalling the waiter). A monitor thread reports each request
// kept longer than a bound on a monotonic clock, naming it,
// instead of leaving only the hang; unload and the kernel's shutdown report
// the ones still kept.
//
// The bound (default 20 s, PONDREL_KEPT_REQUEST_SECONDS) sits well below
// the tests' hang watchdog (60 s), so the finding comes first, and far above
// what any request is legitimately kept for (a synchronous forward keeps it
// for the waiter's wake-up, a power request for a device power change), so
// a loaded machine does not make it fire.
#include "emulator/kernel/hang_watchdog.h"
#include "emulator/kernel/irp_record.h"
#include "emulator/kernel/kernel_internal.h"

#include <condition_variable>
#include <ctime>
#include <thread>

namespace emu::kernel {
namespace {

constexpr uint64_t UnitsPerMillisecond = 10000;  // interrupt time counts 100 ns

std::mutex monitorMutex;
std::condition_variable monitorChanged;
bool stopping = false;                 // guarded by monitorMutex
std::thread monitor;
std::atomic<int64_t> limitMs{std::chrono::milliseconds(SecondsFromEnvironment("PONDREL_KEPT_REQUEST_SECONDS", 20)).count()};

// Now, in interrupt-time units, on the coarse monotonic clock: every
// completion routine that keeps a request stamps it, so the stamp must be
// cheap, and a resolution of a few milliseconds is far finer than the bound.
uint64_t CoarseNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 * UnitsPerMillisecond + static_cast<uint64_t>(now.tv_nsec) / 100;
}

std::string KeptText(const IrpRecord& record, uint64_t now)
{
    return IrpText(record.irp) + " kept by " + DriverText(record.keptBy) + " for " +
           std::to_string((now - record.keptSince) / UnitsPerMillisecond) + " ms";
}

// Texts of the kept requests that `match` selects, which stop being kept.
// Caller holds IrpMutex().
std::vector<std::string> TakeKept(const std::function<bool(const IrpRecord&)>& match)
{
    const uint64_t now = CoarseNow();
    std::vector<std::string> texts;
    ForEachLiveIrp([&](IrpRecord& record) {
        if (record.keptBy != nullptr && !record.keptReported && match(record)) {
            texts.push_back(KeptText(record, now));
            record.keptReported = true;
        }
    });
    return texts;
}

void ReportAll(const std::vector<std::string>& texts, const char* routine, const std::string& when)
{
    for (const auto& text : texts) {
        verifier::Report("request kept with STATUS_MORE_PROCESSING_REQUIRED and never ended", routine, text + when);
    }
}

void Monitor()
{
    std::unique_lock lock(monitorMutex);
    while (!stopping) {
        const auto limit = std::chrono::milliseconds(limitMs.load());
        monitorChanged.wait_for(lock, std::max(limit / 4, std::chrono::milliseconds(5)));
        const uint64_t now = CoarseNow();
        const uint64_t bound = static_cast<uint64_t>(limit.count()) * UnitsPerMillisecond;
        std::vector<std::string> texts;
        {
            std::lock_guard irps(IrpMutex());
            // A request kept after `now` was read is not overdue (the
            // difference would wrap).
            texts = TakeKept([&](const IrpRecord& record) { return record.keptSince < now && now - record.keptSince > bound; });
        }
        ReportAll(texts, "IofCompleteRequest", "");
    }
}

}  // namespace

void NoteKept(IrpRecord& record, PDRIVER_OBJECT driver)
{
    if (driver == nullptr || IsSystemDriver(driver)) {
        return;
    }
    record.keptBy = driver;
    record.keptSince = CoarseNow();
    record.keptReported = false;
}

void NoteReleased(IrpRecord& record)
{
    record.keptBy = nullptr;
}

void ReportKeptAtEnd(PDRIVER_OBJECT driver, const char* when)
{
    std::vector<std::string> texts;
    {
        std::lock_guard lock(IrpMutex());
        texts = TakeKept([driver](const IrpRecord& record) { return driver == nullptr || record.keptBy == driver; });
    }
    ReportAll(texts, driver != nullptr ? "DriverUnload" : "KernelShutdown", std::string(" ") + when);
}

void StartKeptMonitor()
{
    std::lock_guard lock(monitorMutex);
    stopping = false;
    monitor = std::thread(Monitor);
}

void StopKeptMonitor()
{
    {
        std::lock_guard lock(monitorMutex);
        stopping = true;
    }
    monitorChanged.notify_all();
    if (monitor.joinable()) {
        monitor.join();
    }
}

}  // namespace emu::kernel

namespace emu {

std::chrono::milliseconds SetKeptRequestLimit(std::chrono::milliseconds limit)
{
    const auto previous = std::chrono::milliseconds(kernel::limitMs.exchange(limit.count()));
    kernel::monitorChanged.notify_all();
    return previous;
}

}  // namespace emu
