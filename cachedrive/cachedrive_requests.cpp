/*
 * cachedrive_requests.cpp - the control requests by which the application registers cache
 * drives, binds a recorder to the cache drive it downloads that recorder's images to, and
 * takes and releases that cache drive's lock around its downloads.
 *
 * Every handler runs in the application's thread at PASSIVE_LEVEL; a lock request waits in
 * that thread until the cache drive is free. Information is 0 for all of them.
 */
#include "cachedrive_requests.h"

/*
 * Which recorder the application took a cache drive's lock through. An entry exists from a
 * successful lock request until the next release of that cache drive through any of these
 * requests, or until the recorder is removed. The table is small: one entry per cache drive
 * that the application holds at one time; when it is full a lock is simply not noted (it is
 * then not given back at removal).
 */
#define DOWNLOAD_LOCK_SLOTS 32

typedef struct _DOWNLOAD_LOCK_ENTRY {
    PCACHE_DRIVE CacheDrive;
    PDEVICE_OBJECT Holder;
} DOWNLOAD_LOCK_ENTRY;

static DOWNLOAD_LOCK_ENTRY DownloadLocks[DOWNLOAD_LOCK_SLOTS];
static KSPIN_LOCK DownloadLocksLock;

VOID CdwDownloadLockTableInitialize()
/*++

Routine Description:

    Empties the table of application-held cache-drive locks. Called from DriverEntry, before
    any device exists.

--*/
{
    KeInitializeSpinLock(&DownloadLocksLock);
    RtlZeroMemory(DownloadLocks, sizeof(DownloadLocks));
}

static VOID CdwDownloadLockNote(PCACHE_DRIVE CacheDrive, PDEVICE_OBJECT Holder)
/*++

Routine Description:

    Notes that the application now holds CacheDrive through Holder. Any dispatch level.

--*/
{
    CdwSpinLockGuard guard(&DownloadLocksLock);
    ULONG freeSlot = DOWNLOAD_LOCK_SLOTS;
    for (ULONG i = 0; i < DOWNLOAD_LOCK_SLOTS; i++) {
        if (DownloadLocks[i].CacheDrive == CacheDrive) {
            DownloadLocks[i].Holder = Holder;
            return;
        }
        if (DownloadLocks[i].CacheDrive == NULL && freeSlot == DOWNLOAD_LOCK_SLOTS) {
            freeSlot = i;
        }
    }
    if (freeSlot != DOWNLOAD_LOCK_SLOTS) {
        DownloadLocks[freeSlot].CacheDrive = CacheDrive;
        DownloadLocks[freeSlot].Holder = Holder;
    }
}

static VOID CdwDownloadLockForget(PCACHE_DRIVE CacheDrive)
/*++

Routine Description:

    Forgets who held CacheDrive: it has just been released. Any dispatch level.

--*/
{
    CdwSpinLockGuard guard(&DownloadLocksLock);
    for (ULONG i = 0; i < DOWNLOAD_LOCK_SLOTS; i++) {
        if (DownloadLocks[i].CacheDrive == CacheDrive) {
            DownloadLocks[i].CacheDrive = NULL;
            DownloadLocks[i].Holder = NULL;
        }
    }
}

VOID CdwDownloadLockReleaseForDevice(PDEVICE_OBJECT DeviceObject)
/*++

Routine Description:

    Releases every cache drive that the application locked through this recorder and has not
    released since, so that the recorders reading from that disk do not wait forever for an
    unlock that can no longer arrive. Called by the teardown at PASSIVE_LEVEL.

Arguments:

    DeviceObject - the recorder that is going away.

--*/
{
    for (;;) {
        PCACHE_DRIVE cacheDrive = NULL;
        {
            CdwSpinLockGuard guard(&DownloadLocksLock);
            for (ULONG i = 0; i < DOWNLOAD_LOCK_SLOTS; i++) {
                if (DownloadLocks[i].CacheDrive != NULL &&
                    DownloadLocks[i].Holder == DeviceObject) {
                    cacheDrive = DownloadLocks[i].CacheDrive;
                    DownloadLocks[i].CacheDrive = NULL;
                    DownloadLocks[i].Holder = NULL;
                    break;
                }
            }
        }
        if (cacheDrive == NULL) {
            return;
        }
        DbgPrint("Burnkit[%d]: CdRecorderTearDown - releasing cache drive %08XH locked through "
                 "this device\n",
                 CdwDeviceNumber(DeviceObject), (ULONG)(ULONG_PTR)cacheDrive);
        TesselCacheDriveRelease(cacheDrive);
    }
}

NTSTATUS CreateCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_CREATE_CACHE_DRIVE: registers one volume (drive letter) of a cache drive
    under the disk's address in the driver-wide table. The device that receives it does not
    matter.

    Runs at PASSIVE_LEVEL in the caller's thread.

