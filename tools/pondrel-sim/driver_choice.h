// --sys FILE, taken out of the command line before any command sees it:
// every command (a session, bench, stress, sweep, explore) then runs the
// loaded image instead of the linked build. --describe-image prints what
// the loader read of the image.
#pragma once

#include <iosfwd>

namespace sim {

// Removes --sys FILE and --describe-image from argv (updating *argc) and
// loads the image. Returns -1 to go on, or the exit status to end with (2
// when the image is refused, with one line on `err`).
int TakeDriverChoice(int* argc, char** argv, bool json, std::ostream& out, std::ostream& err);

}  // namespace sim
