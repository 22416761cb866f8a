#include "tools/explore/search.h"

#include "driver/device_context.h"
#include "driver/entry_points.h"
#include "emulator/loader/driver_image.h"
#include "tools/stress/request_rules.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <thread>

#include <unistd.h>

namespace interleavings {
namespace {

using namespace std::chrono_literals;

constexpr int PreemptionBound = 2;
constexpr auto SettleLimit = 5s;
constexpr auto ConditionLimit = 5s;
// A search stops after this many failing runs: each may have waited out its
// limits, and the first ones say what there is to say.
constexpr uint64_t FindingsToStop = 3;

// A run that crashes the process (the driver touching what a racing request
// freed) prints the choices it made before the process goes down, so that
// the crash replays like any other finding; the handlers found before (a
// sanitizer's) then take the signal. The handler only writes: the command
// line around the choices is made beforehand.
class CrashReport {
public:
    CrashReport(const Explorer& explorer, const SearchOptions& options) : explorer_(explorer)
    {
        static constexpr std::string_view Marker = "TRAIL";
        const std::string line = options.replayLine ? options.replayLine(std::string(Marker)) : std::string(Marker);
        const size_t at = line.find(Marker);
        before_ = "\n  replay: " + line.substr(0, at);
        after_ = (at == std::string::npos ? std::string() : line.substr(at + Marker.size())) + "\n";
        active_ = this;
        struct sigaction action {};
        action.sa_handler = &CrashReport::OnSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < Signals.size(); ++i) {
            sigaction(Signals[i].number, &action, &previous_[i]);
        }
    }
    ~CrashReport()
    {
        for (size_t i = 0; i < Signals.size(); ++i) {
            sigaction(Signals[i].number, &previous_[i], nullptr);
        }
        active_ = nullptr;
    }
    CrashReport(const CrashReport&) = delete;
    CrashReport& operator=(const CrashReport&) = delete;

private:
    struct Signal {
        int number;
        std::string_view name;
    };
    static constexpr std::array<Signal, 4> Signals{{{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"}}};

    static void Say(std::string_view text) { (void)!write(STDERR_FILENO, text.data(), text.size()); }

    static void OnSignal(int number)
    {
        CrashReport* self = active_;
        if (self == nullptr) {
            return;
        }
        active_ = nullptr;
        char trail[4096];
        const size_t length = self->explorer_.WriteTrail(trail, sizeof(trail));
        Say("finding: a run crashed with ");
        for (size_t i = 0; i < Signals.size(); ++i) {
            if (Signals[i].number == number) {
                Say(Signals[i].name);
            }
            sigaction(Signals[i].number, &self->previous_[i], nullptr);
        }
        Say(self->before_);
        Say(std::string_view(trail, length));
        Say(self->after_);
    }

    static inline CrashReport* volatile active_ = nullptr;
    const Explorer& explorer_;
    std::string before_;
    std::string after_;
    std::array<struct sigaction, Signals.size()> previous_{};
};

}  // namespace

Bench::Bench(const emu::usb::DeviceModel& model)
    : pipes_(lives::MapDevice(model)), machine_(std::make_unique<emu::Machine>(emu::MachineOptions{.device = model}))
{
    device_ = &machine_->Device();
    const NTSTATUS started = machine_->BringUp(emu::loader::DriverEntryFor(DriverEntry));
    if (started != STATUS_SUCCESS) {
        Problem("bring-up ended with " + lives::StatusName(started));
    }
}

Bench::~Bench() = default;

DeviceContext* Bench::Context()
{
    PDEVICE_OBJECT fdo = machine_->pnp().FunctionDevice();
    return fdo != nullptr && emu::IsDeviceObjectAlive(fdo) ? ContextOf(fdo) : nullptr;
}

Scheduler& Bench::scheduler()
{
    return SharedScheduler();
}

emu::Handle Bench::Open(int pipe)
{
    const std::string path = lives::PipePath(pipe);
    emu::Handle handle = 0;
    const NTSTATUS status = machine_->app().Open(std::string_view(path), &handle);
    if (status != STATUS_SUCCESS) {
        Problem("open ended with " + lives::StatusName(status));
        return 0;
    }
    handles_.push_back(handle);
    return handle;
}

void Bench::CloseAll()
{
    for (emu::Handle handle : handles_) {
        machine_->app().Close(handle);
    }
    handles_.clear();
    if (!machine_->app().WaitUntilAllClosed(ConditionLimit)) {
        Problem("handles still open after close");
    }
}

void Bench::Problem(std::string text)
{
    problems_.push_back(std::move(text));
}

void Bench::ExpectIdleReferences()
{
    DeviceContext* context = Context();
    if (context == nullptr) {
        return;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5LL * 1000 * 1000 * 10;  // 5 s
    const NTSTATUS waited = KeWaitForSingleObject(&context->QuiesceEvent, Executive, KernelMode, FALSE, &timeout);
    const LONG count = InterlockedCompareExchange(&context->IoRefCount, 0, 0);
    if (waited != STATUS_SUCCESS || count != 1) {
        Problem("IoRefCount " + std::to_string(count) + " with nothing in flight");
    }
}

void Bench::TearDown()
{
    CloseAll();
    if (Context() != nullptr && machine_->pnp().Life() != emu::DeviceLife::Removed) {
        const NTSTATUS removed = machine_->pnp().Remove();
        if (removed != STATUS_SUCCESS) {
            Problem("removal ended with " + lives::StatusName(removed));
        }
    }
    if (machine_->Driver() != nullptr) {
        machine_->UnloadDriver();
    }
    if (const uint64_t blocks = emu::pool::LiveBlocks(PondrelPoolTag); blocks != 0) {
        Problem(std::to_string(blocks) + " pool blocks of the driver left after unload");
    }
    if (const uint64_t irps = emu::LiveIrps(); irps != 0) {
        Problem(std::to_string(irps) + " requests left after unload");
    }
    for (const auto& finding : machine_->Findings()) {
        Problem("verifier: " + finding.rule + " in " + finding.routine + " " + finding.detail);
    }
}

SearchResult Search(const std::function<std::unique_ptr<Scenario>()>& make, const emu::usb::DeviceModel& model,
                    const SearchOptions& options)
{
    SearchResult result;
    Explorer explorer(PreemptionBound);
    const CrashReport crashReport(explorer, options);
    Scheduler& scheduler = SharedScheduler();
    uint64_t runBudget = options.budget;
    const uint64_t depthFirstBudget = std::max<uint64_t>(1, runBudget / 2);
    bool depthFirst = true;
    const uint64_t stallsBefore = scheduler.Stalls();
    const uint64_t lateBefore = scheduler.QuietTimeouts() + scheduler.SettleTimeouts();
    if (!options.replay.empty()) {
        explorer.Replay(options.replay);
        runBudget = 1;
    }

    while (result.runs < runBudget) {
        if (!depthFirst) {
            explorer.Sample(0x5eed0000 + result.runs);
        }
        auto scenario = make();
        Bench bench(model);
        if (bench.Problems().empty()) {
            scenario->SetUp(bench);
        }
        scheduler.Activate(&explorer);
        if (bench.Problems().empty()) {
            scenario->Race(bench);
        }
        scheduler.Finish(SettleLimit);
        if (const std::string stuck = scheduler.Stuck(); !stuck.empty()) {
            bench.Problem(stuck);
        }
        if (bench.Problems().empty()) {
            scenario->Check(bench);
        }
        bench.TearDown();
        result.runs++;
        if (!bench.Problems().empty()) {
            result.findings++;
            for (const auto& problem : bench.Problems()) {
                result.problems.push_back({result.runs, problem, explorer.Trail()});
            }
        }
        if (result.findings >= FindingsToStop) {
            break;
        }
        if (depthFirst) {
            if (!explorer.Advance()) {
                result.exhaustive = true;
                break;
            }
            if (result.runs >= depthFirstBudget) {
                depthFirst = false;
            }
        }
    }
    result.stalls = scheduler.Stalls() - stallsBefore;
    result.late = scheduler.QuietTimeouts() + scheduler.SettleTimeouts() - lateBefore;
    return result;
}

// For states no event announces (a request the bus now holds): checks
// again after letting other threads run, until the deadline.
bool WaitUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + ConditionLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace interleavings
