/*
 * cachedrive_table.cpp - the driver-wide table of cache drives.
 *
 * A cache drive is one physical hard disk that holds disc images. Each disk has one record,
 * known by its 16-bit address and by the letters of the volumes on it, and each record
 * carries a blocking lock: the application takes it while it downloads onto the disk, a read
 * thread while it opens an image on it and while it refills its packet ring from it. So the
 * users of one disk take turns, while different disks work in parallel.
 *
 * Records are created on request and stay where they are until the driver unloads, so a
 * pointer to one never dangles and needs no reference count.
 */
#include "../driver/writer.h"

/* The table. DriverEntry initializes the list head and the lock. */
LIST_ENTRY CacheDriveList;
KSPIN_LOCK CacheDriveListLock;
ULONG CacheDriveCount;

/*
 * Maps a drive letter of either case to its slot in DriveLetters, or returns FALSE for a
 * character that names no drive, which must never index the table.
 */
static BOOLEAN CacheDriveLetterIndex(CHAR DriveLetter, ULONG *Index) {
    const int lower = tolower(static_cast<UCHAR>(DriveLetter));
    if (lower < 'a' || lower > 'z') {
        return FALSE;
    }
    *Index = static_cast<ULONG>(lower - 'a');
    return TRUE;
}

/*++

Routine Description:

    Registers a volume letter under the cache drive with the given disk address, creating
    the drive's record when the address is new. The search for the address and the insertion
    of a new record happen under one hold of CacheDriveListLock, so two callers can never
    create two records for one address.

Arguments:

    DriveLetter - the volume's letter, either case.
    Address - the disk's address as the application numbers its disks.

Return Value:

    STATUS_SUCCESS, STATUS_INVALID_PARAMETER for a character outside A-Z and a-z (nothing
    changes), or STATUS_INSUFFICIENT_RESOURCES when no record could be allocated.

IRQL:

    <= DISPATCH_LEVEL; never waits.

--*/
NTSTATUS TesselCacheDriveCreate(CHAR DriveLetter, USHORT Address) {
    ULONG index;
    if (!CacheDriveLetterIndex(DriveLetter, &index)) {
        return STATUS_INVALID_PARAMETER;
    }

    CdwSpinLockGuard guard(&CacheDriveListLock);

    for (PLIST_ENTRY entry = CacheDriveList.Flink; entry != &CacheDriveList; entry = entry->Flink) {
        PCACHE_DRIVE drive = CONTAINING_RECORD(entry, CACHE_DRIVE, ListEntry);
        if (drive->Address == Address) {
            drive->DriveLetters[index] = TRUE;
            DbgPrint("Burnkit: TesselCacheDriveCreate - added drive '%c' at address %04XH to "
                     "%08XH\n",
                     DriveLetter, Address, (ULONG)(ULONG_PTR)drive);
            return STATUS_SUCCESS;
        }
    }

    PCACHE_DRIVE drive = static_cast<PCACHE_DRIVE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(CACHE_DRIVE), CDW_TAG_SCSI));
    if (drive == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(drive, sizeof(CACHE_DRIVE));
    KeInitializeEvent(&drive->LockEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&drive->SpinLock);
    drive->Address = Address;
    drive->DriveLetters[index] = TRUE;
    InsertTailList(&CacheDriveList, &drive->ListEntry);
    CacheDriveCount++;
    DbgPrint("Burnkit: TesselCacheDriveCreate - created %08XH using drive '%c' at address %04XH\n",
             (ULONG)(ULONG_PTR)drive, DriveLetter, Address);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Finds the cache drive that holds the volume with the given letter: the first record, in
    order of creation, that has the letter. A table with no records answers success with no
    record, so that a system without cache drives records without cache-drive locking.

Arguments:

    DriveLetter - the volume's letter, either case.
    CacheDrive - receives the record, or NULL whenever none is found.

Return Value:

    STATUS_SUCCESS (record found, or the table is empty), or STATUS_OBJECT_NAME_NOT_FOUND
    when no record has the letter; a character outside A-Z and a-z is found in no record.

IRQL:

    <= DISPATCH_LEVEL; never waits.

--*/
NTSTATUS TesselCacheDriveLocate(CHAR DriveLetter, PCACHE_DRIVE *CacheDrive) {
    ULONG index;
    const BOOLEAN validLetter = CacheDriveLetterIndex(DriveLetter, &index);
    *CacheDrive = NULL;

    if (CacheDriveCount == 0) {
        return STATUS_SUCCESS;
    }
    if (!validLetter) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }

    PCACHE_DRIVE found = NULL;
    {
        CdwSpinLockGuard guard(&CacheDriveListLock);
        for (PLIST_ENTRY entry = CacheDriveList.Flink; entry != &CacheDriveList;
             entry = entry->Flink) {
            PCACHE_DRIVE drive = CONTAINING_RECORD(entry, CACHE_DRIVE, ListEntry);
            if (drive->DriveLetters[index]) {
                found = drive;
                break;
            }
        }
    }

    if (found == NULL) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *CacheDrive = found;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Takes a cache drive's lock, waiting as long as somebody else holds it. The lock has no
    owner and no count: a holder that asks again waits like anybody else. A release wakes
    every waiter; the first to get the record's spin lock wins and the others wait again.

Arguments:

    CacheDrive - the record, or NULL for a recorder that has no cache drive.

Return Value:

    STATUS_SUCCESS always; returns at once for NULL or while the table is empty.

IRQL:

    PASSIVE_LEVEL (it may wait).

--*/
NTSTATUS TesselCacheDriveAcquire(PCACHE_DRIVE CacheDrive) {
    if (CacheDriveCount == 0 || CacheDrive == NULL) {
        return STATUS_SUCCESS;
    }
    for (;;) {
        {
            CdwSpinLockGuard guard(&CacheDrive->SpinLock);
            if (!CacheDrive->bLocked) {
                CacheDrive->bLocked = TRUE;
                KeClearEvent(&CacheDrive->LockEvent);
                return STATUS_SUCCESS;
            }
        }
        (void)KeWaitForSingleObject(&CacheDrive->LockEvent, Executive, KernelMode, FALSE, NULL);
    }
}

/*++

Routine Description:

    Takes a cache drive's lock as TesselCacheDriveAcquire does, but waits for a release at
    most Timeout. A caller that must stay able to give up (a read thread whose recording may
    be cancelled or whose device may go away) calls it in a loop and looks at its own state
    between the calls.

Arguments:

    CacheDrive - the record, or NULL for a recorder that has no cache drive.
    Timeout - relative time-out of one wait for a release, in 100-nanosecond units (negative).

Return Value:

    STATUS_SUCCESS when the lock is now held by the caller (at once for NULL or an empty
    table), STATUS_TIMEOUT when it was still held by somebody else when the time ran out.

IRQL:

    PASSIVE_LEVEL (it may wait).

--*/
NTSTATUS TesselCacheDriveAcquireWithin(PCACHE_DRIVE CacheDrive, LONGLONG Timeout) {
    if (CacheDriveCount == 0 || CacheDrive == NULL) {
        return STATUS_SUCCESS;
    }
    for (;;) {
        {
            CdwSpinLockGuard guard(&CacheDrive->SpinLock);
            if (!CacheDrive->bLocked) {
                CacheDrive->bLocked = TRUE;
                KeClearEvent(&CacheDrive->LockEvent);
                return STATUS_SUCCESS;
            }
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = Timeout;
        if (KeWaitForSingleObject(&CacheDrive->LockEvent, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            return STATUS_TIMEOUT;
        }
    }
}

/*++

Routine Description:

    Frees a cache drive's lock and wakes everybody waiting for it. The release does not ask
    who took the lock or whether anybody did.

Arguments:

    CacheDrive - the record, or NULL for a recorder that has no cache drive.

Return Value:

    None.

IRQL:

    <= DISPATCH_LEVEL; never waits.

--*/
VOID TesselCacheDriveRelease(PCACHE_DRIVE CacheDrive) {
    if (CacheDriveCount == 0 || CacheDrive == NULL) {
        return;
    }
    CdwSpinLockGuard guard(&CacheDrive->SpinLock);
    CacheDrive->bLocked = FALSE;
    (void)KeSetEvent(&CacheDrive->LockEvent, 1, FALSE);
}

/*++

Routine Description:

    Frees every cache-drive record when the driver unloads. No recorder exists any more, so
    nothing can hold a pointer to a record; the table is left empty.

Arguments:

    None.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL.

--*/
VOID TesselCacheDriveFreeAll() {
    LIST_ENTRY detached;
    InitializeListHead(&detached);
    {
        CdwSpinLockGuard guard(&CacheDriveListLock);
        if (CacheDriveList.Flink == NULL) {
            return; /* the table was never initialized */
        }
        while (!IsListEmpty(&CacheDriveList)) {
            InsertTailList(&detached, RemoveHeadList(&CacheDriveList));
        }
        CacheDriveCount = 0;
    }
    while (!IsListEmpty(&detached)) {
        PLIST_ENTRY entry = RemoveHeadList(&detached);
        ExFreePool(CONTAINING_RECORD(entry, CACHE_DRIVE, ListEntry));
    }
}
