/*
 * port_device.cpp - the storage port's physical device object.
 *
 * A port is a record of function pointers (standin/port.h). This file turns one into a
 * device object of the host's own port driver object, whose dispatch answers the requests a
 * class driver sends to the port below it: request blocks (IRP_MJ_SCSI), the SCSI address
 * and the storage property queries. Every request is completed in the caller's thread.
 */
#include <standin/port.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

constexpr ULONG kPortMagic = 0x54524F50; /* "PORT" */

struct PORT_EXTENSION {
    ULONG Magic;
    HOST_PORT_OPS Ops;
};

std::mutex DriverLock;
PDRIVER_OBJECT PortDriver = nullptr;
std::atomic<ULONG> NextPortNumber{0};

PORT_EXTENSION *PortExtension(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == nullptr || DeviceObject->DriverObject != PortDriver ||
        DeviceObject->DeviceExtension == nullptr) {
        return nullptr;
    }
    PORT_EXTENSION *ext = static_cast<PORT_EXTENSION *>(DeviceObject->DeviceExtension);
    return ext->Magic == kPortMagic ? ext : nullptr;
}

/* IRP status of a completed request block. */
NTSTATUS SrbToNtStatus(UCHAR SrbStatus) {
    switch (SRB_STATUS(SrbStatus)) {
    case SRB_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case SRB_STATUS_DATA_OVERRUN:
        return STATUS_DATA_OVERRUN;
    case SRB_STATUS_INVALID_REQUEST:
        return STATUS_INVALID_DEVICE_REQUEST;
    case SRB_STATUS_REQUEST_FLUSHED:
        return STATUS_CANCELLED;
    case SRB_STATUS_SELECTION_TIMEOUT:
    case SRB_STATUS_NO_DEVICE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case SRB_STATUS_TIMEOUT:
    case SRB_STATUS_COMMAND_TIMEOUT:
        return STATUS_IO_TIMEOUT;
    case SRB_STATUS_BUS_RESET:
        return STATUS_BUS_RESET;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

NTSTATUS ExecuteScsi(PDEVICE_OBJECT DeviceObject, PORT_EXTENSION *Ext, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SCSI_REQUEST_BLOCK *srb = stack->Parameters.Scsi.Srb;
    if (srb == nullptr) {
        Irp->IoStatus.Information = 0;
        return STATUS_INVALID_PARAMETER;
    }
    HostVerifierCheckPassive("request block sent to the storage port");
    Ext->Ops.ExecuteSrb(Ext->Ops.Context, srb);
    if (srb->Function == SRB_FUNCTION_CLAIM_DEVICE &&
        SRB_STATUS(srb->SrbStatus) == SRB_STATUS_SUCCESS) {
        srb->DataBuffer = DeviceObject;
    }
    Irp->IoStatus.Information =
        srb->Function == SRB_FUNCTION_EXECUTE_SCSI ? srb->DataTransferLength : 0;
    return SrbToNtStatus(srb->SrbStatus);
}

/* Appends Text (Size characters, trailing blanks kept) NUL-terminated at *Offset. */
void PutString(UCHAR *Descriptor, ULONG *Offset, const CHAR *Text, ULONG Size) {
    memcpy(Descriptor + *Offset, Text, Size);
    Descriptor[*Offset + Size] = 0;
    *Offset += Size + 1;
}

NTSTATUS QueryProperty(PORT_EXTENSION *Ext, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (buffer == nullptr || inLength < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
        return STATUS_INVALID_PARAMETER;
    }
    STORAGE_PROPERTY_QUERY query;
    memcpy(&query, buffer, offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
    if (query.PropertyId != StorageDeviceProperty && query.PropertyId != StorageAdapterProperty) {
        return STATUS_NOT_SUPPORTED;
    }
    if (query.QueryType == PropertyExistsQuery) {
        return STATUS_SUCCESS;
    }
    if (query.QueryType != PropertyStandardQuery) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    HOST_PORT_IDENTITY id;
    memset(&id, 0, sizeof(id));
    id.BusType = BusTypeScsi;
    Ext->Ops.Describe(Ext->Ops.Context, &id);

    /* Large enough for the device descriptor and its four strings. */
    UCHAR full[sizeof(STORAGE_DEVICE_DESCRIPTOR) + 8 + 16 + 4 + sizeof(id.SerialNumber) + 4];
    memset(full, 0, sizeof(full));
    ULONG size;
    if (query.PropertyId == StorageDeviceProperty) {
        STORAGE_DEVICE_DESCRIPTOR d;
        memset(&d, 0, sizeof(d));
        d.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
        d.DeviceType = id.DeviceType;
        d.DeviceTypeModifier = id.DeviceTypeModifier;
        d.RemovableMedia = id.RemovableMedia;
        d.CommandQueueing = id.CommandQueueing;
        d.BusType = id.BusType;
        d.RawPropertiesLength = 0;
        ULONG offset = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
        d.VendorIdOffset = offset;
        PutString(full, &offset, id.Vendor, sizeof(id.Vendor));
        d.ProductIdOffset = offset;
        PutString(full, &offset, id.Product, sizeof(id.Product));
        d.ProductRevisionOffset = offset;
        PutString(full, &offset, id.Revision, sizeof(id.Revision));
        ULONG serial = (ULONG)strnlen(id.SerialNumber, sizeof(id.SerialNumber));
        if (serial != 0) {
            d.SerialNumberOffset = offset;
            PutString(full, &offset, id.SerialNumber, serial);
        }
        size = std::max<ULONG>(offset, sizeof(STORAGE_DEVICE_DESCRIPTOR));
        if (id.DescriptorSize != 0 && id.DescriptorSize < size) {
            size = id.DescriptorSize; /* strings from there on lie past its end */
        }
        d.Size = size;
        memcpy(full, &d, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
    } else {
        STORAGE_ADAPTER_DESCRIPTOR a;
        memset(&a, 0, sizeof(a));
        a.Version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
        a.Size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
        a.MaximumTransferLength = id.MaximumTransferLength;
        a.MaximumPhysicalPages = id.MaximumPhysicalPages;
        a.AlignmentMask = id.AlignmentMask;
        a.AdapterUsesPio = FALSE;
        a.AdapterScansDown = FALSE;
        a.CommandQueueing = id.CommandQueueing;
        a.AcceleratedTransfer = FALSE;
        a.BusType = (UCHAR)id.BusType;
        a.BusMajorVersion = 2;
        a.BusMinorVersion = 0;
        size = sizeof(a);
        memcpy(full, &a, sizeof(a));
    }
    ULONG n = std::min(size, outLength);
    memcpy(buffer, full, n);
    Irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceControl(PORT_EXTENSION *Ext, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_GET_ADDRESS: {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SCSI_ADDRESS) ||
            Irp->AssociatedIrp.SystemBuffer == nullptr) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        SCSI_ADDRESS address;
        memset(&address, 0, sizeof(address));
        NTSTATUS status = Ext->Ops.GetAddress(Ext->Ops.Context, &address);
        if (NT_SUCCESS(status)) {
            address.Length = sizeof(SCSI_ADDRESS);
            memcpy(Irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
            Irp->IoStatus.Information = sizeof(SCSI_ADDRESS);
        }
        return status;
    }
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(Ext, Irp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS NTAPI PortDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PORT_EXTENSION *ext = PortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    if (ext == nullptr) {
        Irp->IoStatus.Information = 0;
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        switch (stack->MajorFunction) {
        case IRP_MJ_SCSI:
            status = ExecuteScsi(DeviceObject, ext, Irp);
            break;
        case IRP_MJ_DEVICE_CONTROL:
            status = DeviceControl(ext, Irp);
            break;
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_POWER:
            Irp->IoStatus.Information = 0;
            status = STATUS_SUCCESS;
            break;
        case IRP_MJ_PNP:
            switch (stack->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            default:
                status = Irp->IoStatus.Status; /* a bus driver leaves what it does not know */
                break;
            }
            break;
        default:
            Irp->IoStatus.Information = 0;
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        }
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

extern "C" {

PDRIVER_OBJECT HostPortDriverObject(void) {
    std::lock_guard<std::mutex> held(DriverLock);
    if (PortDriver == nullptr) {
        PortDriver = HostCreateDriverObject("\\Driver\\HostPort");
        if (PortDriver != nullptr) {
            for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
                PortDriver->MajorFunction[i] = PortDispatch;
            }
        }
    }
    return PortDriver;
}

PDEVICE_OBJECT HostCreatePortDevice(const HOST_PORT_OPS *Ops) {
    PDRIVER_OBJECT driver = HostPortDriverObject();
    if (driver == nullptr || Ops == nullptr) {
        return nullptr;
    }
    char name[48];
    snprintf(name, sizeof(name), "\\Device\\HostPort%u", (unsigned)NextPortNumber++);
    WCHAR wide[48];
    size_t i = 0;
    for (; name[i] != '\0'; i++) {
        wide[i] = (WCHAR)name[i];
    }
    wide[i] = 0;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, wide);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PORT_EXTENSION), &deviceName,
                                     FILE_DEVICE_MASS_STORAGE, 0, FALSE, &device);
    if (!NT_SUCCESS(status) || device == nullptr) {
        return nullptr;
    }
    PORT_EXTENSION *ext = static_cast<PORT_EXTENSION *>(device->DeviceExtension);
    ext->Magic = kPortMagic;
    ext->Ops = *Ops;
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void HostDeletePortDevice(PDEVICE_OBJECT PortDevice) {
    PORT_EXTENSION *ext = PortExtension(PortDevice);
    if (ext == nullptr) {
        return;
    }
    ext->Magic = 0;
    IoDeleteDevice(PortDevice);
}

const HOST_PORT_OPS *HostPortDeviceOps(PDEVICE_OBJECT PortDevice) {
    PORT_EXTENSION *ext = PortExtension(PortDevice);
    return ext != nullptr ? &ext->Ops : nullptr;
}

} // extern "C"
