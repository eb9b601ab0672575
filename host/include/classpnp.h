/*
 * classpnp.h - host stand-in of the storage class-driver library's header: the registration
 * block (CLASS_INIT_DATA, CLASS_DEV_INFO, the callback types), the device extensions
 * (COMMON_DEVICE_EXTENSION, FUNCTIONAL_DEVICE_EXTENSION with its CommonExtension union) and the
 * library routines a class driver calls. Names and signatures are the driver kit's; the
 * extension layouts are the stand-in's own (the members a class driver uses are all there).
 */
#pragma once

#include <ntddk.h>
#include <srb.h>
#include <scsi.h>
#include <ntddscsi.h>
#include <ntddstor.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CLASS_SPECIAL_DISABLE_SPIN_DOWN 0x00000001

/* IsRemoved values of the common extension. */
#define NO_REMOVE 0
#define REMOVE_PENDING 1
#define REMOVE_COMPLETE 2

typedef enum { EventGeneration, DataBlockCollection } CLASSENABLEDISABLEFUNCTION;

struct _CLASS_INIT_DATA;
typedef struct _CLASS_INIT_DATA CLASS_INIT_DATA, *PCLASS_INIT_DATA;

typedef VOID(NTAPI *PCLASS_ERROR)(PDEVICE_OBJECT DeviceObject, PSCSI_REQUEST_BLOCK Srb,
                                  NTSTATUS *Status, BOOLEAN *Retry);
typedef NTSTATUS(NTAPI *PCLASS_ADD_DEVICE)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
typedef NTSTATUS(NTAPI *PCLASS_POWER_DEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI *PCLASS_START_DEVICE)(PDEVICE_OBJECT DeviceObject);
typedef NTSTATUS(NTAPI *PCLASS_STOP_DEVICE)(PDEVICE_OBJECT DeviceObject, UCHAR Type);
typedef NTSTATUS(NTAPI *PCLASS_INIT_DEVICE)(PDEVICE_OBJECT DeviceObject);
typedef NTSTATUS(NTAPI *PCLASS_ENUM_DEVICE)(PDEVICE_OBJECT DeviceObject);
typedef NTSTATUS(NTAPI *PCLASS_READ_WRITE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI *PCLASS_DEVICE_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI *PCLASS_SHUTDOWN_FLUSH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI *PCLASS_CREATE_CLOSE)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI *PCLASS_QUERY_ID)(PDEVICE_OBJECT DeviceObject, BUS_QUERY_ID_TYPE IdType,
                                         PUNICODE_STRING IdString);
typedef NTSTATUS(NTAPI *PCLASS_REMOVE_DEVICE)(PDEVICE_OBJECT DeviceObject, UCHAR Type);
typedef VOID(NTAPI *PCLASS_UNLOAD)(PDRIVER_OBJECT DriverObject);
typedef NTSTATUS(NTAPI *PCLASS_QUERY_PNP_CAPABILITIES)(PDEVICE_OBJECT PhysicalDeviceObject,
                                                       PDEVICE_CAPABILITIES Capabilities);
typedef VOID(NTAPI *PCLASS_TICK)(PDEVICE_OBJECT DeviceObject);
typedef NTSTATUS(NTAPI *PCLASS_QUERY_WMI_REGINFO)(PDEVICE_OBJECT DeviceObject, ULONG *RegFlags,
                                                  PUNICODE_STRING Name);
typedef NTSTATUS(NTAPI *PCLASS_QUERY_WMI_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                    ULONG GuidIndex, ULONG BufferAvail,
                                                    PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PCLASS_SET_WMI_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  ULONG GuidIndex, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PCLASS_SET_WMI_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                 ULONG GuidIndex, ULONG DataItemId,
                                                 ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PCLASS_EXECUTE_WMI_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   ULONG GuidIndex, ULONG MethodId,
                                                   ULONG InBufferSize, ULONG OutBufferSize,
                                                   PUCHAR Buffer);
typedef NTSTATUS(NTAPI *PCLASS_WMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                     ULONG GuidIndex,
                                                     CLASSENABLEDISABLEFUNCTION Function,
                                                     BOOLEAN Enable);

typedef struct {
    GUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} GUIDREGINFO, *PGUIDREGINFO;

