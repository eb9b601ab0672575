/*
 * options.cpp - command line, installation file and value syntaxes of the cdwriter tool.
 */
#include "options.h"

#include "control/cdwriter_ioctl.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

#ifndef CDW_VERSION
#define CDW_VERSION "0.0.0"
#endif

namespace {

std::string Lower(std::string s) {
    for (auto &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseHexByte(const std::string &text, uint8_t *value) {
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 2)
        return false;
    for (char c : t)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    *value = static_cast<uint8_t>(strtoul(t.c_str(), nullptr, 16));
    return true;
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

/* Words of an installation line: blanks separate, double quotes group, '#' starts a comment. */
bool InstallWords(const std::string &line, std::vector<std::string> *words) {
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                word += c;
            continue;
        }
        if (c == '#')
            break;
        if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (isspace(static_cast<unsigned char>(c))) {
            if (inWord)
                words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted)
        return false;
    if (inWord)
        words->push_back(word);
    return true;
}

bool ParseAddress(const std::string &text, DeviceSpec *device) {
    auto parts = Split(text, ':');
    if (parts.size() != 4)
        return false;
    uint64_t v[4];
    for (int i = 0; i < 4; i++)
        if (!ParseNumber(parts[i], 0, 255, &v[i]))
            return false;
    device->port = static_cast<uint8_t>(v[0]);
    device->path = static_cast<uint8_t>(v[1]);
    device->target = static_cast<uint8_t>(v[2]);
    device->lun = static_cast<uint8_t>(v[3]);
    device->addressSet = true;
    return true;
}

} // namespace

double SpeedSpec::UnitBytes() const {
    return unit == 'd' ? kDvd1xBytes : unit == 'b' ? kBd1xBytes : kCd1xBytes;
}

double SpeedSpec::BytesPerSecond() const {
    return max ? 0.0 : multiple * UnitBytes();
}

uint32_t SpeedSpec::SimMultiple(bool *dvd) const {
    *dvd = unit != 'c';
    if (max)
        return 0;
    double m = BytesPerSecond() / (*dvd ? kDvd1xBytes : kCd1xBytes);
    long rounded = lround(m);
    return rounded < 1 ? 1u : static_cast<uint32_t>(rounded);
}

bool ParseSpeed(const std::string &text, SpeedSpec *speed, std::string *error) {
    std::string t = Lower(text);
    SpeedSpec s;
    s.text = text;
    if (t == "max" || t == "0") {
        *speed = s;
        return true;
    }
    char unit = 'c';
    if (!t.empty() && (t.back() == 'c' || t.back() == 'd' || t.back() == 'b')) {
        unit = t.back();
        t.pop_back();
    } else if (!t.empty() && t.back() == 'x') {
        t.pop_back();
    }
    char *end = nullptr;
    double m = t.empty() ? 0 : strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !(m > 0) || m > 1000) {
        *error = "bad speed \"" + text + "\" (use e.g. 16c, 8d, 4b, 24 or max)";
        return false;
    }
    s.max = false;
    s.multiple = m;
    s.unit = unit;
    *speed = s;
    return true;
}

bool ParseSize(const std::string &text, uint64_t *bytes, std::string *error) {
    std::string t = Lower(text);
    uint64_t factor = 1;
    if (!t.empty() && (t.back() == 'k' || t.back() == 'm' || t.back() == 'g')) {
        factor = t.back() == 'k' ? 1024ull : t.back() == 'm' ? 1024ull * 1024 : 1024ull << 20;
        t.pop_back();
    }
    char *end = nullptr;
    double v = t.empty() ? -1 : strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !(v > 0) || v * factor > 4294967295.0) {
        *error = "bad size \"" + text + "\" (use e.g. 4m, 512k or a number of bytes)";
        return false;
    }
    *bytes = static_cast<uint64_t>(v * factor);
    return true;
}

