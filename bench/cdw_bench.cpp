/*
 * cdw_bench.cpp - the measuring program behind `make bench` (bench/run.sh drives it).
 *
 * Every mode loads the driver into the host stand-in on the real clock, plugs simulated
 * recorders in, registers the image's directory as cache drive D:, allocates cache buffers and
 * records as the cdwriter tool does: the client library's MMC flow sets each recorder up
 * through the pass-through request (readiness, the medium and its checks, the speed, page 05,
 * a cue sheet or a reserved track as the medium wants), the driver's record-disc request
 * writes the image, and the flow ends it (SYNCHRONIZE CACHE, waiting for the drain, CLOSE
 * TRACK/SESSION). A checksum-only pass writes nothing and, as in the tool, is not set up. It
 * prints one line "RESULT key=value ..." that run.sh turns into the table.
 *
 *   cdw_bench pipeline IMAGE DISC [--unbuffered] [--checksum] [--buffers N] [--runs K]
 *                      [--verify]
 *       One recorder at speed max (no drain), K recordings in one process, each on a blank
 *       CD-R: the first in a freshly truncated disc file, the others in the disc file the one
 *       before left (a new blank medium whose file keeps its pages, as dd conv=notrunc writes
 *       over its output). For each: wall time from the record-disc request to the outcome
 *       (setup_s and close_s: the flow's set-up before it and its closing after it, timed
 *       apart), CPU seconds of the process (getrusage) over the request's span,
 *       peak resident memory, pool in use per recorder (after the cache allocation), pool
 *       allocations during the recording against WRITE(10) commands and request buffers, the
 *       checksum of a checksum-only recording; --verify compares the disc (or the checksum)
 *       with the image.
 *   cdw_bench many IMAGE DISCDIR N SPEED [--buffers N] [--drive-buffer BYTES] [--refill P]
 *                  [--stagger] [--unbuffered] [--hold]
 *       N recorders at SPEED ("24d" DVD, "52c" CD) recording IMAGE from one cache drive, all
 *       started at once or (--stagger) each once the one before has begun writing. Underruns,
 *       the lowest ring fill and drive-buffer level polled in the steady state, and whether
 *       every disc equals the image and was closed. The disc files get their full size before
 *       the start. Every recorder is set up before the first starts; each is closed by its
 *       own thread once its request is complete, as the tool does.
 *       A full drive buffer answers 02/04/08 at once, or with --hold the WRITE waits for room.
 *       Every mode runs the recording threads in the host's real-time class, as the platform
 *       runs their priority 31 (when the process may; realtime_threads= counts them), unless
 *       --normal-priority is given.
 *   cdw_bench status IMAGE DISC SPEED [--drive-buffer BYTES] [--seconds S]
 *       Status requests per second from one application thread while a recorder records (set
 *       up through the flow; the recording is cancelled at the end, not closed).
 *   cdw_bench time COMMAND [ARGS...]
 *       Wall time, CPU time and peak resident memory of a reference command.
 */
#include "cdw_client.h"
#include "image_layout.h"
#include "mmc.h"
#include "mmc_passthrough.h"
#include "record_request.h"

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

/* The driver's device counters. A driver loaded again on the platform starts from a fresh image;
   in one host process its statics stay, so a reload clears them first (as the tests do). */
extern ULONG RecorderCount;
extern ULONG DesktopUnitCount;

