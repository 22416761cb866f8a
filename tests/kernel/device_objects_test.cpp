// Device objects, names, symbolic links, device interfaces, attachment and
// deferred deletion, as the I/O manager defines them.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <string>

namespace emu::test {
namespace {

class DeviceObjects : public KernelTest {
protected:
    void SetUp() override { ASSERT_EQ(LoadDriver(u"devtest", Entry, u"\\Registry\\devtest", &driver_), STATUS_SUCCESS); }
    void TearDown() override { UnloadDriver(driver_); }

    static NTSTATUS Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

    NTSTATUS Create(const WCHAR* name, ULONG extension, PDEVICE_OBJECT* device, BOOLEAN exclusive = FALSE)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return IoCreateDevice(driver_, extension, name ? &text : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, device);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

UNICODE_STRING Text(const WCHAR* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

TEST_F(DeviceObjects, CreateGivesZeroedExtensionAndInitialState)
{
    const struct {
        const char* name;
        const WCHAR* deviceName;
        ULONG extension;
        BOOLEAN exclusive;
        ULONG flags;
    } cases[] = {
        {"named, exclusive", u"\\Device\\devtestA", 100, TRUE, DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME},
        {"unnamed", nullptr, 24, FALSE, DO_DEVICE_INITIALIZING},
        {"no extension", nullptr, 0, FALSE, DO_DEVICE_INITIALIZING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(Create(c.deviceName, c.extension, &device, c.exclusive), STATUS_SUCCESS);
        EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
        EXPECT_EQ(device->Size, sizeof(DEVICE_OBJECT) + c.extension);
        EXPECT_EQ(device->StackSize, 1);
        EXPECT_EQ(device->Flags, c.flags);
        EXPECT_EQ(device->DriverObject, driver_);
        EXPECT_EQ(driver_->DeviceObject, device);  // inserted at the head
        EXPECT_EQ(device->DeviceExtension, c.extension ? static_cast<PVOID>(device + 1) : nullptr);
        const auto* bytes = static_cast<const UCHAR*>(device->DeviceExtension);
        for (ULONG i = 0; i < c.extension; ++i) {
            ASSERT_EQ(bytes[i], 0) << "extension byte " << i;
        }
        IoDeleteDevice(device);
    }
}

TEST_F(DeviceObjects, NameCollisionFailsAndLeavesNoObject)
{
    PDEVICE_OBJECT first = nullptr;
    ASSERT_EQ(Create(u"\\Device\\devtestB", 0, &first), STATUS_SUCCESS);
    PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(Create(u"\\device\\DEVTESTB", 0, &second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(driver_->DeviceObject, first);
    IoDeleteDevice(first);
    PDEVICE_OBJECT again = nullptr;
    EXPECT_EQ(Create(u"\\Device\\devtestB", 0, &again), STATUS_SUCCESS);  // the name went with the object
    IoDeleteDevice(again);
}

TEST_F(DeviceObjects, SymbolicLinksResolveAndCollide)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Create(u"\\Device\\devtestC", 0, &device), STATUS_SUCCESS);
    UNICODE_STRING link = Text(u"\\DosDevices\\devtestC");
    UNICODE_STRING target = Text(u"\\Device\\devtestC");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING sameLink = Text(u"\\??\\devtestC");
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);

    const struct {
        const char16_t* path;
        const char16_t* remainder;
    } paths[] = {
        {u"\\\\.\\devtestC", u""},
        {u"\\\\.\\devtestC\\PIPE1", u"\\PIPE1"},
        {u"\\??\\DEVTESTC\\x", u"\\x"},
        {u"\\Device\\devtestC\\y", u"\\y"},
    };
    for (const auto& p : paths) {
        std::u16string remainder = u"unset";
        EXPECT_EQ(ResolveDeviceName(p.path, &remainder), device);
        EXPECT_EQ(remainder, p.remainder);
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
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    PDEVICE_OBJECT notPdo = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &notPdo), STATUS_SUCCESS);

    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(notPdo, &Class, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
    UNICODE_STRING badReference = Text(u"a\\b");
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &Class, &badReference, &name), STATUS_INVALID_DEVICE_REQUEST);

    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &Class, nullptr, &name), STATUS_SUCCESS);
    ASSERT_NE(name.Buffer, nullptr);
    EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
    EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);
    UNICODE_STRING again{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &Class, nullptr, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &again, FALSE));
    RtlFreeUnicodeString(&again);

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(EnabledInterfaces(Class).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
    const auto enabled = EnabledInterfaces(Class);
    ASSERT_EQ(enabled.size(), 1u);
    const std::u16string path(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    EXPECT_EQ(enabled[0], path);
    std::u16string remainder;
    EXPECT_EQ(ResolveDeviceName(path + u"\\PIPE2", &remainder), pdo);
    EXPECT_EQ(remainder, u"\\PIPE2");

    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ResolveDeviceName(path, nullptr), nullptr);
    RtlFreeUnicodeString(&name);
    IoDeleteDevice(notPdo);
    IoDeleteDevice(pdo);
}

TEST_F(DeviceObjects, AttachReturnsTopOfStackAndDetachUndoesIt)
{
    PDEVICE_OBJECT bottom = CreatePhysicalDevice();
    bottom->StackSize = 3;
    PDEVICE_OBJECT middle = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(Create(nullptr, 0, &middle), STATUS_SUCCESS);
    ASSERT_EQ(Create(nullptr, 0, &top), STATUS_SUCCESS);

    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(middle->StackSize, 4);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);  // the top, not the target
    EXPECT_EQ(top->StackSize, 5);
    EXPECT_EQ(TopOfStack(bottom), top);
    EXPECT_EQ(LowerDeviceOf(top), middle);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(LowerDeviceOf(top), nullptr);
    IoDetachDevice(bottom);
    EXPECT_EQ(TopOfStack(bottom), bottom);
    IoDeleteDevice(top);
    IoDeleteDevice(middle);
    IoDeleteDevice(bottom);
}

// An open file keeps a deleted device object alive (and in its driver's
// list), nameless and refusing nothing the I/O manager still sends, until
// the last reference goes.
TEST_F(DeviceObjects, DeletionDeferredWhileAFileIsOpen)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Create(u"\\Device\\devtestD", 16, &device), STATUS_SUCCESS);
    ReferenceDeviceObject(device);
    EXPECT_EQ(device->ReferenceCount, 1);

    IoDeleteDevice(device);
    EXPECT_TRUE(IsDeletePending(device));
    EXPECT_TRUE(IsDeviceObjectAlive(device));
    EXPECT_EQ(driver_->DeviceObject, device);
    EXPECT_EQ(ResolveDeviceName(u"\\Device\\devtestD", nullptr), nullptr);

    DereferenceDeviceObject(device);
    EXPECT_FALSE(IsDeviceObjectAlive(device));
    EXPECT_EQ(driver_->DeviceObject, nullptr);
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

}  // namespace
}  // namespace emu::test
