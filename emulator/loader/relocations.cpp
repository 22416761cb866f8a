// Reading and applying the base relocation blocks.
#include "emulator/loader/relocations.h"

#include <cstring>

namespace emu::loader {
namespace {

constexpr uint16_t RelocationAbsolute = 0;
constexpr uint16_t RelocationDir64 = 10;

bool Fail(std::string* error, std::string text)
{
    *error = std::move(text);
    return false;
}

}  // namespace

bool ReadRelocations(const PeImage& image, std::vector<uint32_t>* fixups, std::string* error)
{
    fixups->clear();
    const Directory directory = image.directory(RelocationDirectory);
    if (directory.size == 0)
        return Fail(error, "has no base relocations, so it cannot be loaded at another address than " +
                               Hex(image.preferredBase) + " (a kernel driver must be relocatable)");
    const uint64_t end = uint64_t(directory.rva) + directory.size;
    for (uint64_t block = directory.rva; block < end;) {
        uint32_t page = 0, blockBytes = 0;
        if (block + 8 > end || !ReadU32(image, block, &page) || !ReadU32(image, block + 4, &blockBytes))
            return Fail(error, "has a relocation block header at RVA " + Hex(block) + " past its relocation directory");
        if (blockBytes < 8 || blockBytes % 2 != 0 || block + blockBytes > end)
            return Fail(error, "has a relocation block at RVA " + Hex(block) + " of " + std::to_string(blockBytes) +
                                   " bytes, out of its relocation directory (which ends at RVA " + Hex(end) + ")");
        for (uint64_t entry = block + 8; entry < block + blockBytes; entry += 2) {
            uint16_t value = 0;
            ReadU16(image, entry, &value);
            const uint16_t type = value >> 12;
            const uint64_t target = uint64_t(page) + (value & 0xfff);
            if (type == RelocationAbsolute)
                continue;
            if (type != RelocationDir64)
                return Fail(error, "has a base relocation of type " + std::to_string(type) + " at RVA " + Hex(target) +
                                       " (only DIR64 and ABSOLUTE are taken)");
            if (!InImage(image, target, 8))
                return Fail(error, "has a base relocation at RVA " + Hex(target) + ", outside the image");
            fixups->push_back(static_cast<uint32_t>(target));
        }
        block += blockBytes;
    }
    return true;
}

void ApplyRelocations(uint8_t* base, const std::vector<uint32_t>& fixups, uint64_t delta)
{
    for (uint32_t rva : fixups) {
        uint64_t value;
        std::memcpy(&value, base + rva, sizeof(value));
        value += delta;
        std::memcpy(base + rva, &value, sizeof(value));
    }
}

}  // namespace emu::loader
