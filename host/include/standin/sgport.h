/*
 * standin/sgport.h - host set-up API: a storage port over the Linux SCSI generic driver.
 *
 * Each request block goes to the recorder's /dev/sgN with the SG_IO ioctl (sg version 3
 * header): command block, direction, data buffer and length, time-out (the block's
 * TimeOutValue in seconds) and a sense buffer. The answer is mapped back as a storage port
 * maps it:
 *
 *   transport (host_status) first:
 *     DID_NO_CONNECT, DID_TRANSPORT_FAILFAST           SRB_STATUS_SELECTION_TIMEOUT
 *     DID_BAD_TARGET, ioctl ENODEV / ENXIO             SRB_STATUS_NO_DEVICE
 *     DID_TIME_OUT, driver DRIVER_TIMEOUT              SRB_STATUS_TIMEOUT
 *     DID_RESET                                        SRB_STATUS_BUS_RESET
 *     DID_ABORT                                        SRB_STATUS_ABORTED
 *     DID_BUS_BUSY, DID_IMM_RETRY, DID_REQUEUE,
 *     DID_TRANSPORT_DISRUPTED, ioctl EBUSY / EAGAIN    SRB_STATUS_BUSY
 *     DID_PARITY                                       SRB_STATUS_PARITY_ERROR
 *     any other host status                            SRB_STATUS_ERROR
 *     any other ioctl error                            SRB_STATUS_INVALID_REQUEST
 *   then the SCSI status:
 *     CHECK CONDITION                 SRB_STATUS_ERROR, ScsiStatus 02h; the sense the kernel
 *                                     fetched is copied into SenseInfoBuffer (up to its
 *                                     length, which becomes the bytes copied) with
 *                                     SRB_STATUS_AUTOSENSE_VALID (not with
 *                                     SRB_FLAGS_DISABLE_AUTOSENSE or no sense buffer)
 *     BUSY, RESERVATION CONFLICT,
 *     TASK SET FULL, others           SRB_STATUS_ERROR with that ScsiStatus, no sense
 *     GOOD, resid 0                   SRB_STATUS_SUCCESS
 *     GOOD, resid > 0                 SRB_STATUS_DATA_OVERRUN, DataTransferLength = the bytes
 *                                     really moved (requested - resid)
 *
 * Every outcome other than SUCCESS and a short data-in sets SRB_STATUS_QUEUE_FROZEN and
 * freezes the queue (unless the block sets SRB_FLAGS_NO_QUEUE_FREEZE), as the simulated
 * recorder does: a later block without SRB_FLAGS_BYPASS_FROZEN_QUEUE waits up to the frozen-
 * queue time-out for SRB_FUNCTION_RELEASE_QUEUE (then runs) or SRB_FUNCTION_FLUSH_QUEUE (then
 * ends SRB_STATUS_REQUEST_FLUSHED, as it does after the time-out). Resets end SUCCESS and are
 * passed to the device with SG_SCSI_RESET.
 *
 * The device is opened O_RDWR | O_EXCL | O_NONBLOCK: exclusive, so that no other process
 * writes to the recorder meanwhile. A recorder whose sr block device is mounted is refused.
 * The driver never includes this header.
 */
#pragma once

#include "port.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The seam under the port: an ioctl on the device. Returns 0, or -errno. */
typedef int (*HOST_SG_IOCTL)(void *Context, int Fd, unsigned long Request, void *Argument);

/* Why a device could not be opened as a recorder. */
typedef enum _HOST_SG_OPEN_RESULT {
    HostSgOpened = 0,
    HostSgNoDevice,     /* no such device file, or the device is gone */
    HostSgNoPermission, /* EACCES / EPERM */
    HostSgBusy,         /* open exclusively elsewhere, or held open by another process */
    HostSgMounted,      /* its sr block device is mounted */
    HostSgNotSg,        /* not an sg device (the SG version ioctl fails) */
    HostSgNotRecorder,  /* INQUIRY says another peripheral type than 5 */
    HostSgFailed        /* INQUIRY or another set-up step failed */
} HOST_SG_OPEN_RESULT;

typedef struct _HOST_SG_PORT HOST_SG_PORT;

/*
 * Opens Path (a /dev/sgN) exclusively, checks that it is an sg device of peripheral type 5
 * whose sr device is not mounted, reads its INQUIRY identity and creates its port device.
 * Returns NULL with *Result and a one-line Message (naming the group or capability needed when
 * permission is missing).
 */
HOST_SG_PORT *HostSgOpen(const char *Path, HOST_SG_OPEN_RESULT *Result, char *Message,
                         size_t MessageSize);

/*
 * The same over a descriptor that is already open, with Ioctl in place of the kernel's
 * (NULL: the real ioctl). Takes over Fd (closed by HostSgClose; -1 for a seam without a
 * device). Checks nothing about mounts. Returns NULL with *Result when INQUIRY fails or the
 * type is not 5, unless AnyType is set.
 */
HOST_SG_PORT *HostSgAttach(int Fd, const char *Name, HOST_SG_IOCTL Ioctl, void *IoctlContext,
                           BOOLEAN AnyType, HOST_SG_OPEN_RESULT *Result);

/* The port device a class driver attaches to. */
PDEVICE_OBJECT HostSgPdo(HOST_SG_PORT *Port);

/* The device's path and the name of its sr block device ("" when there is none). */
const char *HostSgPath(HOST_SG_PORT *Port);
const char *HostSgBlockName(HOST_SG_PORT *Port);

/* How long a block waits for the release of a frozen queue (100 ns units; default 30 s). */
void HostSgSetFrozenQueueTimeout(HOST_SG_PORT *Port, LONGLONG Timeout);

/* Passes one request block (as the port device's dispatch does). */
void HostSgExecuteSrb(HOST_SG_PORT *Port, SCSI_REQUEST_BLOCK *Srb);

/* Deletes the port device (after everything attached to it is gone) and closes the device. */
void HostSgClose(HOST_SG_PORT *Port);

/* A device found by HostSgFind. */
typedef struct _HOST_SG_FOUND {
    char Path[64];      /* /dev/sgN */
    char BlockName[32]; /* srM, or "" */
    char Vendor[9];     /* INQUIRY identity, trailing blanks cut */
    char Product[17];
    char Revision[5];
    UCHAR DeviceType;            /* peripheral device type */
    HOST_SG_OPEN_RESULT Problem; /* HostSgOpened, or why it could not be asked */
    char Message[160];           /* the problem, in words */
} HOST_SG_FOUND;

/*
 * Lists the sg devices of peripheral type 5 under Directory ("/dev" normally): each is asked
 * INQUIRY (opened read-only, without exclusion); one that cannot be opened is still listed
 * when the system's device tree says type 5, with its problem. Returns how many there are
 * (at most Max are filled).
 */
ULONG HostSgFind(const char *Directory, HOST_SG_FOUND *Found, ULONG Max);

#ifdef __cplusplus
}
#endif
