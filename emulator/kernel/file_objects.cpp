// File objects for the application side: one per open, with the part of the
// path after the device name as FileName.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <cstdlib>
#include <mutex>
#include <set>

namespace emu::kernel {
namespace {

constexpr ULONG FileNameTag = 0x6D4E6F49;  // 'IoNm'

std::mutex filesMutex;
std::set<const void*> files;  // guarded by filesMutex

}  // namespace

bool IsFileObject(const void* object)
{
    std::lock_guard lock(filesMutex);
    return files.count(object) != 0;
}

void ResetFileObjects()
{
    std::lock_guard lock(filesMutex);
    for (const void* file : files) {
        std::free(const_cast<void*>(file));
    }
    files.clear();
}

}  // namespace emu::kernel

namespace emu {

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName)
{
    auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    const auto bytes = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
    auto* buffer = static_cast<WCHAR*>(kernel::AllocatePool(PagedPool, bytes + sizeof(WCHAR), kernel::FileNameTag,
                                                            nullptr, false));
    memcpy(buffer, fileName.data(), bytes);
    buffer[fileName.size()] = 0;
    file->FileName.Buffer = buffer;
    file->FileName.Length = bytes;
    file->FileName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    std::lock_guard lock(kernel::filesMutex);
    kernel::files.insert(file);
    return file;
}

void DeleteFileObject(PFILE_OBJECT file)
{
    {
        std::lock_guard lock(kernel::filesMutex);
        if (kernel::files.erase(file) == 0) {
            verifier::Report("DeleteFileObject of an object that is not a file", "DeleteFileObject",
                             kernel::Hex(file));
            return;
        }
    }
    kernel::FreePool(file->FileName.Buffer, "DeleteFileObject");
    std::free(file);
}

}  // namespace emu
