// The sweeps and their tables. Each table names the driver's failable calls
// in the order the fault-free run makes them, with the status the scenario
// may end with when that one call fails: every allocation or request the
// driver cannot get fails its operation with STATUS_INSUFFICIENT_RESOURCES,
// except arming wait-wake, which a start survives without, and a system
// set, which no driver may fail.
#include "tools/sweep/scenarios.h"

namespace low_resources {
namespace {

const std::set<NTSTATUS> Insufficient{STATUS_INSUFFICIENT_RESOURCES};
const std::set<NTSTATUS> Succeeds{STATUS_SUCCESS};

void Append(std::vector<Site>* table, const std::vector<Site>& more)
{
    table->insert(table->end(), more.begin(), more.end());
}

// The calls of a start, from the descriptor reads to the pipe table; a
// device that can wake the system has wait-wake armed last.
std::vector<Site> StartCalls(const emu::usb::DeviceModel& model)
{
    std::vector<Site> calls{
        {"pool: registry path copy", Insufficient},
        {"IoCreateDevice", Insufficient},
        {"pool: reserved system power context", Insufficient},
        {"pool: reserved drain context", Insufficient},
        {"IoAllocateWorkItem: wake arming", Insufficient},
        {"IoAllocateWorkItem: reserved drain", Insufficient},
        {"IoRegisterDeviceInterface: link name", Insufficient},
        {"pool: descriptor request", Insufficient},
        {"pool: device descriptor", Insufficient},
        {"IoBuildDeviceIoControlRequest: device descriptor read", Insufficient},
        {"pool: configuration request", Insufficient},
        {"pool: configuration header", Insufficient},
        {"IoBuildDeviceIoControlRequest: configuration header read", Insufficient},
        {"pool: whole configuration", Insufficient},
        {"IoBuildDeviceIoControlRequest: configuration read", Insufficient},
        {"pool: interface list", Insufficient},
        {"USBD_CreateConfigurationRequestEx: select request", Insufficient},
        {"IoBuildDeviceIoControlRequest: select configuration", Insufficient},
        {"pool: InterfaceInfo", Insufficient},
        {"pool: PipeOpenFlags", Insufficient},
    };
    if (model.RemoteWakeCapable()) {
        Append(&calls, {{"PoRequestPowerIrp: wait-wake", Succeeds}, {"IoAllocateIrp: the wait-wake request", Succeeds}});
    }
    return calls;
}

// A system power request asks for the device power request of the same
// kind, with the context reserved at AddDevice; a system set that gets no
// device request goes on with the lower drivers' success. A device query
// from D0 drains I/O in a work item of its own first (a set uses the
// reserved one).
std::vector<Site> DevicePowerFor(const char* kind, bool set, bool drains)
{
    const std::set<NTSTATUS>& outcome = set ? Succeeds : Insufficient;
    std::vector<Site> calls{
        {std::string("PoRequestPowerIrp: device request (") + kind + ")", outcome},
        {std::string("IoAllocateIrp: the device request (") + kind + ")", outcome},
    };
    if (drains && !set) {
        calls.push_back({std::string("pool: drain context (") + kind + ")", Insufficient});
        calls.push_back({std::string("IoAllocateWorkItem: drain (") + kind + ")", Insufficient});
    }
    return calls;
}

}  // namespace

std::vector<SweepPlan> SweepPlans(const emu::usb::DeviceModel& model)
{
    const lives::DeviceMap pipes = lives::MapDevice(model);
    std::vector<SweepPlan> plans{{"start", StartPath, StartCalls(model)}};
    if (pipes.HasLoopback()) {
        // A write and a read make the same two calls before their first bus
        // transfer; later chunks and bus reads reuse the request and its context.
        const std::vector<Site> transfer{
            {"MmGetSystemAddressForMdlSafe: caller's buffer", Insufficient},
            {"pool: transfer context", Insufficient},
        };
        plans.push_back({"write", WritePath, transfer});
        plans.push_back({"read", ReadPath, transfer});
        // A first send the bus fails at once is followed by a pipe reset; the
        // write ends with the bus's failure whatever the reset could get.
        const std::set<NTSTATUS> busFailure{STATUS_UNSUCCESSFUL};
        std::vector<Site> failed = transfer;
        Append(&failed, {{"pool: pipe request", busFailure}, {"IoBuildDeviceIoControlRequest: reset pipe", busFailure}});
        plans.push_back({"failed-write", FailedWritePath, failed, STATUS_UNSUCCESSFUL});
    }
    plans.push_back({"fetch-configuration", FetchConfiguration, {}});
    plans.push_back({"port-reset", PortReset, {{"IoBuildDeviceIoControlRequest: port status", Insufficient}}});
    if (pipes.PipeCount() > 0) {
        plans.push_back({"pipe-reset", PipeReset,
                         {{"pool: pipe request", Insufficient}, {"IoBuildDeviceIoControlRequest: reset pipe", Insufficient}}});
    }
    std::vector<Site> sleep = DevicePowerFor("query S3", false, true);
    Append(&sleep, DevicePowerFor("set S3", true, true));
    plans.push_back({"sleep", SleepPath, sleep});
    plans.push_back({"resume", ResumePath, DevicePowerFor("set S0", true, false)});
    return plans;
}

}  // namespace low_resources
