// Device objects, names, links and interfaces; the pool and its fault
// injection; MDLs; events without a second thread: as the kernel defines them.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace emu::test {
namespace {

class DeviceObjects : public KernelTest {
protected:
    NTSTATUS Create(const WCHAR* name, ULONG extension, PDEVICE_OBJECT* device, BOOLEAN exclusive = FALSE)
    {
        UNICODE_STRING text = Text(name);
        return IoCreateDevice(stack_.Driver(), extension, name ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive,
                              device);
    }
    static UNICODE_STRING Text(const WCHAR* text)
    {
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, text);
        return string;
    }
    TestStack stack_{0};
};

// A new object is zeroed, initializing, at the head of its driver's list;
// a second object of the same name is refused and leaves nothing behind.
// Links to a name resolve with the rest of the path and collide in any case.
TEST_F(DeviceObjects, CreateGivesZeroedExtensionAndInitialStateAndNamesResolveAndCollide)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Create(u"\\Device\\devtestC", 100, &device, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(device->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
    const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
    EXPECT_EQ(std::count(extension, extension + 100, 0), 100);
    PDEVICE_OBJECT unnamed = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &unnamed), STATUS_SUCCESS);
    EXPECT_EQ(unnamed->Flags, ULONG(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(stack_.Driver()->DeviceObject, unnamed);  // inserted at the head
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(Create(u"\\device\\DEVTESTC", 0, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(stack_.Driver()->DeviceObject, unnamed);
    IoDeleteDevice(device);
    IoDeleteDevice(unnamed);
    ASSERT_EQ(Create(u"\\Device\\devtestC", 0, &device), STATUS_SUCCESS);  // the name went with the object
    UNICODE_STRING link = Text(u"\\DosDevices\\devtestC"), target = Text(u"\\Device\\devtestC");
    UNICODE_STRING sameLink = Text(u"\\??\\devtestC");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    const std::pair<const char16_t*, const char16_t*> paths[] = {
        {u"\\\\.\\devtestC", u""}, {u"\\??\\DEVTESTC\\x", u"\\x"}, {u"\\Device\\devtestC\\y", u"\\y"}};
    for (const auto& [path, rest] : paths) {
        std::u16string remainder = u"unset";
        EXPECT_EQ(ResolveDeviceName(path, &remainder), device);
        EXPECT_EQ(remainder, rest);
    }
    EXPECT_EQ(ResolveDeviceName(u"\\\\.\\devtestCX", nullptr), nullptr);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ResolveDeviceName(u"\\\\.\\devtestC", nullptr), nullptr);
    IoDeleteDevice(device);
}

TEST_F(DeviceObjects, InterfaceRegistrationAndStateCodes)
{
    static const GUID Class = {0x6D3A1F52, 0x8C47, 0x4E09, {0xB2, 0xD6, 0x5F, 0x18, 0xA3, 0xC7, 0xE9, 0x04}};
    PDEVICE_OBJECT pdo = CreatePhysicalDevice(), notPdo = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &notPdo), STATUS_SUCCESS);
    UNICODE_STRING name{}, again{}, badReference = Text(u"a\\b");
    EXPECT_EQ(IoRegisterDeviceInterface(notPdo, &Class, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &Class, &badReference, &name), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &Class, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
    EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &Class, nullptr, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &again, FALSE));
    RtlFreeUnicodeString(&again);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    const std::u16string path(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    EXPECT_EQ(EnabledInterfaces(Class), std::vector<std::u16string>{path});
    std::u16string remainder;
    EXPECT_EQ(ResolveDeviceName(path + u"\\PIPE2", &remainder), pdo);
    EXPECT_EQ(remainder, u"\\PIPE2");
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ResolveDeviceName(path, nullptr), nullptr);
    RtlFreeUnicodeString(&name);
    IoDeleteDevice(notPdo);
    IoDeleteDevice(pdo);
}

// A machine that lives long deletes many device objects: the poisoned
// ones kept to catch late uses stay bounded, and the newest is still caught.
TEST_F(DeviceObjects, DeletedObjectsKeptAreBounded)
{
    PDEVICE_OBJECT device = nullptr;
    for (size_t i = 0; i < DeletedDevicesKept + 50; ++i) {
        ASSERT_EQ(Create(nullptr, 4096, &device), STATUS_SUCCESS);
        IoDeleteDevice(device);
    }
    EXPECT_EQ(DeletedDeviceObjectsKept(), DeletedDevicesKept);
    ExpectFinding("device object deleted twice", [&] { IoDeleteDevice(device); });
}

