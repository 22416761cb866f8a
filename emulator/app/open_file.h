// One open of a device by the application side: its file object, how many
// handles refer to it, and the requests carrying it that have not completed
// yet (IRP_MJ_CLOSE waits for them).
#pragma once

#include "emulator/kernel/system.h"

#include <memory>
#include <mutex>
#include <vector>

namespace emu::app {

class AppRequest;

struct OpenFile {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT named = nullptr;  // FileObject->DeviceObject, referenced while open

    std::mutex mutex;                // guards the fields below
    int handles = 0;
    int outstanding = 0;             // requests that count for the close
    bool cleanedUp = false;          // IRP_MJ_CLEANUP has been sent
    bool closeSent = false;
    std::vector<std::weak_ptr<AppRequest>> inFlight;
};

}  // namespace emu::app
