// Fuzz target: device files (pondrel-sim --device) through the device-file
// parser, parse only; a parsed model's descriptors then go through the
// lsusb-style description, which must never read beyond them.
#include "fuzz/harness/targets.h"

#include "emulator/usb/device_model.h"
#include "tools/session/descriptors.h"

namespace pondrel_fuzz {

std::string CheckDeviceFile(const uint8_t* data, size_t size)
{
    constexpr std::string_view FileName = "fuzz.device";
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto model = emu::usb::DeviceModel::Parse(text, FileName, &error);
    if (!model)
        return error.starts_with(std::string(FileName) + ":") ? "" : "a parse error does not name its place: '" + error + "'\n";
    const std::string described = session::DescribeDescriptors(model->deviceDescriptor, model->configDescriptor);
    (void)model->RemoteWakeCapable();
    return described.empty() && !model->configDescriptor.empty() ? "a configuration was described as nothing\n"
                                                                  : std::string{};
}

}  // namespace pondrel_fuzz
