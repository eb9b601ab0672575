/*
 * mmc.h - MMC command blocks for CD and DVD recorders, the replies they get, and the recording
 * application's set-up and closing steps built on them.
 *
 * Everything here reaches the recorder through one function: CdwMmcSender.send takes a command
 * block, a data direction, a buffer and a time-out and returns what happened (GOOD, a SCSI
 * status with its sense, or a transport failure, and the bytes moved). The module knows nothing
 * of how the command travels: the tool sends it through the driver's pass-through request, and
 * the same code runs over the Linux SCSI generic driver.
 *
 * Multi-byte fields of MMC are big-endian. Addresses are logical block addresses unless a name
 * says MSF; a CD's MSF address m:s:f is block (m*60+s)*75+f-150.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/* ---- sending ---------------------------------------------------------------------------- */

enum class CdwMmcDirection { None, In, Out };

/* What became of one command. */
struct CdwMmcOutcome {
    bool delivered = true;  /* false: the command did not complete (time-out, device gone) */
    uint8_t scsiStatus = 0; /* 0x00 GOOD, 0x02 CHECK CONDITION, 0x08 BUSY, ... */
    uint8_t senseKey = 0;   /* with CHECK CONDITION */
    uint8_t asc = 0;
    uint8_t ascq = 0;
    uint32_t transferred = 0; /* bytes moved (a reply may be shorter than the buffer) */
    std::string failure;      /* why it was not delivered, for messages */

    bool Good() const { return delivered && scsiStatus == 0x00; }
    bool Sense(uint8_t key, uint8_t code) const {
        return delivered && scsiStatus == 0x02 && senseKey == key && asc == code;
    }
    bool Sense(uint8_t key, uint8_t code, uint8_t qualifier) const {
        return Sense(key, code) && ascq == qualifier;
    }
};

/* The one way to the recorder. `sleep` may be null (the flow then sleeps itself); tests give
   one that only advances their clock. */
struct CdwMmcSender {
    CdwMmcOutcome (*send)(void *context, const uint8_t *cdb, uint8_t cdbLength,
                          CdwMmcDirection direction, void *buffer, uint32_t length,
                          uint32_t timeoutSeconds) = nullptr;
    void (*sleep)(void *context, unsigned milliseconds) = nullptr;
    void *context = nullptr;
};

/* ---- command blocks --------------------------------------------------------------------- */

/* One command block with the data it moves. */
struct CdwMmcCdb {
    uint8_t bytes[16] = {};
    uint8_t length = 0;
    CdwMmcDirection direction = CdwMmcDirection::None;
    uint32_t dataLength = 0; /* bytes of data in or out */
    uint32_t timeoutSeconds = 30;
    const char *name = "";
};

/* GET CONFIGURATION request types. */
constexpr uint8_t CDW_MMC_RT_ALL = 0, CDW_MMC_RT_CURRENT = 1, CDW_MMC_RT_ONE = 2;
/* READ TRACK INFORMATION address types. */
constexpr uint8_t CDW_MMC_BY_LBA = 0, CDW_MMC_BY_TRACK = 1, CDW_MMC_BY_SESSION = 2;
/* CLOSE TRACK/SESSION functions. */
constexpr uint8_t CDW_MMC_CLOSE_TRACK = 1, CDW_MMC_CLOSE_SESSION = 2,
                  CDW_MMC_FINALIZE_MINIMAL = 5; /* DVD+R: close and finalize the disc */
/* BLANK types. */
constexpr uint8_t CDW_MMC_BLANK_ALL = 0, CDW_MMC_BLANK_FAST = 1;

