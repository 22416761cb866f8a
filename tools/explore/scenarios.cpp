#include "tools/explore/scenarios.h"

#include "control/control_codes.h"
#include "driver/device_context.h"
#include "tools/stress/request_rules.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>

namespace interleavings {
namespace {

using namespace std::chrono_literals;
using emu::usb::CompletionMode;

constexpr auto RequestLimit = 5s;

LONG Read(const LONG volatile* field)
{
    return InterlockedCompareExchange(const_cast<LONG volatile*>(field), 0, 0);
}

// Holds the next bulk transfer, waits until the bus has it, and from then on
// lets the bus thread complete transfers again. Returns the held one's id.
uint64_t HoldFirstTransfer(Bench& bench, const std::function<void()>& send)
{
    bench.device().SetCompletionMode(CompletionMode::Held);
    send();
    if (!bench.device().WaitForHeld(1, RequestLimit)) {
        bench.Problem("the bus never received the transfer");
        return 0;
    }
    bench.device().SetCompletionMode(CompletionMode::BusThread);
    return bench.device().Held().front().id;
}

// Waits for an application request and checks that it ended with one of
// `allowed`, and with no byte reported when it failed.
bool ExpectDone(Bench& bench, emu::PendingIo& io, const char* what, const std::set<NTSTATUS>& allowed)
{
    if (!io.WaitFor(RequestLimit)) {
        bench.Problem(std::string(what) + " never completed");
        return false;
    }
    const emu::IoResult result = io.Result();
    if (allowed.count(result.status) == 0) {
        bench.Problem(std::string(what) + " ended with " + lives::StatusName(result.status));
        return false;
    }
    if (!NT_SUCCESS(result.status) && result.information != 0) {
        bench.Problem(std::string(what) + " failed but reported " + std::to_string(result.information) + " bytes");
    }
    return true;
}

// Starts a stopped device again and waits for its requests to drain.
bool RestartAndExpectIdle(Bench& bench)
{
    const NTSTATUS restarted = bench.machine().pnp().Start();
    if (!NT_SUCCESS(restarted)) {
        bench.Problem("restart after the stop ended with " + lives::StatusName(restarted));
        return false;
    }
    bench.ExpectIdleReferences();
    return true;
}

// The callback of a power request the test asks for itself.
struct PowerDone {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_PENDING;

