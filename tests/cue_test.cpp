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
#include <tuple>
#include <sstream>

namespace {

/* A file system of named sizes for the parser. */
CdwFileSizeFn Sizes(std::map<std::string, uint64_t> sizes) {
    return [sizes](const std::string &path, uint64_t *size, std::string *why) {
        auto it = sizes.find(path);
        *why = "No such file or directory";
        *size = it == sizes.end() ? 0 : it->second;
        return it != sizes.end();
    };
}

/* The layout in one line: the image, the generated pre-gap, each track (mode, disc position,
   length, gap, image bytes), each source file and where each note starts. */
std::string Summary(const CdwImageLayout &l) {
    std::ostringstream s;
    s << "'" << l.imagePath << "' pregap " << l.nPregapBlocks << "x" << l.pregapBlockSize << "@"
      << l.pregapStartBlock;
    for (const auto &t : l.tracks)
        s << "; " << t.number << " " << t.blockSize << "/" << t.format << " @" << t.startBlock
          << "+" << t.nBlocks << " gap " << t.gapBlocks << " " << t.fileOffset << "+"
          << t.dataBytes;
    for (const auto &f : l.sources)
        s << "; src " << f.fileOffset << "+" << f.size << "@" << f.imageOffset;
    for (const auto &n : l.notes)
        s << "; " << n.substr(0, n.find_first_of(",("));
    return s.str();
}

/* Parses the sheet with x.bin of the size; "failed: " and the error, or "" when it parses. */
std::string Parse(const std::string &text, uint64_t size, CdwImageLayout *layout) {
    std::string error;
    return CdwParseCueSheet(text, "disc.cue", "/img", Sizes({{"/img/x.bin", size}}), layout, &error)
               ? ""
               : "failed: " + error;
}

} // namespace

/* Pre-gaps of the first track (a later track's, and a last partial block:
   SeveralFilesAreAssembledIntoOneImage), tracks at and off 512-byte positions. */
TEST(CueSheet, SheetsBecomeTrackLayouts) {
    const std::string f = "FILE x.bin BINARY\n";
    const std::string two = f + "TRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\n";
    /* The sheet, the size of x.bin, the layout. */
    const std::tuple<std::string, uint64_t, std::string> cases[] = {
        /* INDEX 00 of the first track becomes the generated pre-gap; its bytes are skipped. */
        {f + "TRACK 01 MODE1/2048\nINDEX 00 00:00:00\nINDEX 01 00:02:00\n", 650 * 2048,
         "'/img/x.bin' pregap 150x2048@0; 1 2048/1 @150+500 gap 0 307200+1024000; src 0+1331200@0; "
         "disc.cue:2: the 150 blocks of \"x.bin\" ahead of track 1's INDEX 01 are not recorded "},
        /* PREGAP on the first track: generated, nothing skipped in the file. */
        {"file x.bin binary\ntrack 1 audio\npregap 00:01:00\nindex 01 00:00:00\n", 100 * 2352,
         "'/img/x.bin' pregap 75x2352@0; 1 2352/5 @75+100 gap 0 0+235200; src 0+235200@0"},
        /* Track 2 at byte 23520, inside a 512-byte unit: an assembled image. */
        {two + "INDEX 01 00:00:10\n", 20 * 2352,
         "'' pregap 0x2352@0; 1 2352/5 @0+10 gap 0 0+23520; 2 2352/5 @10+10 gap 0 23552+23520; src "
         "0+23520@0; src 23520+23520@23552; disc.cue:4: track 2 starts at byte 23520 of \"x.bin\""},
        /* Each mode with its block size and a format of its own; 32 blocks of 2336 or 2352
           bytes are whole units of 512: the BIN file is read as it is. */
        {f + "TRACK 01 MODE2/2336\nINDEX 01 00:00:00\nTRACK 02 MODE1/2352\nINDEX 01 00:00:32\n" +
             "TRACK 3 mode2/2352\nINDEX 01 00:00:64\n",
         32 * 2336 + 64 * 2352,
         "'/img/x.bin' pregap 0x2336@0; 1 2336/3 @0+32 gap 0 0+74752; 2 2352/2 @32+32 gap 0 "
         "74752+75264; 3 2352/4 @64+32 gap 0 150016+75264; src 0+225280@0"},
    };
    for (const auto &[text, size, expected] : cases) {
        CdwImageLayout layout;
        ASSERT_EQ(Parse(text, size, &layout), "") << text;
        EXPECT_EQ(Summary(layout), expected) << text;
    }
}

