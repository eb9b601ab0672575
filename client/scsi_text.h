/*
 * scsi_text.h - names for what the recorder and the driver report: recording outcomes, SRB
 * and SCSI status bytes, sense keys and the common ASC/ASCQ pairs, and hex formatting.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/* "COMPLETE", "WRITE_FAILED", ... for a recordingStatus value ("STATUS_7" for unknown ones). */
std::string CdwOutcomeName(uint32_t recordingStatus);

/* "SUCCESS", "ERROR", "BUS_RESET", ... for the status without its flag bits (0x3F). */
std::string CdwSrbStatusName(uint8_t srbStatus);

/* "GOOD", "CHECK CONDITION", ... */
std::string CdwScsiStatusName(uint8_t scsiStatus);

/* "NO SENSE", "NOT READY", "MEDIUM ERROR", ... */
std::string CdwSenseKeyName(uint8_t senseKey);

/* Standard name of an ASC/ASCQ pair, "" when it is not one of the known ones. */
std::string CdwAscName(uint8_t asc, uint8_t ascq);

/* "3/0C/00" style: key, ASC, ASCQ in hex. */
std::string CdwSenseTriple(uint8_t senseKey, uint8_t asc, uint8_t ascq);

/* Bytes as "2A 00 00 ..." (separator between bytes). */
std::string CdwHexBytes(const uint8_t *bytes, size_t count, const char *separator = " ");

/* sg_raw-style dump: offset, 16 bytes in hex (two groups of 8), printable characters. */
std::string CdwHexDump(const uint8_t *bytes, size_t count);
