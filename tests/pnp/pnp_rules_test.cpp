// The published rules on a function driver's Plug and Play, removal and WMI
// handling, each provoked by a function driver that breaks it (the rest of
// the driver behaves), each expecting the emulator's finding; a neighbouring
// case that keeps the rule expects none.
#include "emulator/machine.h"
#include "emulator/pnp/system_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

namespace pondrel::test {
namespace {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp)>;

// What the misbehaving driver does differently from a well-behaved one.
struct Misbehaviour {
    std::map<UCHAR, Handler> pnp;  // by minor code
    Handler systemControl;
    bool attach = true;
};

Misbehaviour misbehaviour;  // the running case's

struct Extension {
    PDEVICE_OBJECT lower;
    bool detached;
};

Extension& ExtensionOf(PDEVICE_OBJECT fdo)
{
    return *static_cast<Extension*>(fdo->DeviceExtension);
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Detaches (unless done already) and deletes after the removal went down.
NTSTATUS RemoveAsUsual(PDEVICE_OBJECT fdo, PIRP irp, const Handler& passDown)
{
    const Extension extension = ExtensionOf(fdo);
    const NTSTATUS status = passDown(fdo, extension.lower, irp);
    if (!extension.detached) {
        IoDetachDevice(extension.lower);
    }
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS MisbehavingPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const auto found = misbehaviour.pnp.find(minor);
    const Handler passDown = [](PDEVICE_OBJECT, PDEVICE_OBJECT lower, PIRP request) { return PassDown(lower, request); };
    const Handler& handler = found != misbehaviour.pnp.end() ? found->second : passDown;
    if (minor == IRP_MN_REMOVE_DEVICE && (found == misbehaviour.pnp.end() || !found->second)) {
        return RemoveAsUsual(fdo, irp, passDown);
    }
    return handler(fdo, ExtensionOf(fdo).lower, irp);
}

NTSTATUS MisbehavingSystemControl(PDEVICE_OBJECT fdo, PIRP irp)
{
    return misbehaviour.systemControl ? misbehaviour.systemControl(fdo, ExtensionOf(fdo).lower, irp)
                                      : PassDown(ExtensionOf(fdo).lower, irp);
}

NTSTATUS MisbehavingAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!misbehaviour.attach) {
        IoDeleteDevice(fdo);
        return STATUS_SUCCESS;
    }
    ExtensionOf(fdo) = {IoAttachDeviceToDeviceStack(fdo, pdo), false};
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void MisbehavingUnload(PDRIVER_OBJECT) {}

NTSTATUS MisbehavingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = MisbehavingPnp;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = MisbehavingSystemControl;
    driver->DriverExtension->AddDevice = MisbehavingAddDevice;
    driver->DriverUnload = MisbehavingUnload;
    return STATUS_SUCCESS;
}

// The completion routine of AnswerOnTheWayUp: the status travels as the context.
NTSTATUS SetStatusOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID status)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    irp->IoStatus.Status = static_cast<NTSTATUS>(reinterpret_cast<LONG_PTR>(status));
    return STATUS_CONTINUE_COMPLETION;
}

// Passes the request down and answers `status` for it once the bus driver
// has completed it (a removal is still detached and deleted after).
Handler AnswerOnTheWayUp(NTSTATUS status)
{
    const Handler answer = [status](PDEVICE_OBJECT, PDEVICE_OBJECT lower, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SetStatusOnTheWayUp, reinterpret_cast<PVOID>(static_cast<LONG_PTR>(status)), TRUE,
                               TRUE, TRUE);
        return IofCallDriver(lower, irp);
    };
    return [answer](PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            return RemoveAsUsual(fdo, irp, answer);
        }
        return answer(fdo, lower, irp);
    };
}

struct Case {
    const char* name;
    const char* finding;  // empty: the case keeps the rule
    std::function<void(emu::Machine&)> misbehave;
    std::function<void(emu::Machine&)> act;
    bool startFirst = true;
};

