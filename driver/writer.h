/*
 * writer.h - the recorder driver's per-device record (WriterExtension), its sub-records, the
 * driver-wide globals and the routines that the subsystems call on each other.
 *
 * The WriterExtension lies in the device extension right after the class library's
 * FUNCTIONAL_DEVICE_EXTENSION and is reached through that extension's DriverData.
 */
#pragma once

#include "platform.h"
#include "../control/cdwriter_ioctl.h"

/* ---- constants ---------------------------------------------------------------------------- */

#define REINIT_CHECK_VALUE 0xFEA55AEFu
#define DEFAULT_RING_SLOTS 60u
#define DEFAULT_REFILL_THRESHOLD 30u
#define DEFAULT_BLOCK_SIZE 2048u
#define MAX_PACKET_BLOCKS 64u
#define MAX_WRITE_COMMAND_BLOCKS 16u
#define CDW_SENSE_LENGTH 18u
#define IMAGE_NAME_CHARS 260u

/* Pool tags, as the debugger shows them ("BrnX", "ScUn"). */
#define CDW_TAG_BUFFERS ((ULONG)0x586E7242u) /* "BrnX" */
#define CDW_TAG_SCSI ((ULONG)0x6E556353u)    /* "ScUn" */

/* Ring packet actions. */
#define PACKET_ACTION_WRITE 0u
#define PACKET_ACTION_SET_BLOCK_SIZE 1u

/* Event-log message ids (facility 0x2A); the texts are in driver/messages/cdwriter.mc. */
#ifndef MSG_DEVICE_INITIALIZED
#define MSG_DEVICE_INITIALIZED ((NTSTATUS)0x402A0001L)
#define MSG_UNEXPECTED_REMOVAL ((NTSTATUS)0x802A0002L)
#define MSG_DEVICE_INIT_FAILED ((NTSTATUS)0x402A0003L)
#define MSG_UNEXPECTED_SRB_STATUS ((NTSTATUS)0x802A0004L)
#define MSG_DEVICE_REINITIALIZED ((NTSTATUS)0x402A0005L)
#endif

/* ---- ring --------------------------------------------------------------------------------- */

typedef struct _RING_PACKET {
    ULONG action;
    ULONG blockAddress; /* first block on the disc, or the new block size for action 1 */
    ULONG numBlocks;    /* 1 to 64 for action 0; the next track's format for action 1 */
    BOOLEAN bLastPacket;
    PUCHAR buffer; /* the cache buffer of the packet's slot */
} RING_PACKET, *PRING_PACKET;

typedef struct _CIRQUE {
    ULONG size;
    ULONG numElements;
    ULONG head;
    ULONG tail;
    BOOLEAN bNotEmpty;
    RING_PACKET packets[MAX_CACHE_BUFFERS];
} CIRQUE, *PCIRQUE;

/* ---- cache drives ------------------------------------------------------------------------- */

typedef struct _CACHE_DRIVE {
    KEVENT LockEvent; /* notification event: set when the lock is released */
    KSPIN_LOCK SpinLock;
    BOOLEAN bLocked;
    USHORT Address;
    BOOLEAN DriveLetters[26];
    LIST_ENTRY ListEntry;
} CACHE_DRIVE, *PCACHE_DRIVE;

/* ---- SCSI command outcome ----------------------------------------------------------------- */

/*
 * The outcome of one ScsiRequest call, private to its caller. The status record's
 * lastSrbStatus, lastScsiStatus and senseData show the application the last command of any
 * sender; a caller judges its own command by this copy, which no other thread's command can
 * change under it.
 */
typedef struct _SCSI_OUTCOME {
    NTSTATUS sendStatus; /* STATUS_SUCCESS once the command reached the port; otherwise why it
                            was not sent (no pool for the block or the packet, an exception) */
    ULONG srbStatus;     /* SRB status without the flag bits (1 or 4 after a tolerated overrun) */
    UCHAR scsiStatus;    /* SCSI status byte */
    BOOLEAN bSenseValid; /* the port performed request sense for this command (autosense) */
    ULONG transferred;   /* DataTransferLength as the port left it */
    UCHAR senseData[CDW_SENSE_LENGTH]; /* this command's sense; zeros unless bSenseValid */
} SCSI_OUTCOME, *PSCSI_OUTCOME;

/* ---- the device record -------------------------------------------------------------------- */

