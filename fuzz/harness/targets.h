// The fuzz targets' bodies. Each takes one input, runs it through the part
// of the system it aims at and checks that part's invariants; it returns an
// empty string when every invariant held, otherwise what went wrong. The
// libFuzzer entry aborts on a non-empty answer; the replay test reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pondrel_fuzz {

// One file name opened on a started device, then closed.
std::string CheckPipeName(const uint8_t* data, size_t size);
// A device whose configuration descriptor is the input: plug, start, open,
// remove, unload.
std::string CheckConfigDescriptor(const uint8_t* data, size_t size);
// The input as a session script and as a -c command string (parse only).
std::string CheckSessionScript(const uint8_t* data, size_t size);
// The input as a device file (parse only), and its descriptors described.
std::string CheckDeviceFile(const uint8_t* data, size_t size);

// The input as a PE driver image: read, relocations and imports (no mapping).
std::string CheckPeImage(const uint8_t* data, size_t size);

// Ends what a target keeps between inputs (the started machine of the pipe
// name target), so that another target may create its own in the same
// process. Does nothing when nothing is kept.
void ReleaseKeptMachine();

}  // namespace pondrel_fuzz
