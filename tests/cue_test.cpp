/*
 * cue_test.cpp - the application side without a recorder: CUE sheets turned into track
 * tables, record-disc blocks built from them, the tool's value syntaxes, progress lines and
 * JSON text.
 *
 * The sources are compiled into this test directly: the tool is an executable, not a library.
 */
#include "client/cdw_client.h"
#include "client/image_layout.h"
#include "client/record_request.h"
#include "client/scsi_text.h"
#include "tools/cdwriter/json.h"
#include "tools/cdwriter/options.h"
#include "tools/cdwriter/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace {

/* A file system of named sizes for the parser. */
CdwFileSizeFn Sizes(std::map<std::string, uint64_t> sizes) {
    return [sizes](const std::string &path, uint64_t *size, std::string *why) {
        auto it = sizes.find(path);
        if (it == sizes.end()) {
            *why = "No such file or directory";
            return false;
        }
        *size = it->second;
        return true;
    };
}

/* The layout in one line: the image, the generated pre-gap, each track (mode, disc position,
   length, gap, image bytes), each source file and each note. */
std::string Summary(const CdwImageLayout &l) {
    std::ostringstream s;
    s << "image '" << l.imagePath << "' pregap " << l.nPregapBlocks << "x" << l.pregapBlockSize
      << "@" << l.pregapStartBlock;
    for (const auto &t : l.tracks)
        s << "; track " << t.number << " " << t.blockSize << "/" << t.format << " @" << t.startBlock
          << "+" << t.nBlocks << " gap " << t.gapBlocks << " bytes " << t.fileOffset << "+"
          << t.dataBytes;
    for (const auto &f : l.sources)
        s << "; source " << f.fileOffset << "+" << f.size << " at " << f.imageOffset;
    for (const auto &n : l.notes)
        s << "; note " << n;
    return s.str();
}

} // namespace

/* Each mode's format leads back to it alone: no two modes share one. */
TEST(CueSheet, EveryModeHasItsBlockSizeAndADistinctFormat) {
    const std::pair<const char *, uint32_t> modes[] = {{"MODE1/2048", 2048},
                                                       {"MODE1/2352", 2352},
                                                       {"MODE2/2336", 2336},
                                                       {"MODE2/2352", 2352},
                                                       {"audio", 2352}};
    for (const auto &[text, size] : modes) {
        const CdwTrackMode *m = CdwFindTrackMode(text);
        ASSERT_NE(m, nullptr) << text;
        EXPECT_EQ(m->blockSize, size) << text;
        EXPECT_EQ(CdwTrackModeOf(m->format), m) << text;
    }
    EXPECT_EQ(CdwFindTrackMode("MODE3/2048"), nullptr);
}

/* Pre-gaps of the first track (a later track's: SeveralFilesAreAssembledIntoOneImage), tracks
   at and off 512-byte positions, a last partial block. */