    static void NTAPI Callback(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus)
    {
        auto* self = static_cast<PowerDone*>(context);
        std::lock_guard lock(self->mutex);
        self->status = ioStatus->Status;
        self->finished = true;
        self->done.notify_all();
    }
    bool Wait()
    {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, RequestLimit, [this] { return finished; });
    }
};

// An actor that asks the power manager for a device power request, as the
// driver's own power policy would, and records its outcome in `done`.
void SpawnDevicePowerRequest(Bench& bench, UCHAR minor, DEVICE_POWER_STATE target, PowerDone* done)
{
    bench.scheduler().Spawn("power", [&bench, minor, target, done] {
        POWER_STATE state;
        state.DeviceState = target;
        const NTSTATUS requested =
            PoRequestPowerIrp(bench.device().Pdo(), minor, state, PowerDone::Callback, done, nullptr);
        if (requested != STATUS_PENDING) {
            bench.Problem("PoRequestPowerIrp ended with " + lives::StatusName(requested));
        }
    });
}

// A scenario whose one actor is a query-stop and stop, both of which must
// succeed, racing what the scenario puts against them.
class RacesAStop : public Scenario {
protected:
    // Spawns the stopper; `afterStop` runs on its thread once the stop returns.
    void SpawnStopper(Bench& bench, std::function<void()> afterStop = {})
    {
        bench.scheduler().Spawn("stopper", [&bench, this, afterStop] {
            queryStop_ = bench.machine().pnp().QueryStop();
            stop_ = bench.machine().pnp().Stop();
            if (afterStop) {
                afterStop();
            }
        });
    }
    // False, with the problem reported, unless both succeeded.
    bool Stopped(Bench& bench)
    {
        if (queryStop_ == STATUS_SUCCESS && stop_ == STATUS_SUCCESS) {
            return true;
        }
        bench.Problem("query-stop " + lives::StatusName(queryStop_) + ", stop " + lives::StatusName(stop_));
        return false;
    }

private:
    NTSTATUS queryStop_ = STATUS_PENDING;
    NTSTATUS stop_ = STATUS_PENDING;
};

class WaitWake final : public RacesAStop {
public:
    void SetUp(Bench& bench) override
    {
        if (!WaitUntil([&] { return bench.device().WaitWakePending(); })) {
            bench.Problem("wait-wake was not armed at start");
        }
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("waker", [&bench] { bench.device().SignalWake(); });
        SpawnStopper(bench);
    }
    void Check(Bench& bench) override
    {
        if (!Stopped(bench)) {
            return;
        }
        DeviceContext* context = bench.Context();
        if (bench.device().WaitWakePending() || context->WakeIrp != nullptr || Read(&context->WakeOutstanding) != 0) {
            bench.Problem("a wait-wake request is still armed after the stop");
        }
        const NTSTATUS restarted = bench.machine().pnp().Start();
        if (!NT_SUCCESS(restarted)) {
            bench.Problem("restart after the stop ended with " + lives::StatusName(restarted));
            return;
        }
        if (!WaitUntil([&] { return bench.device().WaitWakePending(); })) {
            bench.Problem("wait-wake was not armed again at the restart");
        }
        bench.ExpectIdleReferences();
    }
};

class DrainAndRead final : public Scenario {
public:
    void SetUp(Bench& bench) override
    {
        in_ = bench.Open(bench.pipes().loopbackIn);
        held_ = HoldFirstTransfer(bench, [&] { read_ = bench.machine().app().ReadAsync(in_, ReadLength); });
    }
    void Race(Bench& bench) override
    {
        SpawnDevicePowerRequest(bench, IRP_MN_SET_POWER, PowerDeviceD3, &power_);
        bench.scheduler().Spawn("bus", [&bench, this] {
            bench.device().ReleaseWith(held_, STATUS_SUCCESS, ReadLength, &data_);
        });
    }
    // The bus may complete the read before the drain holds it back; if the
    // drain wins, the read waits in the queue through D3 and sends a new bus
    // read after the power-up, which the quiet pipe never answers: the
    // application's cancel ends it.
    void Check(Bench& bench) override
    {
        if (!power_.Wait()) {
            bench.Problem("the power-down never completed");
            return;
        }
        if (power_.status != STATUS_SUCCESS) {
            bench.Problem("the power-down ended with " + lives::StatusName(power_.status));
        }
        if (Read(reinterpret_cast<LONG volatile*>(&bench.Context()->CurrentDevicePower)) != PowerDeviceD3) {
            bench.Problem("the device is not in D3 after the power-down");
        }
        bench.ExpectIdleReferences();
        const NTSTATUS up = bench.machine().power().SendDevicePower(IRP_MN_SET_POWER, PowerDeviceD0);
        if (up != STATUS_SUCCESS) {
            bench.Problem("powering up again ended with " + lives::StatusName(up));
        }
        bench.machine().app().CancelAll(in_);
        if (ExpectDone(bench, *read_, "the read", {STATUS_SUCCESS, STATUS_CANCELLED}) &&
            read_->Result().status == STATUS_SUCCESS && read_->Data() != data_) {
            bench.Problem("the read returned other bytes than the device sent");
        }
    }

private:
    static constexpr ULONG ReadLength = 300;
    emu::Handle in_ = 0;
    uint64_t held_ = 0;
    std::unique_ptr<emu::PendingIo> read_;
    const std::vector<uint8_t> data_ = Pattern(ReadLength, 3);
    PowerDone power_;
};

class RemovalAndWrite final : public Scenario {
public:
    void SetUp(Bench& bench) override
    {
        out_ = bench.Open(bench.pipes().loopbackOut);
        held_ = HoldFirstTransfer(bench, [&] { write_ = bench.machine().app().WriteAsync(out_, data_); });
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("pnp", [&bench, this] {
            queryRemove_ = bench.machine().pnp().QueryRemove();
            if (queryRemove_ == STATUS_SUCCESS) {
                remove_ = bench.machine().pnp().Remove();
            }
        });
        bench.scheduler().Spawn("bus", [&bench, this] {
            bench.device().ReleaseWith(held_, STATUS_SUCCESS, FirstChunk);
        });
    }
    void Check(Bench& bench) override
    {
        // The query waits for the write to drain, so the write sees a running
        // device throughout and must succeed whole.
        if (ExpectDone(bench, *write_, "the write", {STATUS_SUCCESS}) &&
            write_->Result().information != data_.size()) {
            bench.Problem("the write reported " + std::to_string(write_->Result().information) + " bytes");
        }
        if (queryRemove_ != STATUS_SUCCESS || remove_ != STATUS_SUCCESS) {
            bench.Problem("query-remove " + lives::StatusName(queryRemove_) + ", remove " + lives::StatusName(remove_));
        }
        if (bench.device().ReceivedOut(bench.pipes().pipes[static_cast<size_t>(bench.pipes().loopbackOut)].address) != data_) {
            bench.Problem("the device did not receive the bytes written, in order");
        }
    }

private:
    static constexpr uint32_t FirstChunk = 768;
    emu::Handle out_ = 0;
    uint64_t held_ = 0;
    std::unique_ptr<emu::PendingIo> write_;
    const std::vector<uint8_t> data_ = Pattern(1000, 4);
    NTSTATUS queryRemove_ = STATUS_PENDING;
    NTSTATUS remove_ = STATUS_PENDING;
};

class TwoReads final : public Scenario {
public:
    void SetUp(Bench& bench) override
    {
        in_ = bench.Open(bench.pipes().loopbackIn);
        held_ = HoldFirstTransfer(bench, [&] { first_ = bench.machine().app().ReadAsync(in_, ReadLength); });
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("reader", [&bench, this] { second_ = bench.machine().app().ReadAsync(in_, ReadLength); });
        bench.scheduler().Spawn("bus", [&bench, this] {
            bench.device().ReleaseWith(held_, STATUS_SUCCESS, static_cast<uint32_t>(sent_.size()), &sent_);
        });
    }
    void Check(Bench& bench) override
    {
        // The first read owns the receive buffer; the second takes the bytes
        // that follow, from the same bus read, in arrival order.
        if (ExpectDone(bench, *first_, "the first read", {STATUS_SUCCESS}) &&
            first_->Data() != std::vector<uint8_t>(sent_.begin(), sent_.begin() + ReadLength)) {
            bench.Problem("the first read did not get the first bytes");
        }
        if (ExpectDone(bench, *second_, "the second read", {STATUS_SUCCESS}) &&
            second_->Data() != std::vector<uint8_t>(sent_.begin() + ReadLength, sent_.begin() + 2 * ReadLength)) {
            bench.Problem("the second read did not get the bytes after the first read's");
        }
        const LONG left = Read(&bench.Context()->ReceiveCount);
        if (left != static_cast<LONG>(sent_.size() - 2 * ReadLength)) {
            bench.Problem("ReceiveCount " + std::to_string(left) + " after both reads");
        }
        bench.ExpectIdleReferences();
    }

private:
    static constexpr ULONG ReadLength = 300;
    emu::Handle in_ = 0;
    uint64_t held_ = 0;
    std::unique_ptr<emu::PendingIo> first_;
    std::unique_ptr<emu::PendingIo> second_;
    const std::vector<uint8_t> sent_ = Pattern(700, 5);
};

// Two reads race for bytes already in the receive buffer, enough for both:
// whichever claims the buffer finishes at once, with no bus read, and hands
// the buffer on to the other if it found it owned and queued itself. The
// owner's path is short, so the depth-first search soon meets the other
// read between its look at the owner and its insertion into the queue (in
// two-reads the owner's bus completion is long and that schedule comes late).
class ReadDuringHandOn final : public Scenario {
public:
    void SetUp(Bench& bench) override
    {
        in_ = bench.Open(bench.pipes().loopbackIn);
        const uint64_t held = HoldFirstTransfer(bench, [&] { first_ = bench.machine().app().ReadAsync(in_, ReadLength); });
        if (held == 0) {
            return;
        }
        bench.device().ReleaseWith(held, STATUS_SUCCESS, static_cast<uint32_t>(sent_.size()), &sent_);
        ExpectDone(bench, *first_, "the read that fills the buffer", {STATUS_SUCCESS});
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("reader-a", [&bench, this] { reads_[0] = bench.machine().app().ReadAsync(in_, ReadLength); });
        bench.scheduler().Spawn("reader-b", [&bench, this] { reads_[1] = bench.machine().app().ReadAsync(in_, ReadLength); });
    }
    void Check(Bench& bench) override
    {
        ExpectNoLostWakeup(bench);
        std::set<std::vector<uint8_t>> got;
        for (auto& read : reads_) {
            if (ExpectDone(bench, *read, "a racing read", {STATUS_SUCCESS})) {
                got.insert(read->Data());
            }
        }
        const std::set<std::vector<uint8_t>> chunks{Chunk(1), Chunk(2)};
        if (got.size() == reads_.size() && got != chunks) {
            bench.Problem("the racing reads did not get the buffered bytes, each its own part");
        }
        if (const LONG left = Read(&bench.Context()->ReceiveCount); left != 0) {
            bench.Problem("ReceiveCount " + std::to_string(left) + " after the buffer was read out");
        }
        bench.ExpectIdleReferences();
    }

private:
    // Once the race has settled, a read in the queue while nobody owns the
    // buffer waits for a hand-on that will never come.
    void ExpectNoLostWakeup(Bench& bench)
    {
        DeviceContext* context = bench.Context();
        KIRQL irql;
        KeAcquireSpinLock(&context->ReadQueueLock, &irql);
        const bool lost = context->ActiveRead == nullptr && !IsListEmpty(&context->ReadQueue);
        KeReleaseSpinLock(&context->ReadQueueLock, irql);
        if (lost) {
            bench.Problem("a read waits in the queue with nobody owning the receive buffer to hand it on");
            bench.machine().app().CancelAll(in_);
        }
    }
    std::vector<uint8_t> Chunk(size_t index) const
    {
        return {sent_.begin() + index * ReadLength, sent_.begin() + (index + 1) * ReadLength};
    }

