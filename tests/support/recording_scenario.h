/*
 * recording_scenario.h - pieces shared by the tests that drive whole recordings under
 * injected faults (low resources, the soak): the record-disc block of a one-track image, the
 * wait for both recording threads to come to rest, and the set of documented final statuses.
 */
#pragma once

#include <ntddk.h>

#include <algorithm>
#include <string>
#include <vector>

#include <string.h>

#include "writer.h"

/* A record-disc block of type BLOCK (any of the three) for one track of Blocks blocks of
 * BlockSize from the image ObjectName ("\??\D:\name"), starting at block 0. */
template <typename BLOCK>
std::vector<UCHAR> OneTrackRecordBlock(const std::string &ObjectName, ULONG Blocks,
                                       ULONG BlockSize = 2048) {
    std::vector<UCHAR> bytes(sizeof(BLOCK), 0);
    auto *block = reinterpret_cast<BLOCK *>(bytes.data());
    memcpy(block->imageName, ObjectName.data(),
           std::min(ObjectName.size(), sizeof(block->imageName)));
    block->numTracks = 1;
    block->tracks[0].trackFormat = 1;
    block->tracks[0].blockSize = BlockSize;
    block->tracks[0].startBlock = 0;
    block->tracks[0].hdStartBlock = 0;
    block->tracks[0].nBlocks = Blocks;
    return bytes;
}

/* The same as a plain record-disc request. */
inline std::vector<UCHAR> OneTrackRecordRequest(const std::string &ObjectName, ULONG Blocks,
                                                ULONG BlockSize = 2048) {
    return OneTrackRecordBlock<RECORD_DISC_REQUEST>(ObjectName, Blocks, BlockSize);
}

/* The recording state as the driver reads it, under StatusLock. */
struct RecordingState {
    ULONG RecordingStatus;
    ULONG BlocksWritten;
    bool ReaderBusy;
    bool WriterRunning;
};
RecordingState ReadRecordingState(PWriterExtension Ext);

/* Polls (stand-in waits of 10 ms) until no recording is in process and both threads are at
 * rest; false when that takes more than MaxSeconds on the stand-in clock. */
bool WaitRecordingIdle(PWriterExtension Ext, LONGLONG MaxSeconds);

/* Resets the driver's image-wide counters as a new load of the image does (the tests load
 * the driver several times in one process). Call with the driver unloaded. */
void FreshDriverImage();

/* Whether Status is one of the final statuses the status request documents. */
bool DocumentedFinalStatus(ULONG Status);
