/*
 * mmc_commands.cpp - MMC command blocks, the layouts of their replies, and the cue sheet.
 */
#include "mmc.h"

#include "scsi_text.h"

#include <cstdio>
#include <cstring>

namespace {

void Put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void Put24(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    Put16(p + 1, v);
}

void Put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    Put24(p + 1, v);
}

uint16_t Get16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const uint8_t *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

CdwMmcCdb Make(uint8_t opcode, uint8_t length, const char *name,
               CdwMmcDirection direction = CdwMmcDirection::None, uint32_t dataLength = 0) {
    CdwMmcCdb c;
    c.bytes[0] = opcode;
    c.length = length;
    c.name = name;
    c.direction = dataLength != 0 ? direction : CdwMmcDirection::None;
    c.dataLength = dataLength;
    return c;
}

/* MSF (as 0, m, s, f) of a block address. */
void MsfOf(int32_t lba, uint8_t *m, uint8_t *s, uint8_t *f) {
    int32_t frames = lba + 150;
    *m = static_cast<uint8_t>(frames / (60 * 75));
    *s = static_cast<uint8_t>((frames / 75) % 60);
    *f = static_cast<uint8_t>(frames % 75);
}

int32_t LbaOfMsf(uint8_t m, uint8_t s, uint8_t f) {
    int32_t lba = (m * 60 + s) * 75 + f - 150;
    /* Lead-in times run from 90:00:00 on and stand for negative addresses. */
    return m >= 90 ? lba - 450000 : lba;
}

std::string Text(const uint8_t *p, size_t n) {
    std::string s(reinterpret_cast<const char *>(p), n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    for (auto &c : s)
        if (c < 0x20 || c > 0x7E)
            c = '.';
    return s;
}

} // namespace

/* ---- command blocks --------------------------------------------------------------------- */

CdwMmcCdb CdwMmcTestUnitReady() {
    return Make(0x00, 6, "TEST UNIT READY");
}

CdwMmcCdb CdwMmcRequestSense(uint8_t allocation) {
    CdwMmcCdb c = Make(0x03, 6, "REQUEST SENSE", CdwMmcDirection::In, allocation);
    c.bytes[4] = allocation;
    return c;
}

CdwMmcCdb CdwMmcInquiry(uint16_t allocation) {
    CdwMmcCdb c = Make(0x12, 6, "INQUIRY", CdwMmcDirection::In, allocation);
    Put16(c.bytes + 3, allocation);
    return c;
}

CdwMmcCdb CdwMmcGetConfiguration(uint8_t requestType, uint16_t startFeature, uint16_t allocation) {
    CdwMmcCdb c = Make(0x46, 10, "GET CONFIGURATION", CdwMmcDirection::In, allocation);
    c.bytes[1] = requestType & 0x03;
    Put16(c.bytes + 2, startFeature);
    Put16(c.bytes + 7, allocation);
    return c;
}

CdwMmcCdb CdwMmcReadDiscInformation(uint16_t allocation) {
    CdwMmcCdb c = Make(0x51, 10, "READ DISC INFORMATION", CdwMmcDirection::In, allocation);
    Put16(c.bytes + 7, allocation);
    return c;
}

CdwMmcCdb CdwMmcReadTrackInformation(uint8_t addressType, uint32_t value, uint16_t allocation) {
    CdwMmcCdb c = Make(0x52, 10, "READ TRACK INFORMATION", CdwMmcDirection::In, allocation);
    c.bytes[1] = addressType & 0x03;
    Put32(c.bytes + 2, value);
    Put16(c.bytes + 7, allocation);
    return c;
}

CdwMmcCdb CdwMmcReadToc(uint8_t format, bool msf, uint8_t trackOrSession, uint16_t allocation) {
    CdwMmcCdb c = Make(0x43, 10, "READ TOC/PMA/ATIP", CdwMmcDirection::In, allocation);
    c.bytes[1] = msf ? 0x02 : 0x00;
    c.bytes[2] = format & 0x0F;
    c.bytes[6] = trackOrSession;
    Put16(c.bytes + 7, allocation);
    return c;
}