namespace {

const GUID kRecorderClass = {CDW_GUID_RECORDER_PARTS};

/* The stand-in's non-paged pool is as large as a 32-bit system's, 256 MiB: the cache buffers
   of all recorders together must fit into it. */
const size_t kNonPagedPoolBytes = size_t(256) << 20;

/* The refill threshold the driver keeps when the request asks for none, in packets. */
const uint32_t kDriverRefillThreshold = 30;

[[noreturn]] void Die(const std::string &what) {
    fprintf(stderr, "cdw_bench: %s\n", what.c_str());
    fflush(stderr);
    _exit(1);
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

long PeakRssKiB() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void SleepMicros(long micros) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

std::string Hex(long v) {
    char t[16];
    snprintf(t, sizeof t, "0x%08lX", static_cast<unsigned long>(v) & 0xFFFFFFFFul);
    return t;
}

/* Parses "24d" (DVD) or "52c" / "52" (CD); "max" or "0" is speed 0. */
void ParseSpeed(const std::string &text, ULONG *multiple, BOOLEAN *dvd) {
    *dvd = FALSE;
    *multiple = 0;
    if (text == "max" || text == "0")
        return;
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (end == text.c_str())
        Die("bad speed " + text);
    *multiple = static_cast<ULONG>(v);
    if (*end == 'd' || *end == 'D')
        *dvd = TRUE;
}

/* The whole installation of one run: the driver, the recorders and their handles. */
struct Args {
    std::vector<std::string> positional;
    bool unbuffered = false;
    bool checksum = false;
    bool verify = false;
    uint32_t buffers = 96;
    ULONG driveBuffer = 0;
    double seconds = 2.0;
    uint32_t refill = 0;
    int runs = 2;
    bool stagger = false;
    bool normalPriority = false;
    bool hold = false; /* the recorder holds a WRITE until its buffer has room */
};

struct Bench {
    struct Recorder {
        PSIM_RECORDER sim = nullptr;
        PDEVICE_OBJECT fdo = nullptr;
        std::string disc;
        CdwDevice device;
        uint32_t buffers = 0;
        /* The application's side of the recording: the MMC flow over the pass-through. */
        std::unique_ptr<CdwMmcDevice> mmc;
        CdwMmcSession session;
        CdwImageLayout placed; /* the layout at the medium's next writable address */
        std::thread closer;
        bool closed = false;
        std::string closeError;
        double setupSeconds = 0, closeSeconds = 0;
    };

    PDRIVER_OBJECT driver = nullptr;
    std::vector<Recorder> recorders;
    size_t poolAfterLoad = 0;
    size_t poolAfterPlug = 0;
    size_t poolAfterCache = 0;

    void Load(const Args &a) {
        HostClockUseReal();
        /* The recording threads raise themselves to priority 31; the platform runs them in its
           real-time class, and so does the stand-in here unless asked not to. */
        HostUseRealTimePriorities(!a.normalPriority);
        RecorderCount = 0;
        DesktopUnitCount = 0;
        NTSTATUS status = STATUS_SUCCESS;
        driver = HostLoadDriver(DriverEntry, "cdwriter", &status);
        if (driver == nullptr || !NT_SUCCESS(status))
            Die("the driver did not load, status " + Hex(status));
        poolAfterLoad = HostPoolBytesInUse();
    }

    void Plug(unsigned n, const std::vector<std::string> &discs, ULONG speed, BOOLEAN dvd,
              ULONG driveBuffer, bool hold = false) {
        recorders.resize(n);
        for (unsigned i = 0; i < n; i++) {
            SIM_RECORDER_CONFIG c;
            HostSimDefaultConfig(&c);
            recorders[i].disc = discs[i];
            c.DiscFile = recorders[i].disc.c_str();
            c.SpeedMultiple = speed;
            c.Dvd = dvd;
            /* A blank CD-R (the flow records a plain image on it track at once, Mode 1) or
               DVD+R (written sequentially, no write parameters). */
            c.Medium = dvd ? SimMediumDvdPlusR : SimMediumCdR;
            c.LogCapacity = 0; /* no command log: a bench measures the path, not the log */
            if (driveBuffer != 0)
                c.BufferBytes = driveBuffer;
            c.FullBuffer = hold ? SimFullBufferHold : SimFullBufferNotReady;
            c.TargetId = static_cast<UCHAR>(i & 0xFF);
            c.PathId = static_cast<UCHAR>(i >> 8);
            recorders[i].sim = HostCreateSimulatedRecorder(&c);
            if (recorders[i].sim == nullptr)
                Die("cannot create the simulated recorder for " + discs[i]);
            HostSimSetLogging(recorders[i].sim, FALSE);
            BlankMediumIn(recorders[i]);
            NTSTATUS st = STATUS_SUCCESS;
            recorders[i].fdo = HostPnpAddDevice(recorders[i].sim->Pdo, &st);
            if (recorders[i].fdo == nullptr || !NT_SUCCESS(st))
                Die("the driver did not take a recorder, status " + Hex(st));
            st = HostPnpStart(recorders[i].fdo);
            if (!NT_SUCCESS(st))
                Die("starting a recorder failed, status " + Hex(st));
        }
        /* Open each through its interface (the interface order need not be the plug order). */
        ULONG count = HostDeviceInterfaceCount(&kRecorderClass, TRUE);
        for (ULONG k = 0; k < count; k++) {
            char link[512];
            if (!HostDeviceInterfaceLink(&kRecorderClass, k, link, sizeof link))
                continue;
            PDEVICE_OBJECT pdo = HostDeviceInterfacePdo(link);
            for (auto &r : recorders) {
                if (r.sim->Pdo == pdo) {
                    CdwStatus st = r.device.Open(CdwDeviceKind::Recorder, k);
                    if (!CdwSucceeded(st))
                        Die("cannot open a recorder, status " + Hex(st));
                }
            }
        }
        for (auto &r : recorders)
            if (!r.device.IsOpen())
                Die("a recorder has no enabled interface");
        poolAfterPlug = HostPoolBytesInUse();
    }

    void Prepare(const std::string &imageDir, uint32_t buffers) {
        HostMapDriveLetter('D', imageDir.c_str());
        for (size_t i = 0; i < recorders.size(); i++) {
            Recorder &r = recorders[i];
            CdwStatus st = r.device.AllocateCache(buffers, &r.buffers);
            if (!CdwSucceeded(st) || r.buffers < MIN_CACHE_BUFFERS)
                Die("cannot allocate cache buffers, status " + Hex(st));
            if (i == 0) {
                st = r.device.CreateCacheDrive('D', 0x0801);
                if (!CdwSucceeded(st))
                    Die("cannot register cache drive D:, status " + Hex(st));
            }
            st = r.device.InitCacheLock('D');
            if (!CdwSucceeded(st))
                Die("cannot bind the cache-drive lock, status " + Hex(st));
        }
        poolAfterCache = HostPoolBytesInUse();
    }

    /* A recorded disc stays recorded: each recording gets a blank medium, as an operator
       changes discs. */
    static void BlankMediumIn(Recorder &r) {
        SIM_MEDIUM_INFO info;
        HostSimGetMediumInfo(r.sim, &info);
        if (info.Status != 0 || info.NextWritable != 0)
            HostSimInsertBlankMedium(r.sim);
    }

    /*
     * The tool's set-up of a recorder before its record-disc request: the plan of the layout,
     * then the flow's readiness, medium, checks, speed (kBps, 0: the highest) and write set-up
     * (page 05 with track at once for a plain image on a CD-R, nothing but the speed on a
     * DVD+R), and the layout moved to the next writable address. Nothing here is timed with
     * the recording.
     */
    static void SetUp(Recorder &r, const CdwImageLayout &layout, uint32_t kBps) {
        double t0 = Now();
        r.mmc = std::make_unique<CdwMmcDevice>(CdwMmcPassThroughSender(&r.device));
        r.closed = false;
        r.closeError.clear();
        CdwMmcPlan plan;
        std::string error;
        if (!CdwMmcPlanFromLayout(layout, &plan, &error))
            Die("the image cannot be set up: " + error);
        plan.speedKBps = kBps;
        if (!r.mmc->BeginRecording(plan, 30, &r.session))
            Die("refused before any write: " + r.mmc->Error());
        if (!r.session.mmc)
            Die("the recorder was not set up: " + r.session.unsupported);
        r.placed = layout;
        CdwMmcPlaceLayout(&r.placed, r.session.media.nextWritable);
        r.setupSeconds = Now() - t0;
    }

    /* The tool's end of a recording whose request is complete: padding, SYNCHRONIZE CACHE
       until the drive buffer is on the medium, CLOSE TRACK/SESSION; the disc must then be
       complete. */
    static void Close(Recorder *r) {
        double t0 = Now();
        if (!r->mmc->Finish(r->session.setup, false, 600)) {
            r->closeError = r->mmc->Error();
            return;
        }
        CdwMmcMedia media;
        if (!r->mmc->ReadMedia(&media) || media.disc.discStatus != CDW_DISC_COMPLETE) {
            r->closeError = "the disc is not complete after closing: " + r->mmc->Error();
            return;
        }
        r->closeSeconds = Now() - t0;
        r->closed = true;
    }

    void Start(Recorder &r, const CdwRecordOptions &options) {
        std::string error;
        CdwStatus st = CdwStartRecording(r.device, CdwRequestKind::Disc, r.placed, options, &error);
        if (!CdwSucceeded(st))
            Die("the record-disc request failed, status " + Hex(st) + " " + error);
    }

    /* A checksum-only pass: no medium is written, so the tool does not set the recorder up. */
    void StartChecksum(Recorder &r, const CdwImageLayout &layout, const CdwRecordOptions &options) {
        std::string error;
        CdwStatus st = CdwStartRecording(r.device, CdwRequestKind::Disc, layout, options, &error);
        if (!CdwSucceeded(st))
            Die("the record-disc request failed, status " + Hex(st) + " " + error);
    }

    void Stop() {
        for (auto &r : recorders) {
            if (r.closer.joinable())
                r.closer.join();
            r.mmc.reset();
            double t0 = Now();
            while (!CdwSucceeded(r.device.DeallocateCache())) {
                if (Now() - t0 > 60)
                    Die("a recorder did not finish its pass");
                SleepMicros(2000);
            }
            r.device.Close();
        }
        for (auto it = recorders.rbegin(); it != recorders.rend(); ++it)
            if (!NT_SUCCESS(HostPnpRemove(it->fdo)))
                Die("removing a recorder failed");
        std::string report;
        if (!HostUnloadDriver(driver, &report))
            fprintf(stderr, "cdw_bench: warning: left at unload: %s\n", report.c_str());
        for (auto &r : recorders)
            HostDestroySimulatedRecorder(r.sim);
        recorders.clear();
    }
};

Args ParseArgs(int argc, char **argv) {
    Args a;
    for (int i = 2; i < argc; i++) {
        std::string s = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                Die("missing value after " + s);
            return argv[++i];
        };
        if (s == "--unbuffered")
            a.unbuffered = true;
        else if (s == "--stagger")
            a.stagger = true;
        else if (s == "--hold")
            a.hold = true;
        else if (s == "--normal-priority")
            a.normalPriority = true;
        else if (s == "--checksum")
            a.checksum = true;
        else if (s == "--verify")
            a.verify = true;
        else if (s == "--buffers")
            a.buffers = static_cast<uint32_t>(atoi(next().c_str()));
        else if (s == "--drive-buffer")
            a.driveBuffer = static_cast<ULONG>(strtoul(next().c_str(), nullptr, 0));
        else if (s == "--seconds")
            a.seconds = atof(next().c_str());
        else if (s == "--runs")
            a.runs = atoi(next().c_str());
        else if (s == "--refill")
            a.refill = static_cast<uint32_t>(atoi(next().c_str()));
        else if (s.size() > 2 && s[0] == '-' && s[1] == '-')
            Die("unknown option " + s);
        else
            a.positional.push_back(s);
    }
    return a;
}

struct Image {
    std::string path, dir, base;
    CdwImageLayout layout;
    uint64_t bytes = 0;
};

Image LoadImage(const std::string &path) {
    Image im;
    char real[4096];
    if (realpath(path.c_str(), real) == nullptr)
        Die("cannot find image " + path);
    im.path = real;
    size_t slash = im.path.rfind('/');
    im.dir = im.path.substr(0, slash == 0 ? 1 : slash);
    im.base = im.path.substr(slash + 1);
    std::string error;
    if (!CdwLayoutFromPlainImage(im.path, CdwHostFileSize, &im.layout, &error))
        Die(error);
    im.bytes = im.layout.DiscBytes();
    return im;
}

CdwRecordOptions Options(const Image &im, const Args &a) {
    CdwRecordOptions o;
    std::string name = CdwObjectName('D', im.base);
    if (!CdwAnsiObjectName(name, &o.objectName))
        Die("image name not expressible");
    if (CdwDefaultRequestKind(o.objectName) != CdwRequestKind::Disc)
        Die("image name too long for the plain record-disc request (keep it short)");
    o.bufferedRead = !a.unbuffered;
    o.checksumOnly = a.checksum;
    o.refillPercent = a.refill;
    return o;
}

/* Whether the disc file holds exactly the image's bytes (the disc may be longer only by the
   zero padding of a partial last block). */
bool SameBytes(const std::string &image, const std::string &disc) {
    int a = open(image.c_str(), O_RDONLY), b = open(disc.c_str(), O_RDONLY);
    if (a < 0 || b < 0) {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
        return false;
    }
    struct stat sa, sb;
    fstat(a, &sa);
    fstat(b, &sb);
    bool same = sb.st_size >= sa.st_size && sb.st_size - sa.st_size < 2048;
    const size_t chunk = 8 << 20;
    std::vector<char> x(chunk), y(chunk);
    for (off_t off = 0; same && off < sa.st_size; off += chunk) {
        size_t want = static_cast<size_t>(std::min<off_t>(chunk, sa.st_size - off));
        if (pread(a, x.data(), want, off) != static_cast<ssize_t>(want) ||
            pread(b, y.data(), want, off) != static_cast<ssize_t>(want) ||
            memcmp(x.data(), y.data(), want) != 0)
            same = false;
    }
    close(a);
    close(b);
    return same;
}

/* The 32-bit sum of every byte of the file: what a checksum-only recording reports. */
uint32_t ByteSum(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        Die("cannot read " + path);
    std::vector<unsigned char> buffer(1 << 20);
    uint32_t sum = 0;
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; i++)
            sum += buffer[static_cast<size_t>(i)];
    }
    close(fd);
    return sum;
}

