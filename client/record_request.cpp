/*
 * record_request.cpp - record-disc blocks from an image layout.
 */
#include "record_request.h"

#include <cstring>

namespace {

bool CheckCommon(const CdwImageLayout &layout, const CdwRecordOptions &options, size_t maxName,
                 size_t maxTracks, std::string *error) {
    if (layout.tracks.empty()) {
        *error = "the image has no track";
        return false;
    }
    if (layout.tracks.size() > maxTracks) {
        *error = "the request carries at most " + std::to_string(maxTracks) +
                 (maxTracks == 1 ? " track" : " tracks") + ", the image has " +
                 std::to_string(layout.tracks.size());
        return false;
    }
    if (options.objectName.empty() || options.objectName.size() > maxName) {
        *error = "image name \"" + options.objectName + "\" does not fit the request (at most " +
                 std::to_string(maxName) + " characters)";
        return false;
    }
    for (const auto &t : layout.tracks) {
        if (t.blockSize == 0 || t.blockSize > MAX_BLOCK_SIZE) {
            *error = "track " + std::to_string(t.number) + " has an unsupported block size";
            return false;
        }
    }
    if (layout.nPregapBlocks != 0 &&
        (layout.pregapBlockSize == 0 || layout.pregapBlockSize > MAX_BLOCK_SIZE)) {
        *error = "unsupported pre-gap block size";
        return false;
    }
    if (options.writeMode > 0xF) {
        *error = "write mode must be 0 to 15";
        return false;
    }
    if (options.refillPercent != 0 && (options.refillPercent < 10 || options.refillPercent > 99)) {
        *error = "refill percentage must be 10 to 99";
        return false;
    }
    if (options.tdbTrackNumber > 99) {
        *error = "track descriptor track number must be 0 to 99";
        return false;
    }
    return true;
}

bool FillTrack(const CdwTrack &t, uint64_t base, TRACK_ENTRY *entry, std::string *error) {
    uint64_t offset = t.fileOffset - base;
    if (offset % 512 != 0) {
        *error = "track " + std::to_string(t.number) + " starts at byte " +
                 std::to_string(t.fileOffset) +
                 " of the image, not a multiple of 512: the recorder reads images in 512-byte "
                 "units";
        return false;
    }
    if (offset / 512 > 0xFFFFFFFFull) {
        *error = "track " + std::to_string(t.number) + " lies beyond what the request can address";
        return false;
    }
    entry->trackFormat = t.format;
    entry->blockSize = t.blockSize;
    entry->startBlock = t.startBlock;
    entry->hdStartBlock = static_cast<uint32_t>(offset / 512);
    entry->nBlocks = t.nBlocks;
    return true;
}

/* Fills the fields shared by the plain and the EX2 block (offsets 0x024 to 0x819). */
template <typename Block>
bool FillShared(const CdwImageLayout &layout, const CdwRecordOptions &options, Block *block,
                std::string *error) {
    block->bBufferedRead = options.bufferedRead ? 1 : 0;
    block->bChecksumOnly = options.checksumOnly ? 1 : 0;
    block->pregapStartBlock = layout.pregapStartBlock;
    block->pregapBlockSize = layout.nPregapBlocks != 0 ? layout.pregapBlockSize : 0;
    block->nPregapBlocks = layout.nPregapBlocks;
    block->numTracks = static_cast<uint32_t>(layout.tracks.size());
    block->initialBlocksWritten = options.initialBlocksWritten;
    block->modeWord = (options.writeMode & 0xF) | (options.recordFlags & ~0xFu);
    for (size_t i = 0; i < layout.tracks.size(); i++)
        if (!FillTrack(layout.tracks[i], 0, &block->tracks[i], error))
            return false;
    block->refillPercent = options.refillPercent;
    block->bWriteTdb = options.writeTdb ? 1 : 0;
    block->tdbTrackNumber = options.tdbTrackNumber;
    return true;
}

} // namespace

const char *CdwRequestKindName(CdwRequestKind kind) {
    switch (kind) {
    case CdwRequestKind::Disc:
        return "disc";
    case CdwRequestKind::Ex:
        return "ex";
    default:
        return "ex2";
    }
}

bool CdwParseRequestKind(const std::string &text, CdwRequestKind *kind) {
    if (text == "disc")
        *kind = CdwRequestKind::Disc;
    else if (text == "ex")
        *kind = CdwRequestKind::Ex;
    else if (text == "ex2")
        *kind = CdwRequestKind::Ex2;
    else
        return false;
    return true;
}

size_t CdwMaxObjectName(CdwRequestKind kind) {
    return kind == CdwRequestKind::Disc ? sizeof(RECORD_DISC_REQUEST::imageName) - 1
                                        : sizeof(RECORD_DISC_EX2_REQUEST::imageName) - 1;
}

CdwRequestKind CdwDefaultRequestKind(const std::string &objectName) {
    return objectName.size() <= CdwMaxObjectName(CdwRequestKind::Disc) ? CdwRequestKind::Disc
                                                                       : CdwRequestKind::Ex2;
}

