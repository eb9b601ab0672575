/*
 * install.cpp - loads the driver into the host stand-in and plugs in the simulated devices.
 */
#include "install.h"
#include "eventlog_file.h"

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/sgport.h>
#include <standin/simrecorder.h>
#include "tool.h"

#include "control/cdwriter_ioctl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

/* The driver's entry routine, linked from the driver library. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const GUID kRecorderClass = {CDW_GUID_RECORDER_PARTS};
const GUID kDesktopClass = {CDW_GUID_DESKTOP_PARTS};

/* A file's identity: device and inode, the same through every name and link. */
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
};

bool IdOf(const std::string &path, FileId *id) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    return true;
}

/* The name a path will have once it exists: its directory resolved through links. */
std::string CanonicalName(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char real[PATH_MAX];
    if (realpath(dir.c_str(), real) == nullptr)
        return path;
    return std::string(real) + "/" + base;
}

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

void Note(const std::string &text) {
    fprintf(stderr, "cdwriter: note: %s\n", text.c_str());
}

/* Keeps the event log file below kEventLogMaxBytes: past it, the oldest lines go, down to half
   of it. The caller holds the file's lock. */
void TrimEventLog(int fd, const std::string &path) {
    constexpr off_t kEventLogMaxBytes = 1 << 20;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= kEventLogMaxBytes)
        return;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    int in = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return;
    ssize_t got = pread(in, &text[0], text.size(), 0);
    close(in);
    if (got != static_cast<ssize_t>(text.size()))
        return;
    size_t from = text.find('\n', text.size() - kEventLogMaxBytes / 2);
    if (from == std::string::npos)
        return;
    std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int out = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0)
        return;
    bool written = write(out, text.data() + from + 1, text.size() - from - 1) ==
                   static_cast<ssize_t>(text.size() - from - 1);
    if (close(out) == 0 && written)
        rename(fresh.c_str(), path.c_str());
    else
        unlink(fresh.c_str());
}

/* True when this process may put a thread into the host's real-time class. */
bool MayUseRealTime() {
    int policy = 0;
    struct sched_param old = {};
    pthread_t self = pthread_self();
    if (pthread_getschedparam(self, &policy, &old) != 0)
        return false;
    struct sched_param rt = {};
    rt.sched_priority = sched_get_priority_min(SCHED_RR);
    if (pthread_setschedparam(self, SCHED_RR, &rt) != 0)
        return false;
    pthread_setschedparam(self, policy, &old);
    return true;
}

/* A speed as a whole multiple of the CD or DVD 1x (0: as fast as possible), at least 1x. */
ULONG SimMultipleFor(const SpeedSpec &speed, bool dvd) {
    if (speed.max)
        return 0;
    double multiple = speed.BytesPerSecond() / (dvd ? kDvd1xBytes : kCd1xBytes);
    return multiple < 1 ? 1 : static_cast<ULONG>(multiple + 0.5);
}

/* The name a disc file is kept under: NAME.<what>-N.img (N from 1), with none of its three
   files there yet. */
std::string KeptName(const std::string &path, const char *what) {
    std::string stem = path, ext;
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        stem = path.substr(0, dot);
        ext = path.substr(dot);
    }
    for (unsigned n = 1;; n++) {
        std::string name = stem + "." + what + "-" + std::to_string(n) + ext;
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 && lstat((name + ".meta").c_str(), &st) != 0 &&
            lstat((name + ".blocks").c_str(), &st) != 0)
            return name;
    }
}

/* Renames without ever replacing a file that is there. */
bool RenameNoReplace(const std::string &from, const std::string &to) {
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

std::string Hex(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

void CopyText(char *dest, size_t size, const std::string &text) {
    snprintf(dest, size, "%s", text.c_str());
}

} // namespace

bool MakePrivateDirectory(const std::string &path, bool mustBePrivate, std::string *error,
                          std::string *warning) {
    if (path.empty()) {
        *error = "no directory for the disc files: HOME is not set (give --disc-dir)";
        return false;
    }
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create directory " + Quoted(partial) + ": " + strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = "cannot use directory " + Quoted(path) + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = Quoted(path) + " is not a directory";
        return false;
    }
    std::string why;
    if (st.st_uid != geteuid())
        why = "belongs to user " + std::to_string(st.st_uid);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = "is writable by other users";
    if (!why.empty()) {
        if (mustBePrivate) {
            *error = "directory " + Quoted(path) + " " + why +
                     "; it must be private to you (chmod 700, or give --disc-dir)";
            return false;
        }
        *warning =
            "directory " + Quoted(path) + " " + why + ": another user could change its disc files";
    }
    if (access(path.c_str(), W_OK | X_OK) != 0) {
        *error = "cannot write in directory " + Quoted(path) + ": " + strerror(errno);
        return false;
    }
    return true;
}