CdwMmcCdb CdwMmcTestUnitReady();
CdwMmcCdb CdwMmcRequestSense(uint8_t allocation = 18);
CdwMmcCdb CdwMmcInquiry(uint16_t allocation = 36);
CdwMmcCdb CdwMmcGetConfiguration(uint8_t requestType, uint16_t startFeature, uint16_t allocation);
CdwMmcCdb CdwMmcReadDiscInformation(uint16_t allocation = 34);
CdwMmcCdb CdwMmcReadTrackInformation(uint8_t addressType, uint32_t value, uint16_t allocation = 48);
/* READ TOC/PMA/ATIP: format 0 (TOC), 1 (session information), 2 (full TOC), 4 (ATIP). */
CdwMmcCdb CdwMmcReadToc(uint8_t format, bool msf, uint8_t trackOrSession, uint16_t allocation);
CdwMmcCdb CdwMmcModeSense10(uint8_t page, uint16_t allocation, uint8_t pageControl = 0);
/* MODE SELECT(10) with PF set; the data is a mode parameter header and the page. */
CdwMmcCdb CdwMmcModeSelect10(uint16_t parameterLength);
CdwMmcCdb CdwMmcSendCueSheet(uint32_t length);
CdwMmcCdb CdwMmcReserveTrack(uint32_t blocks);
CdwMmcCdb CdwMmcCloseTrackSession(uint8_t function, uint16_t trackNumber, bool immediate);
CdwMmcCdb CdwMmcBlank(uint8_t type, uint32_t addressOrTrack, bool immediate);
/* Speeds in kB/s (1000 bytes), 0xFFFF: the highest the recorder can. */
CdwMmcCdb CdwMmcSetCdSpeed(uint16_t readKBps, uint16_t writeKBps);
/* SET STREAMING with one performance descriptor (28 bytes, CdwMmcPerformanceDescriptor). */
CdwMmcCdb CdwMmcSetStreaming();
CdwMmcCdb CdwMmcStartStopUnit(bool loadEject, bool start, bool immediate);
CdwMmcCdb CdwMmcPreventAllowRemoval(bool prevent);
CdwMmcCdb CdwMmcSynchronizeCache(bool immediate);
CdwMmcCdb CdwMmcReadBufferCapacity();
CdwMmcCdb CdwMmcRead10(uint32_t lba, uint16_t blocks, uint32_t blockSize = 2048);
CdwMmcCdb CdwMmcWrite10(uint32_t lba, uint16_t blocks, uint32_t blockSize = 2048);
/* READ CD of user data: sector type 0 any, 1 CD-DA, 2 mode 1, 3 mode 2 formless; main
   channel selection byte (0x10 user data, 0xF8 the whole 2352 bytes). */
CdwMmcCdb CdwMmcReadCd(uint32_t lba, uint32_t blocks, uint8_t sectorType, uint8_t mainChannel,
                       uint32_t blockSize);
CdwMmcCdb CdwMmcReadCapacity();

/* The 28-byte performance descriptor of SET STREAMING: write `kBps` over [startLba, endLba]. */
std::vector<uint8_t> CdwMmcPerformanceDescriptor(uint32_t startLba, uint32_t endLba, uint32_t kBps);

/* ---- replies ---------------------------------------------------------------------------- */

/* Sense data in fixed (0x70/0x71) or descriptor (0x72/0x73) format. */
bool CdwMmcParseSense(const uint8_t *data, size_t size, uint8_t *key, uint8_t *asc, uint8_t *ascq);

/* "5/21/02 ILLEGAL REQUEST, INVALID ADDRESS FOR WRITE" (the pair's name when known). */
std::string CdwMmcSenseText(uint8_t key, uint8_t asc, uint8_t ascq);
/* A one-line account of an outcome: the sense text, the status or the transport failure. */
std::string CdwMmcOutcomeText(const CdwMmcOutcome &outcome);

struct CdwMmcInquiryData {
    uint8_t peripheralType = 0x1F; /* 5: CD/DVD device */
    std::string vendor, product, revision;
};
bool CdwMmcParseInquiry(const uint8_t *data, size_t size, CdwMmcInquiryData *out);

