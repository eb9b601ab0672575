/*
 * scsi_request.cpp - the one path by which the driver sends a SCSI command to its recorder.
 *
 * A command descriptor block is wrapped in a SCSI request block, sent as an internal device
 * control request to the storage port's device below the functional device object, and waited
 * for. The outcome (SRB status, SCSI status, sense data, bytes moved) goes to the caller, which
 * judges it, and is published in the device's status record for the application.
 */
#include "../driver/writer.h"

/* SRB status with the two flag bits (queue frozen, autosense valid) removed. */
#define CDW_SRB_STATUS_MASK 0x3Fu

/* Attempts made on a data overrun that cannot be tolerated. */
#define CDW_OVERRUN_ATTEMPTS 3u

static_assert(SRB_STATUS_SUCCESS == 0x01 && SRB_STATUS_ERROR == 0x04 &&
                  SRB_STATUS_DATA_OVERRUN == 0x12 && SRB_STATUS_QUEUE_FROZEN == 0x40,
              "SRB status values the driver judges");
static_assert(SRB_FLAGS_DATA_IN == 0x40 && SRB_FLAGS_DATA_OUT == 0x80 &&
                  SRB_FLAGS_NO_DATA_TRANSFER == 0x00 && SRB_FLAGS_DISABLE_SYNCH_TRANSFER == 0x08,
              "SRB flags the driver sets");
static_assert(IRP_MJ_SCSI == 0x0F && IRP_MN_SCSI_CLASS == 0x01, "SCSI request packet codes");
static_assert(IOCTL_SCSI_EXECUTE_IN == 0x001B0011 && IOCTL_SCSI_EXECUTE_OUT == 0x001B0012 &&
                  IOCTL_SCSI_EXECUTE_NONE == 0x001B0013,
              "SCSI execute control codes");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "request block size");
#endif

/*++

Routine Description:

    Copies a command's outcome into the status record: SRB status and SCSI status always,
    the sense bytes only when the command returned valid sense, so that the record keeps the
    last sense data a recorder actually reported.

    The caller holds StatusLock (the status request copies the record under it, so the
    outcome changes under it as one). Callable at any IRQL up to DISPATCH_LEVEL.

Arguments:

    Status - the device's status record.
    Outcome - the outcome of one command.

Return Value:

    None.

--*/
VOID ScsiStoreOutcome(RECORDING_STATUS *Status, const SCSI_OUTCOME *Outcome) {
    Status->lastSrbStatus = Outcome->srbStatus;
    Status->lastScsiStatus = Outcome->scsiStatus;
    if (Outcome->bSenseValid) {
        RtlCopyMemory(Status->senseData, Outcome->senseData, CDW_SENSE_LENGTH);
    }
}

/* Leaves an attempt's outcome in the status record for the application. */
static VOID ScsiPublishOutcome(PWriterExtension Ext, const SCSI_OUTCOME *Outcome) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    ScsiStoreOutcome(&Ext->Status, Outcome);
}

/*
 * Sends the command once per attempt until it completes, a data overrun is tolerated or the
 * overrun attempts are used up, and judges the outcome into *Outcome. Srb is the caller's
 * block, reused by every attempt, with the sense buffer right behind it; the buffer is cleared
 * before each attempt, so its bytes are this attempt's sense or zeros. Runs at PASSIVE_LEVEL
 * inside ScsiRequest's exception guard.
 */