typedef struct _READ_PARAMS {
    CHAR imageName[IMAGE_NAME_CHARS];
    UNICODE_STRING imageFileName;
    WCHAR imageFileNameBuffer[IMAGE_NAME_CHARS];
    BOOLEAN bImpersonate;
    HANDLE hImageFile;
    ULONG imageByteOffset;
    SECURITY_CLIENT_CONTEXT ClientContext;
    BOOLEAN bBufferedRead;
    ULONG pregapStartBlock;
    ULONG pregapBlockSize;
    ULONG nPregapBlocks;
    BOOLEAN bWriteTdb;
    UCHAR tdbTrackNumber;
    ULONG numTracks;
    TRACK_ENTRY tracks[MAX_TRACKS];
} READ_PARAMS, *PREAD_PARAMS;

typedef struct _WRITE_PARAMS {
    ULONG writeMode;
    ULONG blockSize;
    BOOLEAN bAbort;
    BOOLEAN bChecksumOnly;
} WRITE_PARAMS, *PWRITE_PARAMS;

typedef struct _WriterExtension {
    UNICODE_STRING InterfaceName;
    PUCHAR cacheBuffers[MAX_CACHE_BUFFERS];
    ULONG numCacheBuffers;
    READ_PARAMS ReadParams;
    WRITE_PARAMS WriteParams;
    RECORDING_STATUS Status;
    KEVENT WriteStartEvent;
    KEVENT ReadStartEvent;
    CIRQUE CirQue;
    KSPIN_LOCK CirQueLock;
    KEVENT CirQueRefillEvent;
    ULONG refillThreshold;
    KSPIN_LOCK StatusLock;
    KEVENT PacketReadyEvent;
    BOOLEAN bDesktopUnit;
    BOOLEAN bDeviceOpen;
    BOOLEAN bWriteThreadProcRunning;
    ULONG surpriseRemoved;
    ULONG reinitCheckValue;
    BOOLEAN bShutdown;
    BOOLEAN bTornDown;
    ULONG recordFlags;
    PCACHE_DRIVE DownloadCacheDrive;
    PCACHE_DRIVE RecordCacheDrive;

    /*
     * Bookkeeping of this implementation, beyond the fields above.
     * bReadThreadBusy: set with RECSTAT_IN_PROCESS when a recording is accepted, cleared by
     *   the read thread (under StatusLock) once it has closed the image and released the
     *   client context; a new recording is refused while it is set.
     * bClientContextCaptured: ReadParams.ClientContext holds a captured context that the
     *   end of the recording must release.
     * bThreadFailed: a recording thread has ended through an exception; the device refuses
     *   further recordings.
     * bWritePassPending: set by the read thread (under StatusLock) when it wakes the write
     *   thread for a pass, cleared when that pass has ended; together with
     *   bWriteThreadProcRunning it keeps the device busy from the wake-up to the pass's end,
     *   also after a read-side ending has already set the final status.
     * bCacheRequestRunning: an allocate or deallocate request is changing the cache buffers;
     *   set under StatusLock together with its test that no recording uses them, so that a
     *   record-disc request cannot start on buffers being freed (it is answered busy).
     * ReadThreadObject, WriteThreadObject: referenced thread objects, so the teardown can
     *   wait for the threads to end before it frees what they use.
     */
    BOOLEAN bReadThreadBusy;
    BOOLEAN bClientContextCaptured;
    BOOLEAN bThreadFailed;
    BOOLEAN bWritePassPending;
    BOOLEAN bCacheRequestRunning;
    PVOID ReadThreadObject;
    PVOID WriteThreadObject;
} WriterExtension, *PWriterExtension;

/* The driver's record of a functional device object. */
inline PWriterExtension CdwWriterExtension(PDEVICE_OBJECT DeviceObject) {
    auto *fdoExtension = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    return static_cast<PWriterExtension>(fdoExtension->CommonExtension.DriverData);
}

/* The device number printed after "Burnkit[" and logged as the first dump word. */
inline ULONG CdwDeviceNumber(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension)->DeviceNumber;
}

/* ---- driver-wide state -------------------------------------------------------------------- */

extern ULONG RecorderCount;
extern ULONG DesktopUnitCount;
extern LIST_ENTRY CacheDriveList;
extern KSPIN_LOCK CacheDriveListLock;
extern ULONG CacheDriveCount;

/* ---- routines ----------------------------------------------------------------------------- */

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* driver/: entry, device creation, initialization and removal, event log */
[[nodiscard]] NTSTATUS NTAPI CdRecorderAddDevice(PDRIVER_OBJECT DriverObject,
                                                 PDEVICE_OBJECT PhysicalDeviceObject);
