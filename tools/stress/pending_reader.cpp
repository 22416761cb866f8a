#include "tools/stress/pending_reader.h"

#include "emulator/kernel/system.h"
#include "tools/stress/app_crew.h"

namespace lives {
namespace {

using namespace std::chrono_literals;

constexpr auto CycleWait = 20ms;     // for the oldest read, between looks at the crew
constexpr auto RequestLimit = 20s;   // past this a cancelled read has hung
constexpr ULONG LongestRead = 2048;

}  // namespace

PendingReader::PendingReader(LifeContext& life, AppCrew& crew, int pipe, uint64_t seed)
    : life_(life), crew_(crew), pipe_(pipe), depth_(2 + seed % 3), random_(seed)
{
}

void PendingReader::Run()
{
    emu::threads::SetName("pending reads");
    while (crew_.Checkpoint([this] { EndAll(); })) {
        Cycle();
    }
    EndAll();
}

void PendingReader::Cycle()
{
    if (handle_ == 0) {
        const LifeContext::Mark mark = life_.WindowMark();
        const NTSTATUS opened = OpenPipe(life_.machine.app(), pipe_, &handle_);
        life_.Check({RequestKind::OpenPipe, {opened, 0}, 0, life_.NotStartedThroughout(mark)}, "pending reads");
        if (!NT_SUCCESS(opened)) {
            // Nothing to keep pending on a device that refuses opens: the
            // events need not wait for this thread.
            handle_ = 0;
            crew_.NoteReadsSent();
            crew_.WaitForAnotherOperation(CycleWait);
            return;
        }
    }
    while (reads_.size() < depth_) {
        const ULONG length = 1 + static_cast<ULONG>(random_() % LongestRead);
        const LifeContext::Mark mark = life_.WindowMark();
        reads_.push_back({life_.machine.app().ReadAsync(handle_, length), length, mark});
    }
    crew_.NoteReadsSent();
    reads_.front().io->WaitFor(CycleWait);
    Collect(false);
    if (handleGone_) {
        EndAll();
    }
    // A device that refuses reads (asleep, stopping) refuses the next ones
    // too until something changes: let the others go on first.
    if (refused_) {
        refused_ = false;
        crew_.WaitForAnotherOperation(CycleWait);
    }
}

void PendingReader::Collect(bool wait)
{
    for (auto read = reads_.begin(); read != reads_.end();) {
        if (wait && !read->io->WaitFor(RequestLimit)) {
            life_.Problem("pending reads: a cancelled read never completed");
            read->io.release();  // its completion may still come: never free what it writes
            read = reads_.erase(read);
            continue;
        }
        if (!read->io->Done()) {
            ++read;
            continue;
        }
        const emu::IoResult result = read->io->Result();
        life_.Check({RequestKind::TransferOnBulk, result, read->length, life_.NotStartedThroughout(read->mark)},
                    "pending reads");
        handleGone_ = handleGone_ || result.status == STATUS_INVALID_HANDLE;
        refused_ = refused_ || result.status == STATUS_INVALID_DEVICE_STATE;
        read = reads_.erase(read);
    }
}

void PendingReader::EndAll()
{
    for (const Read& read : reads_) {
        read.io->Cancel();
    }
    Collect(true);
    if (handleGone_ && handle_ != 0) {
        CloseHandles();
    }
}

void PendingReader::CloseHandles()
{
    if (handle_ == 0) {
        return;
    }
    life_.machine.app().Close(handle_);
    handle_ = 0;
    handleGone_ = false;
}

}  // namespace lives
