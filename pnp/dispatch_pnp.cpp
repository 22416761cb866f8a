#include "driver/entry_points.h"
#include "pnp/forward.h"
#include "pnp/handlers.h"

namespace {

// Who finishes a request after its handler, and who gives back the
// reference DispatchPnp took for it.
enum class PnpEnding {
    CompleteHere,        // DispatchPnp completes it with the handler's status, then gives the reference back
    PassedDown,          // the handler passed it down; DispatchPnp gives the reference back
    PassedDownReleased,  // the handler passed it down and gave the reference back itself
};

using PnpHandler = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

struct PnpRoute {
    UCHAR MinorFunction;
    PnpHandler Handler;
    PnpEnding Ending;
};

const PnpRoute PnpRoutes[] = {
    {IRP_MN_START_DEVICE, OnStartDevice, PnpEnding::CompleteHere},
    {IRP_MN_QUERY_REMOVE_DEVICE, OnQueryRemove, PnpEnding::PassedDownReleased},
    {IRP_MN_REMOVE_DEVICE, OnRemoveDevice, PnpEnding::PassedDownReleased},
    {IRP_MN_CANCEL_REMOVE_DEVICE, OnCancelRemove, PnpEnding::CompleteHere},
    {IRP_MN_STOP_DEVICE, OnStopDevice, PnpEnding::PassedDown},
    {IRP_MN_QUERY_STOP_DEVICE, OnQueryStop, PnpEnding::PassedDownReleased},
    {IRP_MN_CANCEL_STOP_DEVICE, OnCancelStop, PnpEnding::CompleteHere},
    {IRP_MN_QUERY_CAPABILITIES, OnQueryCapabilities, PnpEnding::CompleteHere},
    {IRP_MN_SURPRISE_REMOVAL, OnSurpriseRemoval, PnpEnding::PassedDown},
};

const PnpRoute* RouteFor(UCHAR MinorFunction)
{
    for (const PnpRoute& route : PnpRoutes) {
        if (route.MinorFunction == MinorFunction) {
            return &route;
        }
    }
    return nullptr;
}

}  // namespace

// The driver's IRP_MJ_PNP entry: takes an I/O reference and hands the nine
// minor codes the driver handles to their handlers; any other code goes down
// untouched, and so does every request that reaches the device once its
// removal has begun (only the bus driver answers a PnP request without
// passing it on). PASSIVE_LEVEL. A request is completed here, or belongs to
// the lower drivers, when this returns.
extern "C" NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceContext* context = ContextOf(DeviceObject);
    if (CurrentPnpState(context) == DeviceRemoved) {
        return PassDown(context, Irp);
    }

    AcquireIoReference(context);
    const PnpRoute* route = RouteFor(IoGetCurrentIrpStackLocation(Irp)->MinorFunction);
    if (route == nullptr) {
        NTSTATUS status = PassDown(context, Irp);
        ReleaseIoReference(context);
        return status;
    }

    NTSTATUS status = route->Handler(DeviceObject, Irp);
    switch (route->Ending) {
    case PnpEnding::CompleteHere:
        CompletePnpRequest(Irp, status);
        ReleaseIoReference(context);
        break;
    case PnpEnding::PassedDown:
        ReleaseIoReference(context);
        break;
    case PnpEnding::PassedDownReleased:
        break;
    }
    return status;
}
