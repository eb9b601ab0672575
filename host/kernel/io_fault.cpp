/*
 * io_fault.cpp - injectable faults of the I/O manager, file, security and class-library
 * stand-ins: skip / count / probability per fault point.
 */
#include "io_private.h"

namespace {

struct FaultState {
    bool Armed = false;
    HOST_FAULT Fault{};
    ULONG Calls = 0;  /* calls seen since the fault was set */
    ULONG Failed = 0; /* calls failed since the fault was set */
    ULONG Hits = 0;   /* calls failed in all */
};

std::mutex gFaultLock;
FaultState gFaults[HostFaultPointCount];
uint64_t gSeed = 0x2545F4914F6CDD1DULL;

uint64_t NextRandom() {
    uint64_t z = (gSeed += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

void HostSetFault(HOST_FAULT_POINT Point, const HOST_FAULT *Fault) {
    if ((unsigned)Point >= HostFaultPointCount || Fault == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(gFaultLock);
    FaultState &state = gFaults[Point];
    state.Armed = true;
    state.Fault = *Fault;
    state.Calls = 0;
    state.Failed = 0;
}

void HostClearFault(HOST_FAULT_POINT Point) {
    if ((unsigned)Point >= HostFaultPointCount) {
        return;
    }
    std::lock_guard<std::mutex> guard(gFaultLock);
    gFaults[Point].Armed = false;
}

void HostClearAllFaults(void) {
    std::lock_guard<std::mutex> guard(gFaultLock);
    for (FaultState &state : gFaults) {
        state = FaultState();
    }
}

ULONG HostFaultHits(HOST_FAULT_POINT Point) {
    if ((unsigned)Point >= HostFaultPointCount) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(gFaultLock);
    return gFaults[Point].Hits;
}

ULONG HostFaultCalls(HOST_FAULT_POINT Point) {
    if ((unsigned)Point >= HostFaultPointCount) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(gFaultLock);
    return gFaults[Point].Calls;
}

void HostSetFaultSeed(uint64_t Seed) {
    std::lock_guard<std::mutex> guard(gFaultLock);
    gSeed = Seed;
}

BOOLEAN HostFaultShouldFail(HOST_FAULT_POINT Point, NTSTATUS *Status) {
    if ((unsigned)Point >= HostFaultPointCount) {
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(gFaultLock);
    FaultState &state = gFaults[Point];
    if (!state.Armed) {
        return FALSE;
    }
    ULONG call = state.Calls++;
    if (call < state.Fault.Skip) {
        return FALSE;
    }
    if (state.Fault.Count != 0 && state.Failed >= state.Fault.Count) {
        return FALSE;
    }
    ULONG percent = state.Fault.ProbabilityPercent;
    if (percent != 0 && percent < 100 && NextRandom() % 100 >= percent) {
        return FALSE;
    }
    state.Failed++;
    state.Hits++;
    if (Status != nullptr) {
        *Status = state.Fault.Status;
    }
    return TRUE;
}
