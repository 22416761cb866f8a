// The chosen image and the entries that load and unload it.
#include "emulator/loader/driver_image.h"

#include "emulator/loader/image_map.h"
#include "emulator/loader/imports.h"
#include "emulator/loader/relocations.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

namespace emu::loader {
namespace {

// What the image's own entry points are, in the convention it was built with.
using ImageEntry = NTSTATUS(__attribute__((ms_abi))*)(PDRIVER_OBJECT, PUNICODE_STRING);
using ImageUnload = void(__attribute__((ms_abi))*)(PDRIVER_OBJECT);

struct Chosen {
    std::string path;
    std::string name;  // the file's name, for messages
    PeImage image;
    std::vector<uint32_t> fixups;
    std::vector<Import> imports;
};

struct Loaded {
    std::unique_ptr<MappedImage> mapped;
    ImageUnload unload = nullptr;
};

std::unique_ptr<Chosen> chosen;
std::mutex loadedMutex;
std::map<PDRIVER_OBJECT, Loaded> loaded;  // guarded by loadedMutex

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CheckImports(const Chosen& image, std::string* error)
{
    std::vector<uint8_t> scratch(image.image.sizeOfImage);
    return BindImports(scratch.data(), image.imports, error);
}

// Unloading: the image's own DriverUnload, then its pages go.
void NTAPI UnloadImage(PDRIVER_OBJECT driver)
{
    Loaded image;
    {
        std::lock_guard lock(loadedMutex);
        auto found = loaded.find(driver);
        if (found == loaded.end())
            return;
        image = std::move(found->second);
        loaded.erase(found);
    }
    driver->DriverUnload = reinterpret_cast<PDRIVER_UNLOAD>(image.unload);  // what the kernel set out to call
    image.unload(driver);
}

// Loading: a fresh mapping, then the image's entry point.
NTSTATUS NTAPI LoadImage(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    std::string error;
    std::unique_ptr<MappedImage> mapped =
        MappedImage::Map(chosen->image, chosen->fixups, chosen->imports, chosen->name, &error);
    if (mapped == nullptr) {
        std::fprintf(stderr, "pondrel-sim: %s %s\n", chosen->name.c_str(), error.c_str());
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS status = reinterpret_cast<ImageEntry>(mapped->entry())(driver, registryPath);
    if (!NT_SUCCESS(status) || driver->DriverUnload == nullptr) {
        // A failed DriverEntry unloads the image at once; one without an
        // unload routine stays until the process ends, as it would in Windows.
        if (NT_SUCCESS(status))
            mapped.release();
        return status;
    }
    std::lock_guard lock(loadedMutex);
    loaded[driver] = Loaded{std::move(mapped), reinterpret_cast<ImageUnload>(driver->DriverUnload)};
    driver->DriverUnload = &UnloadImage;
    return status;
}

}  // namespace

bool ChooseImage(const std::string& path, std::string* error)
{
    auto image = std::make_unique<Chosen>();
    image->path = path;
    image->name = BaseName(path);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string problem;
    if (!ReadPe(bytes, &image->image, &problem) || !ReadRelocations(image->image, &image->fixups, &problem) ||
        !ReadImports(image->image, &image->imports, &problem) || !CheckImports(*image, &problem)) {
        *error = image->name + " " + problem;
        return false;
    }
    chosen = std::move(image);
    return true;
}

bool ImageChosen()
{
    return chosen != nullptr;
}

std::string ChosenImagePath()
{
    return chosen != nullptr ? chosen->path : std::string();
}

PDRIVER_INITIALIZE DriverEntryFor(PDRIVER_INITIALIZE linked)
{
    return chosen != nullptr ? &LoadImage : linked;
}

std::string DescribeImage()
{
    if (chosen == nullptr)
        return {};
    const PeImage& image = chosen->image;
    std::string text = "image " + chosen->name + " entry " + Hex(image.entryRva) + " size " + Hex(image.sizeOfImage) +
                       " base " + Hex(image.preferredBase) + "\n";
    for (const Section& section : image.sections) {
        text += "section " + section.name + " rva " + Hex(section.rva) + " size " + Hex(section.span) + " " +
                (section.readable() ? "r" : "-") + (section.writable() ? "w" : "-") +
                (section.executable() ? "x" : "-") + "\n";
    }
    text += "relocations " + std::to_string(chosen->fixups.size()) + "\n";
    for (const Import& import : chosen->imports)
        text += "import " + import.module + " " + import.name + "\n";
    return text;
}

}  // namespace emu::loader
