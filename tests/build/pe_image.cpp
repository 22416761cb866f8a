#include "tests/build/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

namespace pe {
namespace {

// Thrown by every check below and turned into ParseResult::error by Parse.
struct Malformed {
    std::string why;
};

[[noreturn]] void Fail(std::string why)
{
    throw Malformed{std::move(why)};
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

uint64_t Align4(uint64_t offset)
{
    return (offset + 3) & ~uint64_t{3};
}

// Little-endian reads that fail instead of reading past the end.
class Bytes {
public:
    explicit Bytes(std::span<const uint8_t> data) : data_(data) {}

    size_t size() const { return data_.size(); }

    std::span<const uint8_t> Slice(uint64_t offset, uint64_t length, const std::string& what) const
    {
        if (offset > data_.size() || length > data_.size() - offset) {
            Fail(what + ": bytes " + Hex(offset) + "+" + Hex(length) + " lie beyond the " +
                 Hex(data_.size()) + "-byte range");
        }
        return data_.subspan(offset, length);
    }

    uint16_t U16(uint64_t offset, const std::string& what) const
    {
        return static_cast<uint16_t>(Little(offset, 2, what));
    }
    uint32_t U32(uint64_t offset, const std::string& what) const
    {
        return static_cast<uint32_t>(Little(offset, 4, what));
    }

private:
    uint64_t Little(uint64_t offset, unsigned width, const std::string& what) const
    {
        auto bytes = Slice(offset, width, what);
        uint64_t value = 0;
        for (unsigned i = width; i-- > 0;) {
            value = value << 8 | bytes[i];
        }
        return value;
    }

    std::span<const uint8_t> data_;
};

struct Section {
    uint32_t virtualAddress = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
};

// ASCII text of a NUL-terminated byte string that must end inside `bytes`.
std::string CString(std::span<const uint8_t> bytes, const std::string& what)
{
    auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    if (end == bytes.end()) {
        Fail(what + ": string is not terminated");
    }
    return std::string(bytes.begin(), end);
}

// UTF-16LE code units to text; anything outside ASCII becomes '?', which is
// enough to compare the keys and values the tests look for.
std::string Utf16Text(std::span<const uint8_t> bytes)
{
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        uint16_t unit = static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, the key,
// padding, the value, padding, the children.
struct VersionNode {
    std::string key;
    uint16_t type = 0;
    std::span<const uint8_t> value;
    uint64_t childrenBegin = 0;
    uint64_t end = 0;
};

VersionNode ReadVersionNode(const Bytes& blob, uint64_t offset, uint64_t parentEnd)
{
    const uint16_t length = blob.U16(offset, "version node length");
    const uint16_t valueLength = blob.U16(offset + 2, "version node value length");
    VersionNode node;
    node.type = blob.U16(offset + 4, "version node type");
    node.end = offset + length;
    if (length < 6) {
        Fail("version node at " + Hex(offset) + " is " + std::to_string(length) + " bytes long");
    }
    if (node.end > parentEnd) {
        Fail("version node at " + Hex(offset) + " runs past its parent");
    }
    uint64_t keyEnd = offset + 6;
    for (;; keyEnd += 2) {
        if (keyEnd + 2 > node.end) {
            Fail("version node key at " + Hex(offset) + " is not terminated");
        }
        if (blob.U16(keyEnd, "version node key") == 0) {
            break;
        }
    }
    node.key = Utf16Text(blob.Slice(offset + 6, keyEnd - offset - 6, "version node key"));
    const uint64_t valueBegin = Align4(keyEnd + 2);
    const uint64_t valueBytes = node.type == 1 ? uint64_t{valueLength} * 2 : valueLength;
    if (valueBegin + valueBytes > node.end) {
        Fail("value of version node \"" + node.key + "\" runs past the node");
    }
    node.value = blob.Slice(valueBegin, valueBytes, "version node value");
    node.childrenBegin = Align4(valueBegin + valueBytes);
    return node;
}

template <typename Visit>
void ForEachChild(const Bytes& blob, const VersionNode& parent, Visit visit)
{
    uint64_t offset = parent.childrenBegin;
    while (offset < parent.end) {
        VersionNode child = ReadVersionNode(blob, offset, parent.end);
        visit(child);
        offset = Align4(child.end);
    }
}

FixedVersion ReadFixedVersion(std::span<const uint8_t> value)
{
    const Bytes fixed(value);
    if (fixed.U32(0, "VS_FIXEDFILEINFO") != FixedFileInfoSignature) {
        Fail("VS_FIXEDFILEINFO signature is " + Hex(fixed.U32(0, "VS_FIXEDFILEINFO")));
    }
    auto split = [&](uint64_t offset) {
        const uint32_t high = fixed.U32(offset, "VS_FIXEDFILEINFO");
        const uint32_t low = fixed.U32(offset + 4, "VS_FIXEDFILEINFO");
        return std::array<uint16_t, 4>{static_cast<uint16_t>(high >> 16), static_cast<uint16_t>(high),
                                       static_cast<uint16_t>(low >> 16), static_cast<uint16_t>(low)};
    };
    FixedVersion version;
    version.file = split(8);
    version.product = split(16);
    version.fileType = fixed.U32(36, "VS_FIXEDFILEINFO file type");
    version.fileSubtype = fixed.U32(40, "VS_FIXEDFILEINFO file subtype");
    return version;
}

void ReadStringFileInfo(const Bytes& blob, const VersionNode& node, VersionInfo& info)
{
    ForEachChild(blob, node, [&](const VersionNode& table) {
        StringTable& strings = info.stringTables[table.key];
        ForEachChild(blob, table, [&](const VersionNode& entry) { strings[entry.key] = Utf16Text(entry.value); });
    });
}

void ReadVarFileInfo(const Bytes& blob, const VersionNode& node, VersionInfo& info)
{
    ForEachChild(blob, node, [&](const VersionNode& var) {
        if (var.key != "Translation") {
            return;
        }
        const Bytes pairs(var.value);
        for (uint64_t i = 0; i + 4 <= pairs.size(); i += 4) {
            const uint32_t language = pairs.U16(i, "translation");
            const uint32_t codePage = pairs.U16(i + 2, "translation");
            info.translations.push_back(language << 16 | codePage);
        }
    });
}

VersionInfo ReadVersionInfo(std::span<const uint8_t> data)
{
    const Bytes blob(data);
    const VersionNode root = ReadVersionNode(blob, 0, blob.size());
    if (root.key != "VS_VERSION_INFO") {
        Fail("version resource root is \"" + root.key + "\"");
    }
    VersionInfo info;
    info.fixed = ReadFixedVersion(root.value);
    ForEachChild(blob, root, [&](const VersionNode& child) {
        if (child.key == "StringFileInfo") {
            ReadStringFileInfo(blob, child, info);
        } else if (child.key == "VarFileInfo") {
            ReadVarFileInfo(blob, child, info);
        }
    });
    return info;
}

class ImageReader {
public:
    explicit ImageReader(std::span<const uint8_t> file) : file_(file), bytes_(file) {}

    Image Read()
    {
        if (bytes_.U16(0, "DOS header") != 0x5A4D) {
            Fail("no MZ signature");
        }
        const uint64_t peHeader = bytes_.U32(layout::DosLfanew, "e_lfanew");
        if (bytes_.U32(peHeader, "PE signature") != 0x00004550) {
            Fail("no PE signature at " + Hex(peHeader));
        }
        const uint64_t coff = peHeader + 4;
        const uint64_t optional = coff + layout::CoffHeaderSize;
        Image image;
        image.machine = bytes_.U16(coff, "COFF header");
        image.characteristics = bytes_.U16(coff + 18, "COFF header");
        image.magic = bytes_.U16(optional, "optional header");
        if (image.magic != MagicPe32Plus) {
            Fail("optional header magic " + Hex(image.magic) + " is not PE32+");
        }
        const uint16_t optionalSize = bytes_.U16(coff + 16, "COFF header");
        if (optionalSize < layout::OptionalDirectories) {
            Fail("optional header of " + std::to_string(optionalSize) + " bytes is too short");
        }
        bytes_.Slice(optional, optionalSize, "optional header");
        image.entryPointRva = bytes_.U32(optional + 16, "optional header");
        image.storedChecksum = bytes_.U32(optional + layout::OptionalChecksum, "optional header");
        image.computedChecksum = Checksum(file_, optional + layout::OptionalChecksum);
        image.subsystem = bytes_.U16(optional + layout::OptionalSubsystem, "optional header");
        image.dllCharacteristics = bytes_.U16(optional + 70, "optional header");

        const uint32_t declared = bytes_.U32(optional + 108, "optional header");
        directoryCount_ = std::min<uint64_t>(declared, (optionalSize - layout::OptionalDirectories) / 8);
        directories_ = optional + layout::OptionalDirectories;
        ReadSections(optional + optionalSize, bytes_.U16(coff + 2, "COFF header"));

        image.importedDlls = ReadImports();
        image.version = ReadVersion();
        return image;
    }

private:
    void ReadSections(uint64_t table, uint16_t count)
    {
        bytes_.Slice(table, uint64_t{count} * layout::SectionHeaderSize, "section table");
        for (uint16_t i = 0; i < count; ++i) {
            const uint64_t header = table + uint64_t{i} * layout::SectionHeaderSize;
            Section section;
            section.virtualAddress = bytes_.U32(header + 12, "section header");
            section.rawSize = bytes_.U32(header + 16, "section header");
            section.rawOffset = bytes_.U32(header + 20, "section header");
            bytes_.Slice(section.rawOffset, section.rawSize, "raw data of section " + std::to_string(i));
            sections_.push_back(section);
        }
    }

    // Address and size of data directory `index`; zero when it is absent.
    std::pair<uint32_t, uint32_t> Directory(size_t index) const
    {
        if (index >= directoryCount_) {
            return {0, 0};
        }
        const uint64_t entry = directories_ + index * 8;
        return {bytes_.U32(entry, "data directory"), bytes_.U32(entry + 4, "data directory")};
    }

    // The file bytes of an RVA range, which must lie in one section's raw data.
    std::span<const uint8_t> AtRva(uint64_t rva, uint64_t length, const std::string& what) const
    {
        for (const Section& section : sections_) {
            if (rva < section.virtualAddress || rva - section.virtualAddress >= section.rawSize) {
                continue;
            }
            const uint64_t within = rva - section.virtualAddress;
            if (length > section.rawSize - within) {
                Fail(what + ": RVA " + Hex(rva) + "+" + Hex(length) + " runs past its section");
            }
            return bytes_.Slice(section.rawOffset + within, length, what);
        }
        Fail(what + ": RVA " + Hex(rva) + " is in no section's data");
    }

    // From an RVA to the end of its section's raw data.
    std::span<const uint8_t> FromRva(uint64_t rva, const std::string& what) const
    {
        for (const Section& section : sections_) {
            if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize) {
                return AtRva(rva, section.rawSize - (rva - section.virtualAddress), what);
            }
        }
        Fail(what + ": RVA " + Hex(rva) + " is in no section's data");
    }

    std::vector<std::string> ReadImports() const
    {
        const auto [rva, size] = Directory(layout::DirectoryImport);
        std::vector<std::string> dlls;
        if (rva == 0) {
            return dlls;
        }
        for (uint64_t at = rva;; at += layout::ImportDescriptorSize) {
            auto descriptor = AtRva(at, layout::ImportDescriptorSize, "import descriptor");
            if (std::all_of(descriptor.begin(), descriptor.end(), [](uint8_t b) { return b == 0; })) {
                return dlls;
            }
            const uint32_t nameRva = Bytes(descriptor).U32(12, "import descriptor");
            dlls.push_back(CString(FromRva(nameRva, "imported DLL name"), "imported DLL name"));
        }
    }

    // One level of the resource tree: the entries of the directory at
    // `offset` from the start of the resource section.
    struct ResourceEntry {
        uint32_t name = 0;
        uint32_t target = 0;
        bool IsDirectory() const { return (target & layout::ResourceSubdirectoryFlag) != 0; }
        uint32_t Offset() const { return target & ~layout::ResourceSubdirectoryFlag; }
    };

    std::vector<ResourceEntry> ResourceEntries(uint32_t root, uint32_t offset) const
    {
        const Bytes header(AtRva(uint64_t{root} + offset, 16, "resource directory"));
        const uint64_t count = uint64_t{header.U16(12, "resource directory")} + header.U16(14, "resource directory");
        const Bytes table(AtRva(uint64_t{root} + offset + 16, count * 8, "resource directory entries"));
        std::vector<ResourceEntry> entries;
        for (uint64_t i = 0; i < count; ++i) {
            entries.push_back({table.U32(i * 8, "resource entry"), table.U32(i * 8 + 4, "resource entry")});
        }
        return entries;
    }

    // The first entry below `entry`, which must be a subdirectory.
    ResourceEntry FirstBelow(uint32_t root, const ResourceEntry& entry, const char* level) const
    {
        if (!entry.IsDirectory()) {
            Fail(std::string("version resource: ") + level + " entry is not a directory");
        }
        auto entries = ResourceEntries(root, entry.Offset());
        if (entries.empty()) {
            Fail(std::string("version resource: ") + level + " directory is empty");
        }
        return entries.front();
    }

    // RT_VERSION → first name → first language → the data entry.
    std::optional<VersionInfo> ReadVersion() const
    {
        const uint32_t root = Directory(layout::DirectoryResource).first;
        if (root == 0) {
            return std::nullopt;
        }
        auto types = ResourceEntries(root, 0);
        auto version = std::find_if(types.begin(), types.end(),
                                    [](const ResourceEntry& e) { return e.name == layout::ResourceTypeVersion; });
        if (version == types.end()) {
            return std::nullopt;
        }
        const ResourceEntry name = FirstBelow(root, *version, "type");
        const ResourceEntry language = FirstBelow(root, name, "name");
        if (language.IsDirectory()) {
            Fail("version resource: language entry is a directory, not data");
        }
        const Bytes dataEntry(AtRva(uint64_t{root} + language.Offset(), 16, "resource data entry"));
        const uint32_t dataRva = dataEntry.U32(0, "resource data entry");
        const uint32_t dataSize = dataEntry.U32(4, "resource data entry");
        return ReadVersionInfo(AtRva(dataRva, dataSize, "version resource data"));
    }

    std::span<const uint8_t> file_;
    Bytes bytes_;
    std::vector<Section> sections_;
    uint64_t directories_ = 0;
    uint64_t directoryCount_ = 0;
};

}  // namespace

ParseResult Parse(std::span<const uint8_t> file)
{
    try {
        return {ImageReader(file).Read(), {}};
    } catch (const Malformed& malformed) {
        return {std::nullopt, malformed.why};
    }
}

uint32_t Checksum(std::span<const uint8_t> file, size_t checksumFieldOffset)
{
    auto byteAt = [&](size_t i) -> uint32_t {
        if (i >= file.size() || (i >= checksumFieldOffset && i - checksumFieldOffset < 4)) {
            return 0;
        }
        return file[i];
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byteAt(i) | byteAt(i + 1) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace pe