CdwMmcCdb CdwMmcModeSense10(uint8_t page, uint16_t allocation, uint8_t pageControl) {
    CdwMmcCdb c = Make(0x5A, 10, "MODE SENSE(10)", CdwMmcDirection::In, allocation);
    c.bytes[1] = 0x08; /* no block descriptors */
    c.bytes[2] = static_cast<uint8_t>((pageControl << 6) | (page & 0x3F));
    Put16(c.bytes + 7, allocation);
    return c;
}

CdwMmcCdb CdwMmcModeSelect10(uint16_t parameterLength) {
    CdwMmcCdb c = Make(0x55, 10, "MODE SELECT(10)", CdwMmcDirection::Out, parameterLength);
    c.bytes[1] = 0x10; /* PF: pages as MMC lays them out */
    Put16(c.bytes + 7, parameterLength);
    return c;
}

CdwMmcCdb CdwMmcSendCueSheet(uint32_t length) {
    CdwMmcCdb c = Make(0x5D, 10, "SEND CUE SHEET", CdwMmcDirection::Out, length);
    Put24(c.bytes + 6, length);
    return c;
}

CdwMmcCdb CdwMmcReserveTrack(uint32_t blocks) {
    CdwMmcCdb c = Make(0x53, 10, "RESERVE TRACK");
    Put32(c.bytes + 5, blocks);
    c.timeoutSeconds = 120;
    return c;
}

CdwMmcCdb CdwMmcCloseTrackSession(uint8_t function, uint16_t trackNumber, bool immediate) {
    CdwMmcCdb c = Make(0x5B, 10, "CLOSE TRACK/SESSION");
    c.bytes[1] = immediate ? 0x01 : 0x00;
    c.bytes[2] = function & 0x07;
    Put16(c.bytes + 4, trackNumber);
    c.timeoutSeconds = immediate ? 30 : 600;
    return c;
}

CdwMmcCdb CdwMmcBlank(uint8_t type, uint32_t addressOrTrack, bool immediate) {
    CdwMmcCdb c = Make(0xA1, 12, "BLANK");
    c.bytes[1] = static_cast<uint8_t>((immediate ? 0x10 : 0x00) | (type & 0x07));
    Put32(c.bytes + 2, addressOrTrack);
    c.timeoutSeconds = immediate ? 30 : 5400;
    return c;
}

CdwMmcCdb CdwMmcSetCdSpeed(uint16_t readKBps, uint16_t writeKBps) {
    CdwMmcCdb c = Make(0xBB, 12, "SET CD SPEED");
    Put16(c.bytes + 2, readKBps);
    Put16(c.bytes + 4, writeKBps);
    return c;
}

CdwMmcCdb CdwMmcSetStreaming() {
    CdwMmcCdb c = Make(0xB6, 12, "SET STREAMING", CdwMmcDirection::Out, 28);
    c.bytes[8] = 0x00; /* performance descriptor */
    Put16(c.bytes + 9, 28);
    return c;
}

CdwMmcCdb CdwMmcStartStopUnit(bool loadEject, bool start, bool immediate) {
    CdwMmcCdb c = Make(0x1B, 6, "START STOP UNIT");
    c.bytes[1] = immediate ? 0x01 : 0x00;
    c.bytes[4] = static_cast<uint8_t>((loadEject ? 0x02 : 0x00) | (start ? 0x01 : 0x00));
    c.timeoutSeconds = 60;
    return c;
}

CdwMmcCdb CdwMmcPreventAllowRemoval(bool prevent) {
    CdwMmcCdb c = Make(0x1E, 6, "PREVENT ALLOW MEDIUM REMOVAL");
    c.bytes[4] = prevent ? 0x01 : 0x00;
    return c;
}

CdwMmcCdb CdwMmcSynchronizeCache(bool immediate) {
    CdwMmcCdb c = Make(0x35, 10, "SYNCHRONIZE CACHE");
    c.bytes[1] = immediate ? 0x02 : 0x00;
    c.timeoutSeconds = immediate ? 30 : 600;
    return c;
}

CdwMmcCdb CdwMmcReadBufferCapacity() {
    CdwMmcCdb c = Make(0x5C, 10, "READ BUFFER CAPACITY", CdwMmcDirection::In, 12);
    Put16(c.bytes + 7, 12);
    return c;
}

