/*
 * image_layout.cpp - plain images and CUE sheets turned into the track table of a recording.
 */
#include "image_layout.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const CdwTrackMode kModes[] = {
    {"MODE1/2048", CDW_FORMAT_MODE1_2048, 2048}, {"MODE1/2352", CDW_FORMAT_MODE1_2352, 2352},
    {"MODE2/2336", CDW_FORMAT_MODE2_2336, 2336}, {"MODE2/2352", CDW_FORMAT_MODE2_2352, 2352},
    {"AUDIO", CDW_FORMAT_AUDIO, 2352},
};

/* One TRACK of the sheet while it is being read; positions in frames of the file. */
struct CueTrack {
    int number = 0;
    int line = 0;
    const CdwTrackMode *mode = nullptr;
    long index0 = -1;
    long index1 = -1;
    long pregap = -1;
    std::string isrc;
    uint8_t flags = 0;
};

std::string Upper(std::string s) {
    for (auto &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

/* Splits a line into words; a double-quoted word may hold blanks. Returns false on an
   unterminated quote. */
bool SplitWords(const std::string &line, std::vector<std::string> *words) {
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            i++;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                return false;
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])))
                word += line[i++];
        }
        words->push_back(word);
    }
    return true;
}

/* mm:ss:ff to frames (75 per second); false when the text is no such position. */
bool ParseMsf(const std::string &text, long *frames) {
    unsigned long part[3];
    size_t pos = 0;
    for (int k = 0; k < 3; k++) {
        size_t start = pos;
        while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos])))
            pos++;
        if (pos == start || pos - start > 4)
            return false;
        part[k] = std::stoul(text.substr(start, pos - start));
        if (k < 2) {
            if (pos >= text.size() || text[pos] != ':')
                return false;
            pos++;
        }
    }
    if (pos != text.size() || part[1] > 59 || part[2] > 74)
        return false;
    *frames = static_cast<long>((part[0] * 60 + part[1]) * 75 + part[2]);
    return true;
}

std::string Where(const std::string &cuePath, int line) {
    return cuePath + ":" + std::to_string(line) + ": ";
}

} // namespace

const CdwTrackMode *CdwFindTrackMode(const std::string &name) {
    for (const auto &m : kModes)
        if (strcasecmp(m.name, name.c_str()) == 0)
            return &m;
    return nullptr;
}

const CdwTrackMode *CdwTrackModeOf(uint32_t format) {
    for (const auto &m : kModes)
        if (m.format == format)
            return &m;
    return nullptr;
}

uint64_t CdwImageLayout::DiscBlocks() const {
    uint64_t n = nPregapBlocks;
    for (const auto &t : tracks)
        n += t.nBlocks;
    return n;
}

uint64_t CdwImageLayout::DiscBytes() const {
    uint64_t n =
        static_cast<uint64_t>(nPregapBlocks) * (tracks.empty() ? 2048 : tracks[0].blockSize);
    for (const auto &t : tracks)
        n += static_cast<uint64_t>(t.nBlocks) * t.blockSize;
    return n;
}

int CdwImageLayout::FormatChanges() const {
    int changes = 0;
    for (size_t i = 1; i < tracks.size(); i++)
        if (tracks[i].format != tracks[i - 1].format)
            changes++;
    return changes;
}

bool CdwHostFileSize(const std::string &path, uint64_t *size, std::string *why) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *why = "is a directory";
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    char probe;
    ssize_t got = read(fd, &probe, 1);
    int readErrno = errno;
    close(fd);
    if (got < 0) {
        *why = strerror(readErrno);
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool CdwLayoutFromPlainImage(const std::string &path, const CdwFileSizeFn &fileSize,
                             CdwImageLayout *layout, std::string *error) {
    uint64_t size = 0;
    std::string why;
    if (!fileSize(path, &size, &why)) {
        *error = "cannot read image \"" + path + "\": " + why;
        return false;
    }
    if (size == 0) {
        *error = "image \"" + path + "\" is empty";
        return false;
    }
    if ((size + 2047) / 2048 > 0xFFFFFFFFull) {
        *error = "image \"" + path + "\" is too large";
        return false;
    }
    *layout = CdwImageLayout();
    layout->imagePath = path;
    CdwTrack t;
    t.nBlocks = static_cast<uint32_t>((size + 2047) / 2048);
    t.dataBytes = size;
    layout->tracks.push_back(t);
    return true;
}

bool CdwIsCueSheetName(const std::string &path) {
    return path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".cue") == 0;
}