bool ParseNumber(const std::string &text, uint64_t min, uint64_t max, uint64_t *value) {
    if (text.empty() || text.size() > 19)
        return false;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
    uint64_t v = strtoull(text.c_str(), nullptr, 10);
    if (v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool ParseCdbHex(const std::string &text, std::vector<uint8_t> *cdb, std::string *error) {
    std::string digits;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != ':' && c != ',' && c != '-') {
            *error = "bad command block \"" + text + "\" (hex bytes, e.g. \"12 00 00 00 24 00\")";
            return false;
        }
    }
    if (digits.size() % 2 != 0 || digits.size() < 12 || digits.size() > 32) {
        *error = "bad command block \"" + text + "\" (6 to 16 hex bytes)";
        return false;
    }
    cdb->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        cdb->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

bool ParseFault(const std::string &text, FaultSpec *fault, std::string *error) {
    FaultSpec f;
    f.text = text;
    bool whereSet = false, whatSet = false;
    const std::string bad = "bad fault \"" + text + "\"";
    for (const auto &part : Split(text, ':')) {
        size_t eq = part.find('=');
        if (eq == std::string::npos) {
            *error = bad + ": \"" + part + "\" is no key=value";
            return false;
        }
        std::string key = Lower(part.substr(0, eq)), value = part.substr(eq + 1);
        uint64_t n = 0;
        if (key == "recorder" && ParseNumber(value, 0, 63, &n)) {
            f.recorder = static_cast<unsigned>(n);
        } else if ((key == "write-block" || key == "block") &&
                   ParseNumber(value, 0, 0xFFFFFFFFull, &n)) {
            f.atBlock = true;
            f.where = static_cast<uint32_t>(n);
            whereSet = true;
        } else if (key == "command" && ParseNumber(value, 1, 0xFFFFFFFFull, &n)) {
            f.atBlock = false;
            f.where = static_cast<uint32_t>(n);
            whereSet = true;
        } else if (key == "repeat" && ParseNumber(value, 1, 1000000, &n)) {
            f.repeat = static_cast<uint32_t>(n);
        } else if (key == "sense") {
            auto s = Split(value, '/');
            uint8_t k, a, q;
            if (s.size() != 3 || !ParseHexByte(s[0], &k) || k > 15 || !ParseHexByte(s[1], &a) ||
                !ParseHexByte(s[2], &q)) {
                *error = bad + ": sense is KEY/ASC/ASCQ in hex, e.g. 3/0C/00";
                return false;
            }
            f.sense = true;
            f.senseKey = k;
            f.asc = a;
            f.ascq = q;
            whatSet = true;
        } else if (key == "srb") {
            uint8_t s;
            if (!ParseHexByte(value, &s)) {
                *error = bad + ": srb is a status byte in hex, e.g. 0x0E";
                return false;
            }
            f.sense = false;
            f.srbStatus = s;
            whatSet = true;
        } else {
            *error = bad + ": unknown or bad \"" + part + "\"";
            return false;
        }
    }
    if (!whereSet || !whatSet) {
        *error = bad + ": needs write-block=LBA or command=N, and sense=K/AA/QQ or srb=0xSS";
        return false;
    }
    *fault = f;
    return true;
}

namespace {
/* A dual-layer DVD, in 2048-byte blocks: the largest medium a simulated recorder holds. */
constexpr uint64_t kLargestMediumBlocks = 4173824;
} // namespace

const char kInstallHelp[] =
    "Installation file (--install FILE): one device or cache drive per line, '#' starts a\n"
    "comment, values with blanks in double quotes. Recorders and desktop units are numbered\n"
    "in the order of their lines.\n"
    "  recorder [media=M] [capacity=BLOCKS] [maxspeed=X] [speed=X] [buffer=SIZE] [disc=PATH]\n"
    "           [vendor=V] [product=P] [revision=R] [address=PORT:PATH:TARGET:LUN]\n"
    "           [fault=SPEC]                                   a simulated recorder\n"
    "      media=cd-r|cd-rw|dvd-r|dvd+r  the blank disc a new disc file holds (default cd-r,\n"
    "                                    dvd-r with a DVD speed), capacity= its 2048-byte\n"
    "                                    blocks; maxspeed= the fastest it writes (default no\n"
    "                                    limit); buffer= its drive buffer (default 2m)\n"
    "  recorder sg=/dev/sgN                                   a real recorder (SCSI generic)\n"
    "  desktop  [vendor=V] [product=P] [revision=R] [address=PORT:PATH:TARGET:LUN]\n"
    "                                                          a simulated desktop unit\n"
    "  cache LETTER DIRECTORY [address=N]   images under DIRECTORY are recorded through drive\n"
    "                                       LETTER, a cache drive on disk address N\n";

bool ParseInstall(const std::string &text, const std::string &path, InstallSpec *install,
                  std::string *error) {
    InstallSpec spec;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> w;
        std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (!InstallWords(line, &w)) {
            *error = where + "unterminated quote";
            return false;
        }
        if (w.empty())
            continue;
        std::string kind = Lower(w[0]);
        if (kind == "recorder" || kind == "desktop") {
            DeviceSpec d;
            d.desktop = kind == "desktop";
            d.line = lineNo;
            for (size_t i = 1; i < w.size(); i++) {
                size_t eq = w[i].find('=');
                std::string key = eq == std::string::npos ? w[i] : Lower(w[i].substr(0, eq));
                std::string value = eq == std::string::npos ? "" : w[i].substr(eq + 1);
                std::string why;
                if (eq == std::string::npos) {
                    *error = where + "expected key=value, got \"" + w[i] + "\"";
                    return false;
                } else if (key == "vendor") {
                    d.vendor = value;
                } else if (key == "product") {
                    d.product = value;
                } else if (key == "revision") {
                    d.revision = value;
                } else if (key == "address") {
                    if (!ParseAddress(value, &d)) {
                        *error = where + "bad address \"" + value + "\" (PORT:PATH:TARGET:LUN)";
                        return false;
                    }
                } else if (key == "speed" && !d.desktop) {
                    if (!ParseSpeed(value, &d.speed, &why)) {
                        *error = where + why;
                        return false;
                    }
                    d.speedSet = true;
                } else if (key == "buffer" && !d.desktop) {
                    if (!ParseSize(value, &d.bufferBytes, &why)) {
                        *error = where + why;
                        return false;
                    }
                    if (d.bufferBytes < kMinDriveBufferBytes) {
                        *error = where + "buffer=" + value + " is below one write command (64k)";
                        return false;
                    }
                } else if (key == "media" && !d.desktop) {
                    d.media = Lower(value);
                    if (d.media != "cd-r" && d.media != "cd-rw" && d.media != "dvd-r" &&
                        d.media != "dvd+r") {
                        *error =
                            where + "bad media \"" + value + "\" (cd-r, cd-rw, dvd-r or dvd+r)";
                        return false;
                    }
                } else if (key == "capacity" && !d.desktop) {
                    uint64_t n = 0;
                    if (!ParseNumber(value, 1000, kLargestMediumBlocks, &n)) {
                        *error = where + "bad capacity \"" + value +
                                 "\" (2048-byte blocks, 1000 to " +
                                 std::to_string(kLargestMediumBlocks) + ")";
                        return false;
                    }
                    d.capacityBlocks = static_cast<uint32_t>(n);
                } else if (key == "maxspeed" && !d.desktop) {
                    if (!ParseSpeed(value, &d.maxSpeed, &why)) {
                        *error = where + why;
                        return false;
                    }
                } else if (key == "disc" && !d.desktop) {
                    d.discFile = value;
                } else if (key == "sg" && !d.desktop) {
                    if (value.empty() || value[0] != '/') {
                        *error = where + "sg= takes the path of an sg device, e.g. /dev/sg1";
                        return false;
                    }
                    d.sgPath = value;
                } else if (key == "fault" && !d.desktop) {
                    FaultSpec f;
                    if (!ParseFault(value, &f, &why)) {
                        *error = where + why;
                        return false;
                    }
                    d.faults.push_back(f);
                } else {
                    *error = where + "unknown setting \"" + key + "\" for " + kind;
                    return false;
                }
            }
            spec.devices.push_back(d);
        } else if (kind == "cache") {
            CacheDriveSpec c;
            c.line = lineNo;
            if (w.size() < 3 || w[1].size() != 1 || !isalpha(static_cast<unsigned char>(w[1][0]))) {
                *error = where + "expected cache LETTER DIRECTORY [address=N]";
                return false;
            }
            c.letter = static_cast<char>(toupper(static_cast<unsigned char>(w[1][0])));
            c.directory = w[2];
            for (size_t i = 3; i < w.size(); i++) {
                uint64_t n;
                if (w[i].compare(0, 8, "address=") == 0 &&
                    ParseNumber(w[i].substr(8), 0, 65535, &n)) {
                    c.address = static_cast<uint16_t>(n);
                } else {
                    *error = where + "unknown or bad setting \"" + w[i] + "\" for cache";
                    return false;
                }
            }
            for (const auto &other : spec.cacheDrives) {
                if (other.letter == c.letter) {
                    *error = where + "drive letter " + std::string(1, c.letter) +
                             " is already used on line " + std::to_string(other.line);
                    return false;
                }
            }
            spec.cacheDrives.push_back(c);
        } else if (kind == "sg") {
            *error = where + "SCSI generic devices are not supported by this build";
            return false;
        } else {
            *error = where + "unknown line \"" + w[0] + "\" (recorder, desktop or cache)";
            return false;
        }
    }
    *install = spec;
    return true;
}