CdwMmcCdb CdwMmcRead10(uint32_t lba, uint16_t blocks, uint32_t blockSize) {
    CdwMmcCdb c = Make(0x28, 10, "READ(10)", CdwMmcDirection::In, uint32_t(blocks) * blockSize);
    Put32(c.bytes + 2, lba);
    Put16(c.bytes + 7, blocks);
    c.timeoutSeconds = 60;
    return c;
}

CdwMmcCdb CdwMmcWrite10(uint32_t lba, uint16_t blocks, uint32_t blockSize) {
    CdwMmcCdb c = Make(0x2A, 10, "WRITE(10)", CdwMmcDirection::Out, uint32_t(blocks) * blockSize);
    Put32(c.bytes + 2, lba);
    Put16(c.bytes + 7, blocks);
    c.timeoutSeconds = 60;
    return c;
}

CdwMmcCdb CdwMmcReadCd(uint32_t lba, uint32_t blocks, uint8_t sectorType, uint8_t mainChannel,
                       uint32_t blockSize) {
    CdwMmcCdb c = Make(0xBE, 12, "READ CD", CdwMmcDirection::In, blocks * blockSize);
    c.bytes[1] = static_cast<uint8_t>((sectorType & 0x07) << 2);
    Put32(c.bytes + 2, lba);
    Put24(c.bytes + 6, blocks);
    c.bytes[9] = mainChannel;
    c.timeoutSeconds = 60;
    return c;
}

CdwMmcCdb CdwMmcReadCapacity() {
    return Make(0x25, 10, "READ CAPACITY", CdwMmcDirection::In, 8);
}

std::vector<uint8_t> CdwMmcPerformanceDescriptor(uint32_t startLba, uint32_t endLba,
                                                 uint32_t kBps) {
    std::vector<uint8_t> d(28, 0);
    Put32(&d[4], startLba);
    Put32(&d[8], endLba);
    /* Read and write: kBps kilobytes in 1000 ms. */
    Put32(&d[12], kBps);
    Put32(&d[16], 1000);
    Put32(&d[20], kBps);
    Put32(&d[24], 1000);
    return d;
}

/* ---- replies ---------------------------------------------------------------------------- */

bool CdwMmcParseSense(const uint8_t *data, size_t size, uint8_t *key, uint8_t *asc, uint8_t *ascq) {
    if (size < 4)
        return false;
    uint8_t code = data[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        *key = data[1] & 0x0F;
        *asc = data[2];
        *ascq = data[3];
        return true;
    }
    if ((code == 0x70 || code == 0x71) && size >= 14) {
        *key = data[2] & 0x0F;
        *asc = data[12];
        *ascq = data[13];
        return true;
    }
    return false;
}

std::string CdwMmcSenseText(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::string text = CdwSenseTriple(key, asc, ascq) + " " + CdwSenseKeyName(key);
    std::string name = CdwAscName(asc, ascq);
    if (!name.empty())
        text += ", " + name;
    return text;
}

std::string CdwMmcOutcomeText(const CdwMmcOutcome &o) {
    if (!o.delivered)
        return o.failure.empty() ? std::string("not delivered") : o.failure;
    if (o.scsiStatus == 0x02)
        return CdwMmcSenseText(o.senseKey, o.asc, o.ascq);
    char text[48];
    snprintf(text, sizeof(text), "status 0x%02X ", o.scsiStatus);
    return text + CdwScsiStatusName(o.scsiStatus);
}

bool CdwMmcParseInquiry(const uint8_t *data, size_t size, CdwMmcInquiryData *out) {
    if (size < 36)
        return false;
    out->peripheralType = data[0] & 0x1F;
    out->vendor = Text(data + 8, 8);
    out->product = Text(data + 16, 16);
    out->revision = Text(data + 32, 4);
    return true;
}

