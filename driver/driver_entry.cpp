/*
 * driver_entry.cpp - how the recorder driver joins the system: registration with the storage
 * class library, creation and numbering of one functional device object per recorder (or
 * desktop unit) that a storage port reports, and the small callbacks for create/close, start,
 * stop, start-I/O and unload.
 */
#include "writer.h"
#include "../cachedrive/cachedrive_requests.h"

/*
 * Devices created since the driver was loaded, by kind. Their sum is the next device's
 * number; numbers are never reused while the driver stays loaded.
 */
ULONG RecorderCount = 0;
ULONG DesktopUnitCount = 0;

/* Inquiry identity of a desktop unit: the whole vendor field and the start of the product. */
static const CHAR DesktopUnitVendor[8] = {'K', 'O', 'R', 'V', 'O', ' ', ' ', ' '};
static const CHAR DesktopUnitProduct[7] = {'D', 'E', 'S', 'K', 'T', 'O', 'P'};

#define DEVICE_NAME_CHARS 64

static BOOLEAN CdRecorderIsDesktopUnit(PSTORAGE_DEVICE_DESCRIPTOR Descriptor);

extern "C" CDW_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                    PUNICODE_STRING RegistryPath)
/*++

Routine Description:

    Entry point of the driver. Hands the class library the block of callbacks through which it
    drives every recorder, and prepares the driver-wide cache-drive table. Once a device has
    been created the routine does nothing more, so a repeated call cannot register twice or
    empty a table that recorders already use.

    Runs once at load, at PASSIVE_LEVEL; discarded after initialization.

Arguments:

    DriverObject - the driver object the system created for this driver.
    RegistryPath - the driver's service key; passed to the class library only.

Return Value:

    The status of the class library's registration, STATUS_SUCCESS on a repeated call, or the
    code of an exception raised inside.

--*/
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS code;

    if (!CdwGuarded(
            [&] {
                if (RecorderCount + DesktopUnitCount != 0) {
                    DbgPrint("Burnkit: DriverEntry re-called, returning\n");
                    status = STATUS_SUCCESS;
                    return;
                }

                DbgPrint("Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n");

                CLASS_INIT_DATA initData;
                RtlZeroMemory(&initData, sizeof(initData));
                initData.InitializationDataSize = sizeof(CLASS_INIT_DATA);
                initData.FdoData.DeviceExtensionSize =
                    sizeof(FUNCTIONAL_DEVICE_EXTENSION) + sizeof(WriterExtension);
                initData.FdoData.DeviceType = FILE_DEVICE_UNKNOWN;
                initData.FdoData.DeviceCharacteristics = 0;
                initData.FdoData.ClassDeviceControl = CdRecorderDeviceControl;
                initData.FdoData.ClassCreateClose = CdRecorderCreateClose;
                initData.FdoData.ClassInitDevice = CdRecorderInitDevice;
                initData.FdoData.ClassStartDevice = CdRecorderStartDevice;
                initData.FdoData.ClassPowerDevice = ClassStopUnitPowerHandler;
                initData.FdoData.ClassStopDevice = CdRecorderStopDevice;
                initData.FdoData.ClassRemoveDevice = CdRecorderRemoveDevice;
                initData.ClassAddDevice = CdRecorderAddDevice;
                initData.ClassStartIo = CdRecorderStartIo;
                initData.ClassUnload = CdRecorderUnload;

                status = (NTSTATUS)ClassInitialize(DriverObject, RegistryPath, &initData);
                if (status != STATUS_SUCCESS) {
                    DbgPrint("Burnkit: DriverEntry: ClassInitialize failed, status = %XH\n",
                             status);
                }

                InitializeListHead(&CacheDriveList);
                KeInitializeSpinLock(&CacheDriveListLock);
                CdwDownloadLockTableInitialize();
            },
            &code)) {
        DbgPrint("Burnkit: DriverEntry - Exception! GetExceptionCode() = 0x%08X\n", code);
        status = code;
    }
    return status;
}

CDW_PAGED_CODE NTSTATUS NTAPI CdRecorderAddDevice(PDRIVER_OBJECT DriverObject,
                                                  PDEVICE_OBJECT PhysicalDeviceObject)
/*++

Routine Description:

    Add-device callback of the class library: creates the functional device object for a
    storage port's device. A failure of the creation is reported through debug output only;
    the plug-and-play manager is always told that the call succeeded.

    Runs at PASSIVE_LEVEL on the plug-and-play thread, one call at a time; pageable.

Arguments:

    DriverObject - this driver.
    PhysicalDeviceObject - the port's device for the recorder.

Return Value:

    STATUS_SUCCESS.

--*/
{
    PAGED_CODE();

    (void)CdRecorderCreateFdo(DriverObject, PhysicalDeviceObject);
    return STATUS_SUCCESS;
}

