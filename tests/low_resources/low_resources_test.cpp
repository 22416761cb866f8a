// One sweep per scenario. Each table names the driver's failable calls in
// the order the fault-free run makes them, with the status the scenario may
// end with when that one call fails: every allocation or request the driver
// cannot get fails its operation with STATUS_INSUFFICIENT_RESOURCES, except
// arming wait-wake, which a start survives without.
#include "tests/low_resources/scenarios.h"

#include <gtest/gtest.h>

namespace low_resources {
namespace {

const std::set<NTSTATUS> Insufficient{STATUS_INSUFFICIENT_RESOURCES};
const std::set<NTSTATUS> Succeeds{STATUS_SUCCESS};

// The calls of a start, from the descriptor reads to the pipe table.
std::vector<Site> ConfigurationCalls()
{
    return {
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
        {"PoRequestPowerIrp: wait-wake", Succeeds},
        {"IoAllocateIrp: the wait-wake request", Succeeds},
    };
}

TEST(LowResources, StartPath)
{
    std::vector<Site> table{
        {"pool: registry path copy", Insufficient},
        {"IoCreateDevice", Insufficient},
        {"IoRegisterDeviceInterface: link name", Insufficient},
    };
    const auto configuration = ConfigurationCalls();
    table.insert(table.end(), configuration.begin(), configuration.end());
    Sweep("start", StartPath, table);
}

// A write and a read make the same two calls before their first bus transfer;
// later chunks and bus reads reuse the request and its context.
TEST(LowResources, DataPath)
{
    const std::vector<Site> table{
        {"MmGetSystemAddressForMdlSafe: caller's buffer", Insufficient},
        {"pool: transfer context", Insufficient},
    };
    Sweep("write", WritePath, table);
    Sweep("read", ReadPath, table);
}

// A first send the bus fails at once is followed by a pipe reset; the write
// ends with the bus's failure whatever the reset could or could not get.
TEST(LowResources, FailedWrite)
{
    const std::set<NTSTATUS> busFailure{STATUS_UNSUCCESSFUL};
    Sweep("failed-write", FailedWritePath,
          {
              {"MmGetSystemAddressForMdlSafe: caller's buffer", Insufficient},
              {"pool: transfer context", Insufficient},
              {"pool: pipe request", busFailure},
              {"IoBuildDeviceIoControlRequest: reset pipe", busFailure},
          },
          STATUS_UNSUCCESSFUL);
}

TEST(LowResources, ControlCodes)
{
    Sweep("fetch-configuration", FetchConfiguration, {});
    Sweep("port-reset", PortReset, {{"IoBuildDeviceIoControlRequest: port status", Insufficient}});
    Sweep("pipe-reset", PipeReset,
          {{"pool: pipe request", Insufficient}, {"IoBuildDeviceIoControlRequest: reset pipe", Insufficient}});
}

// A system power request asks for the device power request of the same
// kind; a device power-down from D0 drains I/O in a work item first.
std::vector<Site> DevicePowerFor(const char* kind, bool drains)
{
    std::vector<Site> calls{
        {std::string("pool: system power context (") + kind + ")", Insufficient},
        {std::string("PoRequestPowerIrp: device request (") + kind + ")", Insufficient},
        {std::string("IoAllocateIrp: the device request (") + kind + ")", Insufficient},
    };
    if (drains) {
        calls.push_back({std::string("pool: drain context (") + kind + ")", Insufficient});
        calls.push_back({std::string("IoAllocateWorkItem: drain (") + kind + ")", Insufficient});
    }
    return calls;
}

TEST(LowResources, PowerCycle)
{
    std::vector<Site> sleep = DevicePowerFor("query S3", true);
    const auto set = DevicePowerFor("set S3", true);
    sleep.insert(sleep.end(), set.begin(), set.end());
    Sweep("sleep", SleepPath, sleep);
    Sweep("resume", ResumePath, DevicePowerFor("set S0", false));
}

}  // namespace
}  // namespace low_resources
