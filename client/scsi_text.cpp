/*
 * scsi_text.cpp - names of outcomes, status bytes and sense data.
 */
#include "scsi_text.h"

#include "control/cdwriter_ioctl.h"

#include <cstdio>

std::string CdwOutcomeName(uint32_t recordingStatus) {
    switch (recordingStatus) {
    case RECSTAT_IDLE:
        return "IDLE";
    case RECSTAT_IN_PROCESS:
        return "IN_PROCESS";
    case RECSTAT_COMPLETE:
        return "COMPLETE";
    case RECSTAT_WRITE_FAILED:
        return "WRITE_FAILED";
    case RECSTAT_OPEN_FAILED:
        return "OPEN_FAILED";
    case RECSTAT_READ_FAILED:
        return "READ_FAILED";
    case RECSTAT_PACKET_TIMEOUT:
        return "PACKET_TIMEOUT";
    case RECSTAT_REFILL_TIMEOUT:
        return "REFILL_TIMEOUT";
    case RECSTAT_INVALID_PACKET:
        return "INVALID_PACKET";
    case RECSTAT_QUEUE_ERROR:
        return "QUEUE_ERROR";
    case RECSTAT_ABORTED:
        return "ABORTED";
    default:
        return "STATUS_" + std::to_string(recordingStatus);
    }
}

std::string CdwSrbStatusName(uint8_t srbStatus) {
    static const struct {
        uint8_t value;
        const char *name;
    } names[] = {
        {0x00, "PENDING"},
        {0x01, "SUCCESS"},
        {0x02, "ABORTED"},
        {0x03, "ABORT_FAILED"},
        {0x04, "ERROR"},
        {0x05, "BUSY"},
        {0x06, "INVALID_REQUEST"},
        {0x07, "INVALID_PATH_ID"},
        {0x08, "NO_DEVICE"},
        {0x09, "TIMEOUT"},
        {0x0A, "SELECTION_TIMEOUT"},
        {0x0B, "COMMAND_TIMEOUT"},
        {0x0D, "MESSAGE_REJECTED"},
        {0x0E, "BUS_RESET"},
        {0x0F, "PARITY_ERROR"},
        {0x10, "REQUEST_SENSE_FAILED"},
        {0x11, "NO_HBA"},
        {0x12, "DATA_OVERRUN"},
        {0x13, "UNEXPECTED_BUS_FREE"},
        {0x14, "PHASE_SEQUENCE_FAILURE"},
        {0x15, "BAD_SRB_BLOCK_LENGTH"},
        {0x16, "REQUEST_FLUSHED"},
        {0x20, "INVALID_LUN"},
        {0x21, "INVALID_TARGET_ID"},
        {0x22, "BAD_FUNCTION"},
        {0x23, "ERROR_RECOVERY"},
    };
    uint8_t base = srbStatus & 0x3F;
    std::string name = "UNKNOWN";
    for (const auto &n : names)
        if (n.value == base)
            name = n.name;
    if (srbStatus & 0x40)
        name += "|QUEUE_FROZEN";
    if (srbStatus & 0x80)
        name += "|AUTOSENSE_VALID";
    return name;
}

std::string CdwScsiStatusName(uint8_t scsiStatus) {
    switch (scsiStatus) {
    case 0x00:
        return "GOOD";
    case 0x02:
        return "CHECK CONDITION";
    case 0x04:
        return "CONDITION MET";
    case 0x08:
        return "BUSY";
    case 0x18:
        return "RESERVATION CONFLICT";
    case 0x28:
        return "TASK SET FULL";
    case 0x30:
        return "ACA ACTIVE";
    case 0x40:
        return "TASK ABORTED";
    default:
        return "UNKNOWN";
    }
}

std::string CdwSenseKeyName(uint8_t senseKey) {
    static const char *const names[16] = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED",
    };
    return names[senseKey & 0x0F];
}

