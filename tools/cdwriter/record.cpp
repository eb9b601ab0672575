/*
 * record.cpp - `cdwriter record`: prepares the recorders (cache buffers, cache drives), starts
 * one recording per recorder, shows progress, cancels on Ctrl-C, verifies and reports.
 */
#include "install.h"
#include "json.h"
#include "progress.h"
#include "tool.h"

#include "cdw_client.h"
#include "image_layout.h"
#include "mmc.h"
#include "mmc_passthrough.h"
#include "record_request.h"
#include "scsi_text.h"

#include <ntddk.h>
#include <standin/eventlog.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/simrecorder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

/*
 * Signals. Before the recordings start, SIGINT or SIGTERM ends the run at once; while they run
 * it cancels them, and the run ends with 128 + the signal's number once they have stopped (a
 * third signal ends it at once). Every ending removes the scratch files: their names are kept
 * in fixed storage so that the handler can remove them (unlink and rmdir are safe there).
 */
volatile sig_atomic_t gInterrupts = 0;
volatile sig_atomic_t gSignal = 0;
volatile sig_atomic_t gCancelling = 0; /* recordings run: a signal cancels them */

constexpr int kMaxScratch = 40;
char gScratchPath[kMaxScratch][PATH_MAX];
bool gScratchIsDir[kMaxScratch];
volatile sig_atomic_t gScratchCount = 0;

/* Removes the scratch files and directories, newest first. Async-signal-safe. */
void RemoveScratch() {
    for (int i = gScratchCount - 1; i >= 0; i--) {
        if (gScratchIsDir[i])
            rmdir(gScratchPath[i]);
        else
            unlink(gScratchPath[i]);
    }
    gScratchCount = 0;
}

void OnSignal(int sig) {
    gSignal = sig;
    gInterrupts = gInterrupts + 1;
    if (!gCancelling || gInterrupts >= 3) {
        /* Nothing to cancel yet, or the third signal: give up waiting for the recorders. */
        RemoveScratch();
        signal(sig, SIG_DFL);
        raise(sig);
    }
}

/* Adds a scratch path with the signals held, so that the handler sees it whole. */
bool AddScratch(const std::string &path, bool isDir) {
    if (gScratchCount >= kMaxScratch || path.size() >= PATH_MAX)
        return false;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old);
    int i = gScratchCount;
    memcpy(gScratchPath[i], path.c_str(), path.size() + 1);
    gScratchIsDir[i] = isDir;
    gScratchCount = i + 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void CatchSignals() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SleepSeconds(double seconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - ts.tv_sec) * 1e9);
    nanosleep(&ts, nullptr); /* a signal ends the sleep early, which is what we want */
}

std::string Dirname(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Basename(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool RealPath(const std::string &path, std::string *real, std::string *why) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) {
        *why = strerror(errno);
        return false;
    }
    *real = buffer;
    return true;
}

/* Bytes of the first n blocks of the disc (pre-gap in the first track's block size). */
uint64_t BytesOfBlocks(const CdwImageLayout &layout, uint64_t blocks) {
    uint64_t bytes = 0;
    uint32_t first = layout.tracks.empty() ? 2048 : layout.tracks[0].blockSize;
    uint64_t n = blocks < layout.nPregapBlocks ? blocks : layout.nPregapBlocks;
    bytes += n * first;
    blocks -= n;
    for (const auto &t : layout.tracks) {
        n = blocks < t.nBlocks ? blocks : t.nBlocks;
        bytes += n * t.blockSize;
        blocks -= n;
    }
    return bytes;
}

/* Where the images of one directory are reached: a drive letter and the path below it. */
struct CacheDriveUse {
    char letter;
    std::string directory;
    uint16_t address;
};

struct Job {
    unsigned recorder = 0;
    CdwDevice device;
    const CdwImageLayout *layout = nullptr;
    std::unique_ptr<CdwImageLayout> placed; /* the layout moved to the recorder's next
                                               writable address, when that is not where the
                                               image lies */
    std::string imageArgument;
    CdwRecordOptions options;
    std::string displayName; /* the object name as UTF-8 */
    CdwRequestKind kind = CdwRequestKind::Disc;
    char letter = 'D';
    std::string discFile;
    SpeedSpec speed; /* the recorder's write speed: its unit is the unit of the display */
    uint32_t buffers = 0;
    uint32_t maxTransfer = 65536;

    /* The recorder's set-up and closing, through MMC commands over the pass-through request. */
    std::unique_ptr<CdwMmcDevice> mmc;
    CdwMmcSession session;
    bool dummy = false;
    /* After the write pass: SYNCHRONIZE CACHE and the closing run on their own thread, so
       that the other recorders' progress goes on; `finished` when it is over. */
    std::thread closer;
    std::atomic<bool> finished{false};
    bool closing = false;
    bool closed = false;
    std::string closeError; /* what failed after the data, and what the disc was left as */
    std::string leftAs;     /* after a failed pass: the disc's state as the recorder reports it */
    std::string closedHow;  /* after a good one: how it was closed and what the disc is now */

    bool started = false;
    std::string startError;
    bool done = false;
    RECORDING_STATUS status = {};
    double startTime = 0, endTime = 0;
    SpeedMeter meter;
    int bufferPercent = -1;
    double lastBufferQuery = -1e9;

    /* For the summary: the lowest ring and drive-buffer fills seen while the recording was
       fed (-1: not seen), the recorder's buffer underruns (-1: it cannot tell). */
    int minRingPercent = -1;
    int minBufferPercent = -1;
    long underruns = -1;

    bool verified = false;
    std::thread verifier;
    std::atomic<bool> verifyDone{false};
    std::atomic<uint64_t> verifiedBytes{0};
    std::string verifyResult; /* "", "match", "differ", "error" */
    int64_t firstDifferentBlock = -1;
    std::string verifyMessage;

    bool checksumKnown = false;
    uint32_t expectedChecksum = 0;

    uint64_t TotalBytes() const { return layout->DiscBytes(); }
    /* COMPLETE only once the recorder has written its buffer and closed what it had to. */
    bool Complete() const { return status.recordingStatus == RECSTAT_COMPLETE && closed; }
    uint64_t WrittenBytes() const {
        if (status.recordingStatus == RECSTAT_COMPLETE)
            return TotalBytes();
        return BytesOfBlocks(*layout, status.blocksWritten);
    }
    double Seconds() const { return (done ? endTime : Now()) - startTime; }
    /* The recorder granted noticeably less than the speed asked. */
    bool SlowerThanAsked() const {
        return session.grantedKBps != 0 && !speed.max &&
               speed.BytesPerSecond() > session.grantedKBps * 1000.0 * 1.05 *
                                            (speed.unit == 'c' ? kCd1xBytes / kCdAudio1xBytes : 1);
    }
};

