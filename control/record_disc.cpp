/*
 * record_disc.cpp - the three record-disc requests.
 *
 * Each request checks the application's parameter block, copies it into the device record
 * (ReadParams for the read thread, WriteParams and recordFlags for the write thread, the
 * status record for the application), prepares how the image will be reached - the image's
 * cache drive, or the caller's security context - marks the recording as in process and wakes
 * the read thread. The request completes at once; the application follows the recording
 * through the status request.
 *
 * The plain request names the image by a short path whose fifth character is the letter of
 * its cache drive; the read thread then takes that drive's lock around its reads. The Ex
 * request carries one track and a long name and has the image opened as the caller, the
 * access checked against the caller's identity. The Ex2 request is the plain block with a
 * long name at its end; it captures the caller's context but reads without impersonation
 * under the lock of RecordCacheDrive.
 */
#include "../driver/writer.h"

namespace {

enum RECORD_DISC_KIND { RecordDiscPlain, RecordDiscEx, RecordDiscEx2 };

/* What tells the three requests apart: block length and the handler's messages. */
struct RECORD_DISC_FLAVOUR {
    RECORD_DISC_KIND Kind;
    const char *Name;
    ULONG MinimumLength;
    const char *TooShortMessage;
    const char *InvalidBlockMessage;
    const char *NoBuffersMessage;
    const char *ThreadEndedMessage;
    const char *CaptureFailedMessage;
    const char *ExceptionMessage;
};

const RECORD_DISC_FLAVOUR PlainFlavour = {
    RecordDiscPlain,
    "CdRecorderRecordDisc",
    sizeof(RECORD_DISC_REQUEST),
    "Burnkit[%d]: CdRecorderRecordDisc - InputBufferLength too short, is %d, should be %d "
    "bytes\n",
    "Burnkit[%d]: CdRecorderRecordDisc - invalid parameter block\n",
    "Burnkit[%d]: CdRecorderRecordDisc - Not enough cache buffers allocated - %d allocated\n",
    "Burnkit[%d]: CdRecorderRecordDisc - recording thread has ended, device cannot record\n",
    NULL,
    "Burnkit[%d]: CdRecorderRecordDisc - Exception! GetExceptionCode() = 0x%08X\n",
};

const RECORD_DISC_FLAVOUR ExFlavour = {
    RecordDiscEx,
    "CdRecorderRecordDiscEx",
    sizeof(RECORD_DISC_EX_REQUEST),
    "Burnkit[%d]: CdRecorderRecordDiscEx - InputBufferLength too short, is %d, should be %d "
    "bytes\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx - invalid parameter block\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx - Not enough cache buffers allocated - %d allocated\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx - recording thread has ended, device cannot record\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx - SeCreateClientSecurity failed, Status = 0x%08X\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx - Exception! GetExceptionCode() = 0x%08X\n",
};

const RECORD_DISC_FLAVOUR Ex2Flavour = {
    RecordDiscEx2,
    "CdRecorderRecordDiscEx2",
    sizeof(RECORD_DISC_EX2_REQUEST),
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - InputBufferLength too short, is %d, should be %d "
    "bytes\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - invalid parameter block\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - Not enough cache buffers allocated - %d allocated\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - recording thread has ended, device cannot record\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - SeCreateClientSecurity failed, Status = 0x%08X\n",
    "Burnkit[%d]: CdRecorderRecordDiscEx2 - Exception! GetExceptionCode() = 0x%08X\n",
};

/* The fields of one request block, wherever its layout puts them. */
struct RECORD_DISC_FIELDS {
    const char *imageName;
    ULONG imageNameField; /* bytes of the name field: 32 or 260 */
    BOOLEAN bImpersonate;
    ULONG imageByteOffset;
    BOOLEAN bBufferedRead;
    BOOLEAN bChecksumOnly;
    ULONG pregapStartBlock;
    ULONG pregapBlockSize;
    ULONG nPregapBlocks;
    ULONG numTracks;
    ULONG initialBlocksWritten;
    ULONG modeWord;
    const TRACK_ENTRY *tracks;
    ULONG tracksInBlock; /* entries the block carries: 100, or 1 for the Ex request */
    ULONG refillPercent;
    BOOLEAN bWriteTdb;
    UCHAR tdbTrackNumber;
};

/* Takes the fields that all three blocks carry; the track table is as long as the block's. */
template <typename BLOCK>
void RecordDiscTakeShared(const BLOCK *Block, RECORD_DISC_FIELDS *Fields) {
    Fields->imageName = Block->imageName;
    Fields->imageNameField = sizeof(Block->imageName);
    Fields->pregapStartBlock = Block->pregapStartBlock;
    Fields->pregapBlockSize = Block->pregapBlockSize;
    Fields->nPregapBlocks = Block->nPregapBlocks;
    Fields->numTracks = Block->numTracks;
    Fields->initialBlocksWritten = Block->initialBlocksWritten;
    Fields->modeWord = Block->modeWord;
    Fields->tracks = Block->tracks;
    Fields->tracksInBlock = sizeof(Block->tracks) / sizeof(Block->tracks[0]);
    Fields->refillPercent = Block->refillPercent;
    Fields->bWriteTdb = Block->bWriteTdb;
    Fields->tdbTrackNumber = Block->tdbTrackNumber;
}

/* The plain and Ex2 blocks also say how to read and whether to record only the checksum. */
template <typename BLOCK> void RecordDiscTakePlain(const BLOCK *Block, RECORD_DISC_FIELDS *Fields) {
    RecordDiscTakeShared(Block, Fields);
    Fields->bImpersonate = FALSE;
    Fields->imageByteOffset = 0;
    Fields->bBufferedRead = Block->bBufferedRead;
    Fields->bChecksumOnly = Block->bChecksumOnly;
}

void RecordDiscTakeFields(RECORD_DISC_KIND Kind, const UCHAR *Buffer, RECORD_DISC_FIELDS *Fields) {
    if (Kind == RecordDiscEx) {
        const RECORD_DISC_EX_REQUEST *block =
            reinterpret_cast<const RECORD_DISC_EX_REQUEST *>(Buffer);
        RecordDiscTakeShared(block, Fields);
        Fields->bImpersonate = TRUE;
        Fields->imageByteOffset = block->imageByteOffset;
        Fields->bBufferedRead = TRUE;
        Fields->bChecksumOnly = FALSE;
    } else if (Kind == RecordDiscEx2) {
        RecordDiscTakePlain(reinterpret_cast<const RECORD_DISC_EX2_REQUEST *>(Buffer), Fields);
    } else {
        RecordDiscTakePlain(reinterpret_cast<const RECORD_DISC_REQUEST *>(Buffer), Fields);
    }
}

/*
 * A block the driver could not carry out without reading or writing out of bounds: no track
 * or more than the table holds (the Ex block carries exactly one), a track or a pre-gap whose
 * 64 blocks would not fit one cache buffer, or a name that has no NUL inside its field (which
 * also keeps its Unicode form inside the name buffer of ReadParams).
 */
BOOLEAN RecordDiscFieldsInBounds(const RECORD_DISC_FIELDS *Fields) {
    if (Fields->numTracks == 0 || Fields->numTracks > Fields->tracksInBlock) {
        return FALSE;
    }
    for (ULONG i = 0; i < Fields->numTracks; i++) {
        if (Fields->tracks[i].blockSize == 0 || Fields->tracks[i].blockSize > MAX_BLOCK_SIZE) {
            return FALSE;
        }
    }
    if (Fields->nPregapBlocks != 0 &&
        (Fields->pregapBlockSize == 0 || Fields->pregapBlockSize > MAX_BLOCK_SIZE)) {
        return FALSE;
    }
    for (ULONG i = 0; i < Fields->imageNameField; i++) {
        if (Fields->imageName[i] == '\0') {
            return TRUE;
        }
    }
    return FALSE;
}

/*
 * Checks the block and reports the first fault found. Beyond the bounds above, a block is
 * refused that would record something other than it describes:
 * - a pre-gap whose block size differs from the first track's: the pre-gap is written in the
 *   first track's block size, so its blocks would be zero-filled and stamped for another
 *   size and would carry whatever the cache buffers held beyond that;
 * - a track of no blocks: it queues no packet, and as the last track it leaves the recording
 *   without a last packet, to end 30 seconds later as a packet time-out.
 */
BOOLEAN RecordDiscFieldsValid(const RECORD_DISC_FIELDS *Fields, const RECORD_DISC_FLAVOUR *Flavour,
                              ULONG DeviceNumber) {
    if (!RecordDiscFieldsInBounds(Fields)) {
        DbgPrint(Flavour->InvalidBlockMessage, DeviceNumber);
        return FALSE;
    }
    if (Fields->nPregapBlocks != 0 && Fields->pregapBlockSize != Fields->tracks[0].blockSize) {
        DbgPrint("Burnkit[%d]: %s - pre-gap block size %d differs from the first track's block "
                 "size %d\n",
                 DeviceNumber, Flavour->Name, Fields->pregapBlockSize, Fields->tracks[0].blockSize);
        return FALSE;
    }
    for (ULONG i = 0; i < Fields->numTracks; i++) {
        if (Fields->tracks[i].nBlocks == 0) {
            DbgPrint("Burnkit[%d]: %s - track %d of %d has no blocks\n", DeviceNumber,
                     Flavour->Name, i + 1, Fields->numTracks);
            return FALSE;
        }
    }
    return TRUE;
}

/* What the device says to a record-disc request, before the block is looked at. */
enum RECORD_DISC_ADMISSION {
    RecordDiscAdmitted,
    RecordDiscThreadEnded,
    RecordDiscBusy,
    RecordDiscNoBuffers
};

/*
 * Reads the device's state under StatusLock. Busy means: a recording in process, a read
 * thread still closing the last one, a write pass woken or running (a read-side ending sets
 * the final status while the pass may still be writing or polling), or a cache request
 * changing the buffers. With Start, an admitted request also marks the recording in process
 * in the same hold, so that two requests, or a request and a cache request, cannot both
 * pass.
 */
RECORD_DISC_ADMISSION RecordDiscAdmit(PWriterExtension Ext, const RECORD_DISC_FIELDS *Fields,
                                      BOOLEAN Start) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    if (Ext->bThreadFailed) {
        return RecordDiscThreadEnded;
    }
    if (Ext->Status.recordingStatus == RECSTAT_IN_PROCESS || Ext->bReadThreadBusy ||
        Ext->bWritePassPending || Ext->bWriteThreadProcRunning || Ext->bCacheRequestRunning) {
        return RecordDiscBusy;
    }
    if (Ext->numCacheBuffers < MIN_CACHE_BUFFERS) {
        return RecordDiscNoBuffers;
    }
    if (Start) {
        Ext->Status.blocksWritten = Fields->initialBlocksWritten;
        Ext->Status.buffersOrChecksum = Ext->numCacheBuffers;
        Ext->Status.packetsQueued = 0;
        Ext->Status.bCancel = FALSE;
        Ext->Status.bReadStarted = FALSE;
        Ext->Status.recordingStatus = RECSTAT_IN_PROCESS;
        Ext->bReadThreadBusy = TRUE;
    }
    return RecordDiscAdmitted;
}

