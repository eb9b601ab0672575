/*
 * standin/port.h - host set-up API: a storage port seen as a record of function pointers.
 *
 * A port (the simulated recorder, a pass-through to a real device, a test's own model) fills
 * a HOST_PORT_OPS record; HostCreatePortDevice turns it into a physical device object (PDO)
 * whose dispatch answers what a storage port answers for a class driver above it:
 *
 *   IRP_MJ_SCSI (= IRP_MJ_INTERNAL_DEVICE_CONTROL), request block in Parameters.Scsi.Srb
 *       -> Ops->ExecuteSrb (whatever control code the packet was built with); the IRP
 *          completes with STATUS_SUCCESS for SRB_STATUS_SUCCESS, STATUS_DATA_OVERRUN,
 *          STATUS_INVALID_DEVICE_REQUEST, STATUS_CANCELLED (request flushed),
 *          STATUS_DEVICE_NOT_CONNECTED (selection time-out, no device), STATUS_IO_TIMEOUT,
 * STATUS_BUS_RESET, otherwise STATUS_IO_DEVICE_ERROR; Information = Srb->DataTransferLength as the
 * port left it. A successful SRB_FUNCTION_CLAIM_DEVICE returns the port device in Srb->DataBuffer.
 * No Parameters.Scsi.Srb: STATUS_INVALID_PARAMETER. IRP_MJ_DEVICE_CONTROL IOCTL_SCSI_GET_ADDRESS:
 * Ops->GetAddress, 8-byte SCSI_ADDRESS in the system buffer IOCTL_STORAGE_QUERY_PROPERTY:
 * StorageDeviceProperty / StorageAdapterProperty descriptors built from Ops->Describe (standard and
 * exists queries; other properties STATUS_NOT_SUPPORTED); the device descriptor's vendor, product
 * and revision strings follow it, NUL-terminated, at the descriptor's offsets anything else:
 * STATUS_INVALID_DEVICE_REQUEST IRP_MJ_CREATE / CLOSE / CLEANUP / POWER, and the start, stop and
 * removal codes of IRP_MJ_PNP: STATUS_SUCCESS (other IRP_MJ_PNP codes keep the IRP's status)
 *   anything else: STATUS_INVALID_DEVICE_REQUEST
 *
 * Every IRP is completed with IofCompleteRequest in the caller's thread: the port never
 * returns STATUS_PENDING.
 *
 * The driver never includes this header.
 */
#pragma once

#include <ntddk.h>
#include <srb.h>
#include <ntddscsi.h>
#include <ntddstor.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a port says about itself: the inquiry identity and the adapter limits. */
typedef struct _HOST_PORT_IDENTITY {
    CHAR Vendor[8];              /* inquiry vendor, blank padded, no terminator */
    CHAR Product[16];            /* inquiry product, blank padded, no terminator */
    CHAR Revision[4];            /* inquiry revision, blank padded, no terminator */
    ULONG MaximumTransferLength; /* adapter descriptor */
    ULONG MaximumPhysicalPages;  /* adapter descriptor */
    ULONG AlignmentMask;         /* adapter descriptor */
    UCHAR DeviceType;            /* peripheral device type (5 = CD/DVD) */
    UCHAR DeviceTypeModifier;    /* device descriptor */
    BOOLEAN RemovableMedia;      /* device descriptor */
    BOOLEAN CommandQueueing;     /* device and adapter descriptors */
    STORAGE_BUS_TYPE BusType;    /* device and adapter descriptors (BusTypeScsi by default) */
    CHAR SerialNumber[32];       /* device descriptor; empty string: no serial number offset */
    ULONG DescriptorSize;        /* device descriptor cut to this many bytes; 0: whole */
} HOST_PORT_IDENTITY, *PHOST_PORT_IDENTITY;

typedef struct _HOST_PORT_OPS {
    void *Context;
    /*
     * Synchronous, in the caller's thread. Handles SRB_FUNCTION_EXECUTE_SCSI and
     * SRB_FUNCTION_RELEASE_QUEUE (others may end SRB_STATUS_INVALID_REQUEST). Sets SrbStatus,
     * ScsiStatus, DataTransferLength, and autosense into Srb->SenseInfoBuffer.
     */
    void (*ExecuteSrb)(void *Context, SCSI_REQUEST_BLOCK *Srb);
    /* Fills *Address; may return STATUS_NOT_SUPPORTED. */
    NTSTATUS (*GetAddress)(void *Context, SCSI_ADDRESS *Address);
    /* Fills *Identity (zero-filled by the caller beforehand). */
    void (*Describe)(void *Context, HOST_PORT_IDENTITY *Identity);
} HOST_PORT_OPS, *PHOST_PORT_OPS;

/*
 * Creates the port's PDO (a device object of the port's own host driver object, named
 * "\Device\HostPort%u"). The ops record is copied; Ops->Context must outlive the device.
 * Returns NULL when the device object cannot be created.
 */
PDEVICE_OBJECT HostCreatePortDevice(const HOST_PORT_OPS *Ops);

/* Deletes a PDO made by HostCreatePortDevice (after everything attached to it is gone). */
void HostDeletePortDevice(PDEVICE_OBJECT PortDevice);

/* The ops record a PDO was created with, or NULL when the device is not a port device. */
const HOST_PORT_OPS *HostPortDeviceOps(PDEVICE_OBJECT PortDevice);

/* The host driver object that owns every port device (created on first use). */
PDRIVER_OBJECT HostPortDriverObject(void);

#ifdef __cplusplus
}
#endif
