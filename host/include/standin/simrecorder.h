/*
 * standin/simrecorder.h - host set-up API: the simulated MMC recorder behind a storage port.
 *
 * The model is an MMC recorder with a medium (CD-R, CD-RW, DVD-R, DVD+R) that persists in a
 * disc file. It answers TEST UNIT READY, REQUEST SENSE, INQUIRY, START STOP UNIT, PREVENT
 * ALLOW MEDIUM REMOVAL, READ CAPACITY, READ(10), WRITE(10), SYNCHRONIZE CACHE, READ TOC/PMA/
 * ATIP, GET CONFIGURATION, GET EVENT STATUS NOTIFICATION, READ DISC INFORMATION, READ TRACK
 * INFORMATION, RESERVE TRACK, MODE SELECT(10), MODE SENSE(10), CLOSE TRACK/SESSION, READ
 * BUFFER CAPACITY, SEND CUE SHEET, BLANK, SET STREAMING, SET CD SPEED and READ CD with the
 * reply layouts of MMC; every other operation code ends in CHECK CONDITION 05/20/00. The
 * behaviour of each command, the sense of every refusal and the disc file's format are
 * described in host/port/README.md.
 *
 * Writing. A WRITE(10) is taken only at the next writable address of the medium, with the
 * block size in force there (page 05's data block type for CD track-at-once, the cue sheet
 * for CD session-at-once, 2048 for DVD), onto a blank or appendable medium, inside its
 * capacity. Accepted data enters the drive buffer; a block reaches the medium only when the
 * buffer has drained past it (at the write speed on the stand-in clock; speed 0 drains at
 * once). SYNCHRONIZE CACHE and CLOSE TRACK/SESSION wait for the drain (the recorder's lock is
 * not held while they wait). A power-on or device reset (06/29/01, 06/29/03) loses the
 * blocks still in the buffer and resets the write parameters; a bus reset (06/29/02) loses
 * nothing. A write that does not fit into the buffer is held until it fits, or answered
 * NOT READY 02/04/08 at once (SIM_FULL_BUFFER). A write that meets an empty buffer inside a
 * recording is an underrun: with underrun protection on it is counted; off, it fails MEDIUM
 * ERROR 03/0C/09 (loss of streaming) and the medium can no longer be written.
 *
 * Request block outcome. Success: SRB_STATUS_SUCCESS, ScsiStatus 0. CHECK CONDITION:
 * ScsiStatus 0x02, fixed-format sense (0x70, key in byte 2, additional length 10, ASC byte
 * 12, ASCQ byte 13) copied into SenseInfoBuffer (up to SenseInfoBufferLength) and
 * SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID (without the autosense bit when the block
 * has no sense buffer or sets SRB_FLAGS_DISABLE_AUTOSENSE). A data-in command that moves
 * fewer bytes than DataTransferLength (or a READ whose buffer is too small) ends
 * SRB_STATUS_DATA_OVERRUN with DataTransferLength set to the bytes moved, without a queue
 * freeze. Every other failure (CHECK CONDITION, an injected SRB status or data overrun, an
 * invalid request) also sets SRB_STATUS_QUEUE_FROZEN and freezes the queue, unless the block
 * sets SRB_FLAGS_NO_QUEUE_FREEZE or the injected fault says not to.
 *
 * Frozen queue. While frozen, an EXECUTE_SCSI block without SRB_FLAGS_BYPASS_FROZEN_QUEUE is
 * held back, as a port queues it, until SRB_FUNCTION_RELEASE_QUEUE arrives (it then executes)
 * or SRB_FUNCTION_FLUSH_QUEUE (it is refused); after FrozenQueueTimeout on the stand-in clock
 * (or at once when that is 0) it is refused. A refused block ends SRB_STATUS_REQUEST_FLUSHED
 * (0x16, no frozen bit, nothing executed; logged and counted as a command). RELEASE_QUEUE and
 * FLUSH_QUEUE unfreeze the queue and succeed. SRB_FUNCTION_CLAIM_DEVICE / RELEASE_DEVICE succeed
 * (the port device returns itself in DataBuffer on a claim). SRB_FUNCTION_RESET_BUS succeeds
 * and leaves UNIT ATTENTION 06/29/02 for the next command; SRB_FUNCTION_RESET_DEVICE /
 * RESET_LOGICAL_UNIT succeed, lose the buffered blocks and leave 06/29/03. Other functions end
 * SRB_STATUS_INVALID_REQUEST. A pending unit attention is reported by the next command other
 * than INQUIRY, REQUEST SENSE and GET EVENT STATUS NOTIFICATION.
 *
 * Adapter limits: an EXECUTE_SCSI block whose DataTransferLength exceeds
 * MaximumTransferLength ends SRB_STATUS_INVALID_REQUEST (queue frozen).
 *
 * All routines are thread-safe (one lock per recorder). The driver never includes this header.
 */
