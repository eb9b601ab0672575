/*
 * install.h - the installation the tool runs on: the driver loaded into the host stand-in,
 * simulated recorders and desktop units plugged in, and found again through their device
 * interface classes.
 */
#pragma once

#include "options.h"

#include <string>
#include <vector>

struct _SIM_RECORDER;
struct _HOST_SG_PORT;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

struct InstalledDevice {
    DeviceSpec spec;
    _SIM_RECORDER *sim = nullptr;        /* a simulated device, or */
    _HOST_SG_PORT *sg = nullptr;         /* a real recorder through the SCSI generic driver */
    _DEVICE_OBJECT *pdo = nullptr;       /* the port device of either */
    _DEVICE_OBJECT *fdo = nullptr;       /* the driver's device on the simulated port */
    _DEVICE_OBJECT *logObject = nullptr; /* the device its event-log entries name, kept after
                                            removal */
    std::string discFile;
    bool eject = false;      /* its disc was ejected: Stop keeps the disc file aside */
    std::string keptAs;      /* where Stop kept it */
    int interfaceIndex = -1; /* index within its interface class, -1 until found */
};

class Installation {
public:
    Installation() = default;
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    /*
     * Builds the device list from the options (or the installation file), creates the disc
     * directory, opens and locks every disc file, loads the driver, creates and plugs in the
     * simulated devices and finds their interfaces. Returns false with a one-line message;
     * *usage tells a mistake in the input or the environment (exit 2) apart from a failure of
     * the installation itself.
     *
     * inputs are the files the run reads (images, BIN files): a disc file that is one of them,
     * by name, link or hard link, is refused before anything is opened for writing, and so are
     * two recorders that would share one disc file. Each disc file is opened without following
     * a link, never truncated, and holds an exclusive lock until Stop, so that a second run
     * on the same disc files is refused instead of writing over this one.
     */
    bool Start(const Options &options, const InstallSpec &install, std::string *error, bool *usage,
               const std::vector<std::string> &inputs = {});

    /* Appends the system event log entries not yet saved to the event log file of the state
       directory, with wall-clock time and the name of the device that logged them. */
    void SaveEventLog();

    /* Removes the devices and unloads the driver; reports what the stand-in found left over
       (empty when clean). The disc file of a recorder whose disc was ejected (its `eject`
       set) is renamed, with its description and raw blocks, to NAME.ejected-N.img (never
       over a file that is there) while its lock is still held: the next run finds no disc
       file and creates a blank medium. Runs at most once; the destructor calls it. */
    std::string Stop();

    /* The exit code of a failed Start: kExitUsage for a mistake in the input, kExitDevice when
       a real recorder cannot be used (permission, busy, mounted, gone), else kExitFailed. */
    int StartExitCode(bool usage) const;

    /* Real recorders found but not usable (permission, busy, mounted), for `devices`. */
    const std::vector<std::string> &Unusable() const { return unusable_; }

    unsigned RecorderCount() const { return static_cast<unsigned>(recorders_.size()); }
    unsigned DesktopCount() const { return static_cast<unsigned>(desktops_.size()); }

    /* The recorder / desktop unit behind interface index i of its class. */
    InstalledDevice &Recorder(unsigned i) { return devices_[recorders_[i]]; }
    InstalledDevice &Desktop(unsigned i) { return devices_[desktops_[i]]; }

    /* Faults of the script that never fired, as text ("" when all fired). */
    std::string UnreachedFaults();

    /* Writes the simulated recorders' command logs to a file. */
    bool WriteCommandLog(const std::string &path, std::string *error);

private:
    /* Adds a device whose pdo is set to the list, has the plug-and-play manager give it to the
       driver and start it; what names it in the message of a failure. */
    bool PlugIn(const InstalledDevice &device, const std::string &what, std::string *error);

    std::vector<InstalledDevice> devices_;
    std::vector<size_t> recorders_; /* device index per recorder interface index */
    std::vector<size_t> desktops_;
    std::vector<int> discLocks_;         /* one open, locked descriptor per disc file */
    std::vector<std::string> discPaths_; /* their paths */
    _DRIVER_OBJECT *driver_ = nullptr;
    bool driverLoaded_ = false;
    bool stopped_ = false;
    bool deviceProblem_ = false;
    std::vector<std::string> unusable_;
    unsigned long eventsSaved_ = 0;
    bool eventLogWarned_ = false;
};

/* The event log file in the state directory ("" when there is no state directory). */
std::string EventLogPath();

/*
 * Makes a private directory (mode 0700) and its missing parents. An existing directory must be
 * owned by this user and writable by no one else when mustBePrivate is set; otherwise such a
 * directory only earns *warning. Returns false with the reason.
 */
bool MakePrivateDirectory(const std::string &path, bool mustBePrivate, std::string *error,
                          std::string *warning);