class Pool : public KernelTest {};

constexpr ULONG TagA = 0x41747354;  // 'TstA'

TEST_F(Pool, BlocksAreAlignedPatternFilledAndFindable)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 24, TagA));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(block) % 16, 0u);
    EXPECT_NE(block[0], 0);  // uninitialised contents are not zero
    const void* start = nullptr;
    SIZE_T bytes = 0;
    ASSERT_TRUE(pool::FindBlock(block + 20, &start, &bytes));
    EXPECT_EQ(start, block);
    EXPECT_EQ(bytes, 24u);
    EXPECT_FALSE(pool::FindBlock(block + 24, &start, &bytes));
    ExFreePool(block);
    EXPECT_FALSE(pool::FindBlock(block, &start, &bytes));
    EXPECT_FALSE(MmIsAddressValid(block));
}

// The failable-call counter counts every routine that can run out, and
// its n-th call fails. (Failing allocations by count, size or tag is driven
// by the driver's tests: CreateFixture.ReturnsNullWhenThePoolIsExhausted,
// PnpStateMachineTest.StopReleasesTheConfigurationAndDeconfigures,
// Writes.RefusalsComeInTheirCheckOrder.)
TEST_F(Pool, FailableCallsAreCountedAndTheNthFails)
{
    TestStack stack(1);  // the IRP built below completes at once and frees itself
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    UCHAR user[16] = {};
    const std::pair<const char*, std::function<bool()>> calls[] = {  // each makes the call and releases what it got
        {"ExAllocatePoolWithTag",
         [] { PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, TagA); return p ? (ExFreePool(p), false) : true; }},
        {"IoAllocateIrp", [] { PIRP irp = IoAllocateIrp(1, FALSE); return irp ? (IoFreeIrp(irp), false) : true; }},
        {"IoBuildDeviceIoControlRequest",
         [&] {
             PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
             return irp ? (IoCallDriver(stack.Top(), irp), false) : true;
         }},
        {"MmGetSystemAddressForMdlSafe",
         [&] {
             PMDL mdl = IoAllocateMdl(user, sizeof(user), FALSE, FALSE, nullptr);
             MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
             const bool failed = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) == nullptr;
             MmUnlockPages(mdl);
             IoFreeMdl(mdl);
             return failed;
         }},
        {"IoAllocateWorkItem",
         [&] { PIO_WORKITEM item = IoAllocateWorkItem(stack.Top()); return item ? (IoFreeWorkItem(item), false) : true; }},
    };
    for (const auto& [name, failed] : calls) {
        SCOPED_TRACE(name);
        const uint64_t before = faults::FailableCalls();
        EXPECT_FALSE(failed());
        EXPECT_EQ(faults::FailableCalls(), before + 1);
        faults::FailNthCall(1);
        EXPECT_TRUE(failed());
        EXPECT_FALSE(failed());
    }
}

class Events : public KernelTest {};

NTSTATUS WaitWithTimeout(PKEVENT event, LONGLONG timeout)
{
    LARGE_INTEGER value;
    value.QuadPart = timeout;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &value);
}

// Set and reset return the previous state, clear clears; a wait consumes
// only a synchronization event's signal; timeouts expire.
TEST_F(Events, SetReturnsPreviousStateWaitsConsumeOnlySynchronizationEventsAndTimeoutsExpire)
{
    for (const EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        for (const BOOLEAN initial : {FALSE, TRUE}) {
            SCOPED_TRACE(testing::Message() << type << " initially " << int(initial));
            KEVENT event;
            KeInitializeEvent(&event, type, initial);
            EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), initial);
            EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
            EXPECT_EQ(WaitWithTimeout(&event, 0), STATUS_SUCCESS);
            EXPECT_EQ(WaitWithTimeout(&event, 0), type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            EXPECT_EQ(KeResetEvent(&event), 1);
            EXPECT_EQ(KeResetEvent(&event), 0);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
            KeClearEvent(&event);
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            EXPECT_EQ(WaitWithTimeout(&event, 0), STATUS_TIMEOUT);
        }
    }
    // A relative timeout lasts its interval; an absolute one in the past is a poll.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitWithTimeout(&event, -20 * 10000), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(WaitWithTimeout(&event, now.QuadPart - 10000000), STATUS_TIMEOUT);
}

}  // namespace
}  // namespace emu::test
