/*
 * cdwriter_ioctl.h - the private control interface of the recorder driver, as applications see
 * it: control codes, the device interface classes and the layouts of every request buffer.
 *
 * Shared by the driver and by user-mode code; it needs only the fixed-width integer types.
 * All multi-byte fields are little-endian; every layout is pinned by compile-time checks.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Private control codes: device type 0xCD, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define CDW_RECORDER_CTL_CODE(function) ((0xCDu << 16) | (0u << 14) | ((function) << 2) | 0u)

#define IOCTL_RECORDER_EXEC_SCSI_OPERATION CDW_RECORDER_CTL_CODE(0x871u) /* 0x00CD21C4 */
#define IOCTL_RECORDER_QUERY_PARAMETERS CDW_RECORDER_CTL_CODE(0x872u)    /* 0x00CD21C8 */
#define IOCTL_RECORDER_RECORD_DISC CDW_RECORDER_CTL_CODE(0x873u)         /* 0x00CD21CC */
#define IOCTL_RECORDER_RECORDING_STATUS CDW_RECORDER_CTL_CODE(0x874u)    /* 0x00CD21D0 */
#define IOCTL_RECORDER_CREATE_CACHE_DRIVE CDW_RECORDER_CTL_CODE(0x875u)  /* 0x00CD21D4 */
#define IOCTL_RECORDER_INIT_CACHE_LOCK CDW_RECORDER_CTL_CODE(0x876u)     /* 0x00CD21D8 */
#define IOCTL_RECORDER_LOCK_CACHE_DRIVE CDW_RECORDER_CTL_CODE(0x877u)    /* 0x00CD21DC */
#define IOCTL_RECORDER_UNLOCK_CACHE_DRIVE CDW_RECORDER_CTL_CODE(0x878u)  /* 0x00CD21E0 */
#define IOCTL_RECORDER_RECORD_DISC_EX CDW_RECORDER_CTL_CODE(0x87Cu)      /* 0x00CD21F0 */
#define IOCTL_RECORDER_ALLOCATE_CACHE CDW_RECORDER_CTL_CODE(0x87Du)      /* 0x00CD21F4 */
#define IOCTL_RECORDER_DEALLOCATE_CACHE CDW_RECORDER_CTL_CODE(0x87Eu)    /* 0x00CD21F8 */
#define IOCTL_RECORDER_RECORD_DISC_EX2 CDW_RECORDER_CTL_CODE(0x87Fu)     /* 0x00CD21FC */
#define IOCTL_RECORDER_QUERY_PROPERTIES CDW_RECORDER_CTL_CODE(0x880u)    /* 0x00CD2200 */

static_assert(IOCTL_RECORDER_EXEC_SCSI_OPERATION == 0x00CD21C4u, "control code");
static_assert(IOCTL_RECORDER_RECORD_DISC_EX == 0x00CD21F0u, "control code");
static_assert(IOCTL_RECORDER_QUERY_PROPERTIES == 0x00CD2200u, "control code");

/* Device interface classes, as text and as their parts. */
#define CDW_GUID_RECORDER_TEXT "{B1181E90-B971-11D4-B763-0000C0FE1D9E}"
#define CDW_GUID_DESKTOP_TEXT "{B1181E91-B971-11D4-B763-0000C0FE1D9E}"
#define CDW_GUID_RECORDER_PARTS                                                                    \
    0xB1181E90, 0xB971, 0x11D4, { 0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E }
#define CDW_GUID_DESKTOP_PARTS                                                                     \
    0xB1181E91, 0xB971, 0x11D4, { 0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E }

/* Limits of the recording interface. */
#define MIN_CACHE_BUFFERS 16u
#define MAX_CACHE_BUFFERS 96u
#define CACHE_BUFFER_SIZE 156672u /* 64 blocks of 2448 bytes */
#define MAX_TRACKS 100u
#define MAX_BLOCK_SIZE 2448u

/* recordingStatus values of the status record. */
#define RECSTAT_IDLE 0u
#define RECSTAT_IN_PROCESS 1u
#define RECSTAT_COMPLETE 2u
#define RECSTAT_WRITE_FAILED 3u
#define RECSTAT_OPEN_FAILED 4u
#define RECSTAT_READ_FAILED 5u
#define RECSTAT_PACKET_TIMEOUT 6u
#define RECSTAT_REFILL_TIMEOUT 8u
#define RECSTAT_INVALID_PACKET 9u
#define RECSTAT_QUEUE_ERROR 10u
#define RECSTAT_ABORTED 11u

/* Bit 24 of the record-disc mode word: the write thread idles after its 100th packet. */
#define RECORD_FLAG_TEST_HANG 0x01000000u

/* The status record returned by IOCTL_RECORDER_RECORDING_STATUS (64 bytes). */
typedef struct _RECORDING_STATUS {
    uint32_t Reserved;
    uint8_t bCancel;
    uint8_t bReadStarted;
    uint8_t Padding1[2];
    uint32_t blocksWritten;
    uint32_t packetsQueued;
    uint32_t buffersOrChecksum;
    uint32_t recordingStatus;
    uint32_t lastSrbStatus;
    uint8_t lastScsiStatus;
    uint8_t senseData[18];
    uint8_t failedCdb[16];
    uint8_t Padding2;
} RECORDING_STATUS;

