// A reader for 64-bit PE images, enough to check what the Windows build
// produced: the headers the kernel's loader looks at, the DLLs the image
// imports from, and its version resource. Every read is bounds-checked, so a
// truncated or corrupted file gives an error, never a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t MagicPe32Plus = 0x20B;
constexpr uint16_t SubsystemNative = 1;
constexpr uint16_t DllDynamicBase = 0x0040;
constexpr uint16_t DllNxCompat = 0x0100;
constexpr uint16_t DllWdmDriver = 0x2000;
constexpr uint32_t FixedFileInfoSignature = 0xFEEF04BD;

// VS_FIXEDFILEINFO, with each version split into its four 16-bit parts
// (major, minor, build, revision).
struct FixedVersion {
    std::array<uint16_t, 4> file{};
    std::array<uint16_t, 4> product{};
    uint32_t fileType = 0;
    uint32_t fileSubtype = 0;
};

// Name and value pairs of one StringFileInfo block.
using StringTable = std::map<std::string, std::string>;

struct VersionInfo {
    FixedVersion fixed;
    // Keyed by the block name exactly as stored, e.g. "040904B0".
    std::map<std::string, StringTable> stringTables;
    // VarFileInfo\Translation: language << 16 | code page, in stored order.
    std::vector<uint32_t> translations;
};

struct Image {
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
    uint16_t dllCharacteristics = 0;
    uint32_t entryPointRva = 0;
    uint32_t storedChecksum = 0;
    uint32_t computedChecksum = 0;
    std::vector<std::string> importedDlls;  // in import-directory order
    std::optional<VersionInfo> version;     // empty when there is no RT_VERSION resource
};

struct ParseResult {
    std::optional<Image> image;
    std::string error;  // why the file was rejected, when image is empty
};

ParseResult Parse(std::span<const uint8_t> file);

// The PE checksum as imagehlp's CheckSumMappedFile computes it: the file as
// 16-bit words with end-around carry, the checksum field counted as zero,
// plus the file length.
uint32_t Checksum(std::span<const uint8_t> file, size_t checksumFieldOffset);

// The whole file, or nothing when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

// Offsets fixed by the format, shared with the tests that build images.
namespace layout {
constexpr size_t DosLfanew = 0x3C;
constexpr size_t CoffHeaderSize = 20;
constexpr size_t OptionalHeaderSize = 240;  // PE32+ with 16 data directories
constexpr size_t OptionalChecksum = 64;
constexpr size_t OptionalSubsystem = 68;
constexpr size_t OptionalDirectories = 112;
constexpr size_t SectionHeaderSize = 40;
constexpr size_t ImportDescriptorSize = 20;
constexpr size_t DirectoryImport = 1;
constexpr size_t DirectoryResource = 2;
constexpr uint32_t ResourceTypeVersion = 16;
constexpr uint32_t ResourceSubdirectoryFlag = 0x80000000;
}  // namespace layout

}  // namespace pe