TEST(CueSheet, SheetsBecomeTrackLayouts) {
    const char *one = "FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n";
    struct Case {
        std::string text;
        uint64_t size; /* of x.bin */
        std::string layout;
    } cases[] = {
        /* INDEX 00 of the first track becomes the generated pre-gap; its bytes are skipped. */
        {"FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n",
         650 * 2048,
         "image '/img/x.bin' pregap 150x2048@0; track 1 2048/1 @150+500 gap 0 bytes "
         "307200+1024000; source 0+1331200 at 0; note disc.cue:2: the 150 blocks of \"x.bin\" "
         "ahead of track 1's INDEX 01 are not recorded (its pre-gap is recorded as zeros)"},
        /* PREGAP on the first track: generated, nothing skipped in the file. */
        {"file x.bin binary\ntrack 1 audio\npregap 00:01:00\nindex 01 00:00:00\n", 100 * 2352,
         "image '/img/x.bin' pregap 75x2352@0; track 1 2352/5 @75+100 gap 0 bytes 0+235200; source "
         "0+235200 at 0"},
        /* Track 2 at byte 23520, inside a 512-byte unit: each track a piece of an assembled
           image, at a 512-byte position. */
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
         "INDEX 01 00:00:10\n",
         20 * 2352,
         "image '' pregap 0x2352@0; track 1 2352/5 @0+10 gap 0 bytes 0+23520; track 2 2352/5 "
         "@10+10 gap 0 bytes 23552+23520; source 0+23520 at 0; source 23520+23520 at 23552; note "
         "disc.cue:4: track 2 starts at byte 23520 of \"x.bin\", not a multiple of 512, the unit "
         "the recorder reads images in: the tracks are copied into an image of their own for the "
         "run, each at a 512-byte position"},
        /* 32 blocks of 2352 bytes are 147 units of 512: the BIN file is read as it is. */
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
         "INDEX 01 00:00:32\n",
         40 * 2352,
         "image '/img/x.bin' pregap 0x2352@0; track 1 2352/5 @0+32 gap 0 bytes 0+75264; track 2 "
         "2352/5 @32+8 gap 0 bytes 75264+18816; source 0+94080 at 0"},
        /* A last track that ends in a partial block is padded to a whole one. */
        {one, 10 * 2048 + 5,
         "image '/img/x.bin' pregap 0x2048@0; track 1 2048/1 @0+11 gap 0 bytes 0+20485; source "
         "0+20485 at 0"},
    };
    for (const auto &c : cases) {
        CdwImageLayout layout;
        std::string error;
        ASSERT_TRUE(CdwParseCueSheet(c.text, "disc.cue", "/img", Sizes({{"/img/x.bin", c.size}}),
                                     &layout, &error))
            << c.text << error;
        EXPECT_EQ(Summary(layout), c.layout) << c.text;
    }
}