/* Waits for the end of a recording, polling the status record every Micros. */
RECORDING_STATUS WaitDone(CdwDevice &d, long micros, uint64_t *polls = nullptr) {
    RECORDING_STATUS s = {};
    for (;;) {
        if (!CdwSucceeded(d.QueryStatus(&s)))
            Die("the status request failed");
        if (polls != nullptr)
            ++*polls;
        if (s.recordingStatus != RECSTAT_IN_PROCESS)
            return s;
        SleepMicros(micros);
    }
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int RunPipeline(const Args &a) {
    if (a.positional.size() != 2)
        Die("usage: cdw_bench pipeline IMAGE DISC [options]");
    Image im = LoadImage(a.positional[0]);
    const std::string disc = a.positional[1];
    HostThreadScope scope("bench");

    /*
     * Each recording has its own installation (driver, recorder, cache), so that the recorder
     * can be given a new blank medium without emptying its disc file. Recording 0 goes onto a
     * freshly truncated disc file; before each later one the disc file keeps the bytes (and
     * host pages) the one before wrote and only its description is put back to the blank
     * medium's, as the recorder wrote it for recording 0: the recording then writes over a
     * file that exists, as dd conv=notrunc writes over its output.
     */
    std::string blankDescription;
    bool allSame = true;
    for (int run = 0; run < a.runs; run++) {
        if (run > 0) {
            std::ofstream meta(disc + ".meta", std::ios::trunc);
            meta << blankDescription;
            if (!meta.good())
                Die("cannot put a blank medium's description beside " + disc);
        }
        Bench b;
        b.Load(a);
        b.Plug(1, {disc}, 0, FALSE, a.driveBuffer);
        auto &r = b.recorders[0];
        if (run == 0) {
            HostSimInsertBlankMedium(r.sim);
            blankDescription = ReadText(disc + ".meta");
            if (blankDescription.empty())
                Die("the recorder left no description of its blank medium");
        }
        b.Prepare(im.dir, a.buffers);
        CdwRecordOptions o = Options(im, a);
        const size_t poolPerRecorder = b.poolAfterCache - b.poolAfterLoad;
        if (!a.checksum)
            Bench::SetUp(r, im.layout, 0);

        SIM_RECORDER_COUNTERS c0, c1;
        HostSimGetCounters(r.sim, &c0);
        uint64_t polls = 0;
        uint64_t allocs0 = HostPoolTotalAllocations();
        double cpu0 = CpuSeconds();
        double t0 = Now();
        if (a.checksum)
            b.StartChecksum(r, im.layout, o);
        else
            b.Start(r, o);
        RECORDING_STATUS s = WaitDone(r.device, 200, &polls);
        double t1 = Now();
        double cpu1 = CpuSeconds();
        uint64_t allocs1 = HostPoolTotalAllocations();
        HostSimGetCounters(r.sim, &c1);
        if (s.recordingStatus != RECSTAT_COMPLETE)
            Die("the recording ended with status " + std::to_string(s.recordingStatus));
        if (!a.checksum) {
            Bench::Close(&r);
            if (!r.closed)
                Die("closing the disc failed: " + r.closeError);
        }
        bool same = true;
        if (a.verify)
            same = a.checksum ? s.buffersOrChecksum == ByteSum(im.path) : SameBytes(im.path, disc);
        allSame = allSame && same;
        /* The record-disc request and every status request take one system buffer each. */
        uint64_t allocs = allocs1 - allocs0;
        uint64_t requestBuffers = polls + 1;
        printf("RESULT mode=pipeline run=%d fresh_disc=%d seconds=%.4f cpu=%.4f bytes=%llu "
               "buffers=%u rss_kib=%ld pool_per_recorder=%zu pool_allocs=%llu "
               "request_buffers=%llu writes=%u checksum=0x%08X identical=%d set_up=%d "
               "setup_s=%.4f close_s=%.4f closed=%d\n",
               run, run == 0 ? 1 : 0, t1 - t0, cpu1 - cpu0,
               static_cast<unsigned long long>(im.bytes), r.buffers, PeakRssKiB(), poolPerRecorder,
               static_cast<unsigned long long>(allocs),
               static_cast<unsigned long long>(requestBuffers), c1.Writes - c0.Writes,
               a.checksum ? s.buffersOrChecksum : 0u, same ? 1 : 0, a.checksum ? 0 : 1,
               r.setupSeconds, r.closeSeconds, r.closed ? 1 : 0);
        fflush(stdout);
        b.Stop();
    }
    return allSame ? 0 : 1;
}

/* Whether a recorder's drive buffer has been full (within two commands) since its start. */
bool DriveBufferFilledOnce(const SIM_RECORDER_COUNTERS &c) {
    return c.MaxFill + 2 * 65536 >= c.BufferBytes;
}

/*
 * Watches the machine while recorders record: a thread in the host's highest real-time class
 * sleeps 1 ms at a time and notes how late it wakes. Nothing of this process can delay it, so
 * a late wake-up means the whole machine stood still (the hypervisor did not run it, or the
 * host kernel was busy), which starves the recorders however the driver schedules its work.
 */
class StallWatch {
public:
    StallWatch() {
        thread_ = std::thread([this] {
            sched_param param{};
            param.sched_priority = sched_get_priority_max(SCHED_FIFO);
            pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            auto last = std::chrono::steady_clock::now();
            while (!stop_.load(std::memory_order_relaxed)) {
                SleepMicros(1000);
                auto now = std::chrono::steady_clock::now();
                double late = std::chrono::duration<double, std::milli>(now - last).count() - 1.0;
                last = now;
                if (late > maxLateMs_)
                    maxLateMs_ = late;
                if (late > 20.0)
                    stalls_++;
            }
        });
    }
    ~StallWatch() { Stop(); }
    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }
    double MaxLateMs() const { return maxLateMs_; }
    unsigned Stalls() const { return stalls_; }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    double maxLateMs_ = 0;
    unsigned stalls_ = 0;
};