std::string SpeedUnitName(const SpeedSpec &speed) {
    return speed.unit == 'd' ? "DVD" : speed.unit == 'b' ? "BD" : "CD";
}

/* Reads the disc back through the recorder, track by track, and compares it with the image. */
void VerifyDisc(Job &job) {
    job.verified = true;
    const CdwImageLayout &layout = *job.layout;
    int fd = open(layout.imagePath.c_str(), O_RDONLY);
    if (fd < 0) {
        job.verifyResult = "error";
        job.verifyMessage = "cannot read the image: " + std::string(strerror(errno));
        return;
    }
    for (const auto &t : layout.tracks) {
        /* Block `index` of the track from the image; zeros past the image's end. A signal
           ends the comparison here. */
        auto image = [&](uint64_t index, uint8_t *buffer, size_t bytes) {
            if (gInterrupts > 0)
                return false;
            memset(buffer, 0, bytes);
            job.verifiedBytes += bytes;
            uint64_t at = index * t.blockSize;
            uint64_t available = t.dataBytes > at ? t.dataBytes - at : 0;
            size_t want = available < bytes ? static_cast<size_t>(available) : bytes;
            for (size_t got = 0; got < want;) {
                ssize_t n = pread(fd, buffer + got, want - got,
                                  static_cast<off_t>(t.fileOffset + at + got));
                if (n <= 0)
                    return false;
                got += static_cast<size_t>(n);
            }
            return true;
        };
        int64_t mismatch = -1;
        if (!job.mmc->Verify(t.startBlock, t.nBlocks, t.blockSize, CdwMmcFormOf(t.format), image,
                             &mismatch)) {
            job.verifyResult = gInterrupts > 0 ? "cancelled" : "error";
            job.verifyMessage = gInterrupts > 0 ? "cancelled" : job.mmc->Error();
            close(fd);
            return;
        }
        if (mismatch >= 0) {
            job.firstDifferentBlock = mismatch;
            job.verifyResult = "differ";
            job.verifyMessage = "first differing block " + std::to_string(mismatch);
            close(fd);
            return;
        }
    }
    close(fd);
    job.verifyResult = "match";
}

/* What the disc was left as, asked again after a failure (empty when it cannot be told). */
std::string DiscLeftAs(Job &job) {
    CdwMmcMedia media;
    if (!job.session.mmc || !job.mmc->ReadMedia(&media) || !media.discInfoValid)
        return "";
    return std::string(CdwMmcDiscStatusName(media.disc.discStatus)) +
           (media.disc.lastSessionState == CDW_SESSION_INCOMPLETE ? ", its session open" : "");
}

/* After the driver's write pass: SYNCHRONIZE CACHE, waiting for the drain, then CLOSE
   TRACK/SESSION as the set-up wants. */
void CloseDisc(Job *job) {
    if (job->mmc->Finish(job->session.setup, job->dummy, 3600)) {
        job->closed = true;
        if (job->session.mmc) {
            std::string how;
            for (uint8_t function : job->session.setup.closeFunctions)
                how += std::string(how.empty() ? "" : ", ") +
                       (function == CDW_MMC_CLOSE_TRACK     ? "CLOSE TRACK"
                        : function == CDW_MMC_CLOSE_SESSION ? "CLOSE SESSION"
                                                            : "FINALIZE");
            if (job->dummy)
                how = "a test write, nothing closed";
            else if (how.empty())
                how = "closed by the recorder after SYNCHRONIZE CACHE";
            std::string left = DiscLeftAs(*job);
            job->closedHow = how + (left.empty() ? "" : "; the disc is " + left);
        }
    } else {
        job->closeError = job->mmc->Error();
        std::string left = DiscLeftAs(*job);
        job->closeError +=
            left.empty() ? "; the disc is left in an unknown state" : "; the disc is left " + left;
    }
    job->finished = true;
}

/* One line of what was found and set up, for the text output. */
std::string SetupLine(const Job &job) {
    const CdwMmcSession &s = job.session;
    std::string line = "Recorder " + std::to_string(job.recorder) + ": ";
    if (!s.mmc)
        return line + "not set up (" + s.unsupported +
               "); recording as the recorder is, SYNCHRONIZE CACHE at the end";
    const CdwMmcMedia &m = s.media;
    line += CdwMmcProfileName(m.profile) + ", " + CdwMmcDiscStatusName(m.disc.discStatus) + ", " +
            std::to_string(m.freeBlocks) + " blocks free; ";
    const CdwMmcWriteParameters &p = s.setup.parameters;
    if (!s.setup.usePage05)
        line += "sequential";
    else
        line += p.writeType == CDW_WRITE_SAO      ? (m.IsCd() ? "session at once" : "disc at once")
                : p.writeType == CDW_WRITE_TAO    ? "track at once"
                : p.writeType == CDW_WRITE_PACKET ? "incremental"
                                                  : "raw";
    if (s.setup.sendCueSheet)
        line += ", cue sheet of " + std::to_string(s.setup.cueSheet.size() / 8) + " entries";
    if (s.setup.reserveTrack)
        line += ", track of " + std::to_string(s.setup.reserveBlocks) + " blocks reserved";
    if (s.setup.usePage05 && p.bufferUnderrunFree)
        line += ", buffer-underrun protection";
    if (p.testWrite)
        line += ", TEST WRITE";
    if (p.multiSession == 3)
        line += ", session left open";
    if (s.grantedKBps != 0) {
        char speed[64];
        /* Recorders count a CD's 1x as 176 kB/s (2352-byte blocks). */
        const double oneX = job.speed.unit == 'c' ? kCdAudio1xBytes : job.speed.UnitBytes();
        snprintf(speed, sizeof(speed), "; speed granted %u kB/s (%.1fx %s)", s.grantedKBps,
                 s.grantedKBps * 1000.0 / oneX, SpeedUnitName(job.speed).c_str());
        line += speed;
        if (job.SlowerThanAsked())
            line += ", not the " + job.speed.text + " asked";
    } else {
        line += "; the recorder did not say which speed it took";
    }
    return line;
}

