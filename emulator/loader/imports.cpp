// Reading the import descriptors and their name thunks, and binding.
#include "emulator/loader/imports.h"

#include "emulator/loader/exports.h"

#include <cstring>

namespace emu::loader {
namespace {

constexpr uint32_t DescriptorBytes = 20;
constexpr size_t MaxImports = 65536;
constexpr size_t MaxNameLength = 255;
constexpr uint64_t OrdinalFlag = 1ull << 63;

bool Fail(std::string* error, std::string text)
{
    *error = std::move(text);
    return false;
}

// The thunks of one module: the lookup table if the image has one (the
// address table may be pre-bound), the address table otherwise.
bool ReadModule(const PeImage& image, const std::string& module, uint32_t lookup, uint32_t slots,
                std::vector<Import>* imports, std::string* error)
{
    const uint32_t names = lookup != 0 ? lookup : slots;
    for (uint64_t i = 0;; ++i) {
        uint64_t thunk = 0;
        if (!ReadU64(image, names + i * 8, &thunk) || !InImage(image, slots + i * 8, 8))
            return Fail(error, "has the import table of " + module + " running out of the image at RVA " +
                                   Hex(names + i * 8));
        if (thunk == 0)
            return true;
        if (thunk & OrdinalFlag)
            return Fail(error, "imports " + module + " by ordinal (" + std::to_string(thunk & 0xffff) +
                                   "); the emulator resolves imports by name only");
        Import import{module, {}, static_cast<uint32_t>(slots + i * 8)};
        if (thunk > 0xffffffffu || !ReadName(image, thunk + 2, MaxNameLength, &import.name))
            return Fail(error, "has an import of " + module + " whose name (at RVA " + Hex(thunk + 2) +
                                   ") is outside the image or not a name");
        if (imports->size() == MaxImports)
            return Fail(error, "has more than " + std::to_string(MaxImports) + " imports");
        imports->push_back(std::move(import));
    }
}

}  // namespace

bool ReadImports(const PeImage& image, std::vector<Import>* imports, std::string* error)
{
    imports->clear();
    const Directory directory = image.directory(ImportDirectory);
    if (directory.size == 0)
        return true;
    for (uint64_t at = directory.rva;; at += DescriptorBytes) {
        uint32_t lookup = 0, nameRva = 0, slots = 0;
        if (!InImage(image, at, DescriptorBytes))
            return Fail(error, "has its import descriptors running out of the image at RVA " + Hex(at));
        ReadU32(image, at, &lookup);
        ReadU32(image, at + 12, &nameRva);
        ReadU32(image, at + 16, &slots);
        if (nameRva == 0 && slots == 0)
            return true;
        std::string module;
        if (!ReadName(image, nameRva, MaxNameLength, &module))
            return Fail(error, "has an import descriptor at RVA " + Hex(at) + " whose module name (RVA " +
                                   Hex(nameRva) + ") is outside the image or not a name");
        if (!ReadModule(image, module, lookup, slots, imports, error))
            return false;
    }
}

bool BindImports(uint8_t* base, const std::vector<Import>& imports, std::string* error)
{
    for (const Import& import : imports) {
        const void* routine = FindExport(import.module, import.name);
        if (routine == nullptr) {
            const bool knownModule = ProvidesModule(import.module);
            return Fail(error, "imports " + import.module + "!" + import.name + ", which the emulator does not provide" +
                                   (knownModule ? "" : " (it provides no module of that name)"));
        }
        const uint64_t address = reinterpret_cast<uintptr_t>(routine);
        std::memcpy(base + import.slotRva, &address, sizeof(address));
    }
    return true;
}

}  // namespace emu::loader