int RunMany(const Args &a) {
    if (a.positional.size() != 4)
        Die("usage: cdw_bench many IMAGE DISCDIR N SPEED [options]");
    Image im = LoadImage(a.positional[0]);
    unsigned n = static_cast<unsigned>(atoi(a.positional[2].c_str()));
    ULONG speed;
    BOOLEAN dvd;
    ParseSpeed(a.positional[3], &speed, &dvd);
    std::vector<std::string> discs;
    for (unsigned i = 0; i < n; i++)
        discs.push_back(a.positional[1] + "/disc-" + std::to_string(i) + ".img");

    HostThreadScope scope("bench");
    Bench b;
    b.Load(a);
    b.Plug(n, discs, speed, dvd, a.driveBuffer, a.hold);
    /* Each medium exists before it is written: the disc files get their pages now, so that the
       host's page allocation (on a virtual machine also the hypervisor's work to back memory it
       was given back) is not part of the recording. */
    for (const std::string &disc : discs) {
        int fd = open(disc.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || posix_fallocate(fd, 0, static_cast<off_t>(im.bytes)) != 0)
            fprintf(stderr, "cdw_bench: could not allocate %s in advance\n", disc.c_str());
        if (fd >= 0)
            close(fd);
    }

    /* --buffers 0: every recorder gets an equal share of the non-paged pool that is left
       (at most 96 buffers), as an installation with many recorders must plan it. */
    uint32_t buffers = a.buffers;
    if (buffers == 0) {
        size_t used = HostPoolBytesInUse() + size_t(n) * 65536; /* + request blocks, buffers */
        size_t share = used < kNonPagedPoolBytes ? (kNonPagedPoolBytes - used) / n : 0;
        buffers =
            static_cast<uint32_t>(std::min<size_t>(MAX_CACHE_BUFFERS, share / CACHE_BUFFER_SIZE));
        if (buffers < MIN_CACHE_BUFFERS) {
            b.Stop();
            printf("RESULT mode=many recorders=%u speed=%s pool_exhausted=1 buffers=%u complete=0 "
                   "identical=0 underruns=0\n",
                   n, a.positional[3].c_str(), buffers);
            return 0;
        }
    }
    b.Prepare(im.dir, buffers);
    CdwRecordOptions o = Options(im, a);
    /* Every recorder is set up before the first one starts, as the tool does; the speed is
       asked in the recorders' kB/s (a DVD's 1x is 1385 kB/s, a CD's 176.4). */
    const uint32_t kBps = dvd ? speed * 1385 : static_cast<uint32_t>(speed * 176.4 + 0.5);
    for (auto &r : b.recorders)
        Bench::SetUp(r, im.layout, kBps);
    const uint32_t refillPercent = a.refill >= 10 && a.refill <= 99 ? a.refill : 0;

    /*
     * Sampling. The ring counts while the reader still has more than a ring of the image to
     * read (at the end the ring drains by design). A recorder's "steady" samples are those
     * after its start-up: once its drive buffer has been full and its ring has been back at
     * the refill threshold. Before that its first write pass pours the ring into the empty
     * drive buffer while the other recorders are still starting.
     */
    const uint64_t totalBlocks = im.layout.DiscBlocks();
    std::vector<uint32_t> minQueuedAll(n, UINT32_MAX), minQueued(n, UINT32_MAX);
    std::vector<ULONG> minLevel(n, 0xFFFFFFFFu);
    std::vector<bool> done(n, false), full(n, false), steadyOf(n, false);
    std::vector<RECORDING_STATUS> last(n);
    unsigned fullCount = 0;
    uint64_t samples = 0;
    double cpu0 = CpuSeconds();
    double t0 = Now();
    const LONGLONG clock0 = HostClockNow();
    StallWatch watch;
    std::vector<LONGLONG> startedAt(n, 0);
    for (unsigned i = 0; i < n; i++) {
        startedAt[i] = HostClockNow();
        b.Start(b.recorders[i], o);
        /* With --stagger, as a duplicating application does, the next recorder starts once this
           one's write pass has begun (its first ring fill is done). */
        for (double w0 = Now(); a.stagger && Now() - w0 < 5.0;) {
            RECORDING_STATUS s;
            if (!CdwSucceeded(b.recorders[i].device.QueryStatus(&s)))
                Die("the status request failed");
            SIM_RECORDER_COUNTERS c;
            HostSimGetCounters(b.recorders[i].sim, &c);
            if (DriveBufferFilledOnce(c) || s.recordingStatus != RECSTAT_IN_PROCESS)
                break;
            SleepMicros(500);
        }
    }
    unsigned left = n;
    while (left > 0) {
        for (unsigned i = 0; i < n; i++) {
            if (done[i])
                continue;
            auto &r = b.recorders[i];
            RECORDING_STATUS s;
            if (!CdwSucceeded(r.device.QueryStatus(&s)))
                Die("the status request failed");
            SIM_RECORDER_COUNTERS c;
            HostSimGetCounters(r.sim, &c);
            last[i] = s;
            if (s.recordingStatus != RECSTAT_IN_PROCESS) {
                done[i] = true;
                left--;
                /* The driver has handed over all the data: the tool's closing runs beside the
                   recordings still going on. */
                if (s.recordingStatus == RECSTAT_COMPLETE)
                    r.closer = std::thread(Bench::Close, &r);
                continue;
            }
            if (!full[i] && DriveBufferFilledOnce(c)) {
                full[i] = true;
                fullCount++;
            }
            const uint32_t threshold =
                refillPercent != 0 ? r.buffers * refillPercent / 100 : kDriverRefillThreshold;
            if (full[i] && !steadyOf[i] && s.packetsQueued >= std::min(threshold, r.buffers - 1))
                steadyOf[i] = true;
            uint64_t ring = static_cast<uint64_t>(r.buffers) * 64;
            if (s.blocksWritten == 0 || totalBlocks - s.blocksWritten <= ring + 64)
                continue;
            samples++;
            minQueuedAll[i] = std::min(minQueuedAll[i], s.packetsQueued);
            if (steadyOf[i]) {
                minQueued[i] = std::min(minQueued[i], s.packetsQueued);
                minLevel[i] = std::min(minLevel[i], c.BufferLevel);
            }
        }
        SleepMicros(3000);
    }
    double seconds = Now() - t0;
    double cpu = CpuSeconds() - cpu0;
    watch.Stop();

    unsigned complete = 0, identical = 0, underruns = 0, notReady = 0, underrunRecorders = 0;
    SIM_RECORDER_COUNTERS early{}; /* of the recorder with the run's earliest underrun */
    unsigned earlyRecorder = 0;
    double minRingAll = 1.0, minRing = 1.0, minDrive = 1.0, minDriveAny = 1.0;
    for (unsigned i = 0; i < n; i++) {
        auto &r = b.recorders[i];
        if (last[i].recordingStatus == RECSTAT_COMPLETE)
            complete++;
        SIM_RECORDER_COUNTERS c;
        HostSimGetCounters(r.sim, &c);
        if (c.Underruns > 0 &&
            (early.Underruns == 0 || c.FirstUnderrunTime < early.FirstUnderrunTime)) {
            early = c;
            earlyRecorder = i;
        }
        underruns += c.Underruns;
        underrunRecorders += c.Underruns > 0 ? 1 : 0;
        notReady += c.NotReadyAnswers;
        if (minQueuedAll[i] != UINT32_MAX)
            minRingAll = std::min(minRingAll, static_cast<double>(minQueuedAll[i]) / r.buffers);
        if (minQueued[i] != UINT32_MAX)
            minRing = std::min(minRing, static_cast<double>(minQueued[i]) / r.buffers);
        if (minLevel[i] != 0xFFFFFFFFu && c.BufferBytes != 0)
            minDrive = std::min(minDrive, static_cast<double>(minLevel[i]) / c.BufferBytes);
        if (c.MinFill != 0xFFFFFFFFu && c.BufferBytes != 0)
            minDriveAny = std::min(minDriveAny, static_cast<double>(c.MinFill) / c.BufferBytes);
    }
    unsigned closed = 0;
    for (auto &r : b.recorders) {
        if (r.closer.joinable())
            r.closer.join();
        closed += r.closed ? 1 : 0;
        if (!r.closeError.empty())
            fprintf(stderr, "cdw_bench: closing a disc failed: %s\n", r.closeError.c_str());
    }
    b.Stop();
    for (unsigned i = 0; i < n; i++) {
        if (SameBytes(im.path, discs[i]))
            identical++;
        unlink(discs[i].c_str());
        unlink((discs[i] + ".meta").c_str());
        unlink((discs[i] + ".blocks").c_str());
    }
    printf("RESULT mode=many recorders=%u speed=%s buffers=%u seconds=%.3f complete=%u closed=%u "
           "identical=%u "
           "underruns=%u not_ready=%u steady=%u min_ring=%.3f min_ring_start=%.3f min_drive=%.3f "
           "min_drive_write=%.3f samples=%llu cpu=%.3f rss_kib=%ld underrun_recorders=%u "
           "first_underrun_s=%.3f first_underrun_recorder=%u first_underrun_block=%u "
           "first_underrun_gap_ms=%.1f first_underrun_after_start_s=%.3f realtime_threads=%u "
           "machine_max_late_ms=%.1f machine_stalls=%u\n",
           n, a.positional[3].c_str(), buffers, seconds, complete, closed, identical, underruns,
           notReady, static_cast<unsigned>(std::count(steadyOf.begin(), steadyOf.end(), true)),
           minRing, minRingAll, minDrive, minDriveAny, static_cast<unsigned long long>(samples),
           cpu, PeakRssKiB(), underrunRecorders,
           early.Underruns ? double(early.FirstUnderrunTime - clock0) / 1e7 : -1.0, earlyRecorder,
           early.FirstUnderrunLba,
           early.Underruns ? double(early.FirstUnderrunTime - early.FirstUnderrunEmptyTime) / 1e4
                           : 0.0,
           early.Underruns ? double(early.FirstUnderrunTime - startedAt[earlyRecorder]) / 1e7 : 0.0,
           static_cast<unsigned>(HostRealTimeThreads()), watch.MaxLateMs(), watch.Stalls());
    return 0;
}

