/* Small helpers both test-bed drivers use for IRPs (kernel mode only). */
#ifndef VCKERNEL_H
#define VCKERNEL_H

#include <ntddk.h>

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI on_lower_done(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    (void)device; (void)irp;
    KeSetEvent((KEVENT *)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Hands the IRP to the lower driver and waits until it has finished with it;
 * the IRP is then ours again to complete. */
static NTSTATUS forward_and_wait(DEVICE_OBJECT *lower, IRP *irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, on_lower_done, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

#endif
