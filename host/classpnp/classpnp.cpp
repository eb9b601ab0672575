/*
 * classpnp.cpp - host stand-in of the storage class-driver library (CLASSPNP): registration
 * of a class driver's callbacks, its dispatch table (create/close, device control, internal
 * requests, read/write through StartIo, plug and play, power), the remove lock, device object
 * creation with the registered extension, claims, descriptors, queue release and synchronous
 * control requests.
 */
#include "../kernel/io_private.h"

#include <classpnp.h>
#include <standin/pnp.h>

#include <set>

#ifndef STATUS_REVISION_MISMATCH
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059)
#endif

namespace {

/* Key of the library's driver object extension. */
char gClassDriverExtensionKey;

std::mutex gClassLock;
std::map<PDEVICE_OBJECT, std::multiset<void *>> gRemoveTags;
std::map<PDEVICE_OBJECT, std::u16string> gDeviceNames;

PCOMMON_DEVICE_EXTENSION Common(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PCOMMON_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

PFUNCTIONAL_DEVICE_EXTENSION Fdo(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

void CompleteWith(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, bool Release) {
    Irp->IoStatus.Status = Status;
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = 0;
    }
    if (Release) {
        ClassReleaseRemoveLock(DeviceObject, Irp);
    }
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
}

/* Completion routine of a request passed down: gives back the remove lock taken for it. */
NTSTATUS NTAPI ReleaseLockOnCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    ClassReleaseRemoveLock(static_cast<PDEVICE_OBJECT>(Context), Irp);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

/* Passes a request (remove lock held) to the lower device; the lock goes with it. */
NTSTATUS ForwardReleasing(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_OBJECT lower = Common(DeviceObject)->LowerDeviceObject;
    if (lower == nullptr) {
        CompleteWith(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, true);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ReleaseLockOnCompletion, DeviceObject, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, Irp);
}

NTSTATUS NTAPI SignalOnCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes a request to the lower device and waits until the lower device completed it; the
 * request is then the caller's again. */
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_OBJECT lower = Common(DeviceObject)->LowerDeviceObject;
    if (lower == nullptr) {
        return STATUS_SUCCESS;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, Irp) == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI ClassAddDeviceDispatch(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    auto ext = static_cast<PCLASS_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, &gClassDriverExtensionKey));
    if (ext == nullptr || ext->InitData.ClassAddDevice == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return ext->InitData.ClassAddDevice(DriverObject, Pdo);
}

VOID NTAPI ClassUnloadDispatch(PDRIVER_OBJECT DriverObject) {
    auto ext = static_cast<PCLASS_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, &gClassDriverExtensionKey));
    if (ext != nullptr && ext->InitData.ClassUnload != nullptr) {
        ext->InitData.ClassUnload(DriverObject);
    }
    if (ext != nullptr && ext->RegistryPath.Buffer != nullptr) {
        free(ext->RegistryPath.Buffer);
        ext->RegistryPath.Buffer = nullptr;
    }
}

