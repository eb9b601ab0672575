/*
 * options.h - the command line and the installation file of the cdwriter tool, and the
 * small value syntaxes they use (speeds, sizes, command blocks, injected faults).
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/* 1x rates in bytes per second of 2048-byte data. */
constexpr double kCd1xBytes = 153600.0; /* 75 blocks of 2048 bytes */
/* A CD's 1x as recorders count speeds in kB/s (75 blocks of 2352 bytes, 176.4 kB/s, which
   recorders and their tools take as 176). */
constexpr double kCdAudio1xBytes = 176000.0;
constexpr double kDvd1xBytes = 1385000.0;
constexpr double kBd1xBytes = 4495500.0;

/* A write speed as xorriso writes it: "16c", "8d", "4b", a plain CD multiple, or "max". */
struct SpeedSpec {
    bool max = true;
    double multiple = 0; /* of the unit's 1x */
    char unit = 'c';     /* 'c' CD, 'd' DVD, 'b' BD */
    std::string text = "max";

    double BytesPerSecond() const; /* 0 for max */
    double UnitBytes() const;      /* 1x of the unit */
    /* The simulated recorder's setting: a whole multiple of its CD or DVD 1x (0 = max). */
    uint32_t SimMultiple(bool *dvd) const;
};

bool ParseSpeed(const std::string &text, SpeedSpec *speed, std::string *error);

/* The smallest drive buffer a recorder may be given: one write command of the largest transfer
   the simulated adapter takes. A smaller buffer could never hold a whole command. */
constexpr uint64_t kMinDriveBufferBytes = 64 * 1024;

/* A size in bytes: "4m", "512k", "1g", "2097152" (k/m/g are binary). */
bool ParseSize(const std::string &text, uint64_t *bytes, std::string *error);

/* A whole number within [min, max]. */
bool ParseNumber(const std::string &text, uint64_t min, uint64_t max, uint64_t *value);

/* A command block in hex: "12 00 00 00 24 00", "1200000024000", "12:00:..." (6 to 16 bytes). */
bool ParseCdbHex(const std::string &text, std::vector<uint8_t> *cdb, std::string *error);

/*
 * An injected recorder fault:
 *   [recorder=N:]write-block=LBA:sense=K/AA/QQ[:repeat=N]
 *   [recorder=N:]command=N:sense=K/AA/QQ
 *   [recorder=N:]command=N:srb=0xSS   (or write-block=LBA:srb=0xSS)
 * Without recorder= the fault goes to recorder 0.
 */
struct FaultSpec {
    unsigned recorder = 0;
    bool atBlock = true; /* else at command number */
    uint32_t where = 0;
    bool sense = true; /* else an SRB status */
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    uint8_t srbStatus = 0;
    uint32_t repeat = 1;
    std::string text;
};

bool ParseFault(const std::string &text, FaultSpec *fault, std::string *error);

/* One device of the installation. */
struct DeviceSpec {
    bool desktop = false;
    SpeedSpec speed;
    bool speedSet = false;
    uint64_t bufferBytes = 0;    /* 0: the default */
    std::string media;           /* the blank medium a new disc file holds: "cd-r", "cd-rw",
                                    "dvd-r", "dvd+r"; "": CD-R (DVD-R with a DVD speed) */
    uint32_t capacityBlocks = 0; /* of that blank medium; 0: 80-minute CD or single-layer DVD */
    SpeedSpec maxSpeed;          /* the fastest the recorder writes (max: no limit) */
    std::string discFile;        /* "": DIR/recorder-N.img */
    std::string sgPath;          /* a real recorder: its /dev/sgN ("" for a simulated one) */
    std::string vendor, product, revision;
    bool addressSet = false;
    uint8_t port = 0, path = 0, target = 0, lun = 0;
    std::vector<FaultSpec> faults;
    int line = 0;
};

/* A cache drive: a drive letter for a directory of images on one disk. */
struct CacheDriveSpec {
    char letter = 'D';
    std::string directory;
    uint16_t address = 0;
    int line = 0;
};

struct InstallSpec {
    std::vector<DeviceSpec> devices;
    std::vector<CacheDriveSpec> cacheDrives;
};

/* Parses the text of an installation file; errors read "<path>:<line>: <what>". */
bool ParseInstall(const std::string &text, const std::string &path, InstallSpec *install,
                  std::string *error);

/* The lines of the installation format, for the help text. */
extern const char kInstallHelp[];

enum class Command { None, Record, Devices, Scsi, EventLog, Media, Eject, Blank, Help };

struct Options {
    Command command = Command::None;
    bool help = false;
    bool version = false;
    bool json = false;
    bool debug = false;
    bool realtime = false; /* recording threads in the host's real-time class */

    /* installation */
    unsigned recorders = 1;
    bool recordersSet = false;
    bool realRecorders = false; /* --recorders sg: every real recorder found */
    SpeedSpec speed;
    bool speedSet = false;
    uint64_t driveBuffer = 0;
    std::string discDir;
    std::string installFile;
    std::vector<FaultSpec> faults;
    std::string commandLog;
    unsigned desktopUnits = 0;

    /* record */
    std::vector<std::string> images;
    bool verify = false;
    bool dummy = false; /* test write */
    bool multi = false; /* leave the session open */
    unsigned cacheBuffers = 48;
    std::string request; /* "", "disc", "ex", "ex2" */
    bool pregapSet = false;
    uint32_t pregap = 0;
    bool tdb = false;
    uint8_t tdbTrack = 1;
    uint32_t mode = 0;
    bool checksumOnly = false;
    uint32_t refill = 0;
    bool bufferedRead = false;

    /* scsi */
    unsigned scsiRecorder = 0;
    bool scsiDesktop = false;
    std::vector<uint8_t> cdb;
    bool readSet = false;
    uint32_t readLength = 0;
    std::string writeFile;
    uint16_t timeout = 30;

    /* media, eject, blank */
    bool mediaRecorderSet = false; /* else every recorder (media only) */
    unsigned mediaRecorder = 0;
    bool blankAll = false; /* blank the whole disc, not only its table of contents */
    /* eventlog */
    unsigned lastEntries = 40;
};

/*
 * Parses the command line. Returns false with a one-line message on a usage error. Global
 * options may stand before or after the command; "--" ends the options.
 */
bool ParseCommandLine(int argc, char **argv, Options *options, std::string *error);

/* The help text of the tool or of one command. */
std::string HelpText(Command command);

/*
 * The user's state directory of the tool: "$XDG_STATE_HOME/cdwriter" when XDG_STATE_HOME is an
 * absolute path, else "$HOME/.local/state/cdwriter" (the home directory of the password
 * database when HOME is not set). It holds the default disc files and the event log, and is
 * private to the user (mode 0700). Empty when no home directory is known.
 */
std::string StateDir();

/* The default disc directory: the state directory. */
std::string DefaultDiscDir();

/* The version of the tool, "cdwriter X.Y.Z". */
std::string VersionText();
