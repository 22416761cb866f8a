#include "tools/pondrel-sim/driver_choice.h"

#include "emulator/loader/driver_image.h"
#include "tools/session/cli.h"

#include <ostream>
#include <string>
#include <string_view>

namespace sim {

int TakeDriverChoice(int* argc, char** argv, bool json, std::ostream& out, std::ostream& err)
{
    const char* path = nullptr;
    bool describe = false;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--describe-image") {
            describe = true;
        } else if (argument == "--sys") {
            if (i + 1 == *argc)
                return session::ReportBadInput(err, "pondrel-sim", json, "--sys needs a file (a PE driver image)");
            path = argv[++i];
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    if (path == nullptr)
        return describe ? session::ReportBadInput(err, "pondrel-sim", json, "--describe-image needs --sys FILE") : -1;
    std::string error;
    if (!emu::loader::ChooseImage(path, &error))
        return session::ReportBadInput(err, "pondrel-sim", json, error);
    if (describe) {
        out << emu::loader::DescribeImage();
        return session::ExitSuccess;
    }
    return -1;
}

}  // namespace sim