NTSTATUS NTAPI ClassCreateCloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    ULONG removed = ClassAcquireRemoveLock(DeviceObject, Irp);
    if (removed != NO_REMOVE && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        CompleteWith(DeviceObject, Irp, STATUS_DEVICE_DOES_NOT_EXIST, true);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    if (common->DevInfo != nullptr && common->DevInfo->ClassCreateClose != nullptr) {
        return common->DevInfo->ClassCreateClose(DeviceObject, Irp);
    }
    CompleteWith(DeviceObject, Irp, STATUS_SUCCESS, true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassDeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    if (ClassAcquireRemoveLock(DeviceObject, Irp) != NO_REMOVE) {
        CompleteWith(DeviceObject, Irp, STATUS_DEVICE_DOES_NOT_EXIST, true);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    if (common->DevInfo != nullptr && common->DevInfo->ClassDeviceControl != nullptr) {
        return common->DevInfo->ClassDeviceControl(DeviceObject, Irp);
    }
    return ClassDeviceControl(DeviceObject, Irp);
}

NTSTATUS NTAPI ClassInternalDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (ClassAcquireRemoveLock(DeviceObject, Irp) != NO_REMOVE) {
        CompleteWith(DeviceObject, Irp, STATUS_DEVICE_DOES_NOT_EXIST, true);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    return ForwardReleasing(DeviceObject, Irp);
}

NTSTATUS NTAPI ClassReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    if (ClassAcquireRemoveLock(DeviceObject, Irp) != NO_REMOVE) {
        CompleteWith(DeviceObject, Irp, STATUS_DEVICE_DOES_NOT_EXIST, true);
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    if (common->DevInfo != nullptr && common->DevInfo->ClassReadWriteVerification != nullptr) {
        NTSTATUS status = common->DevInfo->ClassReadWriteVerification(DeviceObject, Irp);
        if (!NT_SUCCESS(status)) {
            CompleteWith(DeviceObject, Irp, status, true);
            return status;
        }
    }
    if (DeviceObject->DriverObject->DriverStartIo != nullptr) {
        IoMarkIrpPending(Irp);
        IoStartPacket(DeviceObject, Irp, NULL, NULL);
        return STATUS_PENDING;
    }
    return ForwardReleasing(DeviceObject, Irp);
}

NTSTATUS NTAPI ClassFlushDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)ClassAcquireRemoveLock(DeviceObject, Irp);
    Irp->IoStatus.Information = 0;
    CompleteWith(DeviceObject, Irp, STATUS_SUCCESS, true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)ClassAcquireRemoveLock(DeviceObject, Irp);
    return ForwardReleasing(DeviceObject, Irp);
}

NTSTATUS NTAPI ClassPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    (void)ClassAcquireRemoveLock(DeviceObject, Irp);
    if (common->DevInfo != nullptr && common->DevInfo->ClassPowerDevice != nullptr) {
        return common->DevInfo->ClassPowerDevice(DeviceObject, Irp);
    }
    return ForwardReleasing(DeviceObject, Irp);
}

