// The three C routines a compiled driver image imports from the kernel
// (ntoskrnl.exe exports memcpy, memmove and memset): entries with the
// Windows x64 calling convention, for the loader to bind an image's imports
// of those names to. Linked code keeps calling the C library directly.
#pragma once

#include "emulator/kernel/wdm_base.h"

extern "C" {
void* NTAPI KernelMemcpy(void* Destination, const void* Source, SIZE_T Length);
void* NTAPI KernelMemmove(void* Destination, const void* Source, SIZE_T Length);
void* NTAPI KernelMemset(void* Destination, int Value, SIZE_T Length);
}