/* Profiles (GET CONFIGURATION). */
constexpr uint16_t CDW_PROFILE_NONE = 0x0000, CDW_PROFILE_CD_ROM = 0x0008,
                   CDW_PROFILE_CD_R = 0x0009, CDW_PROFILE_CD_RW = 0x000A,
                   CDW_PROFILE_DVD_ROM = 0x0010, CDW_PROFILE_DVD_R = 0x0011,
                   CDW_PROFILE_DVD_RAM = 0x0012, CDW_PROFILE_DVD_RW_RO = 0x0013,
                   CDW_PROFILE_DVD_RW_SEQ = 0x0014, CDW_PROFILE_DVD_R_DL = 0x0015,
                   CDW_PROFILE_DVD_PLUS_RW = 0x001A, CDW_PROFILE_DVD_PLUS_R = 0x001B,
                   CDW_PROFILE_DVD_PLUS_R_DL = 0x002B;
/* "CD-R", "DVD+R", ... ("profile 0x0040" for others, "none" for 0). */
std::string CdwMmcProfileName(uint16_t profile);
bool CdwMmcProfileIsCd(uint16_t profile);
bool CdwMmcProfileIsDvd(uint16_t profile);

struct CdwMmcFeature {
    uint16_t code = 0;
    uint8_t version = 0;
    bool persistent = false;
    bool current = false;
    std::vector<uint8_t> data; /* the additional bytes after the 4-byte feature header */
};
struct CdwMmcProfile {
    uint16_t number = 0;
    bool current = false;
};
struct CdwMmcConfiguration {
    uint32_t dataLength = 0; /* as the header gives it (may exceed what was read) */
    uint16_t currentProfile = 0;
    std::vector<CdwMmcFeature> features;
    std::vector<CdwMmcProfile> profiles; /* from the Profile List feature (0x0000) */
};
bool CdwMmcParseConfiguration(const uint8_t *data, size_t size, CdwMmcConfiguration *out);

/* Disc status and state of the last session (READ DISC INFORMATION). */
constexpr uint8_t CDW_DISC_BLANK = 0, CDW_DISC_APPENDABLE = 1, CDW_DISC_COMPLETE = 2,
                  CDW_DISC_OTHER = 3;
constexpr uint8_t CDW_SESSION_EMPTY = 0, CDW_SESSION_INCOMPLETE = 1, CDW_SESSION_DAMAGED = 2,
                  CDW_SESSION_COMPLETE = 3;

struct CdwMmcDiscInfo {
    bool erasable = false;
    uint8_t lastSessionState = 0;
    uint8_t discStatus = 0;
    uint8_t firstTrack = 0;
    uint16_t sessions = 0;
    uint16_t firstTrackLastSession = 0;
    uint16_t lastTrackLastSession = 0;
    bool unrestrictedUse = false;
    uint8_t discType = 0; /* 0x00 CD-DA/CD-ROM, 0x10 CD-I, 0x20 CD-ROM XA */
    /* As recorded: for a CD these two are MSF (0, m, s, f), for a DVD block addresses. */
    uint32_t lastSessionLeadIn = 0;
    uint32_t lastPossibleLeadOut = 0;
};
bool CdwMmcParseDiscInfo(const uint8_t *data, size_t size, CdwMmcDiscInfo *out);

/* "blank", "appendable", "complete", "other". */
const char *CdwMmcDiscStatusName(uint8_t status);

struct CdwMmcTrackInfo {
    uint16_t number = 0;
    uint16_t session = 0;
    bool damaged = false;
    bool copy = false;
    uint8_t trackMode = 0; /* control nibble: 4 data, 0 audio, ... */
    bool reserved = false; /* RT */
    bool blank = false;
    bool packet = false;
    bool fixedPacket = false;
    uint8_t dataMode = 0; /* 1 mode 1, 2 mode 2, 0xF unknown */
    bool lastRecordedValid = false;
    bool nextWritableValid = false;
    uint32_t start = 0;
    uint32_t nextWritable = 0;
    uint32_t freeBlocks = 0;
    uint32_t packetSize = 0;
    uint32_t size = 0;
    uint32_t lastRecorded = 0;
};
bool CdwMmcParseTrackInfo(const uint8_t *data, size_t size, CdwMmcTrackInfo *out);