std::string EventLogPath() {
    std::string dir = StateDir();
    return dir.empty() ? "" : dir + "/eventlog.txt";
}

Installation::~Installation() {
    Stop();
}

bool Installation::Start(const Options &options, const InstallSpec &install, std::string *error,
                         bool *usage, const std::vector<std::string> &inputs) {
    *usage = true;
    std::vector<DeviceSpec> specs;
    bool fromFile = !options.installFile.empty();
    bool fileHasDevices = false;
    for (const auto &d : install.devices)
        fileHasDevices = true, specs.push_back(d);
    if (!fromFile || !fileHasDevices) {
        for (unsigned i = 0; !options.realRecorders && i < options.recorders; i++)
            specs.push_back(DeviceSpec());
        /* Real recorders: every one with --recorders sg; `devices` lists them after the
           simulated ones. One that cannot be opened is a failure for the first, a line of
           the listing for the second. */
        if (options.realRecorders || options.command == Command::Devices) {
            HOST_SG_FOUND found[32];
            ULONG count = std::min<ULONG>(HostSgFind("/dev", found, 32), 32);
            for (ULONG i = 0; i < count; i++) {
                if (found[i].Problem != HostSgOpened) {
                    if (!options.realRecorders) {
                        unusable_.push_back(found[i].Message);
                        continue;
                    }
                    *error = found[i].Message;
                    *usage = false;
                    deviceProblem_ = true;
                    return false;
                }
                DeviceSpec d;
                d.sgPath = found[i].Path;
                specs.push_back(d);
            }
            if (options.realRecorders && count == 0) {
                *error = "--recorders sg: no real recorder found (no /dev/sg* device answers "
                         "INQUIRY as a CD/DVD device; is the sg module loaded?)";
                *usage = false;
                deviceProblem_ = true;
                return false;
            }
        }
        for (unsigned i = 0; i < options.desktopUnits; i++) {
            DeviceSpec d;
            d.desktop = true;
            specs.push_back(d);
        }
    }
    unsigned recorderNo = 0;
    for (auto &d : specs) {
        if (d.desktop)
            continue;
        std::string name = "recorder " + std::to_string(recorderNo);
        if (d.speedSet && options.speedSet)
            Note("--speed " + options.speed.text + " does not apply to " + name + ": line " +
                 std::to_string(d.line) + " of " + options.installFile +
                 " sets speed=" + d.speed.text);
        if (d.bufferBytes != 0 && options.driveBuffer != 0 && d.bufferBytes != options.driveBuffer)
            Note("--drive-buffer does not apply to " + name + ": line " + std::to_string(d.line) +
                 " of " + options.installFile + " sets its own buffer=");
        if (!d.speedSet)
            d.speed = options.speed;
        if (d.bufferBytes == 0)
            d.bufferBytes = options.driveBuffer;
        recorderNo++;
    }
    if (recorderNo == 0 && options.command == Command::Record) {
        *error = "the installation has no recorder";
        return false;
    }
    for (const auto &f : options.faults) {
        if (f.recorder < recorderNo) {
            unsigned k = 0;
            for (const auto &d : specs) {
                if (d.desktop)
                    continue;
                if (k++ == f.recorder && !d.sgPath.empty()) {
                    *error = "--inject-fault names recorder " + std::to_string(f.recorder) +
                             ", a real recorder (faults are injected into simulated ones only)";
                    return false;
                }
            }
        }
        if (f.recorder >= recorderNo) {
            *error = "--inject-fault names recorder " + std::to_string(f.recorder) +
                     ", the installation has " + std::to_string(recorderNo);
            return false;
        }
    }

    /* The disc files, checked against the run's inputs and each other before any is opened. */
    std::string discDir = options.discDir.empty() ? DefaultDiscDir() : options.discDir;
    std::vector<std::string> discFiles;
    for (const auto &d : specs)
        if (!d.desktop && d.sgPath.empty())
            discFiles.push_back(!d.discFile.empty()
                                    ? d.discFile
                                    : discDir + "/recorder-" + std::to_string(discFiles.size()) +
                                          ".img");
    std::vector<std::pair<FileId, std::string>> inputIds;
    for (const auto &path : inputs) {
        FileId id;
        if (IdOf(path, &id))
            inputIds.emplace_back(id, path);
    }
    auto conflict = [&](size_t r, const FileId *id) -> bool {
        for (const auto &in : inputIds) {
            if (id != nullptr && *id == in.first) {
                *error = Quoted(in.second) + " is (or links to) the disc file " +
                         Quoted(discFiles[r]) + " of recorder " + std::to_string(r) +
                         ": recording would destroy it before it is read";
                return true;
            }
        }
        return false;
    };
    std::vector<std::string> names(discFiles.size());
    for (size_t r = 0; r < discFiles.size(); r++) {
        FileId id;
        bool exists = IdOf(discFiles[r], &id);
        if (exists && conflict(r, &id))
            return false;
        names[r] = CanonicalName(discFiles[r]);
        for (size_t k = 0; k < r; k++) {
            FileId other;
            if (names[k] == names[r] || (exists && IdOf(discFiles[k], &other) && other == id)) {
                *error = "recorders " + std::to_string(k) + " and " + std::to_string(r) +
                         " would share one disc file, " + Quoted(discFiles[r]);
                return false;
            }
        }
    }

    if (!discFiles.empty()) { /* real recorders need no disc directory */
        std::string warning;
        if (!MakePrivateDirectory(discDir, options.discDir.empty(), error, &warning))
            return false;
        if (!warning.empty())
            fprintf(stderr, "cdwriter: warning: %s\n", warning.c_str());
    }

    /* Open and lock each disc file: never through a link, never truncated. A file made here
       is an empty disc file, which the recorder takes as a blank medium. */
    std::vector<std::string> created;
    auto undo = [&]() {
        for (int fd : discLocks_)
            close(fd);
        discLocks_.clear();
        discPaths_.clear();
        for (const auto &path : created)
            unlink(path.c_str());
    };
    std::vector<FileId> lockedIds;
    for (size_t r = 0; r < discFiles.size(); r++) {
        const std::string &path = discFiles[r];
        int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                created.push_back(path);
                /* A description or raw blocks left without their disc file belong to no
                   medium in the recorder, which gets a blank one; they are kept aside. */
                std::string kept;
                for (const char *side : {".meta", ".blocks"}) {
                    struct stat st;
                    if (lstat((path + side).c_str(), &st) != 0)
                        continue;
                    if (kept.empty())
                        kept = KeptName(path, "orphaned");
                    if (RenameNoReplace(path + side, kept + side))
                        Note(Quoted(path + side) + " had no disc file; kept as " +
                             Quoted(kept + side));
                }
            }
        }
        if (fd < 0) {
            *error = errno == ELOOP
                         ? "disc file " + Quoted(path) +
                               " is a symbolic link; disc files are never opened "
                               "through a link"
                         : "cannot open disc file " + Quoted(path) + ": " + strerror(errno);
            undo();
            return false;
        }
        discLocks_.push_back(fd);
        discPaths_.push_back(path);
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "disc file " + Quoted(path) + " is not a regular file";
            undo();
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = errno == EWOULDBLOCK
                         ? "disc file " + Quoted(path) +
                               " is in use by another cdwriter run; wait for it to end or give "
                               "another --disc-dir"
                         : "cannot lock disc file " + Quoted(path) + ": " + strerror(errno);
            undo();
            return false;
        }
        FileId id{st.st_dev, st.st_ino};
        for (size_t k = 0; k < lockedIds.size(); k++) {
            if (lockedIds[k] == id) {
                *error = "recorders " + std::to_string(k) + " and " + std::to_string(r) +
                         " would share one disc file, " + Quoted(path);
                undo();
                return false;
            }
        }
        if (conflict(r, &id)) {
            undo();
            return false;
        }
        lockedIds.push_back(id);
    }

    if (options.realtime && !MayUseRealTime())
        Note("--realtime has no effect: this process may not use the real-time class (it needs "
             "root or CAP_SYS_NICE); the recording threads run at normal priority");

    *usage = false;
    HostClockUseReal();
    HostUseRealTimePriorities(options.realtime);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = HostLoadDriver(DriverEntry, "cdwriter", &status);
    if (driver_ != nullptr)
        driverLoaded_ = true;
    if (!NT_SUCCESS(status) || driver_ == nullptr) {
        char text[64];
        snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
        *error = std::string("the driver did not load, status ") + text;
        return false;
    }

    unsigned recorderIndex = 0;
    size_t discIndex = 0;
    UCHAR targetId = 0;
    for (auto &d : specs) {
        if (!d.sgPath.empty()) {
            InstalledDevice device;
            device.spec = d;
            HOST_SG_OPEN_RESULT result = HostSgOpened;
            char message[256];
            device.sg = HostSgOpen(d.sgPath.c_str(), &result, message, sizeof(message));
            if (device.sg == nullptr && !options.realRecorders && !fileHasDevices) {
                unusable_.push_back(message); /* `devices`: listed, not a failure */
                continue;
            }
            if (device.sg == nullptr) {
                *error = message;
                deviceProblem_ = true;
                return false;
            }
            device.pdo = HostSgPdo(device.sg);
            device.discFile = d.sgPath;
            recorderIndex++;
            if (!PlugIn(device, d.sgPath, error))
                return false;
            continue;
        }
        SIM_RECORDER_CONFIG config;
        HostSimDefaultConfig(&config);
        InstalledDevice device;
        device.spec = d;
        if (d.desktop) {
            HostSimDesktopUnitConfig(&config);
        } else {
            device.discFile = discFiles[discIndex++];
            config.DiscFile = device.discFile.c_str();
            bool dvd = false;
            config.SpeedMultiple = d.speed.SimMultiple(&dvd);
            config.Dvd = dvd ? TRUE : FALSE;
            config.Medium = d.media == "cd-r"    ? SimMediumCdR
                            : d.media == "cd-rw" ? SimMediumCdRw
                            : d.media == "dvd-r" ? SimMediumDvdMinusR
                            : d.media == "dvd+r" ? SimMediumDvdPlusR
                                                 : SimMediumDefault;
            config.CapacityBlocks = d.capacityBlocks;
            /* Speeds as multiples of the medium's 1x: a DVD medium runs at the DVD rate. */
            const bool dvdMedium = d.media == "dvd-r" || d.media == "dvd+r";
            if (!d.media.empty() && dvd != dvdMedium) {
                config.Dvd = dvdMedium ? TRUE : FALSE;
                config.SpeedMultiple = SimMultipleFor(d.speed, dvdMedium);
            }
            config.MaxSpeedMultiple =
                SimMultipleFor(d.maxSpeed, dvdMedium || (d.media.empty() && dvd));
            if (d.bufferBytes != 0)
                config.BufferBytes = static_cast<ULONG>(d.bufferBytes);
        }
        config.TargetId = targetId++;
        if (!d.vendor.empty())
            CopyText(config.Vendor, sizeof(config.Vendor), d.vendor);
        if (!d.product.empty())
            CopyText(config.Product, sizeof(config.Product), d.product);
        if (!d.revision.empty())
            CopyText(config.Revision, sizeof(config.Revision), d.revision);
        if (d.addressSet) {
            config.PortNumber = d.port;
            config.PathId = d.path;
            config.TargetId = d.target;
            config.Lun = d.lun;
        }
        device.sim = HostCreateSimulatedRecorder(&config);
        if (device.sim == nullptr) {
            *error = d.desktop ? std::string("cannot create a simulated desktop unit")
                               : "cannot create the simulated recorder on disc file \"" +
                                     device.discFile + "\": " + strerror(errno);
            return false;
        }
        if (!d.desktop) {
            std::vector<FaultSpec> faults = d.faults;
            for (const auto &f : options.faults)
                if (f.recorder == recorderIndex)
                    faults.push_back(f);
            for (const auto &f : faults) {
                SIM_FAULT fault;
                HostSimInitFault(&fault, f.atBlock ? SimFaultAtBlock : SimFaultAtCommand,
                                 f.sense ? SimFaultSense : SimFaultSrbStatus);
                if (f.atBlock)
                    fault.BlockAddress = f.where;
                else
                    fault.CommandNumber = f.where;
                fault.RepeatCount = f.repeat;
                fault.SenseKey = f.senseKey;
                fault.Asc = f.asc;
                fault.Ascq = f.ascq;
                fault.SrbStatus = f.srbStatus;
                HostSimAddFault(device.sim, &fault);
            }
            recorderIndex++;
        }
        device.pdo = device.sim->Pdo;
        if (!PlugIn(device, "the simulated device", error))
            return false;
    }

    /* Find every device again through its interface class. */
    for (int pass = 0; pass < 2; pass++) {
        const GUID *cls = pass == 0 ? &kRecorderClass : &kDesktopClass;
        auto &list = pass == 0 ? recorders_ : desktops_;
        ULONG count = HostDeviceInterfaceCount(cls, TRUE);
        for (ULONG i = 0; i < count; i++) {
            char link[512];
            if (!HostDeviceInterfaceLink(cls, i, link, sizeof(link)))
                continue;
            PDEVICE_OBJECT pdo = HostDeviceInterfacePdo(link);
            for (size_t k = 0; k < devices_.size(); k++) {
                if (devices_[k].pdo == pdo) {
                    if (devices_[k].spec.desktop != (pass == 1)) {
                        *error = "a device appeared in the wrong interface class";
                        return false;
                    }
                    devices_[k].interfaceIndex = static_cast<int>(i);
                    list.push_back(k);
                }
            }
        }
    }
    for (const auto &d : devices_) {
        if (d.interfaceIndex < 0) {
            *error = std::string(!d.spec.sgPath.empty() ? "the real " : "a simulated ") +
                     (d.spec.desktop ? "desktop unit" : "recorder") +
                     " was plugged in but has no enabled device interface";
            return false;
        }
    }
    return true;
}

