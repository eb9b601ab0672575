/*
 * dispatch.cpp - the device-control callback that the class library calls for every control
 * request sent to a recorder: routes the private codes to their handlers, answers the
 * find-new-devices codes, refuses the CD-ROM class and leaves everything else to the library.
 */
#include "writer.h"

/* Device type of a control code (its upper 16 bits). */
static inline ULONG CdwControlCodeDeviceType(ULONG ControlCode) {
    return ControlCode >> 16;
}

/*++

Routine Description:

    The ClassDeviceControl callback of the driver. Each private control code goes to its
    handler, which sets the request's status and information; the three find-new-devices
    codes succeed with no output; codes of the CD-ROM device type are refused with
    STATUS_NOT_IMPLEMENTED so that the device answers none of the CD-ROM class requests.
    Every request answered here is completed before the routine returns, after the remove
    lock that the class library took for it has been released. Any other code goes to the
    class library's default handling, which then owns the request and its remove lock.

    The dispatch checks no buffer lengths (each handler checks its own) and takes no lock.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the device-control request, its remove lock held by the class library.

Return Value:

    The status of the request.

IRQL: PASSIVE_LEVEL, in the requesting thread.

--*/
NTSTATUS NTAPI CdRecorderDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status;

    switch (controlCode) {
    case IOCTL_RECORDER_EXEC_SCSI_OPERATION:
        status = CdRecorderExecScsiOperation(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_QUERY_PARAMETERS:
        status = CdRecorderQueryParameters(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_RECORD_DISC:
        status = CdRecorderRecordDisc(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_RECORDING_STATUS:
        status = CdRecorderRecordinfStatus(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_CREATE_CACHE_DRIVE:
        status = CreateCacheDrive(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_INIT_CACHE_LOCK:
        status = InitCacheLock(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_LOCK_CACHE_DRIVE:
        status = LockCacheDrive(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_UNLOCK_CACHE_DRIVE:
        status = UnlockCacheDrive(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_RECORD_DISC_EX:
        status = CdRecorderRecordDiscEx(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_ALLOCATE_CACHE:
        status = CdRecorderAllocateCache(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_DEALLOCATE_CACHE:
        status = CdRecorderDeallocateCache(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_RECORD_DISC_EX2:
        status = CdRecorderRecordDiscEx2(DeviceObject, Irp);
        break;
    case IOCTL_RECORDER_QUERY_PROPERTIES:
        status = CdRecorderQueryProperties(DeviceObject, Irp);
        break;

    case IOCTL_CDROM_FIND_NEW_DEVICES:
    case IOCTL_DISK_FIND_NEW_DEVICES:
    case IOCTL_STORAGE_FIND_NEW_DEVICES:
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = STATUS_SUCCESS;
        break;

    default:
        if (CdwControlCodeDeviceType(controlCode) != FILE_DEVICE_CD_ROM) {
            /* The class library completes or forwards it and releases the remove lock. */
            return ClassDeviceControl(DeviceObject, Irp);
        }
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }

    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return status;
}
