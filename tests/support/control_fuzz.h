/*
 * control_fuzz.h - one fuzz input against the control interface of the loaded driver.
 *
 * The input is read as a short program: a count of requests, then for each one the unit it
 * goes to (the recorder or the desktop unit), a control code (one of the driver's private
 * codes, a standard storage code, or any 32-bit value), input and output lengths from 0 to
 * twice the largest request block, the contents (bytes of the input, a valid block of that
 * code with bytes of the input laid over it, or zeros), whether the output is the input buffer
 * itself, and for pass-through blocks where the data address points: a valid application
 * region, an unmapped one, a read-only one, one too short for the transfer, or any value.
 *
 * Every input runs a whole life of the driver on the stand-in's virtual clock: load, plug and
 * start one recorder and one desktop unit, open both, send the requests, let a recording run
 * to its end or cancel it (the last byte says which) and wait for both threads to rest, close,
 * remove, unload. A broken rule stops
 * the process: a verifier stop (the stand-in's default), a recording that never ends, a
 * deadlock on the stand-in clock, or anything left behind at unload (the report goes to
 * stderr and the process aborts). The same input always runs the same requests.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Sets up the process once (virtual clock, scratch directory with a small image mapped as
 * drive D:, application memory regions); later calls do nothing. */
void CdwFuzzInitialize();

/* Runs one input; returns 0. */
int CdwFuzzOneInput(const uint8_t *Data, size_t Size);

/* Requests sent and lives run so far (for the run summary). */
uint64_t CdwFuzzRequestCount();
uint64_t CdwFuzzLifeCount();
