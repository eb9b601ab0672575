/*
 * scsi_request.cpp - the one path by which the driver sends a SCSI command to its recorder.
 *
 * A command descriptor block is wrapped in a SCSI request block, sent as an internal device
 * control request to the storage port's device below the functional device object, and waited
 * for. The outcome (SRB status, SCSI status, sense data) is left in the device's status record,
 * where the caller judges it.
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

/*
 * Leaves an attempt's outcome in the status record. The status request copies the record
 * under StatusLock from the application's thread, so the outcome changes under it as one.
 */
static VOID ScsiPublishOutcome(PWriterExtension Ext, ULONG SrbStatus, UCHAR ScsiStatus,
                               const UCHAR *Sense) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    Ext->Status.lastSrbStatus = SrbStatus;
    Ext->Status.lastScsiStatus = ScsiStatus;
    RtlCopyMemory(Ext->Status.senseData, Sense, CDW_SENSE_LENGTH);
}

/*
 * Sends the command once per attempt until it completes, a data overrun is tolerated or the
 * overrun attempts are used up, and judges the outcome. Srb is the caller's block, reused by
 * every attempt, with the sense buffer right behind it (it starts as a copy of the record's
 * sense bytes, so bytes the port does not write stay as they were). Runs at PASSIVE_LEVEL inside
 * ScsiRequest's exception guard.
 */
[[nodiscard]] static BOOLEAN ScsiRequestSend(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb,
                                             UCHAR CdbLength, PUCHAR Cdb, ULONG TransferLength,
                                             PVOID DataBuffer, BOOLEAN WriteToDevice,
                                             ULONG TimeOutValue) {
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
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            RtlCopyMemory(sense, ext->Status.senseData, CDW_SENSE_LENGTH);
        }
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
        ScsiPublishOutcome(ext, srbStatus, Srb->ScsiStatus, sense);

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
         * a read came back short; both carry the data the caller wanted.
         */
        if (Srb->DataTransferLength == TransferLength ||
            (Srb->DataTransferLength < TransferLength && controlCode == IOCTL_SCSI_EXECUTE_IN)) {
            ScsiPublishOutcome(ext, Srb->ScsiStatus != 0 ? SRB_STATUS_ERROR : SRB_STATUS_SUCCESS,
                               Srb->ScsiStatus, sense);
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

    The outcome of the final attempt is left in the status record's lastSrbStatus,
    lastScsiStatus and senseData; the sense bytes are fresh only when lastSrbStatus is
    SRB_STATUS_ERROR. A call that fails before the command is sent leaves them as they were.
    The outcome changes under StatusLock; callers read it right after their own call.

    Runs at PASSIVE_LEVEL (it waits for the completion); the caller holds no spin lock.

Arguments:

    DeviceObject - the recorder's functional device object.
    CdbLength - number of command bytes, 1 to 16.
    Cdb - the command descriptor block.
    TransferLength - bytes to move; taken as 0 when DataBuffer is NULL.
    DataBuffer - data buffer in non-paged memory, or NULL for a command without data.
    WriteToDevice - TRUE when the data goes to the device.
    TimeOutValue - command time-out in seconds, for the port.

Return Value:

    TRUE when the command succeeded or its overrun was tolerated, FALSE otherwise.

--*/
BOOLEAN ScsiRequest(PDEVICE_OBJECT DeviceObject, UCHAR CdbLength, PUCHAR Cdb, ULONG TransferLength,
                    PVOID DataBuffer, BOOLEAN WriteToDevice, ULONG TimeOutValue) {
    PSCSI_REQUEST_BLOCK srb = NULL;
    BOOLEAN result = FALSE;
    NTSTATUS code = STATUS_SUCCESS;

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
                                         DataBuffer, WriteToDevice, TimeOutValue);
            },
            &code)) {
        DbgPrint("Burnkit[%d]: ScsiRequest - Exception! GetExceptionCode() = 0x%08X\n",
                 CdwDeviceNumber(DeviceObject), code);
        result = FALSE;
    }

    if (srb != NULL) {
        ExFreePool(srb);
    }
    return result;
}