static_assert(sizeof(RECORDING_STATUS) == 64, "status record size");
static_assert(offsetof(RECORDING_STATUS, bCancel) == 4, "status record layout");
static_assert(offsetof(RECORDING_STATUS, bReadStarted) == 5, "status record layout");
static_assert(offsetof(RECORDING_STATUS, blocksWritten) == 8, "status record layout");
static_assert(offsetof(RECORDING_STATUS, packetsQueued) == 12, "status record layout");
static_assert(offsetof(RECORDING_STATUS, buffersOrChecksum) == 16, "status record layout");
static_assert(offsetof(RECORDING_STATUS, recordingStatus) == 20, "status record layout");
static_assert(offsetof(RECORDING_STATUS, lastSrbStatus) == 24, "status record layout");
static_assert(offsetof(RECORDING_STATUS, lastScsiStatus) == 28, "status record layout");
static_assert(offsetof(RECORDING_STATUS, senseData) == 29, "status record layout");
static_assert(offsetof(RECORDING_STATUS, failedCdb) == 47, "status record layout");
static_assert(offsetof(RECORDING_STATUS, Padding2) == 63, "status record layout");

/* One track of a record-disc request (20 bytes). */
typedef struct _TRACK_ENTRY {
    uint32_t trackFormat;
    uint32_t blockSize;
    uint32_t startBlock;
    uint32_t hdStartBlock;
    uint32_t nBlocks;
} TRACK_ENTRY;

static_assert(sizeof(TRACK_ENTRY) == 20, "track entry size");

/* Input of IOCTL_RECORDER_RECORD_DISC (2076 bytes). */
typedef struct _RECORD_DISC_REQUEST {
    uint32_t Unused0;
    char imageName[32];
    uint8_t bBufferedRead;
    uint8_t bChecksumOnly;
    uint8_t Unused26[6];
    uint32_t pregapStartBlock;
    uint32_t pregapBlockSize;
    uint32_t nPregapBlocks;
    uint32_t numTracks;
    uint32_t initialBlocksWritten;
    uint32_t modeWord;
    TRACK_ENTRY tracks[MAX_TRACKS];
    uint32_t refillPercent;
    uint8_t bWriteTdb;
    uint8_t tdbTrackNumber;
    uint8_t Unused81A[2];
} RECORD_DISC_REQUEST;

static_assert(sizeof(RECORD_DISC_REQUEST) == 2076, "record-disc block size");
static_assert(offsetof(RECORD_DISC_REQUEST, imageName) == 0x004, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, bBufferedRead) == 0x024, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, bChecksumOnly) == 0x025, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, pregapStartBlock) == 0x02C, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, pregapBlockSize) == 0x030, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, nPregapBlocks) == 0x034, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, numTracks) == 0x038, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, initialBlocksWritten) == 0x03C, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, modeWord) == 0x040, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, tracks) == 0x044, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, refillPercent) == 0x814, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, bWriteTdb) == 0x818, "record-disc layout");
static_assert(offsetof(RECORD_DISC_REQUEST, tdbTrackNumber) == 0x819, "record-disc layout");

/*
 * Input of IOCTL_RECORDER_RECORD_DISC_EX2 (2336 bytes): the record-disc block from offset 0x024
 * on, with a long image name at its end (over the record-disc block's two unused last bytes).
 */
typedef struct _RECORD_DISC_EX2_REQUEST {
    uint8_t Unused0[0x24]; /* the record-disc block's name field is not read */
    uint8_t bBufferedRead;
    uint8_t bChecksumOnly;
    uint8_t Unused26[6];
    uint32_t pregapStartBlock;
    uint32_t pregapBlockSize;
    uint32_t nPregapBlocks;
    uint32_t numTracks;
    uint32_t initialBlocksWritten;
    uint32_t modeWord;
    TRACK_ENTRY tracks[MAX_TRACKS];
    uint32_t refillPercent;
    uint8_t bWriteTdb;
    uint8_t tdbTrackNumber;
    char imageName[260];
    uint8_t Unused91E[2];
} RECORD_DISC_EX2_REQUEST;

static_assert(sizeof(RECORD_DISC_EX2_REQUEST) == 2336, "record-disc ex2 block size");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, bBufferedRead) == 0x024, "record-disc ex2 layout");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, pregapStartBlock) == 0x02C, "record-disc ex2 layout");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, tracks) == 0x044, "record-disc ex2 layout");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, refillPercent) == 0x814, "record-disc ex2 layout");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, tdbTrackNumber) == 0x819, "record-disc ex2 layout");
static_assert(offsetof(RECORD_DISC_EX2_REQUEST, imageName) == 0x81A, "record-disc ex2 layout");

