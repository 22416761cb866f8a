#!/usr/bin/env python3
"""Checks pondrel.sys the way the Windows loader and a reviewer see it.

    check_pe.py PONDREL_SYS

A 64-bit native kernel image marked as a WDM driver with NX and a valid
checksum, no section both writable and executable, importing only routines
that 64-bit Windows exports from ntoskrnl.exe, USBD.SYS and HAL.dll, and
carrying version 2.0.0.0 with its strings. Then each negative case mutates
a copy of the same image and must be caught by the check meant for it.
"""
import sys

import pefile

SUBSYSTEM_NATIVE = 1
MAGIC_PE32_PLUS = 0x20B
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
DLL_WDM_DRIVER = 0x2000
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000

# Routines 64-bit Windows exports, by module: the driver's imports and the
# usual WDM power, PnP and I/O routines a change may add.
EXPORTS = {
    "ntoskrnl.exe": {
        "ExAllocatePoolWithTag", "ExAllocatePool2", "ExFreePool", "ExFreePoolWithTag",
        "IoAcquireCancelSpinLock", "IoReleaseCancelSpinLock", "IoAllocateIrp", "IoFreeIrp", "IoInitializeIrp",
        "IoReuseIrp", "IoAllocateMdl", "IoFreeMdl", "IoAllocateWorkItem", "IoFreeWorkItem", "IoQueueWorkItem",
        "IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoBuildDeviceIoControlRequest",
        "IoBuildSynchronousFsdRequest", "IoCancelIrp", "IoCreateDevice", "IoDeleteDevice",
        "IoCreateSymbolicLink", "IoDeleteSymbolicLink", "IoRegisterDeviceInterface",
        "IoSetDeviceInterfaceState", "IoGetDeviceProperty", "IoOpenDeviceRegistryKey",
        "IoInvalidateDeviceState", "IoGetAttachedDeviceReference", "IofCallDriver", "IofCompleteRequest",
        "IoInitializeRemoveLockEx", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx",
        "IoReleaseRemoveLockAndWaitEx", "IoWMIRegistrationControl",
        "KeAcquireSpinLockRaiseToDpc", "KeReleaseSpinLock", "KeAcquireSpinLockAtDpcLevel",
        "KeReleaseSpinLockFromDpcLevel", "KeInitializeEvent", "KeSetEvent", "KeClearEvent", "KeResetEvent",
        "KeReadStateEvent", "KeWaitForSingleObject", "KeWaitForMultipleObjects", "KeDelayExecutionThread",
        "KeInitializeDpc", "KeInsertQueueDpc", "KeInitializeTimerEx", "KeSetTimerEx", "KeCancelTimer",
        "KeBugCheckEx", "MmIsAddressValid", "MmMapLockedPagesSpecifyCache", "MmUnmapLockedPages",
        "MmBuildMdlForNonPagedPool", "MmProbeAndLockPages", "MmUnlockPages", "MmGetSystemRoutineAddress",
        "ObfReferenceObject", "ObfDereferenceObject", "PoCallDriver", "PoRequestPowerIrp", "PoSetPowerState",
        "PoStartNextPowerIrp", "PoRegisterDeviceForIdleDetection", "PoSetDeviceBusyEx",
        "RtlInitUnicodeString", "RtlFreeUnicodeString", "RtlCopyUnicodeString", "RtlAppendUnicodeToString",
        "RtlCompareMemory", "RtlQueryRegistryValues", "ZwClose", "ZwOpenKey", "ZwQueryValueKey",
        "ZwSetValueKey", "DbgPrint", "DbgPrintEx", "memcpy", "memmove", "memset", "memcmp", "wcslen",
        "__C_specific_handler",
    },
    "usbd.sys": {
        "USBD_CreateConfigurationRequestEx", "USBD_ParseConfigurationDescriptorEx", "USBD_ParseDescriptors",
        "USBD_GetUSBDIVersion", "USBD_GetInterfaceLength",
    },
    "hal.dll": {"KeQueryPerformanceCounter", "KeStallExecutionProcessor"},
}

VERSION = (2, 0, 0, 0)
VERSION_STRINGS = {
    "FileVersion": "2.00", "ProductVersion": "2.00", "FileDescription": "USB Bulk driver",
    "InternalName": "pondrel.sys", "OriginalFilename": "pondrel.sys",
}
STRING_BLOCKS = ("040904b0", "0c0904e4")
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7


def text(value):
    return value.decode("ascii", "replace") if isinstance(value, bytes) else value


def check_headers(pe):
    problems = []
    if pe.FILE_HEADER.Machine != 0x8664:
        problems.append("machine is not AMD64")
    if pe.OPTIONAL_HEADER.Magic != MAGIC_PE32_PLUS:
        problems.append("not PE32+")
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_NATIVE:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not native")
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for flag, name in ((DLL_DYNAMIC_BASE, "dynamic base"), (DLL_NX_COMPAT, "NX"), (DLL_WDM_DRIVER, "WDM driver")):
        if not flags & flag:
            problems.append(f"DllCharacteristics lacks {name}")
    # The kernel refuses a driver whose checksum does not match.
    if pe.OPTIONAL_HEADER.CheckSum == 0 or not pe.verify_checksum():
        problems.append("checksum is not valid")
    for section in pe.sections:
        if section.Characteristics & SCN_EXECUTE and section.Characteristics & SCN_WRITE:
            problems.append(f"section {text(section.Name).rstrip(chr(0))} is writable and executable")
    return problems


