// One emulated machine: the kernel, the bus, the power manager, the PnP
// manager and the application side, started in that order and stopped in
// the reverse one.
#include "emulator/machine.h"

#include "emulator/app/application.h"
#include "emulator/pnp/pnp_manager.h"
#include "emulator/power/machine_power.h"
#include "emulator/power/power_manager.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace emu {
namespace {

std::atomic<bool> machineExists{false};

}  // namespace

struct Machine::State {
    std::unique_ptr<app::Application> app;
    std::unique_ptr<pnp::PnpManager> pnp;
    std::unique_ptr<Power> power;
};

Machine::Machine(MachineOptions options) : state_(std::make_unique<State>())
{
    if (machineExists.exchange(true)) {
        std::fprintf(stderr, "emu::Machine: only one machine may exist at a time\n");
        std::abort();
    }
    KernelStartup();
    usb::BusStartup();
    power::Startup();
    state_->app = std::make_unique<app::Application>(app::Application::Hooks{
        [this] { state_->pnp->OnFileClosed(); },
    });
    state_->pnp = std::make_unique<pnp::PnpManager>(
        options, pnp::PnpManager::Hooks{[this](const std::vector<PDEVICE_OBJECT>& devices) {
            return state_->app->OpenFilesOn(devices);
        }});
    state_->power = power::CreateMachinePower([this] { return state_->pnp->Pdo(); });
    usb::Bus::Instance().SetSurpriseRemovalHandler(
        [this](usb::UsbDevice& device) { state_->pnp->OnDisconnect(device); });
    if (options.plugDevice) {
        state_->pnp->Plug(options.device);
    }
}

// Handles are closed (their requests cancelled first), the device is
// removed from whatever state it is in, and the driver is unloaded, each as
// Windows would do it; what the verifier finds on the way is reported like
// any other finding.
Machine::~Machine()
{
    state_->app->Teardown();
    state_->pnp->Teardown();
    usb::Bus::Instance().SetSurpriseRemovalHandler(nullptr);
    state_->power.reset();
    state_->pnp.reset();
    state_->app.reset();
    power::Shutdown();
    usb::BusShutdown();
    KernelShutdown();
    machineExists = false;
}

NTSTATUS Machine::LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view registryPath)
{
    return state_->pnp->LoadDriver(entry, registryPath);
}

void Machine::UnloadDriver()
{
    state_->pnp->UnloadDriver();
}

PDRIVER_OBJECT Machine::Driver()
{
    return state_->pnp->Driver();
}

NTSTATUS Machine::BringUp(PDRIVER_INITIALIZE entry)
{
    NTSTATUS status = LoadDriver(entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = state_->pnp->AddDevice();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return state_->pnp->Start();
}

usb::UsbDevice& Machine::Device()
{
    return state_->pnp->Device();
}

void Machine::Replug(usb::DeviceModel model)
{
    state_->pnp->Replug(std::move(model));
}

App& Machine::app()
{
    return *state_->app;
}

Pnp& Machine::pnp()
{
    return *state_->pnp;
}

Power& Machine::power()
{
    return *state_->power;
}

std::vector<verifier::Finding> Machine::Findings()
{
    return verifier::Findings();
}

}  // namespace emu
