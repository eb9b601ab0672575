/*
 * cdw_client.cpp - typed control requests over the application side of the user/kernel
 * boundary.
 */
#include "cdw_client.h"

#include <ntddk.h>
#include <standin/io.h>

#include <algorithm>
#include <cstring>

namespace {

const GUID kRecorderClass = {CDW_GUID_RECORDER_PARTS};
const GUID kDesktopClass = {CDW_GUID_DESKTOP_PARTS};

const GUID *ClassOf(CdwDeviceKind kind) {
    return kind == CdwDeviceKind::Recorder ? &kRecorderClass : &kDesktopClass;
}

/* UTF-16LE (NUL-terminated within length bytes) to UTF-8. */
std::string Utf16ToUtf8(const uint8_t *bytes, size_t length) {
    std::string out;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint32_t c = bytes[i] | (bytes[i + 1] << 8);
        if (c == 0)
            break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < length) {
            uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

unsigned CdwCountDevices(CdwDeviceKind kind) {
    return HostDeviceInterfaceCount(ClassOf(kind), TRUE);
}

std::string CdwDeviceLink(CdwDeviceKind kind, unsigned index) {
    char link[512];
    if (!HostDeviceInterfaceLink(ClassOf(kind), index, link, sizeof(link)))
        return "";
    return link;
}

CdwDevice::~CdwDevice() {
    Close();
}

CdwDevice::CdwDevice(CdwDevice &&other) noexcept {
    *this = std::move(other);
}

CdwDevice &CdwDevice::operator=(CdwDevice &&other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        kind_ = other.kind_;
        index_ = other.index_;
        userBuffer_ = other.userBuffer_;
        userBufferSize_ = other.userBufferSize_;
        other.handle_ = nullptr;
        other.userBuffer_ = nullptr;
        other.userBufferSize_ = 0;
    }
    return *this;
}

CdwStatus CdwDevice::Open(CdwDeviceKind kind, unsigned index) {
    Close();
    HANDLE handle = nullptr;
    NTSTATUS status = HostOpenDevice(ClassOf(kind), index, &handle);
    if (NT_SUCCESS(status)) {
        handle_ = handle;
        kind_ = kind;
        index_ = index;
    }
    return status;
}

CdwStatus CdwDevice::Close() {
    NTSTATUS status = STATUS_SUCCESS;
    if (handle_ != nullptr) {
        status = HostCloseDevice(handle_);
        handle_ = nullptr;
    }
    if (userBuffer_ != nullptr) {
        HostUserFree(userBuffer_);
        userBuffer_ = nullptr;
        userBufferSize_ = 0;
    }
    return status;
}

CdwStatus CdwDevice::Control(uint32_t code, const void *in, uint32_t inLength, void *out,
                             uint32_t outLength, uint32_t *returned) {
    if (handle_ == nullptr)
        return STATUS_INVALID_HANDLE;
    ULONG bytes = 0;
    NTSTATUS status = HostDeviceIoControl(handle_, code, in, inLength, out, outLength, &bytes);
    if (returned != nullptr)
        *returned = bytes;
    return status;
}

CdwStatus CdwDevice::AllocateCache(uint32_t wanted, uint32_t *allocated) {
    uint32_t count = wanted;
    uint32_t out = 0;
    CdwStatus status = Control(IOCTL_RECORDER_ALLOCATE_CACHE, &count, 4, &out, 4);
    if (allocated != nullptr)
        *allocated = CdwSucceeded(status) ? out : 0;
    return status;
}

CdwStatus CdwDevice::DeallocateCache() {
    return Control(IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0);
}

CdwStatus CdwDevice::RecordDisc(const RECORD_DISC_REQUEST &block) {
    return Control(IOCTL_RECORDER_RECORD_DISC, &block, sizeof(block), nullptr, 0);
}

CdwStatus CdwDevice::RecordDiscEx(const RECORD_DISC_EX_REQUEST &block) {
    return Control(IOCTL_RECORDER_RECORD_DISC_EX, &block, sizeof(block), nullptr, 0);
}

CdwStatus CdwDevice::RecordDiscEx2(const RECORD_DISC_EX2_REQUEST &block) {
    return Control(IOCTL_RECORDER_RECORD_DISC_EX2, &block, sizeof(block), nullptr, 0);
}

CdwStatus CdwDevice::QueryStatus(RECORDING_STATUS *status) {
    RECORDING_STATUS in = {};
    RECORDING_STATUS out = {};
    CdwStatus result = Control(IOCTL_RECORDER_RECORDING_STATUS, &in, sizeof(in), &out, sizeof(out));
    if (CdwSucceeded(result) && status != nullptr)
        *status = out;
    return result;
}

CdwStatus CdwDevice::Cancel(RECORDING_STATUS *status) {
    RECORDING_STATUS in = {};
    in.bCancel = 1;
    RECORDING_STATUS out = {};
    CdwStatus result = Control(IOCTL_RECORDER_RECORDING_STATUS, &in, sizeof(in), &out, sizeof(out));
    if (CdwSucceeded(result) && status != nullptr)
        *status = out;
    return result;
}

CdwStatus CdwDevice::CreateCacheDrive(char driveLetter, uint16_t address) {
    CACHE_DRIVE_REQUEST block = {};
    block.DriveLetter = driveLetter;
    block.Address = address;
    return Control(IOCTL_RECORDER_CREATE_CACHE_DRIVE, &block, sizeof(block), nullptr, 0);
}

CdwStatus CdwDevice::InitCacheLock(char driveLetter) {
    CACHE_DRIVE_REQUEST block = {};
    block.DriveLetter = driveLetter;
    return Control(IOCTL_RECORDER_INIT_CACHE_LOCK, &block, sizeof(block), nullptr, 0);
}

CdwStatus CdwDevice::LockCacheDrive() {
    return Control(IOCTL_RECORDER_LOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0);
}

CdwStatus CdwDevice::UnlockCacheDrive() {
    return Control(IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0);
}

CdwStatus CdwDevice::QueryParameters(CD_RECORDER_PARAMETERS *parameters) {
    CD_RECORDER_PARAMETERS out = {};
    CdwStatus status = Control(IOCTL_RECORDER_QUERY_PARAMETERS, nullptr, 0, &out, sizeof(out));
    if (CdwSucceeded(status))
        *parameters = out;
    return status;
}

CdwStatus CdwDevice::QueryProperties(uint32_t type, CD_RECORDER_PROPERTIES *properties) {
    memset(properties, 0, sizeof(*properties));
    properties->Type = type;
    return Control(IOCTL_RECORDER_QUERY_PROPERTIES, properties, sizeof(*properties), properties,
                   sizeof(*properties));
}

CdwStatus CdwDevice::QueryPropertyString(uint32_t type, std::string *text) {
    CD_RECORDER_PROPERTIES properties;
    CdwStatus status = QueryProperties(type, &properties);
    if (CdwSucceeded(status)) {
        size_t length = properties.Length < sizeof(properties.PropertyBuffer)
                            ? properties.Length
                            : sizeof(properties.PropertyBuffer);
        *text = Utf16ToUtf8(properties.PropertyBuffer, length);
    }
    return status;
}

CdwStatus CdwDevice::ExecScsi(const CdwScsiCommand &command, CdwScsiResult *result) {
    *result = CdwScsiResult();
    if (command.cdbLength == 0 || command.cdbLength > 16 || command.senseLength > 18)
        return STATUS_INVALID_PARAMETER;
    void *data = nullptr;
    if (command.transferLength != 0) {
        if (userBufferSize_ < command.transferLength) {
            if (userBuffer_ != nullptr)
                HostUserFree(userBuffer_);
            userBuffer_ = HostUserAlloc(command.transferLength, TRUE);
            userBufferSize_ = userBuffer_ != nullptr ? command.transferLength : 0;
            if (userBuffer_ == nullptr)
                return STATUS_INSUFFICIENT_RESOURCES;
        }
        data = userBuffer_;
        if (command.dataOut && command.outData != nullptr)
            memcpy(data, command.outData, command.transferLength);
        else
            memset(data, 0, command.transferLength);
    }
    SCSI_PASS_THROUGH_REQUEST block = {};
    memcpy(block.Cdb, command.cdb, command.cdbLength);
    block.CdbLength = command.cdbLength;
    block.bDataOut = command.dataOut ? 1 : 0;
    block.TimeOut = command.timeoutSeconds;
    block.DataTransferLength = command.transferLength;
    block.DataBuffer = data != nullptr ? HostUserAddress(data) : 0;
    block.SenseInfoLength = command.senseLength;
    CdwStatus status =
        Control(IOCTL_RECORDER_EXEC_SCSI_OPERATION, &block, sizeof(block), &block, sizeof(block));
    if (!CdwSucceeded(status))
        return status;
    result->srbStatus = block.SrbStatus;
    result->scsiStatus = block.ScsiStatus;
    result->senseLength = command.senseLength;
    memcpy(result->sense, block.SenseInfo, command.senseLength);
    if (result->Good() && !command.dataOut && data != nullptr) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        result->data.assign(
            bytes, bytes + std::min<uint32_t>(block.DataTransferLength, command.transferLength));
    }
    return status;
}