/* READ TOC format 4: what the blank CD's pre-groove says. */
struct CdwMmcAtip {
    uint8_t writingPower = 0;
    uint8_t referenceSpeed = 0;
    bool unrestrictedUse = false;
    bool rewritable = false; /* disc type: CD-RW */
    uint8_t subType = 0;
    uint8_t leadInMin = 0, leadInSec = 0, leadInFrame = 0;
    uint8_t leadOutMin = 0, leadOutSec = 0, leadOutFrame = 0;
    int32_t LeadInStart() const;         /* block address (negative) */
    int32_t LastPossibleLeadOut() const; /* block address: the capacity of a blank disc */
};
bool CdwMmcParseAtip(const uint8_t *data, size_t size, CdwMmcAtip *out);

/* A mode page inside MODE SENSE(10) data: its offset and length (with its 2-byte header). */
bool CdwMmcFindModePage(const uint8_t *data, size_t size, uint8_t page, size_t *offset,
                        size_t *length);

/* Write types of the write parameters page (05h). */
constexpr uint8_t CDW_WRITE_PACKET = 0, CDW_WRITE_TAO = 1, CDW_WRITE_SAO = 2, CDW_WRITE_RAW = 3;

struct CdwMmcWriteParameters {
    bool bufferUnderrunFree = false; /* BUFE */
    bool linkSizeValid = false;
    bool testWrite = false;
    uint8_t writeType = CDW_WRITE_TAO;
    uint8_t multiSession = 0; /* 0 closed, 1 closed with B0 = FF:FF:FF, 3 next session allowed */
    bool fixedPacket = false;
    bool copy = false;
    uint8_t trackMode = 4;     /* control nibble */
    uint8_t dataBlockType = 8; /* 0 raw 2352, 8 mode 1, 9 mode 2 (2336), 10-13 XA forms */
    uint8_t linkSize = 0;
    uint8_t hostApplicationCode = 0;
    uint8_t sessionFormat = 0; /* 0x00 CD-DA/CD-ROM, 0x10 CD-I, 0x20 CD-ROM XA */
    uint32_t packetSize = 0;
    uint16_t audioPauseLength = 150;
    std::string catalog; /* media catalog number (13 digits) or "" */
};
/* page: the page bytes from its page code on. */
bool CdwMmcParseWriteParameters(const uint8_t *page, size_t length, CdwMmcWriteParameters *out);
/* Writes the fields into a page as MODE SENSE returned it (other bytes kept, PS cleared). */
bool CdwMmcStoreWriteParameters(const CdwMmcWriteParameters &parameters, uint8_t *page,
                                size_t length);

/* The capabilities page (2Ah). Speeds in kB/s. */
struct CdwMmcCapabilities {
    bool readCdR = false, readCdRw = false, readDvdRom = false, readDvdR = false;
    bool writeCdR = false, writeCdRw = false, writeDvdR = false, writeDvdRam = false;
    bool testWrite = false;
    bool bufferUnderrunFree = false;
    bool multiSession = false;
    bool eject = false;
    uint8_t loadingMechanism = 0;
    uint16_t maxReadKBps = 0;
    uint16_t bufferKB = 0;
    uint16_t maxWriteKBps = 0;
    uint16_t currentWriteKBps = 0; /* the speed selected for writing */
    std::vector<uint16_t> writeSpeeds;
};
bool CdwMmcParseCapabilities(const uint8_t *page, size_t length, CdwMmcCapabilities *out);

struct CdwMmcBufferCapacity {
    uint32_t length = 0;
    uint32_t blank = 0;
};
bool CdwMmcParseBufferCapacity(const uint8_t *data, size_t size, CdwMmcBufferCapacity *out);

