/*
 * test_support.h - small pieces several driver tests share: record-disc track entries, the
 * simulated recorder's command log and disc, host files, and verifier reports collected
 * instead of ending the process.
 */
#pragma once

#include <ntddk.h>
#include <standin/simrecorder.h>

#include <string>
#include <vector>

#include "../../driver/writer.h"

/* One entry of a record-disc track table. */
TRACK_ENTRY TrackEntry(ULONG Format, ULONG BlockSize, ULONG StartBlock, ULONG HdStartBlock,
                       ULONG Blocks);

/* The whole content of a host file (empty when it cannot be read). */
std::vector<UCHAR> ReadHostFile(const std::string &Path);

/* The recorder's logged commands, all of them or those of one opcode. */
std::vector<SIM_LOG_ENTRY> SimCommands(PSIM_RECORDER Sim);
std::vector<SIM_LOG_ENTRY> SimCommands(PSIM_RECORDER Sim, UCHAR Opcode);

/* Address and block count of a logged WRITE(10). */
ULONG CdbLba(const SIM_LOG_ENTRY &Entry);
ULONG CdbBlocks(const SIM_LOG_ENTRY &Entry);

/* The allocate-cache request for Count buffers; *Allocated gets the count the driver reports. */
NTSTATUS AllocateCache(HANDLE Handle, ULONG Count, ULONG *Allocated = nullptr);

/* The recording-status request (with the cancel flag when Cancel); expects it to succeed. */
RECORDING_STATUS QueryRecordingStatus(HANDLE Handle, bool Cancel = false);

/* Sends a record-disc block through Code; every outcome returns no data (expected). */
NTSTATUS SendRecordBlock(HANDLE Handle, ULONG Code, const std::vector<UCHAR> &Block);

/* Verifier reports: install CollectVerifierReport with HostVerifierSetFailureHandler. */
void CollectVerifierReport(const char *Report);
std::vector<std::string> &VerifierReports();
bool VerifierReported(const char *Text);