bool Installation::PlugIn(const InstalledDevice &device, const std::string &what,
                          std::string *error) {
    devices_.push_back(device);
    NTSTATUS addStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT fdo = HostPnpAddDevice(device.pdo, &addStatus);
    if (fdo == nullptr || !NT_SUCCESS(addStatus)) {
        *error = "the driver did not take " + what + ", status " + Hex(addStatus);
        return false;
    }
    devices_.back().fdo = fdo;
    devices_.back().logObject = fdo;
    NTSTATUS status = HostPnpStart(fdo);
    if (!NT_SUCCESS(status)) {
        *error = "starting " + what + " failed, status " + Hex(status);
        return false;
    }
    return true;
}

int Installation::StartExitCode(bool usage) const {
    return usage ? kExitUsage : deviceProblem_ ? kExitDevice : kExitFailed;
}

std::string Installation::Stop() {
    if (stopped_)
        return "";
    stopped_ = true;
    std::string report;
    SaveEventLog();
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (it->fdo != nullptr) {
            NTSTATUS status = HostPnpRemove(it->fdo);
            if (!NT_SUCCESS(status))
                report += "removing a device failed, status " + Hex(status) + "\n";
            it->fdo = nullptr;
        }
    }
    if (driverLoaded_) {
        std::string leftover;
        if (!HostUnloadDriver(driver_, &leftover))
            report += leftover;
        driverLoaded_ = false;
        driver_ = nullptr;
    }
    SaveEventLog();
    for (auto &d : devices_) {
        if (d.sim != nullptr)
            HostDestroySimulatedRecorder(d.sim);
        d.sim = nullptr;
        if (d.sg != nullptr)
            HostSgClose(d.sg);
        d.sg = nullptr;
    }
    /* Ejected discs are kept under a name that says so, before their locks go. */
    for (auto &d : devices_) {
        if (!d.eject || d.discFile.empty())
            continue;
        std::string kept = KeptName(d.discFile, "ejected");
        bool moved = RenameNoReplace(d.discFile, kept);
        for (const char *side : {".meta", ".blocks"}) {
            struct stat st;
            if (moved && lstat((d.discFile + side).c_str(), &st) == 0)
                moved = RenameNoReplace(d.discFile + side, kept + side);
        }
        if (moved)
            d.keptAs = kept;
        else
            report += "the ejected disc file " + Quoted(d.discFile) + " could not be renamed to " +
                      Quoted(kept) + ": " + strerror(errno) + "\n";
    }
    for (int fd : discLocks_)
        close(fd);
    discLocks_.clear();
    discPaths_.clear();
    return report;
}