namespace {

enum Scope { kGlobal, kRecord, kScsi, kEventLog };

struct OptionDef {
    const char *name;
    bool takesValue;
    Scope scope;
};

const OptionDef kOptions[] = {
    {"help", false, kGlobal},
    {"version", false, kGlobal},
    {"json", false, kGlobal},
    {"debug", false, kGlobal},
    {"realtime", false, kGlobal},
    {"recorders", true, kGlobal},
    {"speed", true, kGlobal},
    {"drive-buffer", true, kGlobal},
    {"disc-dir", true, kGlobal},
    {"install", true, kGlobal},
    {"inject-fault", true, kGlobal},
    {"command-log", true, kGlobal},
    {"desktop-units", true, kGlobal},
    {"verify", false, kRecord},
    {"dummy", false, kRecord},
    {"multi", false, kRecord},
    {"cache-buffers", true, kRecord},
    {"request", true, kRecord},
    {"pregap", true, kRecord},
    {"tdb", true, kRecord},
    {"mode", true, kRecord},
    {"checksum-only", false, kRecord},
    {"refill", true, kRecord},
    {"buffered-read", false, kRecord},
    {"read", true, kScsi},
    {"write", true, kScsi},
    {"timeout", true, kScsi},
    {"last", true, kEventLog},
};

const char *CommandName(Command c) {
    switch (c) {
    case Command::Record:
        return "record";
    case Command::Devices:
        return "devices";
    case Command::Scsi:
        return "scsi";
    case Command::EventLog:
        return "eventlog";
    case Command::Media:
        return "media";
    case Command::Eject:
        return "eject";
    case Command::Blank:
        return "blank";
    default:
        return "";
    }
}

} // namespace