/* Start: the lower device first, then the adapter descriptor, the one-time initialization
 * and the driver's start routine. */
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFUNCTIONAL_DEVICE_EXTENSION fdo = Fdo(DeviceObject);
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        return status;
    }
    if (fdo->AdapterDescriptor != nullptr) {
        ExFreePool(fdo->AdapterDescriptor);
        fdo->AdapterDescriptor = nullptr;
    }
    if (common->LowerDeviceObject != nullptr) {
        STORAGE_PROPERTY_ID property = StorageAdapterProperty;
        PSTORAGE_DESCRIPTOR_HEADER descriptor = nullptr;
        status = ClassGetDescriptor(common->LowerDeviceObject, &property, &descriptor);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        fdo->AdapterDescriptor = reinterpret_cast<PSTORAGE_ADAPTER_DESCRIPTOR>(descriptor);
    }
    if (!common->IsInitialized) {
        if (common->DevInfo->ClassInitDevice != nullptr) {
            status = common->DevInfo->ClassInitDevice(DeviceObject);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        common->IsInitialized = TRUE;
    }
    status = STATUS_SUCCESS;
    if (common->DevInfo->ClassStartDevice != nullptr) {
        status = common->DevInfo->ClassStartDevice(DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        common->PreviousState = common->CurrentState;
        common->CurrentState = IRP_MN_START_DEVICE;
    }
    return status;
}

/* Remove: the driver's callback, the lower device, then the remove lock drains and the device
 * object leaves the stack and is deleted. The remove lock for Irp is released here. */
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFUNCTIONAL_DEVICE_EXTENSION fdo = Fdo(DeviceObject);
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    common->IsRemoved = REMOVE_PENDING;
    NTSTATUS status = STATUS_SUCCESS;
    if (common->DevInfo->ClassRemoveDevice != nullptr) {
        status = common->DevInfo->ClassRemoveDevice(DeviceObject, IRP_MN_REMOVE_DEVICE);
    }
    (void)ForwardAndWait(DeviceObject, Irp);

    ClassReleaseRemoveLock(DeviceObject, Irp);
    if (InterlockedCompareExchange(&common->RemoveLock, 0, 0) != 0) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -300LL * 10000000LL;
        if (KeWaitForSingleObject(&common->RemoveEvent, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            HostVerifierStop("remove lock of device %p unbalanced at removal: %ld acquisitions "
                             "never released",
                             (void *)DeviceObject, (long)common->RemoveLock);
        }
    }
    common->IsRemoved = REMOVE_COMPLETE;
    if (fdo->AdapterDescriptor != nullptr) {
        ExFreePool(fdo->AdapterDescriptor);
        fdo->AdapterDescriptor = nullptr;
    }
    if (fdo->DeviceDescriptor != nullptr) {
        ExFreePool(fdo->DeviceDescriptor);
        fdo->DeviceDescriptor = nullptr;
    }
    if (common->LowerDeviceObject != nullptr) {
        (void)ClassClaimDevice(common->LowerDeviceObject, TRUE);
        IoDetachDevice(common->LowerDeviceObject);
        common->LowerDeviceObject = nullptr;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    {
        std::lock_guard<std::mutex> guard(gClassLock);
        gRemoveTags.erase(DeviceObject);
        gDeviceNames.erase(DeviceObject);
    }
    common->DeviceName.Buffer = nullptr;
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS NTAPI ClassPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    (void)ClassAcquireRemoveLock(DeviceObject, Irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        if (common->DevInfo->ClassRemoveDevice != nullptr) {
            status = common->DevInfo->ClassRemoveDevice(DeviceObject, minor);
        }
        if (minor == IRP_MN_QUERY_REMOVE_DEVICE && !NT_SUCCESS(status)) {
            break;
        }
        if (minor == IRP_MN_SURPRISE_REMOVAL) {
            /* A device that comes back after an unexpected removal is initialized again. */
            common->IsInitialized = FALSE;
        }
        {
            NTSTATUS lower = ForwardAndWait(DeviceObject, Irp);
            if (NT_SUCCESS(status) && !NT_SUCCESS(lower) && lower != STATUS_NOT_SUPPORTED) {
                status = lower;
            }
        }
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (common->DevInfo->ClassStopDevice != nullptr) {
            status = common->DevInfo->ClassStopDevice(DeviceObject, minor);
        }
        if (minor == IRP_MN_QUERY_STOP_DEVICE && !NT_SUCCESS(status)) {
            break;
        }
        if (minor == IRP_MN_STOP_DEVICE) {
            common->PreviousState = common->CurrentState;
            common->CurrentState = IRP_MN_STOP_DEVICE;
        }
        {
            NTSTATUS lower = ForwardAndWait(DeviceObject, Irp);
            if (NT_SUCCESS(status) && !NT_SUCCESS(lower) && lower != STATUS_NOT_SUPPORTED) {
                status = lower;
            }
        }
        break;
    default:
        return ForwardReleasing(DeviceObject, Irp);
    }
    CompleteWith(DeviceObject, Irp, status, true);
    return status;
}

} // namespace

