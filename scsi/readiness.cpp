/*
 * readiness.cpp - waiting for a recorder busy with a long write, flushing its cache, and the
 * WRITE(10) command block of the write thread.
 */
#include "../driver/writer.h"
#include "write_cdb.h"

/* Retries on "long write in progress" before the poll gives up (500 s of pauses). */
#define CDW_POLL_RETRY_LIMIT 5000
/* Pause between two TEST UNIT READY commands of the poll. */
#define CDW_POLL_PAUSE_MS 100
/* Command time-outs in seconds. */
#define CDW_TEST_UNIT_READY_TIMEOUT 300u
#define CDW_SYNCHRONIZE_CACHE_TIMEOUT 180u

/* Additional sense code and qualifier of "logical unit not ready, long write in progress". */
#define CDW_ASC_NOT_READY 0x04
#define CDW_ASCQ_LONG_WRITE_IN_PROGRESS 0x08

/* Fixed-format sense data: where the additional sense code and its qualifier lie. */
#define CDW_SENSE_ASC 12
#define CDW_SENSE_ASCQ 13

static_assert(SCSIOP_TEST_UNIT_READY == 0x00 && SCSIOP_SYNCHRONIZE_CACHE == 0x35 &&
                  SCSIOP_WRITE == 0x2A,
              "operation codes the driver sends");
static_assert(CDW_SENSE_LENGTH > CDW_SENSE_ASCQ, "sense buffer holds the qualifier");

/*++

Routine Description:

    Tells whether the recording that the write thread serves should end: the application
    cancelled it (bCancel), the read side gave up (WriteParams.bAbort) or the device is being
    torn down (bShutdown). The write thread's waits on the recorder look at it between tries,
    so that none of them outlasts a cancel or a removal.

    Runs at PASSIVE_LEVEL or DISPATCH_LEVEL; takes StatusLock.

Arguments:

    Extension - the recorder's WriterExtension.

Return Value:

    TRUE when the recording should end.

--*/
BOOLEAN CdwRecordingStopRequested(PWriterExtension Extension) {
    CdwSpinLockGuard guard(&Extension->StatusLock);
    return (Extension->Status.bCancel || Extension->WriteParams.bAbort ||
            *static_cast<volatile BOOLEAN *>(&Extension->bShutdown))
               ? TRUE
               : FALSE;
}