struct CdwMmcCapacity {
    uint32_t lastLba = 0;
    uint32_t blockLength = 0;
};
bool CdwMmcParseCapacity(const uint8_t *data, size_t size, CdwMmcCapacity *out);

/* ---- cue sheet -------------------------------------------------------------------------- */

/* Track forms as the cue sheet and the write parameters page know them. */
enum class CdwCdForm {
    Mode1,    /* 2048 bytes of user data a block */
    Mode1Raw, /* 2352 bytes: sync, header, data, EDC/ECC from the host */
    Mode2,    /* 2336 bytes (mode 2 formless) */
    Mode2Raw, /* 2352 bytes */
    Audio,    /* 2352 bytes of CD-DA */
};

struct CdwCueTrack {
    int number = 1;
    CdwCdForm form = CdwCdForm::Mode1;
    uint32_t pregapBlocks = 0; /* INDEX 00 to INDEX 01, sent by the host in the track's form */
    uint32_t blocks = 0;       /* INDEX 01 to the end of the track */
    std::string isrc;          /* 12 characters, or "" */
    uint8_t flags = 0;         /* control bits the CUE sheet's FLAGS add: 0x1 pre-emphasis,
                                  0x2 copy permitted, 0x8 four channels (audio only) */
};

/*
 * The cue sheet of a session-at-once recording: catalog, lead-in, each track's ISRC, INDEX 00
 * and INDEX 01, the lead-out. The session starts at block `sessionStart` (0 on a blank disc)
 * and its first track's pre-gap begins 150 blocks before it, at the end of the lead-in; that
 * pre-gap must be at least 150 blocks. False with a reason for what a cue sheet cannot hold.
 */
bool CdwBuildCueSheet(const std::vector<CdwCueTrack> &tracks, const std::string &catalog,
                      int32_t sessionStart, std::vector<uint8_t> *sheet, std::string *error);

/* ---- the recording application's steps -------------------------------------------------- */

struct CdwImageLayout;

/* What is known of the recorder's medium. */
struct CdwMmcMedia {
    bool present = false;
    uint16_t profile = CDW_PROFILE_NONE;
    bool discInfoValid = false;
    CdwMmcDiscInfo disc;
    std::vector<CdwMmcTrackInfo> tracks; /* recorded tracks and the open/blank one */
    bool atipValid = false;
    CdwMmcAtip atip;
    uint32_t nextWritable = 0; /* where the next recording starts */
    uint64_t capacityBlocks = 0;
    uint64_t freeBlocks = 0;
    uint32_t openTrack = 0; /* number of the track a recording writes */

    bool IsCd() const { return CdwMmcProfileIsCd(profile); }
    bool IsDvd() const { return CdwMmcProfileIsDvd(profile); }
};

/* What is to be recorded, as the checks and the set-up need it. */
struct CdwMmcPlan {
    /* Blocks the recording needs from the next writable address on (a CD's first pre-gap,
       written ahead of block 0 in session-at-once, is not counted). */
    uint64_t blocks = 0;
    bool cdOnly = false;          /* audio, raw or mode 2 tracks, or a recorded CD pre-gap */
    std::vector<CdwCueTrack> cue; /* for a CD session-at-once recording */
    std::string catalog;
    bool dummy = false;     /* test write: nothing reaches the medium */
    bool multi = false;     /* leave the session (disc) open for another */
    uint32_t speedKBps = 0; /* 0: the highest */
    /* Why the layout cannot be set up (CdwMmcPlanFromLayout's reason), or "": a recorder that
       is not set up may still take it as it is. */
    std::string invalid;
};

