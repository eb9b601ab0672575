/*
 * control_fuzz.cpp - see control_fuzz.h.
 */
#include "control_fuzz.h"

#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "recording_scenario.h"

namespace {

const GUID kRecorderInterface = {
    0xB1181E90, 0xB971, 0x11D4, {0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E}};
const GUID kDesktopInterface = {
    0xB1181E91, 0xB971, 0x11D4, {0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E}};

const ULONG kPrivateCodes[] = {
    IOCTL_RECORDER_EXEC_SCSI_OPERATION, IOCTL_RECORDER_QUERY_PARAMETERS,
    IOCTL_RECORDER_RECORD_DISC,         IOCTL_RECORDER_RECORDING_STATUS,
    IOCTL_RECORDER_CREATE_CACHE_DRIVE,  IOCTL_RECORDER_INIT_CACHE_LOCK,
    IOCTL_RECORDER_LOCK_CACHE_DRIVE,    IOCTL_RECORDER_UNLOCK_CACHE_DRIVE,
    IOCTL_RECORDER_RECORD_DISC_EX,      IOCTL_RECORDER_ALLOCATE_CACHE,
    IOCTL_RECORDER_DEALLOCATE_CACHE,    IOCTL_RECORDER_RECORD_DISC_EX2,
    IOCTL_RECORDER_QUERY_PROPERTIES};
const ULONG kStandardCodes[] = {IOCTL_SCSI_GET_ADDRESS,      IOCTL_STORAGE_QUERY_PROPERTY,
                                IOCTL_SCSI_PASS_THROUGH,     IOCTL_STORAGE_CHECK_VERIFY,
                                IOCTL_STORAGE_MEDIA_REMOVAL, IOCTL_STORAGE_EJECT_MEDIA};

const ULONG kLargestBlock = sizeof(RECORD_DISC_EX2_REQUEST);
const ULONG kImageBlocks = 32;
const char *const kImageObject = "\\??\\D:\\fz.iso";

/* Application memory the pass-through blocks point into. */
struct Regions {
    UCHAR *Valid = nullptr;    /* 64 KiB, writable */
    UCHAR *ReadOnly = nullptr; /* 64 KiB, read-only for the probes */
    UCHAR *Unmapped = nullptr; /* 64 KiB, invalidated */
    UCHAR *Short = nullptr;    /* 256 bytes, writable */
};
const size_t kRegionSize = 65536;
const size_t kShortSize = 256;

Regions gRegions;
std::string gScratch;
uint64_t gRequests = 0;
uint64_t gLives = 0;

/* Reads the input; past its end every value is 0. */
class Reader {
public:
    Reader(const uint8_t *Data, size_t Size) : data_(Data), size_(Size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return (uint16_t)(Byte() | (Byte() << 8)); }
    uint32_t Long() { return (uint32_t)Word() | ((uint32_t)Word() << 16); }
    void Fill(UCHAR *Out, size_t Length) {
        for (size_t i = 0; i < Length; i++) {
            Out[i] = Byte();
        }
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

[[noreturn]] void Broken(const char *What, const std::string &Detail) {
    fprintf(stderr, "CONTROL FUZZ: %s\n%s\n%s\n", What, Detail.c_str(), HostDebugLog().c_str());
    fflush(stderr);
    abort();
}

/* A valid block of Code to lay the input over (empty for codes without one). */
std::vector<UCHAR> ValidBlock(ULONG Code, Reader &In) {
    std::vector<UCHAR> block;
    switch (Code) {
    case IOCTL_RECORDER_EXEC_SCSI_OPERATION: {
        block.assign(sizeof(SCSI_PASS_THROUGH_REQUEST), 0);
        auto *request = reinterpret_cast<SCSI_PASS_THROUGH_REQUEST *>(block.data());
        request->TimeOut = 10;
        switch (In.Byte() % 4) {
        case 0: /* INQUIRY */
            request->Cdb[0] = 0x12;
            request->Cdb[4] = 96;
            request->CdbLength = 6;
            request->DataTransferLength = 96;
            break;
        case 1: /* TEST UNIT READY */
            request->CdbLength = 6;
            break;
        case 2: /* READ(10) of one block */
            request->Cdb[0] = 0x28;
            request->Cdb[8] = 1;
            request->CdbLength = 10;
            request->DataTransferLength = 2048;
            break;
        default: /* WRITE(10) of one block */
            request->Cdb[0] = 0x2A;
            request->Cdb[5] = In.Byte();
            request->Cdb[8] = 1;
            request->CdbLength = 10;
            request->bDataOut = 1;
            request->DataTransferLength = 2048;
            break;
        }
        request->DataBuffer = HostUserAddress(gRegions.Valid);
        break;
    }
    case IOCTL_RECORDER_RECORD_DISC:
        block = OneTrackRecordRequest(kImageObject, kImageBlocks);
        break;
    case IOCTL_RECORDER_RECORD_DISC_EX:
        block = OneTrackRecordBlock<RECORD_DISC_EX_REQUEST>(kImageObject, kImageBlocks);
        break;
    case IOCTL_RECORDER_RECORD_DISC_EX2:
        block = OneTrackRecordBlock<RECORD_DISC_EX2_REQUEST>(kImageObject, kImageBlocks);
        break;
    case IOCTL_RECORDER_RECORDING_STATUS:
        block.assign(sizeof(RECORDING_STATUS), 0);
        break;
    case IOCTL_RECORDER_CREATE_CACHE_DRIVE:
    case IOCTL_RECORDER_INIT_CACHE_LOCK: {
        block.assign(sizeof(CACHE_DRIVE_REQUEST), 0);
        auto *request = reinterpret_cast<CACHE_DRIVE_REQUEST *>(block.data());
        request->DriveLetter = 'D';
        request->Address = 1;
        break;
    }
    case IOCTL_RECORDER_ALLOCATE_CACHE: {
        block.assign(4, 0);
        uint32_t count = 16 + In.Byte() % 81;
        memcpy(block.data(), &count, 4);
        break;
    }
    case IOCTL_RECORDER_QUERY_PROPERTIES: {
        block.assign(sizeof(CD_RECORDER_PROPERTIES), 0);
        reinterpret_cast<CD_RECORDER_PROPERTIES *>(block.data())->Type = In.Byte() % 24;
        break;
    }
    default:
        break;
    }
    return block;
}

/* Points the data address of a pass-through block where the input says. */
void PlaceDataAddress(std::vector<UCHAR> &Buffer, Reader &In) {
    if (Buffer.size() < offsetof(SCSI_PASS_THROUGH_REQUEST, DataBuffer) + 4) {
        return;
    }
    const uint8_t mode = In.Byte() % 5;
    const uint16_t offset = In.Word();
    uint32_t address;
    switch (mode) {
    case 0:
        address = HostUserAddress(gRegions.Valid + offset % 4096);
        break;
    case 1:
        address = HostUserAddress(gRegions.Unmapped + offset % kRegionSize);
        break;
    case 2:
        address = HostUserAddress(gRegions.ReadOnly + offset % 4096);
        break;
    case 3:
        address = HostUserAddress(gRegions.Short + offset % kShortSize);
        break;
    default:
        address = In.Long();
        break;
    }
    memcpy(Buffer.data() + offsetof(SCSI_PASS_THROUGH_REQUEST, DataBuffer), &address, 4);
}

void SendOne(HANDLE Handle, Reader &In) {
    ULONG code;
    const uint8_t kind = In.Byte() % 8;
    if (kind < 5) {
        code = kPrivateCodes[In.Byte() % (sizeof(kPrivateCodes) / sizeof(kPrivateCodes[0]))];
    } else if (kind == 5) {
        code = kStandardCodes[In.Byte() % (sizeof(kStandardCodes) / sizeof(kStandardCodes[0]))];
    } else if (kind == 6) {
        code = In.Long();
    } else {
        /* A private function number with any device type, access and method. */
        code = (kPrivateCodes[In.Byte() % 13] & 0x3FFC) | (In.Long() & 0xFFFFC003u);
    }
    const ULONG inLength = In.Word() % (2 * kLargestBlock + 1);
    const ULONG outLength = In.Word() % (2 * kLargestBlock + 1);
    const uint8_t contents = In.Byte() % 3;
    const bool inPlace = (In.Byte() & 1) != 0;

    std::vector<UCHAR> input(inLength, 0);
    if (contents == 0) {
        In.Fill(input.data(), input.size());
    } else if (contents == 1) {
        std::vector<UCHAR> block = ValidBlock(code, In);
        if (!block.empty() && inLength > 0) {
            memcpy(input.data(), block.data(), block.size() < inLength ? block.size() : inLength);
        }
        for (uint8_t n = In.Byte() % 8; n > 0 && inLength > 0; n--) {
            const uint16_t at = In.Word();
            input[at % inLength] = In.Byte();
        }
    }
    if ((code & 0x3FFC) == (IOCTL_RECORDER_EXEC_SCSI_OPERATION & 0x3FFC) && (In.Byte() & 1)) {
        PlaceDataAddress(input, In);
    }

    ULONG returned = 0;
    if (code == IOCTL_RECORDER_LOCK_CACHE_DRIVE) {
        /* The lock is not recursive: a holder that asks again waits for itself for ever, as
         * documented. The application never asks for a lock it holds. */
        (void)HostDeviceIoControl(Handle, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0,
                                  &returned);
    }
    gRequests++;
    if (inPlace) {
        input.resize(inLength > outLength ? inLength : outLength, 0);
        (void)HostDeviceIoControl(Handle, code, inLength ? input.data() : nullptr, inLength,
                                  outLength ? input.data() : nullptr, outLength, &returned);
    } else {
        std::vector<UCHAR> output(outLength, 0xA5);
        (void)HostDeviceIoControl(Handle, code, inLength ? input.data() : nullptr, inLength,
                                  outLength ? output.data() : nullptr, outLength, &returned);
    }
    if (returned > outLength) {
        Broken("more bytes returned than the output holds", std::to_string(returned));
    }
}

struct Plugged {
    PSIM_RECORDER Sim = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
};

Plugged Plug(bool Desktop) {
    SIM_RECORDER_CONFIG config;
    HostSimDefaultConfig(&config);
    if (Desktop) {
        HostSimDesktopUnitConfig(&config);
    }
    config.LogCapacity = 64;
    Plugged unit;
    unit.Sim = HostCreateSimulatedRecorder(&config);
    if (unit.Sim == nullptr) {
        Broken("cannot create a simulated unit", "");
    }
    unit.Fdo = HostPnpAddDevice(unit.Sim->Pdo);
    if (unit.Fdo == nullptr || !NT_SUCCESS(HostPnpStart(unit.Fdo))) {
        Broken("the unit does not start", Desktop ? "desktop unit" : "recorder");
    }
    return unit;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

void CdwFuzzInitialize() {
    if (!gScratch.empty()) {
        return;
    }
    HostClockUseVirtual();
    char pattern[] = "/tmp/cdw_fuzz_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        Broken("cannot create a scratch directory", "");
    }
    gScratch = pattern;
    const std::string image = gScratch + "/fz.iso";
    FILE *file = fopen(image.c_str(), "wb");
    for (ULONG i = 0; file != nullptr && i < kImageBlocks * 2048; i++) {
        fputc((int)((i * 7 + 3) & 0xFF), file);
    }
    if (file != nullptr) {
        fclose(file);
    }
    HostMapDriveLetter('D', gScratch.c_str());
    gRegions.Valid = static_cast<UCHAR *>(HostUserAlloc(kRegionSize, TRUE));
    gRegions.ReadOnly = static_cast<UCHAR *>(HostUserAlloc(kRegionSize, FALSE));
    gRegions.Unmapped = static_cast<UCHAR *>(HostUserAlloc(kRegionSize, TRUE));
    gRegions.Short = static_cast<UCHAR *>(HostUserAlloc(kShortSize, TRUE));
    HostUserInvalidate(gRegions.Unmapped);
    atexit([] {
        std::string command = "rm -rf '" + gScratch + "'";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "cannot remove %s\n", gScratch.c_str());
        }
    });
}

int CdwFuzzOneInput(const uint8_t *Data, size_t Size) {
    CdwFuzzInitialize();
    HostThreadScope scope("fuzz");
    HostDebugLogClear();
    HostErrorLogClear();
    Reader in(Data, Size);
    gLives++;

    FreshDriverImage();
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = HostLoadDriver(DriverEntry, "cdwriter", &entry);
    if (!NT_SUCCESS(entry)) {
        Broken("DriverEntry failed", "");
    }
    Plugged recorder = Plug(false);
    Plugged desktop = Plug(true);
    HANDLE handles[2] = {nullptr, nullptr};
    if (!NT_SUCCESS(HostOpenDevice(&kRecorderInterface, 0, &handles[0])) ||
        !NT_SUCCESS(HostOpenDevice(&kDesktopInterface, 0, &handles[1]))) {
        Broken("cannot open the units", "");
    }

    const int requests = 1 + in.Byte() % 8;
    for (int i = 0; i < requests; i++) {
        SendOne(handles[in.Byte() % 4 == 3 ? 1 : 0], in);
    }

    /* A recording runs to its end (or, as the input says, is cancelled at once); both threads
     * of both units come to rest. */
    ULONG returned = 0;
    for (HANDLE handle : handles) {
        /* The application gives back a cache-drive lock it took: a recording waits for it. */
        (void)HostDeviceIoControl(handle, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0,
                                  &returned);
    }
    if (in.Byte() % 4 != 3) {
        (void)WaitRecordingIdle(CdwWriterExtension(recorder.Fdo), 600);
    }
    RECORDING_STATUS cancel = {};
    cancel.bCancel = 1;
    (void)HostDeviceIoControl(handles[0], IOCTL_RECORDER_RECORDING_STATUS, &cancel, sizeof(cancel),
                              &cancel, sizeof(cancel), &returned);
    for (PDEVICE_OBJECT fdo : {recorder.Fdo, desktop.Fdo}) {
        if (!WaitRecordingIdle(CdwWriterExtension(fdo), 3600)) {
            Broken("a recording never ended", HostSchedulerReport());
        }
    }
    for (HANDLE handle : handles) {
        (void)HostCloseDevice(handle);
    }
    (void)HostPnpRemove(recorder.Fdo);
    (void)HostPnpRemove(desktop.Fdo);
    HostDestroySimulatedRecorder(recorder.Sim);
    HostDestroySimulatedRecorder(desktop.Sim);
    std::string report;
    if (!HostUnloadDriver(driver, &report)) {
        Broken("the unload left something behind", report);
    }
    if (HostSchedulerDeadlockCount() != 0) {
        Broken("deadlock on the stand-in clock", "");
    }
    return 0;
}

uint64_t CdwFuzzRequestCount() {
    return gRequests;
}

uint64_t CdwFuzzLifeCount() {
    return gLives;
}
