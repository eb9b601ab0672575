/*
 * standin/io.h - host set-up API of the I/O manager stand-in: the application side of the
 * user/kernel boundary (application memory, opening a device through its interface, buffered
 * control requests, caller identities), the drive-letter map of the file calls, device
 * interfaces and properties, the system error log, injectable faults and the I/O verifier's
 * counters.
 *
 * The driver never includes this header. Tests, tools, the ports and the class-library
 * stand-in do.
 */
#pragma once

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------ */
/* Application memory                                                                         */
/* ------------------------------------------------------------------------------------------ */

/*
 * Maps Size bytes of application memory below 2 GiB (so the application can put the address
 * into a 32-bit field of a request block) and registers it as a region of the calling
 * "process". ProbeForRead accepts a range inside a valid region; ProbeForWrite also wants the
 * region writable. The memory is zero-filled and always host-readable and -writable (the
 * writable flag is what the probes see). Returns NULL when no memory is available.
 */
void *HostUserAlloc(size_t Size, BOOLEAN Writable);

/* Unregisters and unmaps a region made by HostUserAlloc (Address is its start). */
void HostUserFree(void *Address);

/*
 * Marks the region containing Address invalid, as if the application had unmapped it: probes
 * now raise STATUS_ACCESS_VIOLATION for it, but the memory stays mapped so a copy racing with
 * the invalidation cannot crash the host. HostUserFree still releases it.
 */
void HostUserInvalidate(void *Address);

/* Marks a region read-only or writable for the probes. */
void HostUserSetWritable(void *Address, BOOLEAN Writable);

/* The 32-bit value of an application address (asserts that it fits: never truncates). */
uint32_t HostUserAddress(const void *Address);

/* The pointer for a 32-bit application address (the inverse of HostUserAddress). */
void *HostUserPointer(uint32_t Address);

/* TRUE when [Address, Address+Length) lies inside one valid region (writable if asked). */
BOOLEAN HostUserRangeValid(const void *Address, size_t Length, BOOLEAN ForWrite);

/* ------------------------------------------------------------------------------------------ */
/* Identities                                                                                 */
/* ------------------------------------------------------------------------------------------ */

#define HOST_MAX_GROUPS 32

typedef struct _HOST_IDENTITY {
    uint32_t Uid;
    uint32_t Gid;
    uint32_t GroupCount;
    uint32_t Groups[HOST_MAX_GROUPS];
} HOST_IDENTITY, *PHOST_IDENTITY;

/*
 * Sets the identity of the calling application thread: what SeCreateClientSecurity captures
 * when this thread sends a request. Default: the process's own (real uid, gid, groups).
 * GroupCount is clipped to HOST_MAX_GROUPS.
 */
void HostSetThreadIdentity(uint32_t Uid, uint32_t Gid, const uint32_t *Groups, uint32_t GroupCount);
/* Back to the process's identity. */
void HostResetThreadIdentity(void);
/* The calling thread's identity (as set, or the process's). */
void HostGetThreadIdentity(HOST_IDENTITY *Identity);
/* The identity the calling thread's file opens currently run with (impersonated or own). */
void HostGetEffectiveFileIdentity(HOST_IDENTITY *Identity);
/* TRUE when the process may change the per-thread file-system identity (runs as root). */
BOOLEAN HostCanImpersonate(void);
/* Token objects alive (captured client contexts not yet released). */
LONG HostLiveTokenCount(void);

/* ------------------------------------------------------------------------------------------ */
/* Files: drive letters                                                                       */
/* ------------------------------------------------------------------------------------------ */

/*
 * Object names handed to ZwCreateFile:
 *   "\??\D:\dir\file"  (or "\DosDevices\D:\...")  drive letter D (any case) mapped by
 *                       HostMapDriveLetter to a host directory; backslashes become slashes.
 *   "\??\/abs/path"    an absolute host path taken as it is (after "\??\" the name begins with
 *                       '/'); backslashes in it are kept.
 * Anything else is STATUS_OBJECT_PATH_SYNTAX_BAD (no "\??\" prefix) or
 * STATUS_OBJECT_PATH_NOT_FOUND (an unmapped drive letter).
 */
void HostMapDriveLetter(char Letter, const char *HostDirectory);
void HostUnmapDriveLetter(char Letter);
void HostClearDriveLetters(void);

/* Translates an object name as ZwCreateFile does; returns the status the open would get for
 * a bad name, else STATUS_SUCCESS with the host path in Path (terminated, truncated). */
NTSTATUS HostTranslateObjectName(PCUNICODE_STRING Name, char *Path, size_t PathSize);

/*
 * Whether the file behind FileHandle was opened with O_DIRECT (an open with
 * FILE_NO_INTERMEDIATE_BUFFERING where the host file system allows it; otherwise the open falls
 * back to a buffered one). Reads of a handle opened with FILE_NO_INTERMEDIATE_BUFFERING want a
 * 512-byte aligned offset, length and buffer (STATUS_INVALID_PARAMETER otherwise) either way.
 */
