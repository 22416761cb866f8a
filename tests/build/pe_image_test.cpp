// The PE reader on images built in memory: it reads back what was written,
// and every corruption or truncation gives an error instead of a crash or a
// wrong answer.
#include "tests/build/pe_image.h"
#include "tests/build/pe_image_builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace pe {
namespace {

using testing::BuildImage;
using testing::BuiltImage;
using testing::ImagePlan;
using testing::Put16;
using testing::Put32;

ImagePlan DriverLikePlan()
{
    ImagePlan plan;
    plan.importedDlls = {"ntoskrnl.exe", "USBD.SYS"};
    plan.fileVersion = {2, 0, 0, 0};
    plan.productVersion = {2, 1, 3, 4};
    plan.stringTables["040904B0"] = {{"FileDescription", "USB Bulk driver"}, {"FileVersion", "2.00"}};
    plan.stringTables["0c0904E4"] = {{"InternalName", "pondrel.sys"}, {"Empty", ""}};
    plan.translations = {0x040904B0, 0x0C0904E4};
    return plan;
}

TEST(PeReader, ReadsBackWhatWasWritten)
{
    const BuiltImage built = BuildImage(DriverLikePlan());
    const ParseResult result = Parse(built.bytes);
    ASSERT_TRUE(result.image) << result.error;
    const Image& image = *result.image;

    EXPECT_EQ(image.machine, MachineAmd64);
    EXPECT_EQ(image.magic, MagicPe32Plus);
    EXPECT_EQ(image.subsystem, SubsystemNative);
    EXPECT_EQ(image.dllCharacteristics, DllDynamicBase | DllNxCompat | DllWdmDriver);
    EXPECT_EQ(image.entryPointRva, 0x1000u);
    EXPECT_EQ(image.storedChecksum, image.computedChecksum);
    EXPECT_EQ(image.importedDlls, (std::vector<std::string>{"ntoskrnl.exe", "USBD.SYS"}));

    ASSERT_TRUE(image.version);
    const VersionInfo& version = *image.version;
    EXPECT_EQ(version.fixed.file, (std::array<uint16_t, 4>{2, 0, 0, 0}));
    EXPECT_EQ(version.fixed.product, (std::array<uint16_t, 4>{2, 1, 3, 4}));
    EXPECT_EQ(version.stringTables, DriverLikePlan().stringTables);
    EXPECT_EQ(version.translations, (std::vector<uint32_t>{0x040904B0, 0x0C0904E4}));
}

TEST(PeReader, ImageWithoutVersionResourceHasNoVersion)
{
    ImagePlan plan = DriverLikePlan();
    plan.withVersion = false;
    const ParseResult result = Parse(BuildImage(plan).bytes);
    ASSERT_TRUE(result.image) << result.error;
    EXPECT_FALSE(result.image->version);
    EXPECT_EQ(result.image->importedDlls.size(), 2u);
}

TEST(PeReader, ChecksumFoldsCarriesAndAddsTheLength)
{
    struct Case {
        std::vector<uint8_t> bytes;
        size_t field;
        uint32_t expected;
    };
    const Case cases[] = {
        {{0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},     // odd length: last byte is a low byte
        {{0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},        // 0xFFFF + 2 folds to 2
        {{0x11, 0x11, 0xAA, 0xBB, 0xCC, 0xDD, 0x22, 0x22}, 2, 0x1111 + 0x2222 + 8},  // field counts as zero
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Checksum(c.bytes, c.field), c.expected) << "length " << c.bytes.size();
    }
}

TEST(PeReader, ChecksumNoticesAChangedByte)
{
    BuiltImage built = BuildImage(DriverLikePlan());
    built.bytes[built.versionBlob + 0x30] ^= 0x01;
    const ParseResult result = Parse(built.bytes);
    ASSERT_TRUE(result.image) << result.error;
    EXPECT_NE(result.image->storedChecksum, result.image->computedChecksum);
}

TEST(PeReader, RejectsCorruptedStructures)
{
    struct Case {
        const char* name;
        std::function<void(BuiltImage&)> corrupt;
        const char* errorFragment;
    };
    const Case cases[] = {
        {"no MZ", [](BuiltImage& b) { b.bytes[0] = 'X'; }, "MZ"},
        {"e_lfanew past the end", [](BuiltImage& b) { Put32(b.bytes, layout::DosLfanew, 0xFFFFFFF0); }, "PE signature"},
        {"no PE signature", [](BuiltImage& b) { b.bytes[b.peHeader] = 'Q'; }, "PE signature"},
        {"PE32 instead of PE32+", [](BuiltImage& b) { Put16(b.bytes, b.optionalHeader, 0x10B); }, "not PE32+"},
        {"optional header too short", [](BuiltImage& b) { Put16(b.bytes, b.peHeader + 20, 8); }, "too short"},
        {"section table past the end", [](BuiltImage& b) { Put16(b.bytes, b.peHeader + 6, 0xFFFF); }, "section table"},
        {"section data past the end",
         [](BuiltImage& b) { Put32(b.bytes, b.sectionTable + 16, 0x7FFFFFFF); }, "raw data of section"},
        {"import directory outside every section",
         [](BuiltImage& b) { Put32(b.bytes, b.optionalHeader + 112 + 8, 0x90000); }, "no section"},
        {"DLL name outside every section",
         [](BuiltImage& b) { Put32(b.bytes, b.importDescriptors + 12, 0xFFFFFF00); }, "imported DLL name"},
        {"DLL name runs to the end of its section",
         [](BuiltImage& b) {
             std::fill(b.bytes.begin() + static_cast<std::ptrdiff_t>(b.firstDllName), b.bytes.end(), 'A');
         },
         "not terminated"},
        {"resource directory with too many entries",
         [](BuiltImage& b) { Put16(b.bytes, b.resourceRoot + 14, 0xFFFF); }, "resource directory entries"},
        {"resource leaf where a directory belongs",
         [](BuiltImage& b) { Put32(b.bytes, b.resourceRoot + 16 + 4, 0x18); }, "not a directory"},
        {"resource directory where the data belongs",
         [](BuiltImage& b) { Put32(b.bytes, b.resourceRoot + 0x30 + 16 + 4, layout::ResourceSubdirectoryFlag); },
         "is a directory"},
        {"version data larger than its section",
         [](BuiltImage& b) { Put32(b.bytes, b.resourceDataEntry + 4, 0x100000); }, "version resource data"},
        {"version node of zero length",
         [](BuiltImage& b) { Put16(b.bytes, b.versionBlob + 0x5C, 0); }, "0 bytes long"},
        {"version node longer than its parent",
         [](BuiltImage& b) { Put16(b.bytes, b.versionBlob + 0x5C, 0x7FFF); }, "runs past its parent"},
        {"version value longer than its node",
         [](BuiltImage& b) { Put16(b.bytes, b.versionBlob + 2, 0x7FFF); }, "runs past the node"},
        {"wrong root key", [](BuiltImage& b) { b.bytes[b.versionBlob + 6] = 'X'; }, "root is"},
        {"wrong fixed-info signature", [](BuiltImage& b) { b.bytes[b.versionBlob + 0x28] ^= 0xFF; }, "signature"},
    };
    for (const Case& c : cases) {
        BuiltImage built = BuildImage(DriverLikePlan());
        c.corrupt(built);
        const ParseResult result = Parse(built.bytes);
        EXPECT_FALSE(result.image) << c.name;
        EXPECT_NE(result.error.find(c.errorFragment), std::string::npos)
            << c.name << ": error was \"" << result.error << "\"";
    }
}

TEST(PeReader, RejectsEveryTruncation)
{
    const BuiltImage built = BuildImage(DriverLikePlan());
    for (size_t length = 0; length < built.bytes.size(); ++length) {
        const ParseResult result = Parse(std::span(built.bytes).first(length));
        EXPECT_FALSE(result.image) << "accepted the first " << length << " bytes";
        EXPECT_FALSE(result.error.empty()) << length;
    }
}

// Random byte changes: each parse ends with an image or with an error, and
// under the sanitizer build no read leaves the buffer.
TEST(PeReader, SurvivesRandomCorruption)
{
    const BuiltImage built = BuildImage(DriverLikePlan());
    std::mt19937 random(20240601);
    std::uniform_int_distribution<size_t> offset(0, built.bytes.size() - 1);
    std::uniform_int_distribution<int> value(0, 255);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = built.bytes;
        for (int changes = 1 + round % 4; changes > 0; --changes) {
            bytes[offset(random)] = static_cast<uint8_t>(value(random));
        }
        const ParseResult result = Parse(bytes);
        ASSERT_NE(result.image.has_value(), !result.error.empty()) << "round " << round;
    }
}

}  // namespace
}  // namespace pe