/* The 32-bit byte sum the driver reports in checksum-only mode (pre-gap zeros add nothing). */
bool ImageChecksum(const CdwImageLayout &layout, uint32_t *sum) {
    int fd = open(layout.imagePath.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    uint32_t total = 0;
    std::vector<uint8_t> buffer(1 << 20);
    for (const auto &t : layout.tracks) {
        uint64_t left = t.dataBytes, offset = t.fileOffset;
        while (left > 0) {
            size_t want = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
            ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
            if (n <= 0) {
                close(fd);
                return false;
            }
            for (ssize_t i = 0; i < n; i++)
                total += buffer[static_cast<size_t>(i)];
            left -= static_cast<uint64_t>(n);
            offset += static_cast<uint64_t>(n);
        }
    }
    close(fd);
    *sum = total;
    return true;
}

std::string Hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", v);
    return text;
}

std::string Hex8(uint8_t v) {
    char text[8];
    snprintf(text, sizeof(text), "0x%02X", v);
    return text;
}

bool HasSense(const RECORDING_STATUS &s) {
    return (s.lastSrbStatus & 0x3F) == 0x04 || s.lastScsiStatus == 0x02;
}

/* What the summary says of the read-back. */
std::string VerifySummary(const Job &job, bool verify) {
    if (!verify || !job.verified)
        return "not done";
    if (job.verifyResult == "differ")
        return "differ at block " + std::to_string(job.firstDifferentBlock);
    return job.verifyResult == "error" ? "read error" : job.verifyResult;
}

bool FatalUnderrun(const Job &job) {
    const RECORDING_STATUS &s = job.status;
    return job.started && s.recordingStatus != RECSTAT_COMPLETE && HasSense(s) &&
           (s.senseData[2] & 0x0F) == 0x03 && s.senseData[12] == 0x0C && s.senseData[13] == 0x09;
}

/* The end summary of a recording, as the recorders' usual tools print it. */
std::string SummaryLine(const Job &job, bool verify) {
    std::string line = "Recorder " + std::to_string(job.recorder) + " summary: ";
    if (!job.started)
        return line + "nothing written.";
    char text[160];
    double seconds = job.Seconds();
    snprintf(text, sizeof(text), "writing time %s, average %.1fx %s; ",
             FormatDuration(seconds).c_str(),
             seconds > 0 ? job.WrittenBytes() / seconds / job.speed.UnitBytes() : 0.0,
             SpeedUnitName(job.speed).c_str());
    line += text;
    line += job.minRingPercent >= 0 ? "min ring fill " + std::to_string(job.minRingPercent) + "%"
                                    : std::string("min ring fill not seen");
    line += job.minBufferPercent >= 0
                ? ", min drive buffer fill " + std::to_string(job.minBufferPercent) + "%; "
                : ", min drive buffer fill not seen; ";
    if (job.underruns < 0)
        line += "buffer underruns unknown";
    else
        line += std::to_string(job.underruns) + " buffer underrun" +
                (job.underruns == 1 ? "" : "s") +
                (FatalUnderrun(job)  ? " (fatal: loss of streaming)"
                 : job.underruns > 0 ? " (recovered by buffer-underrun protection)"
                                     : "");
    return line + "; verify " + VerifySummary(job, verify) + ".";
}

std::string FinalLine(const Job &job, const SpeedSpec &speed, bool verify) {
    const RECORDING_STATUS &s = job.status;
    std::string line = "Recorder " + std::to_string(job.recorder) + ": ";
    if (!job.started)
        return line + "NOT STARTED: " + job.startError + ".";
    std::string outcome = CdwOutcomeName(s.recordingStatus);
    double seconds = job.Seconds();
    uint64_t bytes = job.WrittenBytes();
    char avg[64] = "";
    if (seconds > 0)
        snprintf(avg, sizeof(avg), ", average %.1fx", bytes / seconds / speed.UnitBytes());
    if (s.recordingStatus == RECSTAT_COMPLETE && !job.closed)
        return line + "FAILED after the write pass (" + FormatSize(bytes) + " in " +
               FormatDuration(seconds) + "): " + job.closeError + ".";
    line += outcome;
    if (s.recordingStatus == RECSTAT_COMPLETE) {
        line += ", " + FormatSize(bytes) + " in " + FormatDuration(seconds) + avg;
        if (!job.closedHow.empty())
            line += " (" + job.closedHow + ")";
        if (job.options.checksumOnly) {
            line += ", checksum " + Hex32(s.buffersOrChecksum);
            if (job.checksumKnown)
                line += s.buffersOrChecksum == job.expectedChecksum
                            ? " (matches the image)"
                            : " (image " + Hex32(job.expectedChecksum) + ": DIFFERENT)";
        }
    } else {
        line += " at " + FormatMegabytes(bytes, job.TotalBytes()) + " after " +
                FormatDuration(seconds) + avg;
        if (!job.leftAs.empty())
            line += "; the disc is left " + job.leftAs;
        if (HasSense(s)) {
            uint8_t key = s.senseData[2] & 0x0F, asc = s.senseData[12], ascq = s.senseData[13];
            std::string name = CdwAscName(asc, ascq);
            line += "; sense " + CdwSenseTriple(key, asc, ascq) + " " + CdwSenseKeyName(key) +
                    (name.empty() ? "" : ", " + name);
        }
        if (s.recordingStatus == RECSTAT_WRITE_FAILED || s.lastSrbStatus != 0x01) {
            line += "; SRB status " + Hex8(static_cast<uint8_t>(s.lastSrbStatus)) + " (" +
                    CdwSrbStatusName(static_cast<uint8_t>(s.lastSrbStatus)) + "), SCSI status " +
                    Hex8(s.lastScsiStatus) + " (" + CdwScsiStatusName(s.lastScsiStatus) + ")";
        }
        if (s.recordingStatus == RECSTAT_WRITE_FAILED)
            line += "; failed CDB " + CdwHexBytes(s.failedCdb, 10);
    }
    if (verify && job.verified) {
        if (job.verifyResult == "match")
            line += ", verified";
        else
            line += "; verify FAILED: " + job.verifyMessage;
    }
    return line + ".";
}

