// The published rules on a function driver's Plug and Play, removal and WMI
// handling, each broken by a function driver that otherwise passes every
// request down (and detaches and deletes at removal), each expecting the
// emulator's finding; the cases with no finding keep the rule.
#include "emulator/machine.h"
#include "emulator/pnp/system_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace pondrel::test {
namespace {

// The running case's misbehaviour: a request it returns a status for is its own.
std::function<std::optional<NTSTATUS>(PDEVICE_OBJECT fdo, PIRP irp)> misbehave;
std::optional<std::pair<UCHAR, NTSTATUS>> answerOnTheWayUp;  // a PnP minor, then the status it gets back up
bool attach = true;
PDEVICE_OBJECT lowerDevice = nullptr;

bool Is(PIRP irp, UCHAR major, UCHAR minor)
{
    return IoGetCurrentIrpStackLocation(irp)->MajorFunction == major &&
           IoGetCurrentIrpStackLocation(irp)->MinorFunction == minor;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lowerDevice, irp);
}

NTSTATUS SetStatusOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Status = answerOnTheWayUp->second;
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS Dispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    if (std::optional<NTSTATUS> own = misbehave ? misbehave(fdo, irp) : std::nullopt) {
        return *own;
    }
    const bool removal = Is(irp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    NTSTATUS status;
    if (answerOnTheWayUp && Is(irp, IRP_MJ_PNP, answerOnTheWayUp->first)) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SetStatusOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
        status = IofCallDriver(lowerDevice, irp);
    } else {
        status = PassDown(irp);
    }
    if (removal) {
        IoDetachDevice(lowerDevice);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!attach) {
        IoDeleteDevice(fdo);
        return STATUS_SUCCESS;
    }
    lowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags = (fdo->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

// Completes the requests of `major`/`minor` with `status` instead of passing them down.
auto CompleteOwn(UCHAR major, UCHAR minor, NTSTATUS status)
{
    return [=](PDEVICE_OBJECT, PIRP irp) {
        return Is(irp, major, minor) ? std::optional(Complete(irp, status)) : std::nullopt;
    };
}

TEST(PnpRulesTest, EachRuleBrokenIsAFinding)
{
    using emu::Machine;
    const auto wmi = IRP_MJ_SYSTEM_CONTROL;
    const struct {
        const char* finding;  // empty: the rule is kept
        std::function<void()> misbehaviour;
        std::function<void(emu::Pnp&)> act;
    } cases[] = {
        {"WMI request completed without being passed down by a driver that is not its provider",
         [] { misbehave = CompleteOwn(wmi, IRP_MN_QUERY_ALL_DATA, STATUS_SUCCESS); },
         [](emu::Pnp& pnp) { pnp.SystemControl(IRP_MN_QUERY_ALL_DATA, emu::pnp::ElsewhereProvider); }},
        {"", [] { misbehave = CompleteOwn(wmi, IRP_MN_QUERY_ALL_DATA, STATUS_SUCCESS); },
         [](emu::Pnp& pnp) {
             pnp.SystemControl(IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(pnp.FunctionDevice()));
         }},
        {"PnP request completed by the function driver instead of passed down",
         [] { misbehave = CompleteOwn(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_SUCCESS); },
         [](emu::Pnp& pnp) { pnp.Send(IRP_MN_QUERY_DEVICE_RELATIONS); }},
        {"", [] { misbehave = CompleteOwn(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL); },
         [](emu::Pnp& pnp) { pnp.QueryStop(); }},
        {"IoDeleteDevice or IoDetachDevice while handling IRP_MN_SURPRISE_REMOVAL",
         [] {
             misbehave = [](PDEVICE_OBJECT fdo, PIRP irp) -> std::optional<NTSTATUS> {
                 if (!Is(irp, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL)) {
                     return std::nullopt;
                 }
                 const NTSTATUS status = PassDown(irp);
                 IoDetachDevice(lowerDevice);
                 IoAttachDeviceToDeviceStack(fdo, lowerDevice);
                 return status;
             };
         },
         [](emu::Pnp& pnp) { pnp.SurpriseRemove(); }},
        {"IoDeleteDevice before the lower driver returned IRP_MN_REMOVE_DEVICE",
         [] {
             misbehave = [](PDEVICE_OBJECT fdo, PIRP irp) -> std::optional<NTSTATUS> {
                 if (!Is(irp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE)) {
                     return std::nullopt;
                 }
                 IoDetachDevice(lowerDevice);
                 IoDeleteDevice(fdo);
                 return PassDown(irp);
             };
         },
         [](emu::Pnp& pnp) { pnp.Remove(); }},
        {"IRP_MN_QUERY_REMOVE_DEVICE answered STATUS_NOT_SUPPORTED",
         [] { answerOnTheWayUp = {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_NOT_SUPPORTED}; },
         [](emu::Pnp& pnp) { pnp.QueryRemove(); }},
        {"IRP_MN_REMOVE_DEVICE failed; it must not fail",
         [] { answerOnTheWayUp = {IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED}; }, [](emu::Pnp& pnp) { pnp.Remove(); }},
        {"IRP_MN_SURPRISE_REMOVAL failed; it must not fail",
         [] { answerOnTheWayUp = {IRP_MN_SURPRISE_REMOVAL, STATUS_NOT_SUPPORTED}; },
         [](emu::Pnp& pnp) { pnp.SurpriseRemove(); }},
        {"IRP_MN_CANCEL_REMOVE_DEVICE failed; it must not fail",
         [] { answerOnTheWayUp = {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL}; },
         [](emu::Pnp& pnp) { pnp.QueryRemove(), pnp.CancelRemove(); }},
        {"IRP_MN_CANCEL_STOP_DEVICE failed; it must not fail",
         [] { answerOnTheWayUp = {IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL}; },
         [](emu::Pnp& pnp) { pnp.QueryStop(), pnp.CancelStop(); }},
        {"AddDevice succeeded without attaching a device object", [] { attach = false; }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.finding);
        emu::verifier::Clear();
        {
            Machine machine;
            ASSERT_EQ(machine.LoadDriver(Entry), STATUS_SUCCESS);
            c.misbehaviour();
            EXPECT_EQ(machine.pnp().AddDevice(), STATUS_SUCCESS);
            if (c.act) {
                ASSERT_EQ(machine.pnp().Start(), STATUS_SUCCESS);
                c.act(machine.pnp());
            }
            for (const emu::verifier::Finding& finding : machine.Findings()) {
                EXPECT_EQ(finding.rule, c.finding) << finding.routine << " " << finding.detail;
            }
            EXPECT_EQ(machine.Findings().empty(), std::string(c.finding).empty());
            misbehave = nullptr, answerOnTheWayUp.reset(), attach = true;
            emu::verifier::Clear();
        }
        EXPECT_EQ(emu::verifier::FindingCount(), 0u) << "at teardown: " << emu::verifier::Findings()[0].rule;
    }
    emu::verifier::Clear();
}

}  // namespace
}  // namespace pondrel::test
