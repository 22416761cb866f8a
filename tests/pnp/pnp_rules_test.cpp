// The published rules on a function driver's Plug and Play, removal and WMI
// handling, each broken by a function driver that otherwise passes every
// request down (and detaches and deletes at removal), each expecting the
// emulator's finding; the cases with no finding keep the rule.
#include "emulator/machine.h"
#include "emulator/pnp/system_control.h"

#include <gtest/gtest.h>

#include <string>

namespace pondrel::test {
namespace {

enum class Misdeed { None, Complete, DetachWhileHandling, DeleteBeforePassingDown, AnswerOnTheWayUp, NoAttach };

struct Misbehaviour {
    Misdeed misdeed = Misdeed::None;
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    NTSTATUS status = STATUS_SUCCESS;  // completed with, or answered on the way up
};

Misbehaviour misbehaviour;  // the running case's
PDEVICE_OBJECT lowerDevice = nullptr;

NTSTATUS PassDown(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lowerDevice, irp);
}

NTSTATUS NTAPI AnswerOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Status = misbehaviour.status;
    return STATUS_CONTINUE_COMPLETION;
}

// The misdeed, on the request it names; the removal still detaches and deletes after.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT fdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool removal = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    const bool named = stack->MajorFunction == misbehaviour.major && stack->MinorFunction == misbehaviour.minor;
    NTSTATUS status = STATUS_SUCCESS;
    switch (named ? misbehaviour.misdeed : Misdeed::None) {
    case Misdeed::Complete:
        irp->IoStatus.Status = misbehaviour.status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return misbehaviour.status;
    case Misdeed::DetachWhileHandling:
        status = PassDown(irp);
        IoDetachDevice(lowerDevice);
        IoAttachDeviceToDeviceStack(fdo, lowerDevice);
        return status;
    case Misdeed::DeleteBeforePassingDown:
        IoDetachDevice(lowerDevice);
        IoDeleteDevice(fdo);
        return PassDown(irp);
    case Misdeed::AnswerOnTheWayUp:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, AnswerOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
        status = IofCallDriver(lowerDevice, irp);
        break;
    default:
        status = PassDown(irp);
    }
    if (removal) {
        IoDetachDevice(lowerDevice);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (misbehaviour.misdeed == Misdeed::NoAttach) {
        IoDeleteDevice(fdo);
        return STATUS_SUCCESS;
    }
    lowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags = (fdo->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

TEST(PnpRulesTest, EachRuleBrokenIsAFinding)
{
    using M = Misdeed;
    const auto elsewhere = [](emu::Pnp& pnp) { pnp.SystemControl(IRP_MN_QUERY_ALL_DATA, emu::pnp::ElsewhereProvider); };
    const auto toItself = [](emu::Pnp& pnp) {
        pnp.SystemControl(IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(pnp.FunctionDevice()));
    };
    const struct {
        const char* finding;  // empty: the rule is kept
        Misbehaviour misbehaviour;
        std::function<void(emu::Pnp&)> act;
    } cases[] = {
        {"WMI request completed without being passed down by a driver that is not its provider",
         {M::Complete, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA}, elsewhere},
        {"", {M::Complete, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA}, toItself},
        {"PnP request completed by the function driver instead of passed down",
         {M::Complete, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS},
         [](emu::Pnp& pnp) { pnp.Send(IRP_MN_QUERY_DEVICE_RELATIONS); }},
        {"IoDeleteDevice or IoDetachDevice while handling IRP_MN_SURPRISE_REMOVAL",
         {M::DetachWhileHandling, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL}, [](emu::Pnp& pnp) { pnp.SurpriseRemove(); }},
        {"IoDeleteDevice before the lower driver returned IRP_MN_REMOVE_DEVICE",
         {M::DeleteBeforePassingDown, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}, [](emu::Pnp& pnp) { pnp.Remove(); }},
        {"IRP_MN_QUERY_REMOVE_DEVICE answered STATUS_NOT_SUPPORTED",
         {M::AnswerOnTheWayUp, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_NOT_SUPPORTED},
         [](emu::Pnp& pnp) { pnp.QueryRemove(); }},
        {"IRP_MN_REMOVE_DEVICE failed; it must not fail",
         {M::AnswerOnTheWayUp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED},
         [](emu::Pnp& pnp) { pnp.Remove(); }},
        {"IRP_MN_SURPRISE_REMOVAL failed; it must not fail",
         {M::AnswerOnTheWayUp, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, STATUS_NOT_SUPPORTED},
         [](emu::Pnp& pnp) { pnp.SurpriseRemove(); }},
        {"IRP_MN_CANCEL_REMOVE_DEVICE failed; it must not fail",
         {M::AnswerOnTheWayUp, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL},
         [](emu::Pnp& pnp) { pnp.QueryRemove(), pnp.CancelRemove(); }},
        {"IRP_MN_CANCEL_STOP_DEVICE failed; it must not fail",
         {M::AnswerOnTheWayUp, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, STATUS_UNSUCCESSFUL},
         [](emu::Pnp& pnp) { pnp.QueryStop(), pnp.CancelStop(); }},
        {"AddDevice succeeded without attaching a device object", {M::NoAttach}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.finding);
        emu::verifier::Clear();
        misbehaviour = c.misbehaviour;
        {
            emu::Machine machine;
            ASSERT_EQ(machine.LoadDriver(Entry), STATUS_SUCCESS);
            EXPECT_EQ(machine.pnp().AddDevice(), STATUS_SUCCESS);
            if (c.act) {
                ASSERT_EQ(machine.pnp().Start(), STATUS_SUCCESS);
                c.act(machine.pnp());
            }
            for (const emu::verifier::Finding& finding : machine.Findings()) {
                EXPECT_EQ(finding.rule, c.finding) << finding.routine << " " << finding.detail;
            }
            EXPECT_EQ(machine.Findings().empty(), std::string(c.finding).empty());
            misbehaviour = {};
            emu::verifier::Clear();
        }
        EXPECT_EQ(emu::verifier::FindingCount(), 0u) << "at teardown: " << emu::verifier::Findings()[0].rule;
    }
    emu::verifier::Clear();
}

}  // namespace
}  // namespace pondrel::test