[[nodiscard]] static BOOLEAN ScsiRequestSend(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb,
                                             UCHAR CdbLength, PUCHAR Cdb, ULONG TransferLength,
                                             PVOID DataBuffer, BOOLEAN WriteToDevice,
                                             ULONG TimeOutValue, PSCSI_OUTCOME Outcome) {
    PWriterExtension ext = CdwWriterExtension(DeviceObject);
    auto *fdoExtension = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT lowerDevice = fdoExtension->CommonExtension.LowerDeviceObject;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PUCHAR sense = reinterpret_cast<PUCHAR>(Srb + 1);

    if (CdbLength > sizeof(Srb->Cdb)) {
        CdbLength = sizeof(Srb->Cdb);
    }
    if (DataBuffer == NULL) {
        TransferLength = 0;
    }

    for (ULONG attempt = 0;; attempt++) {
        ULONG controlCode;

        RtlZeroMemory(Srb, sizeof(*Srb));
        Srb->Length = sizeof(SCSI_REQUEST_BLOCK);
        Srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
        Srb->PathId = 0;
        Srb->TargetId = 0;
        Srb->Lun = 0;
        Srb->CdbLength = CdbLength;
        RtlCopyMemory(Srb->Cdb, Cdb, CdbLength);
        Srb->SenseInfoBufferLength = CDW_SENSE_LENGTH;
        RtlZeroMemory(sense, CDW_SENSE_LENGTH);
        Srb->SenseInfoBuffer = sense;
        if (DataBuffer == NULL) {
            Srb->SrbFlags = SRB_FLAGS_NO_DATA_TRANSFER | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
            controlCode = IOCTL_SCSI_EXECUTE_NONE;
        } else if (WriteToDevice) {
            Srb->SrbFlags = SRB_FLAGS_DATA_OUT | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
            controlCode = IOCTL_SCSI_EXECUTE_OUT;
        } else {
            Srb->SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
            controlCode = IOCTL_SCSI_EXECUTE_IN;
        }
        Srb->DataTransferLength = TransferLength;
        Srb->TimeOutValue = TimeOutValue;
        Srb->DataBuffer = DataBuffer;

        if (attempt == 0) {
            KeInitializeEvent(&event, NotificationEvent, FALSE);
        } else {
            KeClearEvent(&event);
        }

        PIRP irp = IoBuildDeviceIoControlRequest(controlCode, lowerDevice, NULL, 0, DataBuffer,
                                                 TransferLength, TRUE, &event, &ioStatus);
        if (irp == NULL) {
            DbgPrint("Burnkit[%d]: ScsiRequest - Can't allocate Irp\n",
                     CdwDeviceNumber(DeviceObject));
            Outcome->sendStatus = STATUS_INSUFFICIENT_RESOURCES;
            return FALSE;
        }

        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_SCSI;
        stack->MinorFunction = IRP_MN_SCSI_CLASS;
        stack->Parameters.Scsi.Srb = Srb;
        Srb->OriginalRequest = irp;

        if (IoCallDriver(lowerDevice, irp) == STATUS_PENDING) {
            (void)KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        }

        const ULONG srbStatus = Srb->SrbStatus & CDW_SRB_STATUS_MASK;
        Outcome->sendStatus = STATUS_SUCCESS;
        Outcome->srbStatus = srbStatus;
        Outcome->scsiStatus = Srb->ScsiStatus;
        Outcome->bSenseValid = (Srb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) ? TRUE : FALSE;
        Outcome->transferred = Srb->DataTransferLength;
        RtlCopyMemory(Outcome->senseData, sense, CDW_SENSE_LENGTH);
        ScsiPublishOutcome(ext, Outcome);

        /* A frozen queue would hold up the next command, whatever this one's outcome. */
        if (Srb->SrbStatus & SRB_STATUS_QUEUE_FROZEN) {
            ClassReleaseQueue(DeviceObject);
        }

        if (srbStatus == SRB_STATUS_SUCCESS) {
            return TRUE;
        }
        if (srbStatus != SRB_STATUS_DATA_OVERRUN) {
            break;
        }

        /*
         * A port reports an overrun both when the device moved exactly what was asked and when
         * a read came back short; both carry the data the caller wanted. Data sent to the
         * device counts as taken only when the device also answered GOOD: a write that moved
         * its whole length and ended in CHECK CONDITION was refused, whatever the port counted.
         */
        const BOOLEAN dataIn = controlCode == IOCTL_SCSI_EXECUTE_IN;
        if ((Srb->DataTransferLength == TransferLength && (dataIn || Srb->ScsiStatus == 0)) ||
            (Srb->DataTransferLength < TransferLength && dataIn)) {
            Outcome->srbStatus = Srb->ScsiStatus != 0 ? SRB_STATUS_ERROR : SRB_STATUS_SUCCESS;
            ScsiPublishOutcome(ext, Outcome);
            return TRUE;
        }

        DbgPrint("Burnkit[%d]: ScsiRequest - DATA_OVERRUN, Len = 0x%08X, Srb->DTLen = 0x%08X\n",
                 CdwDeviceNumber(DeviceObject), TransferLength, Srb->DataTransferLength);
        if (attempt + 1 >= CDW_OVERRUN_ATTEMPTS) {
            break;
        }
    }

    /* SRB_STATUS_ERROR is the ordinary end of a CHECK CONDITION; anything else is logged. */
    if ((Srb->SrbStatus & CDW_SRB_STATUS_MASK) != SRB_STATUS_ERROR) {
        ULONG dumpWord = Srb->SrbStatus;
        CdRecorderLogEvent(DeviceObject, MSG_UNEXPECTED_SRB_STATUS, 1, &dumpWord);
    }
    return FALSE;
}

