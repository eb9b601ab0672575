/*
 * write_thread.cpp - the recorder's write thread: it takes the packets that the read thread
 * queues in the ring and writes their blocks to the disc with WRITE(10) commands.
 *
 * One pass (WriteThreadProc) runs per recording. It rides out the recorder's long-write,
 * reset and bus-reset conditions by polling readiness and re-sending the command (a bounded
 * number of times, and no longer than the recording lasts), keeps the
 * read thread supplied with free buffers through CirQueRefillEvent, publishes progress and
 * the outcome in the status record, and ends on the last packet, a cancel, a read-side abort,
 * starvation or an error. Every ending but completion flushes the recorder's cache first.
 */
#include "../driver/writer.h"
#include "../scsi/write_cdb.h"

#define WRITE_COMMAND_TIMEOUT_SECONDS 300u
#define WRITE_THREAD_PRIORITY 31
#define PACKET_WAIT_100NS (-300000000LL)    /* 30 seconds */
#define TEST_HANG_DELAY_100NS (-50000000LL) /* 5 seconds */
#define TEST_HANG_PACKET_COUNT 100u
#define RETRY_REPORT_LIMIT 100u
/*
 * Re-sends of one write command before it fails for good, and the pause before every re-send
 * but the first: a recorder that keeps refusing a write although it reports itself ready
 * (a reset condition on every WRITE, say) is given at least 500 s, as long as the readiness
 * poll waits for a long write, and is never hammered without a pause.
 */
#define RESEND_LIMIT 5000u
#define RESEND_PAUSE_MS 100
#define SRB_STATUS_ERROR_VALUE 0x04u
#define SRB_STATUS_BUS_RESET_VALUE 0x0Eu
#define SENSE_ASC_INDEX 12u
#define SENSE_ASCQ_INDEX 13u

/* Write modes 1 and 2 stream: no cache flush, control byte 0x80 but on the final command. */
static inline BOOLEAN WriteModeStreams(ULONG WriteMode) {
    return (WriteMode == 1 || WriteMode == 2) ? TRUE : FALSE;
}

/*
 * Keeps bWriteThreadProcRunning set for exactly the span of one pass, however the pass ends,
 * also when an exception leaves it. The flag changes under StatusLock, where the request
 * handlers read it together with the recording status; its end also ends the busy span that
 * the read thread opened with bWritePassPending. EndUnderLock lets a pass end that span in the
 * same hold of StatusLock in which it sets its final status.
 */
struct WriteProcRunningScope {
    explicit WriteProcRunningScope(PWriterExtension Extension) : ext(Extension), ended(FALSE) {
        CdwSpinLockGuard guard(&ext->StatusLock);
        ext->bWriteThreadProcRunning = TRUE;
    }
    ~WriteProcRunningScope() {
        if (!ended) {
            CdwSpinLockGuard guard(&ext->StatusLock);
            EndUnderLock();
        }
    }
    /* The caller holds StatusLock. */
    void EndUnderLock() {
        ext->bWriteThreadProcRunning = FALSE;
        ext->bWritePassPending = FALSE;
        ended = TRUE;
    }
    WriteProcRunningScope(const WriteProcRunningScope &) = delete;
    WriteProcRunningScope &operator=(const WriteProcRunningScope &) = delete;

    PWriterExtension ext;
    BOOLEAN ended;
};

/* Copies the head packet of the ring and the ring count seen with it, under CirQueLock. */
static BOOLEAN WriteTakeHeadPacket(PWriterExtension Ext, PRING_PACKET Packet, ULONG *Count) {
    CdwSpinLockGuard guard(&Ext->CirQueLock);
    *Count = CirQueCount(&Ext->CirQue);
    if (*Count == 0) {
        return FALSE;
    }
    return CirQueGetNextPacket(&Ext->CirQue, Packet);
}