void StatusJson(JsonWriter &j, const RECORDING_STATUS &s) {
    j.Key("status").BeginObject();
    j.Field("bCancel", static_cast<unsigned>(s.bCancel));
    j.Field("bReadStarted", static_cast<unsigned>(s.bReadStarted));
    j.Field("blocksWritten", static_cast<unsigned>(s.blocksWritten));
    j.Field("packetsQueued", static_cast<unsigned>(s.packetsQueued));
    j.Field("buffersOrChecksum", static_cast<unsigned>(s.buffersOrChecksum));
    j.Field("recordingStatus", static_cast<unsigned>(s.recordingStatus));
    j.Field("recordingStatusName", CdwOutcomeName(s.recordingStatus));
    j.Field("lastSrbStatus", static_cast<unsigned>(s.lastSrbStatus));
    j.Field("lastScsiStatus", static_cast<unsigned>(s.lastScsiStatus));
    j.Field("senseData", CdwHexBytes(s.senseData, sizeof(s.senseData), ""));
    j.Field("failedCdb", CdwHexBytes(s.failedCdb, sizeof(s.failedCdb), ""));
    j.EndObject();
}

void JobJson(JsonWriter &j, const Job &job, const SpeedSpec &speed, bool verify) {
    const RECORDING_STATUS &s = job.status;
    j.BeginObject();
    j.Field("recorder", job.recorder);
    j.Field("image", job.imageArgument);
    j.Field("imageFile", job.layout->imagePath);
    j.Field("objectName", job.displayName);
    j.Field("request", CdwRequestKindName(job.kind));
    j.Field("discFile", job.discFile);
    j.Field("tracks", static_cast<unsigned>(job.layout->tracks.size()));
    j.Field("blocks", static_cast<unsigned long>(job.layout->DiscBlocks()));
    j.Field("bytes", static_cast<unsigned long>(job.TotalBytes()));
    j.Field("started", job.started);
    if (!job.started) {
        j.Field("outcome", "NOT_STARTED");
        j.Field("error", job.startError);
        j.EndObject();
        return;
    }
    j.Field("outcome", s.recordingStatus == RECSTAT_COMPLETE && !job.closed
                           ? std::string("CLOSE_FAILED")
                           : CdwOutcomeName(s.recordingStatus));
    j.Key("setup").BeginObject();
    j.Field("mmc", job.session.mmc);
    if (job.session.mmc) {
        j.Field("profile", CdwMmcProfileName(job.session.media.profile));
        j.Field("disc", CdwMmcDiscStatusName(job.session.media.disc.discStatus));
        j.Field("free", static_cast<unsigned long>(job.session.media.freeBlocks));
        j.Field("page05", job.session.setup.usePage05);
        j.Field("writeType", static_cast<unsigned>(job.session.setup.parameters.writeType));
        j.Field("testWrite", job.session.setup.parameters.testWrite);
        j.Field("cueSheet", job.session.setup.sendCueSheet);
        j.Field("grantedKBps", static_cast<unsigned>(job.session.grantedKBps));
    } else {
        j.Field("reason", job.session.unsupported);
    }
    j.EndObject();
    if (!job.closeError.empty())
        j.Field("closeError", job.closeError);
    if (!job.closedHow.empty())
        j.Field("closed", job.closedHow);
    j.Field("bytesWritten", static_cast<unsigned long>(job.WrittenBytes()));
    double seconds = job.Seconds();
    j.Field("seconds", seconds);
    j.Key("averageSpeed")
        .Double(seconds > 0 ? job.WrittenBytes() / seconds / speed.UnitBytes() : 0, 1);
    j.Field("speed", speed.text);
    j.Field("speedUnit", SpeedUnitName(speed));
    StatusJson(j, s);
    if (s.recordingStatus != RECSTAT_COMPLETE && HasSense(s)) {
        uint8_t key = s.senseData[2] & 0x0F, asc = s.senseData[12], ascq = s.senseData[13];
        j.Key("sense").BeginObject();
        j.Field("key", static_cast<unsigned>(key));
        j.Field("asc", static_cast<unsigned>(asc));
        j.Field("ascq", static_cast<unsigned>(ascq));
        j.Field("text", CdwSenseTriple(key, asc, ascq));
        j.Field("keyName", CdwSenseKeyName(key));
        j.Field("ascName", CdwAscName(asc, ascq));
        j.Field("hex", CdwHexBytes(s.senseData, sizeof(s.senseData), ""));
        j.EndObject();
    }
    if (s.recordingStatus == RECSTAT_WRITE_FAILED)
        j.Field("failedCdb", CdwHexBytes(s.failedCdb, 10, ""));
    if (job.options.checksumOnly && s.recordingStatus == RECSTAT_COMPLETE) {
        j.Field("checksum", Hex32(s.buffersOrChecksum));
        if (job.checksumKnown) {
            j.Field("imageChecksum", Hex32(job.expectedChecksum));
            j.Field("checksumMatches", s.buffersOrChecksum == job.expectedChecksum);
        }
    }
    j.Key("summary").BeginObject();
    j.Field("writingSeconds", seconds);
    j.Key("averageSpeed")
        .Double(seconds > 0 ? job.WrittenBytes() / seconds / speed.UnitBytes() : 0, 1);
    j.Field("speedUnit", SpeedUnitName(speed));
    j.Field("minRingFillPercent", job.minRingPercent);
    j.Field("minDriveBufferFillPercent", job.minBufferPercent);
    j.Field("underruns", job.underruns);
    j.Field("underrunFatal", FatalUnderrun(job));
    j.Field("verify", VerifySummary(job, verify));
    j.EndObject();
    if (verify) {
        j.Key("verify").BeginObject();
        j.Field("result", job.verified ? job.verifyResult : std::string("skipped"));
        if (job.firstDifferentBlock >= 0)
            j.Field("firstDifferentBlock", static_cast<long>(job.firstDifferentBlock));
        if (!job.verifyMessage.empty())
            j.Field("message", job.verifyMessage);
        j.EndObject();
    }
    j.EndObject();
}

/* Scratch directories for assembled images, removed when the command ends, however it ends. */
struct Scratch {
    bool Make(std::string *dir, std::string *error) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/cdwriter-image-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        sigset_t block, old;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigprocmask(SIG_BLOCK, &block, &old);
        bool made = mkdtemp(buffer.data()) != nullptr;
        int madeErrno = errno;
        if (made && !AddScratch(buffer.data(), true)) {
            rmdir(buffer.data());
            made = false;
            madeErrno = ENAMETOOLONG;
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (!made) {
            *error = "cannot make a scratch directory: " + std::string(strerror(madeErrno));
            return false;
        }
        *dir = buffer.data();
        return true;
    }
    /* A file about to be written in a scratch directory. */
    bool AddFile(const std::string &path) { return AddScratch(path, false); }
    ~Scratch() { RemoveScratch(); }
};

