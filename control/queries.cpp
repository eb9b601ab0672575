/*
 * queries.cpp - the two read-only requests that tell the recording application about one
 * recorder: where it sits on its SCSI port with its transfer limits, and one device property
 * of its physical device object together with the addresses of its two device objects.
 *
 * Both run in the application's thread at PASSIVE_LEVEL, change no driver state and take no
 * lock, so they may overlap a recording on the same recorder.
 */
#include "writer.h"

#define PROPERTIES_TYPE_END (offsetof(CD_RECORDER_PROPERTIES, Type) + sizeof(uint32_t))

NTSTATUS CdRecorderQueryParameters(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_QUERY_PARAMETERS: returns the recorder's SCSI address as the port reports
    it, the alignment requirement of its device object and the adapter's transfer limits. A
    port that does not answer the address query yields zero address bytes, not a failure.
    The address query goes to the recorder's own device and reaches the port through the
    class library's default handling.

    Runs at PASSIVE_LEVEL in the caller's thread (it waits for the address query).

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request; output CD_RECORDER_PARAMETERS (20 bytes).

Return Value:

    STATUS_SUCCESS with 20 bytes, STATUS_INVALID_PARAMETER for a short output buffer, the
    status of a failed address query, or the code of an exception.

--*/
{
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    auto body = [&] {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(CD_RECORDER_PARAMETERS)) {
            status = STATUS_INVALID_PARAMETER;
            return;
        }

        SCSI_ADDRESS address;
        RtlZeroMemory(&address, sizeof(address));
        IO_STATUS_BLOCK ioStatus;
        RtlZeroMemory(&ioStatus, sizeof(ioStatus));
        ClassSendDeviceIoControlSynchronous(IOCTL_SCSI_GET_ADDRESS, DeviceObject, &address, 0,
                                            sizeof(SCSI_ADDRESS), FALSE, &ioStatus);
        if (!NT_SUCCESS(ioStatus.Status) && ioStatus.Status != STATUS_NOT_SUPPORTED) {
            DbgPrint("Burnkit[%d]: CdRecorderQueryParameters - IOCTL_SCSI_GET_ADDRESS "
                     "failed, Status = 0x%08X\n",
                     deviceNumber, ioStatus.Status);
            status = ioStatus.Status;
            return;
        }

        auto *parameters = static_cast<CD_RECORDER_PARAMETERS *>(Irp->AssociatedIrp.SystemBuffer);
        /*
         * The first word is not ours to fill: it keeps what the application sent, and
         * bytes it did not send are zeroed rather than returned as they came from pool.
         */
        ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (inputLength < offsetof(CD_RECORDER_PARAMETERS, PortNumber)) {
            RtlZeroMemory(reinterpret_cast<PUCHAR>(parameters) + inputLength,
                          offsetof(CD_RECORDER_PARAMETERS, PortNumber) - inputLength);
        }
        if (NT_SUCCESS(ioStatus.Status)) {
            parameters->PortNumber = address.PortNumber;
            parameters->PathId = address.PathId;
            parameters->TargetId = address.TargetId;
            parameters->Lun = address.Lun;
        } else {
            parameters->PortNumber = 0;
            parameters->PathId = 0;
            parameters->TargetId = 0;
            parameters->Lun = 0;
        }

        /* The class library fills the adapter descriptor when the device starts. */
        auto *fdoExtension =
            static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
        PSTORAGE_ADAPTER_DESCRIPTOR adapter = fdoExtension->AdapterDescriptor;
        parameters->AlignmentRequirement = DeviceObject->AlignmentRequirement;
        parameters->MaximumTransferLength = adapter != NULL ? adapter->MaximumTransferLength : 0;
        parameters->MaximumPhysicalPages = adapter != NULL ? adapter->MaximumPhysicalPages : 0;

        Irp->IoStatus.Information = sizeof(CD_RECORDER_PARAMETERS);
        status = STATUS_SUCCESS;
    };
    return CdwGuardedRequest(
        Irp, &status,
        "Burnkit[%d]: CdRecorderQueryParameters - Exception! GetExceptionCode() = 0x%08X\n",
        deviceNumber, body);
}