/* How a recording is written on the medium in the recorder, chosen by CdwMmcChooseWrite. */
struct CdwMmcWriteSetup {
    bool usePage05 = true; /* false for DVD+R: its recorders have no write parameters */
    CdwMmcWriteParameters parameters;
    bool sendCueSheet = false;
    bool reserveTrack = false;
    uint32_t reserveBlocks = 0; /* whole ECC blocks of 16: a disc-at-once recording writes
                                   exactly these, its last blocks padded with zeros */
    /* The zero blocks Finish writes after the image to fill the reserved track. */
    uint32_t padStart = 0;
    uint32_t padBlocks = 0;
    std::vector<uint8_t> cueSheet;
    /* After the data: the close functions to send, in order, for the track number. */
    std::vector<uint8_t> closeFunctions;
    uint16_t trackNumber = 1;
};

/* A recording as the flow sets it up and finishes it around the driver's write pass. */
struct CdwMmcSession {
    /* False: the recorder refused GET CONFIGURATION as an unknown command, so it was neither
       asked about its medium nor set up; only SYNCHRONIZE CACHE follows the data. */
    bool mmc = false;
    std::string unsupported; /* then: what the recorder answered */
    CdwMmcMedia media;
    CdwMmcWriteSetup setup;
    uint32_t grantedKBps = 0;
};

/* The flow's state: the sender, the last outcome, the message of the last failure. */
class CdwMmcDevice {
public:
    explicit CdwMmcDevice(const CdwMmcSender &sender) : sender_(sender) {}

    /* Sends one command; data is the buffer of cdb.dataLength bytes (in or out). */
    CdwMmcOutcome Exec(const CdwMmcCdb &cdb, void *data);
    /* Exec, and on anything but GOOD sets Error() to "<what>: <outcome>". */
    bool Run(const CdwMmcCdb &cdb, void *data, const std::string &what);
    const CdwMmcOutcome &Last() const { return last_; }
    const std::string &Error() const { return error_; }
    void Fail(const std::string &message) { error_ = message; }
    void Sleep(unsigned milliseconds);

    /* TEST UNIT READY until GOOD: waits through "becoming ready" (02/04/xx) and unit
       attentions (06/28, 06/29) for at most maxSeconds; 02/3A (no medium) ends it at once. */
    bool WaitReady(unsigned maxSeconds);

    /* Profile, disc information, tracks, capacity and free space (ATIP for a CD). */
    bool ReadMedia(CdwMmcMedia *media);

    /* The capabilities page (2Ah). */
    bool ReadCapabilities(CdwMmcCapabilities *caps);

    /* Sets the write speed (0: highest) and returns in *grantedKBps what the recorder took
       (the capabilities page's selected write speed; 0 when it does not say). */
    bool SetSpeed(const CdwMmcMedia &media, uint32_t kBps, uint32_t *grantedKBps);

    /* MODE SENSE, change, MODE SELECT of the write parameters page. */
    bool SetWriteParameters(const CdwMmcWriteParameters &parameters);

    /* Write parameters, cue sheet or track reservation, as chosen. */
    bool Prepare(const CdwMmcWriteSetup &setup);

    /* Everything before the first WRITE, in order: the checks (CdwMmcCheckBeforeRecord),
       the choice of set-up, the speed, then Prepare. Nothing is sent when a check fails. */
    bool SetUpRecording(const CdwMmcMedia &media, const CdwMmcPlan &plan, CdwMmcWriteSetup *setup,
                        uint32_t *grantedKBps);

    /*
     * Everything before the driver's write pass: readiness (at most readySeconds), the medium,
     * then SetUpRecording. A recorder that refuses GET CONFIGURATION as an unknown command
     * (5/20/00) is not set up (session->mmc false) unless the plan needs a set-up it cannot
     * do without (a test write). False with Error() when nothing may be written.
     */
    bool BeginRecording(const CdwMmcPlan &plan, unsigned readySeconds, CdwMmcSession *session);