/* Warnings about the image: blocks padded with zeros, audio tracks too short for a player. */
void ImageWarnings(const std::string &image, const CdwImageLayout &layout) {
    for (const auto &note : layout.notes)
        fprintf(stderr, "cdwriter: note: %s\n", note.c_str());
    bool plain = layout.sources.empty();
    for (const auto &t : layout.tracks) {
        uint64_t whole = static_cast<uint64_t>(t.nBlocks) * t.blockSize;
        std::string what =
            plain ? "\"" + image + "\"" : image + ": track " + std::to_string(t.number);
        if (t.dataBytes < whole)
            fprintf(stderr,
                    "cdwriter: warning: %s holds %llu bytes, not whole %u-byte blocks: its last "
                    "block is padded with %llu zero bytes\n",
                    what.c_str(), static_cast<unsigned long long>(t.dataBytes), t.blockSize,
                    static_cast<unsigned long long>(whole - t.dataBytes));
        if (t.format == CDW_FORMAT_AUDIO && t.nBlocks < 300)
            fprintf(stderr,
                    "cdwriter: warning: %s is an audio track of %u block%s, shorter than the 4 "
                    "seconds (300 blocks) a CD player needs\n",
                    what.c_str(), t.nBlocks, t.nBlocks == 1 ? "" : "s");
    }
}

/* The progress block is redrawn in place on a terminal: the text that moves the cursor back up
   over the lines drawn last time (none elsewhere); the count starts again. */
std::string RedrawFromTop(bool tty, int *linesDrawn) {
    std::string text;
    if (tty && *linesDrawn > 0)
        text = "\033[" + std::to_string(*linesDrawn) + "A";
    *linesDrawn = 0;
    return text;
}

/* Blanks the progress lines left on a terminal, so that what follows starts where they did. */
void ClearDrawnLines(bool tty, int linesDrawn) {
    if (!tty || linesDrawn <= 0)
        return;
    printf("\033[%dA", linesDrawn);
    for (int i = 0; i < linesDrawn; i++)
        printf("\033[K\n");
    printf("\033[%dA", linesDrawn);
}

} // namespace