extern "C" {

ULONG NTAPI ClassInitialize(PVOID Argument1, PVOID Argument2, PCLASS_INIT_DATA InitializationData) {
    auto driver = static_cast<PDRIVER_OBJECT>(Argument1);
    auto registryPath = static_cast<PUNICODE_STRING>(Argument2);
    if (driver == nullptr || InitializationData == nullptr ||
        InitializationData->InitializationDataSize != sizeof(CLASS_INIT_DATA)) {
        return (ULONG)STATUS_REVISION_MISMATCH;
    }
    const CLASS_DEV_INFO &fdo = InitializationData->FdoData;
    if (fdo.ClassDeviceControl == nullptr || fdo.ClassStartDevice == nullptr ||
        InitializationData->ClassAddDevice == nullptr ||
        fdo.DeviceExtensionSize < sizeof(FUNCTIONAL_DEVICE_EXTENSION)) {
        return (ULONG)STATUS_REVISION_MISMATCH;
    }
    PVOID block = nullptr;
    NTSTATUS status = IoAllocateDriverObjectExtension(driver, &gClassDriverExtensionKey,
                                                      sizeof(CLASS_DRIVER_EXTENSION), &block);
    if (!NT_SUCCESS(status)) {
        return (ULONG)status;
    }
    auto ext = static_cast<PCLASS_DRIVER_EXTENSION>(block);
    ext->InitData = *InitializationData;
    if (registryPath != nullptr && registryPath->Buffer != nullptr) {
        auto *copy =
            static_cast<PWSTR>(calloc(registryPath->Length / sizeof(WCHAR) + 1, sizeof(WCHAR)));
        if (copy != nullptr) {
            memcpy(copy, registryPath->Buffer, registryPath->Length);
            ext->RegistryPath.Buffer = copy;
            ext->RegistryPath.Length = registryPath->Length;
            ext->RegistryPath.MaximumLength = (USHORT)(registryPath->Length + sizeof(WCHAR));
        }
    }
    driver->MajorFunction[IRP_MJ_CREATE] = ClassCreateCloseDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = ClassCreateCloseDispatch;
    driver->MajorFunction[IRP_MJ_READ] = ClassReadWriteDispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = ClassReadWriteDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ClassDeviceControlDispatch;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ClassInternalDispatch;
    driver->MajorFunction[IRP_MJ_SHUTDOWN] = ClassFlushDispatch;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = ClassFlushDispatch;
    driver->MajorFunction[IRP_MJ_PNP] = ClassPnpDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = ClassPowerDispatch;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ClassSystemControlDispatch;
    if (InitializationData->ClassStartIo != nullptr) {
        driver->DriverStartIo = InitializationData->ClassStartIo;
    }
    driver->DriverUnload = ClassUnloadDispatch;
    if (driver->DriverExtension != nullptr) {
        driver->DriverExtension->AddDevice = ClassAddDeviceDispatch;
    }
    return (ULONG)STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassCreateDeviceObject(PDRIVER_OBJECT DriverObject, PCCHAR ObjectNameBuffer,
                                       PDEVICE_OBJECT LowerDeviceObject, BOOLEAN IsFdo,
                                       PDEVICE_OBJECT *DeviceObject) {
    UNREFERENCED_PARAMETER(LowerDeviceObject);
    HostVerifierCheckPassive("ClassCreateDeviceObject");
    *DeviceObject = nullptr;
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultCreateDeviceObject, &injected)) {
        return injected != 0 ? injected : STATUS_INSUFFICIENT_RESOURCES;
    }
    auto ext = static_cast<PCLASS_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(DriverObject, &gClassDriverExtensionKey));
    if (ext == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PCLASS_DEV_INFO info = IsFdo ? &ext->InitData.FdoData : &ext->InitData.PdoData;
    std::u16string name = hostio::ToUtf16(ObjectNameBuffer != nullptr ? ObjectNameBuffer : "");
    UNICODE_STRING unicodeName;
    unicodeName.Buffer = const_cast<PWSTR>(name.c_str());
    unicodeName.Length = (USHORT)(name.size() * sizeof(WCHAR));
    unicodeName.MaximumLength = (USHORT)((name.size() + 1) * sizeof(WCHAR));
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, info->DeviceExtensionSize,
                                     name.empty() ? nullptr : &unicodeName, info->DeviceType,
                                     info->DeviceCharacteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PCOMMON_DEVICE_EXTENSION common = Common(device);
    common->Version = 3;
    common->DeviceObject = device;
    common->IsFdo = IsFdo ? 1 : 0;
    common->DriverExtension = ext;
    common->RemoveLock = 0;
    KeInitializeEvent(&common->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&common->PathCountEvent, SynchronizationEvent, FALSE);
    common->DevInfo = info;
    common->PreviousState = 0xFF;
    common->CurrentState = 0xFF;
    common->DriverData = IsFdo ? (PVOID)(Fdo(device) + 1)
                               : (PVOID)((PPHYSICAL_DEVICE_EXTENSION)device->DeviceExtension + 1);
    if (IsFdo) {
        common->PartitionZeroExtension = Fdo(device);
        KeInitializeEvent(&Fdo(device)->EjectSynchronizationEvent, SynchronizationEvent, TRUE);
        KeInitializeEvent(&Fdo(device)->ChildLock, SynchronizationEvent, TRUE);
        KeInitializeSpinLock(&Fdo(device)->ReleaseQueueSpinLock);
    }
    {
        std::lock_guard<std::mutex> guard(gClassLock);
        std::u16string &stored = gDeviceNames[device];
        stored = name;
        common->DeviceName.Buffer = const_cast<PWSTR>(stored.c_str());
        common->DeviceName.Length = (USHORT)(stored.size() * sizeof(WCHAR));
        common->DeviceName.MaximumLength = (USHORT)((stored.size() + 1) * sizeof(WCHAR));
    }
    ext->DeviceCount++;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassClaimDevice(PDEVICE_OBJECT LowerDeviceObject, BOOLEAN Release) {
    HostVerifierCheckPassive("ClassClaimDevice");
    hostio::DeviceRecord *record = hostio::Record(LowerDeviceObject);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Release) {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        record->Claimed = false;
        return STATUS_SUCCESS;
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultClaimDevice, &injected)) {
        return injected != 0 ? injected : STATUS_DEVICE_BUSY;
    }
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    if (record->Claimed) {
        return STATUS_DEVICE_BUSY;
    }
    record->Claimed = true;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassGetDescriptor(PDEVICE_OBJECT DeviceObject, PSTORAGE_PROPERTY_ID PropertyId,
                                  PSTORAGE_DESCRIPTOR_HEADER *Descriptor) {
    HostVerifierCheckPassive("ClassGetDescriptor");
    if (*Descriptor != nullptr) {
        ExFreePool(*Descriptor);
        *Descriptor = nullptr;
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultGetDescriptor, &injected)) {
        return injected != 0 ? injected : STATUS_IO_DEVICE_ERROR;
    }
    union {
        STORAGE_PROPERTY_QUERY Query;
        STORAGE_DESCRIPTOR_HEADER Header;
    } probe;
    memset(&probe, 0, sizeof(probe));
    probe.Query.PropertyId = *PropertyId;
    probe.Query.QueryType = PropertyStandardQuery;
    IO_STATUS_BLOCK iosb;
    ClassSendDeviceIoControlSynchronous(IOCTL_STORAGE_QUERY_PROPERTY, DeviceObject, &probe,
                                        sizeof(STORAGE_PROPERTY_QUERY),
                                        sizeof(STORAGE_DESCRIPTOR_HEADER), FALSE, &iosb);
    if (!NT_SUCCESS(iosb.Status)) {
        return iosb.Status;
    }
    ULONG size = probe.Header.Size;
    if (size < sizeof(STORAGE_DESCRIPTOR_HEADER)) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG bufferSize =
        size > sizeof(STORAGE_PROPERTY_QUERY) ? size : (ULONG)sizeof(STORAGE_PROPERTY_QUERY);
    auto buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bufferSize, HostPoolTag("ScsD")));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(buffer, 0, bufferSize);
    auto query = reinterpret_cast<PSTORAGE_PROPERTY_QUERY>(buffer);
    query->PropertyId = *PropertyId;
    query->QueryType = PropertyStandardQuery;
    ClassSendDeviceIoControlSynchronous(IOCTL_STORAGE_QUERY_PROPERTY, DeviceObject, buffer,
                                        sizeof(STORAGE_PROPERTY_QUERY), size, FALSE, &iosb);
    if (!NT_SUCCESS(iosb.Status)) {
        ExFreePool(buffer);
        return iosb.Status;
    }
    *Descriptor = reinterpret_cast<PSTORAGE_DESCRIPTOR_HEADER>(buffer);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClassDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return ForwardReleasing(DeviceObject, Irp);
}