typedef struct _CLASS_WMI_INFO {
    ULONG GuidCount;
    PGUIDREGINFO GuidRegInfo;
    PCLASS_QUERY_WMI_REGINFO ClassQueryWmiRegInfo;
    PCLASS_QUERY_WMI_DATABLOCK ClassQueryWmiDataBlock;
    PCLASS_SET_WMI_DATABLOCK ClassSetWmiDataBlock;
    PCLASS_SET_WMI_DATAITEM ClassSetWmiDataItem;
    PCLASS_EXECUTE_WMI_METHOD ClassExecuteWmiMethod;
    PCLASS_WMI_FUNCTION_CONTROL ClassWmiFunctionControl;
} CLASS_WMI_INFO, *PCLASS_WMI_INFO;

typedef struct _CLASS_DEV_INFO {
    ULONG DeviceExtensionSize;
    DEVICE_TYPE DeviceType;
    UCHAR StackSize;
    ULONG DeviceCharacteristics;
    PCLASS_ERROR ClassError;
    PCLASS_READ_WRITE ClassReadWriteVerification;
    PCLASS_DEVICE_CONTROL ClassDeviceControl;
    PCLASS_SHUTDOWN_FLUSH ClassShutdownFlush;
    PCLASS_CREATE_CLOSE ClassCreateClose;
    PCLASS_INIT_DEVICE ClassInitDevice;
    PCLASS_START_DEVICE ClassStartDevice;
    PCLASS_POWER_DEVICE ClassPowerDevice;
    PCLASS_STOP_DEVICE ClassStopDevice;
    PCLASS_REMOVE_DEVICE ClassRemoveDevice;
    PCLASS_QUERY_PNP_CAPABILITIES ClassQueryPnpCapabilities;
    CLASS_WMI_INFO ClassWmiInfo;
} CLASS_DEV_INFO, *PCLASS_DEV_INFO;

struct _CLASS_INIT_DATA {
    ULONG InitializationDataSize;
    CLASS_DEV_INFO FdoData;
    CLASS_DEV_INFO PdoData;
    PCLASS_ADD_DEVICE ClassAddDevice;
    PCLASS_ENUM_DEVICE ClassEnumerateDevice;
    PCLASS_QUERY_ID ClassQueryId;
    PDRIVER_STARTIO ClassStartIo;
    PCLASS_UNLOAD ClassUnload;
    PCLASS_TICK ClassTick;
};

typedef struct _CLASS_DRIVER_EXTENSION {
    UNICODE_STRING RegistryPath;
    CLASS_INIT_DATA InitData;
    ULONG DeviceCount;
} CLASS_DRIVER_EXTENSION, *PCLASS_DRIVER_EXTENSION;

struct _FUNCTIONAL_DEVICE_EXTENSION;
struct _PHYSICAL_DEVICE_EXTENSION;

typedef struct _COMMON_DEVICE_EXTENSION {
    ULONG Version;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    struct _FUNCTIONAL_DEVICE_EXTENSION *PartitionZeroExtension;
    PCLASS_DRIVER_EXTENSION DriverExtension;
    LONG RemoveLock;
    KEVENT RemoveEvent;
    KSPIN_LOCK RemoveTrackingSpinlock;
    PVOID RemoveTrackingList;
    LONG RemoveTrackingUntrackedCount;
    PVOID DriverData;
    struct {
        BOOLEAN IsFdo : 1;
        BOOLEAN IsInitialized : 1;
        BOOLEAN IsSrbLookasideListInitialized : 1;
    };
    UCHAR PreviousState;
    UCHAR CurrentState;
    ULONG IsRemoved;
    UNICODE_STRING DeviceName;
    struct _PHYSICAL_DEVICE_EXTENSION *ChildList;
    ULONG PartitionNumber;
    LARGE_INTEGER PartitionLength;
    LARGE_INTEGER StartingOffset;
    PCLASS_DEV_INFO DevInfo;
    ULONG PagingPathCount;
    ULONG DumpPathCount;
    ULONG HibernationPathCount;
    KEVENT PathCountEvent;
    UNICODE_STRING MountedDeviceInterfaceName;
    ULONG GuidCount;
    PGUIDREGINFO GuidRegInfo;
    ULONG_PTR Reserved1;
    ULONG_PTR Reserved2;
    ULONG_PTR Reserved3;
    ULONG_PTR Reserved4;
} COMMON_DEVICE_EXTENSION, *PCOMMON_DEVICE_EXTENSION;