[[nodiscard]] NTSTATUS CdRecorderCreateFdo(PDRIVER_OBJECT DriverObject,
                                           PDEVICE_OBJECT PhysicalDeviceObject);
[[nodiscard]] NTSTATUS NTAPI CdRecorderCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS NTAPI CdRecorderStartDevice(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS NTAPI CdRecorderStopDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type);
VOID NTAPI CdRecorderStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI CdRecorderUnload(PDRIVER_OBJECT DriverObject);
[[nodiscard]] NTSTATUS NTAPI CdRecorderInitDevice(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] NTSTATUS NTAPI CdRecorderRemoveDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type);
VOID CdRecorderTearDown(PDEVICE_OBJECT DeviceObject);
VOID CdRecorderLogEvent(PDEVICE_OBJECT DeviceObject, NTSTATUS EventId, ULONG DumpCount,
                        PULONG DumpData);

/* control/: dispatch and request handlers */
[[nodiscard]] NTSTATUS NTAPI CdRecorderDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderRecordinfStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderRecordDisc(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderRecordDiscEx(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderRecordDiscEx2(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderQueryParameters(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderQueryProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderExecScsiOperation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderAllocateCache(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS CdRecorderDeallocateCache(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* scsi/: command execution, readiness, flush */
[[nodiscard]] BOOLEAN ScsiRequest(PDEVICE_OBJECT DeviceObject, UCHAR CdbLength, PUCHAR Cdb,
                                  ULONG TransferLength, PVOID DataBuffer, BOOLEAN WriteToDevice,
                                  ULONG TimeOutValue, PSCSI_OUTCOME Outcome = NULL);
[[nodiscard]] BOOLEAN PollTestUnitReady(PDEVICE_OBJECT DeviceObject, PSCSI_OUTCOME Outcome = NULL);
[[nodiscard]] BOOLEAN FlushCache(PDEVICE_OBJECT DeviceObject);
VOID ScsiStoreOutcome(RECORDING_STATUS *Status, const SCSI_OUTCOME *Outcome);
[[nodiscard]] BOOLEAN CdwRecordingStopRequested(PWriterExtension Extension);

/* pipeline/: ring, read thread, write thread */
[[nodiscard]] BOOLEAN CirQueInsertPacket(PCIRQUE Ring, const RING_PACKET *Packet);
[[nodiscard]] BOOLEAN CirQueGetNextPacket(PCIRQUE Ring, PRING_PACKET Packet);
[[nodiscard]] BOOLEAN CirQueRemovePacket(PCIRQUE Ring);
[[nodiscard]] BOOLEAN CirQueIsFull(const CIRQUE *Ring);
[[nodiscard]] ULONG CirQueCount(const CIRQUE *Ring);
VOID CirQueReset(PCIRQUE Ring);
VOID NTAPI ReadThread(PVOID StartContext);
VOID NTAPI WriteThread(PVOID StartContext);
VOID WriteThreadProc(PDEVICE_OBJECT DeviceObject);
[[nodiscard]] BOOLEAN ReadTrack(PDEVICE_OBJECT DeviceObject, ULONG startBlock, ULONG hdStartBlock,
                                ULONG numCdBlocks, ULONG blockSize, BOOLEAN isFirst,
                                BOOLEAN isLast);
VOID CdwReleaseClientContext(PWriterExtension Extension);
VOID FormatTrackDescriptor(PUCHAR buffer, ULONG numBlocks, ULONG blockSize, UCHAR trackNumber,
                           UCHAR pregapLength);

/* cachedrive/: table and requests */
[[nodiscard]] NTSTATUS TesselCacheDriveCreate(CHAR DriveLetter, USHORT Address);
[[nodiscard]] NTSTATUS TesselCacheDriveLocate(CHAR DriveLetter, PCACHE_DRIVE *CacheDrive);
NTSTATUS TesselCacheDriveAcquire(PCACHE_DRIVE CacheDrive);
[[nodiscard]] NTSTATUS TesselCacheDriveAcquireWithin(PCACHE_DRIVE CacheDrive, LONGLONG Timeout);
VOID TesselCacheDriveRelease(PCACHE_DRIVE CacheDrive);
VOID TesselCacheDriveFreeAll();
[[nodiscard]] NTSTATUS CreateCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS InitCacheLock(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS LockCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp);
[[nodiscard]] NTSTATUS UnlockCacheDrive(PDEVICE_OBJECT DeviceObject, PIRP Irp);
