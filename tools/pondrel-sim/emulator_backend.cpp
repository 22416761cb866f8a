#include "tools/pondrel-sim/emulator_backend.h"

#include "include/pondrel.h"
#include "tools/pondrel-sim/lower_filter_commands.h"
#include "tools/pondrel-sim/request_observer.h"
#include "tools/session/text.h"

#include "emulator/pnp/system_control.h"
#include "emulator/usb/enumeration.h"

namespace sim {
namespace {

using session::Outcome;

constexpr const char* kDevicePath = PONDREL_DEVICE_PATH;
constexpr GUID kInterfaceClass = PONDREL_INTERFACE_GUID_INIT;
// A second plug while the device is there (the emulator's headers do not name it).
constexpr NTSTATUS kDeviceAlreadyAttached = static_cast<NTSTATUS>(0xC0000038);

emu::Handle HandleOf(session::BackendHandle handle)
{
    return static_cast<emu::Handle>(handle);
}

Outcome FromStatus(NTSTATUS status, std::string note = {})
{
    return {static_cast<uint32_t>(status), 0, {}, std::move(note)};
}

// A PnP request; one Windows would never send in the device's state was
// not sent, and the note says why.
Outcome FromPnp(emu::Pnp& pnp, NTSTATUS status)
{
    return FromStatus(status, pnp.LastRefusal());
}

Outcome FromResult(emu::PendingIo& io, bool returnsData)
{
    emu::IoResult result = io.Result();
    Outcome outcome{static_cast<uint32_t>(result.status), result.information, {}, {}};
    if (returnsData)
        outcome.data = io.Data();
    return outcome;
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
        Outcome outcome = FromResult(*io_, isRead_);
        if (!counted_ && NT_SUCCESS(static_cast<NTSTATUS>(outcome.status)))
            (isRead_ ? tally_.bytesRead : tally_.bytesWritten) += outcome.information;
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

bool EmulatorBackend::Loaded()
{
    return machine_.Driver() != nullptr;
}

bool EmulatorBackend::Attached()
{
    switch (machine_.pnp().Life()) {
    case emu::DeviceLife::Added:
    case emu::DeviceLife::Started:
    case emu::DeviceLife::StopPending:
    case emu::DeviceLife::Stopped:
    case emu::DeviceLife::RemovePending:
    case emu::DeviceLife::SurpriseRemoved:
        return Loaded();
    default:
        return false;
    }
}

NTSTATUS EmulatorBackend::Load()
{
    NTSTATUS status = machine_.LoadDriver(entry_);
    if (NT_SUCCESS(status)) {
        everLoaded_ = true;
        SetObservedDriver(machine_.Driver());
    }
    return status;
}

Outcome EmulatorBackend::Finish(std::unique_ptr<emu::PendingIo> io, bool returnsData)
{
    if (!io->WaitFor(timeout_)) {
        io->Cancel();
        if (!io->WaitFor(timeout_)) {
            stuck_.push_back(std::move(io));
            return FromStatus(STATUS_IO_TIMEOUT, "did not end, even when cancelled");
        }
        Outcome outcome = FromResult(*io, returnsData);
        outcome.note = "no answer within " + std::to_string(timeout_.count()) + " ms (--timeout), so it was cancelled";
        return outcome;
    }
    return FromResult(*io, returnsData);
}

Outcome EmulatorBackend::Open(const std::string& name, session::BackendHandle* handle)
{
    emu::Handle opened = 0;
    NTSTATUS status = machine_.app().Open(session::DevicePath(kDevicePath, name), &opened);
    if (NT_SUCCESS(status))
        *handle = opened;
    return FromStatus(status);
}

Outcome EmulatorBackend::OpenInterface(const std::string& name, session::BackendHandle* handle)
{
    auto links = emu::EnabledInterfaces(kInterfaceClass);
    if (links.empty())
        return FromStatus(STATUS_OBJECT_NAME_NOT_FOUND, "no enabled interface of class " PONDREL_INTERFACE_GUID_STRING);
    // Link names are plain ASCII.
    std::string link(links.front().begin(), links.front().end());
    emu::Handle opened = 0;
    NTSTATUS status = machine_.app().Open(session::DevicePath(link, name), &opened);
    if (NT_SUCCESS(status))
        *handle = opened;
    return FromStatus(status);
}

// After a surprise removal the PnP manager sends the removal once the last
// handle is closed: the close of that handle shows it.
Outcome EmulatorBackend::Close(session::BackendHandle handle)
{
    const bool surpriseRemoved = machine_.pnp().Life() == emu::DeviceLife::SurpriseRemoved;
    machine_.app().Close(HandleOf(handle));
    if (!surpriseRemoved || machine_.app().OpenFileObjects() != 0)
        return FromStatus(STATUS_SUCCESS);
    if (!machine_.pnp().WaitForLife(emu::DeviceLife::Unplugged, timeout_))
        return FromStatus(STATUS_UNSUCCESSFUL, "the last handle is closed, and no IRP_MN_REMOVE_DEVICE followed");
    return FromStatus(STATUS_SUCCESS, RemovalNote("the last handle is closed"));
}

// What followed the removal the PnP manager sent by itself.
std::string EmulatorBackend::RemovalNote(const std::string& why)
{
    return why + ": the PnP manager sent IRP_MN_REMOVE_DEVICE" +
           (Loaded() ? "" : " and unloaded the driver with its last device");
}

Outcome EmulatorBackend::Write(session::BackendHandle handle, const std::vector<uint8_t>& data)
{
    Outcome outcome = Finish(machine_.app().WriteAsync(HandleOf(handle), data), false);
    if (NT_SUCCESS(static_cast<NTSTATUS>(outcome.status)))
        tally_.bytesWritten += outcome.information;
    return outcome;
}

// The plugged device's bus time; nothing when its bus takes no time.
std::optional<double> EmulatorBackend::BusSeconds()
{
    emu::usb::UsbDevice& device = machine_.Device();
    if (!device.Model().busTiming)
        return std::nullopt;
    return std::chrono::duration<double>(device.BusNow()).count();
}

Outcome EmulatorBackend::Read(session::BackendHandle handle, uint32_t length)
{
    Outcome outcome = Finish(machine_.app().ReadAsync(HandleOf(handle), length), true);
    if (NT_SUCCESS(static_cast<NTSTATUS>(outcome.status)))
        tally_.bytesRead += outcome.information;
    return outcome;
}

Outcome EmulatorBackend::Ioctl(session::BackendHandle handle, uint32_t code, uint32_t outLength)
{
    return Finish(machine_.app().DeviceIoControlAsync(HandleOf(handle), code, {}, outLength), true);
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

// As on Windows: the device arrives, the driver is loaded if it is not,
// AddDevice runs and the device is started.
Outcome EmulatorBackend::Plug()
{
    if (Attached())
        return FromStatus(kDeviceAlreadyAttached);
    std::string note;
    filter_.reset();  // the last device's: it has left with its stack, or never had a driver above
    if (!Loaded()) {
        NTSTATUS status = Load();
        if (!NT_SUCCESS(status))
            return FromStatus(status, "DriverEntry failed");
        if (plugged_)
            note = "the driver was loaded again";
    }
    emu::DeviceLife life = machine_.pnp().Life();
    if (!plugged_) {
        machine_.Device();
        if (!capturePath_.empty() && !machine_.Device().StartCapture(capturePath_))
            return FromStatus(STATUS_OBJECT_PATH_NOT_FOUND, "cannot write the capture");
    } else if (life != emu::DeviceLife::Plugged) {
        // The capture goes on with the new device, after the old one's last URB.
        const bool capturing = !capturePath_.empty();
        if (capturing)
            machine_.Device().StopCapture();
        machine_.Replug(machine_.Device().Model());
        if (capturing && !machine_.Device().ContinueCapture(capturePath_))
            return FromStatus(STATUS_OBJECT_PATH_NOT_FOUND, "cannot write the capture");
    }
    plugged_ = true;
    const std::string& speedNote = machine_.Device().Model().speedNote;
    if (!speedNote.empty())
        note = note.empty() ? speedNote : note + "; " + speedNote;
    PutFilterUnder();
    NTSTATUS status = machine_.pnp().AddDevice();
    if (!NT_SUCCESS(status) && machine_.Device().Pdo() == nullptr)
        return FromStatus(status, (note.empty() ? "" : note + "; ") + "the hub did not enumerate the device: " +
                                      emu::usb::HubRejection(machine_.Device().Model()));
    if (!NT_SUCCESS(status))
        return FromStatus(status, "AddDevice failed");
    if (filter_)
        filter_->Watch(machine_.pnp().FunctionDevice());
    const emu::usb::DeviceModel& model = machine_.Device().Model();
    status = machine_.pnp().Start();
    std::string refused =
        NT_SUCCESS(status) ? std::string() : emu::usb::ConfigurationRejection(model.configDescriptor, model.speed);
    if (!refused.empty())
        note = (note.empty() ? "" : note + "; ") + "the bus refused the configuration: " + refused;
    if (!NT_SUCCESS(status) && !Attached())
        note = (note.empty() ? "" : note + "; ") + RemovalNote("the start failed");
    return FromStatus(status, note);
}

void EmulatorBackend::PutFilterUnder()
{
    PDEVICE_OBJECT pdo = machine_.Device().Pdo();
    if (!useLowerFilter_ || pdo == nullptr)
        return;
    filter_ = std::make_unique<emu::filter::LowerFilter>(pdo);
    filter_->LeaveWithTheStack();
    SetFilterDriver(filter_->Device()->DriverObject);
}

void EmulatorBackend::StopFiltering()
{
    if (!filter_)
        return;
    filter_->ForgetAnswers();
    filter_->ReleaseHeld();
}

Outcome EmulatorBackend::Lower(const session::LowerRequest& request)
{
    if (!useLowerFilter_)
        return FromStatus(STATUS_INVALID_DEVICE_REQUEST, "no lower filter (run pondrel-sim with --lower-filter)");
    if (!filter_)
        return FromStatus(STATUS_NO_SUCH_DEVICE, "no device is plugged");
    return RunLowerCommand(*filter_, request);
}

// The device leaves the bus; the PnP manager answers with surprise removal.
Outcome EmulatorBackend::SurpriseRemove()
{
    if (!Attached())
        return FromStatus(STATUS_NO_SUCH_DEVICE);
    if (machine_.pnp().Life() == emu::DeviceLife::SurpriseRemoved)
        return FromStatus(STATUS_INVALID_DEVICE_STATE, "the device has already left the bus");
    machine_.Device().Disconnect();
    using Life = emu::DeviceLife;
    Life life = machine_.pnp().WaitForAnyLife({Life::SurpriseRemoved, Life::Removed, Life::Unplugged}, timeout_);
    if (life != Life::SurpriseRemoved && life != Life::Removed && life != Life::Unplugged)
        return FromStatus(STATUS_UNSUCCESSFUL, "no surprise removal followed");
    if (machine_.app().OpenFileObjects() != 0)
        return FromStatus(STATUS_SUCCESS);
    if (!machine_.pnp().WaitForLife(Life::Unplugged, timeout_))
        return FromStatus(STATUS_UNSUCCESSFUL, "no handle is open, and no IRP_MN_REMOVE_DEVICE followed");
    return FromStatus(STATUS_SUCCESS, RemovalNote("no handle was open"));
}

// A device that has left, or that a fault has started leaving, is about to
// be surprise-removed by the PnP manager on its own thread: a PnP command of
// the session comes after that, as it would on Windows, where the bus
// reports the departure at once.
void EmulatorBackend::AwaitDeparture()
{
    using Life = emu::DeviceLife;
    if (!Attached() || !machine_.Device().Leaving())
        return;
    machine_.pnp().WaitForAnyLife({Life::SurpriseRemoved, Life::Removed, Life::Unplugged}, timeout_);
}

Outcome EmulatorBackend::Remove()
{
    AwaitDeparture();
    if (!Attached())
        return FromStatus(STATUS_NO_SUCH_DEVICE);
    NTSTATUS status = machine_.pnp().Remove();
    if (NT_SUCCESS(status) && !Loaded())
        return FromStatus(status, "the PnP manager unloaded the driver with its last device");
    return FromPnp(machine_.pnp(), status);
}

Outcome EmulatorBackend::Unload()
{
    if (!Loaded())
        return FromStatus(everLoaded_ ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE,
                          everLoaded_ ? "already unloaded" : "no driver loaded");
    if (Attached())
        return FromStatus(STATUS_DEVICE_BUSY, "the device is still attached");
    if (size_t open = machine_.app().OpenFileObjects())
        return FromStatus(STATUS_DEVICE_BUSY, std::to_string(open) + " handle(s) still open");
    machine_.UnloadDriver();
    return FromStatus(STATUS_SUCCESS);
}

// The device signals remote wake. Its wait-wake request completes; from a
// low-power state the driver brings the device back to D0 and arms
// wait-wake again, which the result waits for. In D0 nothing follows.
Outcome EmulatorBackend::Wake()
{
    auto& device = machine_.Device();
    // The driver arms wait-wake from a work item once no power request is
    // in hand, which may be just after a sleep has returned.
    const auto armed = [](int, bool pending) { return pending; };
    if (!Attached() || !device.WaitForPowerState(armed, std::min<decltype(timeout_)>(timeout_, std::chrono::seconds(1))))
        return FromStatus(STATUS_INVALID_DEVICE_STATE, "no wait-wake request is armed");
    bool inD0 = device.DevicePowerState() <= PowerDeviceD0;
    device.SignalWake();
    if (inD0) {
        if (!device.WaitForPowerState([](int, bool armed) { return !armed; }, timeout_))
            return FromStatus(STATUS_UNSUCCESSFUL, "the wait-wake request did not complete");
        return FromStatus(STATUS_SUCCESS, "in D0 already: no power-up, no new wait-wake");
    }
    if (!device.WaitForPowerState([](int state, bool armed) { return state == PowerDeviceD0 && armed; }, timeout_))
        return FromStatus(STATUS_UNSUCCESSFUL, "the device did not come back to D0 with wait-wake armed");
    return FromStatus(STATUS_SUCCESS, "back in D0, wait-wake armed again");
}

static emu::usb::EndpointFault::Kind EndpointFaultKind(session::FaultRequest::Kind kind)
{
    using From = session::FaultRequest::Kind;
    using To = emu::usb::EndpointFault::Kind;
    switch (kind) {
    case From::Stall: return To::Stall;
    case From::Nak: return To::Nak;
    case From::Silent: return To::Silent;
    case From::Short: return To::Short;
    case From::Zlp: return To::Zlp;
    case From::FailAfter: return To::FailAfter;
    case From::LeaveAfter: return To::LeaveAfter;
    case From::Clear: break;
    }
    return To::Clear;
}

// The endpoint misbehaves from now on, as a device file's fault line would
// have made it from the start.
Outcome EmulatorBackend::Fault(const session::FaultRequest& fault)
{
    if (!plugged_)
        return FromStatus(STATUS_NO_SUCH_DEVICE, "no device is plugged");
    const emu::usb::EndpointFault endpointFault{EndpointFaultKind(fault.kind), fault.value,
                                                static_cast<USBD_STATUS>(fault.usbdStatus)};
    if (!machine_.Device().ApplyFault(fault.endpoint, endpointFault))
        return FromStatus(STATUS_INVALID_PARAMETER, "the configuration has no such endpoint");
    return FromStatus(STATUS_SUCCESS);
}

Outcome EmulatorBackend::Lifecycle(const session::Command& command)
{
    using session::Verb;
    auto& pnp = machine_.pnp();
    AwaitDeparture();
    switch (command.verb) {
    case Verb::Plug: return Plug();
    case Verb::Start: return FromPnp(pnp, pnp.Start());
    case Verb::QueryStop: return FromPnp(pnp, pnp.QueryStop());
    case Verb::CancelStop: return FromPnp(pnp, pnp.CancelStop());
    case Verb::Stop: return FromPnp(pnp, pnp.Stop());
    case Verb::QueryRemove: return FromPnp(pnp, pnp.QueryRemove());
    case Verb::CancelRemove: return FromPnp(pnp, pnp.CancelRemove());
    case Verb::SurpriseRemove: return SurpriseRemove();
    case Verb::Remove: return Remove();
    case Verb::Unload: return Unload();
    case Verb::Sleep:
        return FromStatus(machine_.power().Sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + command.sleepState)));
    case Verb::Resume: return FromStatus(machine_.power().Resume());
    case Verb::Wake: return Wake();
    case Verb::SystemControl: return FromStatus(pnp.SystemControl(command.wmiMinor, emu::pnp::ElsewhereProvider));
    case Verb::Fault: return Fault(command.fault);
    case Verb::Lower: return Lower(command.lower);
    default: return FromStatus(STATUS_NOT_SUPPORTED);
    }
}

void EmulatorBackend::Teardown(const std::vector<session::BackendHandle>& handles)
{
    for (auto handle : handles)
        machine_.app().Close(HandleOf(handle));
    machine_.app().WaitUntilAllClosed(timeout_);
    if (Attached() && machine_.pnp().Life() == emu::DeviceLife::StopPending)
        machine_.pnp().CancelStop();  // Windows never removes a device with a stop pending
    if (Attached())
        machine_.pnp().Remove();
    stuck_.clear();
    filter_.reset();
    if (Loaded())
        machine_.UnloadDriver();
    if (plugged_)
        machine_.Device().StopCapture();
}

}  // namespace sim
