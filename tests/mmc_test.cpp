/*
 * mmc_test.cpp - the MMC module: command blocks and replies against the layouts of the MMC
 * tables, and the recording flow against a scripted recorder (expected command blocks, canned
 * replies).
 *
 * Every reply here is laid out by hand, byte by byte, from the MMC tables; none comes from the
 * simulated recorder.
 */
#include "client/image_layout.h"
#include "client/mmc.h"
#include "client/mmc_passthrough.h"

#include "driver_harness.h"

#include <gtest/gtest.h>
#include <standin/simrecorder.h>

#include <cstring>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char *text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::string HexOf(const uint8_t *p, size_t n) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof(two), "%02X ", p[i]);
        s += two;
    }
    return s;
}

/* The fields of a parsed reply on one line, so that a reply is checked in one comparison. */
template <typename... T> std::string Fields(const T &...v) {
    std::ostringstream out;
    ((out << +v << ' '), ...);
    return out.str();
}

/* ---- replies laid out from the MMC tables ------------------------------------------------ */

/* Feature header (8 bytes) and the Profile List feature with CD-R, CD-RW, DVD-R, DVD+R. */
Bytes ConfigReply(uint16_t current) {
    Bytes r = Hex("00 00 00 18 00 00 00 00  00 00 03 10  00 09 00 00  00 0A 00 00  00 11 00 00"
                  "  00 1B 00 00");
    r[6] = static_cast<uint8_t>(current >> 8);
    r[7] = static_cast<uint8_t>(current);
    for (size_t at = 12; at < r.size(); at += 4)
        if (((r[at] << 8) | r[at + 1]) == current)
            r[at + 2] = 0x01; /* CurrentP */
    return r;
}

/* Standard disc information (34 bytes) of a disc with one track in one session. */
Bytes DiscReply(uint8_t status, uint8_t state) {
    Bytes r(34, 0);
    r[1] = 0x20;
    r[2] = static_cast<uint8_t>((state << 2) | status);
    r[3] = r[4] = r[5] = r[6] = 1; /* first track; sessions; first and last in the last one */
    return r;
}

