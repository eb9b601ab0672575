/*
 * record_request.h - the record-disc parameter blocks built from an image layout, and the
 * application's side of preparing a recorder and starting one recording.
 */
#pragma once

#include "cdw_client.h"
#include "image_layout.h"

#include <string>

enum class CdwRequestKind {
    Disc, /* IOCTL_RECORDER_RECORD_DISC: name of at most 31 characters on a cache drive */
    Ex,   /* IOCTL_RECORDER_RECORD_DISC_EX: one track, read as the caller */
    Ex2,  /* IOCTL_RECORDER_RECORD_DISC_EX2: long name, read under the cache-drive lock */
};

const char *CdwRequestKindName(CdwRequestKind kind);

/* "disc" / "ex" / "ex2"; false for anything else. */
bool CdwParseRequestKind(const std::string &text, CdwRequestKind *kind);

/* Longest object name each block carries (NUL excluded). */
size_t CdwMaxObjectName(CdwRequestKind kind);

/* The plain request when the name fits its 32-byte field, otherwise the EX2 request. */
CdwRequestKind CdwDefaultRequestKind(const std::string &objectName);

/* "\??\D:\dir\file.iso" for a path relative to the directory mapped to the drive letter
   (slashes become backslashes). */
std::string CdwObjectName(char driveLetter, const std::string &relativePath);

/*
 * The record-disc blocks carry the name as ANSI text, which the system turns into Unicode one
 * byte per character (the host's ANSI code page is Latin-1). Converts a UTF-8 name into that
 * form; false when it has a character beyond U+00FF or is no valid UTF-8.
 */
bool CdwAnsiObjectName(const std::string &utf8, std::string *ansi);

struct CdwRecordOptions {
    std::string objectName;     /* object-manager path of the image */
    bool bufferedRead = false;  /* read through the system cache */
    bool checksumOnly = false;  /* sum the data instead of writing it */
    uint32_t writeMode = 0;     /* bits 0-3 of the mode word */
    uint32_t recordFlags = 0;   /* the mode word's other bits */
    uint32_t refillPercent = 0; /* 10..99; 0 keeps the driver's threshold */
    bool writeTdb = false;      /* pre-gap blocks carry a track descriptor block */
    uint8_t tdbTrackNumber = 1;
    uint32_t initialBlocksWritten = 0;
};

/*
 * Builds one of the blocks. Returns false with a one-line reason when the layout or the
 * options cannot be expressed in it (too many tracks, a name too long for the field, a
 * track not at a 512-byte position, more than one track or checksum-only mode with the EX
 * block, ...).
 */
bool CdwBuildRecordDisc(const CdwImageLayout &layout, const CdwRecordOptions &options,
                        RECORD_DISC_REQUEST *block, std::string *error);
bool CdwBuildRecordDiscEx(const CdwImageLayout &layout, const CdwRecordOptions &options,
                          RECORD_DISC_EX_REQUEST *block, std::string *error);
bool CdwBuildRecordDiscEx2(const CdwImageLayout &layout, const CdwRecordOptions &options,
                           RECORD_DISC_EX2_REQUEST *block, std::string *error);

/* Checks that a layout and options can be sent with the given request (as the builders do). */
bool CdwCheckRecordRequest(CdwRequestKind kind, const CdwImageLayout &layout,
                           const CdwRecordOptions &options, std::string *error);

/* Builds the block of the given kind and sends it to the recorder. */
CdwStatus CdwStartRecording(CdwDevice &recorder, CdwRequestKind kind, const CdwImageLayout &layout,
                            const CdwRecordOptions &options, std::string *error);

/* Shifts the tracks behind a generated pre-gap of n blocks (of the first track's size) that
   starts at disc block 0. */
void CdwSetPregap(CdwImageLayout *layout, uint32_t blocks);