std::string CdwAscName(uint8_t asc, uint8_t ascq) {
    static const struct {
        uint8_t asc, ascq;
        const char *name;
    } names[] = {
        {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
        {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
        {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
        {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
        {0x04, 0x04, "LOGICAL UNIT NOT READY, FORMAT IN PROGRESS"},
        {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
        {0x04, 0x08, "LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS"},
        {0x0C, 0x00, "WRITE ERROR"},
        {0x0C, 0x07, "WRITE ERROR - RECOVERY NEEDED"},
        {0x0C, 0x09, "WRITE ERROR - LOSS OF STREAMING"},
        {0x0C, 0x0A, "WRITE ERROR - PADDING BLOCKS ADDED"},
        {0x11, 0x00, "UNRECOVERED READ ERROR"},
        {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
        {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
        {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {0x21, 0x02, "INVALID ADDRESS FOR WRITE"},
        {0x24, 0x00, "INVALID FIELD IN CDB"},
        {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
        {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
        {0x27, 0x00, "WRITE PROTECTED"},
        {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
        {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
        {0x29, 0x01, "POWER ON OCCURRED"},
        {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
        {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
        {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
        {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
        {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
        {0x30, 0x01, "CANNOT READ MEDIUM - UNKNOWN FORMAT"},
        {0x30, 0x02, "CANNOT READ MEDIUM - INCOMPATIBLE FORMAT"},
        {0x30, 0x05, "CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT"},
        {0x31, 0x00, "MEDIUM FORMAT CORRUPTED"},
        {0x3A, 0x00, "MEDIUM NOT PRESENT"},
        {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
        {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
        {0x44, 0x00, "INTERNAL TARGET FAILURE"},
        {0x47, 0x00, "SCSI PARITY ERROR"},
        {0x51, 0x00, "ERASE FAILURE"},
        {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
        {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
        {0x57, 0x00, "UNABLE TO RECOVER TABLE-OF-CONTENTS"},
        {0x63, 0x00, "END OF USER AREA ENCOUNTERED ON THIS TRACK"},
        {0x63, 0x01, "PACKET DOES NOT FIT IN AVAILABLE SPACE"},
        {0x64, 0x00, "ILLEGAL MODE FOR THIS TRACK"},
        {0x72, 0x00, "SESSION FIXATION ERROR"},
        {0x72, 0x01, "SESSION FIXATION ERROR WRITING LEAD-IN"},
        {0x72, 0x02, "SESSION FIXATION ERROR WRITING LEAD-OUT"},
        {0x72, 0x03, "SESSION FIXATION ERROR - INCOMPLETE TRACK IN SESSION"},
        {0x72, 0x04, "EMPTY OR PARTIALLY WRITTEN RESERVED TRACK"},
        {0x72, 0x05, "NO MORE TRACK RESERVATIONS ALLOWED"},
        {0x73, 0x00, "CD CONTROL ERROR"},
        {0x73, 0x01, "POWER CALIBRATION AREA ALMOST FULL"},
        {0x73, 0x02, "POWER CALIBRATION AREA IS FULL"},
        {0x73, 0x03, "POWER CALIBRATION AREA ERROR"},
        {0x73, 0x04, "PROGRAM MEMORY AREA UPDATE FAILURE"},
        {0x73, 0x05, "PROGRAM MEMORY AREA IS FULL"},
    };
    for (const auto &n : names)
        if (n.asc == asc && n.ascq == ascq)
            return n.name;
    return "";
}

std::string CdwSenseTriple(uint8_t senseKey, uint8_t asc, uint8_t ascq) {
    char text[16];
    snprintf(text, sizeof(text), "%X/%02X/%02X", senseKey & 0x0F, asc, ascq);
    return text;
}

std::string CdwHexBytes(const uint8_t *bytes, size_t count, const char *separator) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < count; i++) {
        if (i != 0)
            out += separator;
        snprintf(two, sizeof(two), "%02X", bytes[i]);
        out += two;
    }
    return out;
}

std::string CdwHexDump(const uint8_t *bytes, size_t count) {
    std::string out;
    char piece[32];
    for (size_t line = 0; line < count; line += 16) {
        snprintf(piece, sizeof(piece), " %02zx     ", line);
        out += piece;
        for (size_t i = 0; i < 16; i++) {
            if (i == 8)
                out += " ";
            if (line + i < count) {
                snprintf(piece, sizeof(piece), "%02x ", bytes[line + i]);
                out += piece;
            } else {
                out += "   ";
            }
        }
        out += "   ";
        for (size_t i = 0; i < 16 && line + i < count; i++) {
            uint8_t c = bytes[line + i];
            out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        out += "\n";
    }
    return out;
}
