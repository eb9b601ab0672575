/*
 * mmc_flow.cpp - the recording application's steps on an MMC recorder: readiness, what medium
 * it holds, the checks before a recording, the write set-up, and synchronizing, closing and
 * verifying after it.
 */
#include "mmc.h"

#include <cstring>
#include <ctime>

namespace {

constexpr unsigned kPollMs = 500;

bool IsRecordable(uint16_t profile) {
    switch (profile) {
    case CDW_PROFILE_CD_R:
    case CDW_PROFILE_CD_RW:
    case CDW_PROFILE_DVD_R:
    case CDW_PROFILE_DVD_RW_SEQ:
    case CDW_PROFILE_DVD_R_DL:
    case CDW_PROFILE_DVD_PLUS_R:
    case CDW_PROFILE_DVD_PLUS_R_DL:
        return true;
    default:
        return false;
    }
}

bool IsDvdPlusR(uint16_t profile) {
    return profile == CDW_PROFILE_DVD_PLUS_R || profile == CDW_PROFILE_DVD_PLUS_R_DL;
}

/* Not ready now, but getting there: spinning up or becoming ready (recorders also answer
   04/00 then), formatting or blanking, a long write or a close running. */
bool Busy(const CdwMmcOutcome &o) {
    return o.Sense(0x2, 0x04, 0x00) || o.Sense(0x2, 0x04, 0x01) || o.Sense(0x2, 0x04, 0x04) ||
           o.Sense(0x2, 0x04, 0x07) || o.Sense(0x2, 0x04, 0x08) ||
           (o.delivered && o.scsiStatus == 0x08);
}

uint8_t DataBlockTypeOf(CdwCdForm form) {
    switch (form) {
    case CdwCdForm::Mode1:
        return 8;
    case CdwCdForm::Mode2:
        return 9;
    default:
        return 0; /* 2352 bytes as the host sends them */
    }
}

std::string Blocks(uint64_t blocks) {
    return std::to_string(blocks) + " blocks (" + std::to_string(blocks * 2048 / 1000000) + " MB)";
}

} // namespace

/* ---- one command ------------------------------------------------------------------------ */

CdwMmcOutcome CdwMmcDevice::Exec(const CdwMmcCdb &cdb, void *data) {
    if (sender_.send == nullptr) {
        last_ = CdwMmcOutcome();
        last_.delivered = false;
        last_.failure = "no way to the recorder";
        return last_;
    }
    last_ = sender_.send(sender_.context, cdb.bytes, cdb.length, cdb.direction, data,
                         cdb.dataLength, cdb.timeoutSeconds);
    return last_;
}

bool CdwMmcDevice::Run(const CdwMmcCdb &cdb, void *data, const std::string &what) {
    if (Exec(cdb, data).Good())
        return true;
    error_ = what + ": " + CdwMmcOutcomeText(last_);
    return false;
}

