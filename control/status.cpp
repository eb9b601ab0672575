/*
 * status.cpp - the recording-status request: a snapshot of the device's status record for
 * the application that polls it, and the application's way to cancel a recording.
 */
#include "writer.h"

/* Offset of the cancel byte in the request's input, which is laid out like the record. */
#define STATUS_CANCEL_OFFSET 4u

/*++

Routine Description:

    Handles IOCTL_RECORDER_RECORDING_STATUS. Copies the first min(output length, 64) bytes of
    the status record to the system buffer under StatusLock, so that the application always
    sees one consistent record, and records a cancel when the input's byte at offset 4 is
    nonzero. The copy shows the record as it was before this request: a cancel becomes
    visible in the next status request. After the lock is dropped, a cancel sets
    CirQueRefillEvent so that a read thread sleeping for free buffers sees it at once.

    Input and output share the system buffer, so the cancel byte is read before the output is
    written. An input too short to hold the cancel byte (or no system buffer at all) is a
    request without cancel: it is never read past. A device without recording machinery (a
    desktop unit, or one not initialized) has no initialized refill event; a cancel there only
    sets the flag.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the request; the dispatch completes it.

Return Value:

    STATUS_SUCCESS, or the code of an exception raised while the record was copied.

IRQL: PASSIVE_LEVEL; the copy runs at DISPATCH_LEVEL under StatusLock, from the resident
    record into the non-paged system buffer.

--*/
NTSTATUS CdRecorderRecordinfStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR systemBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG copyLength =
        outputLength < sizeof(RECORDING_STATUS) ? outputLength : sizeof(RECORDING_STATUS);
    BOOLEAN hasMachinery = !writer->bDesktopUnit && writer->reinitCheckValue == REINIT_CHECK_VALUE;
    BOOLEAN cancelRequested = FALSE;
    NTSTATUS exceptionCode = STATUS_SUCCESS;

    if (systemBuffer == NULL) {
        copyLength = 0;
    }
    Irp->IoStatus.Information = 0;

    BOOLEAN completed = CdwGuarded(
        [&] {
            CdwSpinLockGuard statusGuard(&writer->StatusLock);
            cancelRequested = systemBuffer != NULL && inputLength > STATUS_CANCEL_OFFSET &&
                              systemBuffer[STATUS_CANCEL_OFFSET] != 0;
            if (copyLength != 0) {
                RtlCopyMemory(systemBuffer, &writer->Status, copyLength);
            }
            if (cancelRequested) {
                writer->Status.bCancel = TRUE;
            }
            statusGuard.Release();

            if (cancelRequested && hasMachinery) {
                KeSetEvent(&writer->CirQueRefillEvent, 0, FALSE);
            }
        },
        &exceptionCode);

    if (!completed) {
        DbgPrint(
            "Burnkit[%d]: CdRecorderRecordinfStatus - Exception! GetExceptionCode() = 0x%08X\n",
            CdwDeviceNumber(DeviceObject), exceptionCode);
        Irp->IoStatus.Status = exceptionCode;
        return exceptionCode;
    }

    Irp->IoStatus.Information = copyLength;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}
