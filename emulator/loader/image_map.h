// A PE image mapped for running: its own pages, sections at their RVAs with
// their protections, relocated to where it lies, its imports bound to the
// emulator's routines. Each load maps afresh, so every life of a driver
// starts from the image's own data, not from what the last life left.
#pragma once

#include "emulator/loader/imports.h"
#include "emulator/loader/pe_reader.h"

#include <memory>

namespace emu::loader {

class MappedImage {
public:
    // Maps `image` (read, relocations and imports already checked). Null,
    // with `error` set, when the memory cannot be had or an import is missing.
    static std::unique_ptr<MappedImage> Map(const PeImage& image, const std::vector<uint32_t>& fixups,
                                            const std::vector<Import>& imports, const std::string& name,
                                            std::string* error);
    // Unloads: the pages are released, but the range stays reserved and
    // known to the fault handler, so that a late call into the driver's code
    // is named as such instead of running whatever took the address.
    ~MappedImage();
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;

    uint8_t* base() const { return base_; }
    size_t size() const { return size_; }
    void* entry() const { return base_ + entryRva_; }

private:
    MappedImage(uint8_t* base, size_t size, uint32_t entryRva) : base_(base), size_(size), entryRva_(entryRva) {}
    uint8_t* base_;
    size_t size_;
    uint32_t entryRva_;
};

}  // namespace emu::loader