CdwScsiCommand CdwInquiryCommand(uint8_t allocationLength) {
    CdwScsiCommand c;
    c.cdb[0] = 0x12;
    c.cdb[4] = allocationLength;
    c.cdbLength = 6;
    c.transferLength = allocationLength;
    return c;
}

CdwScsiCommand CdwReadBufferCapacityCommand() {
    CdwScsiCommand c;
    c.cdb[0] = 0x5C;
    c.cdb[8] = 12;
    c.cdbLength = 10;
    c.transferLength = 12;
    c.timeoutSeconds = 10;
    return c;
}

CdwScsiCommand CdwRead10Command(uint32_t lba, uint16_t blocks, uint32_t blockSize) {
    CdwScsiCommand c;
    c.cdb[0] = 0x28;
    c.cdb[2] = static_cast<uint8_t>(lba >> 24);
    c.cdb[3] = static_cast<uint8_t>(lba >> 16);
    c.cdb[4] = static_cast<uint8_t>(lba >> 8);
    c.cdb[5] = static_cast<uint8_t>(lba);
    c.cdb[7] = static_cast<uint8_t>(blocks >> 8);
    c.cdb[8] = static_cast<uint8_t>(blocks);
    c.cdbLength = 10;
    c.transferLength = static_cast<uint32_t>(blocks) * blockSize;
    c.timeoutSeconds = 60;
    return c;
}

CdwScsiCommand CdwTestUnitReadyCommand() {
    CdwScsiCommand c;
    c.cdbLength = 6;
    return c;
}

bool CdwParseBufferCapacity(const std::vector<uint8_t> &data, uint32_t *length, uint32_t *blank) {
    if (data.size() < 12)
        return false;
    auto be32 = [&](size_t o) {
        return (uint32_t(data[o]) << 24) | (uint32_t(data[o + 1]) << 16) |
               (uint32_t(data[o + 2]) << 8) | uint32_t(data[o + 3]);
    };
    *length = be32(4);
    *blank = be32(8);
    return true;
}