TEST(CueSheet, MalformedSheetsGiveOneLineNamingTheLine) {
    const std::string head = "FILE x.bin BINARY\nTRACK 01 AUDIO\n";
    const std::string one = head + "INDEX 01 00:00:00\n";
    struct Case {
        std::string text;
        std::string error;
        uint64_t size = 1 << 20; /* of x.bin */
    } cases[] = {
        {"FILE x.bin BINARY\nTRACK 01 MODE3/2048\n",
         "disc.cue:2: unknown track mode \"MODE3/2048\" (MODE1/2048, MODE1/2352, MODE2/2336, "
         "MODE2/2352 or AUDIO)"},
        {"FILE x.bin BINARY\nINDEX 01 00:00:00\n", "disc.cue:2: INDEX before TRACK"},
        {"TRACK 01 AUDIO\n", "disc.cue:1: TRACK before FILE"},
        {head + "INDEX 01 00:60:00\n", "disc.cue:3: bad position \"00:60:00\" (mm:ss:ff)"},
        {head + "INDEX 01 00:00:75\n", "disc.cue:3: bad position \"00:00:75\" (mm:ss:ff)"},
        {head + "INDEX 01 0:0\n", "disc.cue:3: bad position \"0:0\" (mm:ss:ff)"},
        {one + "TRACK 03 AUDIO\n", "disc.cue:4: track 03 out of order (expected 2)"},
        {"FILE x.bin BINARY\n\nTRACK 01 AUDIO\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
         "disc.cue:3: track 1 has no INDEX 01"},
        {one + "FILE y.bin BINARY\n", "disc.cue:4: the FILE has no TRACK"},
        {"FILE x.bin BINARY\nFILE y.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
         "disc.cue:2: the FILE on line 1 has no TRACK"},
        {one + "TRACK 02 AUDIO\nINDEX 00 00:01:00\nFILE y.bin BINARY\nINDEX 01 00:00:00\n",
         "disc.cue:6: track 2 would continue in the next FILE: a track must lie in one FILE"},
        {"FILE x.wav WAVE\n", "disc.cue:1: file type WAVE is not supported (only BINARY)"},
        {"FILE \"x.bin BINARY\n", "disc.cue:1: unterminated quote"},
        {one + "BOGUS 1\n", "disc.cue:4: unknown command \"BOGUS\""},
        {one + "POSTGAP 00:02:00\n", "disc.cue:4: POSTGAP is not supported"},
        {head + "INDEX 01 00:02:00\nINDEX 00 00:00:00\n",
         "disc.cue:4: INDEX 00 must come first and only once"},
        {head + "INDEX 01 00:02:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
         "disc.cue:4: track 2 does not start after track 1"},
        {"REM nothing\n", "disc.cue:1: no FILE in the CUE sheet"},
        {"CATALOG 12345\n", "disc.cue:1: expected CATALOG and 13 digits"},
        {"FILE x.bin BINARY\nISRC USABC0412345\n", "disc.cue:2: ISRC before TRACK"},
        {head + "ISRC US-ABC-04-12\n",
         "disc.cue:3: expected ISRC CCOOOYYSSSSS (country, owner, year, serial number)"},
        {one + "TRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:04:00\n",
         "disc.cue:5: PREGAP is supported on the first track only (the recorder generates a "
         "pre-gap only ahead of the first track)"},
        {"REM\nFILE gone.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
         "disc.cue:2: cannot read \"gone.bin\": No such file or directory"},
        {"FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
         "INDEX 01 00:10:00\n",
         "disc.cue:4: \"x.bin\" ends before track 2", 100 * 2048},
    };
    for (const auto &c : cases) {
        CdwImageLayout layout;
        std::string error;
        EXPECT_FALSE(CdwParseCueSheet(c.text, "disc.cue", "/img", Sizes({{"/img/x.bin", c.size}}),
                                      &layout, &error))
            << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(CueSheet, SeveralFilesAreAssembledIntoOneImage) {
    char dir[] = "/tmp/cue-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    std::string one(100 * 2048 + 100, '\0'), two(300 * 2352, '\0');
    for (size_t i = 0; i < one.size(); i++)
        one[i] = static_cast<char>(i * 7 + 1);
    for (size_t i = 0; i < two.size(); i++)
        two[i] = static_cast<char>(i * 13 + 5);
    std::ofstream(d + "/one.bin", std::ios::binary) << one;
    std::ofstream(d + "/two.bin", std::ios::binary) << two;
    std::ofstream(d + "/disc.cue") << "FILE \"one.bin\" BINARY\n  TRACK 01 MODE1/2048\n"
                                      "    INDEX 01 00:00:00\n"
                                      "FILE \"two.bin\" BINARY\n  TRACK 02 AUDIO\n"
                                      "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n";
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(CdwLoadCueSheet(d + "/disc.cue", &layout, &error)) << error;
    /* 100 blocks and a partial one; the next FILE starts at the next 512-byte position, its
       INDEX 00 gap recorded. */
    EXPECT_EQ(
        Summary(layout),
        "image '' pregap 0x2048@0; track 1 2048/1 @0+101 gap 0 bytes 0+204900; track 2 2352/5 "
        "@101+300 gap 150 bytes 206848+705600; source 0+204900 at 0; source 0+705600 at 206848");
    EXPECT_EQ(layout.FormatChanges(), 1);

    ASSERT_TRUE(CdwAssembleImage(&layout, d + "/disc.img", &error)) << error;
    EXPECT_EQ(layout.imagePath, d + "/disc.img");
    std::ifstream in(d + "/disc.img", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 101u * 2048 + (300u * 2352 + 511) / 512 * 512);
    EXPECT_TRUE(image.substr(0, 101 * 2048) == one + std::string(101 * 2048 - one.size(), '\0'));
    EXPECT_TRUE(image.substr(101 * 2048, two.size()) == two);

    /* 2352-byte blocks padded to a whole block, then to 512 bytes. */
    std::ofstream(d + "/three.cue") << "FILE two.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                       "FILE one.bin BINARY\nTRACK 02 MODE1/2048\n"
                                       "INDEX 01 00:00:00\n";
    std::ofstream(d + "/two.bin", std::ios::binary) << two << "x";
    ASSERT_TRUE(CdwLoadCueSheet(d + "/three.cue", &layout, &error)) << error;
    EXPECT_EQ(layout.tracks[0].nBlocks, 301u);
    EXPECT_EQ(layout.sources[1].imageOffset, (301u * 2352 + 511) / 512 * 512);
    EXPECT_EQ(layout.tracks[1].fileOffset % 512, 0u);
    EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
}

TEST(PlainImage, OneDataTrackCoveringTheFile) {
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(
        CdwLayoutFromPlainImage("/img/a.iso", Sizes({{"/img/a.iso", 4096 + 1}}), &layout, &error));
    EXPECT_EQ(Summary(layout),
              "image '/img/a.iso' pregap 0x2048@0; track 1 2048/1 @0+3 gap 0 bytes 0+4097");
    EXPECT_FALSE(
        CdwLayoutFromPlainImage("/img/b.iso", Sizes({{"/img/b.iso", 0}}), &layout, &error));
    EXPECT_EQ(error, "image \"/img/b.iso\" is empty");
    EXPECT_FALSE(CdwLayoutFromPlainImage("/img/c.iso", Sizes({}), &layout, &error));
    EXPECT_EQ(error, "cannot read image \"/img/c.iso\": No such file or directory");
    EXPECT_TRUE(CdwIsCueSheetName("a/b.CUE"));
    EXPECT_FALSE(CdwIsCueSheetName("a/cue"));
}

TEST(RecordBlocks, PlainAndEx2BlocksCarryTheTrackTable) {
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(CdwParseCueSheet(
        "FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
        "TRACK 02 AUDIO\nINDEX 01 00:04:00\n",
        "disc.cue", "/img", Sizes({{"/img/x.bin", 300 * 2048 + 100 * 2352}}), &layout, &error));
    CdwSetPregap(&layout, 150);

    /* Names go as ANSI text, one byte per character (Latin-1). */
    std::string ansi;
    ASSERT_TRUE(CdwAnsiObjectName("\\??\\D:\\caf\xC3\xA9.iso", &ansi));
    EXPECT_EQ(ansi, "\\??\\D:\\caf\xE9.iso");
    EXPECT_FALSE(CdwAnsiObjectName("\xE6\x97\xA5.iso", &ansi)); /* beyond U+00FF */
    EXPECT_FALSE(CdwAnsiObjectName("bad\xC3", &ansi));
    CdwRecordOptions options;
    options.objectName = "\\??\\e:\\x.bin";
    options.writeMode = 2;
    options.recordFlags = RECORD_FLAG_TEST_HANG;
    options.refillPercent = 50;
    RECORD_DISC_REQUEST disc;
    ASSERT_TRUE(CdwBuildRecordDisc(layout, options, &disc, &error)) << error;
    EXPECT_EQ(disc.numTracks, 2u);
    EXPECT_EQ(disc.nPregapBlocks, 150u);
    EXPECT_EQ(disc.pregapBlockSize, 2048u);
    EXPECT_EQ(disc.modeWord, 2u | RECORD_FLAG_TEST_HANG);
    EXPECT_EQ(disc.refillPercent, 50u);
    EXPECT_EQ(disc.tracks[1].startBlock, 450u);

    /* EX2: the plain block's fields behind a zeroed header. */
    RECORD_DISC_EX2_REQUEST ex2;
    ASSERT_TRUE(CdwBuildRecordDiscEx2(layout, options, &ex2, &error)) << error;
    EXPECT_EQ(memcmp(reinterpret_cast<uint8_t *>(&ex2) + 0x24,
                     reinterpret_cast<uint8_t *>(&disc) + 0x24, 0x81A - 0x24),
              0);
    EXPECT_STREQ(ex2.imageName, options.objectName.c_str());
    for (int i = 0; i < 0x24; i++)
        EXPECT_EQ(reinterpret_cast<uint8_t *>(&ex2)[i], 0) << i;
}

TEST(RecordBlocks, NameLengthsAndTheLimitsOfEachRequest) {
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(
        CdwLayoutFromPlainImage("/i/a.iso", Sizes({{"/i/a.iso", 2048 * 10}}), &layout, &error));
    std::string name31 = "\\??\\D:\\" + std::string(24, 'n');
    std::string name32 = name31 + "n";
    EXPECT_EQ(CdwDefaultRequestKind(name31), CdwRequestKind::Disc);
    EXPECT_EQ(CdwDefaultRequestKind(name32), CdwRequestKind::Ex2);
    CdwRecordOptions options;
    options.objectName = name32;
    EXPECT_FALSE(CdwCheckRecordRequest(CdwRequestKind::Disc, layout, options, &error));
    EXPECT_TRUE(CdwCheckRecordRequest(CdwRequestKind::Ex2, layout, options, &error)) << error;
    options.objectName = "\\??\\D:\\" + std::string(253, 'n');
    EXPECT_FALSE(CdwCheckRecordRequest(CdwRequestKind::Ex2, layout, options, &error));

    /* EX: one track only, no checksum mode; the byte offset carries the track position. */
    options.objectName = name31;
    layout.tracks[0].fileOffset = 1000;
    RECORD_DISC_EX_REQUEST ex;
    ASSERT_TRUE(CdwBuildRecordDiscEx(layout, options, &ex, &error)) << error;
    EXPECT_EQ(ex.imageByteOffset, 1000u);
    EXPECT_EQ(ex.tracks[0].hdStartBlock, 0u);
    EXPECT_EQ(ex.numTracks, 1u);
    RECORD_DISC_REQUEST disc;
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
    EXPECT_NE(error.find("512"), std::string::npos);
    layout.tracks[0].fileOffset = 0;
    options.checksumOnly = true;
    EXPECT_FALSE(CdwBuildRecordDiscEx(layout, options, &ex, &error));
    options.checksumOnly = false;
    layout.tracks.push_back(layout.tracks[0]);
    EXPECT_FALSE(CdwBuildRecordDiscEx(layout, options, &ex, &error));
    EXPECT_NE(error.find("1 track"), std::string::npos) << error;
    layout.tracks.resize(101, layout.tracks[0]);
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
    layout.tracks.resize(1);
    options.refillPercent = 100;
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
}

TEST(ToolValues, SpeedsSizesCommandBlocksAndFaults) {
    std::string e;
    struct Speed {
        const char *text;
        double bytesPerSecond;
        uint32_t simMultiple;
        bool dvd;
    } speeds[] = {
        {"16c", 16 * 153600.0, 16, false},
        {"24", 24 * 153600.0, 24, false},
        {"8d", 8 * 1385000.0, 8, true},
        {"4b", 4 * 4495500.0, 13, true}, /* 13 x 1,385,000 */
        {"MAX", 0, 0, false},
        {"0.4c", 0.4 * 153600, 1, false},
    };
    SpeedSpec s;
    for (const char *bad : {"fast", "c", "-4c", "16q", ""})
        EXPECT_FALSE(ParseSpeed(bad, &s, &e)) << bad;
    for (const auto &c : speeds) {
        bool dvd = !c.dvd;
        ASSERT_TRUE(ParseSpeed(c.text, &s, &e)) << c.text;
        EXPECT_DOUBLE_EQ(s.BytesPerSecond(), c.bytesPerSecond) << c.text;
        EXPECT_EQ(s.SimMultiple(&dvd), c.simMultiple) << c.text;
        EXPECT_EQ(dvd, c.dvd) << c.text;
    }

    struct Size {
        const char *text;
        uint64_t bytes; /* 0: refused */
    } sizes[] = {{"4m", 4u << 20}, {"512K", 512u << 10},
                 {"1000", 1000},   {"m", 0},
                 {"4t", 0},        {"-1", 0},
                 {"0", 0},         {"8g", 0}};
    for (const auto &c : sizes) {
        uint64_t bytes = 0;
        EXPECT_EQ(ParseSize(c.text, &bytes, &e), c.bytes != 0) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }

    /* The forms the tool's scsi runs do not use, and refused ones. */
    std::vector<uint8_t> cdb;
    ASSERT_TRUE(ParseCdbHex("5c:00:00:00:00:00:00:00:0c:00", &cdb, &e));
    EXPECT_EQ(cdb.size(), 10u);
    EXPECT_FALSE(ParseCdbHex("12 00 00", &cdb, &e));
    EXPECT_FALSE(ParseCdbHex("12 00 00 00 24 0g", &cdb, &e));

    /* Faults the tool's runs inject are parsed there; these are refused. */
    FaultSpec f;
    for (const char *bad :
         {"write-block=1000", "sense=3/0C/00", "write-block=1:sense=3/0C",
          "write-block=1:srb=0x0E0", "write-block=x:sense=3/0C/00", "write-block=1:sense=13/0C/00"})
        EXPECT_FALSE(ParseFault(bad, &f, &e)) << bad;
}

TEST(ToolValues, InstallationFile) {
    InstallSpec spec;
    std::string e;
    /* What the tool's runs do not install: a fault, a lower-case letter, a comment after a line
       (the other keys: ToolTest). */
    ASSERT_TRUE(ParseInstall("# a recorder and a cache drive\n"
                             "recorder fault=write-block=5:sense=3/0C/00\n"
                             "\n"
                             "cache e /srv/images address=3   # images\n",
                             "inst", &spec, &e))
        << e;
    ASSERT_EQ(spec.devices.size(), 1u);
    EXPECT_EQ(spec.devices[0].faults.size(), 1u);
    ASSERT_EQ(spec.cacheDrives.size(), 1u);
    EXPECT_EQ(spec.cacheDrives[0].letter, 'E');
    EXPECT_EQ(spec.cacheDrives[0].address, 3);

    struct Case {
        const char *text, *where;
    } bad[] = {
        {"recorder\nrecorder speed=fast\n", "inst:2: "},
        {"recorder colour=red\n", "inst:1: "},
        {"desktop speed=8d\n", "inst:1: "},
        {"cache 1 /x\n", "inst:1: "},
        {"cache D /x\ncache d /y\n", "inst:2: "},
        {"\n\ntoaster\n", "inst:3: "},
        {"recorder address=1:2:3\n", "inst:1: "},
        {"recorder product=\"open\n", "inst:1: "},
    };
    for (const auto &c : bad) {
        EXPECT_FALSE(ParseInstall(c.text, "inst", &spec, &e)) << c.text;
        EXPECT_EQ(e.rfind(c.where, 0), 0u) << c.text << " -> " << e;
    }
}

namespace {
bool ParseArgs(std::vector<const char *> args, Options *o, std::string *e) {
    args.insert(args.begin(), "cdwriter");
    return ParseCommandLine(static_cast<int>(args.size()), const_cast<char **>(args.data()), o, e);
}
} // namespace

TEST(ToolValues, CommandLine) {
    Options o;
    std::string e;
    ASSERT_TRUE(ParseArgs({"record", "IMG", "--speed=24c", "--cache-buffers", "16"}, &o, &e)) << e;
    EXPECT_EQ(o.images, std::vector<std::string>{"IMG"});
    EXPECT_EQ(o.cacheBuffers, 16u);
    EXPECT_EQ(o.speed.text, "24c");

    ASSERT_TRUE(ParseArgs({"scsi", "d1", "12 00 00 00 24 00", "--read", "36"}, &o, &e)) << e;
    EXPECT_TRUE(o.scsiDesktop);
    EXPECT_EQ(o.scsiRecorder, 1u);
    EXPECT_EQ(o.readLength, 36u);

    struct Case {
        std::vector<const char *> args;
        const char *what;
    } bad[] = {
        {{"record"}, "no image"},
        {{"devices", "--verify"}, "--verify"},
        {{"record", "x", "--cache-buffers", "15"}, "--cache-buffers"},
        {{"record", "x", "--cache-buffers", "97"}, "--cache-buffers"},
        {{"record", "x", "--request", "ex3"}, "--request"},
        {{"record", "x", "--refill", "9"}, "--refill"},
        {{"record", "x", "--checksum-only", "--verify"}, "checksum-only"},
        {{"burn", "x"}, "burn"},
        {{"record", "x", "--recorders"}, "needs a value"},
        {{"--bogus", "devices"}, "--bogus"},
        {{"scsi", "0"}, "RECORDER CDB-HEX"},
        {{"scsi", "0", "12 00 00 00 24 00", "--read", "36", "--write", "f"}, "exclude"},
        {{"devices", "extra"}, "extra"},
        {{}, "no command"},
    };
    for (const auto &c : bad) {
        EXPECT_FALSE(ParseArgs(c.args, &o, &e)) << c.what;
        EXPECT_NE(e.find(c.what), std::string::npos) << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
}

TEST(ToolOutput, ProgressLinesAndMeters) {
    ProgressView v;
    v.recorder = 0;
    v.writtenBytes = 312ull << 20;
    v.totalBytes = 650ull << 20;
    v.fifoPercent = FifoPercent(47, 48);
    v.bufferPercent = BufferPercent(100, 12);
    v.speedX = 16 * 153600.0 / kCd1xBytes;
    EXPECT_EQ(RenderProgress(v), "Recorder 0: 312 of 650 MB written (fifo 97%) [buf 88%] 16.0x.");
    v.recorder = 2;
    v.writtenBytes = 1 << 20;
    v.totalBytes = 5 << 20;
    v.fifoPercent = v.bufferPercent = -1;
    v.speedX = -1;
    EXPECT_EQ(RenderProgress(v), "Recorder 2: 1.0 of 5.0 MB written.");
    EXPECT_EQ(FifoPercent(60, 48), 100);
    EXPECT_EQ(FifoPercent(1, 0), -1);
    EXPECT_EQ(BufferPercent(0, 0), -1);
    EXPECT_EQ(BufferPercent(100, 101), -1);
    EXPECT_EQ(FormatDuration(12.34), "12.3 s");
    EXPECT_EQ(FormatDuration(125), "2:05");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatSize(650ull << 20), "650 MB");

    SpeedMeter meter(3.0);
    EXPECT_LT(meter.BytesPerSecond(), 0);
    meter.Add(0, 0);
    meter.Add(1, 1000);
    EXPECT_DOUBLE_EQ(meter.BytesPerSecond(), 1000);
    meter.Add(10, 1000); /* old samples leave the window: a stall reads as 0 */
    meter.Add(11, 1000);
    EXPECT_DOUBLE_EQ(meter.BytesPerSecond(), 0);
}

TEST(ToolOutput, JsonAndScsiTexts) {
    JsonWriter j;
    j.BeginObject()
        .Field("a", 1)
        .Field("s", std::string("q\"\\\n\x01"))
        .Key("l")
        .BeginArray()
        .Int(-1)
        .Bool(true)
        .Null()
        .BeginObject()
        .EndObject()
        .EndArray()
        .Field("d", 2.5)
        .EndObject();
    EXPECT_EQ(j.Text(),
              "{\"a\":1,\"s\":\"q\\\"\\\\\\n\\u0001\",\"l\":[-1,true,null,{}],\"d\":2.50}");

    EXPECT_EQ(CdwOutcomeName(7), "STATUS_7");
    EXPECT_EQ(CdwSrbStatusName(0xC4), "ERROR|QUEUE_FROZEN|AUTOSENSE_VALID");
    EXPECT_EQ(CdwAscName(0x0C, 0x09), "WRITE ERROR - LOSS OF STREAMING");
    EXPECT_EQ(CdwAscName(0x0C, 0x55), "");
    std::string dump = CdwHexDump(reinterpret_cast<const uint8_t *>("0123456789abcdefXY"), 18);
    EXPECT_EQ(dump, " 00     30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66    0123456789abcdef\n"
                    " 10     58 59                                               XY\n");

    std::vector<uint8_t> capacity = {0, 10, 0, 0, 0, 0x20, 0, 0, 0, 0x08, 0, 0};
    uint32_t length = 0, blank = 0;
    ASSERT_TRUE(CdwParseBufferCapacity(capacity, &length, &blank));
    EXPECT_EQ(length, 0x200000u);
    EXPECT_EQ(blank, 0x80000u);
    capacity.resize(11);
    EXPECT_FALSE(CdwParseBufferCapacity(capacity, &length, &blank));
}
