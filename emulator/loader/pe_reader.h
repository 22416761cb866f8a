// A reader of PE32+ native images for x86-64 (kernel drivers). Every offset
// it follows is checked against the bytes really there, so that any input,
// however broken, gives either a laid-out image or one line naming what is
// wrong. It maps nothing: the result is the image as it would lie in
// memory, in a buffer, with the tables the loader needs found in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace emu::loader {

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t span = 0;        // bytes in memory (VirtualSize, or the raw size when that is 0)
    uint32_t rawOffset = 0;   // in the file
    uint32_t rawSize = 0;     // bytes copied from the file (the rest is zero)
    uint32_t characteristics = 0;
    bool readable() const { return characteristics & 0x40000000u; }
    bool writable() const { return characteristics & 0x80000000u; }
    bool executable() const { return characteristics & 0x20000000u; }
};

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

// Data directory indexes the loader reads.
inline constexpr size_t ImportDirectory = 1;
inline constexpr size_t RelocationDirectory = 5;

struct PeImage {
    uint64_t preferredBase = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t entryRva = 0;
    std::vector<Section> sections;
    std::vector<Directory> directories;  // always 16 entries; missing ones are empty
    std::vector<uint8_t> memory;         // sizeOfImage bytes: headers and sections where they lie

    Directory directory(size_t index) const { return directories[index]; }
};

// Reads `file`. On failure returns false and sets `error` to what is wrong,
// as a phrase that follows the file's name ("is not a PE file ...").
bool ReadPe(std::span<const uint8_t> file, PeImage* image, std::string* error);

// Bounds-checked views of the laid-out image, by RVA.
bool InImage(const PeImage& image, uint64_t rva, uint64_t bytes);
bool ReadU16(const PeImage& image, uint64_t rva, uint16_t* value);
bool ReadU32(const PeImage& image, uint64_t rva, uint32_t* value);
bool ReadU64(const PeImage& image, uint64_t rva, uint64_t* value);
// A NUL-terminated string of at most `limit` characters at `rva`.
bool ReadName(const PeImage& image, uint64_t rva, size_t limit, std::string* name);

// The section holding `rva`, or null.
const Section* SectionAt(const PeImage& image, uint64_t rva);

std::string Hex(uint64_t value);

}  // namespace emu::loader