bool CdwParseCueSheet(const std::string &text, const std::string &cuePath,
                      const std::string &cueDir, const CdwFileSizeFn &fileSize,
                      CdwImageLayout *layout, std::string *error) {
    struct CueFile {
        std::string name;
        int line = 0;
        std::string path;
        uint64_t size = 0;
        uint64_t imageOffset = 0;
        uint64_t paddedSize = 0;
    };
    std::vector<CueFile> files;
    std::vector<CueTrack> tracks;
    std::vector<size_t> trackFile; /* FILE of each track */
    std::string catalog;
    std::string unused; /* "2 (TITLE), 7 (INDEX 02)" */
    auto notUsed = [&unused](int line, const std::string &what) {
        unused += (unused.empty() ? "" : ", ") + std::to_string(line) + " (" + what + ")";
    };
    int lineNo = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        std::vector<std::string> w;
        if (!SplitWords(line, &w)) {
            *error = Where(cuePath, lineNo) + "unterminated quote";
            return false;
        }
        if (w.empty())
            continue;
        std::string key = Upper(w[0]);
        if (key == "REM")
            continue;
        if (key == "FLAGS" && !tracks.empty()) {
            /* DCP, 4CH and PRE go into the track's control field; SCMS (serial copy
               management) has no place in a cue sheet. */
            bool unknown = w.size() < 2;
            uint8_t flags = 0;
            for (size_t i = 1; i < w.size(); i++) {
                std::string f = Upper(w[i]);
                if (f == "DCP")
                    flags |= CDW_FLAG_COPY_PERMITTED;
                else if (f == "4CH")
                    flags |= CDW_FLAG_FOUR_CHANNEL;
                else if (f == "PRE")
                    flags |= CDW_FLAG_PRE_EMPHASIS;
                else
                    unknown = true;
            }
            tracks.back().flags = flags;
            if (unknown)
                notUsed(lineNo, "FLAGS");
            continue;
        }
        if (key == "TITLE" || key == "PERFORMER" || key == "SONGWRITER" || key == "FLAGS" ||
            key == "CDTEXTFILE") {
            notUsed(lineNo, key);
            continue;
        }
        if (key == "CATALOG") {
            bool digits = w.size() == 2 && w[1].size() == 13;
            for (char c : digits ? w[1] : std::string())
                digits = digits && isdigit(static_cast<unsigned char>(c));
            if (!digits) {
                *error = Where(cuePath, lineNo) + "expected CATALOG and 13 digits";
                return false;
            }
            catalog = w[1];
        } else if (key == "ISRC") {
            if (tracks.empty()) {
                *error = Where(cuePath, lineNo) + "ISRC before TRACK";
                return false;
            }
            bool valid = w.size() == 2 && w[1].size() == 12;
            for (size_t i = 0; valid && i < 12; i++) {
                unsigned char c = static_cast<unsigned char>(w[1][i]);
                valid = i < 2 ? isupper(c) : i < 5 ? (isupper(c) || isdigit(c)) : isdigit(c);
            }
            if (!valid) {
                *error = Where(cuePath, lineNo) +
                         "expected ISRC CCOOOYYSSSSS (country, owner, year, serial number)";
                return false;
            }
            tracks.back().isrc = w[1];
        } else if (key == "FILE") {
            if (w.size() != 3) {
                *error = Where(cuePath, lineNo) + "expected FILE \"name\" BINARY";
                return false;
            }
            if (Upper(w[2]) != "BINARY") {
                *error = Where(cuePath, lineNo) + "file type " + w[2] +
                         " is not supported (only BINARY)";
                return false;
            }
            if (w[1].empty()) {
                *error = Where(cuePath, lineNo) + "empty file name";
                return false;
            }
            if (!files.empty() && (tracks.empty() || trackFile.back() != files.size() - 1)) {
                *error = Where(cuePath, lineNo) + "the FILE on line " +
                         std::to_string(files.back().line) + " has no TRACK";
                return false;
            }
            if (!tracks.empty() && tracks.back().index1 < 0) {
                *error = Where(cuePath, lineNo) + "track " + std::to_string(tracks.back().number) +
                         " would continue in the next FILE: a track must lie in one FILE";
                return false;
            }
            CueFile f;
            f.name = w[1];
            f.line = lineNo;
            files.push_back(f);
        } else if (key == "TRACK") {
            if (files.empty()) {
                *error = Where(cuePath, lineNo) + "TRACK before FILE";
                return false;
            }
            if (w.size() != 3) {
                *error = Where(cuePath, lineNo) + "expected TRACK nn MODE";
                return false;
            }
            CueTrack t;
            t.line = lineNo;
            char *end = nullptr;
            long n = strtol(w[1].c_str(), &end, 10);
            if (*end != '\0' || n < 1 || n > 99) {
                *error = Where(cuePath, lineNo) + "bad track number \"" + w[1] + "\" (1 to 99)";
                return false;
            }
            int expected = tracks.empty() ? static_cast<int>(n) : tracks.back().number + 1;
            if (n != expected) {
                *error = Where(cuePath, lineNo) + "track " + w[1] + " out of order (expected " +
                         std::to_string(expected) + ")";
                return false;
            }
            t.number = static_cast<int>(n);
            t.mode = CdwFindTrackMode(w[2]);
            if (t.mode == nullptr) {
                *error = Where(cuePath, lineNo) + "unknown track mode \"" + w[2] +
                         "\" (MODE1/2048, MODE1/2352, MODE2/2336, MODE2/2352 or AUDIO)";
                return false;
            }
            tracks.push_back(t);
            trackFile.push_back(files.size() - 1);
        } else if (key == "INDEX") {
            if (tracks.empty()) {
                *error = Where(cuePath, lineNo) + "INDEX before TRACK";
                return false;
            }
            if (trackFile.back() != files.size() - 1) {
                *error = Where(cuePath, lineNo) + "INDEX of track " +
                         std::to_string(tracks.back().number) +
                         " in another FILE: a track must lie in one FILE";
                return false;
            }
            if (w.size() != 3) {
                *error = Where(cuePath, lineNo) + "expected INDEX nn mm:ss:ff";
                return false;
            }
            char *end = nullptr;
            long idx = strtol(w[1].c_str(), &end, 10);
            if (*end != '\0' || w[1].empty() || idx < 0 || idx > 99) {
                *error = Where(cuePath, lineNo) + "bad index number \"" + w[1] + "\"";
                return false;
            }
            long frames;
            if (!ParseMsf(w[2], &frames)) {
                *error = Where(cuePath, lineNo) + "bad position \"" + w[2] + "\" (mm:ss:ff)";
                return false;
            }
            CueTrack &t = tracks.back();
            if (idx == 0) {
                if (t.index0 >= 0 || t.index1 >= 0) {
                    *error = Where(cuePath, lineNo) + "INDEX 00 must come first and only once";
                    return false;
                }
                t.index0 = frames;
            } else if (idx == 1) {
                if (t.index1 >= 0) {
                    *error = Where(cuePath, lineNo) + "second INDEX 01 in track " +
                             std::to_string(t.number);
                    return false;
                }
                if (t.index0 >= 0 && frames < t.index0) {
                    *error = Where(cuePath, lineNo) + "INDEX 01 lies before INDEX 00";
                    return false;
                }
                t.index1 = frames;
            } else if (t.index1 < 0) {
                *error = Where(cuePath, lineNo) + "INDEX " + w[1] + " before INDEX 01";
                return false;
            } else {
                notUsed(lineNo, "INDEX " + w[1]);
            }
        } else if (key == "PREGAP") {
            if (tracks.empty()) {
                *error = Where(cuePath, lineNo) + "PREGAP before TRACK";
                return false;
            }
            if (tracks.size() > 1) {
                *error = Where(cuePath, lineNo) +
                         "PREGAP is supported on the first track only (the recorder generates a "
                         "pre-gap only ahead of the first track)";
                return false;
            }
            long frames;
            if (w.size() != 2 || !ParseMsf(w[1], &frames)) {
                *error = Where(cuePath, lineNo) + "expected PREGAP mm:ss:ff";
                return false;
            }
            tracks.back().pregap = frames;
        } else if (key == "POSTGAP") {
            *error = Where(cuePath, lineNo) + "POSTGAP is not supported";
            return false;
        } else {
            *error = Where(cuePath, lineNo) + "unknown command \"" + w[0] + "\"";
            return false;
        }
    }
    if (files.empty()) {
        *error = Where(cuePath, lineNo) + "no FILE in the CUE sheet";
        return false;
    }
    if (tracks.empty() || trackFile.back() != files.size() - 1) {
        *error = Where(cuePath, files.back().line) + "the FILE has no TRACK";
        return false;
    }
    for (const auto &t : tracks) {
        if (t.index1 < 0) {
            *error =
                Where(cuePath, t.line) + "track " + std::to_string(t.number) + " has no INDEX 01";
            return false;
        }
    }
    if (tracks.size() > 100) {
        *error = Where(cuePath, tracks[100].line) + "more than 100 tracks";
        return false;
    }
    const CueTrack &first = tracks[0];
    if (first.pregap >= 0 && first.index0 >= 0) {
        *error = Where(cuePath, first.line) + "track " + std::to_string(first.number) +
                 " has both PREGAP and INDEX 00";
        return false;
    }
    for (auto &f : files) {
        f.path = f.name;
        if (!f.path.empty() && f.path[0] != '/' && !cueDir.empty())
            f.path = cueDir + "/" + f.path;
        std::string why;
        if (!fileSize(f.path, &f.size, &why)) {
            *error = Where(cuePath, f.line) + "cannot read \"" + f.name + "\": " + why;
            return false;
        }
    }

    *layout = CdwImageLayout();
    layout->catalog = catalog;
    layout->pregapBlockSize = first.mode->blockSize;
    layout->pregapStartBlock = 0;
    if (!unused.empty())
        layout->notes.push_back(cuePath + ": lines the recording does not use: " + unused);
    if (first.index1 > 0)
        layout->notes.push_back(Where(cuePath, first.line) + "the " + std::to_string(first.index1) +
                                " blocks of \"" + files[0].name + "\" ahead of track " +
                                std::to_string(first.number) + "'s INDEX 01 are not recorded" +
                                (first.index0 >= 0 ? " (its pre-gap is recorded as zeros)" : ""));
    if (first.pregap >= 0)
        layout->nPregapBlocks = static_cast<uint32_t>(first.pregap);
    else if (first.index0 >= 0)
        layout->nPregapBlocks = static_cast<uint32_t>(first.index1 - first.index0);

    /*
     * Within each FILE, frame regions: region k runs from G[k] in track k's block size (the
     * first track of a FILE owns everything from the FILE's start). Track k is recorded from
     * frame R[k] of its FILE.
     */
    size_t n = tracks.size();
    std::vector<long> recordStart(n), regionStart(n);
    std::vector<uint64_t> regionByte(n), offsetInFile(n);
    for (size_t k = 0; k < n; k++) {
        bool firstInFile = k == 0 || trackFile[k] != trackFile[k - 1];
        recordStart[k] = (k == 0 || tracks[k].index0 < 0) ? tracks[k].index1 : tracks[k].index0;
        regionStart[k] = firstInFile ? 0 : recordStart[k];
        if (!firstInFile && recordStart[k] <= recordStart[k - 1]) {
            *error = Where(cuePath, tracks[k].line) + "track " + std::to_string(tracks[k].number) +
                     " does not start after track " + std::to_string(tracks[k - 1].number);
            return false;
        }
        regionByte[k] =
            firstInFile
                ? 0
                : regionByte[k - 1] + static_cast<uint64_t>(regionStart[k] - regionStart[k - 1]) *
                                          tracks[k - 1].mode->blockSize;
        offsetInFile[k] = regionByte[k] + static_cast<uint64_t>(recordStart[k] - regionStart[k]) *
                                              tracks[k].mode->blockSize;
    }

    uint32_t discBlock = layout->nPregapBlocks;
    bool unaligned = false; /* a track starts inside a 512-byte unit of its FILE */
    for (size_t k = 0; k < n; k++) {
        const CueTrack &ct = tracks[k];
        const CueFile &file = files[trackFile[k]];
        bool lastInFile = k + 1 == n || trackFile[k + 1] != trackFile[k];
        CdwTrack t;
        t.number = ct.number;
        t.format = ct.mode->format;
        t.blockSize = ct.mode->blockSize;
        t.startBlock = discBlock;
        t.isrc = ct.isrc;
        t.flags = ct.flags;
        if (k > 0 && ct.index0 >= 0)
            t.gapBlocks = static_cast<uint32_t>(ct.index1 - ct.index0);
        if (offsetInFile[k] >= file.size) {
            *error = Where(cuePath, ct.line) + "track " + std::to_string(ct.number) +
                     " starts beyond the end of \"" + file.name + "\"";
            return false;
        }
        if (offsetInFile[k] % 512 != 0 && !unaligned) {
            unaligned = true;
            layout->notes.push_back(
                Where(cuePath, ct.line) + "track " + std::to_string(ct.number) +
                " starts at byte " + std::to_string(offsetInFile[k]) + " of \"" + file.name +
                "\", not a multiple of 512, the unit the recorder reads images in: the tracks "
                "are copied into an image of their own for the run, each at a 512-byte position");
        }
        if (!lastInFile) {
            t.nBlocks = static_cast<uint32_t>(recordStart[k + 1] - recordStart[k]);
            t.dataBytes = static_cast<uint64_t>(t.nBlocks) * t.blockSize;
            if (offsetInFile[k] + t.dataBytes > file.size) {
                *error = Where(cuePath, tracks[k + 1].line) + "\"" + file.name +
                         "\" ends before track " + std::to_string(tracks[k + 1].number);
                return false;
            }
        } else {
            t.dataBytes = file.size - offsetInFile[k];
            t.nBlocks = static_cast<uint32_t>((t.dataBytes + t.blockSize - 1) / t.blockSize);
            /* The FILE ends here: in an assembled image its last block is padded with zeros
               and the next FILE starts at a 512-byte position. */
            uint64_t padded = offsetInFile[k] + static_cast<uint64_t>(t.nBlocks) * t.blockSize;
            files[trackFile[k]].paddedSize = (padded + 511) / 512 * 512;
        }
        discBlock += t.nBlocks;
        layout->tracks.push_back(t);
    }
    uint64_t imageOffset = 0;
    if (unaligned) {
        /* Each track's bytes are a piece of the image of their own, at a 512-byte position,
           its last block padded. */
        for (size_t k = 0; k < n; k++) {
            CdwTrack &t = layout->tracks[k];
            uint64_t padded = (static_cast<uint64_t>(t.nBlocks) * t.blockSize + 511) / 512 * 512;
            layout->sources.push_back(
                {files[trackFile[k]].path, t.dataBytes, imageOffset, padded, offsetInFile[k]});
            t.fileOffset = imageOffset;
            imageOffset += padded;
        }
        return true;
    }
    for (auto &f : files) {
        f.imageOffset = imageOffset;
        imageOffset += f.paddedSize;
        layout->sources.push_back({f.path, f.size, f.imageOffset, f.paddedSize, 0});
    }
    for (size_t k = 0; k < n; k++)
        layout->tracks[k].fileOffset = files[trackFile[k]].imageOffset + offsetInFile[k];
    if (files.size() == 1)
        layout->imagePath = files[0].path;
    return true;
}