int RunStatus(const Args &a) {
    if (a.positional.size() != 3)
        Die("usage: cdw_bench status IMAGE DISC SPEED [options]");
    Image im = LoadImage(a.positional[0]);
    ULONG speed;
    BOOLEAN dvd;
    ParseSpeed(a.positional[2], &speed, &dvd);
    HostThreadScope scope("bench");
    Bench b;
    b.Load(a);
    b.Plug(1, {a.positional[1]}, speed, dvd, a.driveBuffer);
    b.Prepare(im.dir, a.buffers);
    CdwRecordOptions o = Options(im, a);
    auto &r = b.recorders[0];
    Bench::SetUp(r, im.layout, dvd ? speed * 1385 : static_cast<uint32_t>(speed * 176.4 + 0.5));
    b.Start(r, o);
    /* Let the pipeline reach its steady state first. */
    SleepMicros(200000);
    uint64_t requests = 0;
    RECORDING_STATUS s = {};
    double t0 = Now(), t1 = t0;
    bool recording = true;
    while (t1 - t0 < a.seconds) {
        for (int k = 0; k < 256; k++) {
            if (!CdwSucceeded(r.device.QueryStatus(&s)))
                Die("the status request failed");
            requests++;
        }
        t1 = Now();
        if (s.recordingStatus != RECSTAT_IN_PROCESS) {
            recording = false;
            break;
        }
    }
    double rate = requests / (t1 - t0);
    r.device.Cancel();
    WaitDone(r.device, 1000);
    b.Stop();
    printf(
        "RESULT mode=status requests=%llu seconds=%.3f per_second=%.0f recording_throughout=%d\n",
        static_cast<unsigned long long>(requests), t1 - t0, rate, recording ? 1 : 0);
    return 0;
}

/* Runs a command (its output thrown away) and reports its wall time, CPU time and peak
   resident memory, measured as for the driver runs. */
int RunTime(int argc, char **argv) {
    if (argc < 3)
        Die("usage: cdw_bench time COMMAND [ARGS...]");
    double t0 = Now();
    pid_t pid = fork();
    if (pid < 0)
        Die("fork failed");
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage u;
    if (wait4(pid, &status, 0, &u) != pid)
        Die("wait4 failed");
    double t1 = Now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Die(std::string("command failed: ") + argv[2]);
    double cpu =
        u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
    printf("RESULT mode=time seconds=%.4f cpu=%.4f rss_kib=%ld\n", t1 - t0, cpu, u.ru_maxrss);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        Die("usage: cdw_bench pipeline|many|status ...");
    std::string mode = argv[1];
    if (mode == "time")
        return RunTime(argc, argv);
    Args a = ParseArgs(argc, argv);
    if (mode == "pipeline")
        return RunPipeline(a);
    if (mode == "many")
        return RunMany(a);
    if (mode == "status")
        return RunStatus(a);
    Die("unknown mode " + mode);
}