/*++

Routine Description:

    Sends one SCSI command to the recorder and waits for it to complete. The command goes to
    the storage port's device below this functional device object as an IRP_MJ_SCSI request
    carrying a request block from non-paged pool. A data overrun that moved the whole length,
    or a short read, counts as success; any other overrun is tried up to three times. A queue
    that the port froze on the failure is released before returning.

    The outcome of the final attempt goes to *Outcome, the caller's own copy by which it judges
    the command, and is published in the status record's lastSrbStatus, lastScsiStatus and
    senseData for the application (the sense bytes only when the port returned valid sense).
    Other threads send commands to the same recorder, so the record may already describe
    another command when the call returns; callers never judge by it. A call that fails
    before the command is sent leaves the record as it was and says why in
    Outcome->sendStatus.

    Runs at PASSIVE_LEVEL (it waits for the completion); the caller holds no spin lock.

Arguments:

    DeviceObject - the recorder's functional device object.
    CdbLength - number of command bytes, 1 to 16.
    Cdb - the command descriptor block.
    TransferLength - bytes to move; taken as 0 when DataBuffer is NULL.
    DataBuffer - data buffer in non-paged memory, or NULL for a command without data.
    WriteToDevice - TRUE when the data goes to the device.
    TimeOutValue - command time-out in seconds, for the port.
    Outcome - receives the command's outcome; NULL when the caller needs only the result.

Return Value:

    TRUE when the command succeeded or its overrun was tolerated, FALSE otherwise.

--*/
BOOLEAN ScsiRequest(PDEVICE_OBJECT DeviceObject, UCHAR CdbLength, PUCHAR Cdb, ULONG TransferLength,
                    PVOID DataBuffer, BOOLEAN WriteToDevice, ULONG TimeOutValue,
                    PSCSI_OUTCOME Outcome) {
    PSCSI_REQUEST_BLOCK srb = NULL;
    BOOLEAN result = FALSE;
    NTSTATUS code = STATUS_SUCCESS;
    SCSI_OUTCOME localOutcome;

    if (Outcome == NULL) {
        Outcome = &localOutcome;
    }
    RtlZeroMemory(Outcome, sizeof(*Outcome));
    Outcome->sendStatus = STATUS_INSUFFICIENT_RESOURCES;

    if (!CdwGuarded(
            [&] {
                srb = static_cast<PSCSI_REQUEST_BLOCK>(ExAllocatePoolWithTag(
                    NonPagedPool, sizeof(SCSI_REQUEST_BLOCK) + CDW_SENSE_LENGTH, CDW_TAG_SCSI));
                if (srb == NULL) {
                    DbgPrint("Burnkit[%d]: ScsiRequest - Can't allocate Srb\n",
                             CdwDeviceNumber(DeviceObject));
                    return;
                }
                result = ScsiRequestSend(DeviceObject, srb, CdbLength, Cdb, TransferLength,
                                         DataBuffer, WriteToDevice, TimeOutValue, Outcome);
            },
            &code)) {
        DbgPrint("Burnkit[%d]: ScsiRequest - Exception! GetExceptionCode() = 0x%08X\n",
                 CdwDeviceNumber(DeviceObject), code);
        Outcome->sendStatus = code;
        result = FALSE;
    }

    if (srb != NULL) {
        ExFreePool(srb);
    }
    return result;
}
