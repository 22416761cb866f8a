// The tests' names for the emulator's lower filter, which the fixture puts
// between the driver and the emulated USB device's PDO (the "spy").
#pragma once

#include "emulator/filter/lower_filter.h"

namespace pondrel::test {

using LowerSpy = emu::filter::LowerFilter;
using emu::filter::Rule;
using emu::filter::SeenRequest;
using emu::filter::Verdict;
using emu::filter::WaitWakeCancel;
using emu::filter::When;

}  // namespace pondrel::test
