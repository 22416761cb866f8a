// The demo session pondrel-sim runs with no arguments: the device's whole
// life, from plugging in to unloading the driver, with a check of each step.
#pragma once

#include "emulator/usb/device_model.h"
#include "tools/session/executor.h"
#include "tools/session/printer.h"

namespace sim {

// The demo's title, before the driver is loaded.
void PrintDemoTitle(session::Printer& printer);

// Runs the demo; returns the number of steps whose outcome was not the one
// expected (0 for a clean run).
int RunDemo(const emu::usb::DeviceModel& model, session::Executor& executor, session::Printer& printer);

}  // namespace sim