bool ParseCommandLine(int argc, char **argv, Options *options, std::string *error) {
    Options o;
    std::vector<std::string> positional;
    std::vector<std::pair<const OptionDef *, std::string>> given;
    bool endOfOptions = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        if (arg == "-h") {
            o.help = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            *error = "unknown option \"" + arg + "\"";
            return false;
        }
        std::string name = arg.substr(2), value;
        bool hasValue = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const OptionDef *def = nullptr;
        for (const auto &d : kOptions)
            if (name == d.name)
                def = &d;
        if (def == nullptr) {
            *error = "unknown option \"--" + name + "\"";
            return false;
        }
        if (def->takesValue && !hasValue) {
            if (i + 1 >= argc) {
                *error = "option --" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!def->takesValue && hasValue) {
            *error = "option --" + name + " takes no value";
            return false;
        }
        given.emplace_back(def, value);
    }

    if (!positional.empty()) {
        const std::string &c = positional[0];
        if (c == "record")
            o.command = Command::Record;
        else if (c == "devices")
            o.command = Command::Devices;
        else if (c == "scsi")
            o.command = Command::Scsi;
        else if (c == "eventlog")
            o.command = Command::EventLog;
        else if (c == "media")
            o.command = Command::Media;
        else if (c == "eject")
            o.command = Command::Eject;
        else if (c == "blank")
            o.command = Command::Blank;
        else if (c == "help")
            o.command = Command::Help;
        else {
            *error = "unknown command \"" + c +
                     "\" (record, devices, scsi, eventlog, media, eject, blank)";
            return false;
        }
        positional.erase(positional.begin());
    }

    for (const auto &entry : given) {
        const OptionDef *def = entry.first;
        const std::string &value = entry.second;
        std::string name = def->name;
        if ((def->scope == kRecord && o.command != Command::Record) ||
            (def->scope == kScsi && o.command != Command::Scsi) ||
            (def->scope == kEventLog && o.command != Command::EventLog)) {
            *error = "option --" + name + " does not apply to " +
                     (o.command == Command::None ? std::string("this command")
                                                 : std::string(CommandName(o.command)));
            return false;
        }
        uint64_t n = 0;
        std::string why;
        auto badNumber = [&](const char *range) {
            *error = "bad value \"" + value + "\" for --" + name + " (" + range + ")";
            return false;
        };
        if (name == "help") {
            o.help = true;
        } else if (name == "version") {
            o.version = true;
        } else if (name == "json") {
            o.json = true;
        } else if (name == "debug") {
            o.debug = true;
        } else if (name == "realtime") {
            o.realtime = true;
        } else if (name == "recorders") {
            if (value == "sg") {
                o.realRecorders = true;
            } else if (!ParseNumber(value, 1, 16, &n)) {
                return badNumber("1 to 16 or sg");
            } else {
                o.recorders = static_cast<unsigned>(n);
            }
            o.recordersSet = true;
        } else if (name == "desktop-units") {
            if (!ParseNumber(value, 0, 8, &n))
                return badNumber("0 to 8");
            o.desktopUnits = static_cast<unsigned>(n);
        } else if (name == "speed") {
            if (!ParseSpeed(value, &o.speed, &why)) {
                *error = why;
                return false;
            }
            o.speedSet = true;
        } else if (name == "drive-buffer") {
            if (!ParseSize(value, &o.driveBuffer, &why)) {
                *error = why;
                return false;
            }
            if (o.driveBuffer < kMinDriveBufferBytes) {
                *error = "--drive-buffer " + value +
                         " is below one write command (64k, the recorder's largest transfer)";
                return false;
            }
        } else if (name == "disc-dir") {
            o.discDir = value;
        } else if (name == "install") {
            o.installFile = value;
        } else if (name == "inject-fault") {
            FaultSpec f;
            if (!ParseFault(value, &f, &why)) {
                *error = why;
                return false;
            }
            o.faults.push_back(f);
        } else if (name == "command-log") {
            o.commandLog = value;
        } else if (name == "verify") {
            o.verify = true;
        } else if (name == "dummy") {
            o.dummy = true;
        } else if (name == "multi") {
            o.multi = true;
        } else if (name == "cache-buffers") {
            if (!ParseNumber(value, MIN_CACHE_BUFFERS, MAX_CACHE_BUFFERS, &n))
                return badNumber("16 to 96");
            o.cacheBuffers = static_cast<unsigned>(n);
        } else if (name == "request") {
            if (value != "disc" && value != "ex" && value != "ex2") {
                *error = "bad value \"" + value + "\" for --request (disc, ex or ex2)";
                return false;
            }
            o.request = value;
        } else if (name == "pregap") {
            if (!ParseNumber(value, 0, 100000, &n))
                return badNumber("0 to 100000 blocks");
            o.pregap = static_cast<uint32_t>(n);
            o.pregapSet = true;
        } else if (name == "tdb") {
            if (!ParseNumber(value, 0, 99, &n))
                return badNumber("track number 0 to 99");
            o.tdb = true;
            o.tdbTrack = static_cast<uint8_t>(n);
        } else if (name == "mode") {
            if (!ParseNumber(value, 0, 15, &n))
                return badNumber("0 to 15");
            o.mode = static_cast<uint32_t>(n);
        } else if (name == "checksum-only") {
            o.checksumOnly = true;
        } else if (name == "refill") {
            if (!ParseNumber(value, 10, 99, &n))
                return badNumber("10 to 99 percent");
            o.refill = static_cast<uint32_t>(n);
        } else if (name == "buffered-read") {
            o.bufferedRead = true;
        } else if (name == "read") {
            std::string sizeWhy;
            uint64_t bytes = 0;
            if (!ParseSize(value, &bytes, &sizeWhy) || bytes > 16u * 1024 * 1024)
                return badNumber("1 to 16m bytes");
            o.readSet = true;
            o.readLength = static_cast<uint32_t>(bytes);
        } else if (name == "write") {
            o.writeFile = value;
        } else if (name == "timeout") {
            if (!ParseNumber(value, 1, 65535, &n))
                return badNumber("1 to 65535 seconds");
            o.timeout = static_cast<uint16_t>(n);
        } else if (name == "last") {
            if (!ParseNumber(value, 1, 100000, &n))
                return badNumber("1 to 100000 entries");
            o.lastEntries = static_cast<unsigned>(n);
        }
    }

    if (o.version && !o.help) {
        *options = o;
        return true;
    }

    if (o.help || o.command == Command::Help) {
        if (o.command == Command::Help) {
            o.command = Command::None;
            if (!positional.empty()) {
                const std::string &c = positional[0];
                o.command = c == "record"     ? Command::Record
                            : c == "devices"  ? Command::Devices
                            : c == "scsi"     ? Command::Scsi
                            : c == "eventlog" ? Command::EventLog
                            : c == "media"    ? Command::Media
                            : c == "eject"    ? Command::Eject
                            : c == "blank"    ? Command::Blank
                                              : Command::None;
            }
        }
        o.help = true;
        *options = o;
        return true;
    }
    switch (o.command) {
    case Command::None:
        *error = "no command given (record, devices, scsi, eventlog, media, eject, blank; --help "
                 "for help)";
        return false;
    case Command::Record:
        if (positional.empty()) {
            *error = "record: no image given";
            return false;
        }
        o.images = positional;
        if (o.checksumOnly && o.verify) {
            *error = "record: --verify cannot check a checksum-only recording";
            return false;
        }
        if (o.checksumOnly && (o.dummy || o.multi)) {
            *error = std::string("record: a checksum-only pass writes nothing: ") +
                     (o.dummy ? "--dummy" : "--multi") + " has nothing to set up";
            return false;
        }
        break;
    case Command::Scsi: {
        if (positional.size() != 2) {
            *error = "scsi: expected RECORDER CDB-HEX";
            return false;
        }
        std::string dev = positional[0];
        if (!dev.empty() && (dev[0] == 'd' || dev[0] == 'D')) {
            o.scsiDesktop = true;
            dev = dev.substr(1);
        }
        uint64_t n;
        if (!ParseNumber(dev, 0, 63, &n)) {
            *error =
                "scsi: bad recorder \"" + positional[0] + "\" (a number, or dN for a desktop unit)";
            return false;
        }
        o.scsiRecorder = static_cast<unsigned>(n);
        std::string why;
        if (!ParseCdbHex(positional[1], &o.cdb, &why)) {
            *error = "scsi: " + why;
            return false;
        }
        if (o.readSet && !o.writeFile.empty()) {
            *error = "scsi: --read and --write exclude each other";
            return false;
        }
        break;
    }
    case Command::Media: {
        if (positional.size() > 1) {
            *error = "media: unexpected argument \"" + positional[1] + "\"";
            return false;
        }
        uint64_t n;
        if (!positional.empty()) {
            if (!ParseNumber(positional[0], 0, 63, &n)) {
                *error = "media: bad recorder \"" + positional[0] + "\" (a number)";
                return false;
            }
            o.mediaRecorderSet = true;
            o.mediaRecorder = static_cast<unsigned>(n);
        }
        break;
    }
    case Command::Eject:
    case Command::Blank: {
        const std::string name = CommandName(o.command);
        const size_t most = o.command == Command::Blank ? 2 : 1;
        uint64_t n;
        if (positional.empty()) {
            *error = name + ": which recorder? (" + name + " RECORDER" +
                     (o.command == Command::Blank ? " [fast|all])" : ")");
            return false;
        }
        if (positional.size() > most) {
            *error = name + ": unexpected argument \"" + positional[most] + "\"";
            return false;
        }
        if (!ParseNumber(positional[0], 0, 63, &n)) {
            *error = name + ": bad recorder \"" + positional[0] + "\" (a number)";
            return false;
        }
        o.mediaRecorderSet = true;
        o.mediaRecorder = static_cast<unsigned>(n);
        if (positional.size() == 2) {
            if (positional[1] != "fast" && positional[1] != "all") {
                *error = "blank: bad type \"" + positional[1] + "\" (fast or all)";
                return false;
            }
            o.blankAll = positional[1] == "all";
        }
        break;
    }
    default:
        if (!positional.empty()) {
            *error = std::string(CommandName(o.command)) + ": unexpected argument \"" +
                     positional[0] + "\"";
            return false;
        }
        break;
    }
    *options = o;
    return true;
}