typedef struct _PHYSICAL_DEVICE_EXTENSION {
    union {
        struct {
            ULONG Version;
            PDEVICE_OBJECT DeviceObject;
        };
        COMMON_DEVICE_EXTENSION CommonExtension;
    };
    BOOLEAN IsMissing;
    BOOLEAN IsEnumerated;
    ULONG_PTR Reserved1;
    ULONG_PTR Reserved2;
    ULONG_PTR Reserved3;
    ULONG_PTR Reserved4;
} PHYSICAL_DEVICE_EXTENSION, *PPHYSICAL_DEVICE_EXTENSION;

typedef struct _FUNCTIONAL_DEVICE_EXTENSION {
    union {
        struct {
            ULONG Version;
            PDEVICE_OBJECT DeviceObject;
        };
        COMMON_DEVICE_EXTENSION CommonExtension;
    };
    PDEVICE_OBJECT LowerPdo;
    PSTORAGE_DEVICE_DESCRIPTOR DeviceDescriptor;
    PSTORAGE_ADAPTER_DESCRIPTOR AdapterDescriptor;
    DEVICE_POWER_STATE DevicePowerState;
    ULONG DMByteSkew;
    ULONG DMSkew;
    BOOLEAN DMActive;
    PSENSE_DATA SenseData;
    ULONG TimeOutValue;
    ULONG DeviceNumber;
    ULONG SrbFlags;
    ULONG ErrorCount;
    LONG LockCount;
    LONG ProtectedLockCount;
    LONG InternalLockCount;
    KEVENT EjectSynchronizationEvent;
    USHORT DeviceFlags;
    UCHAR SectorShift;
    UCHAR ReservedByte;
    PVOID MediaChangeDetectionInfo;
    PKEVENT Unused1;
    HANDLE Unused2;
    ULONG MediaChangeCount;
    HANDLE DeviceDirectory;
    KSPIN_LOCK ReleaseQueueSpinLock;
    PIRP ReleaseQueueIrp;
    SCSI_REQUEST_BLOCK ReleaseQueueSrb;
    BOOLEAN ReleaseQueueNeeded;
    BOOLEAN ReleaseQueueInProgress;
    BOOLEAN ReleaseQueueIrpFromPool;
    BOOLEAN FailurePredicted;
    ULONG FailureReason;
    BOOLEAN PowerDownInProgress;
    ULONG EnumerationInterlock;
    KEVENT ChildLock;
    PKTHREAD ChildLockOwner;
    ULONG ChildLockAcquisitionCount;
    ULONG ScanForSpecialFlags;
    PVOID PrivateFdoData;
    ULONG_PTR Reserved2;
    ULONG_PTR Reserved3;
    ULONG_PTR Reserved4;
} FUNCTIONAL_DEVICE_EXTENSION, *PFUNCTIONAL_DEVICE_EXTENSION;

ULONG NTAPI ClassInitialize(PVOID Argument1, PVOID Argument2, PCLASS_INIT_DATA InitializationData);
NTSTATUS NTAPI ClassCreateDeviceObject(PDRIVER_OBJECT DriverObject, PCCHAR ObjectNameBuffer,
                                       PDEVICE_OBJECT LowerDeviceObject, BOOLEAN IsFdo,
                                       PDEVICE_OBJECT *DeviceObject);
NTSTATUS NTAPI ClassClaimDevice(PDEVICE_OBJECT LowerDeviceObject, BOOLEAN Release);
NTSTATUS NTAPI ClassGetDescriptor(PDEVICE_OBJECT DeviceObject, PSTORAGE_PROPERTY_ID PropertyId,
                                  PSTORAGE_DESCRIPTOR_HEADER *Descriptor);
NTSTATUS NTAPI ClassDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI ClassInternalIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
ULONG NTAPI ClassAcquireRemoveLockEx(PDEVICE_OBJECT DeviceObject, PVOID Tag, PCSTR File,
                                     ULONG Line);
#define ClassAcquireRemoveLock(devobj, tag)                                                        \
    ClassAcquireRemoveLockEx(devobj, tag, __FILE__, __LINE__)
VOID NTAPI ClassReleaseRemoveLock(PDEVICE_OBJECT DeviceObject, PIRP Tag);
VOID NTAPI ClassCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, CCHAR PriorityBoost);
VOID NTAPI ClassReleaseQueue(PDEVICE_OBJECT DeviceObject);
VOID NTAPI ClassSendDeviceIoControlSynchronous(ULONG IoControlCode,
                                               PDEVICE_OBJECT TargetDeviceObject, PVOID Buffer,
                                               ULONG InputBufferLength, ULONG OutputBufferLength,
                                               BOOLEAN InternalDeviceIoControl,
                                               PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI ClassStopUnitPowerHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#ifdef __cplusplus
}
#endif
