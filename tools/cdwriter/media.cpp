/*
 * media.cpp - `cdwriter media`, `eject` and `blank`: what medium each recorder holds, taking
 * it out and blanking it, through MMC commands over the pass-through request.
 */
#include "install.h"
#include "json.h"
#include "tool.h"

#include "mmc.h"
#include "mmc_passthrough.h"

#include <cctype>
#include <cstdio>
#include <functional>

namespace {

struct MediaReport {
    unsigned recorder = 0;
    bool known = false;
    std::string error;
    CdwMmcMedia media;
};

const char *TrackModeName(const CdwMmcTrackInfo &t) {
    if ((t.trackMode & 0x04) == 0)
        return "audio";
    return t.dataMode == 2 ? "mode2" : "mode1";
}

std::string Msf(uint8_t m, uint8_t s, uint8_t f) {
    char text[16];
    snprintf(text, sizeof(text), "%02u:%02u:%02u", m, s, f);
    return text;
}

MediaReport Ask(unsigned index) {
    MediaReport r;
    r.recorder = index;
    CdwDevice device;
    CdwStatus status = device.Open(CdwDeviceKind::Recorder, index);
    if (!CdwSucceeded(status)) {
        r.error = "cannot open the recorder, status " + StatusText(status);
        return r;
    }
    CdwMmcDevice mmc(CdwMmcPassThroughSender(&device));
    if (!mmc.WaitReady(10) && mmc.Last().Sense(0x2, 0x3A)) {
        r.known = true; /* no medium: that is an answer */
        return r;
    }
    if (!mmc.ReadMedia(&r.media)) {
        r.error = mmc.Last().Sense(0x5, 0x20)
                      ? "the recorder does not answer the MMC media commands (" + mmc.Error() + ")"
                      : mmc.Error();
        return r;
    }
    r.known = true;
    return r;
}

/* Sessions with something in them: READ DISC INFORMATION counts the empty session a blank or
   appendable disc offers for the next recording as well. */
unsigned RecordedSessions(const CdwMmcMedia &m) {
    unsigned sessions = m.disc.sessions;
    if (sessions > 0 && m.disc.lastSessionState == CDW_SESSION_EMPTY)
        sessions--;
    return sessions;
}

/* Recorded tracks: the blank (invisible) track is free space, not a track. */
std::vector<const CdwMmcTrackInfo *> RecordedTracks(const CdwMmcMedia &m) {
    std::vector<const CdwMmcTrackInfo *> tracks;
    for (const auto &t : m.tracks)
        if (!t.blank)
            tracks.push_back(&t);
    return tracks;
}

void ReportFields(JsonWriter &j, const MediaReport &r) {
    const CdwMmcMedia &m = r.media;
    j.Field("recorder", r.recorder);
    if (!r.known) {
        j.Field("profile", "unknown");
        j.Field("status", "unknown");
        j.Field("error", r.error);
        return;
    }
    if (!m.present) {
        j.Field("profile", "none");
        j.Field("status", "none");
        return;
    }
    j.Field("profile", CdwMmcProfileName(m.profile));
    j.Field("profileCode", static_cast<unsigned>(m.profile));
    j.Field("status", CdwMmcDiscStatusName(m.disc.discStatus));
    j.Field("erasable", m.disc.erasable);
    j.Field("sessions", RecordedSessions(m));
    j.Key("tracks").BeginArray();
    for (const CdwMmcTrackInfo *t : RecordedTracks(m)) {
        j.BeginObject();
        j.Field("number", static_cast<unsigned>(t->number));
        j.Field("session", static_cast<unsigned>(t->session));
        j.Field("start", static_cast<unsigned>(t->start));
        j.Field("length", static_cast<unsigned>(t->size));
        j.Field("mode", TrackModeName(*t));
        j.EndObject();
    }
    j.EndArray();
    j.Field("capacity", static_cast<unsigned long>(m.capacityBlocks));
    j.Field("free", static_cast<unsigned long>(m.freeBlocks));
    if (m.disc.discStatus != CDW_DISC_COMPLETE)
        j.Field("nextWritable", static_cast<unsigned>(m.nextWritable));
    if (m.atipValid) {
        j.Key("atip").BeginObject();
        j.Field("leadIn", Msf(m.atip.leadInMin, m.atip.leadInSec, m.atip.leadInFrame));
        j.Field("lastLeadOut", Msf(m.atip.leadOutMin, m.atip.leadOutSec, m.atip.leadOutFrame));
        j.Field("lastLeadOutBlock", static_cast<long>(m.atip.LastPossibleLeadOut()));
        j.Field("discType", m.atip.rewritable ? "CD-RW" : "CD-R");
        j.EndObject();
    }
}

void ReportText(const MediaReport &r) {
    const CdwMmcMedia &m = r.media;
    if (!r.known) {
        printf("Recorder %u: medium unknown (%s)\n", r.recorder, r.error.c_str());
        return;
    }
    if (!m.present) {
        printf("Recorder %u: no medium\n", r.recorder);
        return;
    }
    printf("Recorder %u: %s, %s, %u session%s, capacity %llu blocks (%llu MB), free %llu "
           "blocks (%llu MB)\n",
           r.recorder, CdwMmcProfileName(m.profile).c_str(),
           CdwMmcDiscStatusName(m.disc.discStatus), RecordedSessions(m),
           RecordedSessions(m) == 1 ? "" : "s", static_cast<unsigned long long>(m.capacityBlocks),
           static_cast<unsigned long long>(m.capacityBlocks * 2048 / 1000000),
           static_cast<unsigned long long>(m.freeBlocks),
           static_cast<unsigned long long>(m.freeBlocks * 2048 / 1000000));
    if (m.atipValid)
        printf("  ATIP: %s, lead-in %s, last possible lead-out %s (block %d)\n",
               m.atip.rewritable ? "CD-RW" : "CD-R",
               Msf(m.atip.leadInMin, m.atip.leadInSec, m.atip.leadInFrame).c_str(),
               Msf(m.atip.leadOutMin, m.atip.leadOutSec, m.atip.leadOutFrame).c_str(),
               static_cast<int>(m.atip.LastPossibleLeadOut()));
    for (const CdwMmcTrackInfo *t : RecordedTracks(m))
        printf("  track %u: session %u, start %u, %u blocks, %s\n", t->number, t->session, t->start,
               t->size, TrackModeName(*t));
}

} // namespace