bool CdwAssembleImage(CdwImageLayout *layout, const std::string &path, std::string *error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        *error = "cannot create \"" + path + "\": " + strerror(errno);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    for (const auto &source : layout->sources) {
        std::ifstream in(source.path, std::ios::binary);
        if (in)
            in.seekg(static_cast<std::streamoff>(source.fileOffset));
        if (!in) {
            *error = "cannot read \"" + source.path + "\": " + strerror(errno);
            return false;
        }
        uint64_t copied = 0;
        while (copied < source.size) {
            size_t want = static_cast<size_t>(
                source.size - copied < buffer.size() ? source.size - copied : buffer.size());
            in.read(buffer.data(), static_cast<std::streamsize>(want));
            std::streamsize got = in.gcount();
            if (got <= 0) {
                *error = "\"" + source.path + "\" became shorter while it was copied";
                return false;
            }
            out.write(buffer.data(), got);
            copied += static_cast<uint64_t>(got);
        }
        std::vector<char> zeros(static_cast<size_t>(source.paddedSize - source.size), 0);
        out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    out.close();
    if (!out) {
        *error = "cannot write \"" + path + "\": " + strerror(errno);
        return false;
    }
    layout->imagePath = path;
    return true;
}

bool CdwLoadCueSheet(const std::string &cuePath, CdwImageLayout *layout, std::string *error) {
    std::ifstream in(cuePath, std::ios::binary);
    if (!in) {
        *error = "cannot read CUE sheet \"" + cuePath + "\": " + strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string dir = ".";
    size_t slash = cuePath.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : cuePath.substr(0, slash);
    return CdwParseCueSheet(text.str(), cuePath, dir, CdwHostFileSize, layout, error);
}
