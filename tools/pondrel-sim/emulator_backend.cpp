#include "tools/pondrel-sim/emulator_backend.h"

#include "tools/session/status_names.h"
#include "tools/session/text.h"

namespace sim {
namespace {

using session::Outcome;

constexpr const char* kDevicePath = "\\\\.\\pondrel";
// A second plug while the device is there (the emulator's headers do not name it).
constexpr NTSTATUS kDeviceAlreadyAttached = static_cast<NTSTATUS>(0xC0000038);

emu::Handle HandleOf(session::BackendHandle handle)
{
    return static_cast<emu::Handle>(handle);
}

Outcome FromStatus(NTSTATUS status)
{
    return {static_cast<uint32_t>(status), 0, {}};
}

// A request started with & in the emulator; counts its bytes once it ends.
class EmulatedRequest : public session::PendingRequest {
public:
    EmulatedRequest(std::unique_ptr<emu::PendingIo> io, bool isRead, Tally& tally)
        : io_(std::move(io)), isRead_(isRead), tally_(tally)
    {
    }

    bool Wait(std::chrono::milliseconds timeout) override { return io_->WaitFor(timeout); }

    Outcome Result() override
    {
        emu::IoResult result = io_->Result();
        Outcome outcome{static_cast<uint32_t>(result.status), result.information, {}};
        if (isRead_)
            outcome.data = io_->Data();
        if (!counted_ && NT_SUCCESS(result.status))
            (isRead_ ? tally_.bytesRead : tally_.bytesWritten) += result.information;
        counted_ = true;
        return outcome;
    }

private:
    std::unique_ptr<emu::PendingIo> io_;
    bool isRead_;
    Tally& tally_;
    bool counted_ = false;
};

}  // namespace

EmulatorBackend::EmulatorBackend(emu::Machine& machine, PDRIVER_INITIALIZE entry, std::chrono::milliseconds timeout,
                                 std::string capturePath)
    : machine_(machine), entry_(entry), timeout_(timeout), capturePath_(std::move(capturePath))
{
}

bool EmulatorBackend::Supports(session::Verb) const
{
    return true;
}

NTSTATUS EmulatorBackend::Load()
{
    NTSTATUS status = machine_.LoadDriver(entry_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

Outcome EmulatorBackend::Finish(emu::PendingIo& io, bool returnsData)
{
    if (!io.WaitFor(timeout_)) {
        io.Cancel();
        if (!io.WaitFor(timeout_))
            return FromStatus(STATUS_IO_TIMEOUT);
    }
    emu::IoResult result = io.Result();
    Outcome outcome{static_cast<uint32_t>(result.status), result.information, {}};
    if (returnsData)
        outcome.data = io.Data();
    return outcome;
}

Outcome EmulatorBackend::Open(const std::string& name, session::BackendHandle* handle)
{
    emu::Handle opened = 0;
    NTSTATUS status = machine_.app().Open(session::DevicePath(kDevicePath, name), &opened);
    if (NT_SUCCESS(status))
        *handle = opened;
    return FromStatus(status);
}

Outcome EmulatorBackend::Close(session::BackendHandle handle)
{
    machine_.app().Close(HandleOf(handle));
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Write(session::BackendHandle handle, const std::vector<uint8_t>& data)
{
    auto io = machine_.app().WriteAsync(HandleOf(handle), data);
    Outcome outcome = Finish(*io, false);
    if (NT_SUCCESS(static_cast<NTSTATUS>(outcome.status)))
        tally_.bytesWritten += outcome.information;
    if (outcome.status == static_cast<uint32_t>(STATUS_IO_TIMEOUT))
        stuck_.push_back(std::move(io));
    return outcome;
}

Outcome EmulatorBackend::Read(session::BackendHandle handle, uint32_t length)
{
    auto io = machine_.app().ReadAsync(HandleOf(handle), length);
    Outcome outcome = Finish(*io, true);
    if (NT_SUCCESS(static_cast<NTSTATUS>(outcome.status)))
        tally_.bytesRead += outcome.information;
    if (outcome.status == static_cast<uint32_t>(STATUS_IO_TIMEOUT))
        stuck_.push_back(std::move(io));
    return outcome;
}

Outcome EmulatorBackend::Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength)
{
    auto io = machine_.app().DeviceIoControlAsync(HandleOf(handle), code, {}, outLength);
    Outcome outcome = Finish(*io, true);
    if (outcome.status == static_cast<uint32_t>(STATUS_IO_TIMEOUT))
        stuck_.push_back(std::move(io));
    return outcome;
}

std::unique_ptr<session::PendingRequest> EmulatorBackend::StartWrite(session::BackendHandle handle,
                                                                     std::vector<uint8_t> data)
{
    return std::make_unique<EmulatedRequest>(machine_.app().WriteAsync(HandleOf(handle), std::move(data)), false,
                                             tally_);
}

std::unique_ptr<session::PendingRequest> EmulatorBackend::StartRead(session::BackendHandle handle, uint32_t length)
{
    return std::make_unique<EmulatedRequest>(machine_.app().ReadAsync(HandleOf(handle), length), true, tally_);
}

Outcome EmulatorBackend::Cancel(session::BackendHandle handle)
{
    machine_.app().CancelAll(HandleOf(handle));
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Plug()
{
    if (!loaded_ || added_)
        return FromStatus(loaded_ ? kDeviceAlreadyAttached : STATUS_INVALID_DEVICE_STATE);
    if (plugged_) {
        earlierBusRequests_ += machine_.Device().BusRequests();
        machine_.Replug(machine_.Device().Model());
    } else {
        machine_.Device();
        if (!capturePath_.empty() && !machine_.Device().StartCapture(capturePath_))
            return FromStatus(STATUS_OBJECT_PATH_NOT_FOUND);
    }
    plugged_ = true;
    gone_ = false;
    NTSTATUS status = machine_.pnp().AddDevice();
    if (!NT_SUCCESS(status))
        return FromStatus(status);
    added_ = true;
    return FromStatus(machine_.pnp().Start());
}

Outcome EmulatorBackend::SurpriseRemove()
{
    if (!added_ || gone_)
        return FromStatus(STATUS_NO_SUCH_DEVICE);
    gone_ = true;
    machine_.Device().Disconnect();
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Remove()
{
    if (!added_)
        return FromStatus(STATUS_NO_SUCH_DEVICE);
    NTSTATUS status = machine_.pnp().Remove();
    added_ = false;
    return FromStatus(status);
}

Outcome EmulatorBackend::Unload()
{
    if (!loaded_)
        return FromStatus(STATUS_INVALID_DEVICE_STATE);
    if (added_)
        return FromStatus(STATUS_DEVICE_BUSY);
    machine_.UnloadDriver();
    loaded_ = false;
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Wake()
{
    if (!added_ || !machine_.Device().WaitWakePending())
        return FromStatus(STATUS_INVALID_DEVICE_STATE);
    machine_.Device().SignalWake();
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Lifecycle(const session::Command& command)
{
    using session::Verb;
    auto& pnp = machine_.pnp();
    bool needsDevice = command.verb != Verb::Plug && command.verb != Verb::Unload;
    if (needsDevice && !added_)
        return FromStatus(STATUS_NO_SUCH_DEVICE);
    switch (command.verb) {
    case Verb::Plug: return Plug();
    case Verb::Start: return FromStatus(pnp.Start());
    case Verb::QueryStop: return FromStatus(pnp.QueryStop());
    case Verb::CancelStop: return FromStatus(pnp.CancelStop());
    case Verb::Stop: return FromStatus(pnp.Stop());
    case Verb::QueryRemove: return FromStatus(pnp.QueryRemove());
    case Verb::CancelRemove: return FromStatus(pnp.CancelRemove());
    case Verb::SurpriseRemove: return SurpriseRemove();
    case Verb::Remove: return Remove();
    case Verb::Unload: return Unload();
    case Verb::Sleep:
        return FromStatus(machine_.power().Sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + command.sleepState)));
    case Verb::Resume: return FromStatus(machine_.power().Resume());
    case Verb::Wake: return Wake();
    default: return FromStatus(STATUS_NOT_SUPPORTED);
    }
}

uint64_t EmulatorBackend::BusRequests()
{
    return plugged_ ? earlierBusRequests_ + machine_.Device().BusRequests() : 0;
}

void EmulatorBackend::Teardown(const std::vector<session::BackendHandle>& handles)
{
    for (auto handle : handles)
        machine_.app().Close(HandleOf(handle));
    if (added_)
        Remove();
    stuck_.clear();
    if (loaded_)
        Unload();
    if (plugged_)
        machine_.Device().StopCapture();
}

}  // namespace sim