/* Sets the recording's outcome under StatusLock. */
static void WriteSetRecordingStatus(PWriterExtension Ext, ULONG Value) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    Ext->Status.recordingStatus = Value;
}

/* Marks an in-process recording aborted, keeping any outcome the read side already set. */
static void WriteAbortIfInProcess(PWriterExtension Ext) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    if (Ext->Status.recordingStatus == RECSTAT_IN_PROCESS) {
        Ext->Status.recordingStatus = RECSTAT_ABORTED;
    }
}

/* Wakes a read thread that waits for free buffers, so it sees the pass's outcome. */
static void WriteSignalRefill(PWriterExtension Ext) {
    (void)KeSetEvent(&Ext->CirQueRefillEvent, IO_NO_INCREMENT, FALSE);
}

/* How one write command, or one packet's commands, ended. */
typedef enum _WRITE_RESULT {
    WriteDone,   /* the recorder took the data */
    WriteFailed, /* failed for good: the outcome says how */
    WriteStopped /* given up because the recording is ending (cancel, read-side abort, teardown) */
} WRITE_RESULT;

/*
 * Sends one WRITE(10) command and re-sends it as long as the recorder reports a long write in
 * progress, a reset condition or a bus reset and then becomes ready again, up to RESEND_LIMIT
 * times, pausing before every re-send but the first. Every answer is judged by this command's
 * own outcome (sense only when the recorder returned valid sense). Between re-sends it looks
 * whether the recording is ending, and then gives the command up. *Retries receives the number
 * of re-sends; *Outcome the outcome of the command that failed for good (after a failed poll,
 * the poll's last TEST UNIT READY). Runs at PASSIVE_LEVEL in the write thread.
 */
