// One test per verifier rule: each provokes the fault and sees it reported.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include "emulator/usb/usb_api.h"

#include <gtest/gtest-spi.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace emu::test {
namespace {

class VerifierRules : public KernelTest {};

constexpr ULONG LeakTag = 0x6B61654C;  // 'Leak'

// The rules a dispatch routine breaks on its own IRP. Each IRP still goes
// back to its creator once.
TEST_F(VerifierRules, DispatchRoutineMisuse)
{
    PIRP held = nullptr;
    const struct {
        const char* rule;
        Handler dispatch;
    } cases[] = {
        {"IRP completed twice", [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, CompleteWith(irp, 0)); }},
        {"IRP completed with STATUS_PENDING",
         [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_PENDING), STATUS_SUCCESS; }},
        {"IRP completed with a cancel routine set",
         [](PDEVICE_OBJECT, PIRP irp) { return IoSetCancelRoutine(irp, UnusedCancelRoutine), CompleteWith(irp, 0); }},
        {"STATUS_PENDING returned without IoMarkIrpPending",
         [&held](PDEVICE_OBJECT, PIRP irp) { return held = irp, STATUS_PENDING; }},
        {"IoMarkIrpPending without returning STATUS_PENDING",
         [](PDEVICE_OBJECT, PIRP irp) { return IoMarkIrpPending(irp), CompleteWith(irp, STATUS_SUCCESS); }},
        {"IRQL changed across a dispatch routine",
         [](PDEVICE_OBJECT, PIRP irp) { return KfRaiseIrql(DISPATCH_LEVEL), CompleteWith(irp, STATUS_SUCCESS); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        TestStack stack(1);
        stack.OnDispatch(0, c.dispatch);
        stack.creator.action = [](PIRP irp) { IoSetCancelRoutine(irp, nullptr), IoFreeIrp(irp); };
        const auto seen = ExpectFinding(c.rule, [&] { stack.Send(); });
        ASSERT_FALSE(seen.empty());
        if (c.rule == cases[0].rule) {
            EXPECT_EQ(seen[0].routine, "IofCompleteRequest");
        }
        if (held != nullptr) {
            CompleteWith(std::exchange(held, nullptr), STATUS_SUCCESS);
        }
        EXPECT_EQ(stack.creator.calls, 1);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// Each dispatch routine sends a fresh IRP to its own device before it
// completes its own: `levels` nested dispatch routines on one thread. 20
// fit in a 24 KB kernel stack; 40 do not.
TEST_F(VerifierRules, KernelStackOverflow)
{
    for (const int levels : {20, 40}) {
        SCOPED_TRACE(levels);
        TestStack stack(1);
        int left = levels;
        stack.OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
            if (left-- > 0) {
                stack.Send();
            }
            return CompleteWith(irp, STATUS_SUCCESS);
        });
        if (levels < 32) {
            stack.Send();
        } else {
            EXPECT_EQ(ExpectFinding("kernel stack overflow", [&] { stack.Send(); }).size(), 1u);
        }
        EXPECT_EQ(stack.creator.calls, levels + 1);
    }
}

// Each routine the driver imports is refused one level above its documented
// maximum, and accepted at it.
TEST_F(VerifierRules, EachRoutineKeepsItsIrqlLimit)
{
    TestStack stack(1);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    USB_INTERFACE_DESCRIPTOR interface{sizeof interface, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFF, 0, 0, 0};
    USB_CONFIGURATION_DESCRIPTOR config{sizeof config, USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof config, 1, 1, 0,
                                       0x80, 50};
    USBD_INTERFACE_LIST_ENTRY list[2] = {{&interface, nullptr}, {nullptr, nullptr}};
    PIO_WORKITEM item = nullptr;  // what the calls below create and release
    UNICODE_STRING name;
    PDEVICE_OBJECT device = nullptr;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    PURB urb = nullptr;
    const struct {
        const char* routine;
        KIRQL maximum;
        std::function<void(KIRQL)> call;  // the routine at the given IRQL, with its setup and cleanup
    } cases[] = {
        {"KeClearEvent", DISPATCH_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { KeClearEvent(&event); }); }},
        {"KeResetEvent", DISPATCH_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { KeResetEvent(&event); }); }},
        {"KeSetEvent", DISPATCH_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { KeSetEvent(&event, 0, FALSE); }); }},
        {"KeSetEvent", APC_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { KeSetEvent(&event, 0, TRUE); }); }},  // Wait TRUE
        {"IoFreeWorkItem", DISPATCH_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&, item = IoAllocateWorkItem(stack.Top())] { IoFreeWorkItem(item); }); }},
        {"IoAllocateWorkItem", DISPATCH_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { item = IoAllocateWorkItem(stack.Top()); }), IoFreeWorkItem(item); }},
        {"ExFreePool", DISPATCH_LEVEL,
         [&](KIRQL at) { AtIrql(at, [block = ExAllocatePoolWithTag(NonPagedPool, 8, LeakTag)] { ExFreePool(block); }); }},
        {"MmIsAddressValid", DISPATCH_LEVEL, [&](KIRQL at) { AtIrql(at, [&] { MmIsAddressValid(&event); }); }},
        {"RtlInitUnicodeString", DISPATCH_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { RtlInitUnicodeString(&name, u"\\Device\\x"); }); }},
        {"RtlFreeUnicodeString", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&, empty = UNICODE_STRING{}]() mutable { RtlFreeUnicodeString(&empty); }); }},
        {"IoCreateDevice", PASSIVE_LEVEL,
         [&](KIRQL at) {
             AtIrql(at, [&] { IoCreateDevice(stack.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device); });
             IoDeleteDevice(device);
         }},
        {"IoDeleteDevice", PASSIVE_LEVEL,
         [&](KIRQL at) {
             IoCreateDevice(stack.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
             AtIrql(at, [&] { IoDeleteDevice(device); });
         }},
        {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL,
         [&](KIRQL at) {
             AtIrql(at, [&] { irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), 0, 0, 0, 0, TRUE, &event, &iosb); });
             IoCallDriver(stack.Top(), irp);
         }},
        {"IoDetachDevice", PASSIVE_LEVEL,
         [&](KIRQL at) {
             IoCreateDevice(stack.Driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
             IoAttachDeviceToDeviceStack(device, stack.Top());
             AtIrql(at, [&] { IoDetachDevice(stack.Top()); }), IoDeleteDevice(device);
         }},
        {"IoSetDeviceInterfaceState", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { IoSetDeviceInterfaceState(&name, TRUE); }); }},
        {"IoCreateSymbolicLink", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { IoCreateSymbolicLink(&name, &name); }), IoDeleteSymbolicLink(&name); }},
        {"IoDeleteSymbolicLink", PASSIVE_LEVEL,
         [&](KIRQL at) { IoCreateSymbolicLink(&name, &name), AtIrql(at, [&] { IoDeleteSymbolicLink(&name); }); }},
        {"USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { USBD_ParseConfigurationDescriptorEx(&config, &config, -1, -1, -1, -1, -1); }); }},
        {"USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL,
         [&](KIRQL at) { AtIrql(at, [&] { urb = USBD_CreateConfigurationRequestEx(&config, list); }), ExFreePool(urb); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routine);
        c.call(c.maximum);  // no finding at the limit
        const auto seen = ExpectFinding("IRQL too high for the routine", [&] { c.call(c.maximum + 1); });
        EXPECT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen.empty() ? "" : seen[0].routine, c.routine);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// Sends a PnP request with `minor` from the top of `stack`, as the PnP
// manager does (Status preset to STATUS_NOT_SUPPORTED).
NTSTATUS SendPnp(TestStack& stack, UCHAR minor)
{
    PIRP irp = stack.AllocateIrp(IRP_MJ_PNP);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
    IoSetCompletionRoutine(irp, ProbeCompletion, &stack.creator, TRUE, TRUE, TRUE);
    return IoCallDriver(stack.Top(), irp);
}

void DoubleFree()
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, LeakTag);
    ExFreePool(block);
    ExFreePool(block);
}

