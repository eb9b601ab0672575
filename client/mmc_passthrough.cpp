/*
 * mmc_passthrough.cpp - MMC commands through the driver's pass-through request.
 */
#include "mmc_passthrough.h"

#include "scsi_text.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kSrbSuccess = 0x01, kSrbError = 0x04;

CdwMmcOutcome Send(void *context, const uint8_t *cdb, uint8_t cdbLength, CdwMmcDirection direction,
                   void *buffer, uint32_t length, uint32_t timeoutSeconds) {
    auto *recorder = static_cast<CdwDevice *>(context);
    CdwMmcOutcome outcome;
    CdwScsiCommand command;
    memcpy(command.cdb, cdb, cdbLength < 16 ? cdbLength : 16);
    command.cdbLength = cdbLength;
    command.dataOut = direction == CdwMmcDirection::Out;
    command.transferLength = direction == CdwMmcDirection::None ? 0 : length;
    command.outData = command.dataOut ? buffer : nullptr;
    command.timeoutSeconds =
        static_cast<uint16_t>(timeoutSeconds > 0xFFFF ? 0xFFFF : timeoutSeconds);
    CdwScsiResult result;
    CdwStatus status = recorder->ExecScsi(command, &result);
    if (!CdwSucceeded(status)) {
        char text[64];
        snprintf(text, sizeof(text), "the pass-through request failed, status 0x%08X",
                 static_cast<unsigned>(status));
        outcome.delivered = false;
        outcome.failure = text;
        return outcome;
    }
    uint8_t srb = result.srbStatus & 0x3F;
    if (srb == kSrbSuccess) {
        if (direction == CdwMmcDirection::In && !result.data.empty()) {
            size_t n = result.data.size() < length ? result.data.size() : length;
            memcpy(buffer, result.data.data(), n);
        }
        outcome.transferred = command.transferLength;
        return outcome;
    }
    if (srb == kSrbError && result.scsiStatus != 0x00) {
        outcome.scsiStatus = result.scsiStatus;
        if (result.scsiStatus == 0x02 &&
            !CdwMmcParseSense(result.sense, result.senseLength, &outcome.senseKey, &outcome.asc,
                              &outcome.ascq)) {
            outcome.senseKey = result.SenseKey();
            outcome.asc = result.Asc();
            outcome.ascq = result.Ascq();
        }
        return outcome;
    }
    outcome.delivered = false;
    outcome.failure = "SRB status " + CdwSrbStatusName(result.srbStatus);
    return outcome;
}

} // namespace

CdwMmcSender CdwMmcPassThroughSender(CdwDevice *recorder) {
    CdwMmcSender sender;
    sender.send = Send;
    sender.context = recorder;
    return sender;
}