TEST(PnpRulesTest, EachRuleBrokenIsAFinding)
{
    const auto completeWith = [](NTSTATUS status) {
        return [status](PDEVICE_OBJECT, PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status); };
    };
    const auto sendsWmi = [](ULONG_PTR provider) {
        return [provider](emu::Machine& m) {
            const ULONG_PTR own = reinterpret_cast<ULONG_PTR>(m.pnp().FunctionDevice());
            EXPECT_EQ(m.pnp().SystemControl(IRP_MN_QUERY_ALL_DATA, provider != 0 ? provider : own), STATUS_SUCCESS);
        };
    };
    const Case cases[] = {
        {"WmiForward", "WMI request completed without being passed down by a driver that is not its provider",
         [&](emu::Machine&) { misbehaviour.systemControl = completeWith(STATUS_SUCCESS); },
         sendsWmi(emu::pnp::ElsewhereProvider)},
        {"WmiForward kept: its own provider ID", "",
         [&](emu::Machine&) { misbehaviour.systemControl = completeWith(STATUS_SUCCESS); }, sendsWmi(0)},
        {"PnpIrpCompletion", "PnP request completed by the function driver instead of passed down",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_QUERY_DEVICE_RELATIONS] = completeWith(STATUS_SUCCESS); },
         [](emu::Machine& m) { m.pnp().Send(IRP_MN_QUERY_DEVICE_RELATIONS); }},
        {"PnpIrpCompletion kept: a query-stop refused", "",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_QUERY_STOP_DEVICE] = completeWith(STATUS_UNSUCCESSFUL); },
         [](emu::Machine& m) { EXPECT_EQ(m.pnp().QueryStop(), STATUS_UNSUCCESSFUL); }},
        {"PnpSurpriseRemove", "IoDeleteDevice or IoDetachDevice while handling IRP_MN_SURPRISE_REMOVAL",
         [&](emu::Machine&) {
             misbehaviour.pnp[IRP_MN_SURPRISE_REMOVAL] = [](PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp) {
                 const NTSTATUS status = PassDown(lower, irp);
                 IoDetachDevice(lower);
                 ExtensionOf(fdo).detached = true;
                 return status;
             };
         },
         [](emu::Machine& m) { m.pnp().SurpriseRemove(); }},
        {"DeleteDevice", "IoDeleteDevice before the lower driver returned IRP_MN_REMOVE_DEVICE",
         [&](emu::Machine&) {
             misbehaviour.pnp[IRP_MN_REMOVE_DEVICE] = [](PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp) {
                 IoDetachDevice(lower);
                 IoDeleteDevice(fdo);
                 return PassDown(lower, irp);
             };
         },
         [](emu::Machine& m) { m.pnp().Remove(); }},
        {"NsRemoveLockQueryMnRemove", "IRP_MN_QUERY_REMOVE_DEVICE answered STATUS_NOT_SUPPORTED",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_QUERY_REMOVE_DEVICE] = AnswerOnTheWayUp(STATUS_NOT_SUPPORTED); },
         [](emu::Machine& m) { m.pnp().QueryRemove(); }},
        {"NsRemoveLockMnRemove", "IRP_MN_REMOVE_DEVICE failed; it must not fail",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_REMOVE_DEVICE] = AnswerOnTheWayUp(STATUS_NOT_SUPPORTED); },
         [](emu::Machine& m) { m.pnp().Remove(); }},
        {"NsRemoveLockMnSurpriseRemove", "IRP_MN_SURPRISE_REMOVAL failed; it must not fail",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_SURPRISE_REMOVAL] = AnswerOnTheWayUp(STATUS_NOT_SUPPORTED); },
         [](emu::Machine& m) { m.pnp().SurpriseRemove(); }},
        {"PnpRemove: cancel-remove", "IRP_MN_CANCEL_REMOVE_DEVICE failed; it must not fail",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_CANCEL_REMOVE_DEVICE] = AnswerOnTheWayUp(STATUS_UNSUCCESSFUL); },
         [](emu::Machine& m) { m.pnp().QueryRemove(), m.pnp().CancelRemove(); }},
        {"PnpRemove: cancel-stop", "IRP_MN_CANCEL_STOP_DEVICE failed; it must not fail",
         [&](emu::Machine&) { misbehaviour.pnp[IRP_MN_CANCEL_STOP_DEVICE] = AnswerOnTheWayUp(STATUS_UNSUCCESSFUL); },
         [](emu::Machine& m) { m.pnp().QueryStop(), m.pnp().CancelStop(); }},
        {"AddDevice", "AddDevice succeeded without attaching a device object",
         [&](emu::Machine&) { misbehaviour.attach = false; }, [](emu::Machine& m) { m.pnp().AddDevice(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::verifier::Clear();
        misbehaviour = {};
        {
            emu::Machine machine;
            ASSERT_EQ(machine.LoadDriver(MisbehavingEntry), STATUS_SUCCESS);
            c.misbehave(machine);
            if (c.startFirst) {
                ASSERT_EQ(machine.pnp().AddDevice(), STATUS_SUCCESS);
                ASSERT_EQ(machine.pnp().Start(), STATUS_SUCCESS);
            }
            c.act(machine);
            const auto findings = machine.Findings();
            const std::string wanted = c.finding;
            EXPECT_EQ(wanted.empty(), findings.empty());
            for (const emu::verifier::Finding& finding : findings) {
                EXPECT_EQ(finding.rule, wanted) << finding.routine << " " << finding.detail;
            }
            misbehaviour = {};
            emu::verifier::Clear();
            if (c.finding == std::string("IoDeleteDevice or IoDetachDevice while handling IRP_MN_SURPRISE_REMOVAL")) {
                machine.pnp().Remove();  // reaches the PDO alone: the driver's object is deleted here
                IoDeleteDevice(machine.pnp().FunctionDevice());
            }
        }
        for (const emu::verifier::Finding& finding : emu::verifier::Findings()) {
            ADD_FAILURE() << "at teardown: " << finding.rule << " in " << finding.routine;
        }
    }
    emu::verifier::Clear();
}

}  // namespace
}  // namespace pondrel::test
