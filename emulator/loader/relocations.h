// Base relocations: the image may lie at any address, so every absolute
// address in it is moved by the difference from its preferred base. Only
// the two kinds an x86-64 image uses are taken: DIR64 (a 64-bit address)
// and ABSOLUTE (padding).
#pragma once

#include "emulator/loader/pe_reader.h"

namespace emu::loader {

// The RVAs of the image's DIR64 fixups. False, with `error` set, when the
// image has none to read, or a block or an entry is out of range or of
// another kind.
bool ReadRelocations(const PeImage& image, std::vector<uint32_t>* fixups, std::string* error);

// Adds `delta` to the 64-bit value at each fixup of the image at `base`.
void ApplyRelocations(uint8_t* base, const std::vector<uint32_t>& fixups, uint64_t delta);

}  // namespace emu::loader
