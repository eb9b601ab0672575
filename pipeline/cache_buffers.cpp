/*
 * cache_buffers.cpp - the control requests that give a recorder its cache buffers and take
 * them back.
 *
 * Cache buffer i holds the data of ring slot i, so every allocation request also sizes the
 * ring to the buffers it leaves and empties it. Buffers are only ever changed while neither
 * recording thread uses them: both requests refuse while a recording is in process, while the
 * read thread is still closing the previous one, or while a write pass runs or is about to;
 * and while one of them runs, record-disc requests are answered busy.
 */
#include "../driver/writer.h"

/*
 * Claims the buffers and the ring for one cache request: refused (FALSE) while a recording
 * or a recording thread may use them, or while another cache request changes them. The test
 * and the claim are one hold of StatusLock, and the record-disc requests test the claim in
 * their own hold of it, so that no recording can start on buffers that are being freed.
 */
static BOOLEAN CdwCacheBuffersClaim(PWriterExtension Ext) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    if (Ext->Status.recordingStatus == RECSTAT_IN_PROCESS || Ext->bReadThreadBusy ||
        Ext->bWritePassPending || Ext->bWriteThreadProcRunning || Ext->bCacheRequestRunning) {
        return FALSE;
    }
    Ext->bCacheRequestRunning = TRUE;
    return TRUE;
}

/* Gives the claim of CdwCacheBuffersClaim back on every way out of a cache request. */
struct CacheBuffersClaim {
    explicit CacheBuffersClaim(PWriterExtension Extension) : ext(Extension), held(FALSE) {}
    ~CacheBuffersClaim() {
        if (held) {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->bCacheRequestRunning = FALSE;
        }
    }
    BOOLEAN Take() {
        held = CdwCacheBuffersClaim(ext);
        return held;
    }
    CacheBuffersClaim(const CacheBuffersClaim &) = delete;
    CacheBuffersClaim &operator=(const CacheBuffersClaim &) = delete;

    PWriterExtension ext;
    BOOLEAN held;
};

/*++

Routine Description:

    Handles IOCTL_RECORDER_ALLOCATE_CACHE: brings the device's cache buffers to the count the
    application asks for (clamped to 16..96), keeping the buffers below that count, freeing
    those above it or allocating the missing ones from cache-aligned non-paged pool. Running
    out of memory is not a failure: the output reports how many buffers exist. The ring is
    then sized to the buffers and emptied.

    Refused on a desktop unit, and while a recording or a recording thread may use the
    buffers.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the buffered request: a ULONG count in, the ULONG count of buffers now allocated out.

Return Value:

    STATUS_SUCCESS (information 4), STATUS_INVALID_PARAMETER for short buffers or a desktop
    unit, STATUS_DEVICE_BUSY while recording, or the code of an exception. The status is also
    stored in the request; the dispatch completes it.

IRQL: PASSIVE_LEVEL, in the application's thread.

--*/
NTSTATUS CdRecorderAllocateCache(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PWriterExtension ext = CdwWriterExtension(DeviceObject);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (inLength < sizeof(ULONG) || outLength < sizeof(ULONG) || ext->bDesktopUnit) {
            status = STATUS_INVALID_PARAMETER;
            return;
        }
        CacheBuffersClaim claim(ext);
        if (!claim.Take()) {
            DbgPrint("Burnkit[%d]: CdRecorderAllocateCache - recording in process, "
                     "buffers in use\n",
                     CdwDeviceNumber(DeviceObject));
            status = STATUS_DEVICE_BUSY;
            return;
        }

        PVOID systemBuffer = Irp->AssociatedIrp.SystemBuffer;
        ULONG count;
        RtlCopyMemory(&count, systemBuffer, sizeof(count));
        if (count < MIN_CACHE_BUFFERS) {
            count = MIN_CACHE_BUFFERS;
        } else if (count > MAX_CACHE_BUFFERS) {
            count = MAX_CACHE_BUFFERS;
        }

        if (count < ext->numCacheBuffers) {
            for (ULONG i = count; i < ext->numCacheBuffers; i++) {
                if (ext->cacheBuffers[i] != NULL) {
                    ExFreePool(ext->cacheBuffers[i]);
                    ext->cacheBuffers[i] = NULL;
                }
            }
            ext->numCacheBuffers = count;
        }

        if (count == ext->numCacheBuffers) {
            DbgPrint("Burnkit[%d]: CdRecorderAllocateCache - %d buffers already "
                     "allocated\n",
                     CdwDeviceNumber(DeviceObject), count);
        } else {
            for (ULONG i = ext->numCacheBuffers; i < count; i++) {
                PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(
                    NonPagedPoolCacheAligned, CACHE_BUFFER_SIZE, CDW_TAG_BUFFERS));
                if (buffer == NULL) {
                    break;
                }
                ext->cacheBuffers[i] = buffer;
                ext->numCacheBuffers++;
            }
            DbgPrint("Burnkit[%d]: CdRecorderAllocateCache - %d buffers requested, %d "
                     "allocated\n",
                     CdwDeviceNumber(DeviceObject), count, ext->numCacheBuffers);
        }

        ext->CirQue.size = ext->numCacheBuffers;
        ext->CirQue.numElements = ext->numCacheBuffers;
        CirQueReset(&ext->CirQue);

        ULONG allocated = ext->numCacheBuffers;
        RtlCopyMemory(systemBuffer, &allocated, sizeof(allocated));
        Irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
    };
    return CdwGuardedRequest(
        Irp, &status,
        "Burnkit[%d]: CdRecorderAllocateCache - Exception! GetExceptionCode() = 0x%08X\n",
        CdwDeviceNumber(DeviceObject), body);
}

