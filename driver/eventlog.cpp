/*
 * eventlog.cpp - entries of the system event log.
 *
 * Each event is one error-log packet whose ErrorCode is a message id of the driver's message
 * table (driver/messages/cdwriter.mc) and whose dump data start with the device number.
 */
#include "writer.h"

/* The packet with its built-in first dump word, plus one spare word. */
#define CDW_LOG_ENTRY_BASE_SIZE (sizeof(IO_ERROR_LOG_PACKET) + sizeof(ULONG))
/* Caller dump words that fit beside the device number in the largest entry. */
#define CDW_LOG_MAX_DUMP_WORDS ((ERROR_LOG_MAXIMUM_SIZE - CDW_LOG_ENTRY_BASE_SIZE) / sizeof(ULONG))

static_assert(CDW_LOG_ENTRY_BASE_SIZE == 52, "error-log entry base size");
static_assert(ERROR_LOG_MAXIMUM_SIZE == 152, "largest error-log entry");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40, "error-log packet layout");

/*++

Routine Description:

    Writes one event to the system event log: an error-log packet for the device with the
    message id, the device number as the first dump word and the caller's words after it.
    An entry that would exceed the platform's largest size is written with the device number
    only. When no entry can be allocated the event is dropped; the caller is not told.

    Keeps no state; may be called from several threads of a device at once, at or below
    DISPATCH_LEVEL.

Arguments:

    DeviceObject - the recorder's functional device object.
    EventId - message id (MSG_...).
    DumpCount - number of caller dump words.
    DumpData - the caller's dump words; not read when DumpCount is 0.

Return Value:

    None.

--*/
VOID CdRecorderLogEvent(PDEVICE_OBJECT DeviceObject, NTSTATUS EventId, ULONG DumpCount,
                        PULONG DumpData) {
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    ULONG entrySize = static_cast<ULONG>(CDW_LOG_ENTRY_BASE_SIZE + sizeof(ULONG) * DumpCount);

    if (DumpCount > CDW_LOG_MAX_DUMP_WORDS) {
        DbgPrint("Burnkit[%d]: CdRecorderLogEvent - log entry size too big (%d). Maz size = %d\n",
                 deviceNumber, entrySize, ERROR_LOG_MAXIMUM_SIZE);
        DumpCount = 0;
        entrySize = CDW_LOG_ENTRY_BASE_SIZE;
    }

    auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(DeviceObject, static_cast<UCHAR>(entrySize)));
    if (entry == NULL) {
        return;
    }

    entry->MajorFunctionCode = 0;
    entry->RetryCount = 0;
    entry->DumpDataSize = static_cast<USHORT>(sizeof(ULONG) * (DumpCount + 1));
    entry->NumberOfStrings = 0;
    entry->StringOffset = 0;
    entry->EventCategory = 0;
    entry->ErrorCode = EventId;
    entry->UniqueErrorValue = 0;
    entry->FinalStatus = 0;
    entry->SequenceNumber = 0;
    entry->IoControlCode = 0;
    entry->DeviceOffset.QuadPart = 0;
    entry->DumpData[0] = deviceNumber;
    for (ULONG i = 0; i < DumpCount; i++) {
        entry->DumpData[i + 1] = DumpData[i];
    }

    IoWriteErrorLogEntry(entry);
}