static WRITE_RESULT WriteSendCommand(PDEVICE_OBJECT DeviceObject, PWriterExtension Ext, PUCHAR Cdb,
                                     ULONG BlockAddress, ULONG Bytes, PUCHAR Data, ULONG *Retries,
                                     PSCSI_OUTCOME Outcome) {
    ULONG retries = 0;
    WRITE_RESULT result;
    for (;;) {
        if (ScsiRequest(DeviceObject, WRITE10_CDB_LENGTH, Cdb, Bytes, Data, TRUE,
                        WRITE_COMMAND_TIMEOUT_SECONDS, Outcome)) {
            result = WriteDone;
            break;
        }
        const UCHAR asc = Outcome->senseData[SENSE_ASC_INDEX];
        const UCHAR ascq = Outcome->senseData[SENSE_ASCQ_INDEX];
        const BOOLEAN longWriteOrReset = Outcome->srbStatus == SRB_STATUS_ERROR_VALUE &&
                                         Outcome->bSenseValid &&
                                         ((asc == 0x04 && ascq == 0x08) || asc == 0x29);
        if ((longWriteOrReset || Outcome->srbStatus == SRB_STATUS_BUS_RESET_VALUE) &&
            retries >= RESEND_LIMIT) {
            DbgPrint("Burnkit[%d]: WriteThreadProc - write request for block %d re-sent %d "
                     "times - giving up\n",
                     CdwDeviceNumber(DeviceObject), BlockAddress, retries);
            result = WriteFailed;
            break;
        }
        BOOLEAN polled = FALSE;
        BOOLEAN ready = FALSE;
        if (longWriteOrReset) {
            DbgPrint("Burnkit[%d]: WriteThreadProc - ASC = %02X,%02X on write command - calling "
                     "PollTestUnitReady\n",
                     CdwDeviceNumber(DeviceObject), asc, ascq);
            polled = TRUE;
            ready = PollTestUnitReady(DeviceObject, Outcome);
        }
        if (!ready && Outcome->srbStatus == SRB_STATUS_BUS_RESET_VALUE) {
            DbgPrint("Burnkit[%d]: WriteThreadProc - SrbStatus = 0x0e (Bus Reset) on write "
                     "command - calling PollTestUnitReady\n",
                     CdwDeviceNumber(DeviceObject));
            polled = TRUE;
            ready = PollTestUnitReady(DeviceObject, Outcome);
        }
        if (!ready) {
            result = (polled && CdwRecordingStopRequested(Ext)) ? WriteStopped : WriteFailed;
            break;
        }
        retries++;
        if (retries > 1) {
            LARGE_INTEGER pause;
            pause.QuadPart = CDW_RELATIVE_MS(RESEND_PAUSE_MS);
            (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        if (CdwRecordingStopRequested(Ext)) {
            result = WriteStopped;
            break;
        }
    }
    *Retries = retries;
    return result;
}

/*
 * Writes the blocks of one packet in commands of at most 16 blocks, in order, straight from
 * its cache buffer. Stops at the first command that fails for good or is given up, and leaves
 * that command in Cdb and its outcome in *Outcome. In the streaming write modes every command
 * carries control byte 0x80 but the very last one of the recording.
 */
static WRITE_RESULT WritePacketBlocks(PDEVICE_OBJECT DeviceObject, PWriterExtension Ext,
                                      const RING_PACKET *Packet, PUCHAR Cdb,
                                      PSCSI_OUTCOME Outcome) {
    ULONG blockSize = Ext->WriteParams.blockSize;
    ULONG blockAddress = Packet->blockAddress;
    ULONG blocksLeft = Packet->numBlocks;
    PUCHAR data = Packet->buffer;
    while (blocksLeft > 0) {
        ULONG count =
            (blocksLeft < MAX_WRITE_COMMAND_BLOCKS) ? blocksLeft : MAX_WRITE_COMMAND_BLOCKS;
        ULONG bytes = blockSize * count;
        UCHAR control = 0x00;
        if (WriteModeStreams(Ext->WriteParams.writeMode) &&
            !(Packet->bLastPacket && count == blocksLeft)) {
            control = WRITE10_CONTROL_CONTINUED;
        }
        BuildWrite10Cdb(Cdb, blockAddress, static_cast<USHORT>(count), control);

        ULONG retries;
        WRITE_RESULT result =
            WriteSendCommand(DeviceObject, Ext, Cdb, blockAddress, bytes, data, &retries, Outcome);
        if (retries > RETRY_REPORT_LIMIT) {
            DbgPrint("Burnkit[%d]: WriteThreadProc - Retried write request for block %d %d "
                     "times\n",
                     CdwDeviceNumber(DeviceObject), blockAddress, retries);
        }
        if (result != WriteDone) {
            return result;
        }
        blockAddress += count;
        data += bytes;
        blocksLeft -= count;
    }
    return WriteDone;
}

/*
 * Adds every byte of a packet's data to the checksum-only sum. The bytes are taken eight at a
 * time: a 64-bit word splits into four 16-bit lanes that each hold the sum of two of its bytes,
 * and a run of at most 128 words is added up in those lanes (at most 128 x 510 = 65280 each,
 * so no lane overflows) before the lanes are folded into the sum. The result is exactly the
 * byte-by-byte sum modulo 2^32, several times faster than adding one byte per step.
 */
static ULONG WriteSumPacket(PWriterExtension Ext, const RING_PACKET *Packet, ULONG Sum) {
    typedef ULONGLONG __attribute__((__may_alias__)) SUM_WORD;
    const ULONGLONG lowBytes = 0x00FF00FF00FF00FFull;
    const ULONG maxRun = 128;
    ULONG bytes = Ext->WriteParams.blockSize * Packet->numBlocks;
    const UCHAR *data = Packet->buffer;

    while (bytes > 0 && (reinterpret_cast<ULONG_PTR>(data) & 7) != 0) {
        Sum += *data++;
        bytes--;
    }
    const SUM_WORD *words = reinterpret_cast<const SUM_WORD *>(data);
    for (ULONG wordsLeft = bytes / 8; wordsLeft > 0;) {
        const ULONG run = wordsLeft < maxRun ? wordsLeft : maxRun;
        ULONGLONG lanes = 0;
        for (ULONG k = 0; k < run; k++) {
            const ULONGLONG word = words[k];
            lanes += (word & lowBytes) + ((word >> 8) & lowBytes);
        }
        Sum += static_cast<ULONG>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) +
                                  ((lanes >> 32) & 0xFFFF) + (lanes >> 48));
        words += run;
        wordsLeft -= run;
    }
    data = reinterpret_cast<const UCHAR *>(words);
    for (ULONG i = 0; i < (bytes & 7); i++) {
        Sum += data[i];
    }
    return Sum;
}