CDW_PAGED_CODE NTSTATUS CdRecorderCreateFdo(PDRIVER_OBJECT DriverObject,
                                            PDEVICE_OBJECT PhysicalDeviceObject)
/*++

Routine Description:

    Claims the port's device, creates the functional device object "\Device\CdWriter<n>" with
    the next device number, attaches it above the port's device and tells a desktop unit apart
    from a recorder by the inquiry identity. The device counters change only when the device
    exists at the end, so a failed creation leaves its number to the next device.

    Runs at PASSIVE_LEVEL on the plug-and-play thread; pageable.

Arguments:

    DriverObject - this driver.
    PhysicalDeviceObject - the port's device for the recorder.

Return Value:

    STATUS_SUCCESS, the status of a failed claim or creation, or STATUS_UNSUCCESSFUL when the
    device could not be attached.

--*/
{
    PAGED_CODE();

    NTSTATUS status;
    PDEVICE_OBJECT fdo = NULL;
    PDEVICE_OBJECT lowerDevice = IoGetAttachedDeviceReference(PhysicalDeviceObject);

    status = ClassClaimDevice(lowerDevice, FALSE);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(lowerDevice);
        DbgPrint("Burnkit: ClassClaimDevice %d failed! %XH\n", RecorderCount, status);
        return status;
    }

    ULONG deviceNumber = RecorderCount + DesktopUnitCount;
    CHAR deviceName[DEVICE_NAME_CHARS];
    sprintf(deviceName, "\\Device\\CdWriter%d", (int)deviceNumber);

    status = ClassCreateDeviceObject(DriverObject, deviceName, PhysicalDeviceObject, TRUE, &fdo);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ClassCreateDeviceObjects failed for '%s'\n", deviceName);
        fdo = NULL;
    } else {
        fdo->Flags |= DO_DIRECT_IO;
        /*
         * The device's security descriptor (the installation's, for the device class) also
         * governs opens of names below the device's: any handle may send any command block.
         */
        fdo->Characteristics |= FILE_DEVICE_SECURE_OPEN;

        auto *fdoExtension = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
        fdoExtension->CommonExtension.DeviceObject = fdo;
        fdoExtension->CommonExtension.PartitionZeroExtension = fdoExtension;
        fdoExtension->LockCount = 0;
        fdoExtension->DeviceNumber = deviceNumber;
        fdoExtension->AdapterDescriptor = NULL;
        fdoExtension->DeviceDescriptor = NULL;
        fdoExtension->SrbFlags = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
        fdoExtension->LowerPdo = PhysicalDeviceObject;

        if (lowerDevice->AlignmentRequirement > fdo->AlignmentRequirement) {
            fdo->AlignmentRequirement = lowerDevice->AlignmentRequirement;
        }

        fdoExtension->CommonExtension.LowerDeviceObject =
            IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
        if (fdoExtension->CommonExtension.LowerDeviceObject == NULL) {
            DbgPrint("Burnkit: IoAttachDeviceToDeviceStack failed");
            status = STATUS_UNSUCCESSFUL;
        } else {
            fdo->StackSize++;

            BOOLEAN desktopUnit = FALSE;
            STORAGE_PROPERTY_ID propertyId = StorageDeviceProperty;
            PSTORAGE_DESCRIPTOR_HEADER descriptor = NULL;
            NTSTATUS descriptorStatus = ClassGetDescriptor(lowerDevice, &propertyId, &descriptor);
            if (!NT_SUCCESS(descriptorStatus)) {
                DbgPrint("Burnkit: ClassGetDescriptor failed");
                descriptor = NULL;
            }
            fdoExtension->DeviceDescriptor =
                reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(descriptor);
            if (fdoExtension->DeviceDescriptor != NULL) {
                desktopUnit = CdRecorderIsDesktopUnit(fdoExtension->DeviceDescriptor);
            }

            PWriterExtension writer = CdwWriterExtension(fdo);
            writer->bDesktopUnit = desktopUnit;
            if (desktopUnit) {
                DesktopUnitCount++;
            } else {
                RecorderCount++;
            }
            ObDereferenceObject(lowerDevice);
            fdo->Flags &= ~DO_DEVICE_INITIALIZING;
            return STATUS_SUCCESS;
        }
    }

    /* Creation failed after the claim: give the port's device back untouched. */
    (void)ClassClaimDevice(lowerDevice, TRUE);
    ObDereferenceObject(lowerDevice);
    if (fdo != NULL) {
        IoDeleteDevice(fdo);
    }
    return status;
}

