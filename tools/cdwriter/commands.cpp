/*
 * commands.cpp - `cdwriter devices`, `cdwriter scsi` and `cdwriter eventlog`.
 */
#include "eventlog_file.h"
#include "install.h"
#include "json.h"
#include "tool.h"

#include "cdw_client.h"
#include "mmc.h"
#include "mmc_passthrough.h"
#include "scsi_text.h"

#include <ntddk.h>
#include <standin/eventlog.h>
#include <standin/io.h>
#include <standin/sgport.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string Trim(const std::string &s) {
    size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? "" : s.substr(0, end + 1);
}

struct Identity {
    bool known = false;
    std::string vendor, product, revision;
};

Identity DecodeInquiry(const std::vector<uint8_t> &data) {
    Identity id;
    if (data.size() >= 36) {
        id.known = true;
        id.vendor = Trim(std::string(data.begin() + 8, data.begin() + 16));
        id.product = Trim(std::string(data.begin() + 16, data.begin() + 32));
        id.revision = Trim(std::string(data.begin() + 32, data.begin() + 36));
        for (auto *s : {&id.vendor, &id.product, &id.revision})
            for (auto &c : *s)
                if (c < 0x20 || c > 0x7E)
                    c = '.';
    }
    return id;
}

struct DeviceReport {
    CdwDeviceKind kind;
    unsigned index;
    std::string error;
    Identity identity;
    bool parametersKnown = false;
    CD_RECORDER_PARAMETERS parameters = {};
    std::string name;
    std::string nameProperty;
    /* A recorder's capabilities page (2Ah) and the profiles GET CONFIGURATION lists. */
    bool capabilitiesKnown = false;
    CdwMmcCapabilities capabilities;
    bool profilesKnown = false;
    std::vector<uint16_t> writeProfiles;
    uint16_t currentProfile = 0;
    std::string sgPath, blockName; /* a real recorder */
};

bool Recordable(uint16_t profile) {
    switch (profile) {
    case CDW_PROFILE_CD_R:
    case CDW_PROFILE_CD_RW:
    case CDW_PROFILE_DVD_R:
    case CDW_PROFILE_DVD_RW_RO:
    case CDW_PROFILE_DVD_RW_SEQ:
    case CDW_PROFILE_DVD_R_DL:
    case CDW_PROFILE_DVD_PLUS_RW:
    case CDW_PROFILE_DVD_PLUS_R:
    case CDW_PROFILE_DVD_PLUS_R_DL:
        return true;
    default:
        return false;
    }
}

/* Asks a recorder what it can write: the capabilities page and the profile list. */
void AskCapabilities(CdwDevice *device, DeviceReport *r) {
    CdwMmcDevice mmc(CdwMmcPassThroughSender(device));
    (void)mmc.WaitReady(5); /* takes a pending unit attention; no medium is fine */
    r->capabilitiesKnown = mmc.ReadCapabilities(&r->capabilities);
    uint8_t reply[1024] = {};
    CdwMmcConfiguration configuration;
    if (mmc.Run(CdwMmcGetConfiguration(CDW_MMC_RT_ALL, 0, sizeof(reply)), reply,
                "GET CONFIGURATION") &&
        CdwMmcParseConfiguration(reply, mmc.Last().transferred, &configuration)) {
        r->profilesKnown = true;
        r->currentProfile = configuration.currentProfile;
        for (const auto &p : configuration.profiles)
            if (Recordable(p.number))
                r->writeProfiles.push_back(p.number);
        std::sort(r->writeProfiles.begin(), r->writeProfiles.end());
    }
}

/* "CD-R, CD-RW, DVD-R, DVD+R" */
std::string ProfileList(const std::vector<uint16_t> &profiles) {
    std::string text;
    for (uint16_t p : profiles)
        text += (text.empty() ? "" : ", ") + CdwMmcProfileName(p);
    return text;
}

/* "7040 kB/s (40x CD)": a recorder's speed in kB/s and in 1x of the medium kind (a CD's 1x
   is 176 kB/s there, of 2352-byte blocks). */
std::string KBps(uint16_t kBps, bool dvd) {
    char text[64];
    snprintf(text, sizeof(text), "%u kB/s (%.0fx %s)", kBps,
             kBps * 1000.0 / (dvd ? kDvd1xBytes : kCdAudio1xBytes), dvd ? "DVD" : "CD");
    return text;
}