/* The test switch: idles after the 100th written packet while bit 24 of recordFlags stays set
 * and no cancel is requested. */
static void WriteTestHang(PDEVICE_OBJECT DeviceObject, PWriterExtension Ext) {
    for (;;) {
        if ((*static_cast<volatile ULONG *>(&Ext->recordFlags) & RECORD_FLAG_TEST_HANG) == 0) {
            return;
        }
        {
            CdwSpinLockGuard guard(&Ext->StatusLock);
            if (Ext->Status.bCancel) {
                return;
            }
        }
        LARGE_INTEGER delay;
        delay.QuadPart = TEST_HANG_DELAY_100NS;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
        DbgPrint("Burnkit[%d]: WriteThreadProc - test hang in WriteThread\n",
                 CdwDeviceNumber(DeviceObject));
    }
}

/*++

Routine Description:

    One recording pass: writes the packets of the ring to the recorder in order until the
    packet marked last has been written, or a cancel, a read-side abort, 30 seconds without a
    packet, a ring error, an invalid packet or a failed write ends it. The outcome is left in
    the status record; every ending but completion flushes the recorder's cache first, and the
    endings after which the read thread may still be waiting for buffers wake it.

    The pass holds StatusLock or CirQueLock only for short sections, never both, and neither
    while it waits, sends a command or sums data. bWriteThreadProcRunning is set for exactly
    the span of the pass.

Arguments:

    DeviceObject - the recorder's functional device object.

Return Value:

    None; the outcome is the status record's recordingStatus.

IRQL: PASSIVE_LEVEL, in the device's write thread.

--*/
VOID WriteThreadProc(PDEVICE_OBJECT DeviceObject) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    WriteProcRunningScope running(ext);

    UCHAR cdb[WRITE10_CDB_LENGTH];
    RtlZeroMemory(cdb, sizeof(cdb));
    ULONG checksum = 0;
    ULONG packetsWritten = 0;

    for (;;) {
        BOOLEAN cancel;
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            cancel = ext->Status.bCancel;
            if (cancel) {
                ext->Status.recordingStatus = RECSTAT_ABORTED;
            }
        }
        if (cancel) {
            (void)FlushCache(DeviceObject);
            WriteSignalRefill(ext);
            return;
        }

        BOOLEAN readSideAborted;
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            readSideAborted = ext->WriteParams.bAbort;
        }
        if (readSideAborted) {
            (void)FlushCache(DeviceObject);
            DbgPrint("Burnkit[%d]: WriteThreadProc - WriteParams.bAbort set, terminating\n",
                     CdwDeviceNumber(DeviceObject));
            WriteAbortIfInProcess(ext);
            return;
        }

        RING_PACKET packet;
        ULONG queued;
        KeClearEvent(&ext->PacketReadyEvent);
        BOOLEAN havePacket = WriteTakeHeadPacket(ext, &packet, &queued);
        if (!havePacket) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = PACKET_WAIT_100NS;
            NTSTATUS wait = KeWaitForSingleObject(&ext->PacketReadyEvent, Executive, KernelMode,
                                                  FALSE, &timeout);
            if (wait == STATUS_TIMEOUT) {
                (void)FlushCache(DeviceObject);
                BOOLEAN abort;
                {
                    CdwSpinLockGuard guard(&ext->StatusLock);
                    abort = ext->WriteParams.bAbort;
                    if (!abort) {
                        ext->Status.recordingStatus = RECSTAT_PACKET_TIMEOUT;
                    } else if (ext->Status.recordingStatus == RECSTAT_IN_PROCESS) {
                        ext->Status.recordingStatus = RECSTAT_ABORTED;
                    }
                }
                if (abort) {
                    DbgPrint("Burnkit[%d]: WriteThreadProc - WriteParams.bAbort set, "
                             "terminating\n",
                             CdwDeviceNumber(DeviceObject));
                    return;
                }
                DbgPrint("Burnkit[%d]: WriteThreadProc - CirQue empty, terminating\n",
                         CdwDeviceNumber(DeviceObject));
                WriteSignalRefill(ext);
                return;
            }
            havePacket = WriteTakeHeadPacket(ext, &packet, &queued);
            if (!havePacket) {
                (void)FlushCache(DeviceObject);
                DbgPrint("Burnkit[%d]: WriteThreadProc - CirQueGetNextPacket failed, "
                         "terminating\n",
                         CdwDeviceNumber(DeviceObject));
                WriteSetRecordingStatus(ext, RECSTAT_QUEUE_ERROR);
                WriteSignalRefill(ext);
                return;
            }
        }

        /*
         * The count taken with a packet includes that packet, so it is never below 1; what
         * the ring still holds once this packet is written is one less. Comparing that with
         * the threshold makes a threshold of 1 (10% of 16 buffers) ask for a refill when the
         * ring is about to run empty instead of never.
         */
        if (queued - 1 < ext->refillThreshold && KeReadStateEvent(&ext->CirQueRefillEvent) == 0) {
            WriteSignalRefill(ext);
        }

        if (packet.action == PACKET_ACTION_SET_BLOCK_SIZE) {
            ext->WriteParams.blockSize = packet.blockAddress;
        } else if (packet.action != PACKET_ACTION_WRITE) {
            (void)FlushCache(DeviceObject);
            DbgPrint("Burnkit[%d]: WriteThreadProc - invalid action, terminating\n",
                     CdwDeviceNumber(DeviceObject));
            WriteSetRecordingStatus(ext, RECSTAT_INVALID_PACKET);
            WriteSignalRefill(ext);
            return;
        } else {
            WRITE_RESULT written = WriteDone;
            SCSI_OUTCOME failure = {};
            if (ext->WriteParams.bChecksumOnly) {
                checksum = WriteSumPacket(ext, &packet, checksum);
            } else {
                written = WritePacketBlocks(DeviceObject, ext, &packet, cdb, &failure);
            }
            if (written == WriteStopped) {
                /* A cancel or a read-side abort ends the pass at the top of the loop, with
                 * the packet still in the ring; a teardown alone ends it here. */
                BOOLEAN shutdownOnly;
                {
                    CdwSpinLockGuard guard(&ext->StatusLock);
                    shutdownOnly = !ext->Status.bCancel && !ext->WriteParams.bAbort;
                }
                if (!shutdownOnly) {
                    continue;
                }
                (void)FlushCache(DeviceObject);
                DbgPrint("Burnkit[%d]: WriteThreadProc - bShutdown set, terminating\n",
                         CdwDeviceNumber(DeviceObject));
                WriteAbortIfInProcess(ext);
                WriteSignalRefill(ext);
                return;
            }
            if (written == WriteFailed) {
                (void)FlushCache(DeviceObject);
                DbgPrint("Burnkit[%d]: WriteThreadProc - ScsiRequest failed, SrbStatus = 0x%X, "
                         "ScsiStatus = 0x%X, ASC = 0x%X, ASCQ = 0x%X, terminating\n",
                         CdwDeviceNumber(DeviceObject), failure.srbStatus, failure.scsiStatus,
                         failure.senseData[SENSE_ASC_INDEX], failure.senseData[SENSE_ASCQ_INDEX]);
                DbgPrint("Burnkit[%d]: Cdb: %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X\n",
                         CdwDeviceNumber(DeviceObject), cdb[0], cdb[1], cdb[2], cdb[3], cdb[4],
                         cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]);
                {
                    /* The failing command's outcome goes with the status, whatever command
                     * of another sender the record showed meanwhile. */
                    CdwSpinLockGuard guard(&ext->StatusLock);
                    ext->Status.recordingStatus = RECSTAT_WRITE_FAILED;
                    RtlCopyMemory(ext->Status.failedCdb, cdb, WRITE10_CDB_LENGTH);
                    if (failure.sendStatus == STATUS_SUCCESS) {
                        ScsiStoreOutcome(&ext->Status, &failure);
                    }
                }
                WriteSignalRefill(ext);
                return;
            }

            if (packet.bLastPacket) {
                /* Complete and no longer busy in one step: the next request is welcome. */
                CdwSpinLockGuard guard(&ext->StatusLock);
                ext->Status.recordingStatus = RECSTAT_COMPLETE;
                if (ext->WriteParams.bChecksumOnly) {
                    ext->Status.buffersOrChecksum = checksum;
                }
                running.EndUnderLock();
                return;
            }

            packetsWritten++;
            if (packetsWritten == TEST_HANG_PACKET_COUNT &&
                (ext->recordFlags & RECORD_FLAG_TEST_HANG) != 0) {
                WriteTestHang(DeviceObject, ext);
            }
            {
                CdwSpinLockGuard guard(&ext->StatusLock);
                ext->Status.blocksWritten += packet.numBlocks;
                ext->Status.packetsQueued = queued;
            }
        }

        {
            CdwSpinLockGuard guard(&ext->CirQueLock);
            (void)CirQueRemovePacket(&ext->CirQue);
        }
    }
}

