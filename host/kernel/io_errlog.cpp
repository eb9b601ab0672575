/*
 * io_errlog.cpp - the system error log of the host stand-in: IoAllocateErrorLogEntry hands
 * out pool that looks like fresh pool, IoWriteErrorLogEntry moves the entry into an in-memory
 * log with the time and the object it was allocated for.
 */
#include "io_private.h"

namespace {

struct PendingEntry {
    PVOID IoObject;
    ULONG Size;
};

std::mutex gLogLock;
std::map<void *, PendingEntry> gPending;
std::vector<HOST_ERROR_LOG_ENTRY> gLog;

} // namespace

extern "C" {

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    HostVerifierCheckIrql("IoAllocateErrorLogEntry", DISPATCH_LEVEL);
    if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultErrorLogEntry, &injected)) {
        return nullptr;
    }
    ULONG size = EntrySize < sizeof(IO_ERROR_LOG_PACKET) ? (ULONG)sizeof(IO_ERROR_LOG_PACKET)
                                                         : (ULONG)EntrySize;
    PVOID entry = ExAllocatePoolWithTag(NonPagedPool, size, HostPoolTag("IoEl"));
    if (entry == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gLogLock);
    gPending[entry] = PendingEntry{IoObject, EntrySize};
    return entry;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
    HostVerifierCheckIrql("IoWriteErrorLogEntry", DISPATCH_LEVEL);
    PendingEntry pending;
    {
        std::lock_guard<std::mutex> guard(gLogLock);
        auto found = gPending.find(ElEntry);
        if (found == gPending.end()) {
            HostVerifierStop("IoWriteErrorLogEntry: %p is not an entry from "
                             "IoAllocateErrorLogEntry (or was written already)",
                             ElEntry);
            return;
        }
        pending = found->second;
        gPending.erase(found);
    }
    HOST_ERROR_LOG_ENTRY entry;
    memset(&entry, 0, sizeof(entry));
    entry.Time = HostClockNow();
    entry.IoObject = pending.IoObject;
    entry.EntrySize = pending.Size;
    const auto *packet = static_cast<const IO_ERROR_LOG_PACKET *>(ElEntry);
    memcpy(&entry.Packet, packet, sizeof(IO_ERROR_LOG_PACKET));
    ULONG room = pending.Size > offsetof(IO_ERROR_LOG_PACKET, DumpData)
                     ? (pending.Size - (ULONG)offsetof(IO_ERROR_LOG_PACKET, DumpData)) / 4
                     : 0;
    ULONG words = packet->DumpDataSize / 4;
    if (words > room) {
        words = room;
    }
    entry.DumpWordCount = words;
    memcpy(entry.DumpData, packet->DumpData, words * sizeof(ULONG));
    ExFreePool(ElEntry);
    std::lock_guard<std::mutex> guard(gLogLock);
    gLog.push_back(entry);
}

} // extern "C"

ULONG HostErrorLogCount(void) {
    std::lock_guard<std::mutex> guard(gLogLock);
    return (ULONG)gLog.size();
}

BOOLEAN HostErrorLogGet(ULONG Index, HOST_ERROR_LOG_ENTRY *Entry) {
    std::lock_guard<std::mutex> guard(gLogLock);
    if (Index >= gLog.size()) {
        return FALSE;
    }
    *Entry = gLog[Index];
    return TRUE;
}

void HostErrorLogClear(void) {
    std::lock_guard<std::mutex> guard(gLogLock);
    gLog.clear();
}

LONG HostErrorLogPendingEntries(void) {
    std::lock_guard<std::mutex> guard(gLogLock);
    return (LONG)gPending.size();
}
