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
    for (std::string byte; in >> byte;)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::string HexOf(const uint8_t *p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += std::string(1, "0123456789ABCDEF"[p[i] >> 4]) + "0123456789ABCDEF"[p[i] & 15] + ' ';
    return s;
}
std::string HexOf(const Bytes &b) {
    return HexOf(b.data(), b.size());
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

/* Standard disc information (34 bytes) of a blank disc: track 1 first, one session. */
Bytes BlankDiscReply() {
    Bytes r = Hex("00 20 00 01 01 01 01");
    r.resize(34);
    return r;
}

void Put32(Bytes &r, size_t at, uint32_t v) {
    for (int k = 0; k < 4; k++)
        r[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

/* Track information (48 bytes) of track 1 from block 0: byte 5 track mode, byte 6
   RT/Blank/Packet/FP/data mode, byte 7 LRA_V/NWA_V. */
Bytes TrackReply(uint8_t mode5, uint8_t flags6, uint8_t flags7, uint32_t free, uint32_t size) {
    Bytes r(48, 0);
    r[1] = 0x2E;
    r[2] = r[3] = 1;
    r[5] = mode5;
    r[6] = flags6;
    r[7] = flags7;
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
    Bytes r = Hex("00 3A 00 00 00 00 00 00  85 32 01 04 08 00 00 00 00 00 00 00 00 00 00 96");
    r.resize(8 + 52);
    return r;
}

/* The MODE SELECT data for that page: no mode data length, PS clear, bytes 2 to 4 these. */
Bytes Page05Select(const char *bytes2to4) {
    Bytes r = Page05Reply(), b = Hex(bytes2to4);
    r[1] = 0;
    r[8] = 0x05;
    std::copy(b.begin(), b.end(), r.begin() + 10);
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
        auto *data = static_cast<uint8_t *>(buffer);
        const bool in = direction == CdwMmcDirection::In;
        s->dataOut.push_back(direction == CdwMmcDirection::Out ? Bytes(data, data + bytes)
                                                               : Bytes());
        static const Step unexpected{{}, {}, 0x052000}; /* past the script's end */
        const Step &step = s->next < s->steps.size() ? s->steps[s->next++] : unexpected;
        EXPECT_EQ(HexOf(cdb, length), HexOf(step.cdb)) << "command " << s->next;
        CdwMmcOutcome o;
        o.scsiStatus = step.sense != 0 ? 0x02 : 0x00;
        o.senseKey = static_cast<uint8_t>(step.sense >> 16);
        o.asc = static_cast<uint8_t>(step.sense >> 8);
        o.ascq = static_cast<uint8_t>(step.sense);
        o.transferred = step.sense != 0 ? 0
                        : in            ? std::min<uint32_t>(bytes, step.reply.size())
                                        : bytes;
        if (in && o.transferred != 0)
            memcpy(buffer, step.reply.data(), o.transferred);
        return o;
    }
    static void Sleep(void *context, unsigned ms) { static_cast<Script *>(context)->slept += ms; }

    CdwMmcSender Sender() { return {Send, Sleep, this}; }
    Script &Add(const char *cdb, Bytes reply = {}, uint32_t sense = 0) {
        steps.push_back({Hex(cdb), std::move(reply), sense});
        return *this;
    }
    /* Data sent with the command of a script line that starts with the opcode, last first. */
    Bytes SentWith(uint8_t opcode) const {
        for (size_t i = next; i-- > 0;)
            if (steps[i].cdb[0] == opcode)
                return dataOut[i];
        return {};
    }
    /* TEST UNIT READY, then READ BUFFER CAPACITY answering this level. */
    Script &Poll(const Bytes &level) {
        return Add("00 00 00 00 00 00").Add("5C 00 00 00 00 00 00 00 0C 00", level);
    }
    bool AllUsed() const { return next == steps.size(); }
};

const char *kTur = "00 00 00 00 00 00";
const char *kSense05 = "5A 08 05 00 00 00 00 00 48 00";
const char *kSelect60 = "55 10 00 00 00 00 00 00 3C 00";
const char *kSyncImmed = "35 02 00 00 00 00 00 00 00 00";
const Bytes kBufferEmpty = Hex("00 0A 00 00 00 20 00 00 00 20 00 00");
const Bytes kBufferHalf = Hex("00 0A 00 00 00 20 00 00 00 10 00 00");

/* The media steps of a blank disc (of no medium: profile 0). */
void AddMedia(Script &s, uint16_t profile, uint32_t free) {
    s.Add("46 00 00 00 00 00 00 01 00 00", ConfigReply(profile));
    if (profile == 0)
        return;
    bool cd = profile < 0x10;
    s.Add("51 00 00 00 00 00 00 00 22 00", BlankDiscReply());
    s.Add("52 01 00 00 00 01 00 00 30 00", TrackReply(cd ? 0x04 : 0x05, 0x41, 0x01, free, free));
    if (cd)
        s.Add("43 02 04 00 00 00 00 00 1C 00", AtipReply());
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
        EXPECT_EQ(HexOf(row.cdb.bytes, row.cdb.length), HexOf(Hex(row.bytes)));
        EXPECT_EQ(row.cdb.direction, row.direction);
        EXPECT_EQ(row.cdb.dataLength, row.dataLength);
    }
    /* SET STREAMING's performance descriptor: start, end, read and write size over time. */
    EXPECT_EQ(HexOf(CdwMmcPerformanceDescriptor(0, 2295103, 11080).data(), 28),
              HexOf(Hex("00 00 00 00 00 00 00 00 00 23 05 3F 00 00 2B 48 00 00 03 E8"
                        " 00 00 2B 48 00 00 03 E8")));
}

/* ---- replies ----------------------------------------------------------------------------- */

/* The reply fields the flows below and the tool's runs do not reach: what only `cdwriter media`
   prints (track and session numbers past 255, mode 2, the ATIP's times and disc type) and the
   replies refused or cut short. */
TEST(MmcReplyTest, FieldsOnlyTheMediaReportShowsAndRefusedReplies) {
    Bytes disc = BlankDiscReply();
    disc[2] = 0x40; /* another data type: not standard disc information (the flows read that) */
    CdwMmcDiscInfo d;
    EXPECT_FALSE(CdwMmcParseDiscInfo(disc.data(), disc.size(), &d));

    /* A damaged mode 2 track, NWA not valid, number and session with their MSBs. */
    Bytes track = TrackReply(0x24, 0xB2, 0x02, 0, 0);
    track[32] = track[33] = 0x01;
    CdwMmcTrackInfo t;
    ASSERT_TRUE(CdwMmcParseTrackInfo(track.data(), track.size(), &t));
    EXPECT_EQ(Fields(t.number, t.session, t.damaged, t.trackMode, t.dataMode, t.nextWritableValid),
              Fields(0x101, 0x101, true, 4, 2, false));
    EXPECT_FALSE(CdwMmcParseTrackInfo(track.data(), 20, &t));

    Bytes atip = AtipReply();
    CdwMmcAtip a;
    ASSERT_TRUE(CdwMmcParseAtip(atip.data(), atip.size(), &a));
    /* (The lead-out: in the flows' capacity.) */
    EXPECT_EQ(Fields(a.leadInMin, a.leadInSec, a.leadInFrame, a.rewritable),
              Fields(97, 26, 66, false));
    atip[6] = 0xC0; /* disc type 1: CD-RW */
    ASSERT_TRUE(CdwMmcParseAtip(atip.data(), atip.size(), &a));
    EXPECT_TRUE(a.rewritable);

    /* A configuration reply cut short by the allocation length keeps what it holds. */
    CdwMmcConfiguration c;
    ASSERT_TRUE(CdwMmcParseConfiguration(ConfigReply(CDW_PROFILE_DVD_R).data(), 18, &c));
    EXPECT_EQ(Fields(c.currentProfile, c.profiles.size()), Fields(CDW_PROFILE_DVD_R, 1));
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

TEST(MmcCueSheetTest, LaterSessionAndRefusedTracks) {
    /* (A first session's sheet: MmcFlowTest.BlankCdRSessionAtOnceFromACueSheet.) */
    std::vector<uint8_t> sheet;
    std::string error;
    /* A second session starting at block 11400: times follow the session, the lead-in not. */
    std::vector<CdwCueTrack> one = {{2, CdwCdForm::Mode1, 150, 300, ""}};
    ASSERT_TRUE(CdwBuildCueSheet(one, "", 11400, &sheet, &error)) << error;
    EXPECT_EQ(HexOf(sheet), HexOf(Hex("41 00 00 14 00 00 00 00  41 02 00 10 00 02 20 00"
                                      "  41 02 01 10 00 02 22 00  41 AA 01 14 00 02 26 00")));

    const struct {
        std::vector<CdwCueTrack> tracks;
        std::string catalog;
        const char *error;
    } refused[] = {
        {{{1, CdwCdForm::Audio, 0, 1000, ""}}, "", "pre-gap is 0 blocks"},
        {{{1, CdwCdForm::Audio, 150, 299, ""}}, "", "at least 300"},
    };
    for (const auto &r : refused) {
        EXPECT_FALSE(CdwBuildCueSheet(r.tracks, r.catalog, 0, &sheet, &error));
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
    }
    /* The plan refuses a CD layout whose first track has less than 150 blocks before it. */
    CdwImageLayout layout;
    layout.nPregapBlocks = 149;
    layout.tracks.push_back(CdwTrack());
    layout.tracks[0].format = CDW_FORMAT_AUDIO;
    CdwMmcPlan plan;
    EXPECT_FALSE(CdwMmcPlanFromLayout(layout, &plan, &error));
    EXPECT_NE(error.find("at least 150 blocks ahead of it, the layout has 149"), std::string::npos);
}

/* ---- the flow ---------------------------------------------------------------------------- */

/* A data track and two audio tracks with pre-gaps, a catalog number, an ISRC, and copy
   permitted with pre-emphasis on the last track, one FILE per track, recorded session at
   once: its cue sheet goes out after the write parameters. */
TEST(MmcFlowTest, BlankCdRSessionAtOnceFromACueSheet) {
    const char *cue = "CATALOG 0123456789012\nFILE \"data.bin\" BINARY\nTRACK 01 MODE1/2048\n"
                      "INDEX 00 00:00:00\nINDEX 01 00:02:00\n"
                      "FILE \"one.bin\" BINARY\nTRACK 02 AUDIO\nISRC USABC0412345\n"
                      "INDEX 00 00:00:00\nINDEX 01 00:02:00\n"
                      "FILE \"two.bin\" BINARY\nTRACK 03 AUDIO\nFLAGS DCP PRE\n"
                      "INDEX 00 00:00:00\nINDEX 01 00:01:00\n";
    auto size = [](const std::string &path, uint64_t *bytes, std::string *) {
        *bytes = path == "d/data.bin" ? 1150u * 2048 : (path == "d/one.bin" ? 750u : 525u) * 2352;
        return true;
    };
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(CdwParseCueSheet(cue, "x.cue", "d", size, &layout, &error)) << error;
    CdwMmcPlan plan;
    ASSERT_TRUE(CdwMmcPlanFromLayout(layout, &plan, &error)) << error;
    EXPECT_EQ(Fields(plan.cdOnly, plan.blocks), Fields(true, 1000 + 750 + 525));
    plan.speedKBps = 2822;

    Script s;
    AddMedia(s, CDW_PROFILE_CD_R, 359849);
    s.Add("BB 00 FF FF 0B 06 00 00 00 00 00 00")
        .Add("5A 08 2A 00 00 00 00 01 07 00", Page2AReply());
    s.Add(kSense05, Page05Reply()).Add(kSelect60).Add("5D 00 00 00 00 00 00 00 60 00");
    s.Add(kSyncImmed).Add(kTur, {}, 0x020408).Add(kTur, {}, 0x020408).Poll(kBufferEmpty);

    CdwMmcDevice dev(s.Sender());
    CdwMmcMedia media;
    ASSERT_TRUE(dev.ReadMedia(&media)) << dev.Error();
    EXPECT_EQ(Fields(media.IsCd(), media.freeBlocks, media.capacityBlocks, media.atipValid,
                     media.atip.LastPossibleLeadOut()),
              Fields(true, 359849, 359849, true, 359849));
    CdwMmcWriteSetup setup;
    uint32_t granted = 0;
    ASSERT_TRUE(dev.SetUpRecording(media, plan, &setup, &granted)) << dev.Error();
    /* Nothing to close: the recorder closes a SAO session itself. */
    ASSERT_TRUE(dev.Finish(setup, false, 60)) << dev.Error();
    EXPECT_EQ(Fields(granted, setup.closeFunctions.size(), s.AllUsed(), s.slept),
              Fields(2822, 0, true, 1000));

    /* SAO, BUFE, no test write; data track mode, mode 1 blocks; 12 cue sheet descriptors. */
    EXPECT_EQ(HexOf(s.SentWith(0x55)), HexOf(Page05Select("42 04 08")));
    EXPECT_EQ(HexOf(s.SentWith(0x5D)),
              HexOf(Hex("42 30 31 32 33 34 35 36  42 37 38 39 30 31 32 00"   /* catalog */
                        "  41 00 00 14 00 00 00 00"                          /* lead-in, data */
                        "  41 01 00 10 00 00 00 00  41 01 01 10 00 00 02 00" /* track 1 */
                        "  03 02 55 53 41 42 43 30  03 02 34 31 32 33 34 35" /* ISRC 2 */
                        "  01 02 00 00 00 00 0F 19  01 02 01 00 00 00 11 19" /* track 2 */
                        "  31 03 00 00 00 00 19 19  31 03 01 00 00 00 1A 19" /* DCP PRE 3 */
                        "  01 AA 01 01 00 00 20 19")));                      /* lead-out */
}

/* Set-up and closing by medium and options; each row a scripted recorder. */
TEST(MmcFlowTest, WritesAndClosesAsTheMediumWants) {
    const struct {
        const char *name;
        uint16_t profile;
        bool dummy, multi;
        const char *select; /* MODE SELECT bytes 2 to 4 of the page, or "" for none */
        bool reserve;       /* a track reserved, its last ECC block filled after the image */
        const char *close;  /* CLOSE TRACK then this function (session, finalize), or "" */
    } rows[] = {
        /* A plain image on CD-R: track at once, BUFE, closed with track then session. */
        {"CD TAO", CDW_PROFILE_CD_R, false, false, "41 04 08", false, "02"},
        /* --dummy: the test-write bit, and nothing to close. */
        {"CD dummy", CDW_PROFILE_CD_R, true, false, "51 04 08", false, ""},
        /* --multi: next session allowed (11b), the session closed but the disc open. */
        {"CD multi", CDW_PROFILE_CD_R, false, true, "41 C4 08", false, "02"},
        /* DVD-R: disc at once into a reserved track of whole ECC blocks, the last one filled
           with zeros after the image; no closing. */
        {"DVD-R DAO", CDW_PROFILE_DVD_R, false, false, "42 05 08", true, ""},
        {"DVD-R DAO dummy", CDW_PROFILE_DVD_R, true, false, "52 05 08", true, ""},
        /* DVD-R --multi: incremental, closed track and session. */
        {"DVD-R multi", CDW_PROFILE_DVD_R, false, true, "40 C5 08", false, "02"},
        /* DVD+R: no write parameters page; closed track, then finalized or session closed. */
        {"DVD+R", CDW_PROFILE_DVD_PLUS_R, false, false, "", false, "05"},
        {"DVD+R multi", CDW_PROFILE_DVD_PLUS_R, false, true, "", false, "02"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Script s;
        AddMedia(s, row.profile, 2295104);
        if (*row.select)
            s.Add(kSense05, Page05Reply()).Add(kSelect60);
        if (row.reserve) /* the last ECC block sent again after a full buffer */
            s.Add("53 00 00 00 00 00 01 86 A0 00")
                .Add("2A 00 00 01 86 96 00 00 0A 00", {}, 0x020408)
                .Add("2A 00 00 01 86 96 00 00 0A 00");
        s.Add(kSyncImmed).Poll(kBufferEmpty);
        if (*row.close) {
            s.Add("5B 01 01 00 00 01 00 00 00 00").Add(kTur, {}, 0x020407).Poll(kBufferEmpty);
            std::string session = "5B 01 " + std::string(row.close) + " 00 00 00 00 00 00 00";
            s.Add(session.c_str()).Add(kTur, {}, 0x020407).Poll(kBufferEmpty);
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
        EXPECT_EQ(HexOf(s.SentWith(0x55)), *row.select ? HexOf(Page05Select(row.select)) : "");
    }
}

TEST(MmcFlowTest, RefusedBeforeAnyWrite) {
    const struct {
        uint16_t profile; /* 0: GET CONFIGURATION's current profile 0, no medium */
        uint64_t blocks;
        bool cdOnly, dummy;
        const char *message;
    } rows[] = {
        {CDW_PROFILE_CD_R, 359850, false, false, "the image needs 359850 blocks"},
        {CDW_PROFILE_DVD_R, 1000, true, false, "only a CD"},
        {CDW_PROFILE_DVD_PLUS_R, 1000, false, true, "no test write"},
        {0, 1000, false, false, "no medium in the recorder"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        Script s;
        AddMedia(s, row.profile, 359849);
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
        EXPECT_EQ(Fields(s.AllUsed(), s.slept), Fields(true, row.slept));
    }
}

TEST(MmcFlowTest, FinishFallsBackOrSaysWhatFailed) {
    CdwMmcWriteSetup tao;
    tao.closeFunctions = {CDW_MMC_CLOSE_TRACK, CDW_MMC_CLOSE_SESSION};
    tao.trackNumber = 2;
    const char *closeTrack = "5B 01 01 00 00 02 00 00 00 00";
    auto finish = [&](Script &s) {
        CdwMmcDevice dev(s.Sender());
        std::string result = dev.Finish(tao, false, 60) ? "finished" : dev.Error();
        EXPECT_TRUE(s.AllUsed());
        return result;
    };

    /* No immediate SYNCHRONIZE CACHE: the plain one waits; then a refused close. */
    Script s;
    s.Add(kSyncImmed, {}, 0x052400).Add("35 00 00 00 00 00 00 00 00 00");
    s.Poll(kBufferHalf).Poll(kBufferEmpty).Add(closeTrack, {}, 0x052C00);
    EXPECT_EQ(finish(s), "CLOSE TRACK: 5/2C/00 ILLEGAL REQUEST, COMMAND SEQUENCE ERROR");
    EXPECT_EQ(s.slept, 500u);

    /* A write error reported while the buffer drains ends the recording there. */
    Script failing;
    failing.Add(kSyncImmed).Add(kTur, {}, 0x030C00);
    EXPECT_EQ(finish(failing), "writing the recorder's buffer: 3/0C/00 MEDIUM ERROR, WRITE ERROR");

    /* A recorder whose buffer report is a fixed level: ready, and the level does not move. */
    Script fixed;
    fixed.Add(kSyncImmed).Poll(kBufferHalf).Poll(kBufferHalf).Add(closeTrack);
    fixed.Poll(kBufferHalf).Poll(kBufferHalf).Add("5B 01 02 00 00 00 00 00 00 00");
    EXPECT_EQ(finish(fixed.Poll(kBufferEmpty)), "finished");
}

/* Audio goes through READ CD; a read error names the block; a recorder without READ CD is read
   with READ(10) of the track's block size (a differing block is found in
   ToolTest.VerifyReadsTheDiscBackAndFindsACorruptedBlock). */
TEST(MmcFlowTest, VerifyNamesTheBlockItCannotReadAndFallsBackToRead10) {
    Bytes image(2 * 2352, 0x5A);
    auto fromImage = [&](uint64_t index, uint8_t *buffer, size_t bytes) {
        memcpy(buffer, &image[index * 2352], bytes);
        return true;
    };
    const char *readCd = "BE 04 00 00 00 00 00 00 02 10 00 00";
    int64_t mismatch = 0;
    Script audio;
    CdwMmcDevice dev(audio.Add(readCd, {}, 0x031100).Sender());
    EXPECT_FALSE(dev.Verify(0, 2, 2352, CdwCdForm::Audio, fromImage, &mismatch));
    EXPECT_EQ(dev.Error(), "reading block 0: 3/11/00 MEDIUM ERROR, UNRECOVERED READ ERROR");

    Script old;
    CdwMmcDevice dev2(
        old.Add(readCd, {}, 0x052000).Add("28 00 00 00 00 00 00 00 02 00", image).Sender());
    ASSERT_TRUE(dev2.Verify(0, 2, 2352, CdwCdForm::Audio, fromImage, &mismatch)) << dev2.Error();
    EXPECT_EQ(mismatch, -1);
    EXPECT_TRUE(old.AllUsed());
}

/* Before the write pass: a recorder that knows no media commands is recorded as it is, unless
   the recording needs a set-up; any other refusal stops the recording before a write. */
TEST(MmcFlowTest, BeginRecordingOnRecordersWithoutMediaCommands) {
    struct Row {
        size_t failing; /* the media step that fails: GET CONFIGURATION 1, DISC INFO 2 */
        uint32_t sense; /* with this sense */
        bool dummy;
        const char *invalid; /* a layout the recorder could only take as it is */
        bool ok, mmc;
        const char *error;
    } rows[] = {
        {1, 0x052000, false, "no cue sheet for it", true, false, ""},
        {1, 0x052000, true, "", false, false,
         "a test write needs a recorder that takes write parameters (GET CONFIGURATION: 5/20/00"},
        {2, 0x052000, false, "", false, false, "READ DISC INFORMATION: 5/20/00"},
        {1, 0x062800, false, "", false, false, "GET CONFIGURATION: 6/28/00"},
        {0, 0, false, "no cue sheet for it", false, true, "no cue sheet for it"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error);
        Script s;
        AddMedia(s.Add(kTur), CDW_PROFILE_CD_R, 359849);
        if (row.failing != 0) {
            s.steps.resize(row.failing + 1);
            s.steps[row.failing].sense = row.sense;
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
        EXPECT_TRUE(!row.ok || session.unsupported.rfind("GET CONFIGURATION: 5/20/00", 0) == 0)
            << session.unsupported;
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
