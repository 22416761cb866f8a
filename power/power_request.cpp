#include "power/power_request.h"

#include "power/wake_arming.h"

void PassPowerRequestDown(DeviceContext* Context, PIRP Irp, PIO_COMPLETION_ROUTINE Routine)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
    PoCallDriver(Context->LowerDevice, Irp);
}

void CompletePowerRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

void EndPowerRequest(DeviceContext* Context, PIRP Irp, NTSTATUS Status)
{
    PoStartNextPowerIrp(Irp);
    CompletePowerRequest(Irp, Status);
    PowerRequestEnded(Context);
    ReleaseIoReference(Context);
}

NTSTATUS LetPowerRequestGoOn(DeviceContext* Context, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    PowerRequestEnded(Context);
    ReleaseIoReference(Context);
    return STATUS_SUCCESS;
}
