// Mapping: anonymous pages, the laid-out image copied in, relocated,
// bound, then each section given its own protection.
#include "emulator/loader/image_map.h"

#include "emulator/loader/privileged.h"
#include "emulator/loader/relocations.h"

#include <cerrno>
#include <cstring>
#include <sys/mman.h>

namespace emu::loader {
namespace {

constexpr uint64_t PageSize = 4096;

int Protection(const Section& section)
{
    int protection = PROT_NONE;
    if (section.readable())
        protection |= PROT_READ;
    if (section.writable())
        protection |= PROT_READ | PROT_WRITE;
    if (section.executable())
        protection |= PROT_READ | PROT_EXEC;
    return protection;
}

bool Protect(uint8_t* base, const PeImage& image, std::string* error)
{
    if (mprotect(base, image.sizeOfImage, PROT_READ) != 0) {
        *error = std::string("could not be protected: ") + std::strerror(errno);
        return false;
    }
    for (const Section& section : image.sections) {
        const uint64_t bytes = (uint64_t(section.span) + PageSize - 1) / PageSize * PageSize;
        if (bytes != 0 && mprotect(base + section.rva, bytes, Protection(section)) != 0) {
            *error = "could not protect section " + section.name + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<MappedImage> MappedImage::Map(const PeImage& image, const std::vector<uint32_t>& fixups,
                                              const std::vector<Import>& imports, const std::string& name,
                                              std::string* error)
{
    void* memory = mmap(nullptr, image.sizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        *error = std::string("could not be mapped: ") + std::strerror(errno);
        return nullptr;
    }
    auto* base = static_cast<uint8_t*>(memory);
    std::memcpy(base, image.memory.data(), image.sizeOfImage);
    ApplyRelocations(base, fixups, reinterpret_cast<uintptr_t>(base) - image.preferredBase);
    if (!BindImports(base, imports, error) || !Protect(base, image, error)) {
        munmap(base, image.sizeOfImage);
        return nullptr;
    }
    std::unique_ptr<MappedImage> mapped(new MappedImage(base, image.sizeOfImage, image.entryRva));
    WatchImage(name, base, image.sizeOfImage);
    return mapped;
}

MappedImage::~MappedImage()
{
    RetireImage(base_, size_);
}

}  // namespace emu::loader