std::string CdwMmcProfileName(uint16_t profile) {
    switch (profile) {
    case CDW_PROFILE_NONE:
        return "none";
    case CDW_PROFILE_CD_ROM:
        return "CD-ROM";
    case CDW_PROFILE_CD_R:
        return "CD-R";
    case CDW_PROFILE_CD_RW:
        return "CD-RW";
    case CDW_PROFILE_DVD_ROM:
        return "DVD-ROM";
    case CDW_PROFILE_DVD_R:
        return "DVD-R";
    case CDW_PROFILE_DVD_RAM:
        return "DVD-RAM";
    case CDW_PROFILE_DVD_RW_RO:
        return "DVD-RW (restricted overwrite)";
    case CDW_PROFILE_DVD_RW_SEQ:
        return "DVD-RW";
    case CDW_PROFILE_DVD_R_DL:
        return "DVD-R DL";
    case CDW_PROFILE_DVD_PLUS_RW:
        return "DVD+RW";
    case CDW_PROFILE_DVD_PLUS_R:
        return "DVD+R";
    case CDW_PROFILE_DVD_PLUS_R_DL:
        return "DVD+R DL";
    default: {
        char text[24];
        snprintf(text, sizeof(text), "profile 0x%04X", profile);
        return text;
    }
    }
}

bool CdwMmcProfileIsCd(uint16_t profile) {
    return profile >= 0x0008 && profile <= 0x000A;
}

bool CdwMmcProfileIsDvd(uint16_t profile) {
    return profile >= 0x0010 && profile <= 0x002B;
}

bool CdwMmcParseConfiguration(const uint8_t *data, size_t size, CdwMmcConfiguration *out) {
    if (size < 8)
        return false;
    *out = CdwMmcConfiguration();
    out->dataLength = Get32(data);
    out->currentProfile = Get16(data + 6);
    /* The data length counts the bytes after itself; what was read may be less. */
    size_t end = size;
    if (out->dataLength + 4 < end)
        end = out->dataLength + 4;
    size_t at = 8;
    while (at + 4 <= end) {
        CdwMmcFeature f;
        f.code = Get16(data + at);
        f.version = (data[at + 2] >> 2) & 0x0F;
        f.persistent = (data[at + 2] & 0x02) != 0;
        f.current = (data[at + 2] & 0x01) != 0;
        size_t extra = data[at + 3];
        size_t have = at + 4 + extra <= end ? extra : end - at - 4;
        f.data.assign(data + at + 4, data + at + 4 + have);
        if (f.code == 0x0000)
            for (size_t p = 0; p + 4 <= f.data.size(); p += 4)
                out->profiles.push_back({Get16(&f.data[p]), (f.data[p + 2] & 0x01) != 0});
        out->features.push_back(std::move(f));
        at += 4 + extra;
    }
    return true;
}

bool CdwMmcParseDiscInfo(const uint8_t *data, size_t size, CdwMmcDiscInfo *out) {
    if (size < 24 || (data[2] >> 5) != 0) /* standard disc information only */
        return false;
    *out = CdwMmcDiscInfo();
    out->erasable = (data[2] & 0x10) != 0;
    out->lastSessionState = (data[2] >> 2) & 0x03;
    out->discStatus = data[2] & 0x03;
    out->firstTrack = data[3];
    out->sessions = static_cast<uint16_t>((data[9] << 8) | data[4]);
    out->firstTrackLastSession = static_cast<uint16_t>((data[10] << 8) | data[5]);
    out->lastTrackLastSession = static_cast<uint16_t>((data[11] << 8) | data[6]);
    out->unrestrictedUse = (data[7] & 0x20) != 0;
    out->discType = data[8];
    out->lastSessionLeadIn = Get32(data + 16);
    out->lastPossibleLeadOut = Get32(data + 20);
    return true;
}

const char *CdwMmcDiscStatusName(uint8_t status) {
    static const char *const names[4] = {"blank", "appendable", "complete", "other"};
    return names[status & 0x03];
}

bool CdwMmcParseTrackInfo(const uint8_t *data, size_t size, CdwMmcTrackInfo *out) {
    if (size < 28)
        return false;
    *out = CdwMmcTrackInfo();
    out->number = data[2];
    out->session = data[3];
    if (size >= 34) {
        out->number = static_cast<uint16_t>(out->number | (data[32] << 8));
        out->session = static_cast<uint16_t>(out->session | (data[33] << 8));
    }
    out->damaged = (data[5] & 0x20) != 0;
    out->copy = (data[5] & 0x10) != 0;
    out->trackMode = data[5] & 0x0F;
    out->reserved = (data[6] & 0x80) != 0;
    out->blank = (data[6] & 0x40) != 0;
    out->packet = (data[6] & 0x20) != 0;
    out->fixedPacket = (data[6] & 0x10) != 0;
    out->dataMode = data[6] & 0x0F;
    out->lastRecordedValid = (data[7] & 0x02) != 0;
    out->nextWritableValid = (data[7] & 0x01) != 0;
    out->start = Get32(data + 8);
    out->nextWritable = Get32(data + 12);
    out->freeBlocks = Get32(data + 16);
    out->packetSize = Get32(data + 20);
    out->size = Get32(data + 24);
    if (size >= 32)
        out->lastRecorded = Get32(data + 28);
    return true;
}

