// The bench's own checks as commands of pondrel-sim: stress (random lives),
// sweep (systematic low resources) and explore (interleavings), each on the
// built-in device or a device file. Each prints a closing table (or one
// JSON object) and exits 1 on a finding, with the command that replays it.
#pragma once

namespace sim {

using CheckCommand = int (*)(int argc, char** argv);

// The command named `name` ("stress", "sweep", "explore"), or null.
CheckCommand FindCheckCommand(const char* name);

// argv[0] is the program, argv[1] the command's name.
int RunStressCommand(int argc, char** argv);
int RunSweepCommand(int argc, char** argv);
int RunExploreCommand(int argc, char** argv);

}  // namespace sim
