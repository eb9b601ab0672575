/*
 * recorder_setup.cpp - see recorder_setup.h.
 */
#include "recorder_setup.h"

#include "../../driver/writer.h"
#include "recording_scenario.h"

#include <classpnp.h>
#include <standin/io.h>

#include <string.h>

#include <algorithm>

namespace {

/* Where the shared fields (pre-gap, track count and table) begin in each block. */
struct BlockShape {
    size_t Pregap;
    size_t Tracks;
    ULONG MaxTracks;
};

bool ShapeOf(ULONG Code, ULONG Length, BlockShape *Shape) {
    switch (Code) {
    case IOCTL_RECORDER_RECORD_DISC:
        *Shape = {offsetof(RECORD_DISC_REQUEST, pregapStartBlock),
                  offsetof(RECORD_DISC_REQUEST, tracks), MAX_TRACKS};
        return Length >= sizeof(RECORD_DISC_REQUEST);
    case IOCTL_RECORDER_RECORD_DISC_EX2:
        *Shape = {offsetof(RECORD_DISC_EX2_REQUEST, pregapStartBlock),
                  offsetof(RECORD_DISC_EX2_REQUEST, tracks), MAX_TRACKS};
        return Length >= sizeof(RECORD_DISC_EX2_REQUEST);
    case IOCTL_RECORDER_RECORD_DISC_EX:
        *Shape = {offsetof(RECORD_DISC_EX_REQUEST, pregapStartBlock),
                  offsetof(RECORD_DISC_EX_REQUEST, tracks), 1};
        return Length >= sizeof(RECORD_DISC_EX_REQUEST);
    default:
        return false;
    }
}

uint32_t Field(const void *Block, size_t Offset) {
    uint32_t v;
    memcpy(&v, static_cast<const UCHAR *>(Block) + Offset, sizeof(v));
    return v;
}

} // namespace

std::vector<SIM_LAYOUT_SEGMENT> RecordBlockLayout(ULONG Code, const void *Block, ULONG Length) {
    std::vector<SIM_LAYOUT_SEGMENT> segments;
    BlockShape shape;
    if (Block == nullptr || !ShapeOf(Code, Length, &shape)) {
        return segments;
    }
    uint32_t pregapStart = Field(Block, shape.Pregap);
    uint32_t pregapSize = Field(Block, shape.Pregap + 4);
    uint32_t pregapBlocks = Field(Block, shape.Pregap + 8);
    uint32_t tracks = Field(Block, shape.Pregap + 12);
    if (tracks == 0 || tracks > shape.MaxTracks) {
        return segments;
    }
    if (pregapBlocks != 0) {
        segments.push_back(
            SIM_LAYOUT_SEGMENT{(LONG)pregapStart, pregapBlocks, pregapSize, 1, FALSE});
    }
    for (uint32_t i = 0; i < tracks; i++) {
        TRACK_ENTRY t;
        memcpy(&t, static_cast<const UCHAR *>(Block) + shape.Tracks + i * sizeof(TRACK_ENTRY),
               sizeof(t));
        if (t.nBlocks == 0) {
            continue;
        }
        segments.push_back(SIM_LAYOUT_SEGMENT{(LONG)t.startBlock, t.nBlocks, t.blockSize,
                                              (UCHAR)std::min<uint32_t>(i + 1, 99), FALSE});
    }
    std::stable_sort(segments.begin(), segments.end(),
                     [](const SIM_LAYOUT_SEGMENT &a, const SIM_LAYOUT_SEGMENT &b) {
                         return a.StartLba < b.StartLba;
                     });
    for (size_t i = 1; i < segments.size(); i++) {
        if ((LONGLONG)segments[i - 1].StartLba + segments[i - 1].Blocks !=
            (LONGLONG)segments[i].StartLba) {
            return {};
        }
        /* track numbers follow the addresses */
        segments[i].TrackNumber = std::max(segments[i].TrackNumber, segments[i - 1].TrackNumber);
    }
    return segments;
}

bool PrepareRecorderForBlock(PSIM_RECORDER Sim, ULONG Code, const void *Block, ULONG Length) {
    return PrepareRecorderForLayout(Sim, RecordBlockLayout(Code, Block, Length));
}

void AddLayoutBlocks(std::vector<SIM_LAYOUT_SEGMENT> &Layout, LONG StartLba, ULONG Blocks,
                     ULONG BlockSize) {
    if (Blocks == 0) {
        return;
    }
    if (!Layout.empty()) {
        SIM_LAYOUT_SEGMENT &last = Layout.back();
        if (last.StartLba + (LONG)last.Blocks == StartLba && last.BlockSize == BlockSize) {
            last.Blocks += Blocks;
            return;
        }
    }
    UCHAR track = Layout.empty() ? 1 : Layout.back().TrackNumber;
    Layout.push_back(SIM_LAYOUT_SEGMENT{StartLba, Blocks, BlockSize, track, FALSE});
}

bool PrepareRecorderForLayout(PSIM_RECORDER Sim, std::vector<SIM_LAYOUT_SEGMENT> Layout,
                              bool OpenEnded) {
    if (Layout.empty()) {
        return false;
    }
    for (int attempt = 0; attempt < 2; attempt++) {
        if (attempt == 1) {
            HostSimInsertBlankMedium(Sim);
        }
        if (OpenEnded) {
            SIM_MEDIUM_INFO info;
            HostSimGetMediumInfo(Sim, &info);
            SIM_LAYOUT_SEGMENT &last = Layout.back();
            if ((LONGLONG)last.StartLba < (LONGLONG)info.Capacity) {
                last.Blocks = (ULONG)((LONGLONG)info.Capacity - last.StartLba);
            }
        }
        if (HostSimPrepareLayout(Sim, Layout.data(), (ULONG)Layout.size())) {
            return true;
        }
    }
    return false;
}

void PrepareRecorderOfHandle(HANDLE Handle, ULONG Code, const void *Block, ULONG Length) {
    if (Code != IOCTL_RECORDER_RECORD_DISC && Code != IOCTL_RECORDER_RECORD_DISC_EX &&
        Code != IOCTL_RECORDER_RECORD_DISC_EX2) {
        return;
    }
    PDEVICE_OBJECT fdo = HostDeviceOfHandle(Handle);
    if (fdo == nullptr) {
        return;
    }
    auto *fdoExtension = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    PSIM_RECORDER sim = HostSimRecorderOfDevice(fdoExtension->LowerPdo);
    if (sim == nullptr) {
        return;
    }
    RecordingState state = ReadRecordingState(CdwWriterExtension(fdo));
    if (state.RecordingStatus != RECSTAT_IN_PROCESS && !state.ReaderBusy && !state.WriterRunning) {
        (void)PrepareRecorderForBlock(sim, Code, Block, Length);
    }
}

void SynchronizeRecorder(PSIM_RECORDER Sim) {
    SCSI_REQUEST_BLOCK srb = {};
    srb.Length = sizeof(srb);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = 10;
    srb.Cdb[0] = SCSIOP_SYNCHRONIZE_CACHE;
    srb.SrbFlags = SRB_FLAGS_NO_QUEUE_FREEZE | SRB_FLAGS_BYPASS_FROZEN_QUEUE;
    srb.TimeOutValue = 600;
    HostSimExecuteSrb(Sim, &srb);
}
