// The session's `lower` command in the emulator: programs the lower filter
// pondrel-sim puts under the driver with --lower-filter, and reads what
// went down through it.
#pragma once

#include "emulator/filter/lower_filter.h"
#include "tools/session/backend.h"
#include "tools/session/lower_command.h"

namespace sim {

session::Outcome RunLowerCommand(emu::filter::LowerFilter& filter, const session::LowerRequest& request);

}  // namespace sim
