/*
 * read_thread.cpp - the read side of the recording pipeline.
 *
 * Each recorder has one read thread. A record-disc request wakes it; it opens the image,
 * resets the packet ring, queues the pre-gap and then reads the image track by track into the
 * cache buffers, one ring packet of at most 64 blocks per buffer. It keeps the ring as full as
 * the write thread lets it: it fills the ring to the brim, then sleeps until the write thread
 * has drained it below the refill threshold. It starts the write thread the first time the
 * ring is full during the first track, or when the first track has been queued in full.
 *
 * Unless the recording opens the image as its client, the thread holds the lock of the image's
 * cache drive around the open and around every fill burst, never while it sleeps, so that the
 * recorders and downloads sharing one hard disk take turns.
 *
 * An image opened as the client is opened by a short-lived system thread that impersonates the
 * client, opens the image with the access check forced against that identity (a kernel-mode
 * open makes none otherwise, impersonated or not) and ends; its impersonation ends with it.
 * The read thread itself never changes its identity.
 */
#include "../driver/writer.h"

namespace {

/* Relative waits of the read side, in 100-nanosecond units. */
const LONGLONG RefillWaitTimeout = -3000000000LL;   /* 300 s for a refill */
const LONGLONG BlockSizeRetryTimeout = -10000000LL; /* 1 s between block-size packet tries */
const LONGLONG CacheDriveWaitStep = -1000000LL;     /* 100 ms between looks at cancel */

/* Whether the recording may go on: still in process and not cancelled. */
BOOLEAN ReadSideMayContinue(PWriterExtension Extension) {
    CdwSpinLockGuard guard(&Extension->StatusLock);
    return Extension->Status.recordingStatus == RECSTAT_IN_PROCESS && !Extension->Status.bCancel;
}

/*
 * Takes the lock of the recording's cache drive. The lock may be held for a long time, by the
 * application's download or by another recorder's reader, so the wait is made in short steps,
 * and between them the thread looks whether the recording was cancelled or ended, or the
 * device is being torn down. Returns FALSE, without the lock, when it gave up.
 */
BOOLEAN ReadSideAcquireCacheDrive(PWriterExtension Extension, PCACHE_DRIVE Drive) {
    while (TesselCacheDriveAcquireWithin(Drive, CacheDriveWaitStep) == STATUS_TIMEOUT) {
        if (Extension->bShutdown || !ReadSideMayContinue(Extension)) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Holds the cache-drive lock of a recording; the destructor releases it on any way out. */
struct CacheDriveHold {
    explicit CacheDriveHold(PCACHE_DRIVE Drive) : drive(Drive), held(FALSE) {}
    ~CacheDriveHold() { Release(); }
    BOOLEAN Acquire(PWriterExtension Extension) {
        held = ReadSideAcquireCacheDrive(Extension, drive);
        return held;
    }
    void Release() {
        if (held) {
            held = FALSE;
            TesselCacheDriveRelease(drive);
        }
    }
    CacheDriveHold(const CacheDriveHold &) = delete;
    CacheDriveHold &operator=(const CacheDriveHold &) = delete;

    PCACHE_DRIVE drive;
    BOOLEAN held;
};

/* What one recording has taken and must give back, also when an exception ends the thread. */
struct READ_SESSION {
    BOOLEAN bOpenLockHeld;
};

/* One open of an image as the recording's client, handed to ImageOpenThread. */
struct IMAGE_OPEN {
    PSECURITY_CLIENT_CONTEXT ClientContext;
    POBJECT_ATTRIBUTES Attributes;
    ULONG CreateOptions;
    HANDLE Handle;
    NTSTATUS Status;
    KEVENT Done;
};

/* Moves recordingStatus from in-process to a failure of the read side. */
void ReadSideFail(PWriterExtension Extension, ULONG RecordingStatus) {
    CdwSpinLockGuard guard(&Extension->StatusLock);
    if (Extension->Status.recordingStatus == RECSTAT_IN_PROCESS) {
        Extension->Status.recordingStatus = RecordingStatus;
    }
}

/*
 * Tells the write thread that the read side gave up. The flag is written under StatusLock,
 * which covers WriteParams for the write thread's reads of it.
 */
void ReadSideSetAbort(PWriterExtension Extension) {
    CdwSpinLockGuard guard(&Extension->StatusLock);
    Extension->WriteParams.bAbort = TRUE;
}

/*
 * Ends a recording on the read side: closes the image and gives back the client context. Only
 * after that may the next recording be accepted.
 */
void ReadSideClose(PWriterExtension Extension) {
    if (Extension->ReadParams.hImageFile != NULL) {
        (void)ZwClose(Extension->ReadParams.hImageFile);
        Extension->ReadParams.hImageFile = NULL;
    }
    CdwReleaseClientContext(Extension);
}

/*
 * Start routine of the thread that opens an image as a recording's client: impersonates the
 * client, opens the image with the access check forced against it, reports the outcome and
 * ends, which ends the impersonation. A failed impersonation fails the open: the image is
 * never opened with the system's identity on the client's behalf. PASSIVE_LEVEL, in a system
 * thread of the system process, so the handle serves the read thread too.
 */
VOID NTAPI ImageOpenThread(PVOID StartContext) {
    IMAGE_OPEN *open = static_cast<IMAGE_OPEN *>(StartContext);
    NTSTATUS status = SeImpersonateClientEx(open->ClientContext, NULL);
    if (NT_SUCCESS(status)) {
        IO_STATUS_BLOCK ioStatus;
        status = IoCreateFile(&open->Handle, SYNCHRONIZE | FILE_READ_DATA, open->Attributes,
                              &ioStatus, NULL, FILE_ATTRIBUTE_NORMAL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, open->CreateOptions,
                              NULL, 0, CreateFileTypeNone, NULL, IO_FORCE_ACCESS_CHECK);
    }
    open->Status = status;
    (void)KeSetEvent(&open->Done, 0, FALSE);
    (void)PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * Opens an image as the recording's client through ImageOpenThread and waits until that
 * thread has ended, so that nothing of the client's identity outlives the open. Returns the
 * open's status; *Handle receives the handle on success.
 */
NTSTATUS ReadSideOpenAsClient(PREAD_PARAMS ReadParams, POBJECT_ATTRIBUTES Attributes,
                              ULONG CreateOptions, PHANDLE Handle) {
    IMAGE_OPEN open;
    open.ClientContext = &ReadParams->ClientContext;
    open.Attributes = Attributes;
    open.CreateOptions = CreateOptions;
    open.Handle = NULL;
    open.Status = STATUS_UNSUCCESSFUL;
    KeInitializeEvent(&open.Done, NotificationEvent, FALSE);

    HANDLE threadHandle = NULL;
    NTSTATUS status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           ImageOpenThread, &open);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID thread = NULL;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(threadHandle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                              &thread, NULL))) {
        thread = NULL;
    }
    (void)ZwClose(threadHandle);
    (void)KeWaitForSingleObject(&open.Done, Executive, KernelMode, FALSE, NULL);
    if (thread != NULL) {
        (void)KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(thread);
    }
    *Handle = open.Handle;
    return open.Status;
}

UCHAR ToBcd(ULONG Value) {
    return static_cast<UCHAR>(((Value / 10) * 16) + (Value % 10));
}

/*
 * Whether every track's packets lie on 512-byte boundaries of the image, as unbuffered reads
 * need: true when each block size is a multiple of 8, so that 64 blocks are whole units.
 */
BOOLEAN ReadSideTracksInWholeUnits(const READ_PARAMS *ReadParams) {
    for (ULONG i = 0; i < ReadParams->numTracks && i < MAX_TRACKS; i++) {
        if (ReadParams->tracks[i].blockSize % 8 != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

/*
 * Opens the image named in ReadParams: as the recording's client, or as the system holding the
 * image's cache-drive lock for the open. Returns FALSE when the image cannot be opened (and has set
 * RECSTAT_OPEN_FAILED), or when the recording was cancelled or the device torn down while
 * the thread waited for the cache drive (RECSTAT_ABORTED).
 *
 * The image is read without intermediate buffering when the request asks for it and every
 * packet lies on 512-byte boundaries; a track whose block size is not a multiple of 8 has
 * packets that start inside a unit, and those are read exactly, through the system cache.
 */
BOOLEAN ReadSideOpenImage(PDEVICE_OBJECT DeviceObject, PWriterExtension Extension,
                          READ_SESSION *Session) {
    PREAD_PARAMS readParams = &Extension->ReadParams;

    if (!readParams->bImpersonate) {
        if (!ReadSideAcquireCacheDrive(Extension, Extension->RecordCacheDrive)) {
            ReadSideFail(Extension, RECSTAT_ABORTED);
            DbgPrint("Burnkit[%d]: ReadThread - recording ended while waiting for the cache "
                     "drive\n",
                     CdwDeviceNumber(DeviceObject));
            return FALSE;
        }
        Session->bOpenLockHeld = TRUE;
    }

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &readParams->imageFileName, OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = NULL;
    const BOOLEAN unbuffered = !readParams->bBufferedRead && ReadSideTracksInWholeUnits(readParams);
    const ULONG createOptions =
        FILE_SYNCHRONOUS_IO_NONALERT | (unbuffered ? FILE_NO_INTERMEDIATE_BUFFERING : 0);
    const NTSTATUS status =
        readParams->bImpersonate
            ? ReadSideOpenAsClient(readParams, &attributes, createOptions, &handle)
            : ZwCreateFile(&handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &ioStatus, NULL,
                           FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                           createOptions, NULL, 0);

    if (Session->bOpenLockHeld) {
        Session->bOpenLockHeld = FALSE;
        TesselCacheDriveRelease(Extension->RecordCacheDrive);
    }

    if (!NT_SUCCESS(status)) {
        readParams->hImageFile = NULL;
        ReadSideFail(Extension, RECSTAT_OPEN_FAILED);
        DbgPrint("Burnkit[%d]: ReadThread - ZwCreateFile failed, Status = 0x%08X\n",
                 CdwDeviceNumber(DeviceObject), status);
        return FALSE;
    }
    readParams->hImageFile = handle;
    return TRUE;
}

/*
 * Resets the ring and queues the pre-gap packets. Each packet's cache buffer is cleared and
 * stamped before the packet is inserted, outside CirQueLock: up to 64 blocks of 2448 bytes per
 * packet are too much work to do at DISPATCH_LEVEL, and no other thread touches the buffers
 * meanwhile (the write thread starts only after the pre-gap is queued). The lock is held for
 * the reset and for each look at the ring and insert. Returns FALSE (and has set
 * RECSTAT_QUEUE_ERROR) when the pre-gap needs more packets than the ring has slots.
 */
BOOLEAN ReadSideQueuePregap(PDEVICE_OBJECT DeviceObject, PWriterExtension Extension) {
    PREAD_PARAMS readParams = &Extension->ReadParams;
    PCIRQUE ring = &Extension->CirQue;
    {
        CdwSpinLockGuard guard(&Extension->CirQueLock);
        CirQueReset(ring);
    }
    if (readParams->nPregapBlocks == 0) {
        return TRUE;
    }

    UCHAR pregapLength = static_cast<UCHAR>(readParams->nPregapBlocks & 0xFF);
    if (pregapLength == 145) {
        pregapLength = 150;
    }
    RING_PACKET packet;
    RtlZeroMemory(&packet, sizeof(packet));
    packet.action = PACKET_ACTION_WRITE;
    packet.blockAddress = readParams->pregapStartBlock;
    packet.bLastPacket = FALSE;
    ULONG queued = 0;
    while (queued < readParams->nPregapBlocks) {
        BOOLEAN full;
        ULONG tail;
        {
            CdwSpinLockGuard guard(&Extension->CirQueLock);
            full = CirQueIsFull(ring);
            tail = ring->tail;
        }
        packet.buffer = Extension->cacheBuffers[tail];
        const ULONG left = readParams->nPregapBlocks - queued;
        packet.numBlocks = left < MAX_PACKET_BLOCKS ? left : MAX_PACKET_BLOCKS;
        if (!full) {
            RtlZeroMemory(packet.buffer, readParams->pregapBlockSize * packet.numBlocks);
            if (readParams->bWriteTdb) {
                FormatTrackDescriptor(packet.buffer, packet.numBlocks, readParams->pregapBlockSize,
                                      readParams->tdbTrackNumber, pregapLength);
            }
        }
        BOOLEAN inserted;
        ULONG head = 0;
        ULONG numElements = 0;
        ULONG notEmpty = 0;
        {
            CdwSpinLockGuard guard(&Extension->CirQueLock);
            inserted = CirQueInsertPacket(ring, &packet);
            if (!inserted) {
                head = ring->head;
                tail = ring->tail;
                numElements = ring->numElements;
                notEmpty = ring->bNotEmpty;
            }
        }
        if (!inserted) {
            ReadSideFail(Extension, RECSTAT_QUEUE_ERROR);
            DbgPrint("Burnkit[%d]: ReadThread - CirQueInsertPacket failed, Head = %d, Tail = %d, "
                     "#Elements = %d, !Empty = %d\n",
                     CdwDeviceNumber(DeviceObject), head, tail, numElements, notEmpty);
            return FALSE;
        }
        packet.blockAddress += packet.numBlocks;
        queued += packet.numBlocks;
    }
    return TRUE;
}

/*
 * Queues the block-size change ahead of a track whose format differs from the one before.
 * While the ring is full it waits up to a second for a refill and tries again; it gives up
 * when the recording has ended or was cancelled meanwhile.
 */
BOOLEAN ReadSideQueueBlockSize(PWriterExtension Extension, const TRACK_ENTRY *Track) {
    RING_PACKET packet;
    RtlZeroMemory(&packet, sizeof(packet));
    packet.action = PACKET_ACTION_SET_BLOCK_SIZE;
    packet.blockAddress = Track->blockSize;
    packet.numBlocks = Track->trackFormat;
    for (;;) {
        BOOLEAN inserted;
        {
            CdwSpinLockGuard guard(&Extension->CirQueLock);
            inserted = CirQueInsertPacket(&Extension->CirQue, &packet);
        }
        if (inserted) {
            return TRUE;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = BlockSizeRetryTimeout;
        (void)KeWaitForSingleObject(&Extension->CirQueRefillEvent, Executive, KernelMode, FALSE,
                                    &timeout);
        if (!ReadSideMayContinue(Extension)) {
            return FALSE;
        }
    }
}

/* One recording, from the open of the image to its last track. */
void ReadSideRecord(PDEVICE_OBJECT DeviceObject, PWriterExtension Extension,
                    READ_SESSION *Session) {
    const ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    PREAD_PARAMS readParams = &Extension->ReadParams;

    if (!ReadSideOpenImage(DeviceObject, Extension, Session)) {
        return;
    }
    if (!ReadSideQueuePregap(DeviceObject, Extension)) {
        return;
    }

    {
        CdwSpinLockGuard guard(&Extension->StatusLock);
        Extension->Status.bReadStarted = TRUE;
    }
    ULONG currentFormat = readParams->tracks[0].trackFormat;
    ULONG currentBlockSize = readParams->tracks[0].blockSize;
    Extension->WriteParams.blockSize = currentBlockSize;

    /*
     * A track whose format or block size differs from the track before it is preceded by a
     * block-size packet: tracks of one format code but different sizes must not be written
     * with the size of the first of them.
     */
    const ULONG numTracks = readParams->numTracks < MAX_TRACKS ? readParams->numTracks : MAX_TRACKS;
    for (ULONG i = 0; i < numTracks; i++) {
        const TRACK_ENTRY *track = &readParams->tracks[i];
        BOOLEAN trackQueued = TRUE;
        if (track->trackFormat != currentFormat || track->blockSize != currentBlockSize) {
            trackQueued = ReadSideQueueBlockSize(Extension, track);
            currentFormat = track->trackFormat;
            currentBlockSize = track->blockSize;
        }
        if (trackQueued) {
            (void)KeSetEvent(&Extension->CirQueRefillEvent, 0, FALSE);
            trackQueued = ReadTrack(DeviceObject, track->startBlock, track->hdStartBlock,
                                    track->nBlocks, track->blockSize, i == 0, i == numTracks - 1);
        }
        if (!trackQueued) {
            DbgPrint("Burnkit[%d]: ReadThread - ReadTrack failed, setting bAbort for WriteThread\n",
                     deviceNumber);
            ReadSideSetAbort(Extension);
            break;
        }
    }
}

/* The life of the read thread: wait, record, close, and again, until shutdown. */
void ReadSideLoop(PDEVICE_OBJECT DeviceObject, PWriterExtension Extension, READ_SESSION *Session) {
    (void)KeSetPriorityThread(KeGetCurrentThread(), 31);
    for (;;) {
        {
            CdwSpinLockGuard guard(&Extension->StatusLock);
            Extension->Status.bReadStarted = FALSE;
        }
        (void)KeWaitForSingleObject(&Extension->ReadStartEvent, Executive, KernelMode, FALSE, NULL);
        if (Extension->bShutdown) {
            DbgPrint("Burnkit[%d]: ReadThread - ReadStartEvent signaled to shutdown\n",
                     CdwDeviceNumber(DeviceObject));
            (void)PsTerminateSystemThread(STATUS_SUCCESS);
            return;
        }

        ReadSideRecord(DeviceObject, Extension, Session);
        ReadSideClose(Extension);

        /* Back at the idle point: the device may accept the next recording. */
        CdwSpinLockGuard guard(&Extension->StatusLock);
        Extension->Status.bReadStarted = FALSE;
        Extension->bReadThreadBusy = FALSE;
    }
}

} // namespace

/*
 * Gives back a client context captured by a record-disc request, as SeDeleteClientSecurity
 * does, and notes that none is held. Called by the read thread at the end of a recording and by
 * a record-disc request that fails after its capture. PASSIVE_LEVEL.
 */
VOID CdwReleaseClientContext(PWriterExtension Extension) {
    if (!Extension->bClientContextCaptured) {
        return;
    }
    PACCESS_TOKEN token = Extension->ReadParams.ClientContext.ClientToken;
    if (token != NULL) {
        (void)SeTokenType(token);
        ObfDereferenceObject(token);
    }
    Extension->ReadParams.ClientContext.ClientToken = NULL;
    Extension->bClientContextCaptured = FALSE;
}

/*++

Routine Description:

    Start routine of a recorder's read thread. The thread raises itself to priority 31 and
    serves one recording per wake of ReadStartEvent until the device is torn down.

    When an exception ends the thread, it gives back what the recording holds (cache-drive
    lock, image handle, client context), ends the recording as a read failure,
    tells the write thread to stop and marks the device as unable to record: no later request
    would have a reader.

Arguments:

    StartContext - the recorder's functional device object.

Return Value:

    None; the thread ends through PsTerminateSystemThread at shutdown, or by returning after
    an exception.

IRQL:

    PASSIVE_LEVEL, in a system thread.

--*/
VOID NTAPI ReadThread(PVOID StartContext) {
    PDEVICE_OBJECT DeviceObject = static_cast<PDEVICE_OBJECT>(StartContext);
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    READ_SESSION session = {FALSE};
    NTSTATUS code;

    if (!CdwGuarded([&] { ReadSideLoop(DeviceObject, ext, &session); }, &code)) {
        if (session.bOpenLockHeld) {
            session.bOpenLockHeld = FALSE;
            TesselCacheDriveRelease(ext->RecordCacheDrive);
        }
        ReadSideClose(ext);
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->bThreadFailed = TRUE;
            if (ext->Status.recordingStatus == RECSTAT_IN_PROCESS) {
                ext->Status.recordingStatus = RECSTAT_READ_FAILED;
            }
            ext->bReadThreadBusy = FALSE;
        }
        ReadSideSetAbort(ext);
        DbgPrint("Burnkit: Exception 0x%08X in ReadThread\n", code);
    }
}

/*++

Routine Description:

    Queues one track: packets of at most 64 blocks read from the image into the cache buffer
    of the ring's tail slot. It fills the ring in bursts - from a refill signal until the ring
    is full or the track is done - holding the image's cache-drive lock for each burst and
    never while it waits for the next refill. During the first track it starts the write
    thread at the end of its first burst.

    A failure in the first track before the write thread was started ends a recording that is
    still in process as RECSTAT_ABORTED, since no write pass will end it. An image that ends
    before the track's final block is a read failure; one that ends inside that block has the
    rest of the block zero-filled.

Arguments:

    DeviceObject - the recorder's functional device object.
    startBlock - disc address of the track's first block.
    hdStartBlock - position of the track in the image, in 512-byte units.
    numCdBlocks - blocks in the track.
    blockSize - bytes per block, 1 to 2448.
    isFirst - the first track of the recording.
    isLast - the last track: its final packet carries bLastPacket.

Return Value:

    TRUE when every block of the track is queued, FALSE when the recording must stop.

IRQL:

    PASSIVE_LEVEL, in the read thread.

--*/
BOOLEAN ReadTrack(PDEVICE_OBJECT DeviceObject, ULONG startBlock, ULONG hdStartBlock,
                  ULONG numCdBlocks, ULONG blockSize, BOOLEAN isFirst, BOOLEAN isLast) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    const ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    PREAD_PARAMS readParams = &ext->ReadParams;
    CacheDriveHold cacheDrive(ext->RecordCacheDrive);

    ULONG curHdReadBlock = hdStartBlock;
    ULONG blocksWritten = 0;
    RING_PACKET packet;
    RtlZeroMemory(&packet, sizeof(packet));
    packet.action = PACKET_ACTION_WRITE;
    packet.blockAddress = startBlock;
    packet.bLastPacket = FALSE;
    BOOLEAN writeStarted = FALSE;
    BOOLEAN trackDone = FALSE;
    BOOLEAN result = TRUE;
    const BOOLEAN wholeUnits = (blockSize % 8) == 0;

    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = RefillWaitTimeout;
        const NTSTATUS waitStatus =
            KeWaitForSingleObject(&ext->CirQueRefillEvent, Executive, KernelMode, FALSE, &timeout);
        if (waitStatus == STATUS_TIMEOUT) {
            DbgPrint("Burnkit[%d]: ReadTrack - timeout waiting for CirQueRefillEvent\n",
                     deviceNumber);
            ReadSideFail(ext, RECSTAT_REFILL_TIMEOUT);
            ReadSideSetAbort(ext);
            result = FALSE;
            break;
        }

        if (!ReadSideMayContinue(ext)) {
            DbgPrint("Burnkit[%d]: ReadTrack - recordingStatus != RECSTAT_IN_PROCESS or abort "
                     "flag set, aborting\n",
                     deviceNumber);
            result = FALSE;
            break;
        }

        if (!readParams->bImpersonate && !cacheDrive.Acquire(ext)) {
            DbgPrint("Burnkit[%d]: ReadTrack - recordingStatus != RECSTAT_IN_PROCESS or abort "
                     "flag set, aborting\n",
                     deviceNumber);
            result = FALSE;
            break;
        }

        for (;;) {
            BOOLEAN full;
            ULONG tail;
            {
                CdwSpinLockGuard guard(&ext->CirQueLock);
                full = CirQueIsFull(&ext->CirQue);
                tail = ext->CirQue.tail;
            }
            if (full) {
                break;
            }

            const ULONG remaining = numCdBlocks - blocksWritten;
            if (remaining > MAX_PACKET_BLOCKS) {
                packet.numBlocks = MAX_PACKET_BLOCKS;
            } else {
                packet.numBlocks = remaining;
                if (remaining == 0) {
                    trackDone = TRUE;
                    break;
                }
                if (isLast) {
                    packet.bLastPacket = TRUE;
                }
            }

            /*
             * With a block size that is a multiple of 8, 64 blocks are whole 512-byte units:
             * the packets lie back to back in the image and each is read in whole units (only
             * the track's last packet is rounded up). Any other size puts packets inside a
             * unit, so the packet's own bytes are read from their exact place (the image is
             * then open through the system cache, which takes any offset and length).
             */
            const ULONG dataBytes = packet.numBlocks * blockSize;
            const ULONG hdBlocksToRead = (dataBytes + 511) / 512;
            packet.buffer = ext->cacheBuffers[tail];
            LARGE_INTEGER offset;
            ULONG length;
            if (wholeUnits) {
                offset.QuadPart = static_cast<LONGLONG>(curHdReadBlock) * 512;
                length = hdBlocksToRead * 512;
            } else {
                offset.QuadPart = static_cast<LONGLONG>(hdStartBlock) * 512 +
                                  static_cast<LONGLONG>(blocksWritten) * blockSize;
                curHdReadBlock = static_cast<ULONG>(offset.QuadPart / 512);
                length = dataBytes;
            }
            if (readParams->bImpersonate) {
                offset.QuadPart += readParams->imageByteOffset;
            }

            IO_STATUS_BLOCK ioStatus;
            ioStatus.Status = STATUS_SUCCESS;
            ioStatus.Information = 0;
            const NTSTATUS readStatus = ZwReadFile(readParams->hImageFile, NULL, NULL, NULL,
                                                   &ioStatus, packet.buffer, length, &offset, NULL);
            if (readStatus != STATUS_SUCCESS) {
                DbgPrint("Burnkit[%d]: ReadTrack(%s) - ZwReadFile failed, Status = 0x%08X, Offset "
                         "= 0x%08X, Length = 0x%08X\n",
                         deviceNumber, readParams->imageName, readStatus, offset.LowPart, length);
                DbgPrint("Burnkit[%d]: more info: packet.numBlocks = 0x%08X, curHdReadBlock = "
                         "0x%08X, hdBlocksToRead = 0x%08X, numCdBlocks = 0x%08X, blocksWritten = "
                         "0x%08X\n",
                         deviceNumber, packet.numBlocks, curHdReadBlock, hdBlocksToRead,
                         numCdBlocks, blocksWritten);
                ReadSideFail(ext, RECSTAT_READ_FAILED);
                ReadSideSetAbort(ext);
                result = FALSE;
                break;
            }
            /*
             * The image may end inside the track's final block: the tool pads that block, and
             * so does the driver. An image that ends before the packet's final block would
             * leave whole blocks of the track unrecorded, and fails the recording.
             */
            if (ioStatus.Information < dataBytes && dataBytes - ioStatus.Information >= blockSize) {
                DbgPrint("Burnkit[%d]: ReadTrack(%s) - image ends inside the track, Offset = "
                         "0x%08X, Length = 0x%08X, read 0x%08X bytes\n",
                         deviceNumber, readParams->imageName, offset.LowPart, length,
                         static_cast<ULONG>(ioStatus.Information));
                DbgPrint("Burnkit[%d]: more info: packet.numBlocks = 0x%08X, curHdReadBlock = "
                         "0x%08X, hdBlocksToRead = 0x%08X, numCdBlocks = 0x%08X, blocksWritten = "
                         "0x%08X\n",
                         deviceNumber, packet.numBlocks, curHdReadBlock, hdBlocksToRead,
                         numCdBlocks, blocksWritten);
                ReadSideFail(ext, RECSTAT_READ_FAILED);
                ReadSideSetAbort(ext);
                result = FALSE;
                break;
            }
            if (ioStatus.Information < length) {
                RtlZeroMemory(packet.buffer + ioStatus.Information, length - ioStatus.Information);
            }

            BOOLEAN inserted;
            ULONG head = 0;
            ULONG numElements = 0;
            ULONG notEmpty = 0;
            {
                CdwSpinLockGuard guard(&ext->CirQueLock);
                inserted = CirQueInsertPacket(&ext->CirQue, &packet);
                if (inserted) {
                    /*
                     * Signalled inside the hold of CirQueLock: the write thread clears the
                     * event and then looks at the ring under this lock, so a signal can never
                     * arrive after that look for a packet the look already took. Set after
                     * the release, a reader pre-empted in between would leave such a stale
                     * signal behind, and the write thread would wake to an empty ring and end
                     * the recording with a queue error.
                     */
                    (void)KeSetEvent(&ext->PacketReadyEvent, 0, FALSE);
                } else {
                    head = ext->CirQue.head;
                    tail = ext->CirQue.tail;
                    numElements = ext->CirQue.numElements;
                    notEmpty = ext->CirQue.bNotEmpty;
                }
            }
            if (!inserted) {
                DbgPrint("Burnkit[%d]: ReadTrack - CirQueInsertPacket failed, Head = %d, Tail = "
                         "%d, #Elements = %d, !Empty = %d\n",
                         deviceNumber, head, tail, numElements, notEmpty);
                ReadSideFail(ext, RECSTAT_QUEUE_ERROR);
                ReadSideSetAbort(ext);
                result = FALSE;
                break;
            }

            blocksWritten += packet.numBlocks;
            packet.blockAddress += packet.numBlocks;
            if (wholeUnits) {
                curHdReadBlock += hdBlocksToRead;
            }
        }

        if (!result) {
            break;
        }

        /* Pause: the ring is full or the track is queued. */
        cacheDrive.Release();
        if (isFirst && !writeStarted) {
            /* The device stays busy from here until the pass has ended. */
            {
                CdwSpinLockGuard guard(&ext->StatusLock);
                ext->bWritePassPending = TRUE;
            }
            (void)KeSetEvent(&ext->WriteStartEvent, 0, FALSE);
            writeStarted = TRUE;
        }
        if (trackDone) {
            return TRUE;
        }
    }

    cacheDrive.Release();
    if (isFirst && !writeStarted) {
        /* No write pass runs for this recording, so none will end it. */
        ReadSideFail(ext, RECSTAT_ABORTED);
    }
    return result;
}

/*++

Routine Description:

    Writes the "TDI" track descriptor block into each of a run of pre-gap blocks: at byte 8
    of 2056- and 2336-byte blocks, at byte 24 of 2352-byte blocks, at byte 0 of any other
    size. The blocks are expected to be zero-filled.

Arguments:

    buffer - the first block.
    numBlocks - blocks to stamp; 0 stamps none.
    blockSize - bytes per block.
    trackNumber - the track number, written in BCD.
    pregapLength - the pre-gap length, written as two BCD bytes (hundreds, then the rest).

Return Value:

    None.

IRQL:

    Any; it touches only the given buffer (the read thread calls it at PASSIVE_LEVEL, before
    the packet is queued).

--*/
VOID FormatTrackDescriptor(PUCHAR buffer, ULONG numBlocks, ULONG blockSize, UCHAR trackNumber,
                           UCHAR pregapLength) {
    ULONG headerOffset = 0;
    if (blockSize == 2056 || blockSize == 2336) {
        headerOffset = 8;
    } else if (blockSize == 2352) {
        headerOffset = 24;
    }
    const UCHAR trackBcd = ToBcd(trackNumber);
    for (ULONG k = 0; k < numBlocks; k++) {
        PUCHAR descriptor = buffer + k * blockSize + headerOffset;
        descriptor[0] = 'T';
        descriptor[1] = 'D';
        descriptor[2] = 'I';
        descriptor[3] = ToBcd(pregapLength / 100);
        descriptor[4] = ToBcd(pregapLength % 100);
        descriptor[5] = 0x01;
        descriptor[6] = trackBcd;
        descriptor[7] = trackBcd;
        descriptor[8] = trackBcd;
        if (blockSize != 2352) {
            descriptor[9] = static_cast<UCHAR>((descriptor[9] & 0x0F) | 0x80);
        }
        descriptor[10] = 0xFF;
        descriptor[11] = 0xFF;
        descriptor[12] = 0xFF;
    }
}
