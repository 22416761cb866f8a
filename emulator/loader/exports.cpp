// The export table: one row per routine the emulator provides to an image.
#include "emulator/loader/exports.h"

#include "emulator/kernel/crt_exports.h"
#include "emulator/kernel/wdm.h"
#include "emulator/usb/usb_api.h"


namespace emu::loader {
namespace {

// The handler another toolchain names in the unwind data of a routine with
// a __try block. The emulator never dispatches an exception into an image
// (a fault there ends the run), so it is only ever bound, not called; if it
// were, "keep searching" is the answer that changes nothing.
__attribute__((ms_abi)) int SpecificHandler(void*, void*, void*, void*)
{
    return 1;  // ExceptionContinueSearch
}

}  // namespace
}  // namespace emu::loader

// The stack probe another toolchain calls before a frame larger than a
// page. Linux maps a thread's whole stack up front, so there is nothing to
// touch; every register is preserved, as the probe's callers expect.
extern "C" void PondrelStackProbe();
asm(".text\n"
    ".globl PondrelStackProbe\n"
    ".type PondrelStackProbe, @function\n"
    "PondrelStackProbe:\n"
    "    ret\n"
    ".size PondrelStackProbe, .-PondrelStackProbe\n");

namespace emu::loader {
namespace {

#define KERNEL(name) {"ntoskrnl.exe", #name, reinterpret_cast<const void*>(&name)}
#define USBD(name) {"usbd.sys", #name, reinterpret_cast<const void*>(&name)}

const Export table[] = {
    // Requests
    KERNEL(IofCallDriver), KERNEL(IofCompleteRequest), KERNEL(IoAllocateIrp), KERNEL(IoFreeIrp), KERNEL(IoReuseIrp),
    KERNEL(IoBuildDeviceIoControlRequest), KERNEL(IoCancelIrp), KERNEL(IoAcquireCancelSpinLock),
    KERNEL(IoReleaseCancelSpinLock),
    // Device objects, names, interfaces
    KERNEL(IoCreateDevice), KERNEL(IoDeleteDevice), KERNEL(IoCreateSymbolicLink), KERNEL(IoDeleteSymbolicLink),
    KERNEL(IoAttachDeviceToDeviceStack), KERNEL(IoDetachDevice), KERNEL(IoGetAttachedDeviceReference),
    KERNEL(IoRegisterDeviceInterface), KERNEL(IoSetDeviceInterfaceState), KERNEL(ObfReferenceObject),
    KERNEL(ObfDereferenceObject),
    // Work items
    KERNEL(IoAllocateWorkItem), KERNEL(IoQueueWorkItem), KERNEL(IoFreeWorkItem),
    // MDLs and memory
    KERNEL(IoAllocateMdl), KERNEL(IoFreeMdl), KERNEL(MmBuildMdlForNonPagedPool), KERNEL(MmProbeAndLockPages),
    KERNEL(MmUnlockPages), KERNEL(MmMapLockedPagesSpecifyCache), KERNEL(MmUnmapLockedPages), KERNEL(MmIsAddressValid),
    // Pool
    KERNEL(ExAllocatePoolWithTag), KERNEL(ExAllocatePool), KERNEL(ExFreePool), KERNEL(ExFreePoolWithTag),
    // Events, waits, time
    KERNEL(KeInitializeEvent), KERNEL(KeSetEvent), KERNEL(KeClearEvent), KERNEL(KeResetEvent),
    KERNEL(KeReadStateEvent), KERNEL(KeWaitForSingleObject), KERNEL(KeDelayExecutionThread),
    KERNEL(KeQueryInterruptTime), KERNEL(KeQuerySystemTime), KERNEL(KeGetCurrentThread),
    // IRQL and spin locks
    KERNEL(KeGetCurrentIrql), KERNEL(KfRaiseIrql), KERNEL(KeLowerIrql), KERNEL(KeRaiseIrqlToDpcLevel),
    KERNEL(KeInitializeSpinLock), KERNEL(KeAcquireSpinLockRaiseToDpc), KERNEL(KeReleaseSpinLock),
    KERNEL(KeAcquireSpinLockAtDpcLevel), KERNEL(KeReleaseSpinLockFromDpcLevel),
    // Strings
    KERNEL(RtlInitUnicodeString), KERNEL(RtlFreeUnicodeString), KERNEL(RtlCopyUnicodeString),
    KERNEL(RtlEqualUnicodeString), KERNEL(RtlCompareMemory),
    // Power
    KERNEL(PoRequestPowerIrp), KERNEL(PoCallDriver), KERNEL(PoStartNextPowerIrp), KERNEL(PoSetPowerState),
    // The C library and the other toolchains' helpers
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset)},
    {"ntoskrnl.exe", "__C_specific_handler", reinterpret_cast<const void*>(&SpecificHandler)},
    {"ntoskrnl.exe", "__chkstk", reinterpret_cast<const void*>(&PondrelStackProbe)},
    // The USB driver interface library
    USBD(USBD_CreateConfigurationRequestEx), USBD(USBD_ParseConfigurationDescriptorEx),
};

#undef KERNEL
#undef USBD

bool SameModule(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

}  // namespace

std::span<const Export> Exports()
{
    return table;
}

const void* FindExport(std::string_view module, std::string_view name)
{
    for (const Export& entry : table) {
        if (SameModule(entry.module, module) && entry.name == name)
            return entry.address;
    }
    return nullptr;
}

bool ProvidesModule(std::string_view module)
{
    for (const Export& entry : table) {
        if (SameModule(entry.module, module))
            return true;
    }
    return false;
}

}  // namespace emu::loader