DeviceReport Describe(CdwDeviceKind kind, unsigned index) {
    DeviceReport r;
    r.kind = kind;
    r.index = index;
    CdwDevice device;
    CdwStatus status = device.Open(kind, index);
    if (!CdwSucceeded(status)) {
        r.error = "cannot open, status " + StatusText(status);
        return r;
    }
    CdwScsiResult inquiry;
    if (CdwSucceeded(device.ExecScsi(CdwInquiryCommand(), &inquiry)) && inquiry.Good())
        r.identity = DecodeInquiry(inquiry.data);
    r.parametersKnown = CdwSucceeded(device.QueryParameters(&r.parameters));
    if (kind == CdwDeviceKind::Recorder)
        AskCapabilities(&device, &r);
    const struct {
        uint32_t type;
        const char *name;
    } properties[] = {{9, "friendlyName"}, {0, "deviceDescription"}};
    for (const auto &p : properties) {
        std::string text;
        if (CdwSucceeded(device.QueryPropertyString(p.type, &text)) && !text.empty()) {
            r.name = text;
            r.nameProperty = p.name;
            break;
        }
    }
    return r;
}

void ReportJson(JsonWriter &j, const DeviceReport &r) {
    j.BeginObject();
    j.Field("number", (r.kind == CdwDeviceKind::Recorder ? "" : "d") + std::to_string(r.index));
    j.Field("index", r.index);
    j.Field("kind", r.kind == CdwDeviceKind::Recorder ? "recorder" : "desktop unit");
    if (!r.error.empty())
        j.Field("error", r.error);
    if (r.identity.known) {
        j.Field("vendor", r.identity.vendor);
        j.Field("product", r.identity.product);
        j.Field("revision", r.identity.revision);
    }
    if (r.parametersKnown) {
        const auto &p = r.parameters;
        j.Key("scsiAddress").BeginObject();
        j.Field("port", static_cast<unsigned>(p.PortNumber));
        j.Field("path", static_cast<unsigned>(p.PathId));
        j.Field("target", static_cast<unsigned>(p.TargetId));
        j.Field("lun", static_cast<unsigned>(p.Lun));
        j.EndObject();
        j.Field("alignmentRequirement", static_cast<unsigned>(p.AlignmentRequirement));
        j.Field("maximumTransferLength", static_cast<unsigned>(p.MaximumTransferLength));
        j.Field("maximumPhysicalPages", static_cast<unsigned>(p.MaximumPhysicalPages));
    }
    if (!r.name.empty()) {
        j.Field("name", r.name);
        j.Field("nameProperty", r.nameProperty);
    }
    j.Field("real", !r.sgPath.empty());
    if (!r.sgPath.empty()) {
        j.Field("sg", r.sgPath);
        j.Field("block", r.blockName);
    }
    if (r.capabilitiesKnown || r.profilesKnown) {
        const CdwMmcCapabilities &c = r.capabilities;
        j.Key("capabilities").BeginObject();
        if (r.profilesKnown) {
            j.Key("writeProfiles").BeginArray();
            for (uint16_t p : r.writeProfiles)
                j.String(CdwMmcProfileName(p));
            j.EndArray();
            j.Field("currentProfile", CdwMmcProfileName(r.currentProfile));
        }
        if (r.capabilitiesKnown) {
            j.Field("maxWriteKBps", static_cast<unsigned>(c.maxWriteKBps));
            j.Field("maxReadKBps", static_cast<unsigned>(c.maxReadKBps));
            j.Field("bufferKB", static_cast<unsigned>(c.bufferKB));
            j.Field("testWrite", c.testWrite);
            j.Field("bufferUnderrunFree", c.bufferUnderrunFree);
        }
        j.EndObject();
    }
    j.EndObject();
}

/* The second line of a recorder: what it writes, how fast, its buffer. */
std::string CapabilityLine(const DeviceReport &r) {
    if (!r.capabilitiesKnown && !r.profilesKnown)
        return "";
    std::string line = "      ";
    if (r.profilesKnown)
        line += "writes " + ProfileList(r.writeProfiles) + "; ";
    if (r.capabilitiesKnown) {
        const CdwMmcCapabilities &c = r.capabilities;
        const bool dvd = CdwMmcProfileIsDvd(r.currentProfile);
        line += "max write " + KBps(c.maxWriteKBps, dvd) + ", read " + KBps(c.maxReadKBps, dvd) +
                "; buffer " + std::to_string(c.bufferKB) + " kB";
        if (c.bufferUnderrunFree)
            line += "; buffer-underrun protection";
        if (c.testWrite)
            line += "; test write";
    }
    return line;
}