NTSTATUS NTAPI ClassInternalIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return ForwardReleasing(DeviceObject, Irp);
}

ULONG NTAPI ClassAcquireRemoveLockEx(PDEVICE_OBJECT DeviceObject, PVOID Tag, PCSTR File,
                                     ULONG Line) {
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    {
        std::lock_guard<std::mutex> guard(gClassLock);
        gRemoveTags[DeviceObject].insert(Tag);
    }
    InterlockedIncrement(&common->RemoveLock);
    return common->IsRemoved;
}

VOID NTAPI ClassReleaseRemoveLock(PDEVICE_OBJECT DeviceObject, PIRP Tag) {
    PCOMMON_DEVICE_EXTENSION common = Common(DeviceObject);
    {
        std::lock_guard<std::mutex> guard(gClassLock);
        auto tags = gRemoveTags.find(DeviceObject);
        auto tag =
            tags != gRemoveTags.end() ? tags->second.find(Tag) : std::multiset<void *>::iterator();
        if (tags == gRemoveTags.end() || tag == tags->second.end()) {
            HostVerifierStop("remove lock of device %p released for tag %p without an "
                             "acquisition",
                             (void *)DeviceObject, (void *)Tag);
            return;
        }
        tags->second.erase(tag);
    }
    LONG count = InterlockedDecrement(&common->RemoveLock);
    if (count < 0) {
        HostVerifierStop("remove lock of device %p released more often than acquired",
                         (void *)DeviceObject);
    }
    if (count == 0 && common->IsRemoved != NO_REMOVE) {
        KeSetEvent(&common->RemoveEvent, 0, FALSE);
    }
}

