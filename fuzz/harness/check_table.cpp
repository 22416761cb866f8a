#include "fuzz/harness/targets.h"

namespace pondrel_fuzz {

CheckFunction CheckFor(std::string_view name)
{
    static constexpr struct {
        std::string_view name;
        CheckFunction check;
    } targets[] = {
        {"pipe_name", CheckPipeName},
        {"config_descriptor", CheckConfigDescriptor},
        {"session_script", CheckSessionScript},
        {"device_file", CheckDeviceFile},
    };
    for (const auto& target : targets) {
        if (target.name == name) {
            return target.check;
        }
    }
    return nullptr;
}

}  // namespace pondrel_fuzz