std::string ReportLine(const DeviceReport &r) {
    char line[512];
    std::string number = (r.kind == CdwDeviceKind::Recorder ? "" : "d") + std::to_string(r.index);
    if (!r.error.empty()) {
        snprintf(line, sizeof(line), "  %-3s %s", number.c_str(), r.error.c_str());
        return line;
    }
    char address[32] = "-";
    char limits[96] = "-";
    if (r.parametersKnown) {
        const auto &p = r.parameters;
        snprintf(address, sizeof(address), "%u:%u:%u:%u", p.PortNumber, p.PathId, p.TargetId,
                 p.Lun);
        snprintf(limits, sizeof(limits), "align 0x%X, max %u bytes / %u pages",
                 static_cast<unsigned>(p.AlignmentRequirement),
                 static_cast<unsigned>(p.MaximumTransferLength),
                 static_cast<unsigned>(p.MaximumPhysicalPages));
    }
    snprintf(line, sizeof(line), "  %-3s %-8s %-16s %-4s  SCSI %-9s %s%s%s%s", number.c_str(),
             r.identity.known ? r.identity.vendor.c_str() : "?",
             r.identity.known ? r.identity.product.c_str() : "?",
             r.identity.known ? r.identity.revision.c_str() : "", address, limits,
             r.name.empty() ? "" : "  \"", r.name.c_str(), r.name.empty() ? "" : "\"");
    std::string text = line;
    if (!r.sgPath.empty())
        text += "\n      real recorder " + r.sgPath +
                (r.blockName.empty() ? "" : " (/dev/" + r.blockName + ")");
    return text;
}

} // namespace

std::string StatusText(int32_t status) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

