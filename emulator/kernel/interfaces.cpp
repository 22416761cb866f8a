// Device interfaces: registration on a PnP physical device object, and
// enabling or disabling, which creates or removes the interface's symbolic
// link to that object. The link name carries the class GUID; a reference
// string follows it as "\RefString" and reaches the driver as the open's
// file name.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <mutex>
#include <vector>

namespace emu::kernel {
namespace {

constexpr ULONG LinkNameTag = 0x6E4C6F49;  // 'IoLn'

struct Interface {
    PDEVICE_OBJECT physicalDevice;
    GUID interfaceClass;
    std::u16string reference;
    std::u16string linkBase;  // "\??\ROOT#PONDREL#0000#{guid}"
    bool enabled;
};

std::mutex interfacesMutex;
std::vector<Interface> interfaces;  // guarded by interfacesMutex
uint32_t physicalDeviceNumbers = 0;

std::u16string Ascii(const char* text)
{
    return std::u16string(text, text + strlen(text));
}

std::u16string GuidText(const GUID& guid)
{
    char text[48];
    snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return Ascii(text);
}

std::u16string FullName(const Interface& entry)
{
    return entry.reference.empty() ? entry.linkBase : entry.linkBase + u"\\" + entry.reference;
}

// A PnP PDO: a device object of a system (bus) driver at the bottom of its stack.
bool IsPhysicalDevice(PDEVICE_OBJECT device)
{
    return IsLiveDevice(device) && IsSystemDriver(device->DriverObject) && LowerDeviceOf(device) == nullptr;
}

// The PDO's name, giving it one if its bus did not.
std::u16string NameForLinks(PDEVICE_OBJECT physicalDevice)
{
    std::u16string name = DeviceNameOf(physicalDevice);
    while (name.empty()) {
        char text[32];
        snprintf(text, sizeof(text), "\\Device\\PnpPdo%04u", physicalDeviceNumbers++);
        if (NT_SUCCESS(InsertDeviceName(Ascii(text), physicalDevice))) {
            name = Ascii(text);
        }
    }
    return name;
}

bool FillLinkName(PUNICODE_STRING target, const std::u16string& name)
{
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), LinkNameTag));
    if (buffer == nullptr) {
        return false;
    }
    memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    target->Buffer = buffer;
    target->Length = bytes;
    target->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return true;
}

Interface* FindByNameLocked(const std::u16string& name)
{
    for (auto& entry : interfaces) {
        if (FullName(entry) == name) {
            return &entry;
        }
    }
    return nullptr;
}

bool AnyEnabledLocked(const std::u16string& linkBase)
{
    for (const auto& entry : interfaces) {
        if (entry.linkBase == linkBase && entry.enabled) {
            return true;
        }
    }
    return false;
}

}  // namespace

void RemoveInterfacesOf(PDEVICE_OBJECT physicalDevice)
{
    std::lock_guard lock(interfacesMutex);
    for (const auto& entry : interfaces) {
        if (entry.physicalDevice == physicalDevice && entry.enabled) {
            RemoveLink(entry.linkBase);
        }
    }
    std::erase_if(interfaces, [physicalDevice](const Interface& entry) { return entry.physicalDevice == physicalDevice; });
}

void ResetInterfaces()
{
    std::lock_guard lock(interfacesMutex);
    interfaces.clear();
    physicalDeviceNumbers = 0;
}

}  // namespace emu::kernel

namespace emu {

std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass)
{
    std::lock_guard lock(kernel::interfacesMutex);
    std::vector<std::u16string> names;
    for (const auto& entry : kernel::interfaces) {
        if (entry.enabled && IsEqualGUID(entry.interfaceClass, interfaceClass)) {
            names.push_back(kernel::FullName(entry));
        }
    }
    return names;
}

}  // namespace emu

using namespace emu::kernel;

extern "C" {

// PASSIVE_LEVEL. STATUS_OBJECT_NAME_EXISTS (a success) when already
// registered; the caller frees SymbolicLinkName with RtlFreeUnicodeString.
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        emu::verifier::Report("IoRegisterDeviceInterface without a class or a name", "IoRegisterDeviceInterface");
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string reference = ToU16(ReferenceString);
    if (!IsPhysicalDevice(PhysicalDeviceObject) || reference.find(u'\\') != std::u16string::npos ||
        reference.find(u'/') != std::u16string::npos) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const std::u16string deviceName = NameForLinks(PhysicalDeviceObject);
    std::lock_guard lock(interfacesMutex);
    for (const auto& entry : interfaces) {
        if (entry.physicalDevice == PhysicalDeviceObject && IsEqualGUID(entry.interfaceClass, *InterfaceClassGuid) &&
            entry.reference == reference) {
            return FillLinkName(SymbolicLinkName, FullName(entry)) ? STATUS_OBJECT_NAME_EXISTS
                                                                    : STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    std::u16string base = u"\\??\\ROOT#PONDREL#" + deviceName.substr(deviceName.rfind(u'\\') + 1) + u"#" +
                          GuidText(*InterfaceClassGuid);
    Interface entry{PhysicalDeviceObject, *InterfaceClassGuid, reference, base, false};
    if (!FillLinkName(SymbolicLinkName, FullName(entry))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    interfaces.push_back(entry);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Enabling an enabled interface gives STATUS_OBJECT_NAME_EXISTS;
// disabling one that is not enabled gives STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    const std::u16string name = ToU16(SymbolicLinkName);
    std::lock_guard lock(interfacesMutex);
    Interface* entry = FindByNameLocked(name);
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (bool(Enable) == entry->enabled) {
        return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const bool linkExisted = AnyEnabledLocked(entry->linkBase);
    entry->enabled = Enable;
    if (Enable && !linkExisted) {
        InsertLink(entry->linkBase, NameForLinks(entry->physicalDevice), nullptr);
    }
    if (!Enable && !AnyEnabledLocked(entry->linkBase)) {
        RemoveLink(entry->linkBase);
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
