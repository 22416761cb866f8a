// pondrelctl --test-bus: the device's life, the system's power and the
// device's faults, sent to the control device of the test bus that the Wine
// run installs (tests/wine), so that a session drives the shipped driver
// under Wine as it drives the emulator.
#pragma once

#include "tools/session/backend.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace pondrelctl {

class TestBusClient {
public:
    // `device` is the driver's path (\\.\pondrel), which a plug waits for.
    TestBusClient(std::string device, std::chrono::milliseconds timeout)
        : device_(std::move(device)), timeout_(timeout) {}

    session::Outcome Run(const session::Command& command);

    // Wine cannot open a name below a device: gives the name to the test
    // bus and returns the path whose next open passes it on to the driver;
    // empty when the bus refused it.
    std::string PathForName(const std::string& name);
    // The status the driver gave the last open of that path (Wine hands out
    // a handle even when the driver failed the open).
    uint32_t LastOpenStatus();

private:
    session::Outcome Fault(const session::FaultRequest& fault);
    session::Outcome Send(unsigned long verb, unsigned long argument, unsigned long endpoint,
                          const std::string& name = {});
    std::string device_;
    std::chrono::milliseconds timeout_;
};

}  // namespace pondrelctl
