// What the emulator exports to a loaded image: each kernel routine a driver
// may import, by module and name. The kernel's routines are taken as they
// are (they use the Windows x64 convention); the C library routines the
// kernel exports (memcpy, memmove, memset) and the two routines another
// toolchain's code may import without calling them (__chkstk,
// __C_specific_handler) get entries of that convention here.
#pragma once

#include <span>
#include <string_view>

namespace emu::loader {

struct Export {
    const char* module;  // lower case: "ntoskrnl.exe", "usbd.sys"
    const char* name;
    const void* address;
};

// Every export, grouped by module.
std::span<const Export> Exports();

// The routine `module`!`name` (the module's name in any case), or null.
const void* FindExport(std::string_view module, std::string_view name);

// True when the emulator provides a module of that name (in any case).
bool ProvidesModule(std::string_view module);

}  // namespace emu::loader