/*++

Routine Description:

    Start routine of the device's write thread, created at device initialization with the
    device object as its context. It runs at priority 31, sleeps on WriteStartEvent and runs
    one recording pass per wake-up, until the teardown sets bShutdown and wakes it.

    Should an exception end the thread, the device can no longer record: the thread marks the
    device failed, ends an in-process recording as aborted, tells the read side to stop
    (WriteParams.bAbort) and wakes a read thread that waits for free buffers.

Arguments:

    StartContext - the recorder's functional device object.

Return Value:

    None; the thread ends through PsTerminateSystemThread.

IRQL: PASSIVE_LEVEL, system thread.

--*/
VOID NTAPI WriteThread(PVOID StartContext) {
    PDEVICE_OBJECT deviceObject = static_cast<PDEVICE_OBJECT>(StartContext);
    PWriterExtension ext = CdwWriterExtension(deviceObject);
    NTSTATUS code;
    if (!CdwGuarded(
            [&] {
                (void)KeSetPriorityThread(KeGetCurrentThread(), WRITE_THREAD_PRIORITY);
                for (;;) {
                    (void)KeWaitForSingleObject(&ext->WriteStartEvent, Executive, KernelMode, FALSE,
                                                NULL);
                    if (ext->bShutdown) {
                        DbgPrint("Burnkit[%d]: WriteThread - WriteStartEvent signaled to "
                                 "shutdown\n",
                                 CdwDeviceNumber(deviceObject));
                        (void)PsTerminateSystemThread(STATUS_SUCCESS);
                    }
                    WriteThreadProc(deviceObject);
                }
            },
            &code)) {
        DbgPrint("Burnkit: Exception 0x%08X in WriteThread\n", code);
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->bThreadFailed = TRUE;
            ext->WriteParams.bAbort = TRUE;
            if (ext->Status.recordingStatus == RECSTAT_IN_PROCESS) {
                ext->Status.recordingStatus = RECSTAT_ABORTED;
            }
        }
        WriteSignalRefill(ext);
        (void)PsTerminateSystemThread(code);
    }
}
