#include "tools/pondrel-sim/pipes.h"

namespace sim {
namespace {

constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kBulk = 2;
constexpr size_t kNamedPipes = 6;  // only pipes 0 to 5 can be opened by name

}  // namespace

std::vector<EndpointEntry> FirstInterfaceEndpoints(const std::vector<uint8_t>& configuration)
{
    std::vector<EndpointEntry> endpoints;
    int interfaces = 0;
    for (size_t offset = 0; offset + 2 <= configuration.size() && configuration[offset] >= 2;
         offset += configuration[offset]) {
        const uint8_t* d = configuration.data() + offset;
        if (d[1] == kInterfaceType && ++interfaces > 1)
            break;
        if (d[1] == kEndpointType && interfaces == 1 && offset + 7 <= configuration.size())
            endpoints.push_back({d[2], static_cast<uint8_t>(d[3] & 3)});
    }
    return endpoints;
}

std::optional<int> PipeIndexOf(const std::vector<uint8_t>& configuration, uint8_t address)
{
    auto endpoints = FirstInterfaceEndpoints(configuration);
    for (size_t i = 0; i < endpoints.size() && i < kNamedPipes; ++i) {
        if (endpoints[i].address == address)
            return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<std::pair<int, int>> FindLoopbackPipes(const emu::usb::DeviceModel& model,
                                                     const std::vector<uint8_t>& configuration)
{
    auto endpoints = FirstInterfaceEndpoints(configuration);
    for (size_t out = 0; out < endpoints.size() && out < kNamedPipes; ++out) {
        if (endpoints[out].type != kBulk || (endpoints[out].address & 0x80))
            continue;
        auto role = model.RoleFor(endpoints[out].address);
        if (role.behaviour != emu::usb::EndpointBehaviour::Loopback)
            continue;
        uint8_t partner = role.pairedWith.value_or(static_cast<uint8_t>(endpoints[out].address | 0x80));
        auto in = PipeIndexOf(configuration, partner);
        if (in && endpoints[static_cast<size_t>(*in)].type == kBulk)
            return std::make_pair(static_cast<int>(out), *in);
    }
    return std::nullopt;
}

}  // namespace sim
