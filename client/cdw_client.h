/*
 * cdw_client.h - the user-mode side of the recorder driver: find recorders and desktop units
 * through their device interface classes, open one, and send the driver's private control
 * requests as typed calls.
 *
 * Results are NT status values (CdwStatus); CdwSucceeded() tests them as NT_SUCCESS does.
 * Everything here goes through the application side of the user/kernel boundary: buffered
 * control requests, and application memory for the data buffer of the pass-through request.
 */
#pragma once

#include "control/cdwriter_ioctl.h"

#include <cstdint>
#include <string>
#include <vector>

typedef int32_t CdwStatus;

inline bool CdwSucceeded(CdwStatus status) {
    return status >= 0;
}

enum class CdwDeviceKind { Recorder, DesktopUnit };

/* Enabled device interfaces of a kind (recorders, desktop units). */
unsigned CdwCountDevices(CdwDeviceKind kind);

/* The interface's symbolic link, "" when there is no such device. */
std::string CdwDeviceLink(CdwDeviceKind kind, unsigned index);

/* One SCSI command for the pass-through request. */
struct CdwScsiCommand {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    bool dataOut = false; /* true: data goes to the device */
    uint16_t timeoutSeconds = 30;
    uint32_t transferLength = 0;   /* bytes; 0 for a command without data */
    const void *outData = nullptr; /* data for a data-out command (transferLength bytes) */
    uint8_t senseLength = 18;      /* sense bytes wanted, at most 18 */
};

/* What came back: the request block's status fields and, for a data-in command that
   succeeded, the data. */
struct CdwScsiResult {
    uint8_t srbStatus = 0;
    uint8_t scsiStatus = 0;
    uint8_t sense[21] = {};
    uint8_t senseLength = 0;
    std::vector<uint8_t> data;

    /* The command succeeded (SRB_STATUS_SUCCESS). */
    bool Good() const { return srbStatus == 0x01; }
    uint8_t SenseKey() const { return sense[2] & 0x0F; }
    uint8_t Asc() const { return sense[12]; }
    uint8_t Ascq() const { return sense[13]; }
};

/* An open recorder or desktop unit. Not copyable; movable. */
class CdwDevice {
public:
    CdwDevice() = default;
    ~CdwDevice();
    CdwDevice(const CdwDevice &) = delete;
    CdwDevice &operator=(const CdwDevice &) = delete;
    CdwDevice(CdwDevice &&other) noexcept;
    CdwDevice &operator=(CdwDevice &&other) noexcept;

    /* Opens the index-th enabled interface of the kind. */
    CdwStatus Open(CdwDeviceKind kind, unsigned index);
    CdwStatus Close();
    bool IsOpen() const { return handle_ != nullptr; }
    CdwDeviceKind Kind() const { return kind_; }
    unsigned Index() const { return index_; }

    /* Any buffered control request. */
    CdwStatus Control(uint32_t code, const void *in, uint32_t inLength, void *out,
                      uint32_t outLength, uint32_t *returned = nullptr);

    /* Cache buffers (16 to 96 are kept by the driver); *allocated gets the count it has. */
    CdwStatus AllocateCache(uint32_t wanted, uint32_t *allocated);
    CdwStatus DeallocateCache();

    /* The three record-disc requests; they return at once, the recording runs on. */
    CdwStatus RecordDisc(const RECORD_DISC_REQUEST &block);
    CdwStatus RecordDiscEx(const RECORD_DISC_EX_REQUEST &block);
    CdwStatus RecordDiscEx2(const RECORD_DISC_EX2_REQUEST &block);

    /* A snapshot of the status record; Cancel asks for the cancel in the same request (the
       snapshot then still shows the record from before the cancel). */
    CdwStatus QueryStatus(RECORDING_STATUS *status);
    CdwStatus Cancel(RECORDING_STATUS *status = nullptr);

    /* Cache drives: register a volume, bind this recorder's download lock, lock, unlock. */
    CdwStatus CreateCacheDrive(char driveLetter, uint16_t address);
    CdwStatus InitCacheLock(char driveLetter);
    CdwStatus LockCacheDrive();
    CdwStatus UnlockCacheDrive();

    /* Queries: SCSI address and adapter limits; one device property. */
    CdwStatus QueryParameters(CD_RECORDER_PARAMETERS *parameters);
    CdwStatus QueryProperties(uint32_t type, CD_RECORDER_PROPERTIES *properties);
    /* A string property (UTF-16 in the buffer) as UTF-8. */
    CdwStatus QueryPropertyString(uint32_t type, std::string *text);

    /* One command through the pass-through request. The request's own status is returned;
       the command's outcome is in *result. */
    CdwStatus ExecScsi(const CdwScsiCommand &command, CdwScsiResult *result);

private:
    void *handle_ = nullptr;
    CdwDeviceKind kind_ = CdwDeviceKind::Recorder;
    unsigned index_ = 0;
    void *userBuffer_ = nullptr; /* application memory for pass-through data */
    size_t userBufferSize_ = 0;
};

/* Common SCSI commands as pass-through blocks. */
CdwScsiCommand CdwInquiryCommand(uint8_t allocationLength = 36);
CdwScsiCommand CdwReadBufferCapacityCommand();
CdwScsiCommand CdwRead10Command(uint32_t lba, uint16_t blocks, uint32_t blockSize);
CdwScsiCommand CdwTestUnitReadyCommand();

/* READ BUFFER CAPACITY data: buffer length and blank length; false when too short. */
bool CdwParseBufferCapacity(const std::vector<uint8_t> &data, uint32_t *length, uint32_t *blank);
