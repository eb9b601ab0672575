/*
 * media.cpp - `cdwriter media`: what medium each recorder holds, asked through MMC commands
 * over the pass-through request.
 */
#include "install.h"
#include "json.h"
#include "tool.h"

#include "mmc.h"
#include "mmc_passthrough.h"

#include <cstdio>

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
    j.Field("sessions", static_cast<unsigned>(m.disc.sessions));
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
           CdwMmcDiscStatusName(m.disc.discStatus), m.disc.sessions,
           m.disc.sessions == 1 ? "" : "s", static_cast<unsigned long long>(m.capacityBlocks),
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