/*
 * The steps of a record-disc request. *Accepted tells the caller that this request has marked
 * the recording as in process, *Started that it has woken the read thread.
 */
NTSTATUS RecordDiscSteps(PDEVICE_OBJECT DeviceObject, PIRP Irp, const RECORD_DISC_FLAVOUR *Flavour,
                         BOOLEAN *Accepted, BOOLEAN *Started) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    const ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    const ULONG length =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
    const UCHAR *buffer = static_cast<const UCHAR *>(Irp->AssociatedIrp.SystemBuffer);

    if (length < Flavour->MinimumLength) {
        DbgPrint(Flavour->TooShortMessage, deviceNumber, length, Flavour->MinimumLength);
        return STATUS_INVALID_PARAMETER;
    }

    RECORD_DISC_FIELDS fields;
    RecordDiscTakeFields(Flavour->Kind, buffer, &fields);

    /*
     * The device's answers come before the block's: without buffers the request fails for
     * them, and while the device is busy it is answered busy, silently and changing nothing,
     * whatever the block holds. Only then is the block checked, and the busy test made again
     * in the hold of StatusLock that starts the recording.
     */
    if (ext->numCacheBuffers < MIN_CACHE_BUFFERS) {
        DbgPrint(Flavour->NoBuffersMessage, deviceNumber, ext->numCacheBuffers);
        return STATUS_MEMORY_NOT_ALLOCATED;
    }
    RECORD_DISC_ADMISSION admission = RecordDiscAdmit(ext, &fields, FALSE);
    if (admission == RecordDiscAdmitted) {
        if (!RecordDiscFieldsValid(&fields, Flavour, deviceNumber)) {
            return STATUS_INVALID_PARAMETER;
        }
        admission = RecordDiscAdmit(ext, &fields, TRUE);
    }
    switch (admission) {
    case RecordDiscThreadEnded:
        DbgPrint(Flavour->ThreadEndedMessage, deviceNumber);
        return STATUS_DEVICE_NOT_READY;
    case RecordDiscBusy:
        return STATUS_DEVICE_BUSY;
    case RecordDiscNoBuffers:
        DbgPrint(Flavour->NoBuffersMessage, deviceNumber, ext->numCacheBuffers);
        return STATUS_MEMORY_NOT_ALLOCATED;
    default:
        *Accepted = TRUE;
        break;
    }

    PREAD_PARAMS readParams = &ext->ReadParams;
    ANSI_STRING ansiName;
    RtlInitString(&ansiName, fields.imageName);
    readParams->imageFileName.Buffer = readParams->imageFileNameBuffer;
    readParams->imageFileName.MaximumLength = sizeof(readParams->imageFileNameBuffer);
    (void)RtlAnsiStringToUnicodeString(&readParams->imageFileName, &ansiName, FALSE);
    RtlCopyMemory(readParams->imageName, fields.imageName, fields.imageNameField);

    readParams->bImpersonate = fields.bImpersonate;
    readParams->hImageFile = NULL;
    readParams->imageByteOffset = fields.imageByteOffset;
    readParams->bBufferedRead = fields.bBufferedRead;
    readParams->pregapStartBlock = fields.pregapStartBlock;
    readParams->pregapBlockSize = fields.pregapBlockSize;
    readParams->nPregapBlocks = fields.nPregapBlocks;
    readParams->numTracks = fields.numTracks;
    readParams->bWriteTdb = fields.bWriteTdb;
    readParams->tdbTrackNumber = fields.tdbTrackNumber;

    ext->WriteParams.writeMode = fields.modeWord & 0xF;
    ext->recordFlags = fields.modeWord & 0xFFFFFFF0u;
    ext->WriteParams.bAbort = FALSE;
    ext->WriteParams.bChecksumOnly = fields.bChecksumOnly;
    ext->WriteParams.blockSize = fields.tracks[0].blockSize;

    RtlCopyMemory(readParams->tracks, fields.tracks, fields.tracksInBlock * sizeof(TRACK_ENTRY));

    if (fields.refillPercent >= 10 && fields.refillPercent <= 99) {
        ext->refillThreshold = ext->numCacheBuffers * fields.refillPercent / 100;
    }

    if (Flavour->Kind == RecordDiscPlain) {
        const CHAR driveLetter = fields.imageName[4];
        const NTSTATUS locateStatus = TesselCacheDriveLocate(driveLetter, &ext->RecordCacheDrive);
        if (!NT_SUCCESS(locateStatus)) {
            DbgPrint("Burnkit[%d]: CdRecorderRecordDisc - TesselCacheDriveLocate failed for drive "
                     "'%c', Status = 0x%08X\n",
                     deviceNumber, driveLetter, locateStatus);
            ext->RecordCacheDrive = NULL;
        }
    } else {
        SECURITY_QUALITY_OF_SERVICE qos;
        qos.Length = 12;
        qos.ImpersonationLevel = SecurityImpersonation;
        qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
        qos.EffectiveOnly = FALSE;
        const NTSTATUS captureStatus = SeCreateClientSecurity((PETHREAD)KeGetCurrentThread(), &qos,
                                                              FALSE, &readParams->ClientContext);
        if (!NT_SUCCESS(captureStatus)) {
            {
                CdwSpinLockGuard guard(&ext->StatusLock);
                ext->Status.recordingStatus = RECSTAT_OPEN_FAILED;
                ext->bReadThreadBusy = FALSE;
            }
            DbgPrint(Flavour->CaptureFailedMessage, deviceNumber, captureStatus);
            return captureStatus;
        }
        ext->bClientContextCaptured = TRUE;

        const TRACK_ENTRY *first = &readParams->tracks[0];
        if (Flavour->Kind == RecordDiscEx) {
            DbgPrint("Burnkit[%d]: CdRecorderRecordDiscEx (%s) - 1st track start block = 0x%08X, "
                     "nBlocks = 0x%08X\n",
                     deviceNumber, readParams->imageName, first->startBlock, first->nBlocks);
        } else {
            DbgPrint("Burnkit[%d]: CdRecorderRecordDiscEx2 (%s) - 1st track start block = 0x%08X, "
                     "nBlocks = 0x%08X, hdStartBlock = 0x%08X\n",
                     deviceNumber, readParams->imageName, first->startBlock, first->nBlocks,
                     first->hdStartBlock);
        }
    }

    (void)KeSetEvent(&ext->ReadStartEvent, 0, FALSE);
    *Started = TRUE;
    return STATUS_SUCCESS;
}