BOOLEAN HostFileIsUnbuffered(HANDLE FileHandle);

/* Every successful ZwReadFile takes Delay (100 ns units) on the stand-in clock, as a slow
 * disk would (0, the default: no delay). */
void HostSetFileReadDelay(LONGLONG Delay);

/* Files opened by ZwCreateFile and not closed. */
LONG HostOpenFileCount(void);

/* ------------------------------------------------------------------------------------------ */
/* Injectable faults                                                                          */
/* ------------------------------------------------------------------------------------------ */

typedef enum _HOST_FAULT_POINT {
    HostFaultFileOpen = 0,       /* ZwCreateFile fails with the fault's status */
    HostFaultFileRead,           /* ZwReadFile fails with the fault's status */
    HostFaultErrorLogEntry,      /* IoAllocateErrorLogEntry returns NULL */
    HostFaultLockPages,          /* IoBuildDeviceIoControlRequest raises the status */
    HostFaultIrpAllocation,      /* IoAllocateIrp / IoBuildDeviceIoControlRequest -> NULL */
    HostFaultClientSecurity,     /* SeCreateClientSecurity fails with the status */
    HostFaultRegisterInterface,  /* IoRegisterDeviceInterface fails with the status */
    HostFaultSetInterfaceState,  /* IoSetDeviceInterfaceState fails with the status */
    HostFaultClaimDevice,        /* ClassClaimDevice fails with the status */
    HostFaultCreateDeviceObject, /* ClassCreateDeviceObject fails with the status */
    HostFaultGetDescriptor,      /* ClassGetDescriptor fails with the status */
    HostFaultAttachDevice,       /* IoAttachDeviceToDeviceStack returns NULL */
    HostFaultThreadCreate,       /* PsCreateSystemThread fails with the status */
    HostFaultDeviceProperty,     /* IoGetDeviceProperty raises the status (an in-page error
                                    on the caller's pageable buffer; 0: STATUS_IN_PAGE_ERROR) */
    HostFaultPointCount
} HOST_FAULT_POINT;

/*
 * A fault: the first Skip calls pass, then Count calls fail (Count 0: every later call), each
 * of those with probability ProbabilityPercent (0 or 100: always). Status is the failure
 * status where the point has one (0 picks a sensible default).
 */
typedef struct _HOST_FAULT {
    ULONG Skip;
    ULONG Count;
    ULONG ProbabilityPercent;
    NTSTATUS Status;
} HOST_FAULT, *PHOST_FAULT;

void HostSetFault(HOST_FAULT_POINT Point, const HOST_FAULT *Fault);
void HostClearFault(HOST_FAULT_POINT Point);
void HostClearAllFaults(void);
/* Calls that failed because of the fault set at Point. */
ULONG HostFaultHits(HOST_FAULT_POINT Point);
/* Calls seen at Point since its fault was set (a fault that never fails, Skip 0xFFFFFFFF,
 * just counts them). */
ULONG HostFaultCalls(HOST_FAULT_POINT Point);
/* Seeds the generator of the probabilistic faults. */
void HostSetFaultSeed(uint64_t Seed);

/* Internal: TRUE (and *Status) when the next call at Point is to fail. */
BOOLEAN HostFaultShouldFail(HOST_FAULT_POINT Point, NTSTATUS *Status);

/* ------------------------------------------------------------------------------------------ */
/* Device interfaces and properties                                                           */
/* ------------------------------------------------------------------------------------------ */

/* Number of interfaces of Class (all classes when NULL), registered or only enabled. */
ULONG HostDeviceInterfaceCount(const GUID *Class, BOOLEAN EnabledOnly);
/* Symbolic link (UTF-8, e.g. "\??\HOST#PDO0001#{b1181e90-...}") of the Index-th enabled
 * interface of Class; FALSE when there is none. */
BOOLEAN HostDeviceInterfaceLink(const GUID *Class, ULONG Index, char *Link, size_t LinkSize);
/* Whether the interface with this link is registered and enabled. */
BOOLEAN HostDeviceInterfaceEnabled(const char *Link);
/* The physical device object an interface link was registered for, or NULL. */
PDEVICE_OBJECT HostDeviceInterfacePdo(const char *Link);

/*
 * Sets a property of a (physical) device object, answered by IoGetDeviceProperty: Data of
 * Length bytes as it is (for strings: UTF-16 with terminator; HostSetDevicePropertyString does
 * that from UTF-8; a multi-string ends with two terminators).
 */
void HostSetDeviceProperty(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property,
                           const void *Data, ULONG Length);
void HostSetDevicePropertyString(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property,
                                 const char *Utf8);