#pragma once

#include <ntddk.h>
#include <srb.h>
#include <scsi.h>
#include <ntddscsi.h>
#include "port.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_CD_1X_BYTES_PER_SECOND 153600u   /* 75 blocks of 2048 bytes */
#define SIM_DVD_1X_BYTES_PER_SECOND 1385000u /* 1x DVD */
#define SIM_MAX_BLOCK_SIZE 2448u             /* slot size of the side store */
#define SIM_LARGEST_MEDIUM_BLOCKS 4173824u   /* a dual-layer DVD, in 2048-byte blocks */
#define SIM_CD80_BLOCKS 359849u              /* 80-minute CD-R/RW: lead-out at 79:59:74 */
#define SIM_DVD_BLOCKS 2295104u              /* single-layer DVD-R / DVD+R */

/* The medium in the drive when the disc file does not exist yet (a new blank disc). */
typedef enum _SIM_MEDIUM {
    SimMediumDefault = 0, /* CD-R, or DVD-R when Dvd is set */
    SimMediumCdR,         /* profile 0x0009 */
    SimMediumCdRw,        /* profile 0x000A */
    SimMediumDvdMinusR,   /* profile 0x0011 (sequential recording) */
    SimMediumDvdPlusR     /* profile 0x001B */
} SIM_MEDIUM;

/* How the recorder meets a WRITE(10) that does not fit into its buffer. */
typedef enum _SIM_FULL_BUFFER {
    SimFullBufferNotReady = 0,    /* WRITE 02/04/08 at once; TEST UNIT READY 02/04/08 until room */
    SimFullBufferNotReadyTurGood, /* WRITE 02/04/08 at once; TEST UNIT READY answers GOOD */
    SimFullBufferHold             /* the WRITE waits for room (the command takes longer) */
} SIM_FULL_BUFFER;

typedef struct _SIM_RECORDER_CONFIG {
    /* Inquiry identity: NUL-terminated; blank-padded to 8 / 16 / 4 characters (longer: cut). */
    CHAR Vendor[9];
    CHAR Product[17];
    CHAR Revision[5];
    UCHAR DeviceType; /* peripheral device type, 5 (CD/DVD) by default */

    /* SCSI address answered to IOCTL_SCSI_GET_ADDRESS, or STATUS_NOT_SUPPORTED. */
    BOOLEAN AddressNotSupported;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;

    /* Adapter descriptor. */
    ULONG MaximumTransferLength; /* default 64 KiB */
    ULONG MaximumPhysicalPages;  /* default 17 */
    ULONG AlignmentMask;         /* default 0 */
    ULONG DescriptorSize;        /* device descriptor cut to this many bytes; 0: whole */

    /* Medium. */
    const char *DiscFile; /* host path of the disc file: an existing file is the medium it
                             holds (never truncated); an absent one is created with a blank
                             medium; NULL or "": an anonymous temporary file */
    SIM_MEDIUM Medium;    /* the blank medium of a new disc file */
    ULONG CapacityBlocks; /* blocks of a new blank medium; 0: SIM_CD80_BLOCKS for CD,
                             SIM_DVD_BLOCKS for DVD */

    /* Drive. */
    ULONG SpeedMultiple;        /* write speed as a multiple of 1x; 0: as fast as possible */
    ULONG MaxSpeedMultiple;     /* the fastest write speed SET CD SPEED / SET STREAMING may
                                   choose; 0: SpeedMultiple (unlimited when that is 0) */
    BOOLEAN Dvd;                /* 1x is the DVD rate instead of the CD rate (a DVD medium
                                   always uses the DVD rate) */
    ULONG BufferBytes;          /* drive buffer, default 2 MiB */
    SIM_FULL_BUFFER FullBuffer; /* default SimFullBufferNotReady */
    BOOLEAN UnderrunProtection; /* default TRUE (page 05 BUFE) */

    /* Command log entries kept (a ring: the oldest go first); 0 turns the log off. */
    ULONG LogCapacity; /* default 16384 */

    /* How long (100 ns units, stand-in clock) a block waits for the release of a frozen queue
       before it is refused; 0: refused at once. Default 30 s. */
    LONGLONG FrozenQueueTimeout;

    /* TRUE: no port device is made (the model alone, driven by HostSimExecuteSrb). */
    BOOLEAN NoPortDevice;
} SIM_RECORDER_CONFIG, *PSIM_RECORDER_CONFIG;