int32_t CdwMmcAtip::LeadInStart() const {
    return LbaOfMsf(leadInMin, leadInSec, leadInFrame);
}

int32_t CdwMmcAtip::LastPossibleLeadOut() const {
    return LbaOfMsf(leadOutMin, leadOutSec, leadOutFrame);
}

bool CdwMmcParseAtip(const uint8_t *data, size_t size, CdwMmcAtip *out) {
    if (size < 15 || Get16(data) < 13)
        return false;
    *out = CdwMmcAtip();
    out->writingPower = (data[4] >> 4) & 0x07;
    out->referenceSpeed = data[4] & 0x07;
    out->unrestrictedUse = (data[5] & 0x40) != 0;
    out->rewritable = (data[6] & 0x40) != 0;
    out->subType = (data[6] >> 3) & 0x07;
    out->leadInMin = data[8];
    out->leadInSec = data[9];
    out->leadInFrame = data[10];
    out->leadOutMin = data[12];
    out->leadOutSec = data[13];
    out->leadOutFrame = data[14];
    return true;
}

bool CdwMmcFindModePage(const uint8_t *data, size_t size, uint8_t page, size_t *offset,
                        size_t *length) {
    if (size < 8)
        return false;
    size_t end = size_t(Get16(data)) + 2;
    if (end > size)
        end = size;
    size_t at = 8 + Get16(data + 6); /* past the block descriptors */
    while (at + 2 <= end) {
        size_t pageLength = size_t(data[at + 1]) + 2;
        if ((data[at] & 0x3F) == page) {
            if (at + pageLength > end)
                return false;
            *offset = at;
            *length = pageLength;
            return true;
        }
        at += pageLength;
    }
    return false;
}

bool CdwMmcParseWriteParameters(const uint8_t *page, size_t length, CdwMmcWriteParameters *out) {
    if (length < 16 || (page[0] & 0x3F) != 0x05)
        return false;
    *out = CdwMmcWriteParameters();
    out->bufferUnderrunFree = (page[2] & 0x40) != 0;
    out->linkSizeValid = (page[2] & 0x20) != 0;
    out->testWrite = (page[2] & 0x10) != 0;
    out->writeType = page[2] & 0x0F;
    out->multiSession = page[3] >> 6;
    out->fixedPacket = (page[3] & 0x20) != 0;
    out->copy = (page[3] & 0x10) != 0;
    out->trackMode = page[3] & 0x0F;
    out->dataBlockType = page[4] & 0x0F;
    out->linkSize = page[5];
    out->hostApplicationCode = page[7] & 0x3F;
    out->sessionFormat = page[8];
    out->packetSize = Get32(page + 10);
    out->audioPauseLength = Get16(page + 14);
    if (length >= 32 && (page[16] & 0x80) != 0)
        out->catalog = std::string(reinterpret_cast<const char *>(page + 17), 13);
    return true;
}

bool CdwMmcStoreWriteParameters(const CdwMmcWriteParameters &p, uint8_t *page, size_t length) {
    if (length < 16 || (page[0] & 0x3F) != 0x05)
        return false;
    page[0] &= 0x3F; /* PS is reserved in MODE SELECT */
    page[2] = static_cast<uint8_t>((page[2] & 0x80) | (p.bufferUnderrunFree ? 0x40 : 0) |
                                   (p.linkSizeValid ? 0x20 : 0) | (p.testWrite ? 0x10 : 0) |
                                   (p.writeType & 0x0F));
    page[3] = static_cast<uint8_t>((p.multiSession << 6) | (p.fixedPacket ? 0x20 : 0) |
                                   (p.copy ? 0x10 : 0) | (p.trackMode & 0x0F));
    page[4] = static_cast<uint8_t>((page[4] & 0xF0) | (p.dataBlockType & 0x0F));
    page[5] = p.linkSize;
    page[7] = static_cast<uint8_t>((page[7] & 0xC0) | (p.hostApplicationCode & 0x3F));
    page[8] = p.sessionFormat;
    Put32(page + 10, p.packetSize);
    Put16(page + 14, p.audioPauseLength);
    if (length >= 32) {
        memset(page + 16, 0, 16);
        if (p.catalog.size() == 13) {
            page[16] = 0x80; /* MCVAL */
            memcpy(page + 17, p.catalog.data(), 13);
        }
    }
    return true;
}