/* Input of IOCTL_RECORDER_RECORD_DISC_EX (324 bytes). */
typedef struct _RECORD_DISC_EX_REQUEST {
    uint32_t Unused0;
    char imageName[260];
    uint32_t imageByteOffset;
    uint32_t Unused10C;
    uint32_t pregapStartBlock;
    uint32_t pregapBlockSize;
    uint32_t nPregapBlocks;
    uint32_t numTracks;
    uint32_t initialBlocksWritten;
    uint32_t modeWord;
    TRACK_ENTRY tracks[1];
    uint32_t refillPercent;
    uint8_t bWriteTdb;
    uint8_t tdbTrackNumber;
    uint8_t Unused142[2];
} RECORD_DISC_EX_REQUEST;

static_assert(sizeof(RECORD_DISC_EX_REQUEST) == 324, "record-disc ex block size");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, imageByteOffset) == 0x108, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, pregapStartBlock) == 0x110, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, numTracks) == 0x11C, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, modeWord) == 0x124, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, tracks) == 0x128, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, refillPercent) == 0x13C, "record-disc ex layout");
static_assert(offsetof(RECORD_DISC_EX_REQUEST, bWriteTdb) == 0x140, "record-disc ex layout");

/* Output of IOCTL_RECORDER_QUERY_PARAMETERS (20 bytes). */
typedef struct _CD_RECORDER_PARAMETERS {
    uint32_t Unused0;
    uint8_t PortNumber;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint32_t AlignmentRequirement;
    uint32_t MaximumTransferLength;
    uint32_t MaximumPhysicalPages;
} CD_RECORDER_PARAMETERS;

static_assert(sizeof(CD_RECORDER_PARAMETERS) == 20, "parameters size");
static_assert(offsetof(CD_RECORDER_PARAMETERS, PortNumber) == 4, "parameters layout");
static_assert(offsetof(CD_RECORDER_PARAMETERS, AlignmentRequirement) == 8, "parameters layout");
static_assert(offsetof(CD_RECORDER_PARAMETERS, MaximumPhysicalPages) == 16, "parameters layout");

/* Input and output of IOCTL_RECORDER_QUERY_PROPERTIES (2072 bytes). */
#define CDW_PROPERTY_BUFFER_SIZE 2048u
typedef struct _CD_RECORDER_PROPERTIES {
    uint32_t Length;
    uint32_t Type;
    uint64_t DeviceObject;
    uint64_t PDO;
    uint8_t PropertyBuffer[CDW_PROPERTY_BUFFER_SIZE];
} CD_RECORDER_PROPERTIES;

static_assert(sizeof(CD_RECORDER_PROPERTIES) == 2072, "properties size");
static_assert(offsetof(CD_RECORDER_PROPERTIES, Type) == 4, "properties layout");
static_assert(offsetof(CD_RECORDER_PROPERTIES, DeviceObject) == 8, "properties layout");
static_assert(offsetof(CD_RECORDER_PROPERTIES, PDO) == 16, "properties layout");
static_assert(offsetof(CD_RECORDER_PROPERTIES, PropertyBuffer) == 24, "properties layout");

/* The pass-through block of IOCTL_RECORDER_EXEC_SCSI_OPERATION (60 bytes, in and out). */
typedef struct _SCSI_PASS_THROUGH_REQUEST {
    uint32_t Reserved1;
    uint8_t Cdb[16];
    uint8_t CdbLength;
    uint8_t bDataOut;
    uint16_t TimeOut;
    uint32_t DataTransferLength;
    uint32_t DataBuffer; /* an address in the application's 32-bit address space */
    uint32_t Reserved2;
    uint8_t ScsiStatus;
    uint8_t SrbStatus;
    uint8_t SenseInfoLength;
    uint8_t SenseInfo[21];
} SCSI_PASS_THROUGH_REQUEST;

static_assert(sizeof(SCSI_PASS_THROUGH_REQUEST) == 60, "pass-through size");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, CdbLength) == 20, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, TimeOut) == 22, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, DataTransferLength) == 24, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, DataBuffer) == 28, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, ScsiStatus) == 36, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, SrbStatus) == 37, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, SenseInfoLength) == 38, "pass-through layout");
static_assert(offsetof(SCSI_PASS_THROUGH_REQUEST, SenseInfo) == 39, "pass-through layout");

/* Input of IOCTL_RECORDER_CREATE_CACHE_DRIVE and IOCTL_RECORDER_INIT_CACHE_LOCK (8 bytes). */
typedef struct _CACHE_DRIVE_REQUEST {
    uint32_t Unused0;
    char DriveLetter;
    uint8_t Unused5;
    uint16_t Address;
} CACHE_DRIVE_REQUEST;

static_assert(sizeof(CACHE_DRIVE_REQUEST) == 8, "cache-drive request size");
static_assert(offsetof(CACHE_DRIVE_REQUEST, DriveLetter) == 4, "cache-drive request layout");
static_assert(offsetof(CACHE_DRIVE_REQUEST, Address) == 6, "cache-drive request layout");
