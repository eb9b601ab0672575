/*
 * write_cdb.h - the WRITE(10) command block with which the write thread sends packet data.
 */
#pragma once

#include "../driver/platform.h"

/* Size of the WRITE(10) command block in bytes. */
#define WRITE10_CDB_LENGTH 10u

/* Control byte of a WRITE(10) that the recorder may keep buffering after (write modes 1, 2). */
#define WRITE10_CONTROL_CONTINUED 0x80u

/*
 * Fills Cdb (at least WRITE10_CDB_LENGTH bytes) with a WRITE(10) of BlockCount blocks starting
 * at BlockAddress, with the given control byte. Callable at any IRQL.
 */
VOID BuildWrite10Cdb(PUCHAR Cdb, ULONG BlockAddress, USHORT BlockCount, UCHAR Control);