bool CdwMmcParseCapabilities(const uint8_t *page, size_t length, CdwMmcCapabilities *out) {
    if (length < 14 || (page[0] & 0x3F) != 0x2A)
        return false;
    *out = CdwMmcCapabilities();
    out->readCdR = (page[2] & 0x01) != 0;
    out->readCdRw = (page[2] & 0x02) != 0;
    out->readDvdRom = (page[2] & 0x08) != 0;
    out->readDvdR = (page[2] & 0x10) != 0;
    out->writeCdR = (page[3] & 0x01) != 0;
    out->writeCdRw = (page[3] & 0x02) != 0;
    out->testWrite = (page[3] & 0x04) != 0;
    out->writeDvdR = (page[3] & 0x10) != 0;
    out->writeDvdRam = (page[3] & 0x20) != 0;
    out->bufferUnderrunFree = (page[4] & 0x80) != 0;
    out->multiSession = (page[4] & 0x40) != 0;
    out->loadingMechanism = page[6] >> 5;
    out->eject = (page[6] & 0x08) != 0;
    out->maxReadKBps = Get16(page + 8);
    out->bufferKB = Get16(page + 12);
    if (length >= 22) {
        out->maxWriteKBps = Get16(page + 18);
        out->currentWriteKBps = Get16(page + 20);
    }
    if (length >= 32) {
        /* Newer recorders give the selected speed and a table of write speeds here. */
        uint16_t selected = Get16(page + 28);
        if (selected != 0)
            out->currentWriteKBps = selected;
        uint16_t n = Get16(page + 30);
        for (size_t i = 0; i < n && 32 + 4 * i + 4 <= length; i++) {
            uint16_t speed = Get16(page + 32 + 4 * i + 2);
            out->writeSpeeds.push_back(speed);
            if (speed > out->maxWriteKBps)
                out->maxWriteKBps = speed;
        }
    }
    return true;
}

bool CdwMmcParseBufferCapacity(const uint8_t *data, size_t size, CdwMmcBufferCapacity *out) {
    if (size < 12)
        return false;
    out->length = Get32(data + 4);
    out->blank = Get32(data + 8);
    return true;
}

bool CdwMmcParseCapacity(const uint8_t *data, size_t size, CdwMmcCapacity *out) {
    if (size < 8)
        return false;
    out->lastLba = Get32(data);
    out->blockLength = Get32(data + 4);
    return true;
}

/* ---- cue sheet -------------------------------------------------------------------------- */

namespace {

struct FormCodes {
    uint8_t control;  /* CTL nibble: 4 data, 0 audio */
    uint8_t dataForm; /* the host sends the blocks */
    uint8_t leadForm; /* lead-in and lead-out, generated by the recorder */
};

FormCodes CodesOf(CdwCdForm form) {
    switch (form) {
    case CdwCdForm::Mode1:
        return {4, 0x10, 0x14};
    case CdwCdForm::Mode1Raw:
        return {4, 0x11, 0x14};
    case CdwCdForm::Mode2:
        return {4, 0x30, 0x34};
    case CdwCdForm::Mode2Raw:
        return {4, 0x31, 0x34};
    case CdwCdForm::Audio:
    default:
        return {0, 0x00, 0x01};
    }
}

void Entry(std::vector<uint8_t> *sheet, uint8_t ctlAdr, uint8_t tno, uint8_t index, uint8_t form,
           int32_t lba) {
    uint8_t m, s, f;
    MsfOf(lba, &m, &s, &f);
    const uint8_t e[8] = {ctlAdr, tno, index, form, 0, m, s, f};
    sheet->insert(sheet->end(), e, e + 8);
}

/* Two descriptors of 7 (catalog) or 6 (ISRC) characters after the first bytes. */
void TextEntries(std::vector<uint8_t> *sheet, uint8_t ctlAdr, int tno, const std::string &text) {
    uint8_t e[16] = {};
    if (tno < 0) {
        e[0] = e[8] = ctlAdr;
        memcpy(e + 1, text.data(), 7);
        memcpy(e + 9, text.data() + 7, 6);
    } else {
        e[0] = e[8] = ctlAdr;
        e[1] = e[9] = static_cast<uint8_t>(tno);
        memcpy(e + 2, text.data(), 6);
        memcpy(e + 10, text.data() + 6, 6);
    }
    sheet->insert(sheet->end(), e, e + 16);
}

bool ValidIsrc(const std::string &s) {
    if (s.size() != 12)
        return false;
    for (size_t i = 0; i < 12; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool digit = c >= '0' && c <= '9', upper = c >= 'A' && c <= 'Z';
        if (i < 2 ? !upper : i < 5 ? !(digit || upper) : !digit)
            return false;
    }
    return true;
}

} // namespace