static BOOLEAN CdRecorderIsDesktopUnit(PSTORAGE_DEVICE_DESCRIPTOR Descriptor)
/*++

Routine Description:

    Tells whether a device's inquiry identity names a desktop unit: the vendor field is
    "KORVO   " in full and the product field begins "DESKTOP". An identification field that
    the descriptor does not carry, or that would reach past its end, does not match.

Arguments:

    Descriptor - the device's storage device descriptor.

Return Value:

    TRUE for a desktop unit.

--*/
{
    ULONG size = Descriptor->Size;
    ULONG vendorOffset = Descriptor->VendorIdOffset;
    ULONG productOffset = Descriptor->ProductIdOffset;

    if (vendorOffset == 0 || productOffset == 0 || size < sizeof(DesktopUnitVendor) ||
        size < sizeof(DesktopUnitProduct) || vendorOffset > size - sizeof(DesktopUnitVendor) ||
        productOffset > size - sizeof(DesktopUnitProduct)) {
        return FALSE;
    }

    PUCHAR base = reinterpret_cast<PUCHAR>(Descriptor);
    return RtlCompareMemory(base + vendorOffset, DesktopUnitVendor, sizeof(DesktopUnitVendor)) ==
               sizeof(DesktopUnitVendor) &&
           RtlCompareMemory(base + productOffset, DesktopUnitProduct, sizeof(DesktopUnitProduct)) ==
               sizeof(DesktopUnitProduct);
}

CDW_PAGED_CODE NTSTATUS NTAPI CdRecorderCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    Create/close callback of the class library. Notes whether an application has the device
    open (a flag, not a count: the first close clears it); removal refuses an open device.
    Every request that is not a create is treated as a close.

    Runs at PASSIVE_LEVEL in the caller's thread, with the remove lock held for the request;
    pageable.

Arguments:

    DeviceObject - the recorder's functional device object.
    Irp - the create or close request; completed here.

Return Value:

    STATUS_SUCCESS.

--*/
{
    PAGED_CODE();

    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->MajorFunction == IRP_MJ_CREATE) {
        DbgPrint("Burnkit[%d]: Create\n", CdwDeviceNumber(DeviceObject));
        writer->bDeviceOpen = TRUE;
    } else {
        DbgPrint("Burnkit[%d]: Close\n", CdwDeviceNumber(DeviceObject));
        writer->bDeviceOpen = FALSE;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CdRecorderStartDevice(PDEVICE_OBJECT DeviceObject)
/*++

Routine Description:

    Start callback of the class library. All start-up work happens once, in the
    initialization callback that the library calls before the first start.

    Runs at PASSIVE_LEVEL on the plug-and-play thread.

Arguments:

    DeviceObject - the functional device object being started.

Return Value:

    STATUS_SUCCESS.

--*/
{
    UNREFERENCED_PARAMETER(DeviceObject);
    DbgPrint("Burnkit: CdRecorderStartDevice\n");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CdRecorderStopDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type)
/*++

Routine Description:

    Stop callback of the class library, for a query-stop, a cancel-stop or a stop. The
    recorder has nothing to stop: its threads and buffers live until removal.

    Runs at PASSIVE_LEVEL on the plug-and-play thread.

Arguments:

    DeviceObject - the functional device object.
    Type - the plug-and-play minor function.

Return Value:

    STATUS_SUCCESS.

--*/
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Type);
    DbgPrint("Burnkit: CdRecorderStopDevice\n");
    return STATUS_SUCCESS;
}

VOID NTAPI CdRecorderStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp)
/*++

Routine Description:

    Start-I/O callback, reached by read and write requests that the class library queued for
    the device. The recorder does all its work through control requests and has no read or
    write path of its own, so such a request is failed with STATUS_INVALID_DEVICE_REQUEST
    rather than handed to the port unprepared. The next queued packet is started before this
    one completes, so the device's queue never stalls behind it.

    Runs at DISPATCH_LEVEL or below.

Arguments:

    DeviceObject - the functional device object.
    Irp - the request; its remove lock is released and it is completed here.

Return Value:

    None.

--*/
{
    DbgPrint("Burnkit[%d]: CdRecorderStartIo\n", CdwDeviceNumber(DeviceObject));

    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoStartNextPacket(DeviceObject, FALSE);
    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
}

CDW_PAGED_CODE VOID NTAPI CdRecorderUnload(PDRIVER_OBJECT DriverObject)
/*++

Routine Description:

    Unload callback of the class library, called after every device has been removed. Frees
    the cache-drive records, which no device can reach any more.

    Runs at PASSIVE_LEVEL; pageable.

Arguments:

    DriverObject - this driver.

Return Value:

    None.

--*/
{
    PAGED_CODE();

    DbgPrint("Burnkit.sys DriverObject 0x%08X unloading\n", (ULONG)(ULONG_PTR)DriverObject);
    TesselCacheDriveFreeAll();
}