    static constexpr ULONG ReadLength = 100;
    emu::Handle in_ = 0;
    std::unique_ptr<emu::PendingIo> first_;
    std::array<std::unique_ptr<emu::PendingIo>, 2> reads_;
    const std::vector<uint8_t> sent_ = Pattern(3 * ReadLength, 6);
};

// A device query-power drain and a query-remove both wait for a read in
// flight, which the bus completes meanwhile; the removal follows the query.
class DrainAndQueryThenRemoval final : public Scenario {
public:
    void SetUp(Bench& bench) override
    {
        in_ = bench.Open(bench.pipes().loopbackIn);
        held_ = HoldFirstTransfer(bench, [&] { read_ = bench.machine().app().ReadAsync(in_, ReadLength); });
    }
    void Race(Bench& bench) override
    {
        SpawnDevicePowerRequest(bench, IRP_MN_QUERY_POWER, PowerDeviceD2, &power_);
        bench.scheduler().Spawn("pnp", [&bench, this] {
            queryRemove_ = bench.machine().pnp().QueryRemove();
            if (queryRemove_ == STATUS_SUCCESS) {
                remove_ = bench.machine().pnp().Remove();
            }
        });
        bench.scheduler().Spawn("bus", [&bench, this] { bench.device().ReleaseWith(held_, STATUS_SUCCESS, ReadLength); });
    }
    void Check(Bench& bench) override
    {
        // The bus may complete the read before a drain holds it back;
        // otherwise it waits in the queue until the removal ends it.
        ExpectDone(bench, *read_, "the read", {STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE});
        if (!power_.Wait()) {
            bench.Problem("the power query never completed");
        } else if (power_.status != STATUS_SUCCESS && power_.status != STATUS_DELETE_PENDING) {
            bench.Problem("the power query ended with " + lives::StatusName(power_.status));
        }
        if (queryRemove_ != STATUS_SUCCESS || remove_ != STATUS_SUCCESS) {
            bench.Problem("query-remove " + lives::StatusName(queryRemove_) + ", remove " + lives::StatusName(remove_));
        }
        // Each drain aborts the read's bus transfer at most once and the
        // removal aborts the open pipe: more means a waiter sat out its
        // grace period and aborted every pipe.
        if (const uint64_t aborts = bench.device().Aborts(); aborts > 3) {
            bench.Problem(std::to_string(aborts) + " pipe aborts: a drain waited for nothing in flight");
        }
    }

private:
    static constexpr ULONG ReadLength = 64;
    emu::Handle in_ = 0;
    uint64_t held_ = 0;
    std::unique_ptr<emu::PendingIo> read_;
    PowerDone power_;
    NTSTATUS queryRemove_ = STATUS_PENDING;
    NTSTATUS remove_ = STATUS_PENDING;
};

// A pipe reset races a query-stop and stop. The code either holds its I/O
// reference before the stop changes the state, and the stop waits for it,
// or sees the stop and backs out: it never reaches the bus of a stopped
// device.
class ControlCodeAndStop final : public RacesAStop {
public:
    void SetUp(Bench& bench) override
    {
        in_ = bench.Open(bench.pipes().loopbackIn);
        resetsBefore_ = bench.device().PipeResets();
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("control", [&bench, this] {
            reset_ = bench.machine().app().DeviceIoControl(in_, IOCTL_PIPE_RESET, nullptr, 0, nullptr, 0).status;
        });
        SpawnStopper(bench, [&bench, this] { resetsAtStop_ = bench.device().PipeResets(); });
    }
    void Check(Bench& bench) override
    {
        Stopped(bench);
        const uint64_t expected = resetsBefore_ + (reset_ == STATUS_SUCCESS ? 1 : 0);
        if (reset_ != STATUS_SUCCESS && reset_ != STATUS_INVALID_DEVICE_STATE) {
            bench.Problem("the pipe reset ended with " + lives::StatusName(reset_));
        } else if (resetsAtStop_ != expected || bench.device().PipeResets() != expected) {
            bench.Problem("the pipe reset ended with " + lives::StatusName(reset_) + " but the device saw " +
                          std::to_string(bench.device().PipeResets() - resetsBefore_) + " resets, " +
                          std::to_string(resetsAtStop_ - resetsBefore_) + " of them before the stop");
        }
        RestartAndExpectIdle(bench);
    }

private:
    emu::Handle in_ = 0;
    uint64_t resetsBefore_ = 0;
    uint64_t resetsAtStop_ = 0;
    NTSTATUS reset_ = STATUS_PENDING;
};

// The last close of a pipe handle races a query-stop and stop, which free
// the pipe open flags: the close clears its flag only while its I/O
// reference holds a running device's flags in place, and the restarted
// device starts with every flag clear.
class CloseAndStop final : public RacesAStop {
public:
    void SetUp(Bench& bench) override
    {
        const std::string path = lives::PipePath(bench.pipes().loopbackIn);
        if (const NTSTATUS opened = bench.machine().app().Open(std::string_view(path), &in_); opened != STATUS_SUCCESS) {
            bench.Problem("open ended with " + lives::StatusName(opened));
        }
    }
    void Race(Bench& bench) override
    {
        bench.scheduler().Spawn("closer", [&bench, this] { bench.machine().app().Close(in_); });
        SpawnStopper(bench);
    }
    void Check(Bench& bench) override
    {
        Stopped(bench);
        if (!RestartAndExpectIdle(bench)) {
            return;
        }
        const DeviceContext* context = bench.Context();
        for (ULONG pipe = 0; pipe < context->InterfaceInfo->NumberOfPipes; ++pipe) {
            if (context->PipeOpenFlags[pipe] != 0) {
                bench.Problem("pipe " + std::to_string(pipe) + " is flagged open after the restart");
            }
        }
    }

private:
    emu::Handle in_ = 0;
};

}  // namespace