void Installation::SaveEventLog() {
    ULONG count = HostErrorLogCount();
    if (count <= eventsSaved_)
        return;
    std::string path = EventLogPath();
    std::string error, warning;
    int fd = -1;
    if (!path.empty() && MakePrivateDirectory(StateDir(), true, &error, &warning))
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (!eventLogWarned_)
            fprintf(stderr, "cdwriter: warning: the event log is not saved: %s\n",
                    !error.empty() ? error.c_str()
                    : path.empty() ? "no state directory"
                                   : (Quoted(path) + ": " + strerror(errno)).c_str());
        eventLogWarned_ = true;
        return;
    }
    struct timeval wall;
    gettimeofday(&wall, nullptr);
    const double wallNow = wall.tv_sec + wall.tv_usec / 1e6;
    const LONGLONG clockNow = HostClockNow();
    std::string text;
    for (ULONG i = eventsSaved_; i < count; i++) {
        HOST_ERROR_LOG_ENTRY entry;
        if (!HostErrorLogGet(i, &entry))
            break;
        std::string device = entry.IoObject == driver_ && driver_ != nullptr ? "driver" : "device";
        for (const auto &d : devices_)
            if (d.logObject != nullptr && entry.IoObject == d.logObject)
                device = std::string(d.spec.desktop ? "desktop unit " : "recorder ") +
                         (d.interfaceIndex >= 0 ? std::to_string(d.interfaceIndex) : "?");
        EventLogRecord record;
        record.unixTime = wallNow - static_cast<double>(clockNow - entry.Time) / 1e7;
        record.device = device;
        record.id = static_cast<uint32_t>(entry.Packet.ErrorCode);
        for (ULONG w = 0; w < entry.DumpWordCount; w++)
            record.dump.push_back(entry.DumpData[w]);
        text += FormatEventLogRecord(record) + "\n";
    }
    eventsSaved_ = count;
    flock(fd, LOCK_EX);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) &&
        !eventLogWarned_) {
        fprintf(stderr, "cdwriter: warning: the event log is not saved: %s\n", strerror(errno));
        eventLogWarned_ = true;
    }
    TrimEventLog(fd, path);
    close(fd);
}

