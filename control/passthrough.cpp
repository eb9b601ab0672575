/*
 * passthrough.cpp - IOCTL_RECORDER_EXEC_SCSI_OPERATION: one SCSI command from the application,
 * with or without data in either direction, run once through the driver's own SCSI request
 * path, its outcome returned in the same block.
 */
#include "writer.h"

#define PASS_THROUGH_LENGTH ((ULONG)sizeof(SCSI_PASS_THROUGH_REQUEST))
#define PASS_THROUGH_MAX_CDB 16u

NTSTATUS CdRecorderExecScsiOperation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    Runs the application's command block once through ScsiRequest and returns the command's
    own SRB status, SCSI status and wanted sense bytes in the block, and in DataTransferLength
    the bytes the recorder moved (as the port reports them; 0 after a failed command from the
    device, which returns no data). Only those bytes are copied back to the application. The
    command's own outcome travels in the block; the request itself succeeds once the command
    has been sent, and fails with the reason when it could not be sent.

    The block is checked before anything is sent: exactly 60 bytes in, room for 60 bytes out,
    a command block of 1 to 16 bytes, at most 18 sense bytes wanted and no more data than the
    adapter's maximum transfer length (as the class library read it from the adapter
    descriptor). Data moves through a
    kernel buffer; the application's buffer (an address in its 32-bit address space) is
    reached only after ProbeForRead or ProbeForWrite inside the exception guard, so a bad
    address ends the request with the exception's code. For a command from the device the
    buffer is probed before the command is sent and again before the data is copied back; a
    failed command returns no data.

    Runs at PASSIVE_LEVEL in the application's thread; may overlap a recording on the same
    recorder; its outcome is its own, whatever the write thread's commands publish meanwhile.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request with a 60-byte SCSI_PASS_THROUGH_REQUEST, in and out.

Return Value:

    STATUS_SUCCESS once the command ran, STATUS_INVALID_PARAMETER for a malformed block,
    STATUS_INSUFFICIENT_RESOURCES when no kernel buffer, request block or request packet was
    available, or the code of an exception (STATUS_ACCESS_VIOLATION for a bad data address).
    Information is 60 whenever the output buffer holds 60 bytes, else 0.

