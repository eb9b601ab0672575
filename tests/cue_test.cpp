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

#include <fstream>
#include <iterator>
#include <map>

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

bool Parse(const std::string &text, std::map<std::string, uint64_t> sizes, CdwImageLayout *layout,
           std::string *error) {
    return CdwParseCueSheet(text, "disc.cue", "/img", Sizes(sizes), layout, error);
}

std::string ParseError(const std::string &text,
                       std::map<std::string, uint64_t> sizes = {{"/img/x.bin", 1 << 20}}) {
    CdwImageLayout layout;
    std::string error;
    EXPECT_FALSE(Parse(text, sizes, &layout, &error)) << text;
    return error;
}

} // namespace

TEST(CueSheet, EveryModeHasItsBlockSizeAndADistinctFormat) {
    const char *modes[] = {"MODE1/2048", "MODE1/2352", "MODE2/2336", "MODE2/2352", "AUDIO"};
    const uint32_t sizes[] = {2048, 2352, 2336, 2352, 2352};
    std::vector<uint32_t> formats;
    for (int i = 0; i < 5; i++) {
        const CdwTrackMode *m = CdwFindTrackMode(modes[i]);
        ASSERT_NE(m, nullptr) << modes[i];
        EXPECT_EQ(m->blockSize, sizes[i]);
        for (uint32_t f : formats)
            EXPECT_NE(f, static_cast<uint32_t>(m->format));
        formats.push_back(m->format);
        EXPECT_EQ(CdwTrackModeOf(m->format), m);
    }
    EXPECT_NE(CdwFindTrackMode("audio"), nullptr);
    EXPECT_EQ(CdwFindTrackMode("MODE3/2048"), nullptr);
}

TEST(CueSheet, PregapsOfFirstAndLaterTracks) {
    /* First track: INDEX 00 becomes the generated pre-gap; its bytes in the file are skipped. */
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 00 00:00:00\n"
                      "INDEX 01 00:02:00\n",
                      {{"/img/x.bin", 650 * 2048}}, &layout, &error))
        << error;
    EXPECT_EQ(layout.nPregapBlocks, 150u);
    EXPECT_EQ(layout.pregapStartBlock, 0u);
    EXPECT_EQ(layout.pregapBlockSize, 2048u);
    EXPECT_EQ(layout.tracks[0].startBlock, 150u);
    EXPECT_EQ(layout.tracks[0].fileOffset, 150u * 2048);
    EXPECT_EQ(layout.tracks[0].nBlocks, 500u);

    /* PREGAP on the first track: generated, nothing skipped in the file. */
    ASSERT_TRUE(Parse("file x.bin binary\ntrack 1 audio\npregap 00:01:00\nindex 01 00:00:00\n",
                      {{"/img/x.bin", 100 * 2352}}, &layout, &error))
        << error;
    EXPECT_EQ(layout.nPregapBlocks, 75u);
    EXPECT_EQ(layout.pregapBlockSize, 2352u);
    EXPECT_EQ(layout.tracks[0].startBlock, 75u);
    EXPECT_EQ(layout.tracks[0].fileOffset, 0u);

    /* A later track's INDEX 00 gap is recorded from the file in that track's own mode. */
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nINDEX 00 00:04:00\nINDEX 01 00:06:00\n",
                      {{"/img/x.bin", 300 * 2048 + 400 * 2352}}, &layout, &error))
        << error;
    ASSERT_EQ(layout.tracks.size(), 2u);
    EXPECT_EQ(layout.tracks[0].nBlocks, 300u);
    EXPECT_EQ(layout.tracks[1].startBlock, 300u);
    EXPECT_EQ(layout.tracks[1].fileOffset, 300u * 2048);
    EXPECT_EQ(layout.tracks[1].nBlocks, 400u);
    EXPECT_EQ(layout.tracks[1].gapBlocks, 150u); /* INDEX 00 to INDEX 01, for the cue sheet */
    EXPECT_EQ(layout.tracks[0].gapBlocks, 0u);

    std::string e = ParseError("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                               "TRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:04:00\n");
    EXPECT_EQ(e.rfind("disc.cue:5: ", 0), 0u) << e;
    EXPECT_NE(e.find("first track"), std::string::npos) << e;
}