std::string Installation::UnreachedFaults() {
    std::string text;
    for (unsigned i = 0; i < RecorderCount(); i++) {
        InstalledDevice &d = Recorder(i);
        if (d.sim != nullptr && HostSimUnreachedFaults(d.sim) != 0)
            text += (text.empty() ? "" : "; ") + std::string("recorder ") + std::to_string(i) +
                    ": " + std::to_string(HostSimUnreachedFaults(d.sim)) +
                    " injected fault(s) never reached";
    }
    return text;
}

bool Installation::WriteCommandLog(const std::string &path, std::string *error) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        *error = "cannot write command log \"" + path + "\": " + strerror(errno);
        return false;
    }
    fprintf(f, "# recorder number opcode datalength transferred srbstatus scsistatus sense cdb\n");
    for (unsigned i = 0; i < RecorderCount(); i++) {
        InstalledDevice &d = Recorder(i);
        if (d.sim == nullptr)
            continue; /* a real recorder keeps no log here */
        ULONG count = HostSimLogCount(d.sim);
        for (ULONG k = 0; k < count; k++) {
            SIM_LOG_ENTRY e;
            if (!HostSimLogEntry(d.sim, k, &e))
                break;
            fprintf(f, "%u %lu %02X %lu %lu %02X %02X %X/%02X/%02X", i,
                    static_cast<unsigned long>(e.Number), e.Cdb[0],
                    static_cast<unsigned long>(e.DataLength),
                    static_cast<unsigned long>(e.Transferred), e.SrbStatus, e.ScsiStatus,
                    e.SenseKey, e.Asc, e.Ascq);
            for (int b = 0; b < e.CdbLength && b < 16; b++)
                fprintf(f, "%s%02X", b == 0 ? " " : "", e.Cdb[b]);
            fprintf(f, "\n");
        }
    }
    if (fclose(f) != 0) {
        *error = "cannot write command log \"" + path + "\": " + strerror(errno);
        return false;
    }
    return true;
}