def check_imports(pe):
    problems = []
    modules = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    if not any(text(entry.dll).lower() == "ntoskrnl.exe" for entry in modules):
        problems.append("imports nothing from ntoskrnl.exe")
    for entry in modules:
        dll = text(entry.dll)
        exported = EXPORTS.get(dll.lower())
        if exported is None:
            problems.append(f"imports from {dll}")
            continue
        for routine in entry.imports:
            name = text(routine.name) if routine.name else f"ordinal {routine.ordinal}"
            if name not in exported:
                problems.append(f"imports {name} from {dll}, which it does not export")
    return problems


def translations(pe, var):
    """The (language, code page) pairs of a Translation value."""
    start = var.get_file_offset() + 32  # after the header and "Translation\0", aligned
    raw = pe.__data__[start:start + var.ValueLength]
    return {int.from_bytes(raw[i:i + 2], "little") << 16 | int.from_bytes(raw[i + 2:i + 4], "little")
            for i in range(0, len(raw) - 3, 4)}


def check_version(pe):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version resource"]
    problems = []
    fixed = pe.VS_FIXEDFILEINFO[0]
    for label, high, low in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                             ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        version = (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
        if version != VERSION:
            problems.append(f"{label} version {'.'.join(map(str, version))}, not 2.0.0.0")
    if (fixed.FileType, fixed.FileSubtype) != (VFT_DRV, VFT2_DRV_SYSTEM):
        problems.append("file type is not a system driver")
    blocks, pairs = {}, set()
    for info in pe.FileInfo:
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                blocks[text(table.LangID).lower()] = {text(k): text(v) for k, v in table.entries.items()}
            for var in getattr(entry, "Var", []):
                pairs |= translations(pe, var)
    for block in STRING_BLOCKS:
        strings = blocks.get(block)
        if strings is None:
            problems.append(f"no version string block {block}")
            continue
        for key, value in VERSION_STRINGS.items():
            if strings.get(key) != value:
                problems.append(f"version string {block}\\{key} is {strings.get(key)!r}, not {value!r}")
        if int(block, 16) not in pairs:
            problems.append(f"no Translation entry for {block}")
    return problems


def check(data):
    pe = pefile.PE(data=bytes(data))
    return check_headers(pe) + check_imports(pe) + check_version(pe)


# ---- Negative cases: a copy of the real image with one thing broken ----

def rewritten(data, change, keep_checksum=False):
    pe = pefile.PE(data=bytes(data))
    change(pe)
    if not keep_checksum:
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def rename_import(pe, dll_name=None):
    """Renames the last routine imported (or the first module) in place."""
    entry = pe.DIRECTORY_ENTRY_IMPORT[-1 if dll_name is None else 0]
    if dll_name is not None:
        pe.set_bytes_at_offset(pe.get_offset_from_rva(entry.struct.Name), dll_name + b"\0")
        return
    routine = entry.imports[-1]
    pe.set_bytes_at_offset(routine.name_offset, routine.name[:-1] + b"\0")


def first_executable(pe):
    return next(s for s in pe.sections if s.Characteristics & SCN_EXECUTE)


NEGATIVE_CASES = [
    ("a Windows GUI subsystem", "not native",
     lambda d: rewritten(d, lambda pe: setattr(pe.OPTIONAL_HEADER, "Subsystem", 2))),
    ("the code section made writable", "writable and executable",
     lambda d: rewritten(d, lambda pe: setattr(first_executable(pe), "Characteristics",
                                               first_executable(pe).Characteristics | SCN_WRITE))),
    ("a checksum off by one", "checksum",
     lambda d: rewritten(d, lambda pe: setattr(pe.OPTIONAL_HEADER, "CheckSum", pe.OPTIONAL_HEADER.CheckSum ^ 1),
                         keep_checksum=True)),
    ("NX compatibility dropped", "lacks NX",
     lambda d: rewritten(d, lambda pe: setattr(pe.OPTIONAL_HEADER, "DllCharacteristics",
                                               pe.OPTIONAL_HEADER.DllCharacteristics & ~DLL_NX_COMPAT))),
    ("a routine name one letter short", "which it does not export", lambda d: rewritten(d, rename_import)),
    ("a module the driver may not import from", "imports from XTOSKRNL.EXE",
     lambda d: rewritten(d, lambda pe: rename_import(pe, b"XTOSKRNL.EXE"))),
    ("file version 2.0.0.1", "file version 2.0.0.1",
     lambda d: rewritten(d, lambda pe: setattr(pe.VS_FIXEDFILEINFO[0], "FileVersionLS", 1))),
]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as image:
        data = image.read()
    failed = False
    for problem in check(data):
        print(f"{argv[1]}: {problem}")
        failed = True
    for name, expected, mutate in NEGATIVE_CASES:
        found = check(mutate(data))
        if not any(expected in problem for problem in found):
            print(f"negative case '{name}' not caught as '{expected}'; found: {found}")
            failed = True
    if not failed:
        print(f"{argv[1]}: PE checks hold; {len(NEGATIVE_CASES)} broken copies caught")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