void Put32(Bytes &r, size_t at, uint32_t v) {
    for (int k = 0; k < 4; k++)
        r[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

/* Track information (48 bytes): byte 5 track mode, byte 6 RT/Blank/Packet/FP/data mode,
   byte 7 LRA_V/NWA_V. */
Bytes TrackReply(uint8_t number, uint8_t mode5, uint8_t flags6, uint8_t flags7, uint32_t start,
                 uint32_t nwa, uint32_t free, uint32_t size) {
    Bytes r(48, 0);
    r[1] = 0x2E;
    r[2] = number;
    r[3] = 1;
    r[5] = mode5;
    r[6] = flags6;
    r[7] = flags7;
    Put32(r, 8, start);
    Put32(r, 12, nwa);
    Put32(r, 16, free);
    Put32(r, 24, size);
    return r;
}

/* ATIP of an 80-minute CD-R: lead-in 97:26:66, last possible lead-out 79:59:74. */
Bytes AtipReply() {
    return Hex("00 1A 00 00  D5 40 80 00  61 1A 42 00  4F 3B 4A 00  00 00 00 00  00 00 00 00"
               "  00 00 00 00");
}

/* MODE SENSE(10) header and write parameters page as a recorder returns it (PS set, TAO). */
Bytes Page05Reply() {
    Bytes r(8 + 52, 0);
    r[1] = 0x3A;
    Bytes page = Hex("85 32 01 04 08 00 00 00 00 00 00 00 00 00 00 96");
    std::copy(page.begin(), page.end(), r.begin() + 8);
    return r;
}

/* The MODE SELECT data for that page with bytes 2 to 4 and 8 changed. */
Bytes Page05Select(uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b8 = 0) {
    Bytes r(8 + 52, 0);
    Bytes page = Hex("05 32 00 00 00 00 00 00 00 00 00 00 00 00 00 96");
    std::copy(page.begin(), page.end(), r.begin() + 8);
    r[10] = b2;
    r[11] = b3;
    r[12] = b4;
    r[16] = b8;
    return r;
}

/* Capabilities page: CD-R/RW and DVD-R write, test write, BUF, 2048 KB buffer, 7056 kB/s,
   2822 kB/s selected, one write speed descriptor. */
Bytes Page2AReply() {
    return Hex("00 2A 00 00 00 00 00 00"
               "  2A 22 1B 17 C0 00 29 00  1B 90 00 00 08 00 00 00  00 00 1B 90 0B 06 00 00"
               "  00 00 00 00 0B 06 00 01  00 00 1B 90");
}

/* ---- the scripted recorder ---------------------------------------------------------------- */

struct Step {
    Bytes cdb;
    Bytes reply;        /* data in */
    uint32_t sense = 0; /* 0xKKAAQQ with CHECK CONDITION; 0: GOOD */
};

struct Script {
    std::vector<Step> steps;
    size_t next = 0;
    std::vector<Bytes> dataOut; /* one per command (empty without data out) */
    unsigned slept = 0;

    static CdwMmcOutcome Send(void *context, const uint8_t *cdb, uint8_t length,
                              CdwMmcDirection direction, void *buffer, uint32_t bytes, uint32_t) {
        auto *s = static_cast<Script *>(context);
        CdwMmcOutcome o;
        s->dataOut.push_back(
            direction == CdwMmcDirection::Out
                ? Bytes(static_cast<uint8_t *>(buffer), static_cast<uint8_t *>(buffer) + bytes)
                : Bytes());
        if (s->next >= s->steps.size()) {
            ADD_FAILURE() << "unexpected command " << HexOf(cdb, length);
            o.scsiStatus = 0x02;
            o.senseKey = 0x5;
            o.asc = 0x20;
            return o;
        }
        const Step &step = s->steps[s->next++];
        EXPECT_EQ(HexOf(cdb, length), HexOf(step.cdb.data(), step.cdb.size()))
            << "command " << s->next;
        if (step.sense != 0) {
            o.scsiStatus = 0x02;
            o.senseKey = static_cast<uint8_t>(step.sense >> 16);
            o.asc = static_cast<uint8_t>(step.sense >> 8);
            o.ascq = static_cast<uint8_t>(step.sense);
            return o;
        }
        if (direction == CdwMmcDirection::In) {
            size_t n = std::min<size_t>(bytes, step.reply.size());
            memcpy(buffer, step.reply.data(), n);
            o.transferred = static_cast<uint32_t>(n);
        } else {
            o.transferred = bytes;
        }
        return o;
    }
    static void Sleep(void *context, unsigned ms) { static_cast<Script *>(context)->slept += ms; }

    CdwMmcSender Sender() {
        CdwMmcSender sender;
        sender.send = Send;
        sender.sleep = Sleep;
        sender.context = this;
        return sender;
    }
    void Add(const char *cdb, Bytes reply = {}, uint32_t sense = 0) {
        steps.push_back({Hex(cdb), std::move(reply), sense});
    }
    /* Data sent with the command of a script line that starts with the opcode, last first. */
    Bytes SentWith(uint8_t opcode) const {
        for (size_t i = next; i-- > 0;)
            if (steps[i].cdb[0] == opcode)
                return dataOut[i];
        return {};
    }
    /* TEST UNIT READY, then READ BUFFER CAPACITY answering this level. */
    void Poll(const Bytes &level) {
        Add("00 00 00 00 00 00");
        Add("5C 00 00 00 00 00 00 00 0C 00", level);
    }
    bool AllUsed() const { return next == steps.size(); }
};

const char *kTur = "00 00 00 00 00 00";
const char *kGetConfig = "46 00 00 00 00 00 00 01 00 00";
const char *kDiscInfo = "51 00 00 00 00 00 00 00 22 00";
const char *kTrack1 = "52 01 00 00 00 01 00 00 30 00";
const char *kAtip = "43 02 04 00 00 00 00 00 1C 00";
const char *kSense05 = "5A 08 05 00 00 00 00 00 48 00";
const char *kSense2A = "5A 08 2A 00 00 00 00 01 07 00";
const char *kSelect60 = "55 10 00 00 00 00 00 00 3C 00";
const char *kSyncImmed = "35 02 00 00 00 00 00 00 00 00";
const Bytes kBufferEmpty = Hex("00 0A 00 00 00 20 00 00 00 20 00 00");
const Bytes kBufferHalf = Hex("00 0A 00 00 00 20 00 00 00 10 00 00");

/* The media steps of a disc with one (open or closed) track. */
void AddMedia(Script &s, uint16_t profile, uint8_t status, uint32_t freeBlocks) {
    s.Add(kGetConfig, ConfigReply(profile));
    if (profile == 0)
        return; /* no medium */
    bool cd = profile < 0x10;
    s.Add(kDiscInfo, DiscReply(status, status == 2 ? 3 : 0));
    if (status == 2)
        s.Add(kTrack1, TrackReply(1, 0x04, 0x01, 0x02, 0, 0, 0, 1000));
    else
        s.Add(kTrack1, TrackReply(1, cd ? 0x04 : 0x05, 0x41, 0x01, 0, 0, freeBlocks, freeBlocks));
    if (cd)
        s.Add(kAtip, AtipReply());
}

/* ---- command blocks ---------------------------------------------------------------------- */

/* The blocks the flow scripts below do not already pin byte for byte. */
TEST(MmcCommandTest, BlocksAsTheMmcTablesLayThemOut) {
    const struct {
        CdwMmcCdb cdb;
        const char *bytes;
        CdwMmcDirection direction;
        uint32_t dataLength;
    } rows[] = {
        {CdwMmcSendCueSheet(0x10203), "5D 00 00 00 00 00 01 02 03 00", CdwMmcDirection::Out,
         0x10203},
        {CdwMmcCloseTrackSession(CDW_MMC_CLOSE_TRACK, 0x0102, true),
         "5B 01 01 00 01 02 00 00 00 00", CdwMmcDirection::None, 0},
        {CdwMmcSetStreaming(), "B6 00 00 00 00 00 00 00 00 00 1C 00", CdwMmcDirection::Out, 28},
        {CdwMmcStartStopUnit(true, true, false), "1B 00 00 00 03 00", CdwMmcDirection::None, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.cdb.name);
        Bytes want = Hex(row.bytes);
        EXPECT_EQ(HexOf(row.cdb.bytes, row.cdb.length), HexOf(want.data(), want.size()));
        EXPECT_EQ(row.cdb.direction, row.direction);
        EXPECT_EQ(row.cdb.dataLength, row.dataLength);
    }
    /* SET STREAMING's performance descriptor: start, end, read and write size over time. */
    EXPECT_EQ(HexOf(CdwMmcPerformanceDescriptor(0, 2295103, 11080).data(), 28),
              HexOf(Hex("00 00 00 00 00 00 00 00 00 23 05 3F 00 00 2B 48 00 00 03 E8"
                        " 00 00 2B 48 00 00 03 E8")
                        .data(),
                    28));
}

/* ---- replies ----------------------------------------------------------------------------- */

/* The reply fields the flows below and the tool's runs do not reach: what only `cdwriter media`
   prints (track and session numbers past 255, mode 2, the ATIP's times and disc type) and the
   replies refused or cut short. */
TEST(MmcReplyTest, FieldsOnlyTheMediaReportShowsAndRefusedReplies) {
    Bytes disc = DiscReply(CDW_DISC_APPENDABLE, CDW_SESSION_COMPLETE);
    CdwMmcDiscInfo d;
    ASSERT_TRUE(CdwMmcParseDiscInfo(disc.data(), disc.size(), &d));
    disc[2] = 0x40; /* another data type: not standard disc information */
    EXPECT_FALSE(CdwMmcParseDiscInfo(disc.data(), disc.size(), &d));

    /* A damaged mode 2 track, NWA not valid, number and session with their MSBs. */
    Bytes track = TrackReply(1, 0x24, 0xB2, 0x02, 0, 0, 0, 0);
    track[32] = 0x01;
    track[33] = 0x01;
    CdwMmcTrackInfo t;
    ASSERT_TRUE(CdwMmcParseTrackInfo(track.data(), track.size(), &t));
    EXPECT_EQ(Fields(t.number, t.session, t.damaged, t.trackMode, t.dataMode, t.nextWritableValid),
              Fields(0x101, 0x101, true, 4, 2, false));
    EXPECT_FALSE(CdwMmcParseTrackInfo(track.data(), 20, &t));

    Bytes atip = AtipReply();
    CdwMmcAtip a;
    ASSERT_TRUE(CdwMmcParseAtip(atip.data(), atip.size(), &a));
    EXPECT_EQ(Fields(a.leadInMin, a.leadInSec, a.leadInFrame, a.leadOutMin, a.leadOutSec,
                     a.leadOutFrame, a.rewritable),
              Fields(97, 26, 66, 79, 59, 74, false));
    atip[6] = 0xC0; /* disc type 1: CD-RW */
    ASSERT_TRUE(CdwMmcParseAtip(atip.data(), atip.size(), &a));
    EXPECT_TRUE(a.rewritable);

    /* A configuration reply cut short by the allocation length keeps what it holds. */
    CdwMmcConfiguration c;
    ASSERT_TRUE(CdwMmcParseConfiguration(ConfigReply(CDW_PROFILE_DVD_R).data(), 18, &c));
    EXPECT_EQ(Fields(c.currentProfile, c.profiles.size()), Fields(CDW_PROFILE_DVD_R, 1));
    EXPECT_EQ(CdwMmcProfileName(0x0043), "profile 0x0043");
    size_t offset = 0, length = 0;
    EXPECT_FALSE(CdwMmcFindModePage(Page05Reply().data(), 60, 0x2A, &offset, &length));

    /* Descriptor-format sense; fixed-format sense shorter than its ASC/ASCQ. */
    uint8_t key = 0, asc = 0, ascq = 0;
    Bytes descriptor = Hex("72 02 3A 01 00 00 00 00");
    ASSERT_TRUE(CdwMmcParseSense(descriptor.data(), descriptor.size(), &key, &asc, &ascq));
    EXPECT_EQ(Fields(key, asc, ascq), Fields(2, 0x3A, 1));
    Bytes fixed = Hex("70 00 05 00 00 00 00 0A 00 00 00 00 21 02 00 00 00 00");
    EXPECT_FALSE(CdwMmcParseSense(fixed.data(), 8, &key, &asc, &ascq));
}

/* ---- cue sheet --------------------------------------------------------------------------- */

/* A data track and two audio tracks with pre-gaps, a catalog number, an ISRC, and copy
   permitted with pre-emphasis on the last track. */
std::vector<CdwCueTrack> MixedTracks() {
    std::vector<CdwCueTrack> tracks(3);
    tracks[0] = {1, CdwCdForm::Mode1, 150, 1000, ""};
    tracks[1] = {2, CdwCdForm::Audio, 150, 600, "USABC0412345"};
    tracks[2] = {3, CdwCdForm::Audio, 75, 450, "", 0x3};
    return tracks;
}

const char *kMixedCueSheet =
    "42 30 31 32 33 34 35 36  42 37 38 39 30 31 32 00"   /* catalog */
    "  41 00 00 14 00 00 00 00"                          /* lead-in, data */
    "  41 01 00 10 00 00 00 00  41 01 01 10 00 00 02 00" /* track 1: -150, 0 */
    "  03 02 55 53 41 42 43 30  03 02 34 31 32 33 34 35" /* ISRC of track 2 */
    "  01 02 00 00 00 00 0F 19  01 02 01 00 00 00 11 19" /* track 2: 1000, 1150 */
    "  31 03 00 00 00 00 19 19  31 03 01 00 00 00 1A 19" /* track 3: 1750, 1825; DCP PRE */
    "  01 AA 01 01 00 00 20 19";                         /* lead-out at 2275, audio */

TEST(MmcCueSheetTest, DataAndAudioTracksWithPregaps) {
    /* (The first session's sheet: MmcFlowTest.BlankCdRSessionAtOnceWithDataAndAudioTracks.) */
    std::vector<uint8_t> sheet;
    std::string error;
    /* A second session starting at block 11400: times follow the session, the lead-in not. */
    std::vector<CdwCueTrack> one = {{2, CdwCdForm::Mode1, 150, 300, ""}};
    ASSERT_TRUE(CdwBuildCueSheet(one, "", 11400, &sheet, &error)) << error;
    EXPECT_EQ(HexOf(sheet.data(), sheet.size()),
              HexOf(Hex("41 00 00 14 00 00 00 00  41 02 00 10 00 02 20 00"
                        "  41 02 01 10 00 02 22 00  41 AA 01 14 00 02 26 00")
                        .data(),
                    32));

    const struct {
        std::vector<CdwCueTrack> tracks;
        std::string catalog;
        const char *error;
    } refused[] = {
        {{{1, CdwCdForm::Audio, 0, 1000, ""}}, "", "pre-gap is 0 blocks"},
        {{{1, CdwCdForm::Audio, 150, 299, ""}}, "", "at least 300"},
        {{{1, CdwCdForm::Audio, 150, 300, "US-ABC-04-12"}}, "", "ISRC"},
        {{{1, CdwCdForm::Audio, 150, 300, ""}}, "12345", "catalog"},
        {{{1, CdwCdForm::Audio, 150, 300, ""}, {3, CdwCdForm::Audio, 0, 300, ""}},
         "",
         "does not follow"},
    };
    for (const auto &r : refused) {
        EXPECT_FALSE(CdwBuildCueSheet(r.tracks, r.catalog, 0, &sheet, &error));
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
}

TEST(MmcCueSheetTest, FromACueSheetsLayout) {
    /* The same disc as a CUE sheet, one FILE per track. */
    const char *cue = "CATALOG 0123456789012\n"
                      "FILE \"data.bin\" BINARY\n"
                      "  TRACK 01 MODE1/2048\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                      "FILE \"one.bin\" BINARY\n"
                      "  TRACK 02 AUDIO\n    ISRC USABC0412345\n"
                      "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                      "FILE \"two.bin\" BINARY\n"
                      "  TRACK 03 AUDIO\n    FLAGS DCP PRE\n"
                      "    INDEX 00 00:00:00\n    INDEX 01 00:01:00\n";
    auto size = [](const std::string &path, uint64_t *bytes, std::string *) {
        *bytes = path == "d/data.bin"  ? 1150u * 2048
                 : path == "d/one.bin" ? 750u * 2352
                                       : 525u * 2352;
        return true;
    };
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(CdwParseCueSheet(cue, "x.cue", "d", size, &layout, &error)) << error;
    CdwMmcPlan plan;
    ASSERT_TRUE(CdwMmcPlanFromLayout(layout, &plan, &error)) << error;
    EXPECT_TRUE(plan.cdOnly);
    EXPECT_EQ(plan.blocks, 1000u + 750 + 525);
    std::vector<uint8_t> sheet;
    ASSERT_TRUE(CdwBuildCueSheet(plan.cue, plan.catalog, 0, &sheet, &error)) << error;
    Bytes want = Hex(kMixedCueSheet);
    EXPECT_EQ(HexOf(sheet.data(), sheet.size()), HexOf(want.data(), want.size()));

    /* Only a CD holds an audio track, and none without the 150-block pre-gap ahead of the first
       track, which is generated when the CUE sheet leaves it out. */
    CdwImageLayout plain;
    plain.tracks.resize(1);
    plain.tracks[0].nBlocks = 5000;
    plain.tracks[0].format = CDW_FORMAT_AUDIO;
    EXPECT_FALSE(CdwMmcPlanFromLayout(plain, &plan, &error));
    EXPECT_NE(error.find("at least 150"), std::string::npos) << error;
    EXPECT_EQ(CdwMmcLengthenFirstPregap(&plain), 150u);
    ASSERT_TRUE(CdwMmcPlanFromLayout(plain, &plan, &error)) << error;
    EXPECT_EQ(plan.cue[0].pregapBlocks, 150u);
}

/* ---- the flow ---------------------------------------------------------------------------- */

TEST(MmcFlowTest, BlankCdRSessionAtOnceWithDataAndAudioTracks) {
    Script s;
    AddMedia(s, CDW_PROFILE_CD_R, CDW_DISC_BLANK, 359849);
    s.Add("BB 00 FF FF 0B 06 00 00 00 00 00 00");
    s.Add(kSense2A, Page2AReply());
    s.Add(kSense05, Page05Reply());
    s.Add(kSelect60);
    s.Add("5D 00 00 00 00 00 00 00 60 00"); /* 12 descriptors */
    s.Add(kSyncImmed);
    s.Add(kTur, {}, 0x020408);
    s.Add(kTur, {}, 0x020408);
    s.Poll(kBufferEmpty);

    CdwMmcDevice dev(s.Sender());
    CdwMmcMedia media;
    ASSERT_TRUE(dev.ReadMedia(&media)) << dev.Error();
    EXPECT_TRUE(media.IsCd());
    EXPECT_EQ(media.freeBlocks, 359849u);
    EXPECT_EQ(media.capacityBlocks, 359849u);
    ASSERT_TRUE(media.atipValid);
    EXPECT_EQ(media.atip.LastPossibleLeadOut(), 359849);

    CdwMmcPlan plan;
    plan.cue = MixedTracks();
    plan.catalog = "0123456789012";
    plan.cdOnly = true;
    plan.blocks = 1000 + 150 + 600 + 75 + 450;
    plan.speedKBps = 2822;
    CdwMmcWriteSetup setup;
    uint32_t granted = 0;
    ASSERT_TRUE(dev.SetUpRecording(media, plan, &setup, &granted)) << dev.Error();
    EXPECT_EQ(granted, 2822u);
    EXPECT_TRUE(setup.closeFunctions.empty()); /* the recorder closes a SAO session itself */
    ASSERT_TRUE(dev.Finish(setup, false, 60)) << dev.Error();
    EXPECT_TRUE(s.AllUsed());

    /* SAO, BUFE, no test write; data track mode, mode 1 blocks. */
    Bytes select = s.SentWith(0x55);
    Bytes want = Page05Select(0x42, 0x04, 0x08);
    EXPECT_EQ(HexOf(select.data(), select.size()), HexOf(want.data(), want.size()));
    Bytes sheet = s.SentWith(0x5D);
    Bytes cue = Hex(kMixedCueSheet);
    EXPECT_EQ(HexOf(sheet.data(), sheet.size()), HexOf(cue.data(), cue.size()));
    EXPECT_EQ(s.slept, 1000u);
}

/* Set-up and closing by medium and options; each row a scripted recorder. */
TEST(MmcFlowTest, WritesAndClosesAsTheMediumWants) {
    const struct {
        const char *name;
        uint16_t profile;
        bool dummy, multi;
        const char *select; /* MODE SELECT bytes 2 to 4 of the page, or "" for none */
        bool reserve;       /* a track reserved, its last ECC block filled after the image */
        uint8_t close;      /* CLOSE TRACK then this function (session, finalize), or 0 */
    } rows[] = {
        /* A plain image on CD-R: track at once, BUFE, closed with track then session. */
        {"CD TAO", CDW_PROFILE_CD_R, false, false, "41 04 08", false, 0x02},
        /* --dummy: the test-write bit, and nothing to close. */
        {"CD dummy", CDW_PROFILE_CD_R, true, false, "51 04 08", false, 0},
        /* --multi: next session allowed (11b), the session closed but the disc open. */
        {"CD multi", CDW_PROFILE_CD_R, false, true, "41 C4 08", false, 0x02},
        /* DVD-R: disc at once into a reserved track of whole ECC blocks, the last one filled
           with zeros after the image; no closing. */
        {"DVD-R DAO", CDW_PROFILE_DVD_R, false, false, "42 05 08", true, 0},
        {"DVD-R DAO dummy", CDW_PROFILE_DVD_R, true, false, "52 05 08", true, 0},
        /* DVD-R --multi: incremental, closed track and session. */
        {"DVD-R multi", CDW_PROFILE_DVD_R, false, true, "40 C5 08", false, 0x02},
        /* DVD+R: no write parameters page; closed track, then finalized or session closed. */
        {"DVD+R", CDW_PROFILE_DVD_PLUS_R, false, false, "", false, 0x05},
        {"DVD+R multi", CDW_PROFILE_DVD_PLUS_R, false, true, "", false, 0x02},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Script s;
        AddMedia(s, row.profile, CDW_DISC_BLANK, 2295104);
        if (*row.select) {
            s.Add(kSense05, Page05Reply());
            s.Add(kSelect60);
        }
        if (row.reserve) {
            s.Add("53 00 00 00 00 00 01 86 A0 00");
            s.Add("2A 00 00 01 86 96 00 00 0A 00", {}, 0x020408); /* buffer full: sent again */
            s.Add("2A 00 00 01 86 96 00 00 0A 00");
        }
        s.Add(kSyncImmed);
        s.Poll(kBufferEmpty);
        if (row.close) {
            char session[40];
            snprintf(session, sizeof(session), "5B 01 %02X 00 00 00 00 00 00 00", row.close);
            for (const char *close : {"5B 01 01 00 00 01 00 00 00 00", (const char *)session}) {
                s.Add(close);
                s.Add(kTur, {}, 0x020407);
                s.Poll(kBufferEmpty);
            }
        }

        CdwMmcDevice dev(s.Sender());
        CdwMmcMedia media;
        ASSERT_TRUE(dev.ReadMedia(&media)) << dev.Error();
        CdwMmcPlan plan;
        plan.blocks = 99990;
        plan.dummy = row.dummy;
        plan.multi = row.multi;
        std::string error;
        ASSERT_TRUE(CdwMmcCheckBeforeRecord(media, plan, &error)) << error;
        CdwMmcWriteSetup setup;
        ASSERT_TRUE(CdwMmcChooseWrite(media, plan, &setup, &error)) << error;
        ASSERT_TRUE(dev.Prepare(setup)) << dev.Error();
        ASSERT_TRUE(dev.Finish(setup, plan.dummy, 60)) << dev.Error();
        EXPECT_TRUE(s.AllUsed());
        if (*row.select) {
            Bytes select = s.SentWith(0x55);
            ASSERT_EQ(select.size(), 60u);
            EXPECT_EQ(HexOf(&select[10], 3), std::string(row.select) + " ");
        }
    }
}

TEST(MmcFlowTest, RefusedBeforeAnyWrite) {
    const struct {
        const char *name;
        uint16_t profile;
        uint8_t status;
        uint64_t blocks;
        bool cdOnly, dummy;
        const char *message;
    } rows[] = {
        {"larger than free", CDW_PROFILE_CD_R, CDW_DISC_BLANK, 359850, false, false,
         "the image needs 359850 blocks"},
        {"CD layout on DVD", CDW_PROFILE_DVD_R, CDW_DISC_BLANK, 1000, true, false, "only a CD"},
        {"test write on DVD+R", CDW_PROFILE_DVD_PLUS_R, CDW_DISC_BLANK, 1000, false, true,
         "no test write"},
        /* GET CONFIGURATION's current profile 0. */
        {"no medium", 0, 0, 1000, false, false, "no medium in the recorder"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Script s;
        AddMedia(s, row.profile, row.status, 359849);
        CdwMmcDevice dev(s.Sender());
        CdwMmcMedia media;
        ASSERT_TRUE(dev.ReadMedia(&media)) << dev.Error();
        CdwMmcPlan plan;
        plan.blocks = row.blocks;
        plan.cdOnly = row.cdOnly;
        plan.dummy = row.dummy;
        std::string error;
        EXPECT_FALSE(CdwMmcCheckBeforeRecord(media, plan, &error));
        EXPECT_NE(error.find(row.message), std::string::npos) << error;
        EXPECT_TRUE(s.AllUsed()); /* only the media commands went out */
    }
}

TEST(MmcFlowTest, WaitReadyThroughBecomingReadyAndMediaChange) {
    const struct {
        std::vector<uint32_t> senses; /* TEST UNIT READY answers in turn */
        bool ready;
        const char *message;
        unsigned slept;
    } rows[] = {
        {{0x020401, 0x020400, 0x062800, 0}, true, "", 1000},
        {{0x062900, 0x062800, 0}, true, "", 0},
        {{0x023A00}, false, "no medium", 0},
        {{0x052400}, false, "not ready: 5/24/00", 0},
        {std::vector<uint32_t>(7, 0x020401), false, "within 3 s", 3000},
    };
    for (const auto &row : rows) {
        Script s;
        for (uint32_t sense : row.senses)
            s.Add(kTur, {}, sense);
        CdwMmcDevice dev(s.Sender());
        EXPECT_EQ(dev.WaitReady(3), row.ready);
        EXPECT_NE(dev.Error().find(row.message), std::string::npos) << dev.Error();
        EXPECT_TRUE(s.AllUsed());
        EXPECT_EQ(s.slept, row.slept);
    }
}

TEST(MmcFlowTest, FinishFallsBackOrSaysWhatFailed) {
    CdwMmcWriteSetup tao;
    tao.closeFunctions = {CDW_MMC_CLOSE_TRACK, CDW_MMC_CLOSE_SESSION};
    tao.trackNumber = 2;

    /* No immediate SYNCHRONIZE CACHE: the plain one waits; then a refused close. */
    Script s;
    s.Add(kSyncImmed, {}, 0x052400);
    s.Add("35 00 00 00 00 00 00 00 00 00");
    s.Poll(kBufferHalf);
    s.Poll(kBufferEmpty);
    s.Add("5B 01 01 00 00 02 00 00 00 00", {}, 0x052C00);
    CdwMmcDevice dev(s.Sender());
    EXPECT_FALSE(dev.Finish(tao, false, 60));
    EXPECT_EQ(dev.Error(), "CLOSE TRACK: 5/2C/00 ILLEGAL REQUEST, COMMAND SEQUENCE ERROR");
    EXPECT_TRUE(s.AllUsed());
    EXPECT_EQ(s.slept, 500u);

    /* A write error reported while the buffer drains ends the recording there. */
    Script failing;
    failing.Add(kSyncImmed);
    failing.Add(kTur, {}, 0x030C00);
    CdwMmcDevice dev2(failing.Sender());
    EXPECT_FALSE(dev2.Finish(tao, false, 60));
    EXPECT_EQ(dev2.Error(), "writing the recorder's buffer: 3/0C/00 MEDIUM ERROR, WRITE ERROR");

    /* A recorder whose buffer report is a fixed level: ready, and the level does not move. */
    Script fixed;
    fixed.Add(kSyncImmed);
    fixed.Poll(kBufferHalf);
    fixed.Poll(kBufferHalf);
    fixed.Add("5B 01 01 00 00 02 00 00 00 00");
    fixed.Poll(kBufferHalf);
    fixed.Poll(kBufferHalf);
    fixed.Add("5B 01 02 00 00 00 00 00 00 00");
    fixed.Poll(kBufferEmpty);
    CdwMmcDevice dev4(fixed.Sender());
    EXPECT_TRUE(dev4.Finish(tao, false, 60)) << dev4.Error();
    EXPECT_TRUE(fixed.AllUsed());

    /* Blank and eject. */
    Script other;
    other.Add("A1 11 00 00 00 00 00 00 00 00 00 00");
    other.Add(kTur, {}, 0x020404);
    other.Poll(kBufferEmpty);
    other.Add("1E 00 00 00 00 00", {}, 0x052400);
    other.Add("1B 00 00 00 02 00");
    CdwMmcDevice dev3(other.Sender());
    EXPECT_TRUE(dev3.Blank(true, 60)) << dev3.Error();
    EXPECT_TRUE(dev3.Eject()) << dev3.Error();
    EXPECT_TRUE(other.AllUsed());
}

/* Audio goes through READ CD; a read error names the block (a differing block is found in
   ToolTest.VerifyReadsTheDiscBackAndFindsACorruptedBlock). */
TEST(MmcFlowTest, VerifyNamesTheBlockItCannotReadAndFallsBackToRead10) {
    Bytes image(2 * 2352, 0x5A);
    auto fromImage = [&](uint64_t index, uint8_t *buffer, size_t bytes) {
        memcpy(buffer, &image[index * 2352], bytes);
        return true;
    };
    int64_t mismatch = 0;
    Script audio;
    audio.Add("BE 04 00 00 00 00 00 00 02 10 00 00", {}, 0x031100);
    CdwMmcDevice dev2(audio.Sender());
    EXPECT_FALSE(dev2.Verify(0, 2, 2352, CdwCdForm::Audio, fromImage, &mismatch));
    EXPECT_EQ(dev2.Error(), "reading block 0: 3/11/00 MEDIUM ERROR, UNRECOVERED READ ERROR");

    /* A recorder without READ CD is read with READ(10) of the track's block size. */
    Script old;
    old.Add("BE 04 00 00 00 00 00 00 02 10 00 00", {}, 0x052000);
    old.Add("28 00 00 00 00 00 00 00 02 00", image);
    CdwMmcDevice dev3(old.Sender());
    ASSERT_TRUE(dev3.Verify(0, 2, 2352, CdwCdForm::Audio, fromImage, &mismatch)) << dev3.Error();
    EXPECT_EQ(mismatch, -1);
    EXPECT_TRUE(old.AllUsed());
}

/* Before the write pass: a recorder that knows no media commands is recorded as it is, unless
   the recording needs a set-up; any other refusal stops the recording before a write. */
TEST(MmcFlowTest, BeginRecordingOnRecordersWithoutMediaCommands) {
    struct Row {
        uint32_t configSense; /* GET CONFIGURATION's answer (0: a CD-R) */
        uint32_t discSense;   /* READ DISC INFORMATION's */
        bool dummy;
        const char *invalid; /* a layout the recorder could only take as it is */
        bool ok, mmc;
        const char *error;
    } rows[] = {
        {0x052000, 0, false, "no cue sheet for it", true, false, ""},
        {0x052000, 0, true, "", false, false,
         "a test write needs a recorder that takes write parameters (GET CONFIGURATION: 5/20/00"},
        {0, 0x052000, false, "", false, false, "READ DISC INFORMATION: 5/20/00"},
        {0x062800, 0, false, "", false, false, "GET CONFIGURATION: 6/28/00"},
        {0, 0, false, "no cue sheet for it", false, true, "no cue sheet for it"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error);
        Script s;
        s.Add(kTur);
        if (row.configSense == 0 && row.discSense == 0) {
            AddMedia(s, CDW_PROFILE_CD_R, CDW_DISC_BLANK, 359849);
        } else {
            s.Add(kGetConfig, ConfigReply(CDW_PROFILE_CD_R), row.configSense);
            if (row.configSense == 0)
                s.Add(kDiscInfo, {}, row.discSense);
        }
        CdwMmcDevice dev(s.Sender());
        CdwMmcPlan plan;
        plan.blocks = 1000;
        plan.dummy = row.dummy;
        plan.invalid = row.invalid;
        CdwMmcSession session;
        EXPECT_EQ(dev.BeginRecording(plan, 10, &session), row.ok);
        EXPECT_EQ(session.mmc, row.mmc);
        EXPECT_EQ(dev.Error().rfind(row.error, 0), 0u) << dev.Error();
        EXPECT_TRUE(s.AllUsed());
        if (row.ok) {
            EXPECT_EQ(session.unsupported.rfind("GET CONFIGURATION: 5/20/00", 0), 0u);
        }
    }
}

/* ---- over the driver's pass-through request ------------------------------------------- */

class MmcPassThroughTest : public DriverHarness {};

/* A transport failure comes back as no SCSI status (CHECK CONDITION with its sense over the same
   sender: ToolTest.InjectedWriteFailureReportsTheSenseInTextAndJson). */
TEST_F(MmcPassThroughTest, TransportFailureOfTheDriverReachesTheFlow) {
    Unit *unit = PlugRecorder();
    CdwDevice recorder;
    ASSERT_TRUE(CdwSucceeded(recorder.Open(CdwDeviceKind::Recorder, 0)));
    CdwMmcDevice dev(CdwMmcPassThroughSender(&recorder));
    EXPECT_TRUE(dev.WaitReady(5)) << dev.Error();
    SIM_RECORDER_COUNTERS counters;
    HostSimGetCounters(unit->Sim, &counters);
    HostSimFaultStatusAtCommand(unit->Sim, counters.Commands + 1, SRB_STATUS_SELECTION_TIMEOUT,
                                FALSE);
    CdwMmcOutcome gone = dev.Exec(CdwMmcTestUnitReady(), nullptr);
    EXPECT_FALSE(gone.delivered);
    EXPECT_EQ(gone.failure, "SRB status SELECTION_TIMEOUT");
}

} // namespace
