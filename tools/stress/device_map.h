// Which pipe is which on the device under test. The driver numbers the
// pipes of the first interface in the order of its endpoint descriptors and
// opens pipes 0 to 5 by name; the bench's checks pick their pipes from here
// instead of assuming the built-in device.
#pragma once

#include "emulator/usb/device_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lives {

constexpr int DevicePipe = -1;  // a handle on the device itself

struct PipeInfo {
    uint8_t address;
    bool bulk;
    bool in;
    int echoesOn = -1;  // a loopback OUT pipe: the IN pipe the device sends its bytes back on
};

struct DeviceMap {
    std::vector<PipeInfo> pipes;  // by pipe index, at most the six that open by name
    int loopbackOut = -1;         // the first bulk OUT pipe the device echoes...
    int loopbackIn = -1;          // ...on this bulk IN pipe; -1 without such a pair

    int PipeCount() const { return static_cast<int>(pipes.size()); }
    bool HasLoopback() const { return loopbackOut >= 0; }
    bool IsBulk(int pipe, bool in) const;
    // Bulk endpoints in pipe order (all, or the IN ones): where device faults go.
    std::vector<uint8_t> BulkEndpoints(bool inOnly) const;
    // The loopback OUT pipe whose bytes come back on `inPipe`, or -1.
    int EchoSourceOf(int inPipe) const;
    // A bulk IN pipe the checked stream does not use (the last one), or -1.
    int SpareBulkIn(bool streamChecked) const;
};

DeviceMap MapDevice(const emu::usb::DeviceModel& model);

// "\\.\pondrel" for DevicePipe, "\\.\pondrel\PIPE<n>" otherwise.
std::string PipePath(int pipe);

}  // namespace lives
