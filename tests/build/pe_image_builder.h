// Builds small, valid PE32+ images in memory (one section holding an import
// directory and a version resource), so that the PE reader can be tested on
// known content and on precise corruptions without any Windows tool.
#pragma once

#include "tests/build/pe_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pe::testing {

struct ImagePlan {
    uint16_t machine = MachineAmd64;
    uint16_t magic = MagicPe32Plus;
    uint16_t subsystem = SubsystemNative;
    uint16_t dllCharacteristics = DllDynamicBase | DllNxCompat | DllWdmDriver;
    std::vector<std::string> importedDlls;
    bool withVersion = true;
    std::array<uint16_t, 4> fileVersion{};
    std::array<uint16_t, 4> productVersion{};
    std::map<std::string, StringTable> stringTables;
    std::vector<uint32_t> translations;
};

// The image and the file offsets of the parts that tests corrupt.
struct BuiltImage {
    std::vector<uint8_t> bytes;
    size_t peHeader = 0;
    size_t optionalHeader = 0;
    size_t sectionTable = 0;
    size_t importDescriptors = 0;
    size_t firstDllName = 0;
    size_t resourceRoot = 0;
    size_t resourceDataEntry = 0;
    size_t versionBlob = 0;
};

BuiltImage BuildImage(const ImagePlan& plan);

// Rewrites the checksum field after a test changed the bytes.
void StampChecksum(BuiltImage& image);

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);

}  // namespace pe::testing
