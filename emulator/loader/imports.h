// The image's imports: which routine of which module each slot of its
// import address table wants, and binding those slots to the emulator's
// routines.
#pragma once

#include "emulator/loader/pe_reader.h"

namespace emu::loader {

struct Import {
    std::string module;  // as the image spells it ("ntoskrnl.exe", "USBD.SYS")
    std::string name;
    uint32_t slotRva = 0;  // the 8-byte slot of the import address table
};

// Reads the import directory. False, with `error` set, on a descriptor,
// thunk or name out of range, or an import by ordinal.
bool ReadImports(const PeImage& image, std::vector<Import>* imports, std::string* error);

// Writes into each slot of the image at `base` the emulator's routine it
// names. False, with `error` set, for the first routine the emulator does
// not provide.
bool BindImports(uint8_t* base, const std::vector<Import>& imports, std::string* error);

}  // namespace emu::loader