Arguments:

    DeviceObject - any recorder's functional device object.
    Irp - buffered request with an 8-byte CACHE_DRIVE_REQUEST.

Return Value:

    STATUS_SUCCESS, STATUS_INVALID_PARAMETER for a short input, STATUS_INSUFFICIENT_RESOURCES
    when no record could be allocated, or the code of an exception.

--*/
{
    UNREFERENCED_PARAMETER(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CACHE_DRIVE_REQUEST)) {
            status = STATUS_INVALID_PARAMETER;
            return;
        }
        auto *request = static_cast<const CACHE_DRIVE_REQUEST *>(Irp->AssociatedIrp.SystemBuffer);
        status = TesselCacheDriveCreate(request->DriveLetter, request->Address);
    };
    return CdwGuardedRequest(Irp, &status, NULL, 0, body);
}

NTSTATUS InitCacheLock(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_INIT_CACHE_LOCK: binds the recorder to the cache drive that holds the
    volume with the given drive letter, the one the application downloads this recorder's
    images to. The lock of the previously bound cache drive is released first, whoever holds
    it. A letter that is not registered leaves the recorder unbound.

    Runs at PASSIVE_LEVEL in the caller's thread.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request with an 8-byte CACHE_DRIVE_REQUEST.

Return Value:

    STATUS_SUCCESS, STATUS_INVALID_PARAMETER for a short input, the status of the failed
    lookup (STATUS_OBJECT_NAME_NOT_FOUND), or the code of an exception.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CACHE_DRIVE_REQUEST)) {
            DbgPrint("CdRec[%d]: InitCacheLock - InputBufferLength too small\n", deviceNumber);
            status = STATUS_INVALID_PARAMETER;
            return;
        }
        auto *request = static_cast<const CACHE_DRIVE_REQUEST *>(Irp->AssociatedIrp.SystemBuffer);

        if (writer->DownloadCacheDrive != NULL) {
            CdwDownloadLockForget(writer->DownloadCacheDrive);
            TesselCacheDriveRelease(writer->DownloadCacheDrive);
        }

        status = TesselCacheDriveLocate(request->DriveLetter, &writer->DownloadCacheDrive);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Burnkit[%d]: InitCacheLock - TesselCacheDriveLocate failed, "
                     "Status = 0x%08X\n",
                     deviceNumber, status);
        }
    };
    return CdwGuardedRequest(Irp, &status,
                             "Burnkit[%d]: InitCacheLock - Exception, Status = 0x%08X\n",
                             deviceNumber, body);
}

NTSTATUS LockCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_LOCK_CACHE_DRIVE: takes the lock of the recorder's bound cache drive for
    the application's download, waiting in the caller's thread (not alertable, no time-out)
    while a read thread or another download holds it. The request is not made pending.

    Runs at PASSIVE_LEVEL in the caller's thread.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request; no input is read.

Return Value:

    STATUS_SUCCESS once the lock is held, STATUS_UNSUCCESSFUL when the recorder is not bound,
    or the code of an exception.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PCACHE_DRIVE cacheDrive = writer->DownloadCacheDrive;
        if (cacheDrive == NULL) {
            DbgPrint("CdRec[%d]: LockCacheDrive - %s is NULL\n", deviceNumber,
                     "DownloadCacheDrive");
            status = STATUS_UNSUCCESSFUL;
            return;
        }
        status = TesselCacheDriveAcquire(cacheDrive);
        if (NT_SUCCESS(status)) {
            CdwDownloadLockNote(cacheDrive, DeviceObject);
        }
    };
    return CdwGuardedRequest(Irp, &status,
                             "CdRec[%d]: LockCacheDrive - Exception, Status = 0x%08X\n",
                             deviceNumber, body);
}

NTSTATUS UnlockCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_UNLOCK_CACHE_DRIVE: releases the lock of the recorder's bound cache drive.
    The release is unconditional: it frees the lock whoever took it, through whichever
    recorder.

    Runs at PASSIVE_LEVEL in the caller's thread.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request; no input is read.

Return Value:

    STATUS_SUCCESS, STATUS_UNSUCCESSFUL when the recorder is not bound, or the code of an
    exception.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PCACHE_DRIVE cacheDrive = writer->DownloadCacheDrive;
        if (cacheDrive == NULL) {
            DbgPrint("CdRec[%d]: UnlockCacheDrive - %s is NULL\n", deviceNumber,
                     "DownloadCacheDrive");
            status = STATUS_UNSUCCESSFUL;
            return;
        }
        CdwDownloadLockForget(cacheDrive);
        TesselCacheDriveRelease(cacheDrive);
        status = STATUS_SUCCESS;
    };
    return CdwGuardedRequest(Irp, &status,
                             "CdRec[%d]: UnlockCacheDrive - Exception, Status = 0x%08X\n",
                             deviceNumber, body);
}
