// Which driver a program runs: the one linked into it (the host build of
// the driver's source) or a PE image chosen with --sys. Every command that
// loads the driver asks here for the entry to give LoadDriver, so that the
// choice is made in one place.
#pragma once

#include "emulator/kernel/wdm.h"

#include <string>

namespace emu::loader {

// Reads and checks the image at `path`: headers, sections, relocations and
// that every import is provided. False, with `error` set to one line
// ("pondrel.sys imports ntoskrnl.exe!KeFoo, which the emulator does not
// provide"), when it cannot be loaded.
bool ChooseImage(const std::string& path, std::string* error);

// True once an image is chosen; the path it was chosen by (empty before).
bool ImageChosen();
std::string ChosenImagePath();

// `linked` when no image is chosen; otherwise an entry that maps the image
// afresh and calls its entry point as DriverEntry. The image is unmapped
// after its DriverUnload returns, or at once when its DriverEntry fails.
PDRIVER_INITIALIZE DriverEntryFor(PDRIVER_INITIALIZE linked);

// The chosen image, as the loader reads it: sections, relocation count and
// imports, one per line (for --describe-image).
std::string DescribeImage();

}  // namespace emu::loader
