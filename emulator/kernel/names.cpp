// The object namespace as far as devices need it: device names, symbolic
// links ("\DosDevices\X" and "\??\X" are the same link; "\\.\X" and "\\?\X"
// are how applications spell it), and resolution of a path to the named
// device object plus the rest of the path. Names compare case-insensitively.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <map>
#include <mutex>

namespace emu::kernel {
namespace {

struct Link {
    std::u16string name;
    std::u16string target;
    PDRIVER_OBJECT owner;
};

std::mutex namesMutex;
std::map<std::u16string, std::pair<std::u16string, PDEVICE_OBJECT>> deviceNames;  // by key; guarded
std::map<std::u16string, Link> links;                                             // by key; guarded

std::u16string Key(std::u16string_view name)
{
    std::u16string key(name);
    for (auto& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && Key(text.substr(0, prefix.size())) == Key(prefix);
}

// One spelling for every way of naming the DOS device directory.
std::u16string Canonical(std::u16string_view path)
{
    static const std::u16string_view prefixes[] = {u"\\\\.\\", u"\\\\?\\", u"\\DosDevices\\", u"\\GLOBAL??\\"};
    for (auto prefix : prefixes) {
        if (StartsWith(path, prefix)) {
            return u"\\??\\" + std::u16string(path.substr(prefix.size()));
        }
    }
    return std::u16string(path);
}

// The longest entry of `table` that is `path` itself or a directory prefix
// of it. Caller holds namesMutex.
template <typename Table>
typename Table::const_iterator LongestPrefixLocked(const Table& table, const std::u16string& path)
{
    const std::u16string key = Key(path);
    auto best = table.end();
    for (auto it = table.begin(); it != table.end(); ++it) {
        const std::u16string& candidate = it->first;
        if (key.compare(0, candidate.size(), candidate) != 0) {
            continue;
        }
        if (key.size() != candidate.size() && key[candidate.size()] != u'\\') {
            continue;
        }
        if (best == table.end() || candidate.size() > best->first.size()) {
            best = it;
        }
    }
    return best;
}

}  // namespace

NTSTATUS InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device)
{
    std::lock_guard lock(namesMutex);
    const std::u16string key = Key(name);
    if (deviceNames.count(key) != 0 || links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    deviceNames[key] = {name, device};
    return STATUS_SUCCESS;
}

void RemoveDeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard lock(namesMutex);
    std::erase_if(deviceNames, [device](const auto& entry) { return entry.second.second == device; });
}

std::u16string DeviceNameOf(PDEVICE_OBJECT device)
{
    std::lock_guard lock(namesMutex);
    for (const auto& [key, entry] : deviceNames) {
        if (entry.second == device) {
            return entry.first;
        }
    }
    return {};
}

NTSTATUS InsertLink(const std::u16string& link, const std::u16string& target, PDRIVER_OBJECT owner)
{
    const std::u16string name = Canonical(link);
    std::lock_guard lock(namesMutex);
    const std::u16string key = Key(name);
    if (links.count(key) != 0 || deviceNames.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    links[key] = Link{name, target, owner};
    return STATUS_SUCCESS;
}

NTSTATUS RemoveLink(const std::u16string& link)
{
    std::lock_guard lock(namesMutex);
    return links.erase(Key(Canonical(link))) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void ReportLinkLeaks(PDRIVER_OBJECT driver)
{
    std::vector<std::u16string> left;
    {
        std::lock_guard lock(namesMutex);
        for (auto it = links.begin(); it != links.end();) {
            if (it->second.owner != driver) {
                ++it;
                continue;
            }
            left.push_back(it->second.name);
            it = links.erase(it);
        }
    }
    for (const auto& name : left) {
        verifier::Report("symbolic link left at unload", "DriverUnload", ToUtf8(name));
    }
}

void ResetNames()
{
    std::lock_guard lock(namesMutex);
    deviceNames.clear();
    links.clear();
}

}  // namespace emu::kernel

namespace emu {

PDEVICE_OBJECT ResolveDeviceName(std::u16string_view path, std::u16string* remainder)
{
    std::u16string current = kernel::Canonical(path);
    std::lock_guard lock(kernel::namesMutex);
    for (int depth = 0; depth < 8; ++depth) {
        auto device = kernel::LongestPrefixLocked(kernel::deviceNames, current);
        if (device != kernel::deviceNames.end()) {
            if (remainder != nullptr) {
                *remainder = current.substr(device->first.size());
            }
            return device->second.second;
        }
        auto link = kernel::LongestPrefixLocked(kernel::links, current);
        if (link == kernel::links.end()) {
            return nullptr;
        }
        current = kernel::Canonical(link->second.target) + current.substr(link->first.size());
    }
    return nullptr;
}

}  // namespace emu

using namespace emu::kernel;

extern "C" {

// PASSIVE_LEVEL. Fails with STATUS_OBJECT_NAME_COLLISION when the name exists.
NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (SymbolicLinkName == nullptr || DeviceName == nullptr || SymbolicLinkName->Length == 0) {
        emu::verifier::Report("IoCreateSymbolicLink without a name", "IoCreateSymbolicLink");
        return STATUS_INVALID_PARAMETER;
    }
    return InsertLink(ToU16(SymbolicLinkName), ToU16(DeviceName), ChargedDriver());
}

// PASSIVE_LEVEL. STATUS_OBJECT_NAME_NOT_FOUND when there is no such link.
NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (SymbolicLinkName == nullptr) {
        emu::verifier::Report("IoDeleteSymbolicLink without a name", "IoDeleteSymbolicLink");
        return STATUS_INVALID_PARAMETER;
    }
    return RemoveLink(ToU16(SymbolicLinkName));
}

}  // extern "C"