typedef struct _SIM_RECORDER_MODEL SIM_RECORDER_MODEL;

/* A simulated recorder: its port device (the PDO a class driver attaches to) and its model. */
typedef struct _SIM_RECORDER {
    PDEVICE_OBJECT Pdo; /* NULL when made with NoPortDevice */
    SIM_RECORDER_MODEL *Model;
    HOST_PORT_OPS Ops; /* the port record the PDO dispatches to */
} SIM_RECORDER, *PSIM_RECORDER;

/* Defaults: vendor "CDWSIM  ", product "SIMULATED CD-RW ", revision "1.00", device type 5,
   address 0/0/0/0, 64 KiB / 17 pages / mask 0, temporary disc file, a blank 80-minute CD-R,
   speed 0, CD rate, 2 MiB buffer answering 02/04/08 when full, underrun protection on, log
   16384 entries, frozen-queue time-out 30 s. */
void HostSimDefaultConfig(SIM_RECORDER_CONFIG *Config);

/* Turns a configuration into a desktop unit: vendor "KORVO   ", product "DESKTOP UNIT    ". */
void HostSimDesktopUnitConfig(SIM_RECORDER_CONFIG *Config);

/* Creates a recorder (and its port device unless NoPortDevice). NULL on failure (the disc
   file cannot be opened or created, is a symbolic link, its description cannot be read, no
   port device). */
PSIM_RECORDER HostCreateSimulatedRecorder(const SIM_RECORDER_CONFIG *Config);

/* Deletes the port device (nothing may be attached any more) and the model; the disc file
   and side file stay (anonymous ones vanish). */
void HostDestroySimulatedRecorder(PSIM_RECORDER Recorder);

/* The recorder whose port device this is, or NULL (not a simulated recorder's port device). */
PSIM_RECORDER HostSimRecorderOfDevice(PDEVICE_OBJECT PortDevice);

/* Executes a request block directly, as the port device does for IRP_MJ_SCSI. */
void HostSimExecuteSrb(PSIM_RECORDER Recorder, SCSI_REQUEST_BLOCK *Srb);

/* One piece of a session layout: Blocks blocks of BlockSize from StartLba on. */
typedef struct _SIM_LAYOUT_SEGMENT {
    LONG StartLba;
    ULONG Blocks;
    ULONG BlockSize;   /* 1 to SIM_MAX_BLOCK_SIZE */
    UCHAR TrackNumber; /* 1..99; consecutive segments of one number are one track */
    BOOLEAN Audio;     /* track mode audio (else data) */
} SIM_LAYOUT_SEGMENT, *PSIM_LAYOUT_SEGMENT;

/* Sets the recorder up for a recording of contiguous Segments, as an application does with
   MODE SELECT page 05 (session-at-once, underrun protection on, test write off, session left
   open) and SEND CUE SHEET (CD) or RESERVE TRACK (DVD): the tracks are reserved, the next
   writable address is Segments[0].StartLba and every address takes the segment's block size.
   Unlike a cue sheet, the layout may begin anywhere at or after the medium's next writable
   address (the pre-gap of -150 is not required). FALSE, changing nothing, when the medium is
   not blank or appendable, the buffer holds data, the segments are not contiguous and
   ordered, or they begin before the next writable address or end beyond the capacity. */
BOOLEAN HostSimPrepareLayout(PSIM_RECORDER Recorder, const SIM_LAYOUT_SEGMENT *Segments,
                             ULONG Count);

/* Takes the medium out and puts a new blank one of the configured type in (the disc file is
   emptied); what is in the buffer is lost. For tests and tools that record several times onto
   one recorder, as an operator changes discs. */
void HostSimInsertBlankMedium(PSIM_RECORDER Recorder);

