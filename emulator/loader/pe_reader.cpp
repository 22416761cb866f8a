// The PE32+ reader: headers, section table and the laid-out image, each
// field read through a bounds check.
#include "emulator/loader/pe_reader.h"

#include <algorithm>
#include <cstring>

namespace emu::loader {
namespace {

constexpr uint16_t MachineAmd64 = 0x8664;
constexpr uint16_t MagicPe32Plus = 0x20b;
constexpr uint16_t SubsystemNative = 1;
constexpr uint32_t PageSize = 4096;
constexpr uint32_t MaxImageBytes = 256u << 20;  // far beyond any driver; bounds the buffer
constexpr uint16_t MaxSections = 96;            // the Windows loader's own limit
constexpr uint32_t SectionHeaderBytes = 40;
constexpr uint32_t OptionalHeaderFixedBytes = 112;  // up to the data directories

// Little-endian fields of a byte range, each read only when it lies inside.
class Bytes {
public:
    explicit Bytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Has(uint64_t offset, uint64_t count) const
    {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    template <typename T>
    bool Read(uint64_t offset, T* value) const
    {
        if (!Has(offset, sizeof(T)))
            return false;
        std::memcpy(value, bytes_.data() + offset, sizeof(T));  // x86-64 is little-endian, as PE is
        return true;
    }
    size_t size() const { return bytes_.size(); }
    const uint8_t* data() const { return bytes_.data(); }

private:
    std::span<const uint8_t> bytes_;
};

bool Fail(std::string* error, std::string text)
{
    *error = std::move(text);
    return false;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool IsPowerOfTwo(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

std::string SectionName(const uint8_t* raw)
{
    size_t length = 0;
    while (length < 8 && raw[length] != 0)
        ++length;
    std::string name(reinterpret_cast<const char*>(raw), length);
    for (char& c : name) {
        if (c < 0x20 || c > 0x7e)
            c = '?';
    }
    return name;
}

struct Headers {
    uint32_t peOffset = 0;
    uint16_t sectionCount = 0;
    uint32_t optionalOffset = 0;
    uint16_t optionalBytes = 0;
};

bool ReadFileHeader(const Bytes& file, Headers* headers, std::string* error)
{
    uint16_t mz = 0;
    if (!file.Read(0, &mz) || file.size() < 64)
        return Fail(error, "is " + std::to_string(file.size()) + " bytes, too short for a PE file's headers");
    if (mz != 0x5a4d)
        return Fail(error, "is not a PE file (no MZ signature)");
    file.Read(0x3c, &headers->peOffset);
    uint32_t signature = 0;
    if (!file.Read(headers->peOffset, &signature))
        return Fail(error, "has its headers cut short (the PE header at " + Hex(headers->peOffset) +
                               " lies past the end of the file, " + Hex(file.size()) + ")");
    if (signature != 0x4550)
        return Fail(error, "is not a PE file (no PE signature at " + Hex(headers->peOffset) + ")");
    const uint64_t fileHeader = uint64_t(headers->peOffset) + 4;
    uint16_t machine = 0;
    if (!file.Read(fileHeader + 16, &headers->optionalBytes))
        return Fail(error, "has its headers cut short (in the COFF file header)");
    file.Read(fileHeader, &machine);
    file.Read(fileHeader + 2, &headers->sectionCount);
    if (machine != MachineAmd64)
        return Fail(error, "is for machine " + Hex(machine) + ", not x86-64 (0x8664)");
    headers->optionalOffset = static_cast<uint32_t>(fileHeader + 20);
    return true;
}

bool ReadOptionalHeader(const Bytes& file, const Headers& headers, PeImage* image, std::string* error)
{
    const uint64_t at = headers.optionalOffset;
    uint16_t magic = 0;
    if (!file.Read(at, &magic))
        return Fail(error, "has its headers cut short (no optional header)");
    if (magic != MagicPe32Plus)
        return Fail(error, "is not PE32+ (optional header magic " + Hex(magic) + ", want 0x20b)");
    if (headers.optionalBytes < OptionalHeaderFixedBytes || !file.Has(at, headers.optionalBytes))
        return Fail(error, "has its headers cut short (optional header of " + std::to_string(headers.optionalBytes) +
                               " bytes at " + Hex(at) + ", file of " + Hex(file.size()) + ")");
    uint16_t subsystem = 0;
    uint32_t directoryCount = 0;
    file.Read(at + 16, &image->entryRva);
    file.Read(at + 24, &image->preferredBase);
    file.Read(at + 32, &image->sectionAlignment);
    file.Read(at + 56, &image->sizeOfImage);
    file.Read(at + 60, &image->sizeOfHeaders);
    file.Read(at + 68, &subsystem);
    file.Read(at + 108, &directoryCount);
    if (subsystem != SubsystemNative)
        return Fail(error, "is not a native image (subsystem " + std::to_string(subsystem) +
                               "; a kernel driver's is 1)");
    if (!IsPowerOfTwo(image->sectionAlignment) || image->sectionAlignment < PageSize)
        return Fail(error, "has section alignment " + Hex(image->sectionAlignment) +
                               " (the loader maps sections at page granularity: a power of two of at least 0x1000)");
    if (image->sizeOfImage == 0 || image->sizeOfImage > MaxImageBytes)
        return Fail(error, "has an image size of " + Hex(image->sizeOfImage) + " bytes");
    if (image->sizeOfHeaders < headers.optionalOffset + headers.optionalBytes ||
        image->sizeOfHeaders > image->sizeOfImage || image->sizeOfHeaders > file.size())
        return Fail(error, "has a headers size of " + Hex(image->sizeOfHeaders) + " that does not fit the file (" +
                               Hex(file.size()) + " bytes) or the image (" + Hex(image->sizeOfImage) + ")");
    const uint64_t directoryBytes = uint64_t(std::min<uint32_t>(directoryCount, 16)) * 8;
    if (OptionalHeaderFixedBytes + directoryBytes > headers.optionalBytes)
        return Fail(error, "has " + std::to_string(directoryCount) + " data directories, more than its optional header holds");
    image->directories.assign(16, Directory{});
    for (uint32_t i = 0; i < std::min<uint32_t>(directoryCount, 16); ++i) {
        file.Read(at + OptionalHeaderFixedBytes + i * 8, &image->directories[i].rva);
        file.Read(at + OptionalHeaderFixedBytes + i * 8 + 4, &image->directories[i].size);
    }
    return true;
}

bool ReadSectionTable(const Bytes& file, const Headers& headers, PeImage* image, std::string* error)
{
    if (headers.sectionCount == 0 || headers.sectionCount > MaxSections)
        return Fail(error, "has " + std::to_string(headers.sectionCount) + " sections");
    const uint64_t table = uint64_t(headers.optionalOffset) + headers.optionalBytes;
    const uint64_t tableEnd = table + uint64_t(headers.sectionCount) * SectionHeaderBytes;
    if (!file.Has(table, tableEnd - table) || tableEnd > image->sizeOfHeaders)
        return Fail(error, "has its headers cut short (the section table ends at " + Hex(tableEnd) + ", the file at " +
                               Hex(file.size()) + ", the headers at " + Hex(image->sizeOfHeaders) + ")");
    uint64_t nextFree = AlignUp(image->sizeOfHeaders, image->sectionAlignment);
    for (uint16_t i = 0; i < headers.sectionCount; ++i) {
        const uint64_t at = table + uint64_t(i) * SectionHeaderBytes;
        Section section;
        uint32_t virtualSize = 0;
        section.name = SectionName(file.data() + at);
        file.Read(at + 8, &virtualSize);
        file.Read(at + 12, &section.rva);
        file.Read(at + 16, &section.rawSize);
        file.Read(at + 20, &section.rawOffset);
        file.Read(at + 36, &section.characteristics);
        section.span = virtualSize != 0 ? virtualSize : section.rawSize;
        section.rawSize = std::min(section.rawSize, section.span);
        const std::string named = "section " + std::to_string(i + 1) + " (" + section.name + ")";
        if (section.rva % image->sectionAlignment != 0)
            return Fail(error, "has " + named + " at RVA " + Hex(section.rva) + ", not on the section alignment");
        if (section.rva < nextFree)
            return Fail(error, "has " + named + " at RVA " + Hex(section.rva) +
                                   ", overlapping the headers or the section before it (free from " + Hex(nextFree) + ")");
        const uint64_t end = uint64_t(section.rva) + section.span;
        if (end > image->sizeOfImage)
            return Fail(error, "has " + named + " ending at RVA " + Hex(end) + ", past the image size " +
                                   Hex(image->sizeOfImage));
        if (section.rawSize != 0 && !file.Has(section.rawOffset, section.rawSize))
            return Fail(error, "has " + named + " cut short: its " + std::to_string(section.rawSize) +
                                   " bytes at file offset " + Hex(section.rawOffset) + " run past the end of the file (" +
                                   Hex(file.size()) + ")");
        nextFree = AlignUp(end, image->sectionAlignment);
        image->sections.push_back(section);
    }
    return true;
}

void LayOut(const Bytes& file, PeImage* image)
{
    image->memory.assign(image->sizeOfImage, 0);
    std::memcpy(image->memory.data(), file.data(), image->sizeOfHeaders);
    for (const Section& section : image->sections) {
        if (section.rawSize != 0)
            std::memcpy(image->memory.data() + section.rva, file.data() + section.rawOffset, section.rawSize);
    }
}

bool CheckEntryAndDirectories(const PeImage& image, std::string* error)
{
    const Section* code = SectionAt(image, image.entryRva);
    if (code == nullptr || !code->executable())
        return Fail(error, "has its entry point at RVA " + Hex(image.entryRva) + ", outside every code section");
    for (size_t index : {ImportDirectory, RelocationDirectory}) {
        const Directory directory = image.directory(index);
        if (directory.size != 0 && !InImage(image, directory.rva, directory.size))
            return Fail(error, std::string("has its ") + (index == ImportDirectory ? "import" : "base relocation") +
                                   " directory (RVA " + Hex(directory.rva) + ", " + std::to_string(directory.size) +
                                   " bytes) outside the image");
    }
    return true;
}

}  // namespace

std::string Hex(uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xf]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

bool ReadPe(std::span<const uint8_t> bytes, PeImage* image, std::string* error)
{
    const Bytes file(bytes);
    Headers headers;
    *image = PeImage{};
    if (!ReadFileHeader(file, &headers, error) || !ReadOptionalHeader(file, headers, image, error) ||
        !ReadSectionTable(file, headers, image, error))
        return false;
    LayOut(file, image);
    return CheckEntryAndDirectories(*image, error);
}

bool InImage(const PeImage& image, uint64_t rva, uint64_t bytes)
{
    return rva <= image.memory.size() && bytes <= image.memory.size() - rva;
}

template <typename T>
static bool ReadAt(const PeImage& image, uint64_t rva, T* value)
{
    if (!InImage(image, rva, sizeof(T)))
        return false;
    std::memcpy(value, image.memory.data() + rva, sizeof(T));
    return true;
}

bool ReadU16(const PeImage& image, uint64_t rva, uint16_t* value) { return ReadAt(image, rva, value); }
bool ReadU32(const PeImage& image, uint64_t rva, uint32_t* value) { return ReadAt(image, rva, value); }
bool ReadU64(const PeImage& image, uint64_t rva, uint64_t* value) { return ReadAt(image, rva, value); }

bool ReadName(const PeImage& image, uint64_t rva, size_t limit, std::string* name)
{
    name->clear();
    for (uint64_t at = rva; InImage(image, at, 1); ++at) {
        const char c = static_cast<char>(image.memory[at]);
        if (c == 0)
            return !name->empty();
        if (name->size() == limit || c < 0x21 || c > 0x7e)
            return false;
        name->push_back(c);
    }
    return false;
}

const Section* SectionAt(const PeImage& image, uint64_t rva)
{
    for (const Section& section : image.sections) {
        if (rva >= section.rva && rva < uint64_t(section.rva) + section.span)
            return &section;
    }
    return nullptr;
}

}  // namespace emu::loader
