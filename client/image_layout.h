/*
 * image_layout.h - what an application records: one image file, its tracks and the pre-gap
 * ahead of the first track, as the record-disc requests describe them.
 *
 * A plain image is one track of 2048-byte blocks. A CUE sheet with its BIN file gives several
 * tracks of different modes; the layout keeps byte offsets into the image file, and the
 * record-disc blocks are built from it (record_request.h).
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/* Track format codes carried in TRACK_ENTRY.trackFormat: the driver only compares them. */
enum CdwTrackFormat : uint32_t {
    CDW_FORMAT_MODE1_2048 = 1,
    CDW_FORMAT_MODE1_2352 = 2,
    CDW_FORMAT_MODE2_2336 = 3,
    CDW_FORMAT_MODE2_2352 = 4,
    CDW_FORMAT_AUDIO = 5,
};

/* Name of a CUE track mode ("MODE1/2048", "AUDIO", ...), format code and block size. */
struct CdwTrackMode {
    const char *name;
    CdwTrackFormat format;
    uint32_t blockSize;
};

/* The modes a CUE sheet may name; returns nullptr for an unknown name (case-insensitive). */
const CdwTrackMode *CdwFindTrackMode(const std::string &name);

/* The mode of a format code (nullptr for an unknown code). */
const CdwTrackMode *CdwTrackModeOf(uint32_t format);

struct CdwTrack {
    int number = 1;                          /* track number as the CUE sheet gives it */
    uint32_t format = CDW_FORMAT_MODE1_2048; /* trackFormat */
    uint32_t blockSize = 2048;               /* bytes per block, in the image and on disc */
    uint32_t startBlock = 0;                 /* disc address of the first block */
    uint64_t fileOffset = 0;                 /* byte position of the first block in the image */
    uint32_t nBlocks = 0;                    /* blocks in the track */
    uint64_t dataBytes = 0;                  /* bytes of the image the track covers (the
                                                last track may end in a partial block that
                                                the driver pads with zeros) */
    uint32_t gapBlocks = 0; /* its first blocks that are its pre-gap (INDEX 00 to INDEX 01);
                               the first track's pre-gap is the layout's generated one */
    std::string isrc;       /* ISRC of the CUE sheet, "" when none */
    uint8_t flags = 0;      /* the CUE sheet's FLAGS as control bits (CDW_FLAG_...) */
};

/* FLAGS of a CUE sheet track, as the control field of its Q sub-channel holds them. */
constexpr uint8_t CDW_FLAG_PRE_EMPHASIS = 0x1, CDW_FLAG_COPY_PERMITTED = 0x2,
                  CDW_FLAG_FOUR_CHANNEL = 0x8;

/* A BIN file of a CUE sheet, or the bytes of one of its tracks, and where it lies in the image
   the recorder reads. */
struct CdwSourceFile {
    std::string path;
    uint64_t size = 0;        /* bytes taken from the file */
    uint64_t imageOffset = 0; /* a multiple of 512 */
    uint64_t paddedSize = 0;  /* its bytes, its last block padded, rounded up to 512 */
    uint64_t fileOffset = 0;  /* where they start in the file */
};

struct CdwImageLayout {
    std::string imagePath;              /* the one image file the recorder reads ("" while a
                                           CUE sheet of several FILEs is not yet assembled) */
    std::vector<CdwSourceFile> sources; /* the BIN files of a CUE sheet */
    uint32_t pregapStartBlock = 0;
    uint32_t pregapBlockSize = 2048;
    uint32_t nPregapBlocks = 0; /* generated (zero-filled) blocks ahead of the first track */
    std::vector<CdwTrack> tracks;
    std::string catalog;            /* media catalog number of the CUE sheet, "" when none */
    std::vector<std::string> notes; /* what of the CUE sheet the recording leaves out, one line
                                       each, for the user */

    /* Blocks on the disc, pre-gap included. */
    uint64_t DiscBlocks() const;
    /* Bytes on the disc, pre-gap included. */
    uint64_t DiscBytes() const;
    /* Number of block-size changes between consecutive tracks (format changes). */
    int FormatChanges() const;
};

/* Size of a file in bytes; returns false (with a reason) when it cannot be read. */
using CdwFileSizeFn =
    std::function<bool(const std::string &path, uint64_t *size, std::string *why)>;

/* The size function that asks the file system (and checks that the file can be read). */
bool CdwHostFileSize(const std::string &path, uint64_t *size, std::string *why);

/*
 * A plain image: one MODE1/2048 track from byte 0 to the end of the file, starting at disc
 * block 0 (a size that is not a multiple of 2048 ends in a zero-padded block).
 * Returns false with a one-line message when the file is empty or cannot be read.
 */
bool CdwLayoutFromPlainImage(const std::string &path, const CdwFileSizeFn &fileSize,
                             CdwImageLayout *layout, std::string *error);

/*
 * Parses the text of a CUE sheet. cuePath names the sheet in messages; FILE names are taken
 * relative to cueDir. Errors are one line: "<cuePath>:<line>: <what is wrong>".
 *
 * Rules: one or more FILE ... BINARY, each holding whole tracks; TRACK nn MODE1/2048 |
 * MODE1/2352 | MODE2/2336 | MODE2/2352 | AUDIO; INDEX 00 / INDEX 01 / INDEX nn (nn > 1
 * ignored) mm:ss:ff positions in the FILE; PREGAP mm:ss:ff on the first track only; CATALOG
 * (13 digits), a track's ISRC (12 characters) and its FLAGS (DCP, 4CH, PRE) are kept for the
 * cue sheet of the recorder; REM, TITLE, PERFORMER, SONGWRITER, CDTEXTFILE and FLAGS of other
 * kinds (SCMS) are ignored. The layout's notes name
 * every ignored line but REM (a comment), and the bytes of the first track's FILE ahead of its
 * INDEX 01, which are not recorded.
 *
 * Disc layout: the first track's pre-gap (INDEX 00 to INDEX 01, or PREGAP) becomes the
 * generated pre-gap of the recording at disc block 0 (its bytes in the file, if any, are not
 * recorded); every later track starts at its INDEX 00 when it has one (its gap is recorded
 * from the file in the track's own mode), else at INDEX 01. The driver addresses the image in
 * 512-byte units: when a track starts elsewhere in its file (any sector of a 2352-byte track),
 * every track becomes a source of its own and the assembled image holds each at a 512-byte
 * position (a note says so).
 *
 * The recorder reads one image file. With one FILE whose tracks all start at 512-byte
 * positions that is the BIN file itself; otherwise the layout's imagePath stays empty and
 * CdwAssembleImage writes the image: the FILEs (or the tracks) one
 * after the other, each padded to a whole last block and to a multiple of 512 bytes (track
 * positions in the layout are already those of the assembled image).
 */
bool CdwParseCueSheet(const std::string &text, const std::string &cuePath,
                      const std::string &cueDir, const CdwFileSizeFn &fileSize,
                      CdwImageLayout *layout, std::string *error);

/* Writes the assembled image of a layout with several source files to path, and makes it the
   layout's image. */
bool CdwAssembleImage(CdwImageLayout *layout, const std::string &path, std::string *error);

/* Reads and parses a CUE sheet file (the FILE is looked up beside it). */
bool CdwLoadCueSheet(const std::string &cuePath, CdwImageLayout *layout, std::string *error);

/* True when the path names a CUE sheet (ends in ".cue", any case). */
bool CdwIsCueSheetName(const std::string &path);