/* What the medium holds now. */
typedef struct _SIM_MEDIUM_INFO {
    USHORT Profile;    /* 0 when no medium is loaded */
    UCHAR Status;      /* 0 blank, 1 appendable, 2 complete (READ DISC INFORMATION) */
    BOOLEAN Damaged;   /* a loss of streaming made it unwritable */
    ULONG Sessions;    /* sessions begun (closed or open) */
    ULONG Tracks;      /* tracks begun */
    LONG NextWritable; /* next writable address (buffered blocks included) */
    ULONG Capacity;    /* blocks */
    ULONG RecordedEnd; /* highest block on the medium + 1 (0: nothing) */
} SIM_MEDIUM_INFO, *PSIM_MEDIUM_INFO;
void HostSimGetMediumInfo(PSIM_RECORDER Recorder, SIM_MEDIUM_INFO *Info);

/* Run-time settings. */
void HostSimSetSpeed(PSIM_RECORDER Recorder, ULONG SpeedMultiple); /* not bounded */
void HostSimSetUnderrunProtection(PSIM_RECORDER Recorder, BOOLEAN On);
void HostSimSetLogging(PSIM_RECORDER Recorder, BOOLEAN On); /* keeps capacity; off: no entries */

/* ---- fault script --------------------------------------------------------------------- */

typedef enum _SIM_FAULT_TRIGGER {
    SimFaultAtCommand, /* the first matching command whose number is >= CommandNumber */
    SimFaultAtBlock    /* a matching command whose block range covers BlockAddress */
} SIM_FAULT_TRIGGER;

typedef enum _SIM_FAULT_KIND {
    SimFaultSense,        /* CHECK CONDITION with SenseKey/Asc/Ascq; the command is not executed */
    SimFaultSrbStatus,    /* SrbStatus (e.g. 0x0E, 0x0A, 0x09), ScsiStatus 0, no sense; not
                             executed */
    SimFaultDataOverrun,  /* the command executes (a data-out command only when
                             TransferredLength covers its whole data), then ends
                             SRB_STATUS_DATA_OVERRUN with DataTransferLength = TransferredLength */
    SimFaultBusReset,     /* SRB_STATUS_BUS_RESET, not executed; the next command gets
                             UNIT ATTENTION 06/29/02; the buffer keeps its data */
    SimFaultPowerOnReset, /* the same, but the recorder lost power: the blocks still in the
                             buffer are lost, the write parameters reset; 06/29/01 */
    SimFaultDeviceReset   /* as SimFaultPowerOnReset, with 06/29/03 */
} SIM_FAULT_KIND;

#define SIM_ANY_OPCODE (-1)

typedef struct _SIM_FAULT {
    SIM_FAULT_TRIGGER Trigger;
    ULONG CommandNumber; /* SimFaultAtCommand: 1-based count of EXECUTE_SCSI blocks */
    ULONG BlockAddress;  /* SimFaultAtBlock: a block of a READ(10)/WRITE(10) */
    LONG Opcode;         /* only commands with this operation code match; SIM_ANY_OPCODE: any
                            (SimFaultAtBlock with SIM_ANY_OPCODE matches WRITE(10) only) */
    ULONG RepeatCount;   /* how many matching commands it hits (0 is taken as 1) */
    SIM_FAULT_KIND Kind;
    UCHAR SenseKey;
    UCHAR Asc;
    UCHAR Ascq;
    UCHAR SrbStatus;         /* SimFaultSrbStatus: the status (flag bits are added by the model) */
    ULONG TransferredLength; /* SimFaultDataOverrun */
    BOOLEAN NoQueueFreeze;   /* TRUE: this fault does not freeze the queue */
} SIM_FAULT, *PSIM_FAULT;

/* A zeroed fault of the given trigger and kind, Opcode SIM_ANY_OPCODE, RepeatCount 1. */
void HostSimInitFault(SIM_FAULT *Fault, SIM_FAULT_TRIGGER Trigger, SIM_FAULT_KIND Kind);

/* Adds a fault to the script; returns its id (0, 1, 2 ... in order of adding). */
ULONG HostSimAddFault(PSIM_RECORDER Recorder, const SIM_FAULT *Fault);

/* Shorthands; return the fault id. */
ULONG HostSimFaultSenseAtCommand(PSIM_RECORDER Recorder, ULONG CommandNumber, UCHAR SenseKey,
                                 UCHAR Asc, UCHAR Ascq);
