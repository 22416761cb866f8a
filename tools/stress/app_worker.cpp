#include "tools/stress/app_worker.h"

#include "control/control_codes.h"
#include "emulator/kernel/system.h"
#include "tools/stress/app_crew.h"

#include <algorithm>

namespace lives {
namespace {

using namespace std::chrono_literals;

constexpr auto RequestLimit = 20s;  // past this a request has hung (the life watchdog reports it)
constexpr size_t MostHandles = 4;
constexpr ULONG UnknownControlCode = 0x220450;

std::string NameOf(Role role, int index)
{
    const char* names[] = {"writer", "reader", "app"};
    return "application " + std::string(names[static_cast<int>(role)]) + " " + std::to_string(index);
}

}  // namespace

Worker::Worker(LifeContext& life, AppCrew& crew, Role role, int index, uint64_t seed)
    : life_(life), crew_(crew), role_(role), name_(NameOf(role, index)), random_(seed)
{
}

void Worker::Run()
{
    emu::threads::SetName(name_);
    while (crew_.Checkpoint()) {
        Once();
        crew_.CountOperation();
    }
}

void Worker::Once()
{
    if (role_ == Role::Writer) {
        return WriteStream();
    }
    if (role_ == Role::Reader) {
        return ReadStream();
    }
    switch (random_() % 10) {
    case 0: return OpenRandom();
    case 1: return CloseRandom();
    case 2: case 3: return ChaosTransfer(true);
    case 4: case 5: return ChaosTransfer(false);
    case 6: case 7: return Control();
    case 8: return CancelAnyone();
    default: return CloseWhileBusy();
    }
}

// ---- The checked stream ----

void Worker::WriteStream()
{
    const emu::Handle handle = HandleFor(life_.pipes.loopbackOut);
    if (handle == 0) {
        return;
    }
    const ULONG length = 1 + static_cast<ULONG>(random_() % (random_() % 8 == 0 ? 20000 : 3000));
    std::vector<uint8_t> bytes(length);
    {
        std::lock_guard lock(life_.streamMutex);
        for (ULONG i = 0; i < length; ++i) {
            bytes[i] = StreamByte(life_.seed, life_.writerPosition + i);
        }
        life_.writerPosition += length;
    }
    const LifeContext::Mark mark = life_.WindowMark();
    auto io = life_.machine.app().WriteAsync(handle, bytes);
    const emu::IoResult result = Finish(*io, random_() % 4 == 0, RequestKind::TransferOnBulk, length, mark);
    {
        std::lock_guard lock(life_.streamMutex);
        life_.writes.push_back({std::move(bytes), NT_SUCCESS(result.status)});
    }
    Recover(handle, life_.pipes.loopbackOut, false, result.status);
}

void Worker::ReadStream()
{
    const emu::Handle handle = HandleFor(life_.pipes.loopbackIn);
    if (handle == 0) {
        return;
    }
    // At most half the receive buffer: a read never has to gather its bytes
    // in its own buffer, where a cancellation would take them with it.
    const ULONG length = 1 + static_cast<ULONG>(random_() % 8192);
    const LifeContext::Mark mark = life_.WindowMark();
    auto io = life_.machine.app().ReadAsync(handle, length);
    const emu::IoResult result = Finish(*io, true, RequestKind::TransferOnBulk, length, mark);
    if (NT_SUCCESS(result.status)) {
        const std::vector<uint8_t> data = io->Data();
        std::lock_guard lock(life_.streamMutex);
        life_.read.insert(life_.read.end(), data.begin(), data.end());
    }
    Recover(handle, life_.pipes.loopbackIn, true, result.status);
}

// ---- Anything else ----

void Worker::OpenRandom()
{
    if (handles_.size() >= MostHandles) {
        return;
    }
    // Mostly pipes and the device; now and then a name that selects no pipe.
    const int choice = static_cast<int>(random_() % 8);
    const int pipeCount = life_.pipes.PipeCount();
    const bool bad = choice > pipeCount;
    const int pipe = bad ? pipeCount + static_cast<int>(random_() % 5) : choice - 1;
    Open(pipe, bad ? RequestKind::OpenBadName : RequestKind::OpenPipe);
}

void Worker::CloseRandom()
{
    if (const OpenHandle* open = RandomHandle()) {
        const emu::Handle handle = open->handle;
        Forget(handle);
        life_.machine.app().Close(handle);
    }
}

void Worker::ChaosTransfer(bool read)
{
    const OpenHandle* open = RandomHandle();
    if (!open || !(read ? MayRead(open->pipe) : MayWrite(open->pipe))) {
        return;
    }
    const emu::Handle handle = open->handle;
    const int pipe = open->pipe;
    const ULONG length = random_() % 16 == 0 ? 0 : 1 + static_cast<ULONG>(random_() % 5000);
    const LifeContext::Mark mark = life_.WindowMark();
    emu::App& app = life_.machine.app();
    auto io = read ? app.ReadAsync(handle, length)
                   : app.WriteAsync(handle, std::vector<uint8_t>(length, static_cast<uint8_t>(random_())));
    const emu::IoResult result = Finish(*io, true, TransferKind(pipe, read), length, mark);
    Recover(handle, pipe, read, result.status);
}

void Worker::Control()
{
    const OpenHandle* open = RandomHandle();
    if (!open) {
        return;
    }
    const ULONG codes[] = {IOCTL_FETCH_CONFIGURATION, IOCTL_PORT_RESET, IOCTL_PIPE_RESET, UnknownControlCode};
    const ULONG code = codes[random_() % 4];
    Control(open->handle, open->pipe, code, static_cast<ULONG>(random_() % 80));
}

void Worker::CancelAnyone()
{
    if (const emu::Handle handle = life_.AnyPublished(random_)) {
        life_.machine.app().CancelAll(handle);
    }
}

// A handle closed while one of its requests is still in flight: the close
// waits for the request, which ends by itself or by its cancellation.
void Worker::CloseWhileBusy()
{
    const OpenHandle* open = RandomHandle();
    if (!open) {
        return;
    }
    const emu::Handle handle = open->handle;
    const int pipe = open->pipe;
    const bool read = MayRead(pipe) && random_() % 2 == 0;
    if (!read && !MayWrite(pipe)) {
        return;
    }
    const ULONG length = 1 + static_cast<ULONG>(random_() % 3000);
    const LifeContext::Mark mark = life_.WindowMark();
    auto io = read ? life_.machine.app().ReadAsync(handle, length)
                   : life_.machine.app().WriteAsync(handle, std::vector<uint8_t>(length, 0x5A));
    Forget(handle);
    life_.machine.app().Close(handle);
    Finish(*io, true, TransferKind(pipe, read), length, mark);
}

// ---- Helpers ----

emu::IoResult Worker::Finish(emu::PendingIo& io, bool cancel, RequestKind kind, ULONG length,
                             LifeContext::Mark mark)
{
    if (cancel) {
        io.WaitFor(std::chrono::milliseconds(random_() % 20));
        io.Cancel();
    }
    if (!io.WaitFor(RequestLimit)) {
        life_.Problem(name_ + ": " + KindName(kind) + " never completed");
        return {STATUS_PENDING, 0};
    }
    const emu::IoResult result = io.Result();
    life_.Check({kind, result, length, life_.NotStartedThroughout(mark)}, name_);
    return result;
}

emu::IoResult Worker::Control(emu::Handle handle, int pipe, ULONG code, ULONG outLength)
{
    RequestKind kind = RequestKind::UnknownCode;
    if (code == IOCTL_FETCH_CONFIGURATION) {
        kind = RequestKind::FetchConfiguration;
    } else if (code == IOCTL_PORT_RESET) {
        kind = RequestKind::PortReset;
    } else if (code == IOCTL_PIPE_RESET) {
        kind = pipe == DevicePipe ? RequestKind::PipeResetOnDevice : RequestKind::PipeResetOnPipe;
    }
    const LifeContext::Mark mark = life_.WindowMark();
    auto io = life_.machine.app().DeviceIoControlAsync(handle, code, {}, outLength);
    const emu::IoResult result = Finish(*io, false, kind, outLength, mark);
    if (kind == RequestKind::FetchConfiguration && NT_SUCCESS(result.status)) {
        const auto& expected = life_.model.configDescriptor;
        if (io->Data() != expected) {
            life_.Problem(name_ + ": IOCTL_FETCH_CONFIGURATION returned other bytes than the device's descriptor");
        }
    }
    return result;
}

void Worker::Recover(emu::Handle handle, int pipe, bool read, NTSTATUS status)
{
    if (status == STATUS_INVALID_HANDLE) {
        Forget(handle);  // opened under a configuration that is gone
        life_.machine.app().Close(handle);
        return;
    }
    if (NT_SUCCESS(status) || status == STATUS_INVALID_DEVICE_STATE || status == STATUS_PENDING ||
        TransferKind(pipe, read) != RequestKind::TransferOnBulk) {
        return;
    }
    if (!NT_SUCCESS(Control(handle, pipe, IOCTL_PIPE_RESET, 0).status)) {
        Control(handle, pipe, IOCTL_PORT_RESET, 0);
    }
}

emu::Handle Worker::HandleFor(int pipe)
{
    for (const auto& open : handles_) {
        if (open.pipe == pipe) {
            return open.handle;
        }
    }
    return Open(pipe, RequestKind::OpenPipe);
}

emu::Handle Worker::Open(int pipe, RequestKind kind)
{
    const LifeContext::Mark mark = life_.WindowMark();
    emu::Handle handle = 0;
    const NTSTATUS status = OpenPipe(life_.machine.app(), pipe, &handle);
    life_.Check({kind, {status, 0}, 0, life_.NotStartedThroughout(mark)}, name_);
    if (!NT_SUCCESS(status)) {
        return 0;
    }
    handles_.push_back({handle, pipe});
    life_.Publish(handle);
    return handle;
}

const Worker::OpenHandle* Worker::RandomHandle()
{
    return handles_.empty() ? nullptr : &handles_[random_() % handles_.size()];
}

void Worker::Forget(emu::Handle handle)
{
    life_.Withdraw(handle);
    std::erase_if(handles_, [handle](const OpenHandle& open) { return open.handle == handle; });
}

void Worker::CloseHandles()
{
    for (const auto& open : handles_) {
        life_.Withdraw(open.handle);
        life_.machine.app().Close(open.handle);
    }
    handles_.clear();
}

// In a checked life only the reader takes bytes out of the receive buffer,
// and only the writer feeds the first loopback pair; the others use the
// handles that take nothing from either.
bool Worker::MayRead(int pipe) const
{
    return pipe != life_.pendingPipe &&
           (!life_.checkedStream || TransferKind(pipe, true) != RequestKind::TransferOnBulk);
}

bool Worker::MayWrite(int pipe) const
{
    return pipe != life_.quietOutPipe && (!life_.checkedStream || pipe != life_.pipes.loopbackOut);
}

// Reads go to the bulk IN pipes, writes to the bulk OUT pipes; any other
// pairing is refused.
RequestKind Worker::TransferKind(int pipe, bool read) const
{
    return life_.pipes.IsBulk(pipe, read) ? RequestKind::TransferOnBulk : RequestKind::TransferOther;
}

}  // namespace lives