TEST(CueSheet, MalformedSheetsGiveOneLineNamingTheLine) {
    const std::string f = "FILE x.bin BINARY\n", t1 = "TRACK 01 AUDIO\n", head = f + t1,
                      one = head + "INDEX 01 00:00:00\n";
    const std::pair<std::string, std::string> cases[] = {
        {f + "TRACK 01 MODE3/2048\n", "2: unknown track mode \"MODE3/2048\" (MODE1/2048, MODE1"},
        {f + "INDEX 01 00:00:00\n", "2: INDEX before TRACK"},
        {t1, "1: TRACK before FILE"},
        {head + "INDEX 01 00:60:00\n", "3: bad position \"00:60:00\" (mm:ss:ff)"},
        {head + "INDEX 01 00:00:75\n", "3: bad position \"00:00:75\""},
        {head + "INDEX 01 0:0\n", "3: bad position \"0:0\""},
        {one + "TRACK 03 AUDIO\n", "4: track 03 out of order (expected 2)"},
        {f + "\n" + t1 + "TRACK 02 AUDIO\nINDEX 01 00:01:00\n", "3: track 1 has no INDEX 01"},
        {one + "FILE y.bin BINARY\n", "4: the FILE has no TRACK"},
        {f + "FILE y.bin BINARY\n" + t1 + "INDEX 01 00:00:00\n", "2: the FILE on line 1 has no"},
        {one + "TRACK 02 AUDIO\nINDEX 00 00:01:00\nFILE y.bin BINARY\nINDEX 01 00:00:00\n",
         "6: track 2 would continue in the next FILE"},
        {"FILE x.wav WAVE\n", "1: file type WAVE is not supported"},
        {"FILE \"x.bin BINARY\n", "1: unterminated quote"},
        {one + "BOGUS 1\n", "4: unknown command \"BOGUS\""},
        {one + "POSTGAP 00:02:00\n", "4: POSTGAP is not supported"},
        {head + "INDEX 01 00:02:00\nINDEX 00 00:00:00\n", "4: INDEX 00 must come first and only"},
        {head + "INDEX 01 00:02:00\nTRACK 02 AUDIO\nINDEX 01 00:01:00\n", "4: track 2 does not"},
        {"REM nothing\n", "1: no FILE in the CUE sheet"},
        {"CATALOG 12345\n", "1: expected CATALOG and 13 digits"},
        {f + "ISRC USABC0412345\n", "2: ISRC before TRACK"},
        {head + "ISRC US-ABC-04-12\n", "3: expected ISRC CCOOOYYSSSSS (country, owner, year"},
        {one + "TRACK 02 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:04:00\n", "5: PREGAP is supported on"},
        {"REM\nFILE gone.bin BINARY\n" + t1 + "INDEX 01 00:00:00\n", "2: cannot read \"gone.bin\""},
        {one + "TRACK 02 AUDIO\nINDEX 01 00:10:00\n", "4: \"x.bin\" ends before track 2"},
    };
    for (const auto &[text, error] : cases) {
        CdwImageLayout layout;
        const std::string expected = "failed: disc.cue:" + error;
        EXPECT_EQ(Parse(text, 100 * 2352, &layout).substr(0, expected.size()), expected) << text;
    }
}