ULONG HostSimFaultSenseAtBlock(PSIM_RECORDER Recorder, ULONG BlockAddress, UCHAR SenseKey,
                               UCHAR Asc, UCHAR Ascq, ULONG RepeatCount);
ULONG HostSimFaultStatusAtCommand(PSIM_RECORDER Recorder, ULONG CommandNumber, UCHAR SrbStatus,
                                  BOOLEAN FreezeQueue);

/* How often a fault has fired. */
ULONG HostSimFaultFired(PSIM_RECORDER Recorder, ULONG FaultId);

/* Number of scripted faults that fired fewer times than their RepeatCount: a test that
   scripted a fault fails when this is not 0 at its end. */
ULONG HostSimUnreachedFaults(PSIM_RECORDER Recorder);

/* Drops the script. */
void HostSimClearFaults(PSIM_RECORDER Recorder);

/* ---- command log ---------------------------------------------------------------------- */

typedef struct _SIM_LOG_ENTRY {
    ULONG Number;  /* 1-based command number */
    LONGLONG Time; /* stand-in clock when the command executed, 100 ns units */
    UCHAR Cdb[16];
    UCHAR CdbLength;
    ULONG SrbFlags;
    ULONG DataLength;  /* DataTransferLength as sent */
    ULONG Transferred; /* DataTransferLength as returned */
    UCHAR SrbStatus;   /* full status byte returned, flag bits included */
    UCHAR ScsiStatus;
    UCHAR SenseKey; /* sense of a CHECK CONDITION, else 0 */
    UCHAR Asc;
    UCHAR Ascq;
    BOOLEAN Injected; /* the outcome came from the fault script */
} SIM_LOG_ENTRY, *PSIM_LOG_ENTRY;

/* Entries held (at most LogCapacity). */
ULONG HostSimLogCount(PSIM_RECORDER Recorder);
/* Entry Index (0 = oldest held); FALSE when out of range. */
BOOLEAN HostSimLogEntry(PSIM_RECORDER Recorder, ULONG Index, SIM_LOG_ENTRY *Entry);
void HostSimClearLog(PSIM_RECORDER Recorder);

/* ---- counters and medium -------------------------------------------------------------- */

typedef struct _SIM_RECORDER_COUNTERS {
    ULONG Commands;         /* EXECUTE_SCSI blocks received (refused ones included) */
    ULONG Writes;           /* WRITE(10) commands accepted */
    ULONGLONG BytesWritten; /* bytes of accepted WRITE(10) commands */
    ULONG Underruns;        /* buffer ran empty between writes inside a recording */
    ULONG NotReadyAnswers;  /* 02/04/08 answers (WRITE(10) and TEST UNIT READY) */
    ULONG QueueFreezes;
    ULONG QueueReleases;
    ULONG RefusedWhileFrozen;
    ULONG Synchronizes;              /* SYNCHRONIZE CACHE commands completed */
    ULONG BufferBytes;               /* configured size */
    ULONG BufferLevel;               /* bytes in the buffer now */
    ULONG MaxFill;                   /* highest level reached */
    ULONG MinFill;                   /* lowest level met by a write inside a recording, after its
                                        first write; MAXULONG when there was none */
    ULONG BlocksWritten;             /* highest written block + 1 (0: nothing written) */
    ULONG FirstUnderrunLba;          /* address of the write that met the first underrun */
    LONGLONG FirstUnderrunEmptyTime; /* stand-in clock: when the buffer ran empty then */
    LONGLONG FirstUnderrunTime;      /* stand-in clock: when that write arrived */
    BOOLEAN QueueFrozen;
    BOOLEAN Recording; /* between the first write and SYNCHRONIZE CACHE */
} SIM_RECORDER_COUNTERS, *PSIM_RECORDER_COUNTERS;

void HostSimGetCounters(PSIM_RECORDER Recorder, SIM_RECORDER_COUNTERS *Counters);

/* Copies block Lba's bytes on the medium (up to BufferLength) and returns its size; 0 when
   the block is not on the medium (never written, or still in the buffer). */
ULONG HostSimReadBlock(PSIM_RECORDER Recorder, ULONG Lba, void *Buffer, ULONG BufferLength);

/* Host path of the disc file ("" for an anonymous one). */
const char *HostSimDiscFile(PSIM_RECORDER Recorder);

#ifdef __cplusplus
}
#endif
