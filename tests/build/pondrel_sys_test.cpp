// The pondrel.sys that the windows preset built: a 64-bit native kernel
// image that imports only from the kernel, the USB bus library and the HAL,
// with the driver's version resource. The path comes from the PONDREL_SYS
// cache variable; `make test` always sets it.
#include "tests/build/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

namespace pe {
namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

class PondrelSys : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string path = PONDREL_SYS_PATH;
        if (path.empty()) {
            GTEST_SKIP() << "PONDREL_SYS is not set: build the windows preset and configure this build with "
                            "-DPONDREL_SYS=<path to pondrel.sys> (make test does both)";
        }
        auto bytes = ReadWholeFile(path);
        ASSERT_TRUE(bytes) << "cannot read " << path;
        bytes_ = std::move(*bytes);
        ParseResult result = Parse(bytes_);
        ASSERT_TRUE(result.image) << path << ": " << result.error;
        image_ = std::move(*result.image);
    }

    // The string table whose block name matches, ignoring case as
    // VerQueryValue does.
    const StringTable* Table(const std::string& block) const
    {
        for (const auto& [name, table] : image_.version->stringTables) {
            if (Lower(name) == Lower(block)) {
                return &table;
            }
        }
        return nullptr;
    }

    std::vector<uint8_t> bytes_;
    Image image_;
};

TEST_F(PondrelSys, IsANativeAmd64KernelImage)
{
    EXPECT_EQ(image_.machine, MachineAmd64);
    EXPECT_EQ(image_.magic, MagicPe32Plus);
    EXPECT_EQ(image_.subsystem, SubsystemNative);
    EXPECT_NE(image_.characteristics & 0x0002, 0) << "not marked executable";
    EXPECT_NE(image_.entryPointRva, 0u);
    for (uint16_t flag : {DllDynamicBase, DllNxCompat, DllWdmDriver}) {
        EXPECT_NE(image_.dllCharacteristics & flag, 0) << "DllCharacteristics lacks " << std::hex << flag;
    }
    // The kernel refuses a driver whose checksum does not match.
    EXPECT_NE(image_.storedChecksum, 0u);
    EXPECT_EQ(image_.storedChecksum, image_.computedChecksum);
}

TEST_F(PondrelSys, ImportsOnlyFromTheKernelTheUsbLibraryAndTheHal)
{
    const std::set<std::string> allowed{"ntoskrnl.exe", "usbd.sys", "hal.dll"};
    std::set<std::string> imported;
    for (const std::string& dll : image_.importedDlls) {
        imported.insert(Lower(dll));
        EXPECT_TRUE(allowed.count(Lower(dll))) << "imports from " << dll;
    }
    EXPECT_TRUE(imported.count("ntoskrnl.exe"));
}

TEST_F(PondrelSys, CarriesVersion2000)
{
    ASSERT_TRUE(image_.version) << "no version resource";
    const FixedVersion& fixed = image_.version->fixed;
    EXPECT_EQ(fixed.file, (std::array<uint16_t, 4>{2, 0, 0, 0}));
    EXPECT_EQ(fixed.product, (std::array<uint16_t, 4>{2, 0, 0, 0}));
    EXPECT_EQ(fixed.fileType, 3u) << "VFT_DRV";
    EXPECT_EQ(fixed.fileSubtype, 7u) << "VFT2_DRV_SYSTEM";
}

TEST_F(PondrelSys, CarriesTheVersionStringsInBothBlocks)
{
    ASSERT_TRUE(image_.version) << "no version resource";
    const std::pair<const char*, const char*> expected[] = {
        {"FileVersion", "2.00"},         {"ProductVersion", "2.00"},      {"FileDescription", "USB Bulk driver"},
        {"InternalName", "pondrel.sys"}, {"OriginalFilename", "pondrel.sys"},
    };
    for (const char* block : {"040904B0", "0c0904E4"}) {
        const StringTable* table = Table(block);
        ASSERT_TRUE(table) << "no string block " << block;
        for (const auto& [key, value] : expected) {
            auto found = table->find(key);
            ASSERT_NE(found, table->end()) << block << " has no " << key;
            EXPECT_EQ(found->second, value) << block << "\\" << key;
        }
    }
    const std::vector<uint32_t>& translations = image_.version->translations;
    for (uint32_t pair : {0x040904B0u, 0x0C0904E4u}) {
        EXPECT_NE(std::find(translations.begin(), translations.end(), pair), translations.end())
            << "no Translation entry " << std::hex << pair;
    }
}

// Every prefix of the real file in the headers, then a sample through the
// rest: none is taken for an image.
TEST_F(PondrelSys, TruncatedCopiesAreRejected)
{
    for (size_t length = 0; length < bytes_.size(); length += length < 1024 ? 1 : 61) {
        const ParseResult result = Parse(std::span(bytes_).first(length));
        EXPECT_FALSE(result.image) << "accepted the first " << length << " bytes";
    }
}

// binutils' own reading of the same file, where it is installed.
TEST_F(PondrelSys, AgreesWithObjdump)
{
    const std::string objdump = PONDREL_OBJDUMP;
    if (objdump.empty()) {
        GTEST_SKIP() << "x86_64-w64-mingw32-objdump not found";
    }
    const std::string command = "'" + objdump + "' -p '" + std::string(PONDREL_SYS_PATH) + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe) << command;
    std::vector<std::string> dlls;
    std::string subsystem;
    std::string magic;
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream words(line);
        std::string first;
        std::string second;
        words >> first >> second;
        if (first == "DLL" && second == "Name:") {
            std::string name;
            words >> name;
            dlls.push_back(name);
        } else if (first == "Subsystem") {
            subsystem = second;
        } else if (first == "Magic") {
            magic = second;
        }
    }
    EXPECT_EQ(dlls, image_.importedDlls);
    ASSERT_FALSE(subsystem.empty() || magic.empty()) << "objdump printed no Subsystem or Magic line";
    EXPECT_EQ(std::stoul(subsystem, nullptr, 16), image_.subsystem);
    EXPECT_EQ(std::stoul(magic, nullptr, 16), image_.magic);
}

}  // namespace
}  // namespace pe