TEST(CueSheet, MalformedSheetsNameTheLine) {
    struct Case {
        const char *text;
        const char *where;
        const char *what;
    } cases[] = {
        {"FILE x.bin BINARY\nTRACK 01 MODE3/2048\n", "disc.cue:2: ", "MODE3/2048"},
        {"FILE x.bin BINARY\nINDEX 01 00:00:00\n", "disc.cue:2: ", "INDEX before TRACK"},
        {"TRACK 01 AUDIO\n", "disc.cue:1: ", "TRACK before FILE"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n", "disc.cue:3: ", "00:60:00"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:75\n", "disc.cue:3: ", "00:00:75"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 0:0\n", "disc.cue:3: ", "0:0"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\n",
         "disc.cue:4: ", "out of order"},
        {"FILE x.bin BINARY\n\nTRACK 01 AUDIO\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n",
         "disc.cue:3: ", "no INDEX 01"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nFILE y.bin BINARY\n",
         "disc.cue:4: ", "has no TRACK"},
        {"FILE x.bin BINARY\nFILE y.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
         "disc.cue:2: ", "line 1 has no TRACK"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n"
         "INDEX 00 00:01:00\nFILE y.bin BINARY\nINDEX 01 00:00:00\n",
         "disc.cue:6: ", "one FILE"},
        {"FILE x.wav WAVE\n", "disc.cue:1: ", "WAVE"},
        {"FILE \"x.bin BINARY\n", "disc.cue:1: ", "quote"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nBOGUS 1\n",
         "disc.cue:4: ", "BOGUS"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPOSTGAP 00:02:00\n",
         "disc.cue:4: ", "POSTGAP"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:02:00\nINDEX 00 00:00:00\n",
         "disc.cue:4: ", "INDEX 00"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:02:00\nTRACK 02 AUDIO\n"
         "INDEX 01 00:01:00\n",
         "disc.cue:4: ", "does not start after"},
        {"REM nothing\n", "disc.cue:1: ", "no FILE"},
        {"FILE x.bin BINARY\n", "disc.cue:1: ", "no TRACK"},
        {"CATALOG 12345\n", "disc.cue:1: ", "13 digits"},
        {"FILE x.bin BINARY\nISRC USABC0412345\n", "disc.cue:2: ", "ISRC before TRACK"},
        {"FILE x.bin BINARY\nTRACK 01 AUDIO\nISRC US-ABC-04-12\n", "disc.cue:3: ", "CCOOOYY"},
    };
    for (const auto &c : cases) {
        std::string e = ParseError(c.text);
        EXPECT_EQ(e.rfind(c.where, 0), 0u) << c.text << " -> " << e;
        EXPECT_NE(e.find(c.what), std::string::npos) << c.text << " -> " << e;
    }
}

