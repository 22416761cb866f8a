// Rules no other test provokes: each row breaks one once and cleans up.
// Where the kernel sees a second fault in the same act, the row names it too.
#include "tests/kernel/test_stack.h"
#include "tests/support/kernel_test.h"

#include <optional>
#include <string>

namespace emu::test {
namespace {

class UnprovokedRules : public KernelTest {};

constexpr ULONG Tag = 0x74736554;  // 'Test'
KSPIN_LOCK lock;                   // taken by routines that get no context

// Loads a driver whose DriverEntry is `entry`, releases the lock it may
// have left taken, and unloads it.
void LoadAndUnload(PDRIVER_INITIALIZE entry)
{
    PDRIVER_OBJECT driver = nullptr;
    LoadDriver(u"kentry", entry, u"\\Registry\\Machine\\System\\kentry", &driver);
    if (lock != 0) {
        AtIrql(DISPATCH_LEVEL, [] { KeReleaseSpinLockFromDpcLevel(&lock); });
    }
    UnloadDriver(driver);
}

// Queues `routine` on `device`'s work item in `queue` and waits for the worker.
void RunWorkItem(PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue = DelayedWorkQueue)
{
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, routine, queue, nullptr);
    DrainWorker(device);
    IoFreeWorkItem(item);
}

TEST_F(UnprovokedRules, EachIsReported)
{
    std::optional<TestStack> stack;  // a fresh one-level stack for each row
    IRP notAnIrp{};
    KEVENT event;  // zeroed for each row: not an initialized event
    auto refused = [](NTSTATUS status) { EXPECT_EQ(status, STATUS_INVALID_PARAMETER); };
    const struct {
        const char* rule;
        const char* where;  // in the finding's routine or detail
        const char* also;   // a second rule the same act breaks, or null
        std::function<void()> provoke;
    } cases[] = {
        {"IRP completed twice", "while", nullptr,  // by the upper of two drivers while the lower keeps it
         [] {
             TestStack upper(1), lower(1);
             PIRP held = nullptr, irp = ReadIrp(2);
             lower.OnDispatch(0, HoldPending(&held));
             upper.OnDispatch(0, [&](auto, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 const NTSTATUS status = IoCallDriver(lower.Top(), irp);
                 return CompleteWith(irp, STATUS_SUCCESS), status;
             });
             IoSetCompletionRoutine(irp, ProbeCompletion, &upper.creator, TRUE, TRUE, TRUE);
             IoCallDriver(upper.Top(), irp), CompleteWith(held, STATUS_SUCCESS);
             EXPECT_EQ(upper.creator.calls, 1);
         }},
        {"IRP completed twice", "inside its completion routine", nullptr,
         [] {
             TestStack two(2);
             CompletionProbe probe;
             probe.action = [](PIRP irp) { IoCompleteRequest(irp, IO_NO_INCREMENT); };
             two.OnDispatch(1, [&](auto, PIRP irp) { return ForwardWithProbe(two.Device(0), irp, &probe, SL_INVOKE_ON_SUCCESS); });
             two.Send();
             EXPECT_EQ(two.creator.calls, 1);
         }},
        {"dispatch routine returned holding a spin lock", "IofCallDriver", nullptr,
         [&] {
             stack->OnDispatch(0, [](PDEVICE_OBJECT, PIRP irp) {
                 CompleteWith(irp, STATUS_SUCCESS);
                 KeAcquireSpinLockAtDpcLevel(&lock);
                 return STATUS_SUCCESS;
             });
             AtIrql(DISPATCH_LEVEL, [&] { stack->Send(), KeReleaseSpinLockFromDpcLevel(&lock); });
         }},
        {"completion routine returned holding a spin lock", "IofCompleteRequest", nullptr,
         [&] {
             PIRP held = nullptr;
             stack->OnDispatch(0, HoldPending(&held));
             stack->creator.action = [](PIRP irp) { IoFreeIrp(irp), KeAcquireSpinLockAtDpcLevel(&lock); };
             stack->Send();
             AtIrql(DISPATCH_LEVEL, [&] { CompleteWith(held, 0), KeReleaseSpinLockFromDpcLevel(&lock); });
         }},
        {"work item returned holding a spin lock", "IoQueueWorkItem",
         "spin lock acquired at DPC level below DISPATCH_LEVEL",
         [&] { RunWorkItem(stack->Top(), [](PDEVICE_OBJECT, PVOID) NTAPI { KeAcquireSpinLockAtDpcLevel(&lock); }); }},
        {"work item returned at raised IRQL", "IoQueueWorkItem", nullptr,
         [&] { RunWorkItem(stack->Top(), [](PDEVICE_OBJECT, PVOID) NTAPI { KfRaiseIrql(APC_LEVEL); }); }},
        {"unknown work queue type", "IoQueueWorkItem", nullptr,
         [&] { RunWorkItem(stack->Top(), [](PDEVICE_OBJECT, PVOID) NTAPI {}, static_cast<WORK_QUEUE_TYPE>(7)); }},
        {"driver routine returned holding a spin lock", "DriverEntry",
         "spin lock acquired at DPC level below DISPATCH_LEVEL",
         [] {
             LoadAndUnload([](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI {
                 return KeAcquireSpinLockAtDpcLevel(&lock), NTSTATUS{};
             });
         }},
        {"IRQL changed across a driver routine", "DriverEntry", nullptr,
         [] {
             LoadAndUnload([](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return KfRaiseIrql(APC_LEVEL), NTSTATUS{}; });
         }},
        {"unknown event type", "KeInitializeEvent", nullptr,
         [&] { KeInitializeEvent(&event, static_cast<EVENT_TYPE>(7), FALSE); }},
        {"unknown wait mode", "KeWaitForSingleObject", nullptr,
         [&] {
             KeInitializeEvent(&event, NotificationEvent, TRUE);
             KeWaitForSingleObject(&event, Executive, static_cast<KPROCESSOR_MODE>(5), FALSE, nullptr);
         }},
        {"wait on an object that is not an initialized event", "KeWaitForSingleObject", nullptr,
         [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }},
        {"KeSetEvent on an object that is not an initialized event", "KeSetEvent", nullptr,
         [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
        {"IoCreateSymbolicLink without a name", "IoCreateSymbolicLink", nullptr,
         [] { IoCreateSymbolicLink(nullptr, nullptr); }},
        {"IoDeleteSymbolicLink without a name", "IoDeleteSymbolicLink", nullptr, [] { IoDeleteSymbolicLink(nullptr); }},
        {"IRQL too high for the routine", "ExAllocatePoolWithTag", nullptr,
         [] { ExFreePool(AtIrql(DISPATCH_LEVEL + 1, [] { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag); })); }},
        {"IRQL too high for the routine", "IoRegisterDeviceInterface", nullptr,
         [link = UNICODE_STRING{}, guid = GUID{}]() mutable {
             AtIrql(APC_LEVEL, [&] { IoRegisterDeviceInterface(nullptr, &guid, nullptr, &link); });
         }},
        {"IoRegisterDeviceInterface without a class or a name", "", nullptr,
         [] { IoRegisterDeviceInterface(nullptr, nullptr, nullptr, nullptr); }},
        {"paged pool freed above APC_LEVEL", "ExFreePool", nullptr,
         [] { AtIrql(DISPATCH_LEVEL, [block = ExAllocatePoolWithTag(PagedPool, 8, Tag)] { ExFreePool(block); }); }},
        {"KeRaiseIrql to a lower IRQL", "2 -> 0", nullptr, [] { AtIrql(DISPATCH_LEVEL, [] { KfRaiseIrql(PASSIVE_LEVEL); }); }},
        {"KeLowerIrql to a higher IRQL", "0 -> 2", nullptr,
         [] { KeLowerIrql(DISPATCH_LEVEL), KeLowerIrql(PASSIVE_LEVEL); }},
        {"IRP with no stack location", "IoAllocateIrp", nullptr, [] { EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr); }},
        {"IRP freed twice", "IoFreeIrp", nullptr, [] { OnIrp(1, 0, IoFreeIrp); }},
        {"IRP freed with a cancel routine set", "IoFreeIrp", nullptr,
         [] { OnIrp(1, 0, [](PIRP irp) { IoSetCancelRoutine(irp, UnusedCancelRoutine); }); }},
        {"IRP reused with a cancel routine set", "IoReuseIrp", nullptr,
         [] { OnIrp(1, 0, [](PIRP irp) { IoSetCancelRoutine(irp, UnusedCancelRoutine), IoReuseIrp(irp, 0); }); }},
        {"IoFreeIrp of an address that is not an IRP", "IoFreeIrp", nullptr, [&] { IoFreeIrp(&notAnIrp); }},
        {"IofCompleteRequest with an address that is not an IRP", "IofCompleteRequest", nullptr,
         [&] { IoCompleteRequest(&notAnIrp, IO_NO_INCREMENT); }},
        // Inside a live IRP, whose owner keeps pointers to nowhere in it: where
        // the kernel keeps IRPs, but not where one starts.
        {"IofCompleteRequest with an address that is not an IRP", "IofCompleteRequest", nullptr,
         [] {
             OnIrp(1, 0, [](PIRP irp) {
                 for (PVOID& context : irp->Tail.Overlay.DriverContext)
                     context = reinterpret_cast<PVOID>(0x10);
                 IoCompleteRequest(reinterpret_cast<PIRP>(irp + 1), IO_NO_INCREMENT);
             });
         }},
        {"IofCallDriver with an IRP that is not live", "IofCallDriver", nullptr,
         [&] { PIRP irp = ReadIrp(1); IoFreeIrp(irp), IoCallDriver(stack->Top(), irp); }},
        {"IofCallDriver to an invalid device object", "IofCallDriver", nullptr,
         [none = DEVICE_OBJECT{}]() mutable {
             OnIrp(1, 0, [&](PIRP irp) { EXPECT_EQ(IoCallDriver(&none, irp), STATUS_INVALID_PARAMETER); });
         }},
        // The first call completes it to the top, which a request from IoAllocateIrp must not reach.
        {"IofCallDriver with an IRP already completed", "IofCallDriver", "IRP from IoAllocateIrp completed to the top",
         [&] { OnIrp(1, 0, [&](PIRP irp) { IoCallDriver(stack->Top(), irp), IoCallDriver(stack->Top(), irp); }); }},
        {"no dispatch routine for the major function", "IofCallDriver", nullptr,
         [] {
             auto none = [](PDRIVER_OBJECT d) { d->MajorFunction[IRP_MJ_READ] = nullptr; };
             PDRIVER_OBJECT driver = CreateSystemDriver(u"knone", none);
             PDEVICE_OBJECT device = nullptr;
             IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
             device->Flags &= ~DO_DEVICE_INITIALIZING;
             OnIrp(1, 0, [&](PIRP irp) { EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST); });
             IoDeleteDevice(device), DeleteSystemDriver(driver);
         }},
        {"skip with no current stack location", "IoSkipCurrentIrpStackLocation", nullptr,
         [] { OnIrp(1, 0, IoSkipCurrentIrpStackLocation); }},
        {"copy with no current stack location", "IoCopyCurrentIrpStackLocationToNext", nullptr,
         [] { OnIrp(2, 0, IoCopyCurrentIrpStackLocationToNext); }},
        // The same steps written into the fields, as compiled inline code
        // takes them: the kernel sees them when the request is handed over
        // or completed.
        {"skip with no current stack location", "IofCallDriver", nullptr,
         [&] { OnIrp(1, 0, [&](PIRP irp) { Skip(irp), refused(IoCallDriver(stack->Top(), irp)); }); }},
        {"skip with no current stack location", "PoCallDriver", nullptr,
         [&] { OnIrp(1, 0, [&](PIRP irp) { Skip(irp), refused(PoCallDriver(stack->Top(), irp)); }); }},
        {"copy with no current stack location", "IofCallDriver", nullptr,
         [&] { OnIrp(2, 0, [&](PIRP irp) { CopyDown(irp), refused(IoCallDriver(stack->Top(), irp)); }); }},
        {"no lower stack location", "IofCompleteRequest", nullptr,
         [] { OnIrp(1, 1, [](PIRP irp) { StepDown(irp), IoCompleteRequest(irp, IO_NO_INCREMENT); }); }},
        // A pending mark by a driver with no location of its own, written as
        // compiled code does it: only the guard past the last location sees it.
        {"write past the IRP's last stack location", "IoFreeIrp", nullptr,
         [] { OnIrp(1, 0, [](PIRP irp) { irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED; }); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " / " + c.where);
        lock = 0, event = {};
        stack.emplace(1);
        auto provoke = [&] { c.also != nullptr ? void(ExpectFinding(c.also, c.provoke)) : c.provoke(); };
        const auto seen = ExpectFinding(c.rule, provoke);
        ASSERT_FALSE(seen.empty());
        EXPECT_NE((seen[0].routine + " " + seen[0].detail).find(c.where), std::string::npos)
            << seen[0].routine << " " << seen[0].detail;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        stack.reset();
    }
}

}  // namespace
}  // namespace emu::test