int RunRecord(const Options &o, const InstallSpec &install) {
    CatchSignals();
    Scratch scratch;
    /* 1. The images: every one must be readable and expressible before anything starts. */
    std::vector<std::unique_ptr<CdwImageLayout>> layouts;
    std::vector<std::string> inputs; /* every file the run reads */
    for (const auto &image : o.images) {
        auto layout = std::make_unique<CdwImageLayout>();
        std::string error, real, why;
        if (!RealPath(image, &real, &why))
            return Fail(o, kExitUsage, "cannot read image \"" + image + "\": " + why);
        bool ok = CdwIsCueSheetName(real)
                      ? CdwLoadCueSheet(real, layout.get(), &error)
                      : CdwLayoutFromPlainImage(real, CdwHostFileSize, layout.get(), &error);
        if (!ok)
            return Fail(o, kExitUsage, error);
        inputs.push_back(image);
        for (const auto &source : layout->sources)
            inputs.push_back(source.path);
        if (layout->imagePath.empty()) {
            /* A CUE sheet of several BIN files: the recorder reads one image, assembled in a
               scratch directory that goes away with this run. */
            std::string stem = Basename(real);
            stem = stem.substr(0, stem.size() - 4);
            std::string made;
            if (!scratch.Make(&made, &error))
                return Fail(o, kExitUsage, "record: " + image + ": " + error);
            std::string assembled = made + "/" + stem + ".img";
            if (!scratch.AddFile(assembled))
                return Fail(o, kExitUsage, "record: " + image + ": too many scratch files");
            if (!CdwAssembleImage(layout.get(), assembled, &error))
                return Fail(o, kExitUsage, "record: " + image + ": " + error);
            std::vector<std::string> files;
            for (const auto &source : layout->sources)
                if (std::find(files.begin(), files.end(), source.path) == files.end())
                    files.push_back(source.path);
            if (!o.json)
                printf("%s: %s%zu BIN file%s assembled into %s\n", image.c_str(),
                       files.size() == layout->sources.size() ? "" : "the tracks of ", files.size(),
                       files.size() == 1 ? "" : "s", layout->imagePath.c_str());
        }
        inputs.push_back(layout->imagePath);
        if (o.pregapSet)
            CdwSetPregap(layout.get(), o.pregap);
        const uint32_t givenPregap = layout->nPregapBlocks;
        if (CdwMmcLengthenFirstPregap(layout.get()) != 0 && givenPregap != 0)
            layout->notes.push_back(image + ": the first track's pre-gap of " +
                                    std::to_string(givenPregap) + " blocks is lengthened to " +
                                    std::to_string(kCdwFirstPregapBlocks) +
                                    " (2 seconds), the least a CD's first track has");
        if (layout->DiscBlocks() > 0xFFFFFFFFull)
            return Fail(o, kExitUsage, "image \"" + image + "\" is too large");
        if (o.tdb && layout->nPregapBlocks == 0)
            return Fail(o, kExitUsage,
                        "record: --tdb writes track descriptors into the pre-gap, and " + image +
                            " has none (give --pregap N)");
        layouts.push_back(std::move(layout));
    }
    for (size_t i = 0; i < layouts.size(); i++)
        ImageWarnings(o.images[i], *layouts[i]);
    if (o.mode > 2)
        fprintf(stderr,
                "cdwriter: note: --mode %u records as --mode 0 does (only modes 1 and 2, which "
                "stream without a cache flush, differ)\n",
                o.mode);
    unsigned recorders = 0;
    for (const auto &d : install.devices)
        recorders += d.desktop ? 0 : 1;
    if (recorders == 0)
        recorders = o.recorders;
    if (layouts.size() != 1 && layouts.size() != recorders)
        return Fail(o, kExitUsage,
                    "record: " + std::to_string(layouts.size()) + " images for " +
                        std::to_string(recorders) +
                        " recorders (give one image for all, or one per recorder)");
    for (const auto &layout : layouts) {
        /* The pre-gap is queued in one go, one packet of up to 64 blocks per ring slot. */
        uint32_t slots = (layout->nPregapBlocks + 63) / 64;
        if (slots > o.cacheBuffers)
            return Fail(o, kExitUsage,
                        "record: a pre-gap of " + std::to_string(layout->nPregapBlocks) +
                            " blocks needs " + std::to_string(slots) +
                            " ring slots, --cache-buffers is " + std::to_string(o.cacheBuffers));
    }

    /* 2. Cache drives: each image directory is reached through a drive letter. */
    std::vector<CacheDriveUse> drives;
    std::vector<std::pair<char, std::string>> objectNames; /* per layout: letter, name */
    for (const auto &layout : layouts) {
        const std::string &file = layout->imagePath;
        char letter = 0;
        std::string relative;
        uint16_t address = 0;
        for (const auto &c : install.cacheDrives) {
            std::string dir, why;
            if (!RealPath(c.directory, &dir, &why))
                return Fail(o, kExitUsage,
                            "cache drive " + std::string(1, c.letter) + ": cannot use \"" +
                                c.directory + "\": " + why);
            std::string prefix = dir == "/" ? "/" : dir + "/";
            if (file.compare(0, prefix.size(), prefix) == 0) {
                letter = c.letter;
                relative = file.substr(prefix.size());
                address = c.address;
                bool known = false;
                for (const auto &d : drives)
                    known = known || d.letter == letter;
                if (!known)
                    drives.push_back({letter, dir, address});
                break;
            }
        }
        if (letter == 0) {
            std::string dir = Dirname(file);
            for (const auto &d : drives)
                if (d.directory == dir)
                    letter = d.letter;
            if (letter == 0) {
                for (char l = 'D'; l <= 'Z' && letter == 0; l++) {
                    bool used = false;
                    for (const auto &c : install.cacheDrives)
                        used = used || c.letter == l;
                    for (const auto &d : drives)
                        used = used || d.letter == l;
                    if (!used)
                        letter = l;
                }
                if (letter == 0)
                    return Fail(o, kExitUsage, "record: images lie in too many directories");
                struct stat st;
                if (stat(dir.c_str(), &st) == 0)
                    address = static_cast<uint16_t>(((major(st.st_dev) & 0xFF) << 8) |
                                                    (minor(st.st_dev) & 0xFF));
                drives.push_back({letter, dir, address});
            }
            relative = Basename(file);
        }
        objectNames.emplace_back(letter, CdwObjectName(letter, relative));
        std::string ansi;
        if (!CdwAnsiObjectName(objectNames.back().second, &ansi))
            return Fail(o, kExitUsage,
                        "record: the name of \"" + file +
                            "\" has characters the recorder's ANSI file names cannot carry "
                            "(beyond Latin-1)");
    }

    /* 3. The request of each recording, checked before any recorder is touched. */
    std::vector<Job> jobs(recorders);
    for (unsigned r = 0; r < recorders; r++) {
        Job &job = jobs[r];
        size_t li = layouts.size() == 1 ? 0 : r;
        job.recorder = r;
        job.layout = layouts[li].get();
        job.imageArgument = o.images[li];
        job.letter = objectNames[li].first;
        job.displayName = objectNames[li].second;
        CdwAnsiObjectName(job.displayName, &job.options.objectName);
        job.options.bufferedRead = o.bufferedRead;
        job.options.checksumOnly = o.checksumOnly;
        job.options.writeMode = o.mode;
        job.options.refillPercent = o.refill;
        job.options.writeTdb = o.tdb;
        job.options.tdbTrackNumber = o.tdbTrack;
        if (o.request.empty())
            job.kind = CdwDefaultRequestKind(job.options.objectName);
        else
            CdwParseRequestKind(o.request, &job.kind);
        std::string error;
        if (!CdwCheckRecordRequest(job.kind, *job.layout, job.options, &error))
            return Fail(o, kExitUsage,
                        "record: " + job.imageArgument + ": " + error + " (--request " +
                            CdwRequestKindName(job.kind) + ")");
    }

    /* 4. The installation. */
    Installation installation;
    {
        std::string error;
        bool usage = false;
        if (!installation.Start(o, install, &error, &usage, inputs))
            return Fail(o, installation.StartExitCode(usage), error);
    }
    for (const auto &d : drives)
        HostMapDriveLetter(d.letter, d.directory.c_str());

    /* 5. Preparation: open, cache buffers, cache drives, download locks. */
    bool drivesCreated = false;
    for (auto &job : jobs) {
        job.discFile = installation.Recorder(job.recorder).discFile;
        job.speed = installation.Recorder(job.recorder).spec.speed;
        CdwStatus status = job.device.Open(CdwDeviceKind::Recorder, job.recorder);
        if (!CdwSucceeded(status)) {
            job.startError = "cannot open the recorder, status " + StatusText(status);
            continue;
        }
        CD_RECORDER_PARAMETERS parameters;
        if (CdwSucceeded(job.device.QueryParameters(&parameters)) &&
            parameters.MaximumTransferLength != 0)
            job.maxTransfer = parameters.MaximumTransferLength;
        status = job.device.AllocateCache(o.cacheBuffers, &job.buffers);
        if (!CdwSucceeded(status) || job.buffers < MIN_CACHE_BUFFERS) {
            job.startError = "cannot allocate cache buffers (" + std::to_string(job.buffers) +
                             " allocated), status " + StatusText(status);
            continue;
        }
        if (!drivesCreated) {
            for (const auto &d : drives) {
                status = job.device.CreateCacheDrive(d.letter, d.address);
                if (!CdwSucceeded(status)) {
                    job.startError = "cannot register cache drive " + std::string(1, d.letter) +
                                     ", status " + StatusText(status);
                    break;
                }
            }
            if (!job.startError.empty())
                continue;
            drivesCreated = true;
        }
        status = job.device.InitCacheLock(job.letter);
        if (!CdwSucceeded(status)) {
            job.startError = "cannot bind the cache drive lock, status " + StatusText(status);
            continue;
        }
    }

    /* 5b. Each recorder's medium and set-up, through MMC commands, before anything is written:
       a disc that cannot take the image is refused here. A checksum-only pass writes nothing
       and is not set up. */
    for (auto &job : jobs) {
        if (!job.startError.empty())
            continue;
        job.mmc = std::make_unique<CdwMmcDevice>(CdwMmcPassThroughSender(&job.device));
        job.dummy = o.dummy;
        if (job.options.checksumOnly) {
            job.closed = true;
            job.finished = true;
            continue;
        }
        CdwMmcPlan plan;
        std::string error;
        if (!CdwMmcPlanFromLayout(*job.layout, &plan, &error))
            plan.invalid = error;
        plan.dummy = o.dummy;
        plan.multi = o.multi;
        /* In kB/s as recorders count them: a CD's 1x is 176 kB/s of 2352-byte blocks. */
        const double perSecond = job.speed.unit == 'c' ? job.speed.multiple * kCdAudio1xBytes
                                                       : job.speed.BytesPerSecond();
        plan.speedKBps = job.speed.max ? 0 : static_cast<uint32_t>(perSecond / 1000 + 0.5);
        if (!job.mmc->BeginRecording(plan, 30, &job.session)) {
            job.startError = "refused before any write: " + job.mmc->Error();
            continue;
        }
        if (job.session.mmc && job.session.media.IsDvd() && job.speed.max)
            job.speed.unit = 'd'; /* speeds shown in the medium's 1x */
        const uint32_t start = static_cast<uint32_t>(job.session.media.nextWritable);
        if (job.session.mmc && !job.layout->tracks.empty() &&
            job.layout->tracks[0].startBlock != start) {
            job.placed = std::make_unique<CdwImageLayout>(*job.layout);
            CdwMmcPlaceLayout(job.placed.get(), start);
            job.layout = job.placed.get();
        }
        if (!o.json)
            printf("%s\n", SetupLine(job).c_str());
        if (job.SlowerThanAsked()) {
            char text[160];
            snprintf(text, sizeof(text), "recorder %u granted %u kB/s (%.1fx %s), not the %s asked",
                     job.recorder, job.session.grantedKBps,
                     job.session.grantedKBps * 1000.0 /
                         (job.speed.unit == 'c' ? kCdAudio1xBytes : job.speed.UnitBytes()),
                     SpeedUnitName(job.speed).c_str(), job.speed.text.c_str());
            fprintf(stderr, "cdwriter: note: %s\n", text);
        }
    }
    fflush(stdout);

    /* 6. The recordings. From here on a signal cancels them. */
    gCancelling = 1;
    if (gInterrupts > 0) {
        /* A signal arrived before the recordings could be cancelled: end as it asked. */
        RemoveScratch();
        signal(gSignal, SIG_DFL);
        raise(gSignal);
    }

    const ULONG eventsBefore = HostErrorLogCount();
    for (auto &job : jobs) {
        if (!job.startError.empty())
            continue;
        std::string error;
        job.startTime = Now();
        CdwStatus status =
            CdwStartRecording(job.device, job.kind, *job.layout, job.options, &error);
        if (!CdwSucceeded(status)) {
            job.startError = error.empty()
                                 ? "the record-disc request failed, status " + StatusText(status)
                                 : error;
            continue;
        }
        job.started = true;
        job.meter.Add(job.startTime, 0);
        job.lastBufferQuery = job.startTime; /* the first look once the buffer has filled */
    }

    const bool tty = !o.json && isatty(STDOUT_FILENO);
    const bool showProgress = !o.json;
    const double printInterval = tty ? 0.25 : 3.0;
    double lastPrint = Now();
    int linesDrawn = 0;
    bool cancelSent = false;
    double cancelTime = 0;
    bool gaveUp = false;

    for (;;) {
        bool active = false;
        double now = Now();
        for (auto &job : jobs) {
            if (!job.started || job.done)
                continue;
            RECORDING_STATUS s;
            if (CdwSucceeded(job.device.QueryStatus(&s)))
                job.status = s;
            if (job.status.recordingStatus == RECSTAT_COMPLETE && !job.finished) {
                /* The driver has handed the recorder all the data: it is not on the disc
                   before the recorder has written its buffer and closed the track. */
                if (!job.closing) {
                    job.closing = true;
                    job.closer = std::thread(CloseDisc, &job);
                }
                active = true;
            } else if (job.status.recordingStatus != RECSTAT_IN_PROCESS) {
                if (job.closer.joinable())
                    job.closer.join();
                job.done = true;
                job.endTime = Now();
            } else {
                active = true;
                job.meter.Add(now, job.WrittenBytes());
                /* The ring while it is fed: from its first ring of data written on, not once
                   the image's end is read into it. */
                const uint64_t ringBytes = static_cast<uint64_t>(job.buffers) * job.maxTransfer;
                if (job.WrittenBytes() > ringBytes &&
                    job.WrittenBytes() + ringBytes < job.TotalBytes()) {
                    int fifo = FifoPercent(job.status.packetsQueued, job.buffers);
                    if (fifo >= 0 && (job.minRingPercent < 0 || fifo < job.minRingPercent))
                        job.minRingPercent = fifo;
                }
                if (now - job.lastBufferQuery >= 1.0) {
                    /* The drive buffer through the pass-through request; only while the
                       recording runs, since the command's outcome replaces the record's last
                       status and sense. */
                    job.lastBufferQuery = now;
                    CdwScsiResult result;
                    uint32_t length = 0, blank = 0;
                    if (CdwSucceeded(
                            job.device.ExecScsi(CdwReadBufferCapacityCommand(), &result)) &&
                        result.Good() && CdwParseBufferCapacity(result.data, &length, &blank)) {
                        job.bufferPercent = BufferPercent(length, blank);
                        if (job.bufferPercent >= 0 &&
                            (job.minBufferPercent < 0 || job.bufferPercent < job.minBufferPercent))
                            job.minBufferPercent = job.bufferPercent;
                    }
                }
            }
        }
        if (gInterrupts > 0 && !cancelSent) {
            for (auto &job : jobs)
                if (job.started && !job.done)
                    job.device.Cancel();
            cancelSent = true;
            cancelTime = Now();
            if (!o.json)
                fprintf(stderr, "\ncdwriter: cancelling every recording...\n");
        }
        if (!active)
            break;
        installation.SaveEventLog();
        if (cancelSent && Now() - cancelTime > 120) {
            gaveUp = true;
            break;
        }
        if (showProgress && now - lastPrint >= printInterval) {
            lastPrint = now;
            std::string text = RedrawFromTop(tty, &linesDrawn);
            for (auto &job : jobs) {
                if (!job.started)
                    continue;
                ProgressView view;
                view.recorder = job.recorder;
                view.writtenBytes = job.WrittenBytes();
                view.totalBytes = job.TotalBytes();
                view.fifoPercent =
                    job.done ? -1 : FifoPercent(job.status.packetsQueued, job.buffers);
                view.bufferPercent = job.done || job.closing ? -1 : job.bufferPercent;
                double bps = job.meter.BytesPerSecond();
                view.speedX = bps >= 0 ? bps / job.speed.UnitBytes() : -1;
                std::string line = RenderProgress(view);
                if (job.done)
                    line += " " + CdwOutcomeName(job.status.recordingStatus);
                else if (job.closing)
                    line =
                        line.substr(0, line.size() - (line.back() == '.')) + ", closing the disc.";
                text += line + (tty ? "\033[K\n" : "\n");
                linesDrawn++;
            }
            fputs(text.c_str(), stdout);
            fflush(stdout);
        }
        SleepSeconds(0.2);
    }
    installation.SaveEventLog();
    ClearDrawnLines(tty, linesDrawn);

    /* 7. Underruns as the recorders counted them, verification (every recorder at once, as
       they were recorded) and checksums. */
    for (auto &job : jobs) {
        PSIM_RECORDER sim = installation.Recorder(job.recorder).sim;
        if (job.started && sim != nullptr) {
            SIM_RECORDER_COUNTERS counters;
            HostSimGetCounters(sim, &counters);
            job.underruns = static_cast<long>(counters.Underruns);
        }
    }
    bool cancelled = gInterrupts > 0;
    if (!cancelled) {
        for (auto &job : jobs) {
            if (job.started && job.status.recordingStatus != RECSTAT_COMPLETE)
                job.leftAs = DiscLeftAs(job);
            if (!job.started || !job.Complete())
                continue;
            if (o.verify)
                job.verifier = std::thread([&job] {
                    VerifyDisc(job);
                    job.verifyDone = true;
                });
            if (job.options.checksumOnly && !job.options.writeTdb)
                job.checksumKnown = ImageChecksum(*job.layout, &job.expectedChecksum);
        }
        lastPrint = Now();
        linesDrawn = 0;
        for (bool verifying = true; verifying;) {
            verifying = false;
            for (auto &job : jobs)
                verifying = verifying || (job.verifier.joinable() && !job.verifyDone);
            if (!verifying)
                break;
            SleepSeconds(0.1);
            double now = Now();
            if (!showProgress || now - lastPrint < printInterval)
                continue;
            lastPrint = now;
            std::string text = RedrawFromTop(tty, &linesDrawn);
            for (auto &job : jobs) {
                if (!job.verifier.joinable())
                    continue;
                uint64_t total = 0;
                for (const auto &t : job.layout->tracks)
                    total += static_cast<uint64_t>(t.nBlocks) * t.blockSize;
                text += "Recorder " + std::to_string(job.recorder) + ": verifying, " +
                        FormatMegabytes(job.verifiedBytes, total) +
                        (job.verifyDone ? " read back" : " read back so far") +
                        (tty ? ".\033[K\n" : ".\n");
                linesDrawn++;
            }
            fputs(text.c_str(), stdout);
            fflush(stdout);
        }
        for (auto &job : jobs)
            if (job.verifier.joinable())
                job.verifier.join();
        ClearDrawnLines(tty, linesDrawn);
    }

    /* 8. Outcome. */
    cancelled = gInterrupts > 0;
    int exitCode = kExitOk;
    for (const auto &job : jobs) {
        bool good = job.started && job.Complete();
        if (good && o.verify && job.verifyResult != "match")
            good = false;
        if (good && job.checksumKnown && job.status.buffersOrChecksum != job.expectedChecksum)
            good = false;
        if (!good)
            exitCode = kExitFailed;
    }
    if (cancelled)
        exitCode = 128 + gSignal;

    std::string unreached = installation.UnreachedFaults();
    std::string logError;
    if (!o.commandLog.empty() && !installation.WriteCommandLog(o.commandLog, &logError))
        fprintf(stderr, "cdwriter: %s\n", logError.c_str());

    if (o.json) {
        JsonWriter j;
        j.BeginObject();
        j.Field("command", "record");
        j.Field("exitCode", exitCode);
        j.Field("cancelled", cancelled);
        j.Field("speed", o.speed.text);
        j.Field("cacheBuffers", o.cacheBuffers);
        if (!unreached.empty())
            j.Field("warning", unreached);
        j.Key("recorders").BeginArray();
        for (const auto &job : jobs)
            JobJson(j, job, job.speed, o.verify);
        j.EndArray();
        j.Key("eventLog");
        EventLogJson(j);
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else {
        for (const auto &job : jobs)
            printf("%s\n", FinalLine(job, job.speed, o.verify).c_str());
        for (const auto &job : jobs)
            printf("%s\n", SummaryLine(job, o.verify).c_str());
        /* What the driver wrote to the system event log while recording. */
        for (ULONG i = eventsBefore; i < HostErrorLogCount(); i++) {
            HOST_ERROR_LOG_ENTRY entry;
            char text[1024];
            if (!HostErrorLogGet(i, &entry))
                break;
            HostEventFormat(entry.Time, static_cast<uint32_t>(entry.Packet.ErrorCode),
                            reinterpret_cast<const uint32_t *>(entry.DumpData), entry.DumpWordCount,
                            text, sizeof(text));
            printf("Event log: %s\n", text);
        }
        if (!unreached.empty())
            fprintf(stderr, "cdwriter: warning: %s\n", unreached.c_str());
    }
    fflush(stdout);

    if (gaveUp) {
        fprintf(stderr, "cdwriter: a recording did not end after the cancel; leaving it\n");
        fflush(stderr);
        installation.SaveEventLog();
        RemoveScratch();
        _exit(exitCode);
    }

    /* 9. Teardown. A pass that ended other than complete still flushes the recorder's cache
       after its outcome is visible; the driver refuses to free the buffers until the pass is
       over, so freeing them is also the wait for it. */
    double teardownStart = Now();
    bool told = false;
    for (auto &job : jobs) {
        if (!job.device.IsOpen())
            continue;
        for (;;) {
            CdwStatus status = job.device.DeallocateCache();
            if (CdwSucceeded(status) || !job.started)
                break;
            if (Now() - teardownStart > 300) {
                fprintf(stderr, "cdwriter: recorder %u did not finish its pass; leaving it\n",
                        job.recorder);
                fflush(stderr);
                installation.SaveEventLog();
                RemoveScratch();
                _exit(exitCode);
            }
            if (!told && Now() - teardownStart > 1 && !o.json) {
                fprintf(stderr, "cdwriter: waiting for the recorders to empty their buffers...\n");
                told = true;
            }
            SleepSeconds(0.1);
        }
        job.device.Close();
    }
    std::string leftover = installation.Stop();
    if (!leftover.empty())
        fprintf(stderr, "cdwriter: warning: the stand-in found resources left at unload:\n%s\n",
                leftover.c_str());
    return exitCode;
}
