/*
 * recording_scenario.cpp - see recording_scenario.h.
 */
#include "recording_scenario.h"

#include <standin/kernel.h>

#include <string.h>

RecordingState ReadRecordingState(PWriterExtension Ext) {
    CdwSpinLockGuard guard(&Ext->StatusLock);
    RecordingState state;
    state.RecordingStatus = Ext->Status.recordingStatus;
    state.BlocksWritten = Ext->Status.blocksWritten;
    state.ReaderBusy = Ext->bReadThreadBusy != FALSE;
    state.WriterRunning = Ext->bWriteThreadProcRunning != FALSE;
    return state;
}

bool WaitRecordingIdle(PWriterExtension Ext, LONGLONG MaxSeconds) {
    const LONGLONG end = HostClockNow() + MaxSeconds * 10000000LL;
    for (;;) {
        RecordingState state = ReadRecordingState(Ext);
        if (state.RecordingStatus != RECSTAT_IN_PROCESS && !state.ReaderBusy &&
            !state.WriterRunning) {
            return true;
        }
        if (HostClockNow() > end) {
            return false;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -10LL * 10000;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

bool DocumentedFinalStatus(ULONG Status) {
    switch (Status) {
    case RECSTAT_IDLE:
    case RECSTAT_COMPLETE:
    case RECSTAT_WRITE_FAILED:
    case RECSTAT_OPEN_FAILED:
    case RECSTAT_READ_FAILED:
    case RECSTAT_PACKET_TIMEOUT:
    case RECSTAT_REFILL_TIMEOUT:
    case RECSTAT_INVALID_PACKET:
    case RECSTAT_QUEUE_ERROR:
    case RECSTAT_ABORTED:
        return true;
    default:
        return false;
    }
}

void FreshDriverImage() {
    RecorderCount = 0;
    DesktopUnitCount = 0;
}