int RunMedia(const Options &o, const InstallSpec &install) {
    Installation installation;
    std::string error;
    bool usage = false;
    if (!installation.Start(o, install, &error, &usage))
        return Fail(o, installation.StartExitCode(usage), error);
    unsigned count = CdwCountDevices(CdwDeviceKind::Recorder);
    if (o.mediaRecorderSet && o.mediaRecorder >= count)
        return Fail(o, kExitUsage,
                    "media: no recorder " + std::to_string(o.mediaRecorder) +
                        " (the installation has " + std::to_string(count) + ")");
    std::vector<MediaReport> reports;
    for (unsigned i = 0; i < count; i++)
        if (!o.mediaRecorderSet || i == o.mediaRecorder)
            reports.push_back(Ask(i));
    bool allKnown = true;
    for (const auto &r : reports)
        allKnown = allKnown && r.known;
    if (o.json) {
        JsonWriter j;
        j.BeginObject().Field("command", "media");
        /* One recorder: its fields at the top as well, for scripts. */
        if (reports.size() == 1)
            ReportFields(j, reports[0]);
        j.Key("recorders").BeginArray();
        for (const auto &r : reports) {
            j.BeginObject();
            ReportFields(j, r);
            j.EndObject();
        }
        j.EndArray();
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else {
        for (const auto &r : reports)
            ReportText(r);
    }
    fflush(stdout);
    installation.Stop();
    return allKnown ? kExitOk : kExitFailed;
}

namespace {

/* "CD-R" for a recorder's configured blank media. */
std::string BlankMediaName(const DeviceSpec &spec) {
    if (spec.media.empty())
        return spec.speed.unit == 'd' ? "DVD-R" : "CD-R";
    std::string name = spec.media;
    for (auto &c : name)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

/* "CD-R, complete, 1 track" */
std::string Describe(const CdwMmcMedia &m) {
    size_t tracks = RecordedTracks(m).size();
    return CdwMmcProfileName(m.profile) + ", " + CdwMmcDiscStatusName(m.disc.discStatus) + ", " +
           std::to_string(tracks) + " track" + (tracks == 1 ? "" : "s");
}

/* Starts the installation and opens recorder o.mediaRecorder for Command: kExitOk, or the exit
   code of a failure already reported. */
int StartAndOpenRecorder(const Options &o, const InstallSpec &install, const std::string &command,
                         Installation *installation, CdwDevice *device) {
    std::string error;
    bool usage = false;
    if (!installation->Start(o, install, &error, &usage))
        return Fail(o, installation->StartExitCode(usage), error);
    unsigned count = CdwCountDevices(CdwDeviceKind::Recorder);
    if (o.mediaRecorder >= count)
        return Fail(o, kExitUsage,
                    command + ": no recorder " + std::to_string(o.mediaRecorder) +
                        " (the installation has " + std::to_string(count) + ")");
    CdwStatus status = device->Open(CdwDeviceKind::Recorder, o.mediaRecorder);
    if (!CdwSucceeded(status))
        return Fail(o, kExitUsage,
                    command + ": cannot open recorder " + std::to_string(o.mediaRecorder) +
                        ", status " + StatusText(status));
    return kExitOk;
}

int Done(const Options &o, const std::string &command, bool ok, const std::string &text,
         const std::function<void(JsonWriter &)> &fields) {
    if (o.json) {
        JsonWriter j;
        j.BeginObject().Field("command", command).Field("recorder", o.mediaRecorder);
        j.Field("ok", ok);
        fields(j);
        j.Field("message", text);
        j.EndObject();
        printf("%s\n", j.Text().c_str());
    } else {
        printf("%s\n", text.c_str());
    }
    fflush(stdout);
    return ok ? kExitOk : kExitFailed;
}

} // namespace

int RunEject(const Options &o, const InstallSpec &install) {
    Installation installation;
    CdwDevice device;
    if (int code = StartAndOpenRecorder(o, install, "eject", &installation, &device))
        return code;
    CdwMmcDevice mmc(CdwMmcPassThroughSender(&device));
    CdwMmcMedia media;
    bool present = mmc.WaitReady(10) && mmc.ReadMedia(&media) && media.present;
    const std::string what = present ? Describe(media) : std::string("no disc");
    if (!mmc.Eject()) {
        std::string why = mmc.Error();
        device.Close();
        installation.Stop();
        return Done(o, "eject", false,
                    "Recorder " + std::to_string(o.mediaRecorder) + ": not ejected: " + why,
                    [&](JsonWriter &j) { j.Field("error", why); });
    }
    device.Close();
    InstalledDevice &recorder = installation.Recorder(o.mediaRecorder);
    recorder.eject = present && !recorder.discFile.empty();
    const std::string blank = BlankMediaName(recorder.spec);
    std::string leftover = installation.Stop();
    if (recorder.eject && recorder.keptAs.empty())
        return Fail(o, kExitFailed, "eject: " + leftover);
    std::string text = "Recorder " + std::to_string(o.mediaRecorder) + ": ejected " + what;
    if (!recorder.keptAs.empty())
        text += "; its disc file is kept as " + recorder.keptAs + "; the next run finds a blank " +
                blank + " in the recorder";
    return Done(o, "eject", true, text, [&](JsonWriter &j) {
        j.Field("ejected", what);
        j.Field("keptAs", recorder.keptAs);
        j.Field("next", "blank " + blank);
    });
}

int RunBlank(const Options &o, const InstallSpec &install) {
    Installation installation;
    CdwDevice device;
    if (int code = StartAndOpenRecorder(o, install, "blank", &installation, &device))
        return code;
    CdwMmcDevice mmc(CdwMmcPassThroughSender(&device));
    CdwMmcMedia media;
    const std::string name = "Recorder " + std::to_string(o.mediaRecorder);
    std::string failure;
    if (!mmc.WaitReady(10) || !mmc.ReadMedia(&media))
        failure = mmc.Error();
    else if (!media.present)
        failure = "no disc in the recorder";
    else if (!media.disc.erasable)
        failure = "the " + CdwMmcProfileName(media.profile) +
                  " cannot be blanked (only a rewritable disc can); 'cdwriter eject " +
                  std::to_string(o.mediaRecorder) + "' puts a new blank disc in";
    else if (!mmc.Blank(!o.blankAll, 3600))
        failure = mmc.Error();
    CdwMmcMedia after;
    bool blankNow = failure.empty() && mmc.ReadMedia(&after) && after.discInfoValid &&
                    after.disc.discStatus == CDW_DISC_BLANK;
    if (failure.empty() && !blankNow)
        failure = "the recorder took BLANK, but the disc is not blank after it";
    device.Close();
    installation.Stop();
    const std::string how = o.blankAll ? "all" : "fast";
    if (!failure.empty())
        return Done(o, "blank", false, name + ": not blanked: " + failure,
                    [&](JsonWriter &j) { j.Field("error", failure); });
    return Done(o, "blank", true,
                name + ": " + CdwMmcProfileName(media.profile) + " blanked (" + how + "), it was " +
                    Describe(media) + ", it is blank",
                [&](JsonWriter &j) { j.Field("type", how).Field("status", "blank"); });
}