/*
 * Runs one record-disc request under the exception guard and completes its status. A request
 * that had marked the recording as in process but could not wake the read thread gives the
 * device back: nothing would ever end that recording.
 */
NTSTATUS RecordDiscRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                           const RECORD_DISC_FLAVOUR *Flavour) {
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN accepted = FALSE;
    BOOLEAN started = FALSE;
    NTSTATUS code;
    if (!CdwGuarded(
            [&] { status = RecordDiscSteps(DeviceObject, Irp, Flavour, &accepted, &started); },
            &code)) {
        PWriterExtension ext = CdwWriterExtension(DeviceObject);
        if (accepted && !started) {
            CdwReleaseClientContext(ext);
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->Status.recordingStatus = RECSTAT_OPEN_FAILED;
            ext->bReadThreadBusy = FALSE;
        }
        DbgPrint(Flavour->ExceptionMessage, CdwDeviceNumber(DeviceObject), code);
        status = code;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    return status;
}

} // namespace

/*++

Routine Description:

    IOCTL_RECORDER_RECORD_DISC: starts a recording of up to 100 tracks from an image on a
    cache drive. The image's cache drive is looked up by the fifth character of its name; the
    read thread takes that drive's lock around its open and its reads. A drive missing from
    the table is reported and the recording runs without the lock.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the control request; its system buffer holds the block.

Return Value:

    STATUS_SUCCESS once the read thread has been woken; STATUS_INVALID_PARAMETER,
    STATUS_MEMORY_NOT_ALLOCATED, STATUS_DEVICE_BUSY or STATUS_DEVICE_NOT_READY when the
    recording is refused. Information is always 0.

IRQL:

    PASSIVE_LEVEL, in the requesting thread.

--*/
NTSTATUS CdRecorderRecordDisc(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RecordDiscRequest(DeviceObject, Irp, &PlainFlavour);
}

