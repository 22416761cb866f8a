#include "tests/pnp/support/descriptors.h"

namespace pondrel::test {

std::vector<uint8_t> ConfigDescriptor(uint8_t attributes, const std::vector<InterfaceDesc>& interfaces)
{
    uint8_t interfaceCount = 0;
    for (const InterfaceDesc& interface : interfaces) {
        interfaceCount += interface.alternate == 0 ? 1 : 0;
    }

    std::vector<uint8_t> block = {9, 2, 0, 0, interfaceCount, 1, 0, attributes, 50};
    for (const InterfaceDesc& interface : interfaces) {
        const auto endpointCount = static_cast<uint8_t>(interface.endpoints.size());
        block.insert(block.end(), {9, 4, interface.number, interface.alternate, endpointCount, 0xFF, 0, 0, 0});
        for (const uint8_t address : interface.endpoints) {
            block.insert(block.end(), {7, 5, address, 2, 0x00, 0x02, 0});
        }
    }
    SetTotalLength(block, static_cast<uint16_t>(block.size()));
    return block;
}

void SetTotalLength(std::vector<uint8_t>& config, uint16_t totalLength)
{
    config[2] = static_cast<uint8_t>(totalLength & 0xFF);
    config[3] = static_cast<uint8_t>(totalLength >> 8);
}

emu::usb::DeviceModel ModelWithConfig(std::vector<uint8_t> config)
{
    emu::usb::DeviceModel model = emu::usb::DeviceModel::Builtin();
    model.configDescriptor = std::move(config);
    return model;
}

std::vector<uint8_t> TwoBulkPipes(uint8_t attributes)
{
    return ConfigDescriptor(attributes, {{0, 0, {{0x01}, {0x81}}}});
}

}  // namespace pondrel::test
