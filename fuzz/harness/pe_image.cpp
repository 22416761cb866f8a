// The loader's reader on any bytes: it must refuse or accept without
// reading outside the input, and what it accepts must keep every table it
// found inside the image it laid out.
#include "fuzz/harness/targets.h"

#include "emulator/loader/imports.h"
#include "emulator/loader/pe_reader.h"
#include "emulator/loader/relocations.h"

#include <span>

namespace pondrel_fuzz {

std::string CheckPeImage(const uint8_t* data, size_t size)
{
    using namespace emu::loader;
    PeImage image;
    std::vector<uint32_t> fixups;
    std::vector<Import> imports;
    std::string error;
    if (!ReadPe(std::span<const uint8_t>(data, size), &image, &error) || !ReadRelocations(image, &fixups, &error) ||
        !ReadImports(image, &imports, &error))
        return error.empty() ? "refused without saying why\n" : "";
    if (image.memory.size() != image.sizeOfImage)
        return "the laid-out image is not SizeOfImage bytes\n";
    for (const Section& section : image.sections) {
        if (uint64_t(section.rva) + section.span > image.sizeOfImage || section.rawSize > section.span)
            return "section " + section.name + " accepted outside the image\n";
    }
    for (uint32_t rva : fixups) {
        if (!InImage(image, rva, 8))
            return "relocation accepted at " + Hex(rva) + ", outside the image\n";
    }
    for (const Import& import : imports) {
        if (!InImage(image, import.slotRva, 8) || import.name.empty() || import.module.empty())
            return "import " + import.module + "!" + import.name + " accepted with its slot outside the image\n";
    }
    ApplyRelocations(image.memory.data(), fixups, 0x1234567800000000ull);
    return "";
}

}  // namespace pondrel_fuzz