std::string CdwObjectName(char driveLetter, const std::string &relativePath) {
    std::string name = "\\??\\";
    name += driveLetter;
    name += ":";
    std::string rel = relativePath;
    for (auto &c : rel)
        if (c == '/')
            c = '\\';
    if (rel.empty() || rel[0] != '\\')
        name += "\\";
    name += rel;
    return name;
}

bool CdwAnsiObjectName(const std::string &utf8, std::string *ansi) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            i++;
        } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
                   (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((c & 0x1F) << 6) |
                                     (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
            i += 2;
        } else {
            return false;
        }
    }
    *ansi = out;
    return true;
}

bool CdwCheckRecordRequest(CdwRequestKind kind, const CdwImageLayout &layout,
                           const CdwRecordOptions &options, std::string *error) {
    switch (kind) {
    case CdwRequestKind::Disc: {
        RECORD_DISC_REQUEST block;
        return CdwBuildRecordDisc(layout, options, &block, error);
    }
    case CdwRequestKind::Ex: {
        RECORD_DISC_EX_REQUEST block;
        return CdwBuildRecordDiscEx(layout, options, &block, error);
    }
    default: {
        RECORD_DISC_EX2_REQUEST block;
        return CdwBuildRecordDiscEx2(layout, options, &block, error);
    }
    }
}

bool CdwBuildRecordDisc(const CdwImageLayout &layout, const CdwRecordOptions &options,
                        RECORD_DISC_REQUEST *block, std::string *error) {
    memset(block, 0, sizeof(*block));
    if (!CheckCommon(layout, options, CdwMaxObjectName(CdwRequestKind::Disc), MAX_TRACKS, error))
        return false;
    memcpy(block->imageName, options.objectName.data(), options.objectName.size());
    return FillShared(layout, options, block, error);
}

bool CdwBuildRecordDiscEx2(const CdwImageLayout &layout, const CdwRecordOptions &options,
                           RECORD_DISC_EX2_REQUEST *block, std::string *error) {
    memset(block, 0, sizeof(*block));
    if (!CheckCommon(layout, options, CdwMaxObjectName(CdwRequestKind::Ex2), MAX_TRACKS, error))
        return false;
    memcpy(block->imageName, options.objectName.data(), options.objectName.size());
    return FillShared(layout, options, block, error);
}

bool CdwBuildRecordDiscEx(const CdwImageLayout &layout, const CdwRecordOptions &options,
                          RECORD_DISC_EX_REQUEST *block, std::string *error) {
    memset(block, 0, sizeof(*block));
    if (!CheckCommon(layout, options, CdwMaxObjectName(CdwRequestKind::Ex), 1, error))
        return false;
    if (options.checksumOnly) {
        *error = "the ex request has no checksum-only mode";
        return false;
    }
    const CdwTrack &t = layout.tracks[0];
    if (t.fileOffset > 0xFFFFFFFFull) {
        *error = "the track lies beyond what the ex request can address";
        return false;
    }
    memcpy(block->imageName, options.objectName.data(), options.objectName.size());
    /* The byte offset carries the track's position, so it need not be 512-aligned. */
    block->imageByteOffset = static_cast<uint32_t>(t.fileOffset);
    block->pregapStartBlock = layout.pregapStartBlock;
    block->pregapBlockSize = layout.nPregapBlocks != 0 ? layout.pregapBlockSize : 0;
    block->nPregapBlocks = layout.nPregapBlocks;
    block->numTracks = 1;
    block->initialBlocksWritten = options.initialBlocksWritten;
    block->modeWord = (options.writeMode & 0xF) | (options.recordFlags & ~0xFu);
    if (!FillTrack(t, t.fileOffset, &block->tracks[0], error))
        return false;
    block->refillPercent = options.refillPercent;
    block->bWriteTdb = options.writeTdb ? 1 : 0;
    block->tdbTrackNumber = options.tdbTrackNumber;
    return true;
}

CdwStatus CdwStartRecording(CdwDevice &recorder, CdwRequestKind kind, const CdwImageLayout &layout,
                            const CdwRecordOptions &options, std::string *error) {
    const CdwStatus invalid = static_cast<CdwStatus>(0xC000000Du);
    switch (kind) {
    case CdwRequestKind::Disc: {
        RECORD_DISC_REQUEST block;
        if (!CdwBuildRecordDisc(layout, options, &block, error))
            return invalid;
        return recorder.RecordDisc(block);
    }
    case CdwRequestKind::Ex: {
        RECORD_DISC_EX_REQUEST block;
        if (!CdwBuildRecordDiscEx(layout, options, &block, error))
            return invalid;
        return recorder.RecordDiscEx(block);
    }
    default: {
        RECORD_DISC_EX2_REQUEST block;
        if (!CdwBuildRecordDiscEx2(layout, options, &block, error))
            return invalid;
        return recorder.RecordDiscEx2(block);
    }
    }
}

void CdwSetPregap(CdwImageLayout *layout, uint32_t blocks) {
    layout->nPregapBlocks = blocks;
    layout->pregapStartBlock = 0;
    if (!layout->tracks.empty())
        layout->pregapBlockSize = layout->tracks[0].blockSize;
    uint32_t disc = blocks;
    for (auto &t : layout->tracks) {
        t.startBlock = disc;
        disc += t.nBlocks;
    }
}
