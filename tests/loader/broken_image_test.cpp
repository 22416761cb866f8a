// Images broken on purpose, each a copy of the shipped pondrel.sys with one
// fault patched in: the loader refuses each with one line naming it.
#include "emulator/loader/driver_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t U32(const Bytes& file, size_t at)
{
    uint32_t value;
    std::memcpy(&value, file.data() + at, 4);
    return value;
}

void Put(Bytes& file, size_t at, uint64_t value, size_t bytes)
{
    std::memcpy(file.data() + at, &value, bytes);
}

size_t Pe(const Bytes& file) { return U32(file, 0x3c); }
size_t Optional(const Bytes& file) { return Pe(file) + 24; }
size_t SectionTable(const Bytes& file) { return Optional(file) + (U32(file, Pe(file) + 20) & 0xffff); }
size_t Directory(const Bytes& file, int index) { return Optional(file) + 112 + index * 8; }

// The file offset of an RVA, through the section table.
size_t Offset(const Bytes& file, uint32_t rva)
{
    for (size_t at = SectionTable(file);; at += 40) {
        const uint32_t start = U32(file, at + 12), span = U32(file, at + 8);
        if (rva >= start && rva < start + span)
            return U32(file, at + 20) + (rva - start);
    }
}

void Rename(Bytes& file, const char* from, const char* to)
{
    const std::string text(file.begin(), file.end());
    const size_t at = text.find(std::string(from) + '\0');
    ASSERT_NE(at, std::string::npos) << from;
    std::memcpy(file.data() + at, to, std::strlen(to));
}

struct Broken {
    const char* fault;
    std::function<void(Bytes&)> patch;
    const char* error;  // the start of the line, or a part of it after "..."
};

const Broken cases[] = {
    {"an import renamed", [](Bytes& f) { Rename(f, "KeSetEvent", "KeSetEvenX"); },
     "pondrel.sys imports ntoskrnl.exe!KeSetEvenX, which the emulator does not provide"},
    {"a module renamed", [](Bytes& f) { Rename(f, "USBD.SYS", "USBX.SYS"); },
     "pondrel.sys imports USBX.SYS!USBD_CreateConfigurationRequestEx, which the emulator does not provide (it "
     "provides no module of that name)"},
    {"the relocation directory dropped", [](Bytes& f) { Put(f, Directory(f, 5), 0, 8); },
     "pondrel.sys has no base relocations"},
    {"a section cut short", [](Bytes& f) { f.resize(U32(f, SectionTable(f) + 8 * 40 + 20) + 8); },
     "pondrel.sys has section 9 (.reloc) cut short"},
    {"a wrong machine type", [](Bytes& f) { Put(f, Pe(f) + 4, 0x14c, 2); },
     "pondrel.sys is for machine 0x14c, not x86-64 (0x8664)"},
    {"a PE32 optional header", [](Bytes& f) { Put(f, Optional(f), 0x10b, 2); }, "pondrel.sys is not PE32+"},
    {"headers truncated", [](Bytes& f) { f.resize(0x100); }, "pondrel.sys has its headers cut short"},
    {"sections overlapping", [](Bytes& f) { Put(f, SectionTable(f) + 40 + 12, 0x1000, 4); },
     "...overlapping the headers or the section before it"},
    {"a relocation block out of range", [](Bytes& f) { Put(f, Offset(f, U32(f, Directory(f, 5))) + 4, 0x1000, 4); },
     "...out of its relocation directory"},
    {"a relocation of another type",
     [](Bytes& f) { Put(f, Offset(f, U32(f, Directory(f, 5))) + 8, 0x3000, 2); },
     "pondrel.sys has a base relocation of type 3"},
    {"an import by ordinal", [](Bytes& f) { Put(f, Offset(f, U32(f, Offset(f, U32(f, Directory(f, 1))))), 0x8000000000000005, 8); },
     "pondrel.sys imports ntoskrnl.exe by ordinal (5)"},
    {"the entry point in data", [](Bytes& f) { Put(f, Optional(f) + 16, 0x6000, 4); },
     "pondrel.sys has its entry point at RVA 0x6000, outside every code section"},
};

class BrokenImage : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenImage, IsRefusedWithOneLineNamingTheFault)
{
    if (std::string(PONDREL_SYS).empty())
        GTEST_SKIP() << "PONDREL_SYS is not set (make test passes the windows preset's pondrel.sys)";
    std::ifstream shipped(PONDREL_SYS, std::ios::binary);
    Bytes file{std::istreambuf_iterator<char>(shipped), std::istreambuf_iterator<char>()};
    const auto path = std::filesystem::temp_directory_path() / ("pondrel-loader-" + std::to_string(getpid())) / "pondrel.sys";
    std::filesystem::create_directories(path.parent_path());
    std::string error;
    auto load = [&] {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
        return emu::loader::ChooseImage(path, &error);
    };
    ASSERT_TRUE(load()) << "the shipped image itself is refused: " << error;
    GetParam().patch(file);
    EXPECT_FALSE(load());
    std::filesystem::remove_all(path.parent_path());
    const std::string want = GetParam().error;
    if (want.starts_with("..."))
        EXPECT_NE(error.find(want.substr(3)), std::string::npos) << error;
    else
        EXPECT_TRUE(error.starts_with(want)) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Faults, BrokenImage, ::testing::ValuesIn(cases), [](const auto& info) {
    std::string name = info.param.fault;
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

}  // namespace