/* TRUE when the device has a value for Property. */
BOOLEAN HostHasDeviceProperty(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property);

/* The name a device object was created with (UTF-8), or "" for an unnamed one. */
const char *HostDeviceName(PDEVICE_OBJECT Device);
/* Device objects that exist (created, not yet freed). */
LONG HostDeviceObjectCount(void);
/* Device objects of one driver (IoDeleteDevice not yet called). */
LONG HostDriverDeviceCount(PDRIVER_OBJECT Driver);

/* Creates a plain driver object (for ports and test drivers); Name is UTF-8 ("\Driver\X"). */
PDRIVER_OBJECT HostCreateDriverObject(const char *Name);
/* Frees a driver object made by HostCreateDriverObject (its devices must be gone). */
void HostDeleteDriverObject(PDRIVER_OBJECT Driver);

/* ------------------------------------------------------------------------------------------ */
/* System error log                                                                           */
/* ------------------------------------------------------------------------------------------ */

typedef struct _HOST_ERROR_LOG_ENTRY {
    LONGLONG Time;              /* stand-in clock, 100-ns units */
    PVOID IoObject;             /* the device (or driver) object the entry was allocated for */
    ULONG EntrySize;            /* size given to IoAllocateErrorLogEntry */
    IO_ERROR_LOG_PACKET Packet; /* the packet header as written (DumpData[0] included) */
    ULONG DumpWordCount;        /* DumpDataSize / 4, clipped to what the entry holds */
    ULONG DumpData[(ERROR_LOG_MAXIMUM_SIZE) / 4];
} HOST_ERROR_LOG_ENTRY, *PHOST_ERROR_LOG_ENTRY;

ULONG HostErrorLogCount(void);
/* Copies the Index-th entry (oldest first); FALSE when there is none. */
BOOLEAN HostErrorLogGet(ULONG Index, HOST_ERROR_LOG_ENTRY *Entry);
void HostErrorLogClear(void);
/* Entries allocated with IoAllocateErrorLogEntry and not (yet) written. */
LONG HostErrorLogPendingEntries(void);

/* ------------------------------------------------------------------------------------------ */
/* Application side: open, close, control requests                                           */
/* ------------------------------------------------------------------------------------------ */

/*
 * Opens the Index-th enabled device interface of Class: sends IRP_MJ_CREATE to the top of the
 * device's stack with the caller's identity and waits for it. *Handle is an application
 * handle for HostDeviceIoControl / HostCloseDevice. STATUS_OBJECT_NAME_NOT_FOUND when there is
 * no such interface; else the create request's status.
 */
NTSTATUS HostOpenDevice(const GUID *Class, ULONG Index, HANDLE *Handle);
/* The same by symbolic link (UTF-8, as HostDeviceInterfaceLink gives it). */
NTSTATUS HostOpenDeviceByLink(const char *Link, HANDLE *Handle);
/* Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and releases the handle; returns the close status. */
NTSTATUS HostCloseDevice(HANDLE Handle);
/* The top device object an application handle was opened on (NULL for a bad handle). */
PDEVICE_OBJECT HostDeviceOfHandle(HANDLE Handle);
/* Application handles open. */
LONG HostOpenDeviceHandleCount(void);

/*
 * DeviceIoControl. The request goes to the top of the device's stack in the calling thread
 * (which enters the stand-in for the call), RequestorMode UserMode, and the call waits for its
 * completion. METHOD_BUFFERED: a system buffer of max(in, out) bytes from pool, input copied
 * in, IoStatus.Information bytes copied out (the verifier stops on an Information larger than
 * the output length and on returned bytes that still carry the fresh-pool pattern). With any
 * method, application memory that the driver probed for writing (ProbeForWrite in the calling
 * thread) is checked the same way after the request: fresh pool there that was not there at
 * the probe stops the verifier too.
 * METHOD_IN/OUT_DIRECT: input buffered, the output described by an MDL. METHOD_NEITHER: the
 * application's pointers as they are. *BytesReturned (may be NULL) gets Information. Buffers
 * inside application regions (HostUserAlloc) that are invalid, or read-only for the output, give
 * STATUS_ACCESS_VIOLATION without a request; other host memory is taken as it is.
 */
NTSTATUS HostDeviceIoControl(HANDLE Handle, ULONG IoControlCode, const void *InputBuffer,
                             ULONG InputBufferLength, void *OutputBuffer, ULONG OutputBufferLength,
                             ULONG *BytesReturned);

/* ------------------------------------------------------------------------------------------ */
/* I/O verifier                                                                               */
/* ------------------------------------------------------------------------------------------ */

/* IRPs allocated and not freed. */
LONG HostOutstandingIrpCount(void);
/* MDLs allocated and not freed. */
LONG HostOutstandingMdlCount(void);

#ifdef __cplusplus
}
#endif