VOID NTAPI ClassCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoCompleteRequest(Irp, PriorityBoost);
}

VOID NTAPI ClassReleaseQueue(PDEVICE_OBJECT DeviceObject) {
    HostVerifierCheckIrql("ClassReleaseQueue", DISPATCH_LEVEL);
    PDEVICE_OBJECT lower = Common(DeviceObject)->LowerDeviceObject;
    if (lower == nullptr) {
        return;
    }
    PIRP irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    if (irp == nullptr) {
        return;
    }
    SCSI_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof(srb));
    srb.Length = (USHORT)sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_RELEASE_QUEUE;
    srb.OriginalRequest = irp;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = &srb;
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
}

VOID NTAPI ClassSendDeviceIoControlSynchronous(ULONG IoControlCode,
                                               PDEVICE_OBJECT TargetDeviceObject, PVOID Buffer,
                                               ULONG InputBufferLength, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl,
                                               PIO_STATUS_BLOCK IoStatus) {
    HostVerifierCheckPassive("ClassSendDeviceIoControlSynchronous");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoStatus->Status = STATUS_PENDING;
    IoStatus->Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, TargetDeviceObject, Buffer,
                                             InputBufferLength, Buffer, OutputBufferLength,
                                             InternalDeviceIoControl, &done, IoStatus);
    if (irp == nullptr) {
        IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
        IoStatus->Information = 0;
        return;
    }
    NTSTATUS status = IoCallDriver(TargetDeviceObject, irp);
    if (status == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
}

NTSTATUS NTAPI ClassStopUnitPowerHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // extern "C"

LONG HostClassRemoveLockCount(PDEVICE_OBJECT Fdo) {
    return Common(Fdo)->RemoveLock;
}

PCLASS_DRIVER_EXTENSION HostClassDriverExtension(PDRIVER_OBJECT Driver) {
    return static_cast<PCLASS_DRIVER_EXTENSION>(
        IoGetDriverObjectExtension(Driver, &gClassDriverExtensionKey));
}