// The racing scenarios, in the order the search runs them. A row names the
// scenario, says what it races and what the device must have for it.
const std::vector<ScenarioEntry>& Scenarios()
{
    static const std::vector<ScenarioEntry> table{
        {"wait-wake", "arm at start, completion by the bus after a wake signal, disarm by a stop",
         Needs::RemoteWake, [] { return std::unique_ptr<Scenario>(std::make_unique<WaitWake>()); }},
        {"drain-vs-read", "a device power-down whose drain waits for a read the bus completes meanwhile",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<DrainAndRead>()); }},
        {"removal-vs-write", "query-remove and removal while the first chunk of a write completes",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<RemovalAndWrite>()); }},
        {"two-reads", "a second read arrives while the bus read of the first one completes",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<TwoReads>()); }},
        {"read-during-hand-on", "two reads race for bytes already buffered, one finding the other owning the buffer",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<ReadDuringHandOn>()); }},
        {"drain-and-query-then-removal", "a device query-power drain and a query-remove both wait for a read the bus completes; the removal follows",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<DrainAndQueryThenRemoval>()); }},
        {"control-code-vs-stop", "a pipe reset races a query-stop and stop",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<ControlCodeAndStop>()); }},
        {"close-vs-stop", "the last close of a pipe handle races a query-stop and stop that free the open flags",
         Needs::Loopback, [] { return std::unique_ptr<Scenario>(std::make_unique<CloseAndStop>()); }},
    };
    return table;
}

}  // namespace interleavings
