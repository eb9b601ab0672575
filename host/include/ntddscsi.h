/*
 * ntddscsi.h - host stand-in: control codes and records of the SCSI port interface.
 *
 * Codes are given by value (they are the platform's CTL_CODE results) so that this header
 * does not depend on which kernel header supplies CTL_CODE.
 */
#pragma once

#include "nt_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define IOCTL_SCSI_BASE 0x00000004 /* FILE_DEVICE_CONTROLLER */

#define IOCTL_SCSI_PASS_THROUGH 0x0004D004        /* 0x401, buffered, read|write access */
#define IOCTL_SCSI_MINIPORT 0x0004D008            /* 0x402, buffered, read|write access */
#define IOCTL_SCSI_GET_INQUIRY_DATA 0x0004100C    /* 0x403, buffered, any access */
#define IOCTL_SCSI_GET_CAPABILITIES 0x00041010    /* 0x404, buffered, any access */
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014 /* 0x405, buffered, read|write access */
#define IOCTL_SCSI_GET_ADDRESS 0x00041018         /* 0x406, buffered, any access */
#define IOCTL_SCSI_RESCAN_BUS 0x0004101C          /* 0x407, buffered, any access */

/* Internal requests by which a class driver hands a request block to its port. */
#ifndef IOCTL_SCSI_EXECUTE_IN
#define IOCTL_SCSI_EXECUTE_IN 0x001B0011
#endif
#ifndef IOCTL_SCSI_EXECUTE_OUT
#define IOCTL_SCSI_EXECUTE_OUT 0x001B0012
#endif
#ifndef IOCTL_SCSI_EXECUTE_NONE
#define IOCTL_SCSI_EXECUTE_NONE 0x001B0013
#endif

typedef struct _SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

typedef struct _SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG_PTR DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef struct _IO_SCSI_CAPABILITIES {
    ULONG Length;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG SupportedAsynchronousEvents;
    ULONG AlignmentMask;
    BOOLEAN TaggedQueuing;
    BOOLEAN AdapterScansDown;
    BOOLEAN AdapterUsesPio;
} IO_SCSI_CAPABILITIES, *PIO_SCSI_CAPABILITIES;

#ifdef __cplusplus
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI address record is 8 bytes");
#endif

#ifdef __cplusplus
}
#endif