TEST(CueSheet, SeveralFilesAreAssembledIntoOneImage) {
    char dir[] = "/tmp/cue-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    std::string one(100 * 2048 + 100, '\0'), two(300 * 2352, '\0');
    unsigned n = 0;
    for (std::string *bytes : {&one, &two})
        for (char &c : *bytes)
            c = static_cast<char>(++n * 7 % 251);
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
    EXPECT_EQ(Summary(layout),
              "'' pregap 0x2048@0; 1 2048/1 @0+101 gap 0 0+204900; 2 2352/5 @101+300 gap 150 "
              "206848+705600; src 0+204900@0; src 0+705600@206848");

    ASSERT_TRUE(CdwAssembleImage(&layout, d + "/disc.img", &error)) << error;
    EXPECT_EQ(layout.imagePath, d + "/disc.img");
    std::ifstream in(d + "/disc.img", std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    /* Each piece padded with zeros to a whole block, then to a 512-byte position. */
    EXPECT_TRUE(image == one + std::string(101 * 2048 - one.size(), '\0') + two +
                             std::string(706048 - two.size(), '\0'));
    /* 2352-byte blocks padded to a whole block, then to 512 bytes. */
    std::ofstream(d + "/three.cue") << "FILE two.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                                       "FILE one.bin BINARY\nTRACK 02 MODE1/2048\n"
                                       "INDEX 01 00:00:00\n";
    std::ofstream(d + "/two.bin", std::ios::binary) << two << "x";
    ASSERT_TRUE(CdwLoadCueSheet(d + "/three.cue", &layout, &error)) << error;
    EXPECT_EQ(Summary(layout), "'' pregap 0x2352@0; 1 2352/5 @0+301 gap 0 0+705601; 2 2048/1 "
                               "@301+101 gap 0 708096+204900; src 0+705601@0; src 0+204900@708096");
    EXPECT_EQ(system(("rm -rf " + d).c_str()), 0);
}

TEST(PlainImage, OneDataTrackCoveringTheFile) {
    CdwImageLayout layout;
    std::string error;
    const auto sizes = Sizes({{"/img/a.iso", 4096 + 1}, {"/img/b.iso", 0}});
    ASSERT_TRUE(CdwLayoutFromPlainImage("/img/a.iso", sizes, &layout, &error));
    EXPECT_EQ(Summary(layout), "'/img/a.iso' pregap 0x2048@0; 1 2048/1 @0+3 gap 0 0+4097");
    EXPECT_FALSE(CdwLayoutFromPlainImage("/img/b.iso", sizes, &layout, &error));
    EXPECT_EQ(error, "image \"/img/b.iso\" is empty");
    EXPECT_TRUE(CdwIsCueSheetName("a/b.CUE"));
    EXPECT_FALSE(CdwIsCueSheetName("a/cue"));
}

TEST(RecordBlocks, EachRequestCarriesTheTrackTableWithinItsLimits) {
    CdwImageLayout layout;
    const char *sheet = "FILE x.bin BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                        "TRACK 02 AUDIO\nINDEX 01 00:04:00\n";
    ASSERT_EQ(Parse(sheet, 300 * 2048 + 100 * 2352, &layout), "");
    CdwSetPregap(&layout, 150);

    /* Names go as ANSI text, one byte per character (Latin-1). */
    std::string ansi, error;
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
    EXPECT_EQ(disc.modeWord, 2u | RECORD_FLAG_TEST_HANG);
    EXPECT_EQ(disc.refillPercent, 50u);
    EXPECT_EQ(disc.tracks[1].startBlock, 450u);

    /* EX2: the plain block's fields behind a zeroed header. */
    RECORD_DISC_EX2_REQUEST ex2;
    ASSERT_TRUE(CdwBuildRecordDiscEx2(layout, options, &ex2, &error)) << error;
    const auto *plain = reinterpret_cast<uint8_t *>(&disc),
               *bytes = reinterpret_cast<uint8_t *>(&ex2);
    EXPECT_EQ(memcmp(bytes + 0x24, plain + 0x24, 0x81A - 0x24), 0);
    EXPECT_STREQ(ex2.imageName, options.objectName.c_str());
    EXPECT_EQ(std::count(bytes, bytes + 0x24, 0), 0x24);

    /* The plain block's name field holds 31 characters; EX2's up to 259. */
    std::string name31 = "\\??\\D:\\" + std::string(24, 'n'), name32 = name31 + "n";
    EXPECT_EQ(CdwDefaultRequestKind(name31), CdwRequestKind::Disc);
    EXPECT_EQ(CdwDefaultRequestKind(name32), CdwRequestKind::Ex2);
    options.objectName = name32;
    EXPECT_FALSE(CdwCheckRecordRequest(CdwRequestKind::Disc, layout, options, &error));
    EXPECT_TRUE(CdwCheckRecordRequest(CdwRequestKind::Ex2, layout, options, &error)) << error;
    options.objectName = "\\??\\D:\\" + std::string(253, 'n');
    EXPECT_FALSE(CdwCheckRecordRequest(CdwRequestKind::Ex2, layout, options, &error));

    /* EX: one track only, no checksum mode; the byte offset carries the track position. */
    options.objectName = name31;
    RECORD_DISC_EX_REQUEST ex;
    EXPECT_FALSE(CdwBuildRecordDiscEx(layout, options, &ex, &error));
    EXPECT_NE(error.find("1 track"), std::string::npos) << error;
    layout.tracks.resize(1);
    layout.tracks[0].fileOffset = 1000;
    ASSERT_TRUE(CdwBuildRecordDiscEx(layout, options, &ex, &error)) << error;
    EXPECT_EQ(ex.imageByteOffset, 1000u);
    EXPECT_EQ(ex.tracks[0].hdStartBlock, 0u);
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
    EXPECT_NE(error.find("512"), std::string::npos);
    layout.tracks[0].fileOffset = 0;
    options.checksumOnly = true;
    EXPECT_FALSE(CdwBuildRecordDiscEx(layout, options, &ex, &error));
    options.checksumOnly = false;
    layout.tracks.resize(101, layout.tracks[0]);
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
    layout.tracks.resize(1);
    options.refillPercent = 100;
    EXPECT_FALSE(CdwBuildRecordDisc(layout, options, &disc, &error));
}

TEST(ToolValues, SpeedsSizesCommandBlocksAndFaults) {
    std::string e;
    /* 4b: 4 x 4,495,500 bytes/s, 13 x 1,385,000 on a DVD recorder. */
    const std::tuple<const char *, double, uint32_t, bool> speeds[] = {
        {"16c", 16 * 153600.0, 16, false},
        {"24", 24 * 153600.0, 24, false},
        {"8d", 8 * 1385000.0, 8, true},
        {"4b", 4 * 4495500.0, 13, true},
        {"MAX", 0, 0, false},
        {"0.4c", 0.4 * 153600, 1, false}};
    SpeedSpec s;
    for (const char *bad : {"fast", "c", "-4c", "16q", ""})
        EXPECT_FALSE(ParseSpeed(bad, &s, &e)) << bad;
    for (const auto &[text, bytesPerSecond, simMultiple, isDvd] : speeds) {
        bool dvd = !isDvd;
        ASSERT_TRUE(ParseSpeed(text, &s, &e)) << text;
        EXPECT_DOUBLE_EQ(s.BytesPerSecond(), bytesPerSecond) << text;
        EXPECT_EQ(s.SimMultiple(&dvd), simMultiple) << text;
        EXPECT_EQ(dvd, isDvd) << text;
    }

    uint64_t bytes = 0;
    for (const char *bad : {"m", "4t", "-1", "0", "8g"})
        EXPECT_FALSE(ParseSize(bad, &bytes, &e)) << bad;
    uint64_t m = 0, k = 0;
    ASSERT_TRUE(ParseSize("4m", &m, &e) && ParseSize("512K", &k, &e) &&
                ParseSize("1000", &bytes, &e));
    EXPECT_EQ(std::vector<uint64_t>({m, k, bytes}),
              std::vector<uint64_t>({4u << 20, 512u << 10, 1000}));

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

    /* Each fault is on the text's last line, which the message names. */
    for (std::string text :
         {"recorder\nrecorder speed=fast\n", "recorder colour=red\n", "desktop speed=8d\n",
          "cache 1 /x\n", "cache D /x\ncache d /y\n", "\n\ntoaster\n", "recorder address=1:2:3\n",
          "recorder product=\"open\n"}) {
        const std::string where =
            "inst:" + std::to_string(std::count(text.begin(), text.end(), '\n'));
        EXPECT_FALSE(ParseInstall(text, "inst", &spec, &e)) << text;
        EXPECT_EQ(e.rfind(where + ": ", 0), 0u) << text << " -> " << e;
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
    ASSERT_TRUE(ParseArgs({"record", "IMG", "--speed=24c"}, &o, &e)) << e;
    EXPECT_EQ(o.speed.text, "24c");

    ASSERT_TRUE(ParseArgs({"scsi", "d1", "12 00 00 00 24 00", "--read", "36"}, &o, &e)) << e;
    EXPECT_TRUE(o.scsiDesktop);
    EXPECT_EQ(o.scsiRecorder, 1u);
    EXPECT_EQ(o.readLength, 36u);

    const std::pair<std::vector<const char *>, const char *> bad[] = {
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
    for (const auto &[args, what] : bad) {
        EXPECT_FALSE(ParseArgs(args, &o, &e)) << what;
        EXPECT_NE(e.find(what), std::string::npos) << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
}

TEST(ToolOutput, ProgressLines) {
    ProgressView v{0, 312ull << 20, 650ull << 20, FifoPercent(47, 48), BufferPercent(100, 12), 16};
    EXPECT_EQ(RenderProgress(v), "Recorder 0: 312 of 650 MB written (fifo 97%) [buf 88%] 16.0x.");
    EXPECT_EQ(RenderProgress({2, 1 << 20, 5 << 20}), "Recorder 2: 1.0 of 5.0 MB written.");
    EXPECT_EQ(FifoPercent(60, 48), 100);
    EXPECT_EQ(FifoPercent(1, 0), -1);
    EXPECT_EQ(BufferPercent(0, 0), -1);
    EXPECT_EQ(BufferPercent(100, 101), -1);
    EXPECT_EQ(FormatDuration(12.34), "12.3 s");
    EXPECT_EQ(FormatDuration(125), "2:05");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatSize(650ull << 20), "650 MB");
}

TEST(ToolOutput, JsonAndScsiTexts) {
    JsonWriter j;
    j.BeginObject().Field("a", 1).Field("s", std::string("q\"\\\n\x01")).Key("l").BeginArray();
    j.Int(-1).Bool(true).Null().BeginObject().EndObject().EndArray().Field("d", 2.5).EndObject();
    EXPECT_EQ(j.Text(),
              "{\"a\":1,\"s\":\"q\\\"\\\\\\n\\u0001\",\"l\":[-1,true,null,{}],\"d\":2.50}");

    EXPECT_EQ(CdwOutcomeName(7), "STATUS_7");
    EXPECT_EQ(CdwSrbStatusName(0xC4), "ERROR|QUEUE_FROZEN|AUTOSENSE_VALID");
    EXPECT_EQ(CdwAscName(0x0C, 0x09), "WRITE ERROR - LOSS OF STREAMING");
    EXPECT_EQ(CdwAscName(0x0C, 0x55), "");

    std::vector<uint8_t> capacity = {0, 10, 0, 0, 0, 0x20, 0, 0, 0, 0x08, 0, 0};
    uint32_t length = 0, blank = 0;
    ASSERT_TRUE(CdwParseBufferCapacity(capacity, &length, &blank));
    EXPECT_EQ(length, 0x200000u);
    EXPECT_EQ(blank, 0x80000u);
    capacity.resize(11);
    EXPECT_FALSE(CdwParseBufferCapacity(capacity, &length, &blank));
}