int RunDevices(const Options &o, const InstallSpec &install) {
    Installation installation;
    std::string error;
    bool usage = false;
    if (!installation.Start(o, install, &error, &usage))
        return Fail(o, installation.StartExitCode(usage), error);
    std::vector<DeviceReport> recorders, desktops;
    for (unsigned i = 0; i < CdwCountDevices(CdwDeviceKind::Recorder); i++) {
        recorders.push_back(Describe(CdwDeviceKind::Recorder, i));
        if (i < installation.RecorderCount() && installation.Recorder(i).sg != nullptr) {
            recorders.back().sgPath = installation.Recorder(i).spec.sgPath;
            recorders.back().blockName = HostSgBlockName(installation.Recorder(i).sg);
        }
    }
    for (unsigned i = 0; i < CdwCountDevices(CdwDeviceKind::DesktopUnit); i++)
        desktops.push_back(Describe(CdwDeviceKind::DesktopUnit, i));
    if (o.json) {
        JsonWriter j;
        j.BeginObject().Field("command", "devices");
        j.Key("recorders").BeginArray();
        for (const auto &r : recorders)
            ReportJson(j, r);
        j.EndArray();
        j.Key("desktopUnits").BeginArray();
        for (const auto &r : desktops)
            ReportJson(j, r);
        j.EndArray();
        if (!installation.Unusable().empty()) {
            j.Key("unusable").BeginArray();
            for (const auto &u : installation.Unusable())
                j.String(u);
            j.EndArray();
        }
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else {
        printf("Recorders (%zu):\n", recorders.size());
        for (const auto &r : recorders) {
            printf("%s\n", ReportLine(r).c_str());
            std::string capabilities = CapabilityLine(r);
            if (!capabilities.empty())
                printf("%s\n", capabilities.c_str());
        }
        printf("Desktop units (%zu):\n", desktops.size());
        for (const auto &r : desktops)
            printf("%s\n", ReportLine(r).c_str());
        for (const auto &u : installation.Unusable())
            printf("Real recorder not usable: %s\n", u.c_str());
    }
    fflush(stdout);
    std::string leftover = installation.Stop();
    if (!leftover.empty())
        fprintf(stderr, "cdwriter: warning: resources left at unload:\n%s\n", leftover.c_str());
    return kExitOk;
}

int RunScsi(const Options &o, const InstallSpec &install) {
    CdwScsiCommand command;
    memcpy(command.cdb, o.cdb.data(), o.cdb.size());
    command.cdbLength = static_cast<uint8_t>(o.cdb.size());
    command.timeoutSeconds = o.timeout;
    std::string outData;
    if (!o.writeFile.empty()) {
        std::ifstream in(o.writeFile, std::ios::binary);
        if (!in)
            return Fail(o, kExitUsage,
                        "scsi: cannot read \"" + o.writeFile + "\": " + strerror(errno));
        std::ostringstream bytes;
        bytes << in.rdbuf();
        outData = bytes.str();
        if (outData.size() > 16u * 1024 * 1024)
            return Fail(o, kExitUsage, "scsi: \"" + o.writeFile + "\" is larger than 16 MB");
        command.dataOut = true;
        command.transferLength = static_cast<uint32_t>(outData.size());
        command.outData = outData.data();
    } else if (o.readSet) {
        command.transferLength = o.readLength;
    }

    Installation installation;
    std::string error;
    bool usage = false;
    if (!installation.Start(o, install, &error, &usage))
        return Fail(o, installation.StartExitCode(usage), error);
    CdwDeviceKind kind = o.scsiDesktop ? CdwDeviceKind::DesktopUnit : CdwDeviceKind::Recorder;
    unsigned count = CdwCountDevices(kind);
    if (o.scsiRecorder >= count)
        return Fail(o, kExitUsage,
                    std::string("scsi: no ") + (o.scsiDesktop ? "desktop unit " : "recorder ") +
                        std::to_string(o.scsiRecorder) + " (the installation has " +
                        std::to_string(count) + ")");
    CdwDevice device;
    CdwStatus status = device.Open(kind, o.scsiRecorder);
    if (!CdwSucceeded(status))
        return Fail(o, kExitFailed, "scsi: cannot open the device, status " + StatusText(status));
    CdwScsiResult result;
    status = device.ExecScsi(command, &result);
    device.Close();
    if (!CdwSucceeded(status))
        return Fail(o, kExitFailed,
                    "scsi: the pass-through request failed, status " + StatusText(status));

    bool showSense =
        !result.Good() && (result.scsiStatus == 0x02 || (result.srbStatus & 0x3F) == 0x04);
    uint8_t key = result.SenseKey(), asc = result.Asc(), ascq = result.Ascq();
    Identity identity;
    if (result.Good() && command.cdb[0] == 0x12)
        identity = DecodeInquiry(result.data);
    if (o.json) {
        JsonWriter j;
        j.BeginObject().Field("command", "scsi");
        j.Field("device", (o.scsiDesktop ? "d" : "") + std::to_string(o.scsiRecorder));
        j.Field("cdb", CdwHexBytes(command.cdb, command.cdbLength, ""));
        j.Field("srbStatus", static_cast<unsigned>(result.srbStatus));
        j.Field("srbStatusName", CdwSrbStatusName(result.srbStatus));
        j.Field("scsiStatus", static_cast<unsigned>(result.scsiStatus));
        j.Field("scsiStatusName", CdwScsiStatusName(result.scsiStatus));
        j.Field("good", result.Good());
        if (showSense) {
            j.Key("sense").BeginObject();
            j.Field("key", static_cast<unsigned>(key));
            j.Field("asc", static_cast<unsigned>(asc));
            j.Field("ascq", static_cast<unsigned>(ascq));
            j.Field("text", CdwSenseTriple(key, asc, ascq));
            j.Field("keyName", CdwSenseKeyName(key));
            j.Field("ascName", CdwAscName(asc, ascq));
            j.Field("hex", CdwHexBytes(result.sense, result.senseLength, ""));
            j.EndObject();
        }
        if (!command.dataOut && command.transferLength != 0) {
            j.Field("dataLength", static_cast<unsigned>(result.data.size()));
            j.Field("data", CdwHexBytes(result.data.data(), result.data.size(), ""));
        }
        if (command.dataOut)
            j.Field("bytesSent", static_cast<unsigned>(command.transferLength));
        if (identity.known) {
            j.Key("inquiry").BeginObject();
            j.Field("vendor", identity.vendor);
            j.Field("product", identity.product);
            j.Field("revision", identity.revision);
            j.EndObject();
        }
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else {
        printf("SCSI Status: %s (0x%02X)\n", CdwScsiStatusName(result.scsiStatus).c_str(),
               result.scsiStatus);
        printf("SRB Status: %s (0x%02X)\n", CdwSrbStatusName(result.srbStatus).c_str(),
               result.srbStatus);
        if (showSense) {
            std::string name = CdwAscName(asc, ascq);
            printf("Sense: key 0x%X %s, ASC/ASCQ %02X/%02X%s%s\n", key,
                   CdwSenseKeyName(key).c_str(), asc, ascq, name.empty() ? "" : ": ", name.c_str());
            printf("Sense data: %s\n", CdwHexBytes(result.sense, result.senseLength).c_str());
        }
        if (command.dataOut) {
            printf("Sent %u bytes of data\n", static_cast<unsigned>(command.transferLength));
        } else if (command.transferLength != 0) {
            if (result.data.empty()) {
                printf("No data received\n");
            } else {
                printf("\nReceived %zu bytes of data:\n%s", result.data.size(),
                       CdwHexDump(result.data.data(), result.data.size()).c_str());
            }
        }
        if (identity.known)
            printf("Inquiry: vendor \"%s\", product \"%s\", revision \"%s\"\n",
                   identity.vendor.c_str(), identity.product.c_str(), identity.revision.c_str());
    }
    fflush(stdout);
    installation.Stop();
    return result.Good() ? kExitOk : kExitFailed;
}

void EventLogJson(JsonWriter &j) {
    j.BeginArray();
    ULONG count = HostErrorLogCount();
    for (ULONG i = 0; i < count; i++) {
        HOST_ERROR_LOG_ENTRY entry;
        if (!HostErrorLogGet(i, &entry))
            break;
        uint32_t id = static_cast<uint32_t>(entry.Packet.ErrorCode);
        const char *text = HostEventText(id);
        std::string t = text != nullptr ? text : "";
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
            t.pop_back();
        j.BeginObject();
        j.Key("time").Double(entry.Time / 1e7, 3);
        j.Field("id", StatusText(static_cast<int32_t>(id)));
        j.Field("severity", HostEventSeverityName(id));
        j.Field("text", t);
        j.Key("dump").BeginArray();
        for (size_t w = 0; w < entry.DumpWordCount; w++)
            j.String(StatusText(static_cast<int32_t>(entry.DumpData[w])));
        j.EndArray();
        j.EndObject();
    }
    j.EndArray();
}

int RunEventLog(const Options &o, const InstallSpec &) {
    std::string path = EventLogPath(), error;
    if (path.empty())
        return Fail(o, kExitUsage, "eventlog: no state directory: HOME is not set");
    std::vector<EventLogRecord> records;
    if (!ReadEventLog(path, o.lastEntries, &records, &error))
        return Fail(o, kExitUsage, "eventlog: " + error);
    if (o.json) {
        JsonWriter j;
        j.BeginObject().Field("command", "eventlog").Field("file", path);
        j.Key("entries").BeginArray();
        for (const auto &r : records) {
            j.BeginObject();
            j.Field("time", EventLogTimeText(r.unixTime));
            j.Key("unixTime").Double(r.unixTime, 3);
            j.Field("device", r.device);
            j.Field("id", StatusText(static_cast<int32_t>(r.id)));
            j.Field("severity", r.severity);
            j.Field("text", r.text);
            j.Key("dump").BeginArray();
            for (uint32_t w : r.dump)
                j.String(StatusText(static_cast<int32_t>(w)));
            j.EndArray();
            j.EndObject();
        }
        j.EndArray();
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else if (records.empty()) {
        printf("The event log is empty (%s).\n", path.c_str());
    } else {
        for (const auto &r : records) {
            std::string dump;
            for (uint32_t w : r.dump)
                dump += " " + StatusText(static_cast<int32_t>(w));
            printf("%s  %-14s %-11s %s  %s  dump:%s\n", EventLogTimeText(r.unixTime).c_str(),
                   r.device.c_str(), r.severity.c_str(),
                   StatusText(static_cast<int32_t>(r.id)).c_str(), r.text.c_str(), dump.c_str());
        }
    }
    fflush(stdout);
    return kExitOk;
}