TEST(CueSheet, FileProblemsAndPositionsTheRecorderCannotRead) {
    /* A missing BIN names the file and the FILE line. */
    std::string e = ParseError("REM\nFILE gone.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    EXPECT_EQ(e.rfind("disc.cue:2: ", 0), 0u) << e;
    EXPECT_NE(e.find("gone.bin"), std::string::npos) << e;

    /* A 2352-byte track of 10 blocks puts track 2 at byte 23520, inside a 512-byte unit: each
       track becomes a piece of an image assembled for the run, at a 512-byte position. */
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nINDEX 01 00:00:10\n",
                      {{"/img/x.bin", 20 * 2352}}, &layout, &error))
        << error;
    EXPECT_EQ(layout.imagePath, "");
    ASSERT_EQ(layout.sources.size(), 2u);
    EXPECT_EQ(layout.sources[1].fileOffset, 23520u);
    EXPECT_EQ(layout.sources[1].size, 10u * 2352);
    EXPECT_EQ(layout.tracks[1].fileOffset, (10u * 2352 + 511) / 512 * 512);
    ASSERT_FALSE(layout.notes.empty());
    EXPECT_EQ(layout.notes.back().rfind("disc.cue:4: track 2 starts at byte 23520", 0), 0u)
        << layout.notes.back();

    /* 32 blocks of 2352 bytes are 147 units of 512: the BIN file is read as it is. */
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nINDEX 01 00:00:32\n",
                      {{"/img/x.bin", 40 * 2352}}, &layout, &error))
        << error;
    EXPECT_EQ(layout.tracks[1].fileOffset, 147u * 512);
    EXPECT_EQ(layout.imagePath, "/img/x.bin");

    /* A file shorter than its tracks. */
    e = ParseError("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                   "TRACK 02 AUDIO\nINDEX 01 00:10:00\n",
                   {{"/img/x.bin", 100 * 2048}});
    EXPECT_EQ(e.rfind("disc.cue:4: ", 0), 0u) << e;
    EXPECT_NE(e.find("ends before track 2"), std::string::npos) << e;

    /* A last track that ends in a partial block is padded to a whole one. */
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n",
                      {{"/img/x.bin", 10 * 2048 + 5}}, &layout, &error))
        << error;
    EXPECT_EQ(layout.tracks[0].nBlocks, 11u);
    EXPECT_EQ(layout.tracks[0].dataBytes, 10u * 2048 + 5);
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
    EXPECT_EQ(layout.imagePath, "");
    ASSERT_EQ(layout.sources.size(), 2u);
    ASSERT_EQ(layout.tracks.size(), 2u);
    /* 100 blocks and a partial one; the next FILE starts at the next 512-byte position. */
    EXPECT_EQ(layout.tracks[0].nBlocks, 101u);
    EXPECT_EQ(layout.sources[1].imageOffset, 101u * 2048);
    EXPECT_EQ(layout.tracks[1].fileOffset, 101u * 2048);
    EXPECT_EQ(layout.tracks[1].startBlock, 101u); /* its INDEX 00 gap is recorded */
    EXPECT_EQ(layout.tracks[1].nBlocks, 300u);
    EXPECT_EQ(layout.FormatChanges(), 1);

    ASSERT_TRUE(CdwAssembleImage(&layout, d + "/disc.img", &error)) << error;
    EXPECT_EQ(layout.imagePath, d + "/disc.img");
    std::ifstream in(d + "/disc.img", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 101u * 2048 + (300u * 2352 + 511) / 512 * 512);
    EXPECT_TRUE(image.substr(0, one.size()) == one);
    EXPECT_TRUE(image.substr(one.size(), 101 * 2048 - one.size()) ==
                std::string(101 * 2048 - one.size(), '\0'));
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
    ASSERT_EQ(layout.tracks.size(), 1u);
    EXPECT_EQ(layout.tracks[0].nBlocks, 3u);
    EXPECT_EQ(layout.tracks[0].blockSize, 2048u);
    EXPECT_EQ(layout.tracks[0].format, static_cast<uint32_t>(CDW_FORMAT_MODE1_2048));
    EXPECT_FALSE(
        CdwLayoutFromPlainImage("/img/b.iso", Sizes({{"/img/b.iso", 0}}), &layout, &error));
    EXPECT_NE(error.find("empty"), std::string::npos);
    EXPECT_FALSE(CdwLayoutFromPlainImage("/img/c.iso", Sizes({}), &layout, &error));
    EXPECT_NE(error.find("/img/c.iso"), std::string::npos);
    EXPECT_TRUE(CdwIsCueSheetName("a/b.CUE"));
    EXPECT_FALSE(CdwIsCueSheetName("a/cue"));
}