NTSTATUS CdRecorderQueryProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    IOCTL_RECORDER_QUERY_PROPERTIES: reads one device property (the caller's Type, a
    DEVICE_REGISTRY_PROPERTY value passed through unchanged) of the recorder's physical device
    object and returns it with the length the platform reported and the addresses of the
    recorder's own and physical device objects. A property that cannot be read still returns
    its length and the two addresses, but no property data.

    Type is read only from an input of at least 8 bytes; a shorter input shows Type 0 in the
    entry message and is refused. No property is read when the working buffer cannot be had.

    The addresses go into 64-bit fields: the whole pointer, so on a 32-bit system the low
    32 bits with the high half zero.

    Runs at PASSIVE_LEVEL in the caller's thread (the working buffer is paged).

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - buffered request; CD_RECORDER_PROPERTIES (2072 bytes) in and out.

Return Value:

    The status of the property read (with 2072 bytes returned), STATUS_INVALID_PARAMETER for
    a short buffer, STATUS_INSUFFICIENT_RESOURCES when no working buffer was available, or the
    code of an exception.

--*/
{
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    auto *fdoExtension = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PDEVICE_OBJECT pdo = fdoExtension->LowerPdo;
    NTSTATUS status = STATUS_SUCCESS;
    PVOID workingBuffer = NULL;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto body = [&] {
        auto *properties = static_cast<CD_RECORDER_PROPERTIES *>(Irp->AssociatedIrp.SystemBuffer);
        BOOLEAN typeGiven =
            stack->Parameters.DeviceIoControl.InputBufferLength >= PROPERTIES_TYPE_END;
        ULONG type = typeGiven ? properties->Type : 0;

        DbgPrint("Burnkit[%d]: CdRecorderQueryProperties - entry, DeviceObject = 0x%08X, "
                 "PDO = 0x%08X, Type = %d, Length = %d\n",
                 deviceNumber, (ULONG)(ULONG_PTR)DeviceObject, (ULONG)(ULONG_PTR)pdo, (int)type,
                 (int)length);

        if (length < sizeof(CD_RECORDER_PROPERTIES) || !typeGiven) {
            status = STATUS_INVALID_PARAMETER;
            return;
        }

        workingBuffer = ExAllocatePoolWithTag(PagedPool, CDW_PROPERTY_BUFFER_SIZE, CDW_TAG_BUFFERS);
        if (workingBuffer == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        RtlZeroMemory(workingBuffer, CDW_PROPERTY_BUFFER_SIZE);

        status = IoGetDeviceProperty(pdo, (DEVICE_REGISTRY_PROPERTY)type, CDW_PROPERTY_BUFFER_SIZE,
                                     workingBuffer, &length);

        properties->Length = length;
        properties->DeviceObject = (uint64_t)(ULONG_PTR)DeviceObject;
        properties->PDO = (uint64_t)(ULONG_PTR)pdo;
        if (status == STATUS_SUCCESS) {
            RtlCopyMemory(properties->PropertyBuffer, workingBuffer, CDW_PROPERTY_BUFFER_SIZE);
        } else {
            /*
             * No property data: the area keeps what the application sent, and the
             * part it did not send is zeroed rather than returned as it came from pool.
             */
            ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            ULONG unsentStart = inputLength > offsetof(CD_RECORDER_PROPERTIES, PropertyBuffer)
                                    ? inputLength
                                    : (ULONG)offsetof(CD_RECORDER_PROPERTIES, PropertyBuffer);
            if (unsentStart < sizeof(CD_RECORDER_PROPERTIES)) {
                RtlZeroMemory(reinterpret_cast<PUCHAR>(properties) + unsentStart,
                              sizeof(CD_RECORDER_PROPERTIES) - unsentStart);
            }
        }
        Irp->IoStatus.Information = sizeof(CD_RECORDER_PROPERTIES);
    };
    (void)CdwGuardedRequest(
        Irp, &status,
        "Burnkit[%d]: CdRecorderQueryProperties - Exception! GetExceptionCode() = 0x%08X\n",
        deviceNumber, body);

    if (workingBuffer != NULL) {
        ExFreePool(workingBuffer);
    }
    DbgPrint("Burnkit[%d]: CdRecorderQueryProperties - exit, Length = %d, Status = 0x%08X\n",
             deviceNumber, (int)length, status);
    return status;
}