    /* After the last WRITE: the padding of a reserved track, SYNCHRONIZE CACHE, waiting
       until the recorder has written its buffer (at most maxSeconds), then the closing of the
       set-up. */
    bool Finish(const CdwMmcWriteSetup &setup, bool dummy, unsigned maxSeconds);

    /* BLANK (fast: the table of contents only; else the whole disc) of a rewritable disc,
       waiting until it is done (at most maxSeconds). */
    bool Blank(bool fast, unsigned maxSeconds);

    /* Allows removal and opens the tray; Load closes it. */
    bool Eject();
    bool Load();

    /*
     * Reads blocks [start, start+count) of blockSize bytes through READ(10) (2048) or READ CD
     * (2352, 2336; READ(10) of that size when the recorder does not know READ CD) and compares them
     * with what image(block index, buffer, bytes) gives. *mismatch gets the first differing block
     * address, or -1 when all match. False when a read failed (Error() says which block).
     */
    bool Verify(uint32_t start, uint32_t count, uint32_t blockSize, CdwCdForm form,
                const std::function<bool(uint64_t index, uint8_t *buffer, size_t bytes)> &image,
                int64_t *mismatch);

private:
    bool WaitWhileBusy(unsigned maxSeconds, const std::string &what);

    CdwMmcSender sender_;
    CdwMmcOutcome last_;
    std::string error_;
};

/*
 * The plan of an image layout: a plain image (one MODE1/2048 track, no pre-gap) is recorded
 * as it is, on a CD track at once; anything else (several tracks, other modes, pre-gaps,
 * catalog, ISRC) is CD-only and becomes the tracks of a cue sheet. The first track's pre-gap
 * must then be the layout's generated pre-gap of at least 150 blocks, written from 150 blocks
 * ahead of the session's start. False with a reason.
 */
/* The pre-gap every CD's first track has: 2 seconds, from 00:00:00 to 00:02:00. */
constexpr uint32_t kCdwFirstPregapBlocks = 150;

/*
 * A layout recorded session-at-once (CdwMmcPlanFromLayout finds it CD-only) whose first track
 * has a shorter pre-gap than a CD's 150 blocks gets the rest generated ahead of it, as CUE
 * sheets leave that pre-gap out ("INDEX 01 00:00:00" on track 1). Returns the blocks added
 * (0: the layout is unchanged).
 */
uint32_t CdwMmcLengthenFirstPregap(CdwImageLayout *layout);

/*
 * Moves a layout's disc addresses so that its first track's INDEX 01 lies at sessionStart,
 * the next writable address the recorder reported (0 on a blank disc). A session-at-once
 * pre-gap then starts ahead of it, below block 0 on a blank CD: addresses wrap as MMC's
 * two's-complement block addresses do (-150 is 0xFFFFFF6A).
 */
void CdwMmcPlaceLayout(CdwImageLayout *layout, uint32_t sessionStart);

/* The cue sheet's form of an image track's format code. */
CdwCdForm CdwMmcFormOf(uint32_t format);

bool CdwMmcPlanFromLayout(const CdwImageLayout &layout, CdwMmcPlan *plan, std::string *error);

/*
 * Refuses, before anything is written, what the medium cannot take: no medium, a medium that
 * is not recordable, a complete or damaged disc, a CD-only layout on a DVD, a test write on a
 * DVD+R, a recording larger than the free space. False with a one-line message.
 */
bool CdwMmcCheckBeforeRecord(const CdwMmcMedia &media, const CdwMmcPlan &plan, std::string *error);

/*
 * The write set-up for the medium: CD session-at-once with a cue sheet when the plan has one,
 * else track-at-once; DVD-R disc-at-once with a reserved track (incremental when the plan
 * leaves the disc open); DVD+R sequential without write parameters. Buffer-underrun protection
 * on, test write for a dummy recording, the session left open for a multi-session one.
 */
bool CdwMmcChooseWrite(const CdwMmcMedia &media, const CdwMmcPlan &plan, CdwMmcWriteSetup *setup,
                       std::string *error);
