/*
 * standin/eventlog.h - host set-up API: the event-log reader.
 *
 * Formats entries of the stand-in's system log with their texts, taken from the driver's own
 * message table: the binary that windmc makes from driver/messages/cdwriter.mc, which the
 * build embeds as CdwMessageTableData / CdwMessageTableSize (the same bytes the Windows build
 * links into cdwriter.sys as its message-table resource).
 *
 * The driver never includes this header.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "io.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Finds Id in a message table of the platform's format (MESSAGE_RESOURCE_DATA: block count,
 * blocks of LowId/HighId/OffsetToEntries, entries of Length/Flags/Text; Flags 1 = UTF-16LE,
 * 0 = 8-bit text). Copies the text as UTF-8, trailing NULs removed, into Text (always
 * terminated when TextSize > 0, truncated to fit). Returns the full text's length in bytes, or
 * -1 when the id is not in the table or the table is malformed around it.
 */
int HostMessageTableFind(const unsigned char *Table, size_t TableSize, uint32_t Id, char *Text,
                         size_t TextSize);

/*
 * The driver's text for a message id, UTF-8 with its line end ("...\r\n"), or NULL when the id
 * is not in the driver's table. The string lives as long as
 * the process.
 */
const char *HostEventText(uint32_t Id);

/* The severity of a message id as the event viewer names it: "Success", "Information",
 * "Warning" or "Error". */
const char *HostEventSeverityName(uint32_t Id);

/*
 * Formats one event as a line (without line end):
 *   "<seconds>.<ms>  <severity>  0x<id>  <text>  dump: 0x<word> 0x<word> ..."
 * Time is in 100-ns units of the stand-in's clock; the text is the message table's without its
 * line end. Writes at most LineSize bytes including the terminator; returns the length the
 * whole line needs (as snprintf does).
 */
size_t HostEventFormat(int64_t Time, uint32_t Id, const uint32_t *DumpData, size_t DumpCount,
                       char *Line, size_t LineSize);

/* Formats an entry of the stand-in's system log as HostEventFormat does. */
size_t HostEventFormatEntry(const HOST_ERROR_LOG_ENTRY *Entry, char *Line, size_t LineSize);

/* Prints every entry of the system log, oldest first, one line each; returns how many. */
ULONG HostEventLogPrint(FILE *Stream);

#ifdef __cplusplus
}
#endif
