/*
 * test_support.cpp - see test_support.h.
 */
#include "test_support.h"
#include "recorder_setup.h"

#include <gtest/gtest.h>
#include <standin/io.h>
#include <stdio.h>
#include <string.h>

TRACK_ENTRY TrackEntry(ULONG Format, ULONG BlockSize, ULONG StartBlock, ULONG HdStartBlock,
                       ULONG Blocks) {
    TRACK_ENTRY track;
    track.trackFormat = Format;
    track.blockSize = BlockSize;
    track.startBlock = StartBlock;
    track.hdStartBlock = HdStartBlock;
    track.nBlocks = Blocks;
    return track;
}

std::vector<UCHAR> ReadHostFile(const std::string &Path) {
    std::vector<UCHAR> bytes;
    FILE *file = fopen(Path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    UCHAR chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    fclose(file);
    return bytes;
}

std::vector<SIM_LOG_ENTRY> SimCommands(PSIM_RECORDER Sim) {
    std::vector<SIM_LOG_ENTRY> entries;
    SIM_LOG_ENTRY entry;
    for (ULONG i = 0; HostSimLogEntry(Sim, i, &entry); i++) {
        entries.push_back(entry);
    }
    return entries;
}

std::vector<SIM_LOG_ENTRY> SimCommands(PSIM_RECORDER Sim, UCHAR Opcode) {
    std::vector<SIM_LOG_ENTRY> some;
    for (const SIM_LOG_ENTRY &entry : SimCommands(Sim)) {
        if (entry.Cdb[0] == Opcode) {
            some.push_back(entry);
        }
    }
    return some;
}

ULONG CdbLba(const SIM_LOG_ENTRY &E) {
    return (ULONG(E.Cdb[2]) << 24) | (ULONG(E.Cdb[3]) << 16) | (ULONG(E.Cdb[4]) << 8) | E.Cdb[5];
}

ULONG CdbBlocks(const SIM_LOG_ENTRY &E) {
    return (ULONG(E.Cdb[7]) << 8) | E.Cdb[8];
}

std::vector<std::string> &VerifierReports() {
    static std::vector<std::string> reports;
    return reports;
}

void CollectVerifierReport(const char *Report) {
    VerifierReports().push_back(Report);
}

bool VerifierReported(const char *Text) {
    for (const std::string &report : VerifierReports()) {
        if (report.find(Text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

NTSTATUS AllocateCache(HANDLE Handle, ULONG Count, ULONG *Allocated) {
    ULONG count = Count;
    ULONG returned = 0;
    NTSTATUS status = HostDeviceIoControl(Handle, IOCTL_RECORDER_ALLOCATE_CACHE, &count,
                                          sizeof(count), &count, sizeof(count), &returned);
    if (Allocated != nullptr) {
        *Allocated = count;
    }
    return status;
}

RECORDING_STATUS QueryRecordingStatus(HANDLE Handle, bool Cancel) {
    RECORDING_STATUS in, out;
    memset(&in, 0, sizeof(in));
    memset(&out, 0xEE, sizeof(out));
    in.bCancel = Cancel ? 1 : 0;
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, HostDeviceIoControl(Handle, IOCTL_RECORDER_RECORDING_STATUS, &in,
                                                  sizeof(in), &out, sizeof(out), &returned));
    return out;
}

NTSTATUS SendRecordBlock(HANDLE Handle, ULONG Code, const std::vector<UCHAR> &Block) {
    UCHAR out[16];
    ULONG returned = 0xFFFF;
    PrepareRecorderOfHandle(Handle, Code, Block.data(), static_cast<ULONG>(Block.size()));
    const NTSTATUS status = HostDeviceIoControl(
        Handle, Code, Block.data(), static_cast<ULONG>(Block.size()), out, sizeof(out), &returned);
    EXPECT_EQ(0u, returned) << "Information must be 0";
    return status;
}