TEST(RecordBlocks, PlainAndEx2BlocksCarryTheTrackTable) {
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(Parse("FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                      "TRACK 02 AUDIO\nINDEX 01 00:04:00\n",
                      {{"/img/x.bin", 300 * 2048 + 100 * 2352}}, &layout, &error));
    CdwSetPregap(&layout, 150);
    EXPECT_EQ(layout.tracks[0].startBlock, 150u);
    EXPECT_EQ(layout.tracks[1].startBlock, 450u);

    CdwRecordOptions options;
    options.objectName = CdwObjectName('e', "sub/x.bin");
    EXPECT_EQ(options.objectName, "\\??\\e:\\sub\\x.bin");
    std::string ansi;
    ASSERT_TRUE(CdwAnsiObjectName("\\??\\D:\\caf\xC3\xA9.iso", &ansi));
    EXPECT_EQ(ansi, "\\??\\D:\\caf\xE9.iso"); /* one byte per character, Latin-1 */
    EXPECT_FALSE(CdwAnsiObjectName("\xE6\x97\xA5.iso", &ansi)); /* beyond U+00FF */
    EXPECT_FALSE(CdwAnsiObjectName("bad\xC3", &ansi));
    options.checksumOnly = true;
    options.writeMode = 2;
    options.recordFlags = RECORD_FLAG_TEST_HANG;
    options.refillPercent = 50;
    options.writeTdb = true;
    options.tdbTrackNumber = 7;
    RECORD_DISC_REQUEST disc;
    ASSERT_TRUE(CdwBuildRecordDisc(layout, options, &disc, &error)) << error;
    EXPECT_EQ(disc.imageName[4], 'e'); /* the fifth character is the drive letter */
    EXPECT_STREQ(disc.imageName, options.objectName.c_str());
    EXPECT_EQ(disc.numTracks, 2u);
    EXPECT_EQ(disc.nPregapBlocks, 150u);
    EXPECT_EQ(disc.pregapBlockSize, 2048u);
    EXPECT_EQ(disc.pregapStartBlock, 0u);
    EXPECT_EQ(disc.bChecksumOnly, 1);
    EXPECT_EQ(disc.modeWord, 2u | RECORD_FLAG_TEST_HANG);
    EXPECT_EQ(disc.refillPercent, 50u);
    EXPECT_EQ(disc.bWriteTdb, 1);
    EXPECT_EQ(disc.tdbTrackNumber, 7);
    EXPECT_EQ(disc.tracks[1].hdStartBlock, 300u * 2048 / 512);
    EXPECT_EQ(disc.tracks[1].blockSize, 2352u);
    EXPECT_EQ(disc.tracks[1].startBlock, 450u);
    EXPECT_EQ(disc.tracks[1].nBlocks, 100u);
    EXPECT_NE(disc.tracks[0].trackFormat, disc.tracks[1].trackFormat);
    EXPECT_EQ(disc.tracks[2].nBlocks, 0u);

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
    EXPECT_EQ(name31.size(), 31u);
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
    SpeedSpec s;
    std::string e;
    ASSERT_TRUE(ParseSpeed("16c", &s, &e));
    EXPECT_DOUBLE_EQ(s.BytesPerSecond(), 16 * 153600.0);
    bool dvd = true;
    EXPECT_EQ(s.SimMultiple(&dvd), 16u);
    EXPECT_FALSE(dvd);
    ASSERT_TRUE(ParseSpeed("24", &s, &e));
    EXPECT_EQ(s.unit, 'c');
    EXPECT_EQ(s.SimMultiple(&dvd), 24u);
    ASSERT_TRUE(ParseSpeed("8d", &s, &e));
    EXPECT_EQ(s.SimMultiple(&dvd), 8u);
    EXPECT_TRUE(dvd);
    ASSERT_TRUE(ParseSpeed("4b", &s, &e));
    EXPECT_DOUBLE_EQ(s.BytesPerSecond(), 4 * 4495500.0);
    EXPECT_EQ(s.SimMultiple(&dvd), 13u); /* 17,982,000 B/s is 13 x 1,385,000 */
    EXPECT_TRUE(dvd);
    ASSERT_TRUE(ParseSpeed("MAX", &s, &e));
    EXPECT_TRUE(s.max);
    EXPECT_EQ(s.SimMultiple(&dvd), 0u);
    ASSERT_TRUE(ParseSpeed("0.4c", &s, &e));
    EXPECT_EQ(s.SimMultiple(&dvd), 1u);
    for (const char *bad : {"fast", "c", "-4c", "16q", ""})
        EXPECT_FALSE(ParseSpeed(bad, &s, &e)) << bad;

    uint64_t bytes = 0;
    ASSERT_TRUE(ParseSize("4m", &bytes, &e));
    EXPECT_EQ(bytes, 4u << 20);
    ASSERT_TRUE(ParseSize("512K", &bytes, &e));
    EXPECT_EQ(bytes, 512u << 10);
    ASSERT_TRUE(ParseSize("1000", &bytes, &e));
    EXPECT_EQ(bytes, 1000u);
    for (const char *bad : {"m", "4t", "-1", "0", "8g"})
        EXPECT_FALSE(ParseSize(bad, &bytes, &e)) << bad;

    std::vector<uint8_t> cdb;
    ASSERT_TRUE(ParseCdbHex("12 00 00 00 24 00", &cdb, &e));
    EXPECT_EQ(cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 0x24, 0}));
    ASSERT_TRUE(ParseCdbHex("5c:00:00:00:00:00:00:00:0c:00", &cdb, &e));
    EXPECT_EQ(cdb.size(), 10u);
    EXPECT_FALSE(ParseCdbHex("12 00 00", &cdb, &e));
    EXPECT_FALSE(ParseCdbHex("12 00 00 00 24 0g", &cdb, &e));

    FaultSpec f;
    ASSERT_TRUE(ParseFault("write-block=1000:sense=3/0C/00", &f, &e)) << e;
    EXPECT_TRUE(f.atBlock);
    EXPECT_EQ(f.where, 1000u);
    EXPECT_EQ(f.senseKey, 3);
    EXPECT_EQ(f.asc, 0x0C);
    EXPECT_EQ(f.ascq, 0);
    EXPECT_EQ(f.recorder, 0u);
    ASSERT_TRUE(ParseFault("recorder=2:command=5:srb=0x0E", &f, &e)) << e;
    EXPECT_FALSE(f.atBlock);
    EXPECT_FALSE(f.sense);
    EXPECT_EQ(f.srbStatus, 0x0E);
    EXPECT_EQ(f.recorder, 2u);
    for (const char *bad :
         {"write-block=1000", "sense=3/0C/00", "write-block=1:sense=3/0C",
          "write-block=1:srb=0x0E0", "write-block=x:sense=3/0C/00", "write-block=1:sense=13/0C/00"})
        EXPECT_FALSE(ParseFault(bad, &f, &e)) << bad;
}

