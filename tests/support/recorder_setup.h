/*
 * recorder_setup.h - the recording application's part before a record-disc request: the
 * simulated recorder is set up for the block's layout (write parameters and the cue sheet or
 * reservation, through HostSimPrepareLayout) as an application sets a real recorder up before
 * it asks the driver to stream the blocks.
 */
#pragma once

#include <ntddk.h>
#include <standin/simrecorder.h>

#include <vector>

/* The layout a record-disc block sent with Code describes: the pre-gap, then each track, in
   address order; empty when the block is too short or its pieces overlap or leave gaps. */
std::vector<SIM_LAYOUT_SEGMENT> RecordBlockLayout(ULONG Code, const void *Block, ULONG Length);

/* Sets Sim up for the block's layout. A medium that cannot take it (already recorded there)
   is replaced by a new blank one first, as an operator loads a fresh disc. false when the
   block describes no recordable layout (the recorder is left as it was). */
bool PrepareRecorderForBlock(PSIM_RECORDER Sim, ULONG Code, const void *Block, ULONG Length);

/* The same for the recorder behind an application handle, when no recording is in process
   there (a recorder still recording is left alone, so that the driver's busy answer is what
   a test sees). Nothing for other codes or handles that lead to no simulated recorder. */
void PrepareRecorderOfHandle(HANDLE Handle, ULONG Code, const void *Block, ULONG Length);

/* Adds Blocks blocks of BlockSize at StartLba to a layout (joined to the last segment when
   they continue it with the same size). */
void AddLayoutBlocks(std::vector<SIM_LAYOUT_SEGMENT> &Layout, LONG StartLba, ULONG Blocks,
                     ULONG BlockSize);

/* Sets Sim up for Layout (replacing a medium that cannot take it by a blank one); with
   OpenEnded the last segment runs on to the end of the medium, as a track-at-once track
   does, so that writes continuing it are taken too. */
bool PrepareRecorderForLayout(PSIM_RECORDER Sim, std::vector<SIM_LAYOUT_SEGMENT> Layout,
                              bool OpenEnded = false);

/* What the application sends after a recording ends: SYNCHRONIZE CACHE, returning when the
   recorder's buffer has drained onto the medium. */
void SynchronizeRecorder(PSIM_RECORDER Sim);
