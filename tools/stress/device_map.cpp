#include "tools/stress/device_map.h"

#include "tools/session/pipe_table.h"

namespace lives {
namespace {

constexpr size_t NamedPipes = 6;

// The pipes of the driver's table that open by name.
std::vector<PipeInfo> FirstInterfacePipes(const std::vector<uint8_t>& configuration)
{
    std::vector<PipeInfo> pipes;
    for (const session::PipeEntry& entry : session::PipeTable(configuration)) {
        if (pipes.size() == NamedPipes) {
            break;
        }
        pipes.push_back({entry.endpoint, entry.type == USB_ENDPOINT_TYPE_BULK, entry.In()});
    }
    return pipes;
}

int PipeOf(const DeviceMap& map, uint8_t address)
{
    for (int pipe = 0; pipe < map.PipeCount(); ++pipe) {
        if (map.pipes[static_cast<size_t>(pipe)].address == address) {
            return pipe;
        }
    }
    return -1;
}

}  // namespace

bool DeviceMap::IsBulk(int pipe, bool in) const
{
    return pipe >= 0 && pipe < PipeCount() && pipes[static_cast<size_t>(pipe)].bulk &&
           pipes[static_cast<size_t>(pipe)].in == in;
}

std::vector<uint8_t> DeviceMap::BulkEndpoints(bool inOnly) const
{
    std::vector<uint8_t> endpoints;
    for (const PipeInfo& pipe : pipes) {
        if (pipe.bulk && (pipe.in || !inOnly)) {
            endpoints.push_back(pipe.address);
        }
    }
    return endpoints;
}

int DeviceMap::EchoSourceOf(int inPipe) const
{
    for (int pipe = 0; pipe < PipeCount(); ++pipe) {
        if (inPipe >= 0 && pipes[static_cast<size_t>(pipe)].echoesOn == inPipe) {
            return pipe;
        }
    }
    return -1;
}

int DeviceMap::SpareBulkIn(bool streamChecked) const
{
    for (int pipe = PipeCount() - 1; pipe >= 0; --pipe) {
        if (IsBulk(pipe, true) && (!streamChecked || pipe != loopbackIn)) {
            return pipe;
        }
    }
    return -1;
}

DeviceMap MapDevice(const emu::usb::DeviceModel& model)
{
    DeviceMap map;
    map.pipes = FirstInterfacePipes(model.configDescriptor);
    for (int out = 0; out < map.PipeCount(); ++out) {
        if (!map.IsBulk(out, false)) {
            continue;
        }
        const uint8_t address = map.pipes[static_cast<size_t>(out)].address;
        const emu::usb::EndpointRole role = model.RoleFor(address);
        if (role.behaviour != emu::usb::EndpointBehaviour::Loopback) {
            continue;
        }
        const int in = PipeOf(map, role.pairedWith.value_or(static_cast<uint8_t>(address | 0x80)));
        if (!map.IsBulk(in, true)) {
            continue;
        }
        map.pipes[static_cast<size_t>(out)].echoesOn = in;
        if (!map.HasLoopback()) {
            map.loopbackOut = out;
            map.loopbackIn = in;
        }
    }
    return map;
}

std::string PipePath(int pipe)
{
    std::string path = "\\\\.\\pondrel";
    if (pipe != DevicePipe) {
        path += "\\PIPE" + std::to_string(pipe);
    }
    return path;
}

}  // namespace lives