NTSTATUS CompleteUntouched(PDEVICE_OBJECT, PIRP irp)
{
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

// Each row provokes one rule once; the lines after the provoking call show
// the legal neighbour of the misuse is not reported.
TEST_F(VerifierRules, EachMisuseIsReported)
{
    static KSPIN_LOCK first, second;
    KEVENT signalled;
    KeInitializeEvent(&signalled, NotificationEvent, TRUE);
    std::optional<TestStack> stack;  // a fresh two-level stack for each row
    const struct {
        const char* rule;
        std::function<void()> provoke;
    } cases[] = {
        {"pool freed twice", DoubleFree},
        {"pool block overrun",
         [] {
             auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, LeakTag));
             block[8] = 0;
             ExFreePool(block);
         }},
        {"free of an address that is not a pool block", [] { ExFreePool(&first); }},
        {"pool freed with the wrong tag",
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, LeakTag), LeakTag + 1); }},
        {"zero-byte pool allocation", [] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, LeakTag)); }},
        {"unknown pool type", [] { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(77), 8, LeakTag), nullptr); }},
        {"paged pool allocated above APC_LEVEL",
         [] { ExFreePool(AtIrql(DISPATCH_LEVEL, [] { return ExAllocatePoolWithTag(PagedPool, 8, LeakTag); })); }},
        {"two driver spin locks held at once",
         [&] {
             KIRQL outer = KeAcquireSpinLockRaiseToDpc(&first);
             KeReleaseSpinLock(&second, KeAcquireSpinLockRaiseToDpc(&second));
             KeReleaseSpinLock(&first, outer);
         }},
        {"spin lock released at the wrong IRQL",
         [&] { KeAcquireSpinLockRaiseToDpc(&first), KeReleaseSpinLock(&first, APC_LEVEL), KeLowerIrql(PASSIVE_LEVEL); }},
        {"spin lock released by another thread",
         [&] {
             std::thread([&] { KeAcquireSpinLockRaiseToDpc(&first); }).join();
             KeReleaseSpinLock(&first, KfRaiseIrql(DISPATCH_LEVEL));
             EXPECT_EQ(first, 0u);
         }},
        {"call out of the driver while holding a spin lock",  // IoCallDriver
         [&] {
             KIRQL old = KeAcquireSpinLockRaiseToDpc(&first);
             stack->Send();
             KeReleaseSpinLock(&first, old);
         }},
        {"call out of the driver while holding a spin lock",  // IoCompleteRequest
         [&] {
             stack->OnDispatch(0, [&](PDEVICE_OBJECT, PIRP irp) {
                 KIRQL old = KeAcquireSpinLockRaiseToDpc(&first);
                 CompleteWith(irp, STATUS_SUCCESS);
                 KeReleaseSpinLock(&first, old);
                 return STATUS_SUCCESS;
             });
             stack->Send();
         }},
        {"call out of the driver while holding a spin lock",  // KeWaitForSingleObject
         [&] {
             KIRQL old = KeAcquireSpinLockRaiseToDpc(&first);
             ExpectFinding("wait at DISPATCH_LEVEL",
                           [&] { KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, nullptr); });
             KeReleaseSpinLock(&first, old);
         }},
        {"wait at DISPATCH_LEVEL",
         [&] {
             LARGE_INTEGER zero{};
             AtIrql(DISPATCH_LEVEL, [&] {
                 KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, nullptr);
                 EXPECT_EQ(KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);  // a poll is fine
             });
         }},
        {"IRQL changed across a completion routine",
         [&] { stack->creator.action = [](PIRP irp) { KfRaiseIrql(APC_LEVEL), IoFreeIrp(irp); }, stack->Send(); }},
        {"IoSetCompletionRoutine after IoSkipCurrentIrpStackLocation",
         [] {
             OnIrp(2, 1, [](PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 IoSetCompletionRoutine(irp, ProbeCompletion, nullptr, TRUE, TRUE, TRUE);
             });
         }},
        {"IoMarkIrpPending after IoSkipCurrentIrpStackLocation",
         [] { OnIrp(3, 2, [](PIRP irp) { IoSkipCurrentIrpStackLocation(irp), IoMarkIrpPending(irp); }); }},
        {"no lower stack location", [] { OnIrp(1, 1, [](PIRP irp) { IoGetNextIrpStackLocation(irp); }); }},
        {"IoMarkIrpPending without a stack location of one's own", [] { OnIrp(1, 0, IoMarkIrpPending); }},
        {"completion flags set without a completion routine",
         [] { OnIrp(1, 0, [](PIRP irp) { IoSetCompletionRoutine(irp, nullptr, nullptr, TRUE, FALSE, FALSE); }); }},
        {"no more IRP stack locations",
         [&] {
             OnIrp(1, 1, [&](PIRP irp) {
                 EXPECT_EQ(IoCallDriver(stack->Top(), irp), STATUS_INVALID_PARAMETER);
                 EXPECT_EQ(irp->CurrentLocation, 1);
             });
         }},
        {"unknown major function",
         [&] {
             PIRP irp = stack->AllocateIrp(0x40);
             EXPECT_EQ(IoCallDriver(stack->Top(), irp), STATUS_INVALID_DEVICE_REQUEST);
             IoFreeIrp(irp);
         }},
        {"completion routine did not mark a pending IRP pending",
         [&] {
             PIRP held = nullptr;
             stack->OnDispatch(0, HoldPending(&held));
             stack->OnDispatch(1, [&](PDEVICE_OBJECT, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 const auto pass = [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_CONTINUE_COMPLETION; };
                 IoSetCompletionRoutine(irp, pass, nullptr, TRUE, TRUE, TRUE);
                 return IoCallDriver(stack->Device(0), irp);
             });
             ASSERT_EQ(stack->Send(), STATUS_PENDING);
             CompleteWith(held, STATUS_SUCCESS);
             EXPECT_EQ(stack->creator.calls, 1);
         }},
        {"device detached twice",  // and a third time when the stack goes
         [&] { IoDetachDevice(stack->Device(0)), IoDetachDevice(stack->Device(0)); }},
        {"PnP request completed untouched instead of passed down",
         [&] {
             stack->OnDispatch(1, CompleteUntouched);
             SendPnp(*stack, IRP_MN_QUERY_RESOURCES);
             stack->OnDispatch(1, nullptr);  // passed down, the bottom driver may complete it untouched
             stack->OnDispatch(0, CompleteUntouched);
             EXPECT_EQ(SendPnp(*stack, IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
         }},
        // Every driver passes a cancel-stop or cancel-remove down, whatever its state.
        {"cancel-stop or cancel-remove completed without being passed down",
         [&] {
             for (const UCHAR minor : {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}) {
                 stack->OnDispatch(1, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
                 SendPnp(*stack, minor);
                 stack->OnDispatch(1, nullptr);  // passed down: the bus driver completes it
                 EXPECT_EQ(SendPnp(*stack, minor), STATUS_SUCCESS);
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        KeInitializeSpinLock(&first);
        KeInitializeSpinLock(&second);
        ExpectFinding(c.rule, [&] { stack.emplace(2), c.provoke(), stack.reset(); });
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// A driver whose DriverEntry takes resources and whose unload routine
// leaves them behind; its AddDevice forgets to clear DO_DEVICE_INITIALIZING.
struct Leaks {
    bool pool = false, irp = false, workItem = false, link = false;
    PIRP keptIrp = nullptr;
} leaks;

void NTAPI DeleteDevices(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT device = driver->DeviceObject, next; device != nullptr; device = next) {
        next = device->NextDevice;
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI SloppyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT)
{
    PDEVICE_OBJECT device = nullptr;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

NTSTATUS NTAPI LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = SloppyAddDevice;
    driver->DriverUnload = DeleteDevices;
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (leaks.pool) {
        ExAllocatePoolWithTag(NonPagedPoolNx, 40, LeakTag), ExAllocatePoolWithTag(NonPagedPoolNx, 2, LeakTag);
        ExAllocatePoolWithTag(NonPagedPoolNx, 4, LeakTag - 0x100);  // 'Ldak': one block
    }
    leaks.keptIrp = leaks.irp ? IoAllocateIrp(1, FALSE) : nullptr;
    if (leaks.workItem) {
        IoAllocateWorkItem(device);
    }
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\leaky");
    RtlInitUnicodeString(&target, u"\\Device\\leaky");
    return leaks.link ? IoCreateSymbolicLink(&link, &target) : STATUS_SUCCESS;
}

TEST_F(VerifierRules, ResourcesLeftAtUnloadAndDeviceLeftInitializing)
{
    PDEVICE_OBJECT pdo = CreatePhysicalDevice();
    const struct {
        const char* rule;
        Leaks leak;
        const char* detail;
    } cases[] = {
        {"pool leaked at unload", {.pool = true}, "tag 'Ldak': 1 blocks, 4 bytes; tag 'Leak': 2 blocks, 42 bytes"},
        {"IRP outstanding at unload", {.irp = true}, "1 IRPs"},
        {"work item outstanding at unload", {.workItem = true}, "1 allocated and never freed"},
        {"symbolic link left at unload", {.link = true}, "\\??\\leaky"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        leaks = c.leak;
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(LoadDriver(u"leaky", LeakingEntry, u"\\Registry\\leaky", &driver), STATUS_SUCCESS);
        if (&c == cases) {
            ExpectFinding("DO_DEVICE_INITIALIZING not cleared by AddDevice", [&] { CallAddDevice(driver, pdo); });
        }
        std::string details;  // every finding of the rule, one per tag for pool
        for (const auto& finding : ExpectFinding(c.rule, [&] { UnloadDriver(driver); })) {
            details += (details.empty() ? "" : "; ") + finding.detail;
        }
        EXPECT_EQ(details, c.detail);
        if (leaks.keptIrp != nullptr) {
            IoFreeIrp(leaks.keptIrp);
        }
    }
    IoDeleteDevice(pdo);
}

TEST_F(VerifierRules, WorkItemRunningAtUnloadAndQueuedTwice)
{
    TestStack stack(1);
    WorkRun work(false);
    leaks = {};
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(LoadDriver(u"busy", LeakingEntry, u"\\Registry\\busy", &driver), STATUS_SUCCESS);
    PIO_WORKITEM item = nullptr;
    {
        DriverScope scope(driver);
        item = IoAllocateWorkItem(driver->DeviceObject);
    }
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &work);
    work.Wait(&work.started);
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &work);  // again while it runs: legal
    ExpectFinding("work item queued twice", [&] { IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &work); });

    // The unload waits for the driver's work items; these never finish.
    SetUnloadWaitLimit(std::chrono::milliseconds(50));
    std::vector<verifier::Finding> seen;
    ExpectFinding("device objects left at unload", [&] {
        seen = ExpectFinding("work item outstanding at unload", [&] { UnloadDriver(driver); });
    });
    SetUnloadWaitLimit(std::chrono::seconds(10));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].detail, "1 queued, 1 running");
    KeSetEvent(&work.release, IO_NO_INCREMENT, FALSE);
    DrainWorker(stack.Top());
    IoFreeWorkItem(item);
}

// A second unload is caught whether the driver's record is still kept or
// was already freed to keep a long-lived machine bounded.
TEST_F(VerifierRules, DriverUnloadedTwice)
{
    const auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS { return STATUS_SUCCESS; };
    PDRIVER_OBJECT first = nullptr;
    PDRIVER_OBJECT last = nullptr;
    for (size_t i = 0; i < UnloadedDriversKept + 50; ++i) {
        ASSERT_EQ(LoadDriver(u"twice", entry, u"\\Registry\\twice", &last), STATUS_SUCCESS);
        UnloadDriver(last);
        first = first != nullptr ? first : last;
    }
    EXPECT_EQ(UnloadedDriverObjectsKept(), UnloadedDriversKept);
    ExpectFinding("unload of a driver that is not loaded", [&] { UnloadDriver(last); });
    ExpectFinding("unload of a driver that is not loaded", [&] { UnloadDriver(first); });
}

// The unload waits for a thread still in one of the driver's routines (the
// tail of a completion routine after its last reference went), and one that
// stays past the limit would run unloaded code.
TEST_F(VerifierRules, UnloadWaitsForThreadsInTheDriversCode)
{
    const auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS { return STATUS_SUCCESS; };
    struct Case {
        std::chrono::milliseconds stay;
        std::chrono::milliseconds limit;
        const char* finding;  // null: none
    } cases[] = {
        {std::chrono::milliseconds(40), std::chrono::seconds(10), nullptr},
        {std::chrono::milliseconds(400), std::chrono::milliseconds(50), "driver unloaded while a thread still runs its code"},
    };
    for (const Case& c : cases) {
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(LoadDriver(u"lingering", entry, u"\\Registry\\lingering", &driver), STATUS_SUCCESS);
        std::atomic<bool> entered{false};
        std::atomic<bool> leaving{false};
        std::thread tail([&] {
            DriverScope scope(driver);
            entered = true;
            std::this_thread::sleep_for(c.stay);
            leaving = true;
        });
        while (!entered) {
            std::this_thread::yield();
        }
        SetUnloadWaitLimit(c.limit);
        if (c.finding != nullptr) {
            ExpectFinding(c.finding, [&] { UnloadDriver(driver); });
            EXPECT_FALSE(leaving);
        } else {
            UnloadDriver(driver);
            EXPECT_TRUE(leaving);
        }
        SetUnloadWaitLimit(std::chrono::seconds(10));
        tail.join();
    }
}

// The second stage of a threaded IRP is a kernel APC: it cannot run while
// the requesting thread is at APC_LEVEL, so waiting there for it is a
// fault, and it runs as soon as the thread drops below.
TEST_F(VerifierRules, WaitAtApcLevelBlocksOwnCompletion)
{
    TestStack stack(1);
    PIRP held = nullptr;
    stack.OnDispatch(0, HoldPending(&held));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const NTSTATUS untouched = static_cast<NTSTATUS>(0xBADC0DE5);
    IO_STATUS_BLOCK iosb{{untouched}, 0};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    std::thread([&] { CompleteWith(held, STATUS_SUCCESS, 3); }).join();
    ExpectFinding("completion APC blocked by a wait at raised IRQL", [&] {
        LARGE_INTEGER brief;
        brief.QuadPart = -10000;  // 1 ms
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &brief), STATUS_TIMEOUT);
    });
    EXPECT_EQ(iosb.Status, untouched);
    KeLowerIrql(old);
    EXPECT_EQ(std::tuple(iosb.Status, iosb.Information), std::tuple(STATUS_SUCCESS, 3ul));
    EXPECT_NE(KeReadStateEvent(&event), 0);
}

// The listener fails the running test on a finding nobody expected, and
// ExpectFinding fails it when the expected finding never comes.
void ExpectationNeverMet()
{
    ExpectFinding("pool freed twice", [] {});
}

TEST_F(VerifierRules, FindingsFailTheTestDuringWhichTheyHappen)
{
    EXPECT_NONFATAL_FAILURE(DoubleFree(), "verifier: pool freed twice in ExFreePool");
    EXPECT_NONFATAL_FAILURE(ExpectationNeverMet(), "expected the verifier to report \"pool freed twice\"");
    EXPECT_GE(verifier::FindingCount(), 1u);
}

}  // namespace
}  // namespace emu::test