/*++

Routine Description:

    Waits for a recorder that reports a long write in progress: sends TEST UNIT READY until it
    succeeds, pausing 100 ms after each "not ready, long write in progress" answer, and gives
    up after 5000 such retries, or as soon as the recording is cancelled, aborted by the read
    side or the device is torn down. Any other failure ends the poll at once. Each answer is
    judged by the poll's own outcome (sense only when the recorder returned valid sense), not
    by the status record, which a pass-through command may change meanwhile.

    The write thread calls it after a write command failed on a long write, a reset or a bus
    reset, and sends the command again when it returns TRUE. Runs at PASSIVE_LEVEL.

Arguments:

    DeviceObject - the recorder's functional device object.
    Outcome - receives the outcome of the poll's last TEST UNIT READY; may be NULL.

Return Value:

    TRUE when a TEST UNIT READY succeeded, FALSE otherwise.

--*/
BOOLEAN PollTestUnitReady(PDEVICE_OBJECT DeviceObject, PSCSI_OUTCOME Outcome) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    UCHAR cdb[6];
    LONG retries = 0;
    SCSI_OUTCOME localOutcome;

    if (Outcome == NULL) {
        Outcome = &localOutcome;
    }
    RtlZeroMemory(cdb, sizeof(cdb));
    cdb[0] = SCSIOP_TEST_UNIT_READY;

    for (;;) {
        if (ScsiRequest(DeviceObject, sizeof(cdb), cdb, 0, NULL, TRUE, CDW_TEST_UNIT_READY_TIMEOUT,
                        Outcome)) {
            DbgPrint("Burnkit[%d]: PollTestUnitReady - succeeded after %d retries\n",
                     CdwDeviceNumber(DeviceObject), retries);
            return TRUE;
        }
        if (Outcome->srbStatus != SRB_STATUS_ERROR || !Outcome->bSenseValid ||
            Outcome->senseData[CDW_SENSE_ASC] != CDW_ASC_NOT_READY ||
            Outcome->senseData[CDW_SENSE_ASCQ] != CDW_ASCQ_LONG_WRITE_IN_PROGRESS) {
            return FALSE;
        }
        retries++;
        if (retries > CDW_POLL_RETRY_LIMIT) {
            DbgPrint("Burnkit[%d]: PollTestUnitReady - retried %d times on ASC 4,8 - aborting..\n",
                     CdwDeviceNumber(DeviceObject), retries);
            return FALSE;
        }
        if (CdwRecordingStopRequested(ext)) {
            DbgPrint("Burnkit[%d]: PollTestUnitReady - recording ending, stopped after %d "
                     "retries\n",
                     CdwDeviceNumber(DeviceObject), retries);
            return FALSE;
        }
        LARGE_INTEGER pause;
        pause.QuadPart = CDW_RELATIVE_MS(CDW_POLL_PAUSE_MS);
        (void)KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

/*++

Routine Description:

    Has the recorder record what it holds in its buffer (SYNCHRONIZE CACHE over the whole
    cache). Write modes 1 and 2 leave the session open for the recorder to close, so nothing is
    sent for them. When the status record shows a failed command before the flush, that
    outcome is put back after the flush, so the record keeps describing the failure that ended
    the recording.

    The write thread calls it whenever a recording pass ends other than by completing its last
    packet. Runs at PASSIVE_LEVEL.

Arguments:

    DeviceObject - the recorder's functional device object.

Return Value:

    TRUE when the cache was flushed or no flush was needed, FALSE when the flush failed.

--*/
BOOLEAN FlushCache(PDEVICE_OBJECT DeviceObject) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    UCHAR cdb[10];
    BOOLEAN saved = FALSE;
    ULONG savedSrbStatus = 0;
    UCHAR savedScsiStatus = 0;
    UCHAR savedSense[CDW_SENSE_LENGTH];
    SCSI_OUTCOME outcome;

    if (ext->WriteParams.writeMode == 1 || ext->WriteParams.writeMode == 2) {
        return TRUE;
    }

    {
        CdwSpinLockGuard guard(&ext->StatusLock);
        if (ext->Status.lastSrbStatus != SRB_STATUS_SUCCESS) {
            saved = TRUE;
            savedSrbStatus = ext->Status.lastSrbStatus;
            savedScsiStatus = ext->Status.lastScsiStatus;
            RtlCopyMemory(savedSense, ext->Status.senseData, CDW_SENSE_LENGTH);
        }
    }

    RtlZeroMemory(cdb, sizeof(cdb));
    cdb[0] = SCSIOP_SYNCHRONIZE_CACHE;

    BOOLEAN flushed = ScsiRequest(DeviceObject, sizeof(cdb), cdb, 0, NULL, FALSE,
                                  CDW_SYNCHRONIZE_CACHE_TIMEOUT, &outcome);
    if (!flushed) {
        DbgPrint("Burnkit[%d]: FlushCache failed. SrbStatus = 0x%08X\n",
                 CdwDeviceNumber(DeviceObject), outcome.srbStatus);
    }

    if (saved) {
        CdwSpinLockGuard guard(&ext->StatusLock);
        ext->Status.lastSrbStatus = savedSrbStatus;
        ext->Status.lastScsiStatus = savedScsiStatus;
        RtlCopyMemory(ext->Status.senseData, savedSense, CDW_SENSE_LENGTH);
    }
    return flushed;
}

/*++

Routine Description:

    Builds the WRITE(10) command block with which the write thread sends one command's blocks:
    operation code, no option bits, the first block's address and the block count most
    significant byte first, and the control byte. Callable at any IRQL.

Arguments:

    Cdb - receives the block; at least WRITE10_CDB_LENGTH bytes.
    BlockAddress - logical block address of the command's first block.
    BlockCount - number of blocks in the command.
    Control - control byte (WRITE10_CONTROL_CONTINUED or 0).

Return Value:

    None.

--*/
VOID BuildWrite10Cdb(PUCHAR Cdb, ULONG BlockAddress, USHORT BlockCount, UCHAR Control) {
    RtlZeroMemory(Cdb, WRITE10_CDB_LENGTH);
    Cdb[0] = SCSIOP_WRITE;
    Cdb[1] = 0;
    Cdb[2] = static_cast<UCHAR>(BlockAddress >> 24);
    Cdb[3] = static_cast<UCHAR>(BlockAddress >> 16);
    Cdb[4] = static_cast<UCHAR>(BlockAddress >> 8);
    Cdb[5] = static_cast<UCHAR>(BlockAddress);
    Cdb[6] = 0;
    Cdb[7] = static_cast<UCHAR>(BlockCount >> 8);
    Cdb[8] = static_cast<UCHAR>(BlockCount);
    Cdb[9] = Control;
}
