#include "tests/build/pe_image_builder.h"

namespace pe::testing {
namespace {

constexpr uint32_t SectionRva = 0x1000;
constexpr size_t FileAlignment = 0x200;
constexpr size_t HeadersEnd = 0x200;

size_t AlignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

void Append16(std::vector<uint8_t>& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>& bytes, uint32_t value)
{
    Append16(bytes, static_cast<uint16_t>(value));
    Append16(bytes, static_cast<uint16_t>(value >> 16));
}

void PadTo(std::vector<uint8_t>& bytes, size_t alignment)
{
    bytes.resize(AlignUp(bytes.size(), alignment), 0);
}

// A VS_VERSIONINFO node before it is laid out.
struct VersionNode {
    std::string key;
    uint16_t type = 0;                // 1 for text values
    uint16_t valueLength = 0;         // characters for text, bytes otherwise
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
};

void AppendNode(std::vector<uint8_t>& out, const VersionNode& node)
{
    const size_t start = out.size();
    Append16(out, 0);
    Append16(out, node.valueLength);
    Append16(out, node.type);
    for (char c : node.key) {
        Append16(out, static_cast<uint8_t>(c));
    }
    Append16(out, 0);
    PadTo(out, 4);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const VersionNode& child : node.children) {
        PadTo(out, 4);
        AppendNode(out, child);
    }
    Put16(out, start, static_cast<uint16_t>(out.size() - start));
}

VersionNode TextNode(const std::string& key, const std::string& text)
{
    VersionNode node{key, 1, static_cast<uint16_t>(text.size() + 1), {}, {}};
    for (char c : text) {
        Append16(node.value, static_cast<uint8_t>(c));
    }
    Append16(node.value, 0);
    return node;
}

std::vector<uint8_t> FixedFileInfo(const ImagePlan& plan)
{
    auto high = [](const std::array<uint16_t, 4>& v) { return uint32_t{v[0]} << 16 | v[1]; };
    auto low = [](const std::array<uint16_t, 4>& v) { return uint32_t{v[2]} << 16 | v[3]; };
    std::vector<uint8_t> info;
    for (uint32_t field : {FixedFileInfoSignature, 0x00010000u, high(plan.fileVersion), low(plan.fileVersion),
                           high(plan.productVersion), low(plan.productVersion), 0x3Fu, 0u, 0x00040004u, 3u, 7u,
                           0u, 0u}) {
        Append32(info, field);
    }
    return info;
}

std::vector<uint8_t> VersionBlob(const ImagePlan& plan)
{
    VersionNode strings{"StringFileInfo", 1, 0, {}, {}};
    for (const auto& [block, table] : plan.stringTables) {
        VersionNode tableNode{block, 1, 0, {}, {}};
        for (const auto& [key, text] : table) {
            tableNode.children.push_back(TextNode(key, text));
        }
        strings.children.push_back(tableNode);
    }
    VersionNode translation{"Translation", 0, 0, {}, {}};
    for (uint32_t pair : plan.translations) {
        Append16(translation.value, static_cast<uint16_t>(pair >> 16));
        Append16(translation.value, static_cast<uint16_t>(pair));
    }
    translation.valueLength = static_cast<uint16_t>(translation.value.size());
    VersionNode vars{"VarFileInfo", 1, 0, {}, {translation}};

    std::vector<uint8_t> fixed = FixedFileInfo(plan);
    VersionNode root{"VS_VERSION_INFO", 0, static_cast<uint16_t>(fixed.size()), fixed, {strings, vars}};
    std::vector<uint8_t> blob;
    AppendNode(blob, root);
    return blob;
}

// Import descriptors (terminated by a zero one) followed by the DLL names.
void AppendImports(std::vector<uint8_t>& data, const ImagePlan& plan, BuiltImage& image)
{
    const size_t descriptors = data.size();
    data.resize(descriptors + (plan.importedDlls.size() + 1) * layout::ImportDescriptorSize, 0);
    for (size_t i = 0; i < plan.importedDlls.size(); ++i) {
        const size_t descriptor = descriptors + i * layout::ImportDescriptorSize;
        if (i == 0) {
            image.firstDllName = data.size();
        }
        Put32(data, descriptor + 12, static_cast<uint32_t>(SectionRva + data.size()));
        Put32(data, descriptor + 16, SectionRva);  // FirstThunk: any non-zero RVA
        data.insert(data.end(), plan.importedDlls[i].begin(), plan.importedDlls[i].end());
        data.push_back(0);
    }
    image.importDescriptors = descriptors;
}

// Type RT_VERSION → name 1 → language 0x409 → data entry → the blob.
void AppendResources(std::vector<uint8_t>& data, const ImagePlan& plan, BuiltImage& image)
{
    PadTo(data, 8);
    const size_t root = data.size();
    auto directory = [&](uint32_t id, uint32_t target) {
        data.resize(data.size() + 16, 0);
        Put16(data, data.size() - 2, 1);  // one ID entry
        Append32(data, id);
        Append32(data, target);
    };
    directory(layout::ResourceTypeVersion, layout::ResourceSubdirectoryFlag | 0x18);
    directory(1, layout::ResourceSubdirectoryFlag | 0x30);
    directory(0x409, 0x48);
    const std::vector<uint8_t> blob = VersionBlob(plan);
    image.resourceRoot = root;
    image.resourceDataEntry = data.size();
    Append32(data, static_cast<uint32_t>(SectionRva + root + 0x58));
    Append32(data, static_cast<uint32_t>(blob.size()));
    Append32(data, 0);
    Append32(data, 0);
    image.versionBlob = data.size();
    data.insert(data.end(), blob.begin(), blob.end());
}

void WriteHeaders(std::vector<uint8_t>& file, const ImagePlan& plan, BuiltImage& image, size_t dataSize)
{
    image.peHeader = 0x40;
    image.optionalHeader = image.peHeader + 4 + layout::CoffHeaderSize;
    image.sectionTable = image.optionalHeader + layout::OptionalHeaderSize;
    file[0] = 'M';
    file[1] = 'Z';
    Put32(file, layout::DosLfanew, static_cast<uint32_t>(image.peHeader));
    Put32(file, image.peHeader, 0x00004550);

    const size_t coff = image.peHeader + 4;
    Put16(file, coff, plan.machine);
    Put16(file, coff + 2, 1);
    Put16(file, coff + 16, layout::OptionalHeaderSize);
    Put16(file, coff + 18, 0x0022);  // executable, large-address aware

    const size_t optional = image.optionalHeader;
    Put16(file, optional, plan.magic);
    Put32(file, optional + 16, SectionRva);
    Put32(file, optional + 24, 0x40000000);  // image base, low half
    Put32(file, optional + 32, 0x1000);
    Put32(file, optional + 36, FileAlignment);
    Put32(file, optional + 56, static_cast<uint32_t>(SectionRva + AlignUp(dataSize, 0x1000)));
    Put32(file, optional + 60, HeadersEnd);
    Put16(file, optional + layout::OptionalSubsystem, plan.subsystem);
    Put16(file, optional + 70, plan.dllCharacteristics);
    Put32(file, optional + 108, 16);
    const size_t directories = optional + layout::OptionalDirectories;
    Put32(file, directories + 8 * layout::DirectoryImport, SectionRva);
    Put32(file, directories + 8 * layout::DirectoryImport + 4,
          static_cast<uint32_t>((plan.importedDlls.size() + 1) * layout::ImportDescriptorSize));
    if (plan.withVersion) {
        Put32(file, directories + 8 * layout::DirectoryResource,
              static_cast<uint32_t>(SectionRva + image.resourceRoot));
        Put32(file, directories + 8 * layout::DirectoryResource + 4,
              static_cast<uint32_t>(dataSize - image.resourceRoot));
    }

    const size_t section = image.sectionTable;
    const char name[8] = {'.', 'd', 'a', 't', 'a'};
    std::copy(name, name + 8, file.begin() + static_cast<std::ptrdiff_t>(section));
    Put32(file, section + 8, static_cast<uint32_t>(dataSize));
    Put32(file, section + 12, SectionRva);
    Put32(file, section + 16, static_cast<uint32_t>(AlignUp(dataSize, FileAlignment)));
    Put32(file, section + 20, HeadersEnd);
    Put32(file, section + 36, 0xC0000040);  // initialised data, read, write
}

}  // namespace

void Put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value)
{
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    Put16(bytes, offset, static_cast<uint16_t>(value));
    Put16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

BuiltImage BuildImage(const ImagePlan& plan)
{
    BuiltImage image;
    std::vector<uint8_t> data;
    AppendImports(data, plan, image);
    if (plan.withVersion) {
        AppendResources(data, plan, image);
    }
    image.bytes.assign(HeadersEnd, 0);
    WriteHeaders(image.bytes, plan, image, data.size());
    image.bytes.insert(image.bytes.end(), data.begin(), data.end());
    PadTo(image.bytes, FileAlignment);

    // Offsets so far were relative to the section's data.
    image.importDescriptors += HeadersEnd;
    image.firstDllName += HeadersEnd;
    image.resourceRoot += HeadersEnd;
    image.resourceDataEntry += HeadersEnd;
    image.versionBlob += HeadersEnd;
    StampChecksum(image);
    return image;
}

void StampChecksum(BuiltImage& image)
{
    const size_t field = image.optionalHeader + layout::OptionalChecksum;
    Put32(image.bytes, field, Checksum(image.bytes, field));
}

}  // namespace pe::testing