TEST(ToolValues, InstallationFile) {
    InstallSpec spec;
    std::string e;
    ASSERT_TRUE(ParseInstall("# two recorders and a desktop unit\n"
                             "recorder speed=8d buffer=4m vendor=KORVO product=\"CDR 1\"\n"
                             "\n"
                             "desktop address=1:0:3:0\n"
                             "recorder disc=/tmp/r.img fault=write-block=5:sense=3/0C/00\n"
                             "cache e /srv/images address=3   # images\n",
                             "inst", &spec, &e))
        << e;
    ASSERT_EQ(spec.devices.size(), 3u);
    EXPECT_FALSE(spec.devices[0].desktop);
    EXPECT_TRUE(spec.devices[0].speedSet);
    EXPECT_EQ(spec.devices[0].speed.unit, 'd');
    EXPECT_EQ(spec.devices[0].bufferBytes, 4u << 20);
    EXPECT_EQ(spec.devices[0].product, "CDR 1");
    EXPECT_TRUE(spec.devices[1].desktop);
    EXPECT_EQ(spec.devices[1].target, 3);
    EXPECT_EQ(spec.devices[2].discFile, "/tmp/r.img");
    ASSERT_EQ(spec.devices[2].faults.size(), 1u);
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
    ASSERT_TRUE(ParseArgs({"--recorders", "2", "--disc-dir", "D", "record", "IMG", "--verify",
                           "--json", "--speed=24c", "--cache-buffers", "16"},
                          &o, &e))
        << e;
    EXPECT_EQ(o.command, Command::Record);
    EXPECT_EQ(o.recorders, 2u);
    EXPECT_EQ(o.discDir, "D");
    EXPECT_EQ(o.images, std::vector<std::string>{"IMG"});
    EXPECT_TRUE(o.verify);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.cacheBuffers, 16u);
    EXPECT_FALSE(o.speed.max);

    ASSERT_TRUE(ParseArgs({"scsi", "d1", "12 00 00 00 24 00", "--read", "36"}, &o, &e)) << e;
    EXPECT_TRUE(o.scsiDesktop);
    EXPECT_EQ(o.scsiRecorder, 1u);
    EXPECT_EQ(o.readLength, 36u);

    ASSERT_TRUE(ParseArgs({"record", "--help"}, &o, &e));
    EXPECT_TRUE(o.help);
    EXPECT_EQ(o.command, Command::Record);

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

    EXPECT_EQ(CdwOutcomeName(RECSTAT_COMPLETE), "COMPLETE");
    EXPECT_EQ(CdwOutcomeName(RECSTAT_WRITE_FAILED), "WRITE_FAILED");
    EXPECT_EQ(CdwOutcomeName(RECSTAT_ABORTED), "ABORTED");
    EXPECT_EQ(CdwOutcomeName(7), "STATUS_7");
    EXPECT_EQ(CdwSrbStatusName(0xC4), "ERROR|QUEUE_FROZEN|AUTOSENSE_VALID");
    EXPECT_EQ(CdwSenseKeyName(3), "MEDIUM ERROR");
    EXPECT_EQ(CdwAscName(0x0C, 0x09), "WRITE ERROR - LOSS OF STREAMING");
    EXPECT_EQ(CdwAscName(0x0C, 0x55), "");
    EXPECT_EQ(CdwSenseTriple(3, 0x0C, 0), "3/0C/00");
    const uint8_t bytes[] = {0x2A, 0, 0, 0, 3, 0xE8, 0, 0, 0x10, 0};
    EXPECT_EQ(CdwHexBytes(bytes, 10), "2A 00 00 00 03 E8 00 00 10 00");
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
    CdwScsiCommand read = CdwRead10Command(0x01020304, 27, 2352);
    EXPECT_EQ(read.cdb[0], 0x28);
    EXPECT_EQ(read.cdb[2], 1);
    EXPECT_EQ(read.cdb[5], 4);
    EXPECT_EQ(read.cdb[8], 27);
    EXPECT_EQ(read.transferLength, 27u * 2352);
}