std::string StateDir() {
    const char *xdg = getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/cdwriter";
    const char *home = getenv("HOME");
    std::string base = home != nullptr && home[0] == '/' ? home : "";
    if (base.empty()) {
        struct passwd *pw = getpwuid(geteuid());
        if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] != '/')
            return "";
        base = pw->pw_dir;
    }
    return base + "/.local/state/cdwriter";
}

std::string DefaultDiscDir() {
    return StateDir();
}

std::string VersionText() {
    return std::string("cdwriter ") + CDW_VERSION;
}

std::string HelpText(Command command) {
    std::string global =
        "Installation (global options, before or after the command):\n"
        "  --recorders N       simulated recorders (1 to 16, default 1)\n"
        "  --recorders sg      every real recorder found (/dev/sg* of type 5, read and write\n"
        "                      access needed: group cdrom, or root)\n"
        "  --speed X           write speed: 16c (CD), 8d (DVD), 4b (BD), 24 (CD multiple) or\n"
        "                      max (default max)\n"
        "  --drive-buffer SIZE the recorders' buffer, e.g. 4m (default 2m, at least 64k)\n"
        "  --disc-dir DIR      recorder N writes DIR/recorder-N.img (default: the state\n"
        "                      directory $XDG_STATE_HOME/cdwriter, or ~/.local/state/cdwriter,\n"
        "                      made private to the user); each disc file is locked for the\n"
        "                      run and never opened through a symbolic link\n"
        "  --install FILE      recorders, desktop units and cache drives from FILE (below)\n"
        "  --desktop-units N   also plug in N simulated desktop units (default 0)\n"
        "  --json              machine-readable output on stdout\n"
        "  --debug             echo the driver's debug messages to stderr\n"
        "  --realtime          run the recording threads in the host's real-time class, as\n"
        "                      the platform runs their priority 31 (needs root; for many\n"
        "                      recorders at high speed)\n"
        "  --help              this help; 'cdwriter COMMAND --help' for one command\n"
        "  --version           the tool's version\n";
    std::string exitCodes =
        "Exit codes: 0 all recordings complete (and verified), 1 a recording ended otherwise,\n"
        "2 usage, input or environment error (a bad image, a disc directory that cannot be\n"
        "used, a disc file in use by another run), 3 a real recorder cannot be used (no\n"
        "permission on /dev/sgN, in use by another process, mounted, gone), 130 cancelled\n"
        "with Ctrl-C (SIGINT), 143 cancelled with SIGTERM.\n";
    switch (command) {
    case Command::Record:
        return "Usage: cdwriter [OPTIONS] record IMAGE... [RECORD OPTIONS]\n"
               "Records one image onto every recorder (duplication), or image i onto recorder "
               "i.\nAn IMAGE is a plain image (one track of 2048-byte blocks) or a CUE sheet "
               "(.cue)\nwith its BIN files: MODE1/2048, MODE1/2352, MODE2/2336, MODE2/2352, "
               "AUDIO;\nthe first track's INDEX 00 or PREGAP becomes the generated pre-gap (at "
               "least 150\nblocks on a CD, generated when the CUE sheet leaves it out); "
               "several BIN\nfiles are assembled into one image in $TMPDIR for the run (removed "
               "at every\nending). CUE lines the recording cannot carry are named on stderr. An "
               "image that is\n(or links to) a recorder's disc file is refused.\n"
               "Record options:\n"
               "  --verify            read the discs back through the recorders (READ(10), "
               "READ CD)\n                      and compare with the image\n"
               "  --dummy             test write: the recorder goes through the motions, "
               "the disc\n                      stays blank\n"
               "  --multi             leave the session open for another one\n"
               "  --cache-buffers N   cache buffers per recorder, 16 to 96 (default 48)\n"
               "  --request KIND      disc, ex or ex2 (default: disc when the image name "
               "fits\n                      its 31 characters, else ex2)\n"
               "  --pregap N          N generated pre-gap blocks ahead of the first track\n"
               "  --tdb TRACK         pre-gap blocks carry a track descriptor for TRACK (needs a\n"
               "                      pre-gap: --pregap, or the CUE sheet's)\n"
               "  --mode N            write mode (0 to 15; 1 and 2 stream without a cache flush,\n"
               "                      the others all write as 0 does)\n"
               "  --checksum-only     sum the data instead of writing it\n"
               "  --refill PCT        refill the ring below PCT percent (10 to 99)\n"
               "  --buffered-read     read the image through the system cache\n"
               "Progress: 'Recorder 0: 312 of 650 MB written (fifo 97%) [buf 88%] 16.0x.'\n"
               "At the end, per recorder: the outcome, then a summary: writing time (until the "
               "disc\nis closed), average speed, lowest ring and drive-buffer fill, buffer "
               "underruns\n(recovered by buffer-underrun protection, or fatal) and the verify "
               "result. The\nrecorders are verified at once, with progress.\n"
               "Ctrl-C (or SIGTERM) cancels every recording and exits 130 (143).\n\n" +
               global + "\n" + exitCodes;
    case Command::Devices:
        return "Usage: cdwriter [OPTIONS] devices\n"
               "Lists recorders and desktop units: number, kind, vendor and product, SCSI "
               "address,\nalignment and transfer limits, and the device description; for each "
               "recorder the\nprofiles it writes (GET CONFIGURATION, * the current one), its "
               "maximum write and\nread speeds and its buffer (capabilities page 2Ah). Real "
               "recorders (/dev/sg* of\ntype 5) follow the simulated ones with their sg and sr "
               "devices; one that cannot be\nused is named with the reason.\n\n" +
               global;
    case Command::Scsi:
        return "Usage: cdwriter [OPTIONS] scsi RECORDER CDB-HEX [--read LEN | --write FILE] "
               "[--timeout S]\n"
               "Sends one command through the pass-through request and prints SRB status, SCSI\n"
               "status, decoded sense and the data as hex. RECORDER is a recorder number, or dN "
               "for\ndesktop unit N. Exit code 0 when the command succeeded, 1 when it did not.\n"
               "  --read LEN      data from the device, LEN bytes (e.g. 36 or 64k)\n"
               "  --write FILE    data to the device, the bytes of FILE\n"
               "  --timeout S     time-out in seconds (default 30)\n\n" +
               global;
    case Command::Media:
        return "Usage: cdwriter [OPTIONS] media [RECORDER]\n"
               "Shows the medium in each recorder (or in RECORDER), asked with MMC commands\n"
               "through the pass-through request: profile, disc status (blank, appendable,\n"
               "complete), sessions, recorded tracks, capacity and free blocks, and the ATIP of\n"
               "a CD. With --json: profile, status, tracks [{number, session, start, length,\n"
               "mode}], capacity, free, per recorder in \"recorders\" and, for one recorder, at\n"
               "the top as well. Exit code 1 when a recorder could not say.\n\n" +
               global;
    case Command::Eject:
        return "Usage: cdwriter [OPTIONS] eject RECORDER\n"
               "Takes the disc out of RECORDER (PREVENT ALLOW MEDIUM REMOVAL, START STOP UNIT\n"
               "through the pass-through request). A simulated recorder's disc is kept: its disc\n"
               "file (with .meta and .blocks) is renamed to NAME.ejected-N.img, never deleted,\n"
               "and the next run finds a new blank disc of the recorder's media in the tray.\n\n" +
               global;
    case Command::Blank:
        return "Usage: cdwriter [OPTIONS] blank RECORDER [fast|all]\n"
               "Blanks the rewritable disc (CD-RW) in RECORDER: fast (the default) erases the\n"
               "table of contents, all the whole disc. A write-once disc is refused; 'cdwriter\n"
               "eject RECORDER' gives the recorder a new blank one.\n\n" +
               global;
    case Command::EventLog:
        return "Usage: cdwriter [OPTIONS] eventlog [--last N]\n"
               "Shows the last entries of the system event log, kept across runs in the state\n"
               "directory (eventlog.txt): wall-clock time, the device that logged the entry\n"
               "(recorder N, desktop unit N or the driver), severity, id, text and dump words.\n"
               "  --last N        how many of the latest entries (default 40)\n\n" +
               global;
    default:
        return "Usage: cdwriter [OPTIONS] COMMAND [ARGS]\n"
               "Records disc images onto CD/DVD recorders through the cdwriter driver; the "
               "default\ninstallation is simulated recorders that write disc files.\n\n"
               "Commands:\n"
               "  record IMAGE...     record images (see 'cdwriter record --help')\n"
               "  devices             list recorders and desktop units\n"
               "  scsi RECORDER CDB   send one SCSI command\n"
               "  eventlog            show the latest entries of the system event log\n"
               "  media [RECORDER]    show the medium in the recorders\n"
               "  eject RECORDER      take the disc out (a simulated one is kept aside)\n"
               "  blank RECORDER [fast|all]  blank a CD-RW\n\n" +
               global + "\n" + kInstallHelp + "\n" + exitCodes;
    }
}