--*/
{
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS code;
    PVOID kernelBuffer = NULL;

    Irp->IoStatus.Information = outputLength >= PASS_THROUGH_LENGTH ? PASS_THROUGH_LENGTH : 0;

    if (!CdwGuarded(
            [&] {
                if (inputLength != PASS_THROUGH_LENGTH) {
                    /* The block goes back as sent; bytes the application did not send are
                     * zeroed rather than returned as they came from pool. */
                    if (inputLength < PASS_THROUGH_LENGTH && outputLength >= PASS_THROUGH_LENGTH) {
                        RtlZeroMemory(static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) +
                                          inputLength,
                                      PASS_THROUGH_LENGTH - inputLength);
                    }
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - invalid "
                             "UserRequestLength of %d, s/b %d\n",
                             deviceNumber, (int)inputLength, (int)PASS_THROUGH_LENGTH);
                    status = STATUS_INVALID_PARAMETER;
                    return;
                }
                if (outputLength < PASS_THROUGH_LENGTH) {
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - invalid "
                             "OutputBufferLength of %d, s/b at least %d\n",
                             deviceNumber, (int)outputLength, (int)PASS_THROUGH_LENGTH);
                    status = STATUS_INVALID_PARAMETER;
                    return;
                }

                auto *request =
                    static_cast<SCSI_PASS_THROUGH_REQUEST *>(Irp->AssociatedIrp.SystemBuffer);
                UCHAR cdbLength = request->CdbLength;
                UCHAR senseLength = request->SenseInfoLength;
                BOOLEAN dataOut = request->bDataOut != 0;
                ULONG transferLength = request->DataTransferLength;
                PVOID userBuffer = (PVOID)(ULONG_PTR)request->DataBuffer;

                if (cdbLength == 0 || cdbLength > PASS_THROUGH_MAX_CDB) {
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - invalid CdbLength of "
                             "%d, s/b 1 to %d\n",
                             deviceNumber, (int)cdbLength, (int)PASS_THROUGH_MAX_CDB);
                    status = STATUS_INVALID_PARAMETER;
                    return;
                }
                if (senseLength > CDW_SENSE_LENGTH) {
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - invalid "
                             "SenseInfoLength of %d, s/b at most %d\n",
                             deviceNumber, (int)senseLength, (int)CDW_SENSE_LENGTH);
                    status = STATUS_INVALID_PARAMETER;
                    return;
                }

                /*
                 * No transfer longer than the adapter moves in one request: the kernel buffer
                 * comes from non-paged pool. The class library has read the adapter's limit
                 * when the device started; without it nothing with data is sent.
                 */
                auto *fdoExtension =
                    static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
                PSTORAGE_ADAPTER_DESCRIPTOR adapter = fdoExtension->AdapterDescriptor;
                ULONG maximumTransfer = adapter != NULL ? adapter->MaximumTransferLength : 0;
                if (transferLength > maximumTransfer) {
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - invalid "
                             "DataTransferLength of %u, s/b at most %u (the adapter's maximum "
                             "transfer)\n",
                             deviceNumber, transferLength, maximumTransfer);
                    status = STATUS_INVALID_PARAMETER;
                    return;
                }

                if (transferLength != 0) {
                    /*
                     * The application's buffer is probed before any pool is taken for it, so
                     * that a length no buffer of the application can have costs no non-paged
                     * pool; the probe raises, and the guard below ends the request.
                     */
                    if (dataOut) {
                        ProbeForRead(userBuffer, transferLength, 1);
                    } else {
                        ProbeForWrite(userBuffer, transferLength, 1);
                    }
                    kernelBuffer = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, transferLength,
                                                         CDW_TAG_SCSI);
                    if (kernelBuffer == NULL) {
                        DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - Buffer "
                                 "allocation of %d bytes failed\n",
                                 deviceNumber, (int)transferLength);
                        status = STATUS_INSUFFICIENT_RESOURCES;
                        return;
                    }
                    if (dataOut) {
                        RtlCopyMemory(kernelBuffer, userBuffer, transferLength);
                    } else {
                        /* Bytes the recorder does not send must not be pool's old contents. */
                        RtlZeroMemory(kernelBuffer, transferLength);
                    }
                }

                SCSI_OUTCOME outcome;
                BOOLEAN succeeded =
                    ScsiRequest(DeviceObject, cdbLength, request->Cdb, transferLength, kernelBuffer,
                                dataOut, (ULONG)request->TimeOut, &outcome);

                if (outcome.sendStatus != STATUS_SUCCESS) {
                    /* Nothing reached the recorder (no pool for the request): the request
                     * fails, and the block carries no outcome of any other command. */
                    request->SrbStatus = 0;
                    request->ScsiStatus = 0;
                    request->DataTransferLength = 0;
                    RtlZeroMemory(request->SenseInfo, senseLength);
                    DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - command not sent, "
                             "Status = 0x%08X\n",
                             deviceNumber, outcome.sendStatus);
                    status = outcome.sendStatus;
                    return;
                }

                /* This command's own outcome: another sender's command (the write thread's)
                 * may already show in the status record. */
                request->SrbStatus = (UCHAR)(outcome.srbStatus & 0xFF);
                request->ScsiStatus = outcome.scsiStatus;
                ULONG moved =
                    outcome.transferred < transferLength ? outcome.transferred : transferLength;

                if (succeeded) {
                    if (!dataOut && moved != 0) {
                        ProbeForWrite(userBuffer, moved, 1);
                        RtlCopyMemory(userBuffer, kernelBuffer, moved);
                    }
                    request->DataTransferLength = moved;
                    RtlZeroMemory(request->SenseInfo, senseLength);
                } else {
                    /* No data comes back from a failed command; sense only when the recorder
                     * returned it for this command (zeros otherwise). */
                    request->DataTransferLength = dataOut ? moved : 0;
                    RtlCopyMemory(request->SenseInfo, outcome.senseData, senseLength);
                }
                status = STATUS_SUCCESS;
            },
            &code)) {
        DbgPrint("Burnkit[%d]: CdRecorderExecScsiOperation - Exception! GetExceptionCode() = "
                 "0x%08X\n",
                 deviceNumber, code);
        status = code;
    }

    if (kernelBuffer != NULL) {
        ExFreePool(kernelBuffer);
    }
    Irp->IoStatus.Status = status;
    return status;
}