bool CdwBuildCueSheet(const std::vector<CdwCueTrack> &tracks, const std::string &catalog,
                      int32_t sessionStart, std::vector<uint8_t> *sheet, std::string *error) {
    sheet->clear();
    if (tracks.empty() || tracks.size() > 99) {
        *error = "a cue sheet holds 1 to 99 tracks, not " + std::to_string(tracks.size());
        return false;
    }
    if (!catalog.empty()) {
        bool digits = catalog.size() == 13;
        for (char c : catalog)
            digits = digits && c >= '0' && c <= '9';
        if (!digits) {
            *error = "catalog number \"" + catalog + "\" is not 13 digits";
            return false;
        }
    }
    if (tracks[0].pregapBlocks < 150) {
        *error = "the first track's pre-gap is " + std::to_string(tracks[0].pregapBlocks) +
                 " blocks; a CD needs at least 150 (2 seconds)";
        return false;
    }
    FormCodes first = CodesOf(tracks[0].form);
    if (!catalog.empty())
        TextEntries(sheet, static_cast<uint8_t>((first.control << 4) | 0x02), -1, catalog);
    /* The lead-in, at 00:00:00 whatever the session's start. */
    Entry(sheet, static_cast<uint8_t>((first.control << 4) | 0x01), 0, 0, first.leadForm, -150);

    int32_t at = sessionStart - 150;
    int previous = 0;
    for (const auto &t : tracks) {
        if (t.number < 1 || t.number > 99 || (previous != 0 && t.number != previous + 1)) {
            *error = "track " + std::to_string(t.number) + " does not follow track " +
                     std::to_string(previous);
            return false;
        }
        if (t.blocks < 300) {
            *error = "track " + std::to_string(t.number) + " has " + std::to_string(t.blocks) +
                     " blocks; a CD track needs at least 300 (4 seconds)";
            return false;
        }
        previous = t.number;
        FormCodes c = CodesOf(t.form);
        /* Copy permitted for any track; pre-emphasis and four channels for audio alone. */
        c.control |= t.flags & (t.form == CdwCdForm::Audio ? 0x0B : 0x02);
        uint8_t ctlAdr = static_cast<uint8_t>((c.control << 4) | 0x01);
        if (!t.isrc.empty()) {
            if (!ValidIsrc(t.isrc)) {
                *error = "ISRC \"" + t.isrc + "\" of track " + std::to_string(t.number) +
                         " is not CCOOOYYSSSSS";
                return false;
            }
            TextEntries(sheet, static_cast<uint8_t>((c.control << 4) | 0x03), t.number, t.isrc);
        }
        if (t.pregapBlocks != 0)
            Entry(sheet, ctlAdr, static_cast<uint8_t>(t.number), 0, c.dataForm, at);
        at += static_cast<int32_t>(t.pregapBlocks);
        Entry(sheet, ctlAdr, static_cast<uint8_t>(t.number), 1, c.dataForm, at);
        at += static_cast<int32_t>(t.blocks);
    }
    FormCodes last = CodesOf(tracks.back().form);
    Entry(sheet, static_cast<uint8_t>((last.control << 4) | 0x01), 0xAA, 1, last.leadForm, at);
    return true;
}