/*++

Routine Description:

    Handles IOCTL_RECORDER_DEALLOCATE_CACHE: frees every cache buffer of the device. The ring
    keeps its number of slots; the next allocation request sizes it again. Refused while a
    write pass runs (STATUS_UNSUCCESSFUL, as applications know it) and while a recording or
    the read thread may still use the buffers (STATUS_DEVICE_BUSY).

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the request; it carries no buffer.

Return Value:

    STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DEVICE_BUSY or the code of an exception; the
    status is also stored in the request with information 0.

IRQL: PASSIVE_LEVEL, in the application's thread.

--*/
NTSTATUS CdRecorderDeallocateCache(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PWriterExtension ext = CdwWriterExtension(DeviceObject);
        BOOLEAN writing;
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            writing = ext->bWriteThreadProcRunning;
        }
        if (writing) {
            DbgPrint("Burnkit[%d]: CdRecorderDeallocateCache not deallocating - "
                     "WriteThreadProc still running!\n",
                     CdwDeviceNumber(DeviceObject));
            status = STATUS_UNSUCCESSFUL;
            return;
        }
        CacheBuffersClaim claim(ext);
        if (!claim.Take()) {
            DbgPrint("Burnkit[%d]: CdRecorderDeallocateCache - recording in process, "
                     "buffers in use\n",
                     CdwDeviceNumber(DeviceObject));
            status = STATUS_DEVICE_BUSY;
            return;
        }

        ULONG former = ext->numCacheBuffers;
        for (ULONG i = 0; i < former && i < MAX_CACHE_BUFFERS; i++) {
            if (ext->cacheBuffers[i] != NULL) {
                ExFreePool(ext->cacheBuffers[i]);
                ext->cacheBuffers[i] = NULL;
            }
        }
        DbgPrint("Burnkit[%d]: CdRecorderDeallocateCache - %d buffers deallocated\n",
                 CdwDeviceNumber(DeviceObject), former);
        ext->numCacheBuffers = 0;
        status = STATUS_SUCCESS;
    };
    return CdwGuardedRequest(
        Irp, &status,
        "Burnkit[%d]: CdRecorderDeallocateCache - Exception! GetExceptionCode() = 0x%08X\n",
        CdwDeviceNumber(DeviceObject), body);
}