/*++

Routine Description:

    IOCTL_RECORDER_RECORD_DISC_EX: starts a one-track recording from an image that may lie
    anywhere the caller may read. The caller's security context is captured here, in the
    caller's own thread, and the image is opened as the caller (a thread of the read side
    impersonates it and forces the access check); reads go through the system cache, shifted by
    the block's byte offset, without any cache-drive lock.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the control request; its system buffer holds the block.

Return Value:

    STATUS_SUCCESS once the read thread has been woken; the refusals of the plain request, or
    the capture's own status when the caller's context cannot be captured (the recording then
    reads RECSTAT_OPEN_FAILED). Information is always 0.

IRQL:

    PASSIVE_LEVEL, in the requesting thread (the capture depends on it).

--*/
NTSTATUS CdRecorderRecordDiscEx(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RecordDiscRequest(DeviceObject, Irp, &ExFlavour);
}

/*++

Routine Description:

    IOCTL_RECORDER_RECORD_DISC_EX2: the plain request with a long image name. The caller's
    context is captured but not impersonated; the read thread works under the lock of the
    cache drive that the last plain request of this device found, and gives the context back
    when the recording ends.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the control request; its system buffer holds the block.

Return Value:

    As CdRecorderRecordDiscEx. Information is always 0.

IRQL:

    PASSIVE_LEVEL, in the requesting thread.

--*/
NTSTATUS CdRecorderRecordDiscEx2(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return RecordDiscRequest(DeviceObject, Irp, &Ex2Flavour);
}