void CdwMmcDevice::Sleep(unsigned milliseconds) {
    if (sender_.sleep != nullptr) {
        sender_.sleep(sender_.context, milliseconds);
        return;
    }
    timespec t = {static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

/* ---- readiness -------------------------------------------------------------------------- */

bool CdwMmcDevice::WaitReady(unsigned maxSeconds) {
    unsigned waited = 0;
    unsigned attentions = 0;
    for (;;) {
        CdwMmcOutcome o = Exec(CdwMmcTestUnitReady(), nullptr);
        if (o.Good())
            return true;
        if (o.Sense(0x2, 0x3A)) {
            error_ = "no medium in the recorder (" + CdwMmcOutcomeText(o) + ")";
            return false;
        }
        if (o.delivered && o.scsiStatus == 0x02 && o.senseKey == 0x6 && ++attentions <= 8)
            continue; /* medium changed, reset: reported once each, then ready or not */
        if (!Busy(o)) {
            error_ = "the recorder is not ready: " + CdwMmcOutcomeText(o);
            return false;
        }
        if (waited >= maxSeconds * 1000) {
            error_ = "the recorder did not become ready within " + std::to_string(maxSeconds) +
                     " s: " + CdwMmcOutcomeText(o);
            return false;
        }
        Sleep(kPollMs);
        waited += kPollMs;
    }
}

bool CdwMmcDevice::WaitWhileBusy(unsigned maxSeconds, const std::string &what) {
    unsigned waited = 0;
    bool levelKnown = false;
    uint32_t lastBlank = 0;
    for (;;) {
        CdwMmcOutcome o = Exec(CdwMmcTestUnitReady(), nullptr);
        if (o.Good()) {
            /* Some recorders are ready before their buffer is empty: wait until it is. Others
               report a fixed level that never moves: once ready, an unchanged level across a
               poll is not a buffer draining. */
            uint8_t reply[12] = {};
            CdwMmcBufferCapacity buffer;
            if (!Exec(CdwMmcReadBufferCapacity(), reply).Good() ||
                !CdwMmcParseBufferCapacity(reply, last_.transferred ? last_.transferred : 12,
                                           &buffer) ||
                buffer.blank >= buffer.length || (levelKnown && buffer.blank == lastBlank))
                return true;
            levelKnown = true;
            lastBlank = buffer.blank;
        } else {
            levelKnown = false;
            if (!Busy(o)) {
                error_ = what + ": " + CdwMmcOutcomeText(o);
                return false;
            }
        }
        if (waited >= maxSeconds * 1000) {
            error_ = what + ": not done within " + std::to_string(maxSeconds) + " s";
            return false;
        }
        Sleep(kPollMs);
        waited += kPollMs;
    }
}

/* ---- the medium ------------------------------------------------------------------------- */

bool CdwMmcDevice::ReadMedia(CdwMmcMedia *media) {
    *media = CdwMmcMedia();
    uint8_t config[256] = {};
    if (!Run(CdwMmcGetConfiguration(CDW_MMC_RT_ALL, 0, sizeof(config)), config,
             "GET CONFIGURATION"))
        return false;
    CdwMmcConfiguration configuration;
    if (!CdwMmcParseConfiguration(config, last_.transferred ? last_.transferred : sizeof(config),
                                  &configuration)) {
        error_ = "GET CONFIGURATION: reply too short";
        return false;
    }
    media->profile = configuration.currentProfile;
    media->present = media->profile != CDW_PROFILE_NONE;
    if (!media->present)
        return true;

    uint8_t disc[34] = {};
    if (!Run(CdwMmcReadDiscInformation(sizeof(disc)), disc, "READ DISC INFORMATION"))
        return false;
    if (!CdwMmcParseDiscInfo(disc, sizeof(disc), &media->disc)) {
        error_ = "READ DISC INFORMATION: not standard disc information";
        return false;
    }
    media->discInfoValid = true;

    uint16_t first = media->disc.firstTrack, last = media->disc.lastTrackLastSession;
    for (uint32_t n = first; n != 0 && n <= last; n++) {
        uint8_t reply[48] = {};
        if (!Run(CdwMmcReadTrackInformation(CDW_MMC_BY_TRACK, n, sizeof(reply)), reply,
                 "READ TRACK INFORMATION of track " + std::to_string(n)))
            return false;
        CdwMmcTrackInfo track;
        if (!CdwMmcParseTrackInfo(reply, last_.transferred ? last_.transferred : sizeof(reply),
                                  &track)) {
            error_ = "READ TRACK INFORMATION of track " + std::to_string(n) + ": too short";
            return false;
        }
        media->tracks.push_back(track);
    }

    uint64_t used = 0;
    for (const auto &t : media->tracks)
        if (!t.blank)
            used = t.start + static_cast<uint64_t>(t.size);
    if (media->disc.discStatus != CDW_DISC_COMPLETE && !media->tracks.empty()) {
        const CdwMmcTrackInfo &open = media->tracks.back();
        media->openTrack = open.number;
        media->nextWritable = open.nextWritableValid ? open.nextWritable : open.start;
        media->freeBlocks = open.freeBlocks;
        media->capacityBlocks = uint64_t(media->nextWritable) + open.freeBlocks;
    } else {
        media->capacityBlocks = used;
    }

    if (media->IsCd()) {
        uint8_t atip[28] = {};
        if (Exec(CdwMmcReadToc(4, true, 0, sizeof(atip)), atip).Good())
            media->atipValid = CdwMmcParseAtip(atip, sizeof(atip), &media->atip);
    }
    error_.clear();
    return true;
}

bool CdwMmcDevice::ReadCapabilities(CdwMmcCapabilities *caps) {
    uint8_t reply[8 + 255] = {};
    if (!Run(CdwMmcModeSense10(0x2A, sizeof(reply)), reply, "MODE SENSE (capabilities page)"))
        return false;
    size_t offset = 0, length = 0;
    if (!CdwMmcFindModePage(reply, last_.transferred ? last_.transferred : sizeof(reply), 0x2A,
                            &offset, &length) ||
        !CdwMmcParseCapabilities(reply + offset, length, caps)) {
        error_ = "MODE SENSE: no capabilities page in the reply";
        return false;
    }
    return true;
}

/* ---- set-up ----------------------------------------------------------------------------- */

bool CdwMmcDevice::SetSpeed(const CdwMmcMedia &media, uint32_t kBps, uint32_t *grantedKBps) {
    *grantedKBps = 0;
    bool sent = false;
    if (media.IsDvd() && kBps != 0) {
        uint32_t end = media.capacityBlocks != 0 ? uint32_t(media.capacityBlocks - 1) : 0;
        std::vector<uint8_t> descriptor = CdwMmcPerformanceDescriptor(0, end, kBps);
        CdwMmcOutcome o = Exec(CdwMmcSetStreaming(), descriptor.data());
        sent = o.Good();
        if (!sent && !o.Sense(0x5, 0x20) && !o.Sense(0x5, 0x24)) {
            error_ = "SET STREAMING: " + CdwMmcOutcomeText(o);
            return false;
        }
    }
    if (!sent) {
        uint16_t write = kBps == 0 || kBps > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(kBps);
        if (!Run(CdwMmcSetCdSpeed(0xFFFF, write), nullptr, "SET CD SPEED"))
            return false;
    }
    CdwMmcCapabilities caps;
    if (ReadCapabilities(&caps))
        *grantedKBps = caps.currentWriteKBps;
    error_.clear();
    return true;
}

bool CdwMmcDevice::SetWriteParameters(const CdwMmcWriteParameters &parameters) {
    uint8_t sense[8 + 64] = {};
    if (!Run(CdwMmcModeSense10(0x05, sizeof(sense)), sense, "MODE SENSE (write parameters)"))
        return false;
    size_t offset = 0, length = 0;
    if (!CdwMmcFindModePage(sense, last_.transferred ? last_.transferred : sizeof(sense), 0x05,
                            &offset, &length) ||
        length < 16) {
        error_ = "MODE SENSE: no write parameters page in the reply";
        return false;
    }
    std::vector<uint8_t> select(8 + length, 0);
    memcpy(&select[8], sense + offset, length);
    CdwMmcStoreWriteParameters(parameters, &select[8], length);
    return Run(CdwMmcModeSelect10(static_cast<uint16_t>(select.size())), select.data(),
               "MODE SELECT (write parameters)");
}

bool CdwMmcDevice::Prepare(const CdwMmcWriteSetup &setup) {
    if (setup.usePage05 && !SetWriteParameters(setup.parameters))
        return false;
    if (setup.sendCueSheet) {
        std::vector<uint8_t> sheet = setup.cueSheet;
        if (!Run(CdwMmcSendCueSheet(static_cast<uint32_t>(sheet.size())), sheet.data(),
                 "SEND CUE SHEET"))
            return false;
    }
    if (setup.reserveTrack &&
        !Run(CdwMmcReserveTrack(setup.reserveBlocks), nullptr,
             "RESERVE TRACK of " + std::to_string(setup.reserveBlocks) + " blocks"))
        return false;
    return true;
}

bool CdwMmcDevice::SetUpRecording(const CdwMmcMedia &media, const CdwMmcPlan &plan,
                                  CdwMmcWriteSetup *setup, uint32_t *grantedKBps) {
    *grantedKBps = 0;
    std::string why;
    if (!CdwMmcCheckBeforeRecord(media, plan, &why) ||
        !CdwMmcChooseWrite(media, plan, setup, &why)) {
        error_ = why;
        return false;
    }
    return SetSpeed(media, plan.speedKBps, grantedKBps) && Prepare(*setup);
}

bool CdwMmcDevice::BeginRecording(const CdwMmcPlan &plan, unsigned readySeconds,
                                  CdwMmcSession *session) {
    *session = CdwMmcSession();
    if (!WaitReady(readySeconds))
        return false;
    if (!ReadMedia(&session->media)) {
        bool first = last_.Sense(0x5, 0x20, 0x00) && session->media.profile == CDW_PROFILE_NONE &&
                     !session->media.discInfoValid;
        if (!first)
            return false;
        session->unsupported = error_;
        if (plan.dummy) {
            error_ = "a test write needs a recorder that takes write parameters (" + error_ + ")";
            return false;
        }
        error_.clear();
        return true;
    }
    session->mmc = true;
    if (!plan.invalid.empty()) {
        error_ = plan.invalid;
        return false;
    }
    return SetUpRecording(session->media, plan, &session->setup, &session->grantedKBps);
}

/* ---- after the data --------------------------------------------------------------------- */

bool CdwMmcDevice::Finish(const CdwMmcWriteSetup &setup, bool dummy, unsigned maxSeconds) {
    std::vector<uint8_t> zeros(16 * 2048, 0);
    unsigned waited = 0;
    for (uint32_t done = 0; done < setup.padBlocks;) {
        uint16_t n =
            static_cast<uint16_t>(setup.padBlocks - done < 16 ? setup.padBlocks - done : 16);
        CdwMmcOutcome w = Exec(CdwMmcWrite10(setup.padStart + done, n), zeros.data());
        if (Busy(w) && waited < maxSeconds * 1000) {
            Sleep(kPollMs / 5); /* the buffer is full: the same blocks again */
            waited += kPollMs / 5;
            continue;
        }
        if (!w.Good()) {
            error_ = "padding the reserved track at block " +
                     std::to_string(setup.padStart + done) + ": " + CdwMmcOutcomeText(w);
            return false;
        }
        done += n;
    }
    CdwMmcOutcome o = Exec(CdwMmcSynchronizeCache(true), nullptr);
    if (o.Sense(0x5, 0x24)) {
        /* No immediate mode: the command itself waits for the buffer. */
        if (!Run(CdwMmcSynchronizeCache(false), nullptr, "SYNCHRONIZE CACHE"))
            return false;
    } else if (!o.Good() && !Busy(o)) {
        error_ = "SYNCHRONIZE CACHE: " + CdwMmcOutcomeText(o);
        return false;
    }
    if (!WaitWhileBusy(maxSeconds, "writing the recorder's buffer"))
        return false;
    if (dummy)
        return true; /* a test write leaves nothing to close */
    for (uint8_t function : setup.closeFunctions) {
        const char *name = function == CDW_MMC_CLOSE_TRACK     ? "CLOSE TRACK"
                           : function == CDW_MMC_CLOSE_SESSION ? "CLOSE SESSION"
                                                               : "FINALIZE";
        uint16_t track = function == CDW_MMC_CLOSE_TRACK ? setup.trackNumber : 0;
        if (!Run(CdwMmcCloseTrackSession(function, track, true), nullptr, name))
            return false;
        if (!WaitWhileBusy(maxSeconds, name))
            return false;
    }
    return true;
}

bool CdwMmcDevice::Blank(bool fast, unsigned maxSeconds) {
    CdwMmcOutcome o =
        Exec(CdwMmcBlank(fast ? CDW_MMC_BLANK_FAST : CDW_MMC_BLANK_ALL, 0, true), nullptr);
    if (!o.Good() && !Busy(o)) {
        error_ = "BLANK: " + CdwMmcOutcomeText(o);
        return false;
    }
    return WaitWhileBusy(maxSeconds, "BLANK");
}

bool CdwMmcDevice::Eject() {
    /* A refused PREVENT ALLOW does not keep the tray shut: START STOP UNIT then says why. */
    Exec(CdwMmcPreventAllowRemoval(false), nullptr);
    return Run(CdwMmcStartStopUnit(true, false, false), nullptr, "START STOP UNIT (eject)");
}

bool CdwMmcDevice::Load() {
    return Run(CdwMmcStartStopUnit(true, true, false), nullptr, "START STOP UNIT (load)");
}

bool CdwMmcDevice::Verify(
    uint32_t start, uint32_t count, uint32_t blockSize, CdwCdForm form,
    const std::function<bool(uint64_t index, uint8_t *buffer, size_t bytes)> &image,
    int64_t *mismatch) {
    *mismatch = -1;
    const uint32_t chunk = 16;
    std::vector<uint8_t> disc(size_t(chunk) * blockSize), expected(disc.size());
    bool readCd = !(form == CdwCdForm::Mode1 && blockSize == 2048);
    for (uint32_t done = 0; done < count;) {
        uint32_t n = count - done < chunk ? count - done : chunk;
        uint32_t lba = start + done;
        CdwMmcCdb cdb;
        if (!readCd)
            cdb = CdwMmcRead10(lba, static_cast<uint16_t>(n), blockSize);
        else if (form == CdwCdForm::Audio)
            cdb = CdwMmcReadCd(lba, n, 1, 0x10, blockSize);
        else if (form == CdwCdForm::Mode2)
            cdb = CdwMmcReadCd(lba, n, 3, 0x10, blockSize);
        else
            cdb = CdwMmcReadCd(lba, n, form == CdwCdForm::Mode1Raw ? 2 : 0, 0xF8, blockSize);
        CdwMmcOutcome o = Exec(cdb, disc.data());
        if (readCd && o.Sense(0x5, 0x20, 0x00)) {
            readCd = false; /* no READ CD: READ(10) of the block size, as older drives read */
            continue;
        }
        if (!o.Good()) {
            error_ = "reading block " + std::to_string(lba) + ": " + CdwMmcOutcomeText(o);
            return false;
        }
        size_t bytes = size_t(n) * blockSize;
        if (!image(done, expected.data(), bytes)) {
            error_ = "cannot read the image at block " + std::to_string(done);
            return false;
        }
        if (memcmp(disc.data(), expected.data(), bytes) != 0) {
            for (uint32_t k = 0; k < n; k++)
                if (memcmp(&disc[size_t(k) * blockSize], &expected[size_t(k) * blockSize],
                           blockSize) != 0) {
                    *mismatch = lba + k;
                    return true;
                }
        }
        done += n;
    }
    return true;
}

/* ---- decisions -------------------------------------------------------------------------- */

bool CdwMmcCheckBeforeRecord(const CdwMmcMedia &media, const CdwMmcPlan &plan, std::string *error) {
    std::string name = CdwMmcProfileName(media.profile);
    if (!media.present) {
        *error = "no medium in the recorder";
        return false;
    }
    if (!IsRecordable(media.profile)) {
        *error = "the medium is " + name + ", which this tool cannot record";
        return false;
    }
    if (!media.discInfoValid) {
        *error = "the recorder did not report the state of the " + name;
        return false;
    }
    if (media.disc.discStatus == CDW_DISC_COMPLETE) {
        *error = "the " + name + " is complete (closed): nothing more can be recorded on it" +
                 (media.disc.erasable ? "; blank it first" : "");
        return false;
    }
    if (media.disc.discStatus == CDW_DISC_OTHER ||
        media.disc.lastSessionState == CDW_SESSION_DAMAGED) {
        *error = "the " + name + " is damaged or in an unknown state: it cannot be recorded";
        return false;
    }
    if (plan.cdOnly && !media.IsCd()) {
        *error = "the image has audio, raw or mode 2 tracks or a recorded pre-gap, which only a "
                 "CD holds; the medium is a " +
                 name;
        return false;
    }
    if (plan.dummy && IsDvdPlusR(media.profile)) {
        *error = "a " + name + " recorder has no test write: --dummy cannot be used";
        return false;
    }
    if (plan.blocks > media.freeBlocks) {
        *error = "the image needs " + Blocks(plan.blocks) + ", the " + name + " has " +
                 Blocks(media.freeBlocks) + " free";
        return false;
    }
    return true;
}

bool CdwMmcChooseWrite(const CdwMmcMedia &media, const CdwMmcPlan &plan, CdwMmcWriteSetup *setup,
                       std::string *error) {
    *setup = CdwMmcWriteSetup();
    CdwMmcWriteParameters &p = setup->parameters;
    setup->trackNumber = static_cast<uint16_t>(media.openTrack != 0 ? media.openTrack : 1);
    p.bufferUnderrunFree = true;
    p.testWrite = plan.dummy;
    p.multiSession = plan.multi ? 3 : 0;
    if (media.IsCd()) {
        CdwCdForm first = plan.cue.empty() ? CdwCdForm::Mode1 : plan.cue[0].form;
        p.trackMode = first == CdwCdForm::Audio ? 0 : 4;
        p.dataBlockType = DataBlockTypeOf(first);
        for (const auto &t : plan.cue)
            if (t.form == CdwCdForm::Mode2 || t.form == CdwCdForm::Mode2Raw)
                p.sessionFormat = 0x20;
        if (!plan.cue.empty()) {
            p.writeType = CDW_WRITE_SAO;
            setup->sendCueSheet = true;
            if (!CdwBuildCueSheet(plan.cue, plan.catalog, static_cast<int32_t>(media.nextWritable),
                                  &setup->cueSheet, error))
                return false;
        } else {
            p.writeType = CDW_WRITE_TAO;
            setup->closeFunctions = {CDW_MMC_CLOSE_TRACK, CDW_MMC_CLOSE_SESSION};
        }
        return true;
    }
    if (IsDvdPlusR(media.profile)) {
        setup->usePage05 = false;
        setup->closeFunctions = {CDW_MMC_CLOSE_TRACK,
                                 plan.multi ? CDW_MMC_CLOSE_SESSION : CDW_MMC_FINALIZE_MINIMAL};
        return true;
    }
    if (media.IsDvd()) {
        p.trackMode = 5;
        p.dataBlockType = 8;
        if (plan.multi) {
            /* Disc-at-once closes the disc: an open session needs incremental recording. */
            p.writeType = CDW_WRITE_PACKET;
            setup->closeFunctions = {CDW_MMC_CLOSE_TRACK, CDW_MMC_CLOSE_SESSION};
        } else {
            p.writeType = CDW_WRITE_SAO;
            setup->reserveTrack = true;
            /* Reserved in whole ECC blocks of 16, the rest padded after the image. */
            setup->reserveBlocks = static_cast<uint32_t>((plan.blocks + 15) / 16 * 16);
            setup->padStart = static_cast<uint32_t>(media.nextWritable + plan.blocks);
            setup->padBlocks = static_cast<uint32_t>(setup->reserveBlocks - plan.blocks);
        }
        return true;
    }
    *error = "no write set-up for a " + CdwMmcProfileName(media.profile);
    return false;
}
